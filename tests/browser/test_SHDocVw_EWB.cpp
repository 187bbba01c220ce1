#include "SHDocVw_EWB.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Dialogs.h"
#include "FakeWebBrowser.h"
#include "RecordingDialogs.h"

namespace kiva {
namespace {

using test::TFakeBrowserClass;
using test::TRecordingDialogs;

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no error)";
}

TEST(EWBCreation, WithoutTheBrowserClassEveryCommandButBackAndForwardRaises) {
    TEWB wb(nullptr);
    EXPECT_EQ(MessageOf([&] { wb.DefaultInterface(); }), "Class not registered");
    EXPECT_EQ(MessageOf([&] { wb.Navigate("kiva://bundle/index.html"); }), "Class not registered");
    EXPECT_EQ(MessageOf([&] { wb.NativeWidget(); }), "Class not registered");
    EXPECT_EQ(MessageOf([&] { wb.GoBack(); }), "(no error)");
    EXPECT_EQ(MessageOf([&] { wb.GoForward(); }), "(no error)");
    EXPECT_FALSE(wb.HasControl());
}

TEST(EWBCreation, AnObjectThatIsNoBrowserFailsTheCastEveryTime) {
    TFakeBrowserClass cls(false);
    TEWB wb(nullptr);
    EXPECT_EQ(MessageOf([&] { wb.DefaultInterface(); }), "Interface not supported");
    EXPECT_EQ(MessageOf([&] { wb.Navigate("about:blank"); }), "Interface not supported");
    EXPECT_EQ(cls.Created, 1);
}

TEST(EWBCreation, TheControlIsCreatedOnceSitedAndAdvisedAndLetGoWithTheHost) {
    TFakeBrowserClass cls;
    {
        TEWB wb(nullptr);
        EXPECT_FALSE(wb.HasControl());
        IWebBrowser2* first = wb.DefaultInterface();
        EXPECT_EQ(wb.DefaultInterface(), first);
        EXPECT_EQ(wb.NativeWidget(), static_cast<void*>(cls.Last.Get()));
        EXPECT_EQ(cls.Created, 1);
        EXPECT_TRUE(cls.Last->Site);
        EXPECT_TRUE(cls.Last->Sink);
    }
    EXPECT_FALSE(cls.Last->Site);
    EXPECT_FALSE(cls.Last->Sink);
    // A control that still holds the old sink may call it late; nobody is there to answer.
    TWebBrowserEventParams params;
    EXPECT_EQ(cls.Last->LastSink->Invoke(DISPID_TITLECHANGE, params), S_OK);
}

TEST(EWBCommands, NavigatePassesTheUrlAsUtf16AndRaisesTheFailureCode) {
    TFakeBrowserClass cls;
    TEWB wb(nullptr);
    wb.Navigate("kiva://bundle/caf\xC3\xA9.html");
    ASSERT_EQ(cls.Last->Navigated.size(), 1u);
    EXPECT_EQ(cls.Last->Navigated[0], u"kiva://bundle/caf\u00E9.html");

    cls.Last->NavigateResult = E_INVALIDARG;
    EXPECT_EQ(MessageOf([&] { wb.Navigate(""); }), "The parameter is incorrect");
    cls.Last->NavigateResult = static_cast<HRESULT>(0x800C0005u);
    EXPECT_EQ(MessageOf([&] { wb.Navigate("x"); }), "OLE error 800C0005");
}

TEST(EWBCommands, BackAndForwardSwallowTheFailureOfAnEmptyHistory) {
    TFakeBrowserClass cls;
    TEWB wb(nullptr);
    wb.DefaultInterface();
    cls.Last->BackResult = E_FAIL;
    cls.Last->ForwardResult = E_FAIL;
    EXPECT_NO_THROW(wb.GoBack());
    EXPECT_NO_THROW(wb.GoForward());
    EXPECT_EQ(cls.Last->BackCalls, 1);
    EXPECT_EQ(cls.Last->ForwardCalls, 1);
}

