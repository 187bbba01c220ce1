// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitBrowser.h"

#include "SysUtils.h"
#include "UrlMon.h"
#include "WebBrowser.h"
#include "WebKitCommands.h"
#include "WebKitContext.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <string>
#include <utility>

#include "GObjectPtr.h"

namespace kiva {

namespace {

constexpr const char* kWindowClosingHandler = "kivaWindowClosing";

// A page's window.close() reaches the host as a message, so the host decides about closing
// whatever the page's history, as the original control let its host decide.
constexpr const char* kWindowCloseScript =
    "(function(){var m=window.webkit&&window.webkit.messageHandlers;"
    "var h=m&&m.kivaWindowClosing;if(!h)return;"
    "window.close=function(){h.postMessage('');};})();";

// The browser's media player reads no registered scheme, so media elements of the archive's
// pages are pointed at the session's loopback mirror of the content root; so are plain
// fetches of large entries, which the scheme moves in small pieces. The page's own script
// sees the same elements and calls; only their addresses change.
constexpr const char* kMirrorScript = R"JS((function () {
  'use strict';
  var ROOT = @ROOT@, MIRROR = @MIRROR@, BULK = new Set(@BULK@);
  var rootLower = ROOT.toLowerCase();
  function absolute(value) {
    try { return new URL(String(value), document.baseURI).href; } catch (e) { return null; }
  }
  function below(href) {
    return href && href.slice(0, ROOT.length).toLowerCase() === rootLower ?
        href.slice(ROOT.length) : null;
  }
  function mediaAddress(value) {
    var rest = below(absolute(value));
    return rest === null ? null : MIRROR + rest;
  }
  function bulkAddress(value) {
    var rest = below(absolute(value));
    if (rest === null) return null;
    rest = rest.split('#')[0];
    var path = rest.split('?')[0];
    try { path = decodeURIComponent(path.replace(/\+/g, ' ')); } catch (e) { return null; }
    path = path.replace(/\\/g, '/').replace(/[A-Z]/g, function (c) { return c.toLowerCase(); });
    return BULK.has(path) ? MIRROR + rest : null;
  }
  var HTML = 'http://www.w3.org/1999/xhtml';
  function isMedia(node) {
    return node && node.nodeType === 1 && node.namespaceURI === HTML &&
        (node.localName === 'video' || node.localName === 'audio' || node.localName === 'source');
  }
  var setAttribute = Element.prototype.setAttribute;
  var getAttribute = Element.prototype.getAttribute;
  function fix(element) {
    var value = getAttribute.call(element, 'src');
    var address = value === null ? null : mediaAddress(value);
    if (address) setAttribute.call(element, 'src', address);
  }
  function scan(node) {
    if (node.nodeType !== 1) return;
    if (isMedia(node)) fix(node);
    if (node.querySelectorAll) {
      var list = node.querySelectorAll('video[src],audio[src],source[src]');
      for (var i = 0; i < list.length; i++) if (isMedia(list[i])) fix(list[i]);
    }
  }
  new MutationObserver(function (records) {
    for (var i = 0; i < records.length; i++) {
      var r = records[i];
      if (r.type === 'attributes') {
        if (isMedia(r.target)) fix(r.target);
      } else {
        for (var j = 0; j < r.addedNodes.length; j++) scan(r.addedNodes[j]);
      }
    }
  }).observe(document, {childList: true, subtree: true, attributes: true, attributeFilter: ['src']});
  function patchSrc(proto) {
    var d = proto && Object.getOwnPropertyDescriptor(proto, 'src');
    if (!d || !d.set) return;
    Object.defineProperty(proto, 'src', {
      configurable: true, enumerable: d.enumerable, get: d.get,
      set: function (value) { d.set.call(this, mediaAddress(value) || value); }
    });
  }
  patchSrc(window.HTMLMediaElement && HTMLMediaElement.prototype);
  patchSrc(window.HTMLSourceElement && HTMLSourceElement.prototype);
  Element.prototype.setAttribute = function (name, value) {
    if (isMedia(this) && String(name).toLowerCase() === 'src') value = mediaAddress(value) || value;
    return setAttribute.call(this, name, value);
  };
  var NativeAudio = window.Audio;
  if (NativeAudio) {
    var Audio = function Audio(src) {
      return src === undefined ? new NativeAudio() : new NativeAudio(mediaAddress(src) || src);
    };
    Audio.prototype = NativeAudio.prototype;
    window.Audio = Audio;
  }
  var nativeFetch = window.fetch;
  if (nativeFetch) {
    window.fetch = function (input, init) {
      try {
        var plain = !init || ((init.method === undefined || /^(GET|HEAD)$/i.test(init.method)) &&
            init.headers === undefined && init.body === undefined);
        if (plain && (typeof input === 'string' || input instanceof URL)) {
          var address = bulkAddress(input);
          if (address) return nativeFetch.call(this, address, init);
        }
      } catch (e) {}
      return nativeFetch.apply(this, arguments);
    };
  }
  var nativeOpen = XMLHttpRequest.prototype.open;
  XMLHttpRequest.prototype.open = function (method, url) {
    var args = Array.prototype.slice.call(arguments);
    try {
      if (/^(GET|HEAD)$/i.test(method)) {
        var address = bulkAddress(url);
        if (address) args[1] = address;
      }
    } catch (e) {}
    return nativeOpen.apply(this, args);
  };
})();)JS";

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
        bulk += (bulk.size() > 1 ? "," : "") + JsString(path);
    }
    bulk += "]";
    std::string script = kMirrorScript;
    script = ReplaceAll(std::move(script), "@ROOT@", JsString(mirror.Root));
    script = ReplaceAll(std::move(script), "@MIRROR@", JsString(mirror.Address));
    return ReplaceAll(std::move(script), "@BULK@", bulk);
}

