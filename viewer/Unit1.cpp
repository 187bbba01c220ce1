#include "Unit1.h"

#include <array>
#include <exception>

#include <unistd.h>

#include "ComObj.h"
#include "Dialogs.h"
#include "OurNSHandler.h"
#include "ProtocolRegistration.h"
#include "SearchResultsPage.h"
#include "Shell.h"
#include "UrlMon.h"
#include "WebBrowser.h"

namespace kiva {

namespace {

// The registration references live as long as the process, as in the unit that holds them.
ComPtr<IClassFactory> ProtocolFactory;
ComPtr<IInternetSession> InternetSession;

const char* MessageOf(const std::exception& e) {
    return e.what();
}

} // namespace

void ReleaseProtocolReferences() {
    ProtocolFactory = nullptr;
    InternetSession = nullptr;
}

TForm1::TForm1(IMainView& view, TStartupParams startup)
    : TComponent(nullptr), view_(view), startup_(std::move(startup)) {
    SetName("Form1");
    LiveObjectCount = [] { return ComObjectCount(); };

    Book = std::make_unique<TBookSession>();
    Arc = &Book->Archive();
    Arc->SetName("Arc");
    Arc->MaxMemoryUsage = 128;
    Arc->ExtractWithPath = true;
    Arc->SavePaths = true;
    Arc->VerifyArchiveCRC = false;
    Arc->CompressionLevel = fcFastest;
    Arc->OnErrorLogged = [this](const std::string& msg) { ArcErrorLogged(msg); };

    PopupMenu2 = new TPopupMenu(this);
    PopupMenu2->SetName("PopupMenu2");
    PopupMenu2->OnPopup = [this](TComponent* sender) { PopupMenu2Popup(sender); };
    PopupMenu2->ShowAt = [this](int x, int y) { view_.ShowBrowserMenu(x, y); };

    WebBrowser1 = new TEmbeddedWB(this);
    WebBrowser1->SetName("WebBrowser1");
    WebBrowser1->PopupMenu = PopupMenu2;
    WebBrowser1->DisabledPopupMenus = TIEPopupMenus{
        TIEPopupMenu::rcmDefault, TIEPopupMenu::rcmImage,    TIEPopupMenu::rcmControl,
        TIEPopupMenu::rcmTable,   TIEPopupMenu::rcmSelText,  TIEPopupMenu::rcmAnchor,
        TIEPopupMenu::rcmUnKnown, TIEPopupMenu::rcmImageArt, TIEPopupMenu::rcmImgDynSrc,
        TIEPopupMenu::rcmDebug,   TIEPopupMenu::rcmAll};
    WebBrowser1->ScriptErrorAction = TScriptErrorAction::eaAskUser;
    WebBrowser1->DisableErrors = TDisableErrors{false, false, false};
    WebBrowser1->OnDocumentComplete = [this](TComponent* sender, IUnknown* disp,
                                             const std::string& url) {
        WebBrowser1DocumentComplete(sender, disp, url);
    };
    WebBrowser1->OnTitleChange = [this](TComponent* sender, const std::string& text) {
        WebBrowser1TitleChange(sender, text);
    };
    WebBrowser1->OnStatusTextChange = [this](TComponent* sender, const std::string& text) {
        WebBrowser1StatusTextChange(sender, text);
    };
    WebBrowser1->OnCommandStateChange = [this](TComponent* sender, std::int32_t command,
                                               bool enable) {
        WebBrowser1CommandStateChange(sender, command, enable);
    };
    WebBrowser1->OnWindowClosing = [this](TComponent* sender, bool isChild, bool& cancel) {
        WebBrowser1WindowClosing(sender, isChild, cancel);
    };
    WebBrowser1->OnBeforeNavigate2 = [this](TComponent* sender, IUnknown* disp, std::string& url,
                                            std::int32_t flags, const std::string& frame,
                                            const std::string& postData, const std::string& headers,
                                            bool& cancel) {
        WebBrowser1BeforeNavigate2(sender, disp, url, flags, frame, postData, headers, cancel);
    };
    WebBrowser1->OnNavigateError = [this](TComponent* sender, IUnknown* disp,
                                          const std::string& url, const std::string& frame,
                                          std::int32_t status, bool& cancel) {
        WebBrowser1NavigateError(sender, disp, url, frame, status, cancel);
    };
    WebBrowser1->OnQueryService = [this](TComponent* sender, const GUID& rsid, const GUID& iid,
                                         IUnknown*& obj) {
        WebBrowser1QueryService(sender, rsid, iid, obj);
    };
    WebBrowser1->Loaded();

    SecurityManager1 = new TSecurityManager(this);
    SecurityManager1->SetName("SecurityManager1");
    TUrlPolicyOptions& policy = SecurityManager1->UrlPolicy();
    policy.ActiveX = TAllowDisAllowPolicyOption::Allow;
    policy.CrossDomainData = TAllowDisAllowPolicyOption::Allow;
    policy.SubmitForms = TAllowDisAllowPolicyOption::Allow;
    policy.JavaPermissions = TJavaPolicyOption::Prohibited;
    policy.Scripts = TAllowDisAllowPolicyOption::Allow;

    view_.SetCaption(kApplicationTitle);
    view_.AttachBrowser(WebBrowser1->NativeWidget());
    // The search results are the viewer's own pages, made here.
    Book->Web().ViewerPages = [this, alive = std::weak_ptr<int>(alive_)](const std::string& uri) {
        return alive.lock() ? ViewerPage(uri) : std::nullopt;
    };
}

TForm1::~TForm1() {
    Destroying();
    alive_.reset();
    BookSearch.reset();
    Book->StopServing();
    // The browser calls back into the form's handlers, so it goes while the form is whole;
    // the book's engine context and reader outlive it.
    DestroyComponents();
    Book.reset();
}

void TForm1::Quit() {
    quitRequested_ = true;
    view_.RequestQuit();
}

void TForm1::FormCreate() {
    // 1. The password dialog's texts.
    PasswordCaption = kPasswordCaption;
    PasswordPrompt = kPasswordPrompt;
    // 2. The tool bar draws double-buffered on this toolkit anyway.
    // 3.
    OptionsStream = std::make_unique<TMemoryStream>();
    // 4. The content protocol; the viewer starts without it when it cannot be registered.
    try {
        RegisterKivaNameSpace(ProtocolFactory, InternetSession);
    } catch (const std::exception&) {
        ShowInformationBox("Error registering Pluggable Protocol");
    }
    // 5.
    if (!OpenProjectArchive()) {
        Quit();
        return;
    }
    // 6.
    ReadProjectOptions();
    // Storage, entry store and media server must be in place before the first page.
    Book->Prepare(!ProjectOptions.ViewPassword.empty());
    // 7. The agent is the book's own: requests of other books never carry it.
    if (!ProjectOptions.UserAgentText.empty()) {
        Book->SetUserAgent(ProjectOptions.UserAgentText);
    }
    // 8.
    if (!CheckViewPassword()) {
        Quit();
        return;
    }
    // 9.
    ApplyWindowOptions();
    // Searching the whole book goes with Find.
    view_.SetSearchFieldVisible(ProjectOptions.AllowFind);
    if (ProjectOptions.AllowFind) {
        BookSearch = std::make_unique<TBookSearch>(
            *Book, EntryNameFromUrl(HomeUrlFromStartPage(ProjectOptions.StartPage)),
            [this](std::function<void()> call) { view_.Post(std::move(call)); },
            [this](const std::string& text) { ShowIndexProgress(text); });
    }
    // 10.
    HomeUrl = HomeUrlFromStartPage(ProjectOptions.StartPage);
    try {
        WebBrowser1->Navigate(HomeUrl);
    } catch (const std::exception&) {
        ShowInformationBox("Webbrowser Navigation error");
    }
}

bool TForm1::OpenProjectArchive() {
    // An archive at the end of the executable wins over anything on the command line.
    try {
        if (!startup_.ExeName.empty() && Arc->OpenArchive(startup_.ExeName)) {
            return true;
        }
    } catch (const std::exception&) {
    }
    const std::vector<std::string>& params = startup_.Params;
    if (params.size() == 1) {
        // The extension is held to ".kvb" exactly, letter case included.
        if (ExtractFileExt(params[0]) != ".kvb") {
            return false;
        }
        Arc->OpenArchive(params[0]);
        return true;
    }
    const std::optional<std::string> chosen = ExecuteOpenDialog(kOpenDialogFilter);
    if (!chosen) {
        return false;
    }
    Arc->OpenArchive(*chosen);
    return true;
}

void TForm1::ReadProjectOptions() {
    std::array<std::uint8_t, kProjectOptionsRecordSize> record{};
    std::int64_t got = 0;
    try {
        Arc->ExtractToStream(*OptionsStream, kConfigEntry);
        OptionsStream->SetPosition(0);
        got = OptionsStream->Read(record.data(), static_cast<std::int64_t>(record.size()));
    } catch (const std::exception&) {
        ShowInformationBox("Error reading project options");
    }
    ProjectOptions = TProjectOptions::Decode(record.data(), static_cast<std::size_t>(got));
}

bool TForm1::CheckViewPassword() {
    if (ProjectOptions.ViewPassword.empty()) {
        return true;
    }
    return ViewPasswordMatches(ProjectOptions.ViewPassword,
                               PasswordQuery(PasswordCaption, PasswordPrompt));
}

void TForm1::ApplyWindowOptions() {
    const TProjectOptions& o = ProjectOptions;
    const TExtent size = FitWindowSize(o.WindowWidth, o.WindowHeight, view_.WorkArea());
    view_.SetWidth(size.Width);
    view_.SetHeight(size.Height);
    // The design centres the window already; the flag only asks for it again.
    if (o.CenterWindow) {
        view_.CenterOnDesktop();
    }
    view_.SetToolBarVisible(o.ShowToolBar);
    view_.SetButtonCaptionsVisible(o.ShowButtonCaptions);
    view_.SetStatusBarVisible(o.ShowStatusBar);
    view_.SetFrameStyle(FrameStyleOf(o.WindowStyle));
    view_.SetCommandEnabled(TViewCommand::vcCopy, o.AllowCopy);
    view_.SetCommandEnabled(TViewCommand::vcPrint, o.AllowPrint);
    view_.SetCommandEnabled(TViewCommand::vcFind, o.AllowFind);
    view_.SetCommandEnabled(TViewCommand::vcFontSize, o.AllowFontSize);
    if (o.HideScrollBars) {
        try {
            WebBrowser1->SetUserInterfaceOptions(WebBrowser1->UserInterfaceOptions().Include(
                TUserInterfaceOption::DontUseScrollBars));
        } catch (const std::exception&) {
            ShowInformationBox("Can not change Scrollbars option");
        }
    }
    // No guard here: a logo that cannot be loaded ends the create handler.
    if (!o.LogoFile.empty()) {
        OptionsStream->Clear();
        Arc->ExtractToStream(*OptionsStream, kLogoEntry);
        const std::uint8_t* bytes = OptionsStream->Memory();
        const std::vector<std::uint8_t> icon(bytes, bytes + OptionsStream->Size());
        view_.LoadLogoIcon(icon);
    }
}

void TForm1::FormClose() {
    DocumentLoaded = false;
    WebBrowser1->Navigate("about:blank");
    for (int round = 0; !DocumentLoaded && round < kCloseWaitRounds; ++round) {
        view_.ProcessMessages();
        view_.Sleep(kCloseWaitSleepMs);
    }
}

void TForm1::FormDestroy() {
    OptionsStream.reset();
    // The index's worker reads the book: it stops before the book does.
    BookSearch.reset();
    Book->StopServing();
    Arc->CloseArchive();
    UnregisterKivaNameSpace(ProtocolFactory, InternetSession);
}

void TForm1::Create() {
    try {
        FormCreate();
    } catch (const std::exception& e) {
        ShowDefaultError(MessageOf(e));
    }
}

bool TForm1::CloseQuery() {
    try {
        FormClose();
    } catch (const std::exception& e) {
        ShowDefaultError(MessageOf(e));
        return false;
    }
    if (LiveObjectCount && LiveObjectCount() > 0) {
        return ConfirmCloseWithLiveComObjects();
    }
    return true;
}

void TForm1::Destroy() {
    try {
        FormDestroy();
    } catch (const std::exception& e) {
        ShowDefaultError(MessageOf(e));
    }
}

void TForm1::ArcErrorLogged(const std::string& Msg) {
    ShowErrorBox(Msg);
}

void TForm1::WebBrowser1DocumentComplete(TComponent*, IUnknown*, const std::string& URL) {
    DocumentLoaded = true;
    // A page opened from the search results shows where the words are.
    if (!markEntry_.empty() && URL.rfind(std::string(kContentRoot), 0) == 0 &&
        TBookSearch::PageKey(URL) == markEntry_) {
        markEntry_.clear();
        WebBrowser1->FindText(markText_);
    }
}

void TForm1::WebBrowser1TitleChange(TComponent*, const std::string& Text) {
    view_.SetCaption(Text);
    SetApplicationTitle(Text);
    // The index is made once the book's first page is there, so that it never delays it.
    if (BookSearch) {
        BookSearch->Start();
    }
}

void TForm1::WebBrowser1StatusTextChange(TComponent*, const std::string& Text) {
    ShowStatus(Text);
}

void TForm1::ShowStatus(const std::string& text) {
    statusText_ = text;
    view_.SetStatusText(text.empty() ? indexStatus_ : text);
}

void TForm1::ShowIndexProgress(const std::string& text) {
    indexStatus_ = text;
    if (statusText_.empty()) {
        view_.SetStatusText(text);
    }
}

std::optional<std::string> TForm1::ViewerPage(const std::string& uri) {
    return BookSearch ? BookSearch->Page(uri) : std::nullopt;
}

void TForm1::WebBrowser1CommandStateChange(TComponent*, std::int32_t Command, bool Enable) {
    if (Command == CSC_NAVIGATEFORWARD) {
        canGoForward_ = Enable;
        view_.SetCommandEnabled(TViewCommand::vcForward, Enable);
    } else if (Command == CSC_NAVIGATEBACK) {
        canGoBack_ = Enable;
        view_.SetCommandEnabled(TViewCommand::vcBack, Enable);
    }
}

void TForm1::WebBrowser1WindowClosing(TComponent*, bool, bool&) {
    view_.RequestClose();
}

void TForm1::WebBrowser1BeforeNavigate2(TComponent*, IUnknown*, std::string& URL, std::int32_t,
                                        const std::string&, const std::string&, const std::string&,
                                        bool& Cancel) {
    // The bare root opens the root folder on the desktop instead of a page.
    if (URL == kContentRoot || URL == std::string(kContentRoot) + "/") {
        ShellExecuteA(nullptr, "open", "\\", nullptr, nullptr, SW_SHOWNORMAL);
        Cancel = true;
        return;
    }
    const std::string lower = AnsiLowerCaseAscii(URL);
    if (lower.compare(0, kContentRoot.size(), kContentRoot) != 0) {
        if (lower == "about:close") {
            Cancel = true;
            view_.RequestClose();
        }
        // Every other address loads inside the viewer.
        return;
    }
    // A page opened from the search results: its words are marked once it is shown.
    markEntry_.clear();
    if (BookSearch && QueryOfSearchResultsUrl(WebBrowser1->LocationURL())) {
        if (std::optional<std::string> text = BookSearch->TextToMark(URL)) {
            markEntry_ = TBookSearch::PageKey(URL);
            markText_ = *text;
        }
    }
    bool matched = false;
    try {
        matched = MatchesExternalMasks(URL, ProjectOptions.ExternalMasks);
    } catch (const std::exception& e) {
        // The project's mask list is broken: the link is neither loaded nor handed out.
        Cancel = true;
        ShowStatus(MessageOf(e));
        return;
    }
    if (!matched) {
        return;
    }
    Cancel = true;
    OpenExternalFile(URL);
    URL = URL.substr(kContentRoot.size());
}

void TForm1::OpenExternalFile(const std::string& url) {
    std::string dir;
    if (char* cwd = getcwd(nullptr, 0)) {
        dir = cwd;
        std::free(cwd);
    }
    const std::optional<std::string> path = ExternalFilePath(url, dir);
    if (!path) {
        // A page must not reach files outside the book's folder through a masked link.
        ShowStatus("Not opened: " + url.substr(kContentRoot.size()) +
                   " lies outside the current folder");
        return;
    }
    // The desktop gets the file as one argument. Here no desktop tells of a file it cannot
    // find, so the status bar does, and the page stays.
    const HINSTANCE result =
        ShellExecuteA(nullptr, "open", path->c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    const std::string name = url.substr(kContentRoot.size());
    if (result == SE_ERR_FNF) {
        ShowStatus("Not opened: " + name + " was not found in the current folder");
    } else if (result == SE_ERR_ACCESSDENIED) {
        ShowStatus("Not opened: " + name + " may not be read");
    } else if (result <= 32) {
        ShowStatus("Not opened: " + name + " cannot be shown on this desktop");
    }
}

void TForm1::WebBrowser1NavigateError(TComponent*, IUnknown*, const std::string&,
                                      const std::string&, std::int32_t StatusCode, bool&) {
    ShowStatus(std::to_string(StatusCode));
}

void TForm1::WebBrowser1QueryService(TComponent*, const GUID& rsid, const GUID& iid,
                                     IUnknown*& Obj) {
    if (rsid == IID_IInternetSecurityManager && iid == rsid) {
        Obj = nullptr;
        SecurityManager1->QueryInterface(IID_IInternetSecurityManager,
                                         reinterpret_cast<void**>(&Obj));
        return;
    }
    // The browser finds its book (storage, agent, the content's services) here.
    if (!Obj && (rsid == SID_SKivaWebSession || rsid == SID_SKivaBook)) {
        Book->Services()->QueryService(rsid, iid, reinterpret_cast<void**>(&Obj));
    }
}

} // namespace kiva
