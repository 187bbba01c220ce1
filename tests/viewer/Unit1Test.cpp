#include "Unit1.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "ComServer.h"
#include "Dialogs.h"
#include "FormFixture.h"
#include "InternetSecurity.h"
#include "OurNSHandler.h"
#include "RecordingDialogs.h"
#include "Shell.h"
#include "TestArchives.h"
#include "UrlMon.h"
#include "ViewerDoubles.h"

namespace kiva {
namespace {

namespace fs = std::filesystem;
using test::BuildArchive;
using test::Form1Test;
using test::kIndexPage;
using test::SampleOptions;
using test::TCallLog;
using test::TFakeBrowserClass;
using test::TFakeView;
using test::TOptionsRecord;
using test::TRecordingDialogs;

// The handler's unit and the COM server live for the whole test program, as in the viewer.
class ProtocolEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        OurNSHandlerInit();
        ComServer().Initialize({});
    }
    void TearDown() override {
        ReleaseProtocolReferences();
        OurNSHandlerFinal();
        ComServer().Finalize();
    }
};
const auto* const protocolEnvironment =
    ::testing::AddGlobalTestEnvironment(new ProtocolEnvironment);

// --- The design -----------------------------------------------------------------------------

TEST_F(Form1Test, TheDesignSetsUpTheReaderAndTheBrowserArea) {
    TForm1 f(view, TStartupParams{bareExe, {}});
    EXPECT_EQ(f.Arc->MaxMemoryUsage, 128);
    EXPECT_TRUE(f.Arc->ExtractWithPath);
    EXPECT_TRUE(f.Arc->SavePaths);
    EXPECT_FALSE(f.Arc->VerifyArchiveCRC);
    EXPECT_EQ(f.Arc->CompressionLevel, fcFastest);
    EXPECT_EQ(f.Arc, &f.Book->Archive());
    EXPECT_EQ(f.WebBrowser1->Owner(), &f);
    EXPECT_EQ(log, (TCallLog{"Caption Kivabook Viewer", "AttachBrowser"}));
    EXPECT_FALSE(f.DocumentLoaded);

    // The reader's error event shows an error box.
    f.Arc->OnErrorLogged("disk on fire");
    ASSERT_EQ(user.Boxes.size(), 1u);
    EXPECT_EQ(BoxTexts()[0], "Error: disk on fire");
}

// The browser finds its book among the host's services; what it holds of them finds nobody
// once the form has gone.
TEST_F(Form1Test, TheBrowserFindsTheBookThroughTheFormsServices) {
    ComPtr<IWebSessionProvider> web;
    ComPtr<IKivaBook> book;
    {
        TForm1 f(view, TStartupParams{bareExe, {}});
        IUnknown* obj = nullptr;
        f.WebBrowser1QueryService(&f, SID_SKivaWebSession, IID_IWebSessionProvider, obj);
        web = ComPtr<IWebSessionProvider>::Attach(
            static_cast<IWebSessionProvider*>(static_cast<void*>(obj)));
        ASSERT_TRUE(web);
        EXPECT_EQ(web->WebSession(), &f.Book->Web());
        obj = nullptr;
        f.WebBrowser1QueryService(&f, SID_SKivaBook, IID_IKivaBook, obj);
        book = ComPtr<IKivaBook>::Attach(static_cast<IKivaBook*>(static_cast<void*>(obj)));
        ASSERT_TRUE(book);
        EXPECT_EQ(book->Book(), f.Book.get());
        // Other services are not the book's to answer.
        obj = nullptr;
        f.WebBrowser1QueryService(&f, IID_IAuthenticate, IID_IWebSessionProvider, obj);
        EXPECT_EQ(obj, nullptr);
    }
    EXPECT_EQ(web->WebSession(), nullptr);
    EXPECT_EQ(book->Book(), nullptr);
}

// --- Finding the archive --------------------------------------------------------------------

TEST_F(Form1Test, AnExecutableCarryingAnArchiveIgnoresItsArgument) {
    const std::string exe = Archive(
        "kivabook-sample", {{"index.html", kIndexPage}, {"-config-", SampleOptions().Str()}},
        std::string(4096, 'H'));
    const std::string other = Site("other.kvb", TOptionsRecord().Text(0, "other.html"));
    TForm1& f = Start({other}, exe);
    EXPECT_EQ(f.Arc->ArchiveFileName(), exe);
    EXPECT_TRUE(Logged("Navigate kiva://bundle/index.html"));
    EXPECT_TRUE(user.OpenDialogs.empty());
    EXPECT_TRUE(user.Boxes.empty());
}

TEST_F(Form1Test, OneKvbArgumentIsOpenedWhenTheExecutableCarriesNoArchive) {
    const std::string kvb = Site("site.kvb");
    TForm1& f = Start({kvb});
    EXPECT_FALSE(f.QuitRequested());
    EXPECT_EQ(f.Arc->ArchiveFileName(), kvb);
    EXPECT_EQ(f.HomeUrl, "kiva://bundle/index.html");
    EXPECT_EQ(log.back(), "Navigate kiva://bundle/index.html");
    EXPECT_TRUE(user.Boxes.empty());
}

TEST_F(Form1Test, AnUnknownExecutablePathCountsAsNoArchive) {
    const std::string kvb = Site("site.kvb");
    form = std::make_unique<TForm1>(view, TStartupParams{"", {kvb}});
    form->Create();
    EXPECT_EQ(form->Arc->ArchiveFileName(), kvb);
}

class ArgumentExtensionTest : public Form1Test,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(ArgumentExtensionTest, OneArgumentWithoutTheExactExtensionQuitsSilently) {
    // The file is a valid archive: only its name decides.
    const std::string p = Site(GetParam());
    TForm1& f = Start({p});
    EXPECT_TRUE(f.QuitRequested());
    EXPECT_EQ(log, TCallLog{"Quit"});
    EXPECT_TRUE(user.Boxes.empty());
    EXPECT_TRUE(user.OpenDialogs.empty());
    EXPECT_TRUE(user.Queries.empty());
}

