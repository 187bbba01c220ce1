// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitBrowser.h"

#include "InternetSecurity.h"
#include "PageScripts.h"
#include "SysUtils.h"
#include "Trace.h"
#include "UrlMon.h"
#include "WebKitCommands.h"
#include "WebKitContext.h"
#include "WebKitCrossOrigin.h"
#include "WebKitDownloads.h"
#include "WebKitEvents.h"
#include "WebKitKeys.h"
#include "WebKitPolicy.h"
#include "WebKitPopups.h"

#include <cstdio>
#include <utility>

namespace kiva {

namespace {

// A JavaScript string literal of a UTF-8 text.
std::string JsString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20 || c == '<') {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", b);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string ReplaceAll(std::string text, std::string_view marker, const std::string& value) {
    for (std::size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + value.size())) {
        text.replace(at, marker.size(), value);
    }
    return text;
}

std::string MirrorScript(const TNameSpaceMirror& mirror) {
    std::string bulk = "[";
    for (const std::string& path : mirror.BulkPaths) {
        if (bulk.size() > 1) {
            bulk += ',';
        }
        bulk += JsString(path);
    }
    bulk += "]";
    std::string script = TPageScripts::Text("mirror.js");
    script = ReplaceAll(std::move(script), "@ROOT@", JsString(mirror.Root));
    script = ReplaceAll(std::move(script), "@MIRROR@", JsString(mirror.Address));
    return ReplaceAll(std::move(script), "@BULK@", bulk);
}

} // namespace

TWebKitBrowser::TWebKitBrowser()
    : content_(webkit_user_content_manager_new()),
      container_(AdoptGObject(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0))),
      scripts_(std::make_unique<TPageScripts>(content_.get())) {
    // A page's window.close() asks the navigation policy of the view it runs in.
    scripts_->AddHook(TPageScripts::Text("window-close.js"), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME);
    commands_ = std::make_unique<TWebKitCommands>(container_.get());
    downloads_ =
        std::make_unique<TWebKitDownloads>(container_.get(), site_, [this](WebKitWebView* view) {
            return view == view_.get() || popups_->Contains(view);
        });
    TWebKitPopups::THooks hooks;
    hooks.DecidePolicy = [this](WebKitWebView* view, WebKitPolicyDecision* decision,
                                WebKitPolicyDecisionType type) {
        return policy_->Decide(view, decision, type);
    };
    hooks.ViewAdded = [this](WebKitWebView* view, WebKitWebView* related) {
        crossOrigin_->AddPopup(view, related, related ? policy_->PendingWindowUri() : "");
    };
    hooks.ViewRemoved = [this](WebKitWebView* view) { crossOrigin_->Remove(view); };
    popups_ = std::make_unique<TWebKitPopups>(site_, std::move(hooks));
    policy_ =
        std::make_unique<TWebKitPolicy>(site_, *popups_, *downloads_, [this](WebKitWebView* view) {
            return crossOrigin_ && crossOrigin_->Granted(view);
        });
    crossOrigin_ = std::make_unique<TWebKitCrossOrigin>(
        [this](const std::string& uri) {
            return site_.UrlActionAllowed(uri, URLACTION_CROSS_DOMAIN_DATA);
        },
        [this](WebKitWebView* view, const std::string& uri) { popups_->MoveLater(view, uri); });
}

WebKitWebView* TWebKitBrowser::View() {
    if (view_) {
        return view_.get();
    }
    // The book's context, storage and mirror come from the host, which offers its book's web
    // session among its services.
    TWebSession* session = nullptr;
    if (ComPtr<IServiceProvider> services = site_.As<IServiceProvider>()) {
        ComPtr<IWebSessionProvider> provider;
        if (services->QueryService(SID_SKivaWebSession, IID_IWebSessionProvider,
                                   provider.ReleaseAndGetVoidAddress()) == S_OK &&
            provider) {
            session = provider->WebSession();
        }
    }
    context_ = TWebKitContext::For(session);
    ApplyMirror(session ? session->Mirror : TNameSpaceMirror{});
    view_ = AdoptGObject(WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_->Context(), "settings",
                     context_->Settings(), "user-content-manager", content_.get(), nullptr)));
    events_ = std::make_unique<TWebKitEvents>(view_.get(), container_.get(), site_, *policy_,
                                              *popups_, *scripts_, [this] {
                                                  // The host's flags are read for every new
                                                  // document.
                                                  ApplyHostInfo();
                                                  ApplyAmbientOptions();
                                              });
    keys_ = std::make_unique<TWebKitKeys>(view_.get(), site_);
    crossOrigin_->AddMain(view_.get());
    downloads_->Watch(context_->Context(), context_->RequestServices());
    // The host decides whether dropped files and links reach the browser; a drop target of
    // the host's own would take drops this engine cannot hand over, so it means none.
    if (ComPtr<IDocHostUIHandler2> host = site_.As<IDocHostUIHandler2>()) {
        ComPtr<IUnknown> target;
        const HRESULT hr = host->GetDropTarget(nullptr, target.ReleaseAndGetAddressOf());
        if (hr == S_OK && target) {
            dropsAllowed_ = false;
        }
    }
    if (!dropsAllowed_) {
        gtk_drag_dest_unset(GTK_WIDGET(view_.get()));
    }
    ApplyAmbientOptions();
    gtk_box_pack_start(GTK_BOX(container_.get()), GTK_WIDGET(view_.get()), TRUE, TRUE, 0);
    gtk_widget_show(GTK_WIDGET(view_.get()));
    commands_->Attach(view_.get(), *scripts_);
    return view_.get();
}