// Scroll bars stay hidden but the page still scrolls by keyboard and wheel.
constexpr const char* kNoScrollBarsStyle =
    "html{scrollbar-width:none !important}"
    "::-webkit-scrollbar{display:none !important;width:0 !important;height:0 !important}";
constexpr const char* kNoTextSelectStyle =
    "*{-webkit-user-select:none !important;user-select:none !important}";

struct UserStyleSheetUnref {
    void operator()(WebKitUserStyleSheet* s) const noexcept { webkit_user_style_sheet_unref(s); }
};
struct UserScriptUnref {
    void operator()(WebKitUserScript* s) const noexcept { webkit_user_script_unref(s); }
};

// The failure code a browser error stands for, as the original platform reported it.
HRESULT StatusCodeOf(const GError* error) {
    if (error->domain == TWebKitContext::NameSpaceErrorQuark()) {
        return error->code;
    }
    if (error->domain == WEBKIT_NETWORK_ERROR) {
        switch (error->code) {
        case WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL:
            return INET_E_UNKNOWN_PROTOCOL;
        case WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST:
            return INET_E_RESOURCE_NOT_FOUND;
        default:
            break;
        }
    }
    return INET_E_DOWNLOAD_FAILURE;
}

// Loads that another load or a policy answer replaced are no failures of the page.
bool IsCancellation(const GError* error) {
    return g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
           g_error_matches(error, WEBKIT_POLICY_ERROR,
                           WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
}

std::u16string Wide(const char* utf8) {
    return AnsiToWide(utf8 ? utf8 : "");
}

class TWebKitBrowser final : public TComObjectWith<IWebBrowser2, IOleControl> {
public:
    TWebKitBrowser();

    HRESULT Navigate(std::u16string_view url) override;
    HRESULT GoBack() override;
    HRESULT GoForward() override;
    HRESULT Stop() override;
    HRESULT get_LocationURL(std::u16string& url) override;
    HRESULT get_Application(IUnknown** application) override;
    HRESULT get_Document(IUnknown** document) override;
    HRESULT ExecWB(DWORD cmdID, DWORD cmdexecopt, TVariant* pvaIn, TVariant* pvaOut) override;
    HRESULT SetClientSite(IUnknown* site) override;
    HRESULT Advise(DWebBrowserEvents2* sink) override;
    void* NativeWidget() override { return container_.get(); }
    HRESULT OnAmbientPropertyChange(DISPID dispId) override;

protected:
    ~TWebKitBrowser() override;

private:
    IUnknown* Self() { return static_cast<IWebBrowser2*>(this); }
    // The view is made when the first page is asked for: by then the session knows whose
    // storage the pages use, which the web context fixes for its whole life.
    WebKitWebView* View();
    void ApplyMirror(const TNameSpaceMirror& mirror);
    // Raises one event on the advised sink; the object stays alive through the handler even
    // when the handler lets the host go.
    void Fire(DISPID dispId, TWebBrowserEventParams& params);
    // Reads the host's flags and style sheet and sets the view's user style sheets after them.
    void ApplyHostInfo();
    void FireCommandStates();

    static gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer self) noexcept;
    static void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) noexcept;
    static gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                 gpointer self) noexcept;
    static void OnTitle(GObject*, GParamSpec*, gpointer self) noexcept;
    static void OnMouseTarget(WebKitWebView*, WebKitHitTestResult* hit, guint,
                              gpointer self) noexcept;
    static void OnBackForwardChanged(WebKitBackForwardList*, WebKitBackForwardListItem*, gpointer,
                                     gpointer self) noexcept;
    static void OnClose(WebKitWebView*, gpointer self) noexcept;
    static void OnWindowCloseMessage(WebKitUserContentManager*, gpointer, gpointer self) noexcept;

    std::shared_ptr<TWebKitContext> context_;
    GObjectPtr<WebKitUserContentManager> content_;
    GObjectPtr<GtkWidget> container_;
    GObjectPtr<WebKitWebView> view_;
    std::unique_ptr<WebKitUserScript, UserScriptUnref> mirrorScript_;
    ComPtr<IDocHostUIHandler> site_;
    ComPtr<DWebBrowserEvents2> sink_;
    // What the view's style sheets were made from; a view starts with none.
    std::string styleSource_ = "\n";
    std::string statusText_;
    std::string failedUri_;
    bool loadFailed_ = false;
    bool loadCancelled_ = false;
    // The reader's commands on the view; they go before the view and its widget.
    std::unique_ptr<TWebKitCommands> commands_;
};

