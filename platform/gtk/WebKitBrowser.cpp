// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitBrowser.h"

#include "DocHostUI.h"
#include "InternetSecurity.h"
#include "SysUtils.h"
#include "UrlMon.h"
#include "WebBrowser.h"
#include "WebKitCommands.h"
#include "WebKitContext.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "GObjectPtr.h"

// What raises each event of the host's table and each question of the host, in WebKitGTK:
//
//   Event (dispatch id)            Raised from
//   StatusTextChange (102)         mouse-target-changed: the link under the pointer
//   ProgressChange (108)           notify::estimated-load-progress, in ten-thousandths
//   CommandStateChange (105)       the back-forward list's "changed"
//   DownloadBegin (106)            load-changed STARTED
//   DownloadComplete (104)         load-changed FINISHED
//   TitleChange (113)              notify::title (the address when there is none)
//   BeforeNavigate2 (250)          decide-policy NAVIGATION_ACTION of the page and of every
//                                  frame, NEW_WINDOW_ACTION before the window exists, and the
//                                  navigations of windows the pages opened
//   NewWindow2 (251), NewWindow3 (273)  decide-policy NEW_WINDOW_ACTION
//   NavigateComplete2 (252)        load-changed COMMITTED
//   DocumentComplete (259)         load-changed FINISHED, failed loads included; a frame's
//                                  "load" event, by script message
//   FullScreen (258)               enter-fullscreen, leave-fullscreen
//   WindowSetLeft/Top/Width/Height (264-267)  notify::geometry of the window properties
//   WindowClosing (263)            "close", and the page's window.close() through a script
//   ClientToHostWindow (268)       ready-to-show of a new window: its size
//   SetSecureLockIcon (269)        load-changed COMMITTED (TLS or not), insecure content
//   FileDownload (270)             decide-policy RESPONSE of a type the engine cannot show
//   NavigateError (271)            load-failed; decide-policy RESPONSE with a status of 400
//                                  and above, for the page and its frames
//   PropertyChange (112), Quit (253), Visible (254), ToolBar (255), MenuBar (256),
//   StatusBar (257), TheaterMode (260), AddressBar (261), WindowSetResizable (262),
//   PrintTemplateInstantiation (225), PrintTemplateTeardown (226), UpdatePageStatus (227),
//   PrivacyImpactedStateChange (272)  decision logic only: nothing in WebKitGTK raises them
//
//   Host question                  Asked from
//   GetHostInfo                    load-changed STARTED: user style sheets for scroll bars,
//                                  text selection and the host's style sheet
//   ShowContextMenu                context-menu, with the id from the hit test (tables and
//                                  form controls told by the page's contextmenu event); the
//                                  engine's menu shows only when the host answers S_FALSE
//   WindowProc (OnKeyDown/OnKeyUp), TranslateAccelerator  key-press-event and
//                                  key-release-event of the view, before the engine
//   Exec, script error (40)        an injected script's "error" listener, by script message
//   ShowMessage                    script-dialog (alert, confirm, prompt, leaving a page)
//   Authenticate                   authenticate; without credentials the engine asks
//   GetDropTarget                  the view's creation: the engine's own drops (which navigate
//                                  through the policy) or none
//   Ambient download control (-5512), user agent (-5513)  load-changed STARTED: images,
//                                  media and scripts on or off; the view's user agent
//   QueryService(IInternetSecurityManager), ProcessUrlAction  the view's first page (scripts
//                                  0x1400), every form submission (0x1602, 0x1603),
//                                  load-changed COMMITTED of the book's pages (cross-domain
//                                  data 0x1406)
//   moveTo/resizeTo                notify::geometry of the window properties
//   ActiveX and Java actions, IProtectFocus, IDownloadManager, INewWindowManager, ShowHelp,
//   QueryStatus, other Exec commands, the drop target's methods, GetExternal, TranslateUrl,
//   FilterDataObject, the key paths, ShowUI, HideUI, UpdateUI, EnableModeless, the window
//   activations, ResizeBorder, IZoomEvents, IHostBehaviorInit  decision logic only
//
// Without a host's answer: permission-request is denied, downloads ask where to save (the
// book's own entries are read from the session, which the engine's downloads cannot read),
// create opens a plain window, and web-process-terminated puts a message in the page area.

namespace kiva {

namespace {

constexpr const char* kWindowClosingHandler = "kivaWindowClosing";

// A page's window.close() reaches the host as a message, so the host decides about closing
// whatever the page's history, as the Windows browser control lets its host decide.
constexpr const char* kWindowCloseScript =
    "(function(){var m=window.webkit&&window.webkit.messageHandlers;"
    "var h=m&&m.kivaWindowClosing;if(!h)return;var n=window.close;"
    "window.close=function(){h.postMessage('');};window.close.kivaNative=n;})();";

// Windows that pages open share the viewer page's scripts in the engine; their own close
// must close them, not the viewer.
constexpr const char* kRestoreCloseScript =
    "if(window.close&&window.close.kivaNative)window.close=window.close.kivaNative;";

constexpr const char* kScriptErrorHandler = "kivaScriptError";
constexpr const char* kContextTargetHandler = "kivaContextTarget";
constexpr const char* kFrameCompleteHandler = "kivaFrameComplete";

// The engine tells the host when the top document is complete; each frame tells it of its own.
constexpr const char* kFrameCompleteScript =
    "(function(){if(window.top===window)return;var m=window.webkit&&window.webkit.messageHandlers;"
    "var h=m&&m.kivaFrameComplete;if(!h)return;"
    "window.addEventListener('load',function(){try{h.postMessage(String(location.href));}"
    "catch(x){}});})();";

// The engine's hit test knows links, images, media, editable text and selections, but not
// tables or form controls; the page tells what a right-click lands in before the engine asks
// the host about its menu.
constexpr const char* kContextTargetScript =
    "(function(){var m=window.webkit&&window.webkit.messageHandlers;"
    "var h=m&&m.kivaContextTarget;if(!h)return;"
    "window.addEventListener('contextmenu',function(e){var t=e.target;"
    "if(!t||!t.closest)t=t&&t.parentElement;if(!t||!t.closest)return;"
    "try{h.postMessage((t.closest('input,textarea,select,button')?'control':"
    "t.closest('table')?'table':'')+'');}catch(x){}},true);})();";

// Uncaught errors of a page's scripts reach the host with their details. Failed loads of
// images and scripts are plain events, not errors of a script, and are left alone.
constexpr const char* kScriptErrorScript =
    "(function(){var m=window.webkit&&window.webkit.messageHandlers;"
    "var h=m&&m.kivaScriptError;if(!h)return;"
    "window.addEventListener('error',function(e){"
    "if(!(e instanceof ErrorEvent))return;"
    "try{h.postMessage(JSON.stringify({message:String(e.message||''),line:e.lineno|0,"
    "character:e.colno|0,code:0,url:String(e.filename||location.href)}));}catch(x){}"
    "},true);})();";

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
        if (bulk.size() > 1) {
            bulk += ',';
        }
        bulk += JsString(path);
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

// The failure code a browser error stands for, as the Windows browser control reports it.
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

// A script error as the host reads it: the properties of the page's error event.
class TScriptErrorEvent final : public TComObjectWith<IScriptErrorEvent> {
public:
    TScriptErrorEvent(std::u16string message, std::int32_t line, std::int32_t character,
                      std::int32_t code, std::u16string url)
        : message_(std::move(message)), line_(line), character_(character), code_(code),
          url_(std::move(url)) {}