INSTANTIATE_TEST_SUITE_P(Names, ArgumentExtensionTest,
                         ::testing::Values("site.KVB", "site.Kvb", "site.kvb.bak", "site",
                                           "site.kv", "site.kvbx"));

TEST_F(Form1Test, TwoArgumentsOrNoneShowTheOpenDialogWhoseChoiceOpensWhateverItsName) {
    const std::string chosen = Site("picked.archive");
    user.OpenAnswer = chosen;
    TForm1& f = Start({Site("a.kvb"), Site("b.kvb")});
    ASSERT_EQ(user.OpenDialogs.size(), 1u);
    ASSERT_EQ(user.OpenDialogs[0].size(), 1u);
    EXPECT_EQ(user.OpenDialogs[0][0].Name, "Kivabook Files");
    EXPECT_EQ(user.OpenDialogs[0][0].Patterns, std::vector<std::string>{"*.kvb"});
    EXPECT_EQ(f.Arc->ArchiveFileName(), chosen);
    EXPECT_EQ(log.back(), "Navigate kiva://bundle/index.html");

    Finish();
    user.OpenDialogs.clear();
    TForm1& g = Start({});
    EXPECT_EQ(user.OpenDialogs.size(), 1u);
    EXPECT_EQ(g.Arc->ArchiveFileName(), chosen);
}

TEST_F(Form1Test, CancellingTheOpenDialogQuitsSilently) {
    TForm1& f = Start({});
    EXPECT_EQ(user.OpenDialogs.size(), 1u);
    EXPECT_TRUE(f.QuitRequested());
    EXPECT_EQ(log, TCallLog{"Quit"});
    EXPECT_TRUE(user.Boxes.empty());
}

TEST_F(Form1Test, AnArchiveThatCannotBeOpenedShowsTheReadersMessageAndSkipsTheRest) {
    TForm1& f = Start({Path("missing.kvb")});
    EXPECT_FALSE(f.QuitRequested());
    ASSERT_EQ(user.Boxes.size(), 1u);
    EXPECT_EQ(user.Boxes[0].Caption, "Kivabook Viewer");
    EXPECT_EQ(user.Boxes[0].Type, TMsgDlgType::mtError);
    EXPECT_EQ(user.Boxes[0].Text, WithFullStop(msg::ArchiveNotFound));
    // The window keeps its design: no option applied, no page.
    EXPECT_TRUE(log.empty());

    // A named pipe is no archive file either, and the start does not wait for a writer (the
    // alarm ends the test program should it ever wait).
    Finish();
    user.Boxes.clear();
    ASSERT_EQ(::mkfifo(Path("pipe.kvb").c_str(), 0600), 0);
    ::alarm(10);
    Start({Path("pipe.kvb")});
    ::alarm(0);
    ASSERT_EQ(user.Boxes.size(), 1u);
    EXPECT_EQ(user.Boxes[0].Text, "Archive file not found.");
    EXPECT_TRUE(log.empty());

    // The same for a chosen file that is no archive.
    Finish();
    user.Boxes.clear();
    user.OpenAnswer = bareExe;
    Start({});
    ASSERT_EQ(user.Boxes.size(), 1u);
    EXPECT_EQ(user.Boxes[0].Type, TMsgDlgType::mtError);
    EXPECT_FALSE(NavigatedAnywhere());
}

// --- Project options ------------------------------------------------------------------------

TEST_F(Form1Test, MissingOptionsAreReportedAndLeaveEveryOptionZero) {
    const std::string kvb = Archive("bare.kvb", {{"index.html", kIndexPage}});
    TForm1& f = Start({kvb});
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Information: Error reading project options"});
    EXPECT_EQ(f.ProjectOptions.WindowStyle, 0);
    EXPECT_EQ(f.HomeUrl, "kiva://bundle/");
    EXPECT_EQ(log, (TCallLog{"Width 200", "Height 0", "ToolBar 0", "Captions 0", "StatusBar 0",
                             "Frame 0", "Enable Copy 0", "Enable Print 0", "Enable Find 0",
                             "Enable FontSize 0", "Navigate kiva://bundle/"}));
}

TEST_F(Form1Test, AShortOptionsEntryIsReadAsFarAsItGoes) {
    TOptionsRecord r = SampleOptions();
    r.Text(projopt::ViewPassword, "never asked");
    r.Bytes.resize(projopt::ViewPassword); // ends right before the password
    const std::string kvb =
        Archive("short.kvb", {{"index.html", kIndexPage}, {"-config-", r.Str()}});
    TForm1& f = Start({kvb});
    EXPECT_TRUE(user.Boxes.empty());
    EXPECT_TRUE(user.Queries.empty());
    EXPECT_EQ(f.ProjectOptions.WindowWidth, 830);
    EXPECT_EQ(log.back(), "Navigate kiva://bundle/index.html");
}

TEST_F(Form1Test, WindowOptionsAreAppliedInTheirOrderBeforeTheHomePage) {
    TOptionsRecord r = SampleOptions();
    r.Flag(projopt::ShowButtonCaptions, 2)
        .Flag(projopt::AllowCopy, 255)
        .Flag(projopt::AllowFontSize);
    Start({Archive("s.kvb", {{"index.html", kIndexPage}, {"-config-", r.Str()}})});
    EXPECT_EQ(
        log, (TCallLog{"Width 830", "Height 430", "Center", "ToolBar 1", "Captions 1",
                       "StatusBar 1", "Frame 2", "Enable Copy 1", "Enable Print 1", "Enable Find 1",
                       "Enable FontSize 1", "Navigate kiva://bundle/index.html"}));
}