TWebKitBrowser::TWebKitBrowser()
    : content_(webkit_user_content_manager_new()),
      container_(AdoptGObject(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0))) {
    webkit_user_content_manager_register_script_message_handler(content_.get(),
                                                                kWindowClosingHandler);
    std::unique_ptr<WebKitUserScript, UserScriptUnref> closeScript(
        webkit_user_script_new(kWindowCloseScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr));
    webkit_user_content_manager_add_script(content_.get(), closeScript.get());
    g_signal_connect(content_.get(), "script-message-received::kivaWindowClosing",
                     G_CALLBACK(OnWindowCloseMessage), this);
    ApplyMirror(NameSpaceMirror());
    SetNameSpaceMirrorListener([this](const TNameSpaceMirror& mirror) { ApplyMirror(mirror); });
    commands_ = std::make_unique<TWebKitCommands>(container_.get());
}

WebKitWebView* TWebKitBrowser::View() {
    if (view_) {
        return view_.get();
    }
    context_ = TWebKitContext::Instance();
    view_ = AdoptGObject(WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_->Context(), "settings",
                     context_->Settings(), "user-content-manager", content_.get(), nullptr)));
    g_signal_connect(view_.get(), "decide-policy", G_CALLBACK(OnDecidePolicy), this);
    g_signal_connect(view_.get(), "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(view_.get(), "load-failed", G_CALLBACK(OnLoadFailed), this);
    g_signal_connect(view_.get(), "notify::title", G_CALLBACK(OnTitle), this);
    g_signal_connect(view_.get(), "mouse-target-changed", G_CALLBACK(OnMouseTarget), this);
    g_signal_connect(view_.get(), "close", G_CALLBACK(OnClose), this);
    g_signal_connect(webkit_web_view_get_back_forward_list(view_.get()), "changed",
                     G_CALLBACK(OnBackForwardChanged), this);
    gtk_box_pack_start(GTK_BOX(container_.get()), GTK_WIDGET(view_.get()), TRUE, TRUE, 0);
    gtk_widget_show(GTK_WIDGET(view_.get()));
    commands_->Attach(view_.get());
    return view_.get();
}

void TWebKitBrowser::ApplyMirror(const TNameSpaceMirror& mirror) {
    if (mirrorScript_) {
        webkit_user_content_manager_remove_script(content_.get(), mirrorScript_.get());
        mirrorScript_.reset();
    }
    if (mirror.Address.empty() || mirror.Root.empty()) {
        return;
    }
    const std::string pattern = mirror.Root + "*";
    const char* const allow[] = {pattern.c_str(), nullptr};
    mirrorScript_.reset(
        webkit_user_script_new(MirrorScript(mirror).c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, allow, nullptr));
    webkit_user_content_manager_add_script(content_.get(), mirrorScript_.get());
}

TWebKitBrowser::~TWebKitBrowser() {
    SetNameSpaceMirrorListener(nullptr);
    // The view may outlive this object inside its window; it must not call back into it.
    if (view_) {
        g_signal_handlers_disconnect_by_data(webkit_web_view_get_back_forward_list(view_.get()),
                                             this);
        g_signal_handlers_disconnect_by_data(view_.get(), this);
    }
    g_signal_handlers_disconnect_by_data(content_.get(), this);
    webkit_user_content_manager_unregister_script_message_handler(content_.get(),
                                                                  kWindowClosingHandler);
}