    HRESULT GetProperty(const std::u16string& name, TVariant& value) override {
        if (name == u"errorMessage" || name == u"errorUrl") {
            value = TVariant();
            value.Kind = TVariant::TKind::vkText;
            value.Text = name == u"errorMessage" ? message_ : url_;
        } else if (name == u"errorline") {
            value = TVariant::Int32(line_);
        } else if (name == u"errorCharacter") {
            value = TVariant::Int32(character_);
        } else if (name == u"errorCode") {
            value = TVariant::Int32(code_);
        } else {
            return E_INVALIDARG;
        }
        return S_OK;
    }

private:
    std::u16string message_;
    std::int32_t line_;
    std::int32_t character_;
    std::int32_t code_;
    std::u16string url_;
};

// The virtual-key code of a key as the host's key handling knows it: letters as upper-case
// ASCII, digits, function and editing keys by their codes; 0 for keys without one.
WPARAM VirtualKeyOf(guint keyval) {
    if (keyval >= GDK_KEY_a && keyval <= GDK_KEY_z) {
        return 'A' + (keyval - GDK_KEY_a);
    }
    if ((keyval >= GDK_KEY_A && keyval <= GDK_KEY_Z) ||
        (keyval >= GDK_KEY_0 && keyval <= GDK_KEY_9)) {
        return keyval;
    }
    if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F24) {
        return 0x70 + (keyval - GDK_KEY_F1);
    }
    if (keyval >= GDK_KEY_KP_0 && keyval <= GDK_KEY_KP_9) {
        return 0x60 + (keyval - GDK_KEY_KP_0);
    }
    switch (keyval) {
    case GDK_KEY_BackSpace:
        return 0x08;
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
        return 0x09;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        return VK_RETURN;
    case GDK_KEY_Shift_L:
    case GDK_KEY_Shift_R:
        return 0x10;
    case GDK_KEY_Control_L:
    case GDK_KEY_Control_R:
        return 0x11;
    case GDK_KEY_Alt_L:
    case GDK_KEY_Alt_R:
        return 0x12;
    case GDK_KEY_Escape:
        return 0x1B;
    case GDK_KEY_space:
        return 0x20;
    case GDK_KEY_Page_Up:
        return 0x21;
    case GDK_KEY_Page_Down:
        return 0x22;
    case GDK_KEY_End:
        return 0x23;
    case GDK_KEY_Home:
        return 0x24;
    case GDK_KEY_Left:
        return 0x25;
    case GDK_KEY_Up:
        return 0x26;
    case GDK_KEY_Right:
        return 0x27;
    case GDK_KEY_Down:
        return 0x28;
    case GDK_KEY_Insert:
        return 0x2D;
    case GDK_KEY_Delete:
        return 0x2E;
    default:
        return 0;
    }
}

DWORD KeyStateOf(guint state) {
    DWORD keys = 0;
    if (state & GDK_SHIFT_MASK) {
        keys |= KS_SHIFT;
    }
    if (state & GDK_CONTROL_MASK) {
        keys |= KS_CTRL;
    }
    if (state & GDK_MOD1_MASK) {
        keys |= KS_ALT;
    }
    return keys;
}

class TWebKitBrowser;

// A window that a page opened (window.open, a link to a new window): a plain window that
// holds only a browser of the opener's engine process, so the opener's script gets a working
// window object. Closing it leaves the viewer alone.
struct TPopupWindow {
    GtkWidget* Window = nullptr;
    WebKitWebView* View = nullptr;
    TWebKitBrowser* Owner = nullptr;
};

class TWebKitBrowser final
    : public TComObjectWith<IWebBrowser2, IOleControl, IWebBrowserDropRegistration> {
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
    HRESULT put_RegisterAsDropTarget(BOOL value) override;

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

    // The host's answers beyond the host-info record, asked of the client site.
    template <class I> ComPtr<I> SiteAs() const {
        ComPtr<I> intf;
        if (siteUnknown_) {
            siteUnknown_->QueryInterface(I::kIID, intf.ReleaseAndGetVoidAddress());
        }
        return intf;
    }
    // The host's security manager (through its service provider), if it has one.
    ComPtr<IInternetSecurityManager> SecurityManager() const;
    // False when the host's security manager answers the action with a policy other than
    // allow; questions it leaves to the platform are allowed.
    bool UrlActionAllowed(const std::string& url, DWORD action) const;
    DWORD AmbientDownloadControl();
    void ApplyAmbientOptions();
    // Scripts on or off for the view by the security manager's answer for the address; true
    // when that changed the view's settings.
    void ApplyScriptPolicy(const std::string& url);
    void ApplyCrossDomainPolicy(const std::string& url);
    gboolean DecideNavigation(WebKitWebView* view, WebKitNavigationPolicyDecision* decision,
                              TPopupWindow* popup);
    gboolean DecideNewWindow(WebKitNavigationPolicyDecision* decision);
    gboolean DecideResponse(WebKitResponsePolicyDecision* decision);
    gboolean KeyEvent(GdkEventKey* event, bool down);
    // The save dialog over the viewer's window: the chosen file, or "" when cancelled.
    std::string ChooseSaveFile(const std::string& suggested);
    void SaveEntryLater(const std::string& uri, const std::string& suggested);
    void ShowCrashPage(WebKitWebProcessTerminationReason reason);
    WebKitWebView* CreatePopup(WebKitWebView* related, WebKitNavigationAction* action);
    void ClosePopup(TPopupWindow* popup);

    static void OnNameSpaceFailure(WebKitWebView* view, const char* uri, HRESULT result,
                                   void* self) noexcept;
    static gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent* event,
                                  WebKitHitTestResult* hit, gpointer self) noexcept;
    static gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) noexcept;
    static gboolean OnKeyRelease(GtkWidget*, GdkEventKey* event, gpointer self) noexcept;
    static void OnScriptErrorMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                     gpointer self) noexcept;
    static gboolean OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog,
                                   gpointer self) noexcept;
    static gboolean OnAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request,
                                   gpointer self) noexcept;
    static gboolean OnPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request,
                                        gpointer self) noexcept;
    static void OnDownloadStarted(WebKitWebContext*, WebKitDownload* download,
                                  gpointer self) noexcept;
    static gboolean OnDecideDestination(WebKitDownload* download, gchar* suggested,
                                        gpointer self) noexcept;
    static GtkWidget* OnCreate(WebKitWebView* view, WebKitNavigationAction* action,
                               gpointer self) noexcept;
    static void OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                       gpointer self) noexcept;
    static void OnProgress(GObject*, GParamSpec*, gpointer self) noexcept;
    static gboolean OnFullScreen(WebKitWebView*, gpointer self) noexcept;
    static gboolean OnLeaveFullScreen(WebKitWebView*, gpointer self) noexcept;
    static void OnInsecureContent(WebKitWebView*, WebKitInsecureContentEvent,
                                  gpointer self) noexcept;
    static void OnGeometry(GObject* properties, GParamSpec*, gpointer self) noexcept;
    static gboolean OnPopupDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                        WebKitPolicyDecisionType type, gpointer popup) noexcept;
    static void OnPopupReady(WebKitWebView* view, gpointer popup) noexcept;
    static void OnPopupClose(WebKitWebView* view, gpointer popup) noexcept;
    static GtkWidget* OnPopupCreate(WebKitWebView* view, WebKitNavigationAction* action,
                                    gpointer popup) noexcept;

    ComPtr<IUnknown> siteUnknown_;
    std::list<std::unique_ptr<TPopupWindow>> popups_;
    // A new window's first address, decided already when the page asked for the window.
    std::string popupDecidedUri_;
    // The latest addresses navigations went to: a failed request for one of them, other
    // than the page's own, is a frame's page that failed.
    std::deque<std::string> recentNavigations_;
    // What the page said the latest right-click landed in, and when.
    std::string contextTarget_;
    gint64 contextTargetTime_ = 0;
    bool dropsAllowed_ = true;
    bool crossDomainAllowed_ = false;
    // The latest key the host was asked about: time, key, hardware code, pressed.
    std::tuple<guint32, guint, guint16, bool> lastKey_{};

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
    AddPageScript(content_.get(), kWindowClosingHandler, kWindowCloseScript,
                  WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, G_CALLBACK(OnWindowCloseMessage), this);
    AddPageScript(content_.get(), kScriptErrorHandler, kScriptErrorScript,
                  WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, G_CALLBACK(OnScriptErrorMessage), this);
    AddPageScript(
        content_.get(), kFrameCompleteHandler, kFrameCompleteScript,
        WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self) {
            try {
                JSCValue* value = webkit_javascript_result_get_js_value(result);
                GCharPtr text(jsc_value_to_string(value));
                TWebBrowserEventParams params;
                params.URL = Wide(text.get());
                static_cast<TWebKitBrowser*>(self)->Fire(DISPID_DOCUMENTCOMPLETE, params);
            } catch (...) {
            }
        }),
        this);
    AddPageScript(
        content_.get(), kContextTargetHandler, kContextTargetScript,
        WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
        G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self) {
            auto* browser = static_cast<TWebKitBrowser*>(self);
            JSCValue* value = webkit_javascript_result_get_js_value(result);
            GCharPtr text(jsc_value_to_string(value));
            browser->contextTarget_ = text ? text.get() : "";
            browser->contextTargetTime_ = g_get_monotonic_time();
        }),
        this);
    commands_ = std::make_unique<TWebKitCommands>(container_.get());
}