TEST(EWBCommands, LocationUrlComesBackAsUtf8) {
    TFakeBrowserClass cls;
    TEWB wb(nullptr);
    wb.DefaultInterface();
    cls.Last->Location = u"kiva://bundle/\u00FCber.html";
    EXPECT_EQ(wb.LocationURL(), "kiva://bundle/\xC3\xBC"
                                "ber.html");
}

TEST(EWBCommands, ExecWBPassesCommandOptionAndArgumentsAndRaisesTheFailureCode) {
    TFakeBrowserClass cls;
    TEWB wb(nullptr);
    wb.DefaultInterface();
    test::TFakeWebBrowser& control = *cls.Last.Get();

    wb.ExecWB(7, 2);
    TVariant level = TVariant::Int32(4);
    wb.ExecWB(19, 2, level);
    TVariant in;
    TVariant out;
    control.ExecWBOutput = TVariant::Int32(3);
    wb.ExecWB(19, 0, in, out);
    ASSERT_EQ(control.Commands.size(), 3u);
    const struct {
        DWORD id, option;
        TVariant::TKind in;
        std::int32_t level;
    } expected[] = {{7, 2, TVariant::TKind::vkEmpty, 0},
                    {19, 2, TVariant::TKind::vkInt32, 4},
                    {19, 0, TVariant::TKind::vkEmpty, 0}};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& c = control.Commands[i];
        EXPECT_EQ(c.ID, expected[i].id) << i;
        EXPECT_EQ(c.Option, expected[i].option) << i;
        EXPECT_EQ(c.In.Kind, expected[i].in) << i;
        EXPECT_EQ(c.In.Int, expected[i].level) << i;
        EXPECT_EQ(c.OutKind, TVariant::TKind::vkEmpty) << i;
    }
    // What the control answers comes back in the output argument.
    EXPECT_EQ(out.Kind, TVariant::TKind::vkInt32);
    EXPECT_EQ(out.Int, 3);

    control.ExecWBResult = OLECMDERR_E_NOTSUPPORTED;
    EXPECT_EQ(MessageOf([&] { wb.ExecWB(12, 1); }), "OLE error 80040100");
    control.ExecWBResult = E_INVALIDARG;
    EXPECT_EQ(MessageOf([&] { wb.ExecWB(19, 2, level); }), "The parameter is incorrect");
}

TEST(EWBCommands, DocumentAndApplicationAreTheControlsObjectsOrNull) {
    TFakeBrowserClass cls;
    TEWB wb(nullptr);
    wb.DefaultInterface();
    test::TFakeWebBrowser& control = *cls.Last.Get();
    EXPECT_FALSE(wb.Document());
    EXPECT_EQ(wb.Application().Get(), static_cast<IUnknown*>(static_cast<IWebBrowser2*>(&control)));

    ComPtr<test::TNotABrowser> document(new test::TNotABrowser());
    control.Document = ComPtr<IUnknown>(document->Unknown());
    EXPECT_EQ(wb.Document().Get(), document->Unknown());

    control.DocumentResult = E_FAIL;
    EXPECT_EQ(MessageOf([&] { wb.Document(); }), "Unspecified error");
}

class EWBEvents : public ::testing::Test {
protected:
    void SetUp() override { wb.DefaultInterface(); }
    test::TFakeWebBrowser& Control() { return *cls.Last.Get(); }

    TFakeBrowserClass cls;
    TEWB wb{nullptr};
};

TEST_F(EWBEvents, TextEventsArriveAsUtf8WithTheSender) {
    std::vector<std::string> seen;
    wb.OnTitleChange = [&](TComponent* sender, const std::string& text) {
        EXPECT_EQ(sender, &wb);
        seen.push_back("title " + text);
    };
    wb.OnStatusTextChange = [&](TComponent*, const std::string& text) {
        seen.push_back("status " + text);
    };
    TWebBrowserEventParams p;
    p.Text = u"Caf\u00E9";
    Control().Fire(DISPID_TITLECHANGE, p);
    p.Text = u"kiva://bundle/a.html";
    Control().Fire(DISPID_STATUSTEXTCHANGE, p);
    EXPECT_EQ(seen, (std::vector<std::string>{"title Caf\xC3\xA9", "status kiva://bundle/a.html"}));
}