HRESULT TWebKitBrowser::Navigate(std::u16string_view url) {
    if (url.empty()) {
        return E_INVALIDARG;
    }
    try {
        webkit_web_view_load_uri(View(), WideToAnsi(url).c_str());
        return S_OK;
    } catch (...) {
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
        url = view_ ? Wide(webkit_web_view_get_uri(view_.get())) : std::u16string();
        return S_OK;
    } catch (...) {
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
        return E_FAIL;
    }
}

HRESULT TWebKitBrowser::SetClientSite(IUnknown* site) {
    site_ = nullptr;
    if (site) {
        site->QueryInterface(IDocHostUIHandler::kIID, site_.ReleaseAndGetVoidAddress());
    }
    try {
        ApplyHostInfo();
    } catch (...) {
        return E_FAIL;
    }
    return S_OK;
}

HRESULT TWebKitBrowser::Advise(DWebBrowserEvents2* sink) {
    sink_ = ComPtr<DWebBrowserEvents2>(sink);
    return S_OK;
}

HRESULT TWebKitBrowser::OnAmbientPropertyChange(DISPID dispId) {
    // Any ambient change may come with new host flags; the unknown id means "several".
    if (dispId == DISPID_AMBIENT_DLCONTROL || dispId == -1) {
        try {
            ApplyHostInfo();
        } catch (...) {
            return E_FAIL;
        }
    }
    return S_OK;
}

void TWebKitBrowser::ApplyHostInfo() {
    DOCHOSTUIINFO info;
    if (site_ && FAILED(site_->GetHostInfo(info))) {
        info = DOCHOSTUIINFO();
    }
    std::string source;
    if (info.dwFlags & DOCHOSTUIFLAG_SCROLL_NO) {
        source += kNoScrollBarsStyle;
    }
    if (info.dwFlags & DOCHOSTUIFLAG_DIALOG) {
        source += kNoTextSelectStyle;
    }
    const std::string hostCss = WideToAnsi(info.pchHostCss);
    const std::string combined = source + "\n" + hostCss;
    if (combined == styleSource_) {
        return;
    }
    styleSource_ = combined;
    webkit_user_content_manager_remove_all_style_sheets(content_.get());
    if (!source.empty()) {
        std::unique_ptr<WebKitUserStyleSheet, UserStyleSheetUnref> sheet(
            webkit_user_style_sheet_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                        WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr));
        webkit_user_content_manager_add_style_sheet(content_.get(), sheet.get());
    }
    if (!hostCss.empty()) {
        // The host's own style sheet yields to the page's rules, as a default style would.
        std::unique_ptr<WebKitUserStyleSheet, UserStyleSheetUnref> sheet(
            webkit_user_style_sheet_new(hostCss.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                        WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr));
        webkit_user_content_manager_add_style_sheet(content_.get(), sheet.get());
    }
}

void TWebKitBrowser::Fire(DISPID dispId, TWebBrowserEventParams& params) {
    ComPtr<IWebBrowser2> keepAlive(this);
    ComPtr<DWebBrowserEvents2> sink = sink_;
    if (sink) {
        params.pDisp = Self();
        sink->Invoke(dispId, params);
    }
}

void TWebKitBrowser::FireCommandStates() {
    TWebBrowserEventParams back;
    back.Command = CSC_NAVIGATEBACK;
    back.Enable = webkit_web_view_can_go_back(view_.get());
    Fire(DISPID_COMMANDSTATECHANGE, back);
    TWebBrowserEventParams forward;
    forward.Command = CSC_NAVIGATEFORWARD;
    forward.Enable = webkit_web_view_can_go_forward(view_.get());
    Fire(DISPID_COMMANDSTATECHANGE, forward);
}