WebKitWebView* TWebKitBrowser::View() {
    if (view_) {
        return view_.get();
    }
    // The book's context, storage and mirror come from the host, which offers its book's web
    // session among its services.
    TWebSession* session = nullptr;
    if (ComPtr<IServiceProvider> services = SiteAs<IServiceProvider>()) {
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
    g_signal_connect(view_.get(), "decide-policy", G_CALLBACK(OnDecidePolicy), this);
    g_signal_connect(view_.get(), "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(view_.get(), "load-failed", G_CALLBACK(OnLoadFailed), this);
    g_signal_connect(view_.get(), "notify::title", G_CALLBACK(OnTitle), this);
    g_signal_connect(view_.get(), "mouse-target-changed", G_CALLBACK(OnMouseTarget), this);
    g_signal_connect(view_.get(), "close", G_CALLBACK(OnClose), this);
    g_signal_connect(webkit_web_view_get_back_forward_list(view_.get()), "changed",
                     G_CALLBACK(OnBackForwardChanged), this);
    g_signal_connect(view_.get(), "context-menu", G_CALLBACK(OnContextMenu), this);
    g_signal_connect(view_.get(), "key-press-event", G_CALLBACK(OnKeyPress), this);
    g_signal_connect(view_.get(), "key-release-event", G_CALLBACK(OnKeyRelease), this);
    g_signal_connect(view_.get(), "script-dialog", G_CALLBACK(OnScriptDialog), this);
    g_signal_connect(view_.get(), "authenticate", G_CALLBACK(OnAuthenticate), this);
    g_signal_connect(view_.get(), "permission-request", G_CALLBACK(OnPermissionRequest), this);
    g_signal_connect(view_.get(), "create", G_CALLBACK(OnCreate), this);
    g_signal_connect(view_.get(), "web-process-terminated", G_CALLBACK(OnWebProcessTerminated),
                     this);
    g_signal_connect(view_.get(), "notify::estimated-load-progress", G_CALLBACK(OnProgress), this);
    g_signal_connect(view_.get(), "enter-fullscreen", G_CALLBACK(OnFullScreen), this);
    g_signal_connect(view_.get(), "leave-fullscreen", G_CALLBACK(OnLeaveFullScreen), this);
    g_signal_connect(view_.get(), "insecure-content-detected", G_CALLBACK(OnInsecureContent), this);
    g_signal_connect(webkit_web_view_get_window_properties(view_.get()), "notify::geometry",
                     G_CALLBACK(OnGeometry), this);
    g_signal_connect(context_->Context(), "download-started", G_CALLBACK(OnDownloadStarted), this);
    SetNameSpaceFailureListener(view_.get(), &OnNameSpaceFailure, this);
    // The host decides whether dropped files and links reach the browser; a drop target of
    // the host's own would take drops this engine cannot hand over, so it means none.
    if (ComPtr<IDocHostUIHandler2> host = SiteAs<IDocHostUIHandler2>()) {
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
    // The view may outlive this object inside its window; it must not call back into it.
    if (view_) {
        g_signal_handlers_disconnect_by_data(webkit_web_view_get_back_forward_list(view_.get()),
                                             this);
        g_signal_handlers_disconnect_by_data(webkit_web_view_get_window_properties(view_.get()),
                                             this);
        g_signal_handlers_disconnect_by_data(view_.get(), this);
        g_signal_handlers_disconnect_by_data(context_->Context(), this);
        SetNameSpaceFailureListener(view_.get(), nullptr, nullptr);
    }
    // Windows the pages opened go with the browser that opened them.
    while (!popups_.empty()) {
        ClosePopup(popups_.front().get());
    }
    g_signal_handlers_disconnect_by_data(content_.get(), this);
    webkit_user_content_manager_unregister_script_message_handler(content_.get(),
                                                                  kWindowClosingHandler);
    webkit_user_content_manager_unregister_script_message_handler(content_.get(),
                                                                  kScriptErrorHandler);
    webkit_user_content_manager_unregister_script_message_handler(content_.get(),
                                                                  kContextTargetHandler);
    webkit_user_content_manager_unregister_script_message_handler(content_.get(),
                                                                  kFrameCompleteHandler);
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
    siteUnknown_ = ComPtr<IUnknown>(site);
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

HRESULT TWebKitBrowser::put_RegisterAsDropTarget(BOOL value) {
    dropsAllowed_ = value != FALSE;
    if (view_ && !dropsAllowed_) {
        gtk_drag_dest_unset(GTK_WIDGET(view_.get()));
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
        switch (type) {
        case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
            return browser->DecideNavigation(view, WEBKIT_NAVIGATION_POLICY_DECISION(decision),
                                             nullptr);
        case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
            return browser->DecideNewWindow(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
            return browser->DecideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
        default:
            break;
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
        case WEBKIT_LOAD_STARTED: {
            browser->loadFailed_ = false;
            browser->loadCancelled_ = false;
            browser->failedUri_.clear();
            // The host's flags are read for every new document.
            browser->ApplyHostInfo();
            browser->ApplyAmbientOptions();
            TWebBrowserEventParams begin;
            browser->Fire(DISPID_DOWNLOADBEGIN, begin);
            break;
        }
        case WEBKIT_LOAD_COMMITTED: {
            TWebBrowserEventParams params;
            params.URL = Wide(webkit_web_view_get_uri(view));
            browser->Fire(DISPID_NAVIGATECOMPLETE2, params);
            browser->ApplyCrossDomainPolicy(webkit_web_view_get_uri(view));
            GTlsCertificate* certificate = nullptr;
            GTlsCertificateFlags errors{};
            TWebBrowserEventParams lock;
            // Secure with a key size the engine does not tell, or not secure.
            lock.Number = webkit_web_view_get_tls_info(view, &certificate, &errors) ? 2 : 0;
            browser->Fire(DISPID_SETSECURELOCKICON, lock);
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
            TWebBrowserEventParams complete;
            browser->Fire(DISPID_DOWNLOADCOMPLETE, complete);
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
        // A document without a title is named by its address, as the Windows browser control does.
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

ComPtr<IInternetSecurityManager> TWebKitBrowser::SecurityManager() const {
    ComPtr<IInternetSecurityManager> manager;
    if (ComPtr<IServiceProvider> services = SiteAs<IServiceProvider>()) {
        services->QueryService(IID_IInternetSecurityManager, IID_IInternetSecurityManager,
                               manager.ReleaseAndGetVoidAddress());
    }
    return manager;
}

bool TWebKitBrowser::UrlActionAllowed(const std::string& url, DWORD action) const {
    ComPtr<IInternetSecurityManager> manager = SecurityManager();
    if (!manager) {
        return true;
    }
    DWORD policy = URLPOLICY_ALLOW;
    const std::u16string wide = AnsiToWide(url);
    const HRESULT hr = manager->ProcessUrlAction(
        wide.c_str(), action, reinterpret_cast<BYTE*>(&policy), sizeof policy, nullptr, 0, 0, 0);
    return hr != S_OK || policy == URLPOLICY_ALLOW;
}

// The host's ambient download control; the host's default when it gives none.
DWORD TWebKitBrowser::AmbientDownloadControl() {
    constexpr DWORD kDefaultDownloadControl = 0x70;
    if (ComPtr<IAmbientDispatch> ambient = SiteAs<IAmbientDispatch>()) {
        TVariant value;
        if (ambient->Invoke(DISPID_AMBIENT_DLCONTROL, DISPATCH_PROPERTYGET, &value, nullptr) ==
                S_OK &&
            value.Kind == TVariant::TKind::vkInt32) {
            return static_cast<DWORD>(value.Int);
        }
    }
    return kDefaultDownloadControl;
}

// The ambient download control decides whether images and media load; the ambient user
// agent, when the host gives one, replaces the session's. Runs once the view exists.
void TWebKitBrowser::ApplyAmbientOptions() {
    WebKitSettings* settings = webkit_web_view_get_settings(view_.get());
    const DWORD flags = AmbientDownloadControl();
    if (ComPtr<IAmbientDispatch> ambient = SiteAs<IAmbientDispatch>()) {
        TVariant agent;
        if (ambient->Invoke(DISPID_AMBIENT_USERAGENT, DISPATCH_PROPERTYGET, &agent, nullptr) ==
                S_OK &&
            agent.Kind == TVariant::TKind::vkText) {
            std::string text = WideToAnsi(agent.Text);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                text.pop_back();
            }
            if (!text.empty()) {
                webkit_settings_set_user_agent(settings, text.c_str());
            }
        }
    }
    constexpr DWORD kImages = 0x10;
    constexpr DWORD kVideos = 0x20;
    constexpr DWORD kSounds = 0x40;
    webkit_settings_set_auto_load_images(settings, (flags & kImages) != 0);
    webkit_settings_set_enable_media(settings, (flags & (kVideos | kSounds)) != 0);
}

// Scripts run in a document when the host's security manager allows them for its address.
// Runs once the view exists.
void TWebKitBrowser::ApplyScriptPolicy(const std::string& url) {
    constexpr DWORD kDontExecuteScripts = 0x80;
    const bool scripts = !(AmbientDownloadControl() & kDontExecuteScripts) &&
                         UrlActionAllowed(url, URLACTION_SCRIPT_RUN);
    webkit_settings_set_enable_javascript(webkit_web_view_get_settings(view_.get()), scripts);
}

// The book's pages may read data of other origins when the security manager allows
// cross-domain data for them. The engine keeps such a permission for the view's pages once
// given, so it is given no earlier than the first book page that may have it; after that,
// pages of other sites shown in the same view have it too, as the viewer's fixed policy gives
// every page the same answer.
void TWebKitBrowser::ApplyCrossDomainPolicy(const std::string& url) {
    const bool archivePage = AnsiLowerCaseAscii(url).rfind("kiva:", 0) == 0;
    if (!crossDomainAllowed_ && archivePage && UrlActionAllowed(url, URLACTION_CROSS_DOMAIN_DATA)) {
        const char* const everywhere[] = {"http://*/*", "https://*/*", nullptr};
        webkit_web_view_set_cors_allowlist(view_.get(), everywhere);
        crossDomainAllowed_ = true;
    }
}

gboolean TWebKitBrowser::DecideNavigation(WebKitWebView* view,
                                          WebKitNavigationPolicyDecision* decision,
                                          TPopupWindow* popup) {
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(decision);
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const std::string uri =
        webkit_uri_request_get_uri(request) ? webkit_uri_request_get_uri(request) : "";
    if (popup && AnsiLowerCaseAscii(uri) == "about:close") {
        // A window a page opened closes itself; the viewer stays.
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        ClosePopup(popup);
        return TRUE;
    }
    constexpr std::size_t kRecentNavigations = 32;
    recentNavigations_.push_back(uri);
    if (recentNavigations_.size() > kRecentNavigations) {
        recentNavigations_.pop_front();
    }
    const bool decided = popup && !popupDecidedUri_.empty() && uri == popupDecidedUri_;
    if (popup) {
        popupDecidedUri_.clear();
    }
    if (!decided) {
        TWebBrowserEventParams params;
        params.URL = Wide(uri.c_str());
        const char* frame = webkit_navigation_action_get_frame_name(action);
        params.TargetFrameName = Wide(frame);
        Fire(DISPID_BEFORENAVIGATE2, params);
        if (params.Cancel) {
            webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
            return TRUE;
        }
    }
    const WebKitNavigationType kind = webkit_navigation_action_get_navigation_type(action);
    if (kind == WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED ||
        kind == WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED) {
        const char* from = webkit_web_view_get_uri(view);
        if (!UrlActionAllowed(from ? from : "", URLACTION_HTML_SUBMIT_FORMS_FROM) ||
            !UrlActionAllowed(uri, URLACTION_HTML_SUBMIT_FORMS_TO)) {
            webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
            return TRUE;
        }
    }
    return FALSE;
}

gboolean TWebKitBrowser::DecideNewWindow(WebKitNavigationPolicyDecision* decision) {
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(decision);
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const std::string uri =
        webkit_uri_request_get_uri(request) ? webkit_uri_request_get_uri(request) : "";
    TWebBrowserEventParams window;
    Fire(DISPID_NEWWINDOW2, window);
    TWebBrowserEventParams window3;
    window3.URL = Wide(uri.c_str());
    window3.UrlContext = Wide(view_ ? webkit_web_view_get_uri(view_.get()) : nullptr);
    Fire(DISPID_NEWWINDOW3, window3);
    if (window.Cancel || window3.Cancel) {
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        return TRUE;
    }
    ComPtr<IUnknown> target = window3.NewWindow ? window3.NewWindow : window.NewWindow;
    ComPtr<IWebBrowser2> other;
    if (target && SUCCEEDED(target.As(other)) && other) {
        // The host gave a browser of its own for the page.
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        other->Navigate(AnsiToWide(uri));
        return TRUE;
    }
    // The page in the new window passes the policy like any other, before the window exists:
    // a link the host hands elsewhere opens no empty window.
    TWebBrowserEventParams params;
    params.URL = Wide(uri.c_str());
    params.TargetFrameName = Wide(webkit_navigation_action_get_frame_name(action));
    Fire(DISPID_BEFORENAVIGATE2, params);
    if (params.Cancel) {
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        return TRUE;
    }
    popupDecidedUri_ = uri;
    webkit_policy_decision_use(WEBKIT_POLICY_DECISION(decision));
    return TRUE;
}

gboolean TWebKitBrowser::DecideResponse(WebKitResponsePolicyDecision* decision) {
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
    const guint status = webkit_uri_response_get_status_code(response);
    if (status >= 400) {
        // The top page's and every frame's: the host sees the server's status code, and the
        // server's own error page stays.
        TWebBrowserEventParams params;
        params.URL = Wide(webkit_uri_response_get_uri(response));
        params.StatusCode = static_cast<std::int32_t>(status);
        Fire(DISPID_NAVIGATEERROR, params);
        if (params.Cancel) {
            webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
            return TRUE;
        }
    }
    if (webkit_response_policy_decision_is_mime_type_supported(decision)) {
        return FALSE;
    }
    // What the engine cannot show is offered for saving, unless the host declines it.
    TWebBrowserEventParams params;
    params.Flag = false;
    Fire(DISPID_FILEDOWNLOAD, params);
    const char* uri = webkit_uri_response_get_uri(response);
    if (params.Cancel || (uri && AnsiLowerCaseAscii(uri).rfind("kiva:", 0) == 0)) {
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        if (!params.Cancel) {
            // The engine's downloads cannot read the book's scheme; the entry is saved from
            // the session instead, once this decision is over.
            const char* suggested = webkit_uri_response_get_suggested_filename(response);
            SaveEntryLater(uri, suggested ? suggested : "");
        }
    } else {
        webkit_policy_decision_download(WEBKIT_POLICY_DECISION(decision));
    }
    return TRUE;
}

std::string TWebKitBrowser::ChooseSaveFile(const std::string& suggested) {
    GtkWidget* top = container_ ? gtk_widget_get_toplevel(container_.get()) : nullptr;
    GtkWidget* chooser = gtk_file_chooser_dialog_new(
        "Save File", GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr, GTK_FILE_CHOOSER_ACTION_SAVE,
        "_Cancel", GTK_RESPONSE_CANCEL, "_Save", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
    if (!suggested.empty()) {
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), suggested.c_str());
    }
    const gint response = gtk_dialog_run(GTK_DIALOG(chooser));
    GCharPtr file(response == GTK_RESPONSE_ACCEPT
                      ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))
                      : nullptr);
    gtk_widget_destroy(chooser);
    return file ? std::string(file.get()) : std::string();
}

void TWebKitBrowser::SaveEntryLater(const std::string& uri, const std::string& suggested) {
    struct TSave {
        ComPtr<IWebBrowser2> Browser;
        TWebKitBrowser* Self;
        std::string Uri;
        std::string Name;
    };
    std::string name = suggested;
    if (name.empty()) {
        const std::string path = uri.substr(0, uri.find_first_of("?#"));
        GCharPtr last(g_uri_unescape_string(path.substr(path.rfind('/') + 1).c_str(), nullptr));
        name = last ? last.get() : "";
    }
    auto* save = new TSave{ComPtr<IWebBrowser2>(this), this, uri, name};
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        [](gpointer data) -> gboolean {
            auto* job = static_cast<TSave*>(data);
            try {
                const std::string file = job->Self->ChooseSaveFile(job->Name);
                if (!file.empty()) {
                    const TNameSpaceResponse body = RunNameSpaceRequest(
                        AnsiToWide(job->Uri), 0, job->Self->context_->RequestServices());
                    GError* error = nullptr;
                    if (FAILED(body.Result) ||
                        !g_file_set_contents(file.c_str(), body.Data.data(),
                                             static_cast<gssize>(body.Data.size()), &error)) {
                        TWebBrowserEventParams params;
                        params.URL = Wide(job->Uri.c_str());
                        params.StatusCode = FAILED(body.Result) ? body.Result : E_FAIL;
                        job->Self->Fire(DISPID_NAVIGATEERROR, params);
                    }
                    g_clear_error(&error);
                }
            } catch (...) {
            }
            return G_SOURCE_REMOVE;
        },
        save, [](gpointer data) { delete static_cast<TSave*>(data); });
}

gboolean TWebKitBrowser::KeyEvent(GdkEventKey* event, bool down) {
    // A key the page left unhandled comes through the view once more on its way to the
    // window; the host has had it already.
    const std::tuple<guint32, guint, guint16, bool> stroke{event->time, event->keyval,
                                                           event->hardware_keycode, down};
    if (stroke == lastKey_) {
        return FALSE;
    }
    lastKey_ = stroke;
    const WPARAM key = VirtualKeyOf(event->keyval);
    const DWORD keyState = KeyStateOf(event->state);
    // The scan code of the PC keyboard is the evdev code that X numbers from 8.
    const LPARAM scan = event->hardware_keycode >= 8 ? (event->hardware_keycode - 8) & 0xFF : 0;
    if (key != 0) {
        if (ComPtr<IHostWindowProcedure> host = SiteAs<IHostWindowProcedure>()) {
            TMessage message;
            message.Msg = down ? CN_KEYDOWN : CN_KEYUP;
            message.WParam = key;
            message.LParam = (scan << 16) | 1;
            message.KeyState = keyState;
            host->WindowProc(message);
            if (message.Result != 0) {
                return TRUE;
            }
        }
    }
    if (!down) {
        return FALSE;
    }
    if (ComPtr<IDocHostUIHandler2> host = SiteAs<IDocHostUIHandler2>()) {
        MSG msg;
        // Alt without Ctrl makes a system key, as menus take it.
        msg.message = (keyState & KS_ALT) && !(keyState & KS_CTRL) ? WM_SYSKEYDOWN : WM_KEYDOWN;
        msg.wParam = key;
        msg.lParam = (scan << 16) | 1;
        msg.time = event->time;
        msg.KeyState = keyState;
        if (host->TranslateAccelerator(&msg, nullptr, 0) == S_OK) {
            return TRUE;
        }
    }
    return FALSE;
}

void TWebKitBrowser::ShowCrashPage(WebKitWebProcessTerminationReason reason) {
    const char* why = reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT
                          ? "used more memory than it may"
                          : "stopped unexpectedly";
    const std::string html =
        std::string("<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                    "<title>The page stopped</title></head>"
                    "<body style=\"font-family:sans-serif;margin:2em\">"
                    "<h1>The page stopped</h1><p>The process that shows the pages ") +
        why + ". Use Home or Back to go on reading, or reload the page.</p></body></html>";
    const char* failed = webkit_web_view_get_uri(view_.get());
    // The message stands in for the failed page, so Back leads to the page before it.
    webkit_web_view_load_alternate_html(view_.get(), html.c_str(),
                                        failed && *failed ? failed : "about:blank", nullptr);
}

WebKitWebView* TWebKitBrowser::CreatePopup(WebKitWebView* related, WebKitNavigationAction*) {
    auto popup = std::make_unique<TPopupWindow>();
    popup->Owner = this;
    // A related view shares the opener's engine process, and with it the opener's page
    // scripts; the close hook among them is taken back once each document of the window
    // starts (see kRestoreCloseScript).
    popup->View = WEBKIT_WEB_VIEW(webkit_web_view_new_with_related_view(related));
    g_object_ref_sink(popup->View);
    popup->Window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(popup->Window), 800, 600);
    if (GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(related)); GTK_IS_WINDOW(top)) {
        gtk_window_set_transient_for(GTK_WINDOW(popup->Window), GTK_WINDOW(top));
    }
    gtk_container_add(GTK_CONTAINER(popup->Window), GTK_WIDGET(popup->View));
    TPopupWindow* raw = popup.get();
    g_signal_connect(popup->View, "decide-policy", G_CALLBACK(OnPopupDecidePolicy), raw);
    g_signal_connect(popup->View, "ready-to-show", G_CALLBACK(OnPopupReady), raw);
    g_signal_connect(popup->View, "close", G_CALLBACK(OnPopupClose), raw);
    g_signal_connect(popup->View, "create", G_CALLBACK(OnPopupCreate), raw);
    g_signal_connect(popup->View, "load-changed",
                     G_CALLBACK(+[](WebKitWebView* view, WebKitLoadEvent event, gpointer) {
                         if (event == WEBKIT_LOAD_COMMITTED) {
                             webkit_web_view_evaluate_javascript(view, kRestoreCloseScript, -1,
                                                                 nullptr, nullptr, nullptr, nullptr,
                                                                 nullptr);
                         }
                     }),
                     raw);
    g_signal_connect(popup->View, "notify::title",
                     G_CALLBACK(+[](GObject* object, GParamSpec*, gpointer window) {
                         const char* title = webkit_web_view_get_title(WEBKIT_WEB_VIEW(object));
                         gtk_window_set_title(GTK_WINDOW(window), title ? title : "");
                     }),
                     popup->Window);
    // The window manager's close box ends the window, not the viewer.
    g_signal_connect(popup->Window, "delete-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer p) -> gboolean {
                         auto* w = static_cast<TPopupWindow*>(p);
                         w->Owner->ClosePopup(w);
                         return TRUE;
                     }),
                     raw);
    popups_.push_back(std::move(popup));
    return raw->View;
}