TEST_F(Form1Test, SizesOutsideWhatAWindowCanTakeAreBroughtIntoRange) {
    TOptionsRecord r = SampleOptions();
    r.Int(projopt::WindowWidth, 150).Int(projopt::WindowHeight, -5);
    Start({Archive("a.kvb", {{"-config-", r.Str()}})});
    EXPECT_EQ(log[0], "Width 200");
    EXPECT_EQ(log[1], "Height 0");

    // The window fits the work area of the screen it goes on.
    Finish();
    view.WorkAreaSize = TExtent{1280, 770};
    r.Int(projopt::WindowWidth, 24000).Int(projopt::WindowHeight, 24000);
    Start({Archive("b.kvb", {{"-config-", r.Str()}})});
    EXPECT_EQ(log[0], "Width 1280");
    EXPECT_EQ(log[1], "Height 770");
}

TEST(FitWindowSizeTest, TheMinimumWidthHoldsAndTheWorkAreaOrTheLargestExtentLimits) {
    const std::optional<TExtent> none;
    const struct {
        std::int32_t width, height;
        std::optional<TExtent> workArea;
        int fitWidth, fitHeight;
    } cases[] = {
        {830, 430, TExtent{1280, 770}, 830, 430},
        {50, 0, TExtent{1280, 770}, 200, 0},
        {-5, -5, TExtent{1280, 770}, 200, 0},
        {24000, 24000, TExtent{1280, 770}, 1280, 770},
        {1281, 770, TExtent{1280, 770}, 1280, 770},
        {0x7FFFFFFF, INT32_MIN, TExtent{1920, 1050}, 1920, 0},
        {500, 500, TExtent{150, 100}, 200, 100}, // the minimum width beats a tiny screen
        {24000, 24000, none, 24000, 24000},
        {0x7FFFFFFF, 100000, none, 32767, 32767},
        {40000, 40000, TExtent{0, 0}, 32767, 32767}, // a monitor without size tells nothing
    };
    for (const auto& c : cases) {
        const TExtent fit = FitWindowSize(c.width, c.height, c.workArea);
        EXPECT_EQ(fit.Width, c.fitWidth) << c.width << "x" << c.height;
        EXPECT_EQ(fit.Height, c.fitHeight) << c.width << "x" << c.height;
    }
}

TEST(FrameStyleTest, EachWindowStyleGivesItsFrameAndOthersKeepTheDesign) {
    EXPECT_EQ(FrameStyleOf(0), TFrameStyle::fsNone);
    EXPECT_EQ(FrameStyleOf(1), TFrameStyle::fsFixed);
    EXPECT_EQ(FrameStyleOf(2), TFrameStyle::fsSizeable);
    EXPECT_EQ(FrameStyleOf(3), TFrameStyle::fsNoneMaximised);
    for (int other : {4, 7, -1, 0x7FFFFFFF}) {
        EXPECT_EQ(FrameStyleOf(other), TFrameStyle::fsDesign) << other;
    }
}

TEST_F(Form1Test, TheUserAgentTextBecomesTheBooksOnlyWhenSet) {
    Start({Site("plain.kvb")});
    EXPECT_EQ(form->Book->Web().UserAgent, "");

    Finish();
    TOptionsRecord r = SampleOptions();
    r.Text(projopt::UserAgentText, "KivabookTest/1.0");
    Start({Site("ua.kvb", r)});
    EXPECT_EQ(form->Book->Web().UserAgent, "KivabookTest/1.0");

    // An archive made on Windows: the book gets the Windows-1252 reading.
    Finish();
    r.Text(projopt::UserAgentText, "Kivabook\xAE Caf\xE9/1.0");
    Start({Site("ua1252.kvb", r)});
    EXPECT_EQ(form->Book->Web().UserAgent, "Kivabook\xC2\xAE Caf\xC3\xA9/1.0");
}

// --- View password --------------------------------------------------------------------------

struct TPasswordCase {
    const char* Name;
    std::optional<std::string> Entry;
    bool Opens;
    std::string Stored = "Secret";
};

class PasswordTest : public Form1Test, public ::testing::WithParamInterface<TPasswordCase> {};