gboolean TWebKitBrowser::OnDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                        WebKitPolicyDecisionType type, gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
            WebKitNavigationAction* action =
                webkit_navigation_policy_decision_get_navigation_action(
                    WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            WebKitURIRequest* request = webkit_navigation_action_get_request(action);
            TWebBrowserEventParams params;
            params.URL = Wide(webkit_uri_request_get_uri(request));
            browser->Fire(DISPID_BEFORENAVIGATE2, params);
            if (params.Cancel) {
                webkit_policy_decision_ignore(decision);
                return TRUE;
            }
            return FALSE;
        }
        if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            // The viewer has one window: a page that asks for a new one gets the same view,
            // where the navigation is put to the host like any other.
            WebKitNavigationAction* action =
                webkit_navigation_policy_decision_get_navigation_action(
                    WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            GObjectPtr<WebKitURIRequest> request(
                WEBKIT_URI_REQUEST(g_object_ref(webkit_navigation_action_get_request(action))));
            webkit_policy_decision_ignore(decision);
            webkit_web_view_load_request(view, request.get());
            return TRUE;
        }
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
            auto* response_decision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
            WebKitURIResponse* response =
                webkit_response_policy_decision_get_response(response_decision);
            const guint status = webkit_uri_response_get_status_code(response);
            if (webkit_response_policy_decision_is_main_frame_main_resource(response_decision) &&
                status >= 400) {
                TWebBrowserEventParams params;
                params.URL = Wide(webkit_uri_response_get_uri(response));
                params.StatusCode = static_cast<std::int32_t>(status);
                browser->Fire(DISPID_NAVIGATEERROR, params);
                if (params.Cancel) {
                    webkit_policy_decision_ignore(decision);
                    return TRUE;
                }
            }
        }
    } catch (...) {
    }
    return FALSE;
}

void TWebKitBrowser::OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event,
                                   gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        switch (event) {
        case WEBKIT_LOAD_STARTED:
            browser->loadFailed_ = false;
            browser->loadCancelled_ = false;
            browser->failedUri_.clear();
            // The host's flags are read for every new document.
            browser->ApplyHostInfo();
            break;
        case WEBKIT_LOAD_COMMITTED: {
            TWebBrowserEventParams params;
            params.URL = Wide(webkit_web_view_get_uri(view));
            browser->Fire(DISPID_NAVIGATECOMPLETE2, params);
            break;
        }
        case WEBKIT_LOAD_FINISHED: {
            // A failed load completes too (with its error page), so nobody waits for it in
            // vain; a load that another one replaced does not.
            if (browser->loadCancelled_) {
                browser->loadCancelled_ = false;
                break;
            }
            TWebBrowserEventParams params;
            params.URL = browser->loadFailed_ ? Wide(browser->failedUri_.c_str())
                                              : Wide(webkit_web_view_get_uri(view));
            browser->loadFailed_ = false;
            browser->Fire(DISPID_DOCUMENTCOMPLETE, params);
            break;
        }
        default:
            break;
        }
    } catch (...) {
    }
}

gboolean TWebKitBrowser::OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                      gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        if (IsCancellation(error)) {
            browser->loadCancelled_ = true;
            return TRUE;
        }
        browser->loadFailed_ = true;
        browser->failedUri_ = uri ? uri : "";
        TWebBrowserEventParams params;
        params.URL = Wide(uri);
        params.StatusCode = StatusCodeOf(error);
        browser->Fire(DISPID_NAVIGATEERROR, params);
        // Cancel means: no error page.
        return params.Cancel ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

void TWebKitBrowser::OnTitle(GObject* object, GParamSpec*, gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        WebKitWebView* view = WEBKIT_WEB_VIEW(object);
        const char* title = webkit_web_view_get_title(view);
        TWebBrowserEventParams params;
        // A document without a title is named by its address, as the original control did.
        params.Text = Wide(title && *title ? title : webkit_web_view_get_uri(view));
        browser->Fire(DISPID_TITLECHANGE, params);
    } catch (...) {
    }
}

void TWebKitBrowser::OnMouseTarget(WebKitWebView*, WebKitHitTestResult* hit, guint,
                                   gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        const char* link = webkit_hit_test_result_context_is_link(hit)
                               ? webkit_hit_test_result_get_link_uri(hit)
                               : nullptr;
        std::string text = link ? link : "";
        if (text == browser->statusText_) {
            return;
        }
        browser->statusText_ = text;
        TWebBrowserEventParams params;
        params.Text = AnsiToWide(text);
        browser->Fire(DISPID_STATUSTEXTCHANGE, params);
    } catch (...) {
    }
}

void TWebKitBrowser::OnBackForwardChanged(WebKitBackForwardList*, WebKitBackForwardListItem*,
                                          gpointer, gpointer self) noexcept {
    try {
        static_cast<TWebKitBrowser*>(self)->FireCommandStates();
    } catch (...) {
    }
}

void TWebKitBrowser::OnClose(WebKitWebView*, gpointer self) noexcept {
    try {
        TWebBrowserEventParams params;
        static_cast<TWebKitBrowser*>(self)->Fire(DISPID_WINDOWCLOSING, params);
    } catch (...) {
    }
}

void TWebKitBrowser::OnWindowCloseMessage(WebKitUserContentManager*, gpointer,
                                          gpointer self) noexcept {
    OnClose(nullptr, self);
}

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