void TWebKitBrowser::ClosePopup(TPopupWindow* popup) {
    for (auto it = popups_.begin(); it != popups_.end(); ++it) {
        if (it->get() == popup) {
            g_signal_handlers_disconnect_by_data(popup->View, popup);
            g_signal_handlers_disconnect_by_data(popup->View, popup->Window);
            g_signal_handlers_disconnect_by_data(popup->Window, popup);
            gtk_widget_destroy(popup->Window);
            g_object_unref(popup->View);
            popups_.erase(it);
            return;
        }
    }
}

void TWebKitBrowser::OnNameSpaceFailure(WebKitWebView* view, const char* uri, HRESULT result,
                                        void* self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        const std::string failed = uri ? uri : "";
        auto& recent = browser->recentNavigations_;
        const auto it = std::find(recent.begin(), recent.end(), failed);
        const char* page = webkit_web_view_get_uri(view);
        // The page's own failure comes through load-failed; images and the like are no
        // navigations.
        if (it == recent.end() || (page && failed == page)) {
            return;
        }
        recent.erase(it);
        TWebBrowserEventParams params;
        params.URL = Wide(failed.c_str());
        params.StatusCode = result;
        browser->Fire(DISPID_NAVIGATEERROR, params);
    } catch (...) {
    }
}

