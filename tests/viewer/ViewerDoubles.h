#pragma once

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ComObj.h"
#include "MainView.h"
#include "SysUtils.h"
#include "Unit1.h"
#include "WebBrowser.h"

namespace kiva::test {

// One log that the window and browser doubles both write to, so that tests can check the
// order of everything the main window did.
using TCallLog = std::vector<std::string>;

inline std::string Utf8Of(std::u16string_view s) {
    std::string r;
    for (char16_t c : s) {
        r += static_cast<char>(c); // tests use ASCII only
    }
    return r;
}

// The window on screen, recorded.
class TFakeView final : public IMainView {
public:
    explicit TFakeView(TCallLog& log) : log_(log) {}

    void AttachBrowser(void* widget) override {
        log_.push_back(widget ? "AttachBrowser" : "AttachBrowser null");
    }
    void SetCaption(const std::string& caption) override {
        Caption = caption;
        log_.push_back("Caption " + caption);
    }
    std::optional<TExtent> WorkArea() override { return WorkAreaSize; }
    void SetWidth(int width) override { log_.push_back("Width " + std::to_string(width)); }
    void SetHeight(int height) override { log_.push_back("Height " + std::to_string(height)); }
    void CenterOnDesktop() override { log_.push_back("Center"); }
    void SetToolBarVisible(bool v) override { log_.push_back(Flag("ToolBar", v)); }
    void SetButtonCaptionsVisible(bool v) override { log_.push_back(Flag("Captions", v)); }
    void SetStatusBarVisible(bool v) override { log_.push_back(Flag("StatusBar", v)); }
    void SetFrameStyle(TFrameStyle style) override {
        log_.push_back("Frame " + std::to_string(static_cast<int>(style)));
    }
    void SetCommandEnabled(TViewCommand command, bool enabled) override {
        static const char* const names[] = {"Back", "Forward", "Copy", "Find", "Print", "FontSize"};
        log_.push_back(Flag(std::string("Enable ") + names[static_cast<int>(command)], enabled));
    }
    void SetStatusText(const std::string& text) override {
        StatusText = text;
        log_.push_back("Status " + text);
    }
    void LoadLogoIcon(const std::vector<std::uint8_t>& icon) override {
        Logo = icon;
        log_.push_back("Logo " + std::to_string(icon.size()));
        if (LogoFails) {
            throw Exception("Invalid icon");
        }
    }
    void ShowBrowserMenu(int x, int y) override {
        log_.push_back("BrowserMenu " + std::to_string(x) + "," + std::to_string(y));
    }
    void RequestQuit() override { log_.push_back("Quit"); }
    void RequestClose() override { log_.push_back("Close"); }
    void ProcessMessages() override {
        ++ProcessCalls;
        if (OnProcessMessages) {
            OnProcessMessages();
        }
    }
    void Sleep(int ms) override { Sleeps.push_back(ms); }
    void SetFontSizeMark(int level) override {
        FontSizeMark = level;
        log_.push_back("FontSizeMark " + std::to_string(level));
    }
    void DropFontSizeMenu() override { log_.push_back("DropFontSizeMenu"); }
    void SetSearchFieldVisible(bool v) override { SearchFieldVisible = v; }
    void FocusSearchField() override { log_.push_back("FocusSearchField"); }
    void Post(std::function<void()> call) override {
        std::lock_guard lock(postMutex_);
        Posted.push_back(std::move(call));
    }
    // Runs the calls posted so far, as the main loop would.
    void RunPosted() {
        std::vector<std::function<void()>> calls;
        {
            std::lock_guard lock(postMutex_);
            calls.swap(Posted);
        }
        for (auto& call : calls) {
            call();
        }
    }