void TWebKitBrowser::ApplyMirror(const TNameSpaceMirror& mirror) {
    if (mirrorScript_) {
        scripts_->RemoveHook(std::exchange(mirrorScript_, nullptr));
    }
    if (mirror.Address.empty() || mirror.Root.empty()) {
        return;
    }
    // Only the book's pages use the mirror.
    mirrorScript_ = scripts_->AddHook(MirrorScript(mirror), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                      {mirror.Root + "*"});
}

TWebKitBrowser::~TWebKitBrowser() {
    // The parts go first, in the reverse order of their making; the view may outlive this
    // object inside its window and no longer calls back into it.
    keys_.reset();
    events_.reset();
    // The pop-ups tell the cross-origin grant of their views as they go.
    popups_.reset();
    crossOrigin_.reset();
    policy_.reset();
    downloads_.reset();
    commands_.reset();
    scripts_.reset();
}

std::vector<std::string> TWebKitBrowser::PageMessageHandlers() const {
    return scripts_->HandlerNames();
}

HRESULT TWebKitBrowser::Navigate(std::u16string_view url) {
    if (url.empty()) {
        return E_INVALIDARG;
    }
    try {
        const std::string address = WideToAnsi(url);
        const bool first = !view_;
        WebKitWebView* view = View();
        // The engine switches scripts for the whole view and reloads the page shown when they
        // change, which would drop any navigation under way; so the host's security manager
        // decides before the view's first page (its answer is the same for every address of
        // a book).
        if (first) {
            ApplyScriptPolicy(address);
        }
        webkit_web_view_load_uri(view, address.c_str());
        return S_OK;
    } catch (...) {
        TraceCaughtError("the browser's navigation");
        return E_FAIL;
    }
}

HRESULT TWebKitBrowser::GoBack() {
    if (!view_ || !webkit_web_view_can_go_back(view_.get())) {
        return E_FAIL;
    }
    webkit_web_view_go_back(view_.get());
    return S_OK;
}

HRESULT TWebKitBrowser::GoForward() {
    if (!view_ || !webkit_web_view_can_go_forward(view_.get())) {
        return E_FAIL;
    }
    webkit_web_view_go_forward(view_.get());
    return S_OK;
}

HRESULT TWebKitBrowser::Stop() {
    if (view_) {
        webkit_web_view_stop_loading(view_.get());
    }
    return S_OK;
}

HRESULT TWebKitBrowser::get_LocationURL(std::u16string& url) {
    try {
        const char* uri = view_ ? webkit_web_view_get_uri(view_.get()) : nullptr;
        url = AnsiToWide(uri ? uri : "");
        return S_OK;
    } catch (...) {
        TraceCaughtError("the browser's address");
        return E_OUTOFMEMORY;
    }
}

HRESULT TWebKitBrowser::get_Application(IUnknown** application) {
    if (!application) {
        return E_POINTER;
    }
    *application = Self();
    AddRef();
    return S_OK;
}

HRESULT TWebKitBrowser::get_Document(IUnknown** document) {
    if (!document) {
        return E_POINTER;
    }
    *document = commands_->Document();
    return S_OK;
}

HRESULT TWebKitBrowser::ExecWB(DWORD cmdID, DWORD cmdexecopt, TVariant* pvaIn, TVariant* pvaOut) {
    try {
        return commands_->ExecWB(cmdID, cmdexecopt, pvaIn, pvaOut);
    } catch (...) {
        TraceCaughtError("the browser's command");
        return E_FAIL;
    }
}

HRESULT TWebKitBrowser::SetClientSite(IUnknown* site) {
    site_.SetClientSite(site);
    try {
        ApplyHostInfo();
    } catch (...) {
        TraceCaughtError("the host's information");
        return E_FAIL;
    }
    return S_OK;
}

HRESULT TWebKitBrowser::Advise(DWebBrowserEvents2* sink) {
    site_.Advise(sink);
    return S_OK;
}

HRESULT TWebKitBrowser::OnAmbientPropertyChange(DISPID dispId) {
    // Any ambient change may come with new host flags; the unknown id means "several".
    if (dispId == DISPID_AMBIENT_DLCONTROL || dispId == -1) {
        try {
            ApplyHostInfo();
        } catch (...) {
            TraceCaughtError("the host's changed information");
            return E_FAIL;
        }
    }
    return S_OK;
}