gboolean TWebKitBrowser::OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent* event,
                                       WebKitHitTestResult* hit, gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        ComPtr<IDocHostUIHandler2> host = browser->SiteAs<IDocHostUIHandler2>();
        if (!host) {
            return FALSE;
        }
        DWORD id = CONTEXT_MENU_DEFAULT;
        if (webkit_hit_test_result_context_is_selection(hit)) {
            id = CONTEXT_MENU_TEXTSELECT;
        } else if (webkit_hit_test_result_context_is_link(hit)) {
            id = CONTEXT_MENU_ANCHOR;
        } else if (webkit_hit_test_result_context_is_image(hit)) {
            id = CONTEXT_MENU_IMAGE;
        } else {
            // What the page told about this click, if it told just now.
            constexpr gint64 kFreshMicroseconds = 2000000;
            const bool fresh =
                g_get_monotonic_time() - browser->contextTargetTime_ < kFreshMicroseconds;
            const std::string target = fresh ? browser->contextTarget_ : std::string();
            if (webkit_hit_test_result_context_is_editable(hit) ||
                webkit_hit_test_result_context_is_media(hit) || target == "control") {
                id = CONTEXT_MENU_CONTROL;
            } else if (target == "table") {
                id = CONTEXT_MENU_TABLE;
            }
        }
        browser->contextTarget_.clear();
        POINT at;
        gdouble x = 0;
        gdouble y = 0;
        if (event && gdk_event_get_root_coords(event, &x, &y)) {
            at.x = static_cast<LONG>(x);
            at.y = static_cast<LONG>(y);
        }
        // S_FALSE: the host lets the engine show its own menu.
        return host->ShowContextMenu(id, &at, nullptr, nullptr) == S_FALSE ? FALSE : TRUE;
    } catch (...) {
        return TRUE;
    }
}