TEST_F(EWBEvents, CommandStateCarriesCommandAndEnable) {
    std::vector<std::pair<int, bool>> seen;
    wb.OnCommandStateChange = [&](TComponent*, std::int32_t command, bool enable) {
        seen.emplace_back(command, enable);
    };
    TWebBrowserEventParams p;
    p.Command = CSC_NAVIGATEBACK;
    p.Enable = true;
    Control().Fire(DISPID_COMMANDSTATECHANGE, p);
    p.Command = CSC_NAVIGATEFORWARD;
    p.Enable = false;
    Control().Fire(DISPID_COMMANDSTATECHANGE, p);
    EXPECT_EQ(seen, (std::vector<std::pair<int, bool>>{{2, true}, {1, false}}));
}

TEST_F(EWBEvents, CancelOfBeforeNavigateWindowClosingAndNavigateErrorReachesTheControl) {
    wb.OnBeforeNavigate2 = [](TComponent*, IUnknown* pDisp, std::string& url, std::int32_t,
                              const std::string&, const std::string&, const std::string&,
                              bool& cancel) {
        EXPECT_NE(pDisp, nullptr);
        cancel = url == "about:close";
        url = "changed by the handler";
    };
    wb.OnWindowClosing = [](TComponent*, bool isChild, bool& cancel) { cancel = !isChild; };
    std::int32_t statusSeen = 0;
    wb.OnNavigateError = [&](TComponent*, IUnknown*, const std::string& url,
                             const std::string& frame, std::int32_t status, bool& cancel) {
        EXPECT_EQ(url, "kiva://bundle/missing.html");
        EXPECT_EQ(frame, "main");
        statusSeen = status;
        cancel = true;
    };

    TWebBrowserEventParams p;
    p.URL = u"about:close";
    auto out = Control().Fire(DISPID_BEFORENAVIGATE2, p);
    EXPECT_TRUE(out.Cancel);
    EXPECT_EQ(out.URL, u"about:close");
    p.URL = u"kiva://bundle/index.html";
    EXPECT_FALSE(Control().Fire(DISPID_BEFORENAVIGATE2, p).Cancel);

    TWebBrowserEventParams closing;
    EXPECT_TRUE(Control().Fire(DISPID_WINDOWCLOSING, closing).Cancel);

    TWebBrowserEventParams error;
    error.URL = u"kiva://bundle/missing.html";
    error.TargetFrameName = u"main";
    error.StatusCode = static_cast<std::int32_t>(0x800C0005u);
    EXPECT_TRUE(Control().Fire(DISPID_NAVIGATEERROR, error).Cancel);
    EXPECT_EQ(statusSeen, static_cast<std::int32_t>(0x800C0005u));
}

TEST_F(EWBEvents, UnboundAndUnknownEventsLeaveTheControlAlone) {
    TWebBrowserEventParams p;
    p.URL = u"kiva://bundle/index.html";
    for (DISPID id : {DISPID_BEFORENAVIGATE2, DISPID_WINDOWCLOSING, DISPID_NAVIGATEERROR,
                      DISPID_DOCUMENTCOMPLETE, DISPID_PROGRESSCHANGE, 9999}) {
        EXPECT_FALSE(Control().Fire(id, p).Cancel) << id;
        EXPECT_EQ(Control().LastInvokeResult, S_OK);
    }
}

TEST_F(EWBEvents, DocumentCompleteAndNavigateCompleteCarryTheUrl) {
    std::vector<std::string> seen;
    wb.OnNavigateComplete2 = [&](TComponent*, IUnknown*, const std::string& url) {
        seen.push_back("navigated " + url);
    };
    wb.OnDocumentComplete = [&](TComponent*, IUnknown*, const std::string& url) {
        seen.push_back("complete " + url);
    };
    TWebBrowserEventParams p;
    p.URL = u"about:blank";
    Control().Fire(DISPID_NAVIGATECOMPLETE2, p);
    Control().Fire(DISPID_DOCUMENTCOMPLETE, p);
    EXPECT_EQ(seen, (std::vector<std::string>{"navigated about:blank", "complete about:blank"}));
}