    int FontSizeMark = kMediumTextSize;
    std::optional<TExtent> WorkAreaSize;
    std::string Caption;
    std::string StatusText;
    std::vector<std::uint8_t> Logo;
    bool LogoFails = false;
    int ProcessCalls = 0;
    std::vector<int> Sleeps;
    std::function<void()> OnProcessMessages;
    bool SearchFieldVisible = false;
    std::vector<std::function<void()>> Posted;

private:
    std::mutex postMutex_;
    static std::string Flag(const std::string& name, bool v) { return name + (v ? " 1" : " 0"); }
    TCallLog& log_;
};

// The current document's command target, recorded in the browser's log.
class TFakeDocument final : public TComObjectWith<IOleCommandTarget> {
public:
    HRESULT QueryStatus(const GUID*, ULONG, OLECMD*) override { return E_NOTIMPL; }
    HRESULT Exec(const GUID* group, DWORD id, DWORD option, TVariant* in, TVariant* out) override {
        const bool browserGroup = group && *group == CGID_IWebBrowser;
        Log->push_back(std::string("Exec ") + (browserGroup ? "browser " : "other ") +
                       std::to_string(id) + " " + std::to_string(option) + " " +
                       (in && in->Kind == TVariant::TKind::vkEmpty ? "empty" : "given") + " " +
                       (out && out->Kind == TVariant::TKind::vkEmpty ? "empty" : "given"));
        return ExecResult;
    }
    TCallLog* Log = nullptr;
    HRESULT ExecResult = S_OK;
};

// A document object without a command target.
class TFakePlainDocument final : public TComObject {};

// The browser control, recorded: navigations go into the shared log, and the test decides
// when the control reports a document complete.
class TFakeBrowser final : public TComObjectWith<IWebBrowser2, IOleControl, IWebBrowserReader> {
public:
    HRESULT Navigate(std::u16string_view url) override {
        Log->push_back("Navigate " + Utf8Of(url));
        if (NavigateResult != S_OK) {
            return NavigateResult;
        }
        if (CompleteOnNavigate) {
            CompleteDocument(url);
        }
        return S_OK;
    }
    HRESULT GoBack() override {
        Log->push_back("GoBack");
        return E_FAIL;
    }
    HRESULT GoForward() override {
        Log->push_back("GoForward");
        return E_FAIL;
    }
    HRESULT Stop() override { return S_OK; }
    HRESULT get_LocationURL(std::u16string& url) override {
        url = AnsiToWide(Location);
        return S_OK;
    }
    // IWebBrowserReader: the find box's text is recorded.
    HRESULT get_KeyboardFocus(TBrowserFocus& focus) override {
        focus = TBrowserFocus::bfElsewhere;
        return S_OK;
    }
    HRESULT CloseFindBox() override { return S_FALSE; }
    HRESULT FindText(const std::u16string& text) override {
        Log->push_back("FindText " + WideToAnsi(text));
        return S_OK;
    }
    HRESULT put_PagePrintingAllowed(BOOL) override { return S_OK; }
    HRESULT put_WheelZoomHandler(std::function<bool(int)>) override { return S_OK; }
    HRESULT get_Application(IUnknown** application) override {
        *application = nullptr;
        if (!HasApplication) {
            return E_NOINTERFACE;
        }
        *application = static_cast<IWebBrowser2*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT get_Document(IUnknown** document) override {
        *document = nullptr;
        Log->push_back("Document");
        if (DocumentResult != S_OK) {
            return DocumentResult;
        }
        if (Document) {
            Document->Log = Log;
            *document = static_cast<IOleCommandTarget*>(Document.Get());
            (*document)->AddRef();
        } else if (PlainDocument) {
            *document = PlainDocument->Unknown();
            (*document)->AddRef();
        }
        return S_OK;
    }
    HRESULT ExecWB(DWORD id, DWORD option, TVariant* in, TVariant* out) override {
        std::string entry = "ExecWB " + std::to_string(id) + " " + std::to_string(option);
        if (in && in->Kind == TVariant::TKind::vkInt32) {
            entry += " int " + std::to_string(in->Int);
        } else {
            entry += in && in->Kind == TVariant::TKind::vkEmpty ? " empty" : " other";
        }
        entry += out && out->Kind == TVariant::TKind::vkEmpty ? " empty" : " other";
        Log->push_back(entry);
        return ExecWBResult;
    }
    HRESULT SetClientSite(IUnknown* site) override {
        Site = nullptr;
        if (site) {
            site->QueryInterface(IDocHostUIHandler::kIID, Site.ReleaseAndGetVoidAddress());
        }
        return S_OK;
    }
    HRESULT Advise(DWebBrowserEvents2* sink) override {
        Sink = ComPtr<DWebBrowserEvents2>(sink);
        return S_OK;
    }
    void* NativeWidget() override { return this; }
    HRESULT OnAmbientPropertyChange(DISPID dispId) override {
        Log->push_back("Ambient " + std::to_string(dispId));
        HostInfo = DOCHOSTUIINFO();
        if (Site) {
            Site->GetHostInfo(HostInfo);
        }
        return S_OK;
    }

    void Fire(DISPID id, TWebBrowserEventParams& p) {
        p.pDisp = static_cast<IWebBrowser2*>(this);
        if (Sink) {
            Sink->Invoke(id, p);
        }
    }
    void CompleteDocument(std::u16string_view url) {
        TWebBrowserEventParams p;
        p.URL = std::u16string(url);
        Fire(DISPID_DOCUMENTCOMPLETE, p);
    }

    TCallLog* Log = nullptr;
    // The address of the page shown.
    std::string Location;
    HRESULT NavigateResult = S_OK;
    bool CompleteOnNavigate = false;
    bool HasApplication = true;
    HRESULT ExecWBResult = S_OK;
    HRESULT DocumentResult = S_OK;
    // The current document: one with a command target, one without, or none.
    ComPtr<TFakeDocument> Document;
    ComPtr<TFakePlainDocument> PlainDocument;
    ComPtr<IDocHostUIHandler> Site;
    ComPtr<DWebBrowserEvents2> Sink;
    DOCHOSTUIINFO HostInfo;
};

// Makes TFakeBrowser the browser class for the life of the object and keeps the last control
// it made.
class TFakeBrowserClass final : public TComObjectWith<IClassFactory> {
public:
    explicit TFakeBrowserClass(TCallLog& log) : log_(log) {
        AddRef();
        CoRegisterClassObject(CLSID_WebBrowser, static_cast<IClassFactory*>(this),
                              CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    }
    ~TFakeBrowserClass() override { CoRevokeClassObject(cookie_); }

    HRESULT CreateInstance(IUnknown*, REFIID iid, void** object) override {
        Last = ComPtr<TFakeBrowser>(new TFakeBrowser());
        Last->Log = &log_;
        return Last->QueryInterface(iid, object);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

    ComPtr<TFakeBrowser> Last;

private:
    TCallLog& log_;
    DWORD cookie_ = 0;
};

} // namespace kiva::test