gboolean TWebKitBrowser::OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) noexcept {
    try {
        return static_cast<TWebKitBrowser*>(self)->KeyEvent(event, true);
    } catch (...) {
        return FALSE;
    }
}

gboolean TWebKitBrowser::OnKeyRelease(GtkWidget*, GdkEventKey* event, gpointer self) noexcept {
    try {
        return static_cast<TWebKitBrowser*>(self)->KeyEvent(event, false);
    } catch (...) {
        return FALSE;
    }
}

void TWebKitBrowser::OnScriptErrorMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                          gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        JSCValue* value = webkit_javascript_result_get_js_value(result);
        if (!jsc_value_is_string(value)) {
            return;
        }
        GCharPtr text(jsc_value_to_string(value));
        JSCContext* context = jsc_value_get_context(value);
        GObjectPtr<JSCValue> parsed = AdoptGObject(jsc_value_new_from_json(context, text.get()));
        if (!parsed || !jsc_value_is_object(parsed.get())) {
            return;
        }
        auto field = [&](const char* name) {
            return AdoptGObject(jsc_value_object_get_property(parsed.get(), name));
        };
        auto textOf = [](JSCValue* v) {
            GCharPtr t(jsc_value_to_string(v));
            return Wide(t.get());
        };
        ComPtr<IScriptErrorEvent> event(new TScriptErrorEvent(
            textOf(field("message").get()), jsc_value_to_int32(field("line").get()),
            jsc_value_to_int32(field("character").get()), jsc_value_to_int32(field("code").get()),
            textOf(field("url").get())));
        ComPtr<IOleCommandTarget> host = browser->SiteAs<IOleCommandTarget>();
        if (!host) {
            return;
        }
        TVariant in;
        in.Kind = TVariant::TKind::vkObject;
        in.Object = ComPtr<IUnknown>(static_cast<IUnknown*>(event.Get()));
        TVariant out;
        // S_FALSE leaves the error to the engine, which reports it on its console; true or
        // false tell whether scripts go on, and the engine's scripts always do.
        host->Exec(&CGID_DocHostCommandHandler, OLECMDID_SHOWSCRIPTERROR, 0, &in, &out);
    } catch (...) {
    }
}