TEST_P(PasswordTest, OnlyTheExactPasswordOpensTheSite) {
    TOptionsRecord r = SampleOptions();
    r.Text(projopt::ViewPassword, GetParam().Stored);
    user.InputAnswers = {GetParam().Entry};
    TForm1& f = Start({Site("pw.kvb", r)});
    ASSERT_EQ(user.Queries.size(), 1u);
    EXPECT_EQ(user.Queries[0].Caption, "Password Required");
    EXPECT_EQ(user.Queries[0].Prompt, "Please provide a password to view content of this file ");
    EXPECT_EQ(user.Queries[0].MaxLength, 255);
    EXPECT_TRUE(user.Boxes.empty());
    EXPECT_EQ(f.QuitRequested(), !GetParam().Opens);
    if (GetParam().Opens) {
        EXPECT_EQ(log.back(), "Navigate kiva://bundle/index.html");
    } else {
        // Nothing of the window was shaped, and no page was asked for.
        EXPECT_EQ(log, TCallLog{"Quit"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PasswordTest,
    ::testing::Values(TPasswordCase{"Right", std::string("Secret"), true},
                      TPasswordCase{"WrongCase", std::string("secret"), false},
                      TPasswordCase{"Longer", std::string("Secret "), false},
                      TPasswordCase{"Empty", std::string(""), false},
                      TPasswordCase{"Cancelled", std::nullopt, false},
                      TPasswordCase{"Windows1252", "S\xC3\xA9same", true, "S\xE9same"},
                      TPasswordCase{"Windows1252Wrong", "Sesame", false, "S\xE9same"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(Form1Test, NoPasswordMeansNoDialog) {
    Start({Site("open.kvb")});
    EXPECT_TRUE(user.Queries.empty());
}

// --- Scroll bars, logo and the home page ----------------------------------------------------

TEST_F(Form1Test, HiddenScrollBarsReachTheBrowsersHostFlags) {
    TOptionsRecord r = SampleOptions();
    r.Flag(projopt::HideScrollBars);
    TForm1& f = Start({Site("s.kvb", r)});
    EXPECT_TRUE(
        f.WebBrowser1->UserInterfaceOptions().Contains(TUserInterfaceOption::DontUseScrollBars));
    EXPECT_TRUE(f.WebBrowser1->UserInterfaceOptions().Contains(TUserInterfaceOption::EnableThemes));
    EXPECT_NE(Browser().HostInfo.dwFlags & DOCHOSTUIFLAG_SCROLL_NO, 0u);
    EXPECT_TRUE(user.Boxes.empty());

    Finish();
    Start({Site("t.kvb")});
    EXPECT_FALSE(form->WebBrowser1->UserInterfaceOptions().Contains(
        TUserInterfaceOption::DontUseScrollBars));
}

TEST_F(Form1Test, ScrollBarsThatCannotBeChangedAreReportedAndTheStartGoesOn) {
    TOptionsRecord r = SampleOptions();
    r.Flag(projopt::HideScrollBars);
    form = std::make_unique<TForm1>(view, TStartupParams{bareExe, {Site("s.kvb", r)}});
    Browser().HasApplication = false;
    log.clear();
    form->Create();
    EXPECT_EQ(BoxTexts(),
              std::vector<std::string>{"Information: Can not change Scrollbars option"});
    EXPECT_EQ(log.back(), "Navigate kiva://bundle/index.html");
}

TEST_F(Form1Test, TheProjectsLogoIsLoadedFromItsEntry) {
    TOptionsRecord r = SampleOptions();
    r.Text(projopt::LogoFile, "C:\\art\\logo.ico");
    const std::string icon("\0\0\1\0 pretend icon bytes", 24);
    Start(
        {Archive("l.kvb", {{"index.html", kIndexPage}, {"-config-", r.Str()}, {"-logo-", icon}})});
    EXPECT_EQ(std::string(view.Logo.begin(), view.Logo.end()), icon);
    const auto logo = std::find(log.begin(), log.end(), "Logo 24");
    ASSERT_NE(logo, log.end());
    EXPECT_EQ(*(logo - 1), "Enable FontSize 0");
    EXPECT_EQ(*(logo + 1), "Navigate kiva://bundle/index.html");
}

TEST_F(Form1Test, ALogoThatCannotBeLoadedEndsTheStartBeforeTheHomePage) {
    TOptionsRecord r = SampleOptions();
    r.Text(projopt::LogoFile, "logo.ico");
    // The entry is missing.
    TForm1& f = Start({Site("nologo.kvb", r)});
    EXPECT_FALSE(f.QuitRequested());
    ASSERT_EQ(user.Boxes.size(), 1u);
    EXPECT_EQ(user.Boxes[0].Caption, "Kivabook Viewer");
    EXPECT_EQ(user.Boxes[0].Text, "-logo- not found in archive.");
    EXPECT_FALSE(NavigatedAnywhere());

    // The entry is there but is no icon.
    Finish();
    user.Boxes.clear();
    view.LogoFails = true;
    Start({Archive("badlogo.kvb", {{"-config-", r.Str()}, {"-logo-", "GIF89a"}})});
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Kivabook Viewer: Invalid icon."});
    EXPECT_EQ(log.back(), "Logo 6");
    EXPECT_FALSE(NavigatedAnywhere());
}

TEST_F(Form1Test, AFailedNavigationToTheHomePageIsReported) {
    form = std::make_unique<TForm1>(view, TStartupParams{bareExe, {Site("s.kvb")}});
    Browser().NavigateResult = E_FAIL;
    form->Create();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Information: Webbrowser Navigation error"});
    EXPECT_FALSE(form->QuitRequested());
}

TEST_F(Form1Test, TheHomePageIsServedFromTheFormsArchiveThroughTheProtocol) {
    Start({Site("served.kvb")});
    EXPECT_TRUE(IsNameSpaceRegistered("kiva"));
    const TNameSpaceResponse page =
        RunNameSpaceRequest(u"kiva://bundle/index.html", 0, form->Book->Services());
    EXPECT_EQ(page.Result, S_OK);
    EXPECT_EQ(page.Data, kIndexPage);

    form->Destroy();
    EXPECT_FALSE(IsNameSpaceRegistered("kiva"));
    EXPECT_EQ(form->OptionsStream, nullptr);
    EXPECT_EQ(form->Arc->ArchiveFileName(), "");
    EXPECT_NE(RunNameSpaceRequest(u"kiva://bundle/index.html", 0, form->Book->Services()).Result,
              S_OK);
}

// --- Browser events -------------------------------------------------------------------------

TEST_F(Form1Test, TitleAndStatusTextFollowTheBrowser) {
    Start({Site("s.kvb")});
    TWebBrowserEventParams p;
    p.Text = u"Kivabook Sample";
    Browser().Fire(DISPID_TITLECHANGE, p);
    EXPECT_EQ(view.Caption, "Kivabook Sample");
    EXPECT_EQ(ApplicationTitle(), "Kivabook Sample");

    p.Text = u"";
    Browser().Fire(DISPID_TITLECHANGE, p);
    EXPECT_EQ(view.Caption, "");
    EXPECT_EQ(ApplicationTitle(), "");

    p.Text = u"kiva://bundle/about.html";
    Browser().Fire(DISPID_STATUSTEXTCHANGE, p);
    EXPECT_EQ(view.StatusText, "kiva://bundle/about.html");
}

TEST_F(Form1Test, CommandStatesEnableBackAndForwardOnly) {
    Start({Site("s.kvb")});
    log.clear();
    for (auto [command, enable] :
         {std::pair{1, true}, {2, true}, {2, false}, {-1, true}, {3, false}}) {
        TWebBrowserEventParams p;
        p.Command = command;
        p.Enable = enable;
        Browser().Fire(DISPID_COMMANDSTATECHANGE, p);
    }
    EXPECT_EQ(log, (TCallLog{"Enable Forward 1", "Enable Back 1", "Enable Back 0"}));
}

TEST_F(Form1Test, APageClosingItsWindowClosesTheMainWindow) {
    Start({Site("s.kvb")});
    log.clear();
    TWebBrowserEventParams p;
    Browser().Fire(DISPID_WINDOWCLOSING, p);
    EXPECT_EQ(log, TCallLog{"Close"});
}

// --- Closing --------------------------------------------------------------------------------

TEST_F(Form1Test, CloseParksTheBrowserOnTheBlankPageAndGoesOnWhenItIsComplete) {
    TForm1& f = Start({Site("s.kvb")});
    f.DocumentLoaded = true;
    int rounds = 0;
    view.OnProcessMessages = [&] {
        if (++rounds == 3) {
            Browser().CompleteDocument(u"about:blank");
        }
    };
    log.clear();
    EXPECT_TRUE(f.CloseQuery());
    EXPECT_EQ(log, TCallLog{"Navigate about:blank"});
    EXPECT_TRUE(f.DocumentLoaded);
    EXPECT_EQ(view.ProcessCalls, 3);
    EXPECT_EQ(view.Sleeps, (std::vector<int>{100, 100, 100}));
}

TEST_F(Form1Test, CloseDoesNotWaitWhenTheBlankPageCompletesAtOnce) {
    TForm1& f = Start({Site("s.kvb")});
    Browser().CompleteOnNavigate = true;
    EXPECT_TRUE(f.CloseQuery());
    EXPECT_EQ(view.ProcessCalls, 0);
}

TEST_F(Form1Test, CloseGivesUpWaitingForABrowserThatNeverCompletes) {
    TForm1& f = Start({Site("s.kvb")});
    EXPECT_TRUE(f.CloseQuery());
    EXPECT_FALSE(f.DocumentLoaded);
    EXPECT_EQ(view.ProcessCalls, kCloseWaitRounds);
    EXPECT_EQ(static_cast<int>(view.Sleeps.size()), kCloseWaitRounds);
    EXPECT_GE(kCloseWaitRounds * kCloseWaitSleepMs, 3000);
    EXPECT_LE(kCloseWaitRounds * kCloseWaitSleepMs, 10000);
}

TEST_F(Form1Test, ASecondCloseDuringTheWaitNestsAndBothEndWithTheBlankPage) {
    TForm1& f = Start({Site("s.kvb")});
    bool nestedResult = false;
    int rounds = 0;
    view.OnProcessMessages = [&] {
        ++rounds;
        if (rounds == 1) {
            nestedResult = f.CloseQuery(); // the user clicks the close box again
        } else if (rounds == 3) {
            Browser().CompleteDocument(u"about:blank");
        }
    };
    EXPECT_TRUE(f.CloseQuery());
    EXPECT_TRUE(nestedResult);
    EXPECT_EQ(rounds, 3);
}

TEST_F(Form1Test, AFailingBlankPageKeepsTheWindowOpen) {
    TForm1& f = Start({Site("s.kvb")});
    Browser().NavigateResult = E_FAIL;
    EXPECT_FALSE(f.CloseQuery());
    ASSERT_EQ(user.Boxes.size(), 1u);
    EXPECT_EQ(user.Boxes[0].Type, TMsgDlgType::mtError);
    EXPECT_EQ(view.ProcessCalls, 0);
}

TEST_F(Form1Test, LiveComObjectsAskTheUserBeforeTheApplicationEnds) {
    TForm1& f = Start({Site("s.kvb")});
    Browser().CompleteOnNavigate = true;
    int live = 0;
    f.LiveObjectCount = [&] { return live; };
    EXPECT_TRUE(f.CloseQuery());
    EXPECT_TRUE(user.Boxes.empty());

    live = 2;
    user.YesNoAnswers = {TModalResult::mrNo, TModalResult::mrYes};
    EXPECT_FALSE(f.CloseQuery());
    EXPECT_TRUE(f.CloseQuery());
    ASSERT_EQ(user.Boxes.size(), 2u);
    EXPECT_EQ(user.Boxes[0].Caption, "COM Server Warning");
    EXPECT_TRUE(user.Boxes[0].DefaultNo);
}

TEST_F(Form1Test, WithNothingAliveTheProgramsOwnCountAllowsTheClose) {
    TForm1& f = Start({Site("s.kvb")});
    Browser().CompleteOnNavigate = true;
    // The browser control itself is no object served to others.
    EXPECT_EQ(ComObjectCount(), 0);
    EXPECT_TRUE(f.CloseQuery());
    EXPECT_TRUE(user.Boxes.empty());
}

TEST_F(Form1Test, DestroyAfterAQuitIsHarmless) {
    TForm1& f = Start({});
    ASSERT_TRUE(f.QuitRequested());
    EXPECT_TRUE(IsNameSpaceRegistered("kiva"));
    f.Destroy();
    EXPECT_TRUE(user.Boxes.empty());
    EXPECT_FALSE(IsNameSpaceRegistered("kiva"));
}

// --- Commands of the tool bar ---------------------------------------------------------------

TEST_F(Form1Test, ToolBarCommandsReachTheBrowser) {
    TForm1& f = Start({Site("s.kvb")});
    log.clear();
    f.ButtonBackClick();
    f.ButtonForwardClick();
    f.ButtonHomeClick();
    f.ButtonExitClick();
    EXPECT_EQ(log, (TCallLog{"GoBack", "GoForward", "Navigate kiva://bundle/index.html", "Close"}));
    // Nothing to go back to is no error for the user.
    EXPECT_TRUE(user.Boxes.empty());

    Browser().NavigateResult = E_FAIL;
    f.ButtonHomeClick();
    ASSERT_EQ(user.Boxes.size(), 1u);
    EXPECT_EQ(user.Boxes[0].Type, TMsgDlgType::mtError);
}

// --- Find, Print, text size, Copy and Exit --------------------------------------------------

TEST_F(Form1Test, FindGoesToTheDocumentsCommandTargetAndSwallowsEveryFailure) {
    TForm1& f = Start({Site("s.kvb")});
    // No document yet: the document is asked for and nothing else happens.
    log.clear();
    f.ButtonSearchClick();
    EXPECT_EQ(log, TCallLog{"Document"});

    // A document without a command target.
    Browser().PlainDocument = ComPtr<test::TFakePlainDocument>(new test::TFakePlainDocument());
    log.clear();
    f.ButtonSearchClick();
    EXPECT_EQ(log, (TCallLog{"Document", "Document"}));

    // The find command of the browser group, with the default option; F3 asks without a
    // prompt.
    Browser().Document = ComPtr<test::TFakeDocument>(new test::TFakeDocument());
    log.clear();
    f.ButtonSearchClick();
    f.FindNextClick();
    EXPECT_EQ(log, (TCallLog{"Document", "Document", "Exec browser 1 0 empty empty", "Document",
                             "Document", "Exec browser 1 2 empty empty"}));

    Browser().Document->ExecResult = OLECMDERR_E_NOTSUPPORTED;
    f.ButtonSearchClick();
    Browser().DocumentResult = E_FAIL;
    f.ButtonSearchClick();
    EXPECT_TRUE(user.Boxes.empty());
}

TEST_F(Form1Test, PrintAsksForThePreviewAndReportsAFailure) {
    TForm1& f = Start({Site("s.kvb")});
    log.clear();
    f.ButtonPrintClick();
    EXPECT_EQ(log, TCallLog{"ExecWB 7 2 empty empty"});
    EXPECT_TRUE(user.Boxes.empty());

    Browser().ExecWBResult = OLECMDERR_E_NOTSUPPORTED;
    f.ButtonPrintClick();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Kivabook Viewer: OLE error 80040100."});
}

TEST_F(Form1Test, AFontSizeItemSendsItsLevelAndTheMarkFollowsWhatTheBrowserApplied) {
    TForm1& f = Start({Site("s.kvb")});
    EXPECT_EQ(f.TextSizeLevel(), 2);
    for (std::int32_t tag : {4, 3, 2, 1, 0}) {
        log.clear();
        f.Largest1Click(tag);
        EXPECT_EQ(log, (TCallLog{"ExecWB 19 2 int " + std::to_string(tag) + " empty",
                                 "FontSizeMark " + std::to_string(tag)}));
        EXPECT_EQ(f.TextSizeLevel(), tag);
    }
    // A level the browser refuses: the error is shown, and the mark goes back to the size
    // the pages still have.
    Browser().ExecWBResult = E_INVALIDARG;
    log.clear();
    f.Largest1Click(4);
    EXPECT_EQ(log, (TCallLog{"ExecWB 19 2 int 4 empty", "FontSizeMark 0"}));
    EXPECT_EQ(f.TextSizeLevel(), 0);
    EXPECT_EQ(view.FontSizeMark, 0);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Kivabook Viewer: The parameter is incorrect."});
}

TEST_F(Form1Test, CopyRunsOnlyWhenTheProjectAllowsItWhateverTheMenuShows) {
    TOptionsRecord r = SampleOptions();
    r.Flag(projopt::AllowCopy);
    TForm1& f = Start({Site("copy.kvb", r)});
    log.clear();
    f.CopytoClipboard1Click();
    Browser().ExecWBResult = E_FAIL;
    f.CopytoClipboard1Click();
    EXPECT_EQ(log, (TCallLog{"ExecWB 12 1 empty empty", "ExecWB 12 1 empty empty"}));
    EXPECT_TRUE(user.Boxes.empty());

    Finish();
    TForm1& g = Start({Site("nocopy.kvb")});
    log.clear();
    g.PopupMenu2->Popup(10, 20);
    g.CopytoClipboard1Click();
    EXPECT_EQ(log, (TCallLog{"Enable Copy 1", "BrowserMenu 10,20"}));
}

TEST_F(Form1Test, ExitAndTheFontButtonReachTheWindow) {
    TForm1& f = Start({Site("s.kvb")});
    log.clear();
    f.ButtonFontClick();
    f.Exit1Click();
    EXPECT_EQ(log, (TCallLog{"DropFontSizeMenu", "Close"}));
}

// --- Shortcut keys --------------------------------------------------------------------------

struct TShortcutCase {
    const char* Name;
    std::vector<TShortcut> Keys;
    bool Allowed; // the project allows Find, Print and the font size
    bool Taken;   // the window keeps every key from the page
    TCallLog Log;
};

class ShortcutTest : public Form1Test, public ::testing::WithParamInterface<TShortcutCase> {};

TEST_P(ShortcutTest, KeysRunTheirCommandsOnlyWhereTheProjectOffersThem) {
    TOptionsRecord r;
    r.Text(projopt::StartPage, "index.html");
    if (GetParam().Allowed) {
        r.Flag(projopt::AllowFind).Flag(projopt::AllowPrint).Flag(projopt::AllowFontSize);
    }
    TForm1& f = Start({Site("keys.kvb", r)});
    Browser().Document = ComPtr<test::TFakeDocument>(new test::TFakeDocument());
    log.clear();
    for (TShortcut key : GetParam().Keys) {
        EXPECT_EQ(f.ShortcutKey(key), GetParam().Taken);
    }
    EXPECT_EQ(log, GetParam().Log);
    EXPECT_TRUE(user.Boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ShortcutTest,
    ::testing::Values(
        TShortcutCase{
            "Navigation",
            {TShortcut::scBack, TShortcut::scForward, TShortcut::scHome, TShortcut::scExit},
            false,
            true,
            {"GoBack", "GoForward", "Navigate kiva://bundle/index.html", "Close"}},
        TShortcutCase{"FindAndPrint",
                      {TShortcut::scFind, TShortcut::scFindNext, TShortcut::scPrint},
                      true,
                      true,
                      {"Document", "Document", "Exec browser 1 0 empty empty", "Document",
                       "Document", "Exec browser 1 2 empty empty", "ExecWB 7 2 empty empty"}},
        // The text size steps through the five levels and stops at either end; Ctrl+0 is
        // Medium again.
        TShortcutCase{"TextSize",
                      {TShortcut::scTextLarger, TShortcut::scTextLarger, TShortcut::scTextLarger,
                       TShortcut::scTextMedium, TShortcut::scTextMedium, TShortcut::scTextSmaller,
                       TShortcut::scTextSmaller, TShortcut::scTextSmaller},
                      true,
                      true,
                      {"ExecWB 19 2 int 3 empty", "FontSizeMark 3", "ExecWB 19 2 int 4 empty",
                       "FontSizeMark 4", "ExecWB 19 2 int 2 empty", "FontSizeMark 2",
                       "ExecWB 19 2 int 1 empty", "FontSizeMark 1", "ExecWB 19 2 int 0 empty",
                       "FontSizeMark 0"}},
        TShortcutCase{"NotAllowed",
                      {TShortcut::scFind, TShortcut::scFindNext, TShortcut::scPrint,
                       TShortcut::scTextLarger, TShortcut::scTextSmaller, TShortcut::scTextMedium},
                      false,
                      false,
                      {}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(Form1Test, BackAndForwardKeysFollowTheBrowsersCommandState) {
    TForm1& f = Start({Site("s.kvb")});
    const auto report = [&](std::int32_t command, bool enable) {
        TWebBrowserEventParams p;
        p.Command = command;
        p.Enable = enable;
        Browser().Fire(DISPID_COMMANDSTATECHANGE, p);
    };
    report(CSC_NAVIGATEBACK, false);
    report(CSC_NAVIGATEFORWARD, false);
    log.clear();
    EXPECT_TRUE(f.ShortcutKey(TShortcut::scBack));
    EXPECT_TRUE(f.ShortcutKey(TShortcut::scForward));
    EXPECT_TRUE(log.empty());
    report(CSC_NAVIGATEBACK, true);
    log.clear();
    f.ShortcutKey(TShortcut::scBack);
    f.ShortcutKey(TShortcut::scForward);
    EXPECT_EQ(log, TCallLog{"GoBack"});
}

// --- The navigation policy ------------------------------------------------------------------

// The form with a book whose options hold the given masks, run in a folder of its own that
// holds the files masked links may name; what the desktop is asked to open is recorded.
class PolicyTest : public Form1Test {
protected:
    void SetUp() override {
        Form1Test::SetUp();
        previousSpawner = SetShellSpawner([this](const std::vector<std::string>& argv) {
            opened.push_back(argv.at(1));
            return 0;
        });
        previousDir = fs::current_path();
        fs::create_directories(dir / "docs");
        for (const char* name : {"setup.exe", "Setup.EXE", "docs/My%20File.pdf", "a.pdf?x=1"}) {
            test::WriteFile(Path(name), "x");
        }
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previousDir.c_str()), 0);
        SetShellSpawner(previousSpawner);
        Form1Test::TearDown();
    }
    void StartWithMasks(const std::string& masks) {
        TOptionsRecord options = SampleOptions();
        options.Text(projopt::ExternalMasks, masks);
        Start({Archive("s.kvb", {{"index.html", kIndexPage}, {"-config-", options.Str()}})});
        log.clear();
        opened.clear();
    }
    // Raises the before-navigate event as the browser does and returns what came back.
    TWebBrowserEventParams Navigate(const std::string& url) {
        TWebBrowserEventParams p;
        p.URL = AnsiToWide(url);
        Browser().Fire(DISPID_BEFORENAVIGATE2, p);
        return p;
    }

    std::vector<std::string> opened;
    TSpawner previousSpawner;
    fs::path previousDir;
};

struct PolicyCase {
    const char* Name;
    const char* Masks;
    const char* Url;
    bool Cancel;
    const char* Opened; // below the current folder; "/" is the root itself
    const char* Window; // what the window was asked, "" for nothing
};

class NavigationPolicy : public PolicyTest, public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(NavigationPolicy, DecidesEveryNavigation) {
    const PolicyCase& c = GetParam();
    StartWithMasks(c.Masks);
    const TWebBrowserEventParams out = Navigate(c.Url);
    EXPECT_EQ(out.Cancel, c.Cancel);
    std::vector<std::string> expected;
    if (std::string(c.Opened) == "/") {
        expected.push_back("/");
    } else if (*c.Opened) {
        expected.push_back(Path(c.Opened));
    }
    EXPECT_EQ(opened, expected);
    EXPECT_EQ(log, *c.Window ? TCallLog{c.Window} : TCallLog{});
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NavigationPolicy,
    ::testing::Values(
        PolicyCase{"Root", "*.exe", "kiva://bundle/", true, "/", ""},
        PolicyCase{"RootWithTwoSlashes", "", "kiva://bundle//", true, "/", ""},
        PolicyCase{"RootIsCaseSensitive", "", "KIVA://bundle/", false, "", ""},
        PolicyCase{"PageOfTheBook", "*.exe", "kiva://bundle/index.html", false, "", ""},
        PolicyCase{"AboutClose", "", "about:close", true, "", "Close"},
        PolicyCase{"AboutCloseInCapitals", "", "ABOUT:CLOSE", true, "", "Close"},
        PolicyCase{"InternetPage", "*", "https://example.org/a.exe", false, "", ""},
        PolicyCase{"MaskedFile", "*.exe", "kiva://bundle/setup.exe", true, "setup.exe", ""},
        PolicyCase{"MaskIgnoresCase", "*.exe", "kiva://bundle/Setup.EXE", true, "Setup.EXE", ""},
        PolicyCase{"QueryDefeatsTheMask", "*.exe", "kiva://bundle/setup.exe?x=1", false, "", ""},
        PolicyCase{"EscapesAndFoldersKept", "*.pdf", "kiva://bundle/docs/My%20File.pdf", true,
                   "docs/My%20File.pdf", ""},
        PolicyCase{"BackslashesAreFolders", "*.pdf", "kiva://bundle/docs\\My%20File.pdf", true,
                   "docs/My%20File.pdf", ""},
        PolicyCase{"QueryKeptInThePath", "*.pdf?x=1", "kiva://bundle/a.pdf?x=1", true, "a.pdf?x=1",
                   ""},
        PolicyCase{"NoMasks", "", "kiva://bundle/setup.exe", false, "", ""},
        PolicyCase{"SpaceAfterSeparator", "*.exe; *.pdf", "kiva://bundle/docs/My%20File.pdf", false,
                   "", ""},
        PolicyCase{"SecondMask", "*.exe;*.pdf", "kiva://bundle/docs/My%20File.pdf", true,
                   "docs/My%20File.pdf", ""},
        // A masked link must not reach files outside the book's folder.
        PolicyCase{"ParentFolder", "*.exe", "kiva://bundle/../setup.exe", true, "",
                   "Status Not opened: ../setup.exe lies outside the current folder"},
        PolicyCase{"ParentFolderByBackslash", "*.exe", "kiva://bundle/docs\\..\\..\\x.exe", true,
                   "", "Status Not opened: docs\\..\\..\\x.exe lies outside the current folder"},
        PolicyCase{"AbsoluteName", "*.exe", "kiva://bundle//usr/bin/x.exe", true, "",
                   "Status Not opened: /usr/bin/x.exe lies outside the current folder"},
        // Nothing opens a missing file, so the reader is told.
        PolicyCase{"MissingFileIsSaid", "*.exe", "kiva://bundle/docs/none.exe", true, "",
                   "Status Not opened: docs/none.exe was not found in the current folder"},
        PolicyCase{"InvalidMask", "*.pdf;[a", "kiva://bundle/index.html", true, "",
                   "Status '[a' is an invalid mask at (3)"},
        PolicyCase{"MaskMatchedBeforeAnInvalidOne", "*.html;[a", "kiva://bundle/index.html", true,
                   "", "Status Not opened: index.html was not found in the current folder"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(PolicyTest, AMaskedLinkLeavesTheUrlWithoutTheContentRoot) {
    StartWithMasks("*.exe");
    bool cancel = false;
    std::string url = "kiva://bundle/setup.exe";
    form->WebBrowser1BeforeNavigate2(nullptr, nullptr, url, 0, "", "", "", cancel);
    EXPECT_TRUE(cancel);
    EXPECT_EQ(url, "setup.exe");
}

TEST(ExternalMasksTest, AFullListKeepsNoRoomForItsClosingSeparator) {
    std::string list(251, 'x');
    list += ";*.a";
    ASSERT_EQ(list.size(), 255u);
    EXPECT_FALSE(MatchesExternalMasks("kiva://bundle/b.a", list));
    EXPECT_TRUE(MatchesExternalMasks("kiva://bundle/b.a", list.substr(1)));
    // An empty mask matches only an empty URL, which no navigation has.
    EXPECT_FALSE(MatchesExternalMasks("kiva://bundle/a", ";;"));
    EXPECT_TRUE(MatchesExternalMasks("", ";;"));
}

TEST_F(Form1Test, NavigationErrorsShowTheirSignedCodeInTheStatusBar) {
    Start({Site("s.kvb")});
    for (const std::int32_t code : {404, static_cast<std::int32_t>(INET_E_RESOURCE_NOT_FOUND)}) {
        TWebBrowserEventParams p;
        p.StatusCode = code;
        p.URL = u"kiva://bundle/missing.html";
        Browser().Fire(DISPID_NAVIGATEERROR, p);
        EXPECT_FALSE(p.Cancel);
        EXPECT_EQ(view.StatusText, std::to_string(code));
    }
    EXPECT_EQ(view.StatusText, "-2146697211");
}

TEST_F(Form1Test, OnlyTheSecurityManagerServiceIsAnsweredWithTheViewersPolicy) {
    Start({Site("s.kvb")});
    IUnknown* object = nullptr;
    form->WebBrowser1QueryService(nullptr, IID_IInternetSecurityManager, IID_IUnknown, object);
    EXPECT_EQ(object, nullptr);
    form->WebBrowser1QueryService(nullptr, IID_IInternetSecurityManager,
                                  IID_IInternetSecurityManager, object);
    ASSERT_EQ(object, static_cast<IInternetSecurityManager*>(form->SecurityManager1));
    const struct {
        DWORD Action;
        HRESULT Result;
        DWORD Policy;
    } answers[] = {{0x1200, S_OK, URLPOLICY_ALLOW},         {0x1400, S_OK, URLPOLICY_ALLOW},
                   {0x1406, S_OK, URLPOLICY_ALLOW},         {0x1603, S_OK, URLPOLICY_ALLOW},
                   {0x1C00, S_OK, URLPOLICY_JAVA_PROHIBIT}, {0x2000, INET_E_DEFAULT_ACTION, 99}};
    for (const auto& a : answers) {
        DWORD policy = 99;
        EXPECT_EQ(form->SecurityManager1->ProcessUrlAction(u"https://example.org/", a.Action,
                                                           reinterpret_cast<BYTE*>(&policy), 4,
                                                           nullptr, 0, 0, 0),
                  a.Result);
        EXPECT_EQ(policy, a.Policy);
    }
}

} // namespace
} // namespace kiva