TEST_F(EWBEvents, AnErrorEscapingAHandlerGoesToTheDefaultErrorDisplayNotTheControl) {
    TRecordingDialogs dialogs;
    IDialogs* previous = SetDialogs(&dialogs);
    SetApplicationTitle("Kivabook Viewer");
    wb.OnBeforeNavigate2 = [](TComponent*, IUnknown*, std::string&, std::int32_t,
                              const std::string&, const std::string&, const std::string&,
                              bool& cancel) {
        cancel = true;
        throw Exception("'[a' is an invalid mask");
    };
    TWebBrowserEventParams p;
    p.URL = u"kiva://bundle/x.exe";
    const auto out = Control().Fire(DISPID_BEFORENAVIGATE2, p);
    SetDialogs(previous);
    EXPECT_EQ(Control().LastInvokeResult, S_OK);
    // What the handler had set before it failed stays set, as with a by-reference argument.
    EXPECT_TRUE(out.Cancel);
    ASSERT_EQ(dialogs.Boxes.size(), 1u);
    EXPECT_EQ(dialogs.Boxes[0].Caption, "Kivabook Viewer");
    EXPECT_EQ(dialogs.Boxes[0].Text, "'[a' is an invalid mask.");
}

TEST(EWBOwnership, TheOwnerDestroysTheHostAndTheControlIsLetGo) {
    TFakeBrowserClass cls;
    auto owner = std::make_unique<TComponent>(nullptr);
    auto* wb = new TEWB(owner.get());
    wb->DefaultInterface();
    ASSERT_TRUE(cls.Last->Sink);
    owner.reset();
    EXPECT_FALSE(cls.Last->Sink);
    EXPECT_FALSE(cls.Last->Site);
}