gboolean TWebKitBrowser::OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog,
                                        gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        ComPtr<IDocHostShowUI> host = browser->SiteAs<IDocHostShowUI>();
        if (!host) {
            return FALSE;
        }
        const WebKitScriptDialogType kind = webkit_script_dialog_get_dialog_type(dialog);
        constexpr UINT kIconWarning = 0x30;
        constexpr UINT kIconQuestion = 0x20;
        const UINT type = kind == WEBKIT_SCRIPT_DIALOG_ALERT ? (MB_OK | kIconWarning)
                                                             : (MB_OKCANCEL | kIconQuestion);
        LRESULT answer = IDCANCEL;
        const HRESULT hr = host->ShowMessage(browser->container_.get(),
                                             Wide(webkit_script_dialog_get_message(dialog)), u"",
                                             type, u"", 0, &answer);
        if (hr != S_OK) {
            // The engine's own dialog, inside the viewer's window.
            return FALSE;
        }
        if (kind == WEBKIT_SCRIPT_DIALOG_CONFIRM ||
            kind == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
            webkit_script_dialog_confirm_set_confirmed(dialog, answer == IDOK);
        } else if (kind == WEBKIT_SCRIPT_DIALOG_PROMPT && answer == IDOK) {
            webkit_script_dialog_prompt_set_text(
                dialog, webkit_script_dialog_prompt_get_default_text(dialog));
        }
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

gboolean TWebKitBrowser::OnAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request,
                                        gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        ComPtr<IAuthenticate> host = browser->SiteAs<IAuthenticate>();
        if (!host) {
            return FALSE;
        }
        void* window = nullptr;
        std::u16string user;
        std::u16string password;
        bool given = false;
        if (host->Authenticate(&window, &user, &password, &given) != S_OK || !given) {
            // No credentials from the host: the engine asks the user.
            return FALSE;
        }
        std::unique_ptr<WebKitCredential, decltype(&webkit_credential_free)> credential(
            webkit_credential_new(WideToAnsi(user).c_str(), WideToAnsi(password).c_str(),
                                  WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION),
            webkit_credential_free);
        webkit_authentication_request_authenticate(request, credential.get());
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