HRESULT TWebKitBrowser::put_RegisterAsDropTarget(BOOL value) {
    dropsAllowed_ = value != FALSE;
    if (view_ && !dropsAllowed_) {
        gtk_drag_dest_unset(GTK_WIDGET(view_.get()));
    }
    return S_OK;
}

HRESULT TWebKitBrowser::get_KeyboardFocus(TBrowserFocus& focus) {
    focus = commands_->Focus();
    return S_OK;
}

HRESULT TWebKitBrowser::FindText(const std::u16string& text) {
    try {
        return commands_->FindText(WideToAnsi(text));
    } catch (...) {
        TraceCaughtError("finding a text");
        return E_FAIL;
    }
}

HRESULT TWebKitBrowser::CloseFindBox() {
    return commands_->CloseFindBox() ? S_OK : S_FALSE;
}

HRESULT TWebKitBrowser::put_PagePrintingAllowed(BOOL allowed) {
    commands_->SetPagePrintingAllowed(allowed != FALSE);
    return S_OK;
}

HRESULT TWebKitBrowser::put_WheelZoomHandler(std::function<bool(int steps)> handler) {
    commands_->SetWheelZoomHandler(std::move(handler));
    return S_OK;
}

void TWebKitBrowser::ApplyHostInfo() {
    const DOCHOSTUIINFO info = site_.HostInfo();
    std::string source;
    if (info.dwFlags & DOCHOSTUIFLAG_SCROLL_NO) {
        source += TPageScripts::Text("no-scroll-bars.css");
    }
    if (info.dwFlags & DOCHOSTUIFLAG_DIALOG) {
        source += TPageScripts::Text("no-text-select.css");
    }
    const std::string hostCss = WideToAnsi(info.pchHostCss);
    const std::string combined = source + "\n" + hostCss;
    if (combined == styleSource_) {
        return;
    }
    styleSource_ = combined;
    // The host's own style sheet yields to the page's rules, as a default style would.
    scripts_->SetStyleSheets(source, hostCss);
}

void TWebKitBrowser::ApplyAmbientOptions() {
    WebKitSettings* settings = webkit_web_view_get_settings(view_.get());
    const std::string agent = site_.AmbientUserAgent();
    if (!agent.empty()) {
        webkit_settings_set_user_agent(settings, agent.c_str());
    }
    const DWORD flags = site_.AmbientDownloadControl();
    webkit_settings_set_auto_load_images(settings, (flags & DLCTL_DLIMAGES) != 0);
    webkit_settings_set_enable_media(settings, (flags & (DLCTL_VIDEOS | DLCTL_BGSOUNDS)) != 0);
}

void TWebKitBrowser::ApplyScriptPolicy(const std::string& url) {
    const bool scripts = !(site_.AmbientDownloadControl() & DLCTL_NO_SCRIPTS) &&
                         site_.UrlActionAllowed(url, URLACTION_SCRIPT_RUN);
    webkit_settings_set_enable_javascript(webkit_web_view_get_settings(view_.get()), scripts);
}

namespace {

// The class object. It is not the program's own factory: the browsers it makes are the
// platform's, not objects that the program serves.
class TWebKitBrowserFactory final : public TComObjectWith<IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        // A view needs the toolkit and a display; without them there is no browser to make.
        if (!gdk_display_get_default()) {
            return E_FAIL;
        }
        try {
            ComPtr<IWebBrowser2> browser(new TWebKitBrowser());
            return browser->QueryInterface(iid, object);
        } catch (...) {
            TraceCaughtError("the browser's making");
            return E_OUTOFMEMORY;
        }
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

} // namespace

TWebKitBrowserRegistration::TWebKitBrowserRegistration(TWebKitBrowserRegistration&& other) noexcept
    : cookie_(std::exchange(other.cookie_, 0)) {}

TWebKitBrowserRegistration&
TWebKitBrowserRegistration::operator=(TWebKitBrowserRegistration&& other) noexcept {
    if (this != &other) {
        if (cookie_) {
            CoRevokeClassObject(cookie_);
        }
        cookie_ = std::exchange(other.cookie_, 0);
    }
    return *this;
}

TWebKitBrowserRegistration::~TWebKitBrowserRegistration() {
    if (cookie_) {
        CoRevokeClassObject(cookie_);
    }
}

TWebKitBrowserRegistration RegisterWebKitBrowserClass() {
    ComPtr<IClassFactory> factory(new TWebKitBrowserFactory());
    TWebKitBrowserRegistration registration;
    const HRESULT hr = CoRegisterClassObject(CLSID_WebBrowser, factory.Get(), CLSCTX_INPROC_SERVER,
                                             REGCLS_MULTIPLEUSE, &registration.cookie_);
    if (FAILED(hr)) {
        throw Exception("The browser control could not be registered");
    }
    return registration;
}

} // namespace kiva