// Every event of the table, bound to record its name and the argument it carries.
TEST_F(EWBEvents, EachDispatchIdOfTheTableRaisesItsOwnEventWithItsArguments) {
    std::string seen;
    auto named = [&](const char* name) { return [&seen, name](auto&&...) { seen = name; }; };
    auto flag = [&](const char* name) {
        return [&seen, name](TComponent*, bool v) { seen = std::string(name) + (v ? "+" : "-"); };
    };
    auto number = [&](const char* name) {
        return [&seen, name](TComponent*, std::int32_t v) {
            seen = std::string(name) + std::to_string(v);
        };
    };
    wb.OnStatusTextChange = named("StatusTextChange");
    wb.OnProgressChange = [&](TComponent*, std::int32_t p, std::int32_t max) {
        seen = "ProgressChange" + std::to_string(p) + "/" + std::to_string(max);
    };
    wb.OnCommandStateChange = named("CommandStateChange");
    wb.OnDownloadBegin = named("DownloadBegin");
    wb.OnDownloadComplete = named("DownloadComplete");
    wb.OnTitleChange = named("TitleChange");
    wb.OnPropertyChange = [&](TComponent*, const std::string& p) { seen = "PropertyChange" + p; };
    wb.OnBeforeNavigate2 = named("BeforeNavigate2");
    wb.OnNewWindow2 = [&](TComponent*, IUnknown*&, bool& cancel) {
        seen = "NewWindow2";
        cancel = true;
    };
    wb.OnNavigateComplete2 = named("NavigateComplete2");
    wb.OnDocumentComplete = named("DocumentComplete");
    wb.OnQuit = named("Quit");
    wb.OnVisible = flag("Visible");
    wb.OnToolBar = flag("ToolBar");
    wb.OnMenuBar = flag("MenuBar");
    wb.OnStatusBar = flag("StatusBar");
    wb.OnFullScreen = flag("FullScreen");
    wb.OnTheaterMode = flag("TheaterMode");
    wb.OnAddressBar = flag("AddressBar");
    wb.OnWindowSetResizable = flag("WindowSetResizable");
    wb.OnWindowSetLeft = number("WindowSetLeft");
    wb.OnWindowSetTop = number("WindowSetTop");
    wb.OnWindowSetWidth = number("WindowSetWidth");
    wb.OnWindowSetHeight = number("WindowSetHeight");
    wb.OnWindowClosing = named("WindowClosing");
    wb.OnClientToHostWindow = [&](TComponent*, std::int32_t& cx, std::int32_t& cy) {
        seen = "ClientToHostWindow" + std::to_string(cx) + "x" + std::to_string(cy);
        cx = 640;
    };
    wb.OnSetSecureLockIcon = number("SetSecureLockIcon");
    wb.OnFileDownload = [&](TComponent*, bool active, bool& cancel) {
        seen = std::string("FileDownload") + (active ? "+" : "-");
        cancel = true;
    };
    wb.OnNavigateError = named("NavigateError");
    wb.OnPrintTemplateInstantiation = named("PrintTemplateInstantiation");
    wb.OnPrintTemplateTeardown = named("PrintTemplateTeardown");
    wb.OnUpdatePageStatus = [&](TComponent*, IUnknown*, std::int32_t page, bool done) {
        seen = "UpdatePageStatus" + std::to_string(page) + (done ? "+" : "-");
    };
    wb.OnPrivacyImpactedStateChange = flag("PrivacyImpactedStateChange");
    wb.OnNewWindow3 = [&](TComponent*, IUnknown*&, bool&, std::uint32_t flags,
                          const std::string& context, const std::string& url) {
        seen = "NewWindow3 " + std::to_string(flags) + " " + context + " " + url;
    };

    const std::pair<DISPID, std::string> table[] = {
        {102, "StatusTextChange"},
        {108, "ProgressChange5/9"},
        {105, "CommandStateChange"},
        {106, "DownloadBegin"},
        {104, "DownloadComplete"},
        {113, "TitleChange"},
        {112, "PropertyChangetext"},
        {250, "BeforeNavigate2"},
        {251, "NewWindow2"},
        {252, "NavigateComplete2"},
        {259, "DocumentComplete"},
        {253, "Quit"},
        {254, "Visible+"},
        {255, "ToolBar+"},
        {256, "MenuBar+"},
        {257, "StatusBar+"},
        {258, "FullScreen+"},
        {260, "TheaterMode+"},
        {261, "AddressBar+"},
        {262, "WindowSetResizable+"},
        {264, "WindowSetLeft7"},
        {265, "WindowSetTop7"},
        {266, "WindowSetWidth7"},
        {267, "WindowSetHeight7"},
        {263, "WindowClosing"},
        {268, "ClientToHostWindow3x4"},
        {269, "SetSecureLockIcon7"},
        {270, "FileDownload+"},
        {271, "NavigateError"},
        {225, "PrintTemplateInstantiation"},
        {226, "PrintTemplateTeardown"},
        {227, "UpdatePageStatus7+"},
        {272, "PrivacyImpactedStateChange+"},
        {273, "NewWindow3 2 kiva://bundle/a.html kiva://bundle/b.html"},
    };
    int count = 0;
    const std::int32_t* ids = TEWB::EventDispIds(count);
    ASSERT_EQ(count, 34);
    for (int i = 0; i < count; ++i) {
        const auto& [id, expected] = table[i];
        EXPECT_EQ(ids[i], id) << "position " << i;
        TWebBrowserEventParams p;
        p.Text = u"text";
        p.Progress = 5;
        p.ProgressMax = 9;
        p.Flag = true;
        p.Number = 7;
        p.CX = 3;
        p.CY = 4;
        p.Flags = 2;
        p.UrlContext = u"kiva://bundle/a.html";
        p.URL = u"kiva://bundle/b.html";
        seen.clear();
        const auto out = Control().Fire(id, p);
        EXPECT_EQ(seen, expected) << "dispatch id " << id;
        if (id == 251 || id == 270) {
            EXPECT_TRUE(out.Cancel) << id;
        }
        if (id == 268) {
            EXPECT_EQ(out.CX, 640);
        }
    }
}

} // namespace
} // namespace kiva