gboolean TWebKitBrowser::OnPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request,
                                             gpointer) noexcept {
    // Location, camera, notifications and the like have no place in the host's policy: the
    // pages of a book never get them.
    webkit_permission_request_deny(request);
    return TRUE;
}

void TWebKitBrowser::OnDownloadStarted(WebKitWebContext*, WebKitDownload* download,
                                       gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    WebKitWebView* view = webkit_download_get_web_view(download);

    bool ours = view == browser->view_.get();
    for (const auto& popup : browser->popups_) {
        ours = ours || view == popup->View;
    }
    if (ours) {
        g_signal_connect(download, "decide-destination", G_CALLBACK(OnDecideDestination), self);
    }
}

gboolean TWebKitBrowser::OnDecideDestination(WebKitDownload* download, gchar* suggested,
                                             gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    g_signal_handlers_disconnect_by_data(download, self);
    try {
        // Nothing is saved anywhere the user did not choose.
        const std::string file = browser->ChooseSaveFile(suggested ? suggested : "");
        GCharPtr uri(file.empty() ? nullptr : g_filename_to_uri(file.c_str(), nullptr, nullptr));
        if (!uri) {
            webkit_download_cancel(download);
            return TRUE;
        }
        // The chooser asked before replacing a file.
        webkit_download_set_allow_overwrite(download, TRUE);
        webkit_download_set_destination(download, uri.get());
        return TRUE;
    } catch (...) {
        webkit_download_cancel(download);
        return TRUE;
    }
}

GtkWidget* TWebKitBrowser::OnCreate(WebKitWebView* view, WebKitNavigationAction* action,
                                    gpointer self) noexcept {
    try {
        return GTK_WIDGET(static_cast<TWebKitBrowser*>(self)->CreatePopup(view, action));
    } catch (...) {
        return nullptr;
    }
}

void TWebKitBrowser::OnWebProcessTerminated(WebKitWebView*,
                                            WebKitWebProcessTerminationReason reason,
                                            gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        // Asked for by the program itself (at its end): nobody is reading any more.
        if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API) {
            return;
        }
        browser->ShowCrashPage(reason);
    } catch (...) {
    }
}

void TWebKitBrowser::OnProgress(GObject* object, GParamSpec*, gpointer self) noexcept {
    try {
        constexpr std::int32_t kScale = 10000;
        TWebBrowserEventParams params;
        params.ProgressMax = kScale;
        params.Progress = static_cast<std::int32_t>(
            webkit_web_view_get_estimated_load_progress(WEBKIT_WEB_VIEW(object)) * kScale);
        static_cast<TWebKitBrowser*>(self)->Fire(DISPID_PROGRESSCHANGE, params);
    } catch (...) {
    }
}

gboolean TWebKitBrowser::OnFullScreen(WebKitWebView*, gpointer self) noexcept {
    try {
        TWebBrowserEventParams params;
        params.Flag = true;
        static_cast<TWebKitBrowser*>(self)->Fire(DISPID_ONFULLSCREEN, params);
    } catch (...) {
    }
    return FALSE;
}

gboolean TWebKitBrowser::OnLeaveFullScreen(WebKitWebView*, gpointer self) noexcept {
    try {
        TWebBrowserEventParams params;
        static_cast<TWebKitBrowser*>(self)->Fire(DISPID_ONFULLSCREEN, params);
    } catch (...) {
    }
    return FALSE;
}

void TWebKitBrowser::OnInsecureContent(WebKitWebView*, WebKitInsecureContentEvent,
                                       gpointer self) noexcept {
    try {
        TWebBrowserEventParams params;
        params.Number = 1; // mixed content
        static_cast<TWebKitBrowser*>(self)->Fire(DISPID_SETSECURELOCKICON, params);
    } catch (...) {
    }
}

void TWebKitBrowser::OnGeometry(GObject* properties, GParamSpec*, gpointer self) noexcept {
    auto* browser = static_cast<TWebKitBrowser*>(self);
    try {
        GdkRectangle geometry{};
        webkit_window_properties_get_geometry(WEBKIT_WINDOW_PROPERTIES(properties), &geometry);
        const std::pair<DISPID, int> changes[] = {{DISPID_WINDOWSETLEFT, geometry.x},
                                                  {DISPID_WINDOWSETTOP, geometry.y},
                                                  {DISPID_WINDOWSETWIDTH, geometry.width},
                                                  {DISPID_WINDOWSETHEIGHT, geometry.height}};
        for (const auto& [id, value] : changes) {
            TWebBrowserEventParams params;
            params.Number = value;
            browser->Fire(id, params);
        }
        if (ComPtr<IHTMLOMWindowServices> host = browser->SiteAs<IHTMLOMWindowServices>()) {
            host->moveTo(geometry.x, geometry.y);
            host->resizeTo(geometry.width, geometry.height);
        }
    } catch (...) {
    }
}

gboolean TWebKitBrowser::OnPopupDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                             WebKitPolicyDecisionType type,
                                             gpointer popup) noexcept {
    auto* window = static_cast<TPopupWindow*>(popup);
    try {
        switch (type) {
        case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
            return window->Owner->DecideNavigation(
                view, WEBKIT_NAVIGATION_POLICY_DECISION(decision), window);
        case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
            return window->Owner->DecideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
        default:
            break;
        }
    } catch (...) {
    }
    return FALSE;
}

void TWebKitBrowser::OnPopupReady(WebKitWebView* view, gpointer popup) noexcept {
    auto* window = static_cast<TPopupWindow*>(popup);
    try {
        GdkRectangle geometry{};
        webkit_window_properties_get_geometry(webkit_web_view_get_window_properties(view),
                                              &geometry);
        TWebBrowserEventParams size;
        size.CX = geometry.width > 0 ? geometry.width : 800;
        size.CY = geometry.height > 0 ? geometry.height : 600;
        window->Owner->Fire(DISPID_CLIENTTOHOSTWINDOW, size);
        if (size.CX > 0 && size.CY > 0) {
            gtk_window_set_default_size(GTK_WINDOW(window->Window), size.CX, size.CY);
        }
        gtk_widget_show_all(window->Window);
    } catch (...) {
    }
}

void TWebKitBrowser::OnPopupClose(WebKitWebView*, gpointer popup) noexcept {
    auto* window = static_cast<TPopupWindow*>(popup);
    window->Owner->ClosePopup(window);
}

GtkWidget* TWebKitBrowser::OnPopupCreate(WebKitWebView* view, WebKitNavigationAction* action,
                                         gpointer popup) noexcept {
    try {
        return GTK_WIDGET(static_cast<TPopupWindow*>(popup)->Owner->CreatePopup(view, action));
    } catch (...) {
        return nullptr;
    }
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
