// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitEvents.h"

#include "DocHostUI.h"
#include "PageScripts.h"
#include "SysUtils.h"
#include "Trace.h"
#include "UrlMon.h"
#include "WebKitContext.h"
#include "WebKitPolicy.h"
#include "WebKitPopups.h"
#include "WebKitSite.h"

#include <memory>
#include <utility>

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
//                                  navigations of windows the pages opened (WebKitPolicy)
//   NewWindow2 (251), NewWindow3 (273)  decide-policy NEW_WINDOW_ACTION (WebKitPolicy)
//   NavigateComplete2 (252)        load-changed COMMITTED
//   DocumentComplete (259)         load-changed FINISHED, failed loads included; a frame's
//                                  "load" event, observed by a page script
//   FullScreen (258)               enter-fullscreen, leave-fullscreen
//   WindowSetLeft/Top/Width/Height (264-267)  notify::geometry of the window properties
//   WindowClosing (263)            "close" (the page's window.close() is a navigation to
//                                  about:close, which BeforeNavigate2 brings)
//   ClientToHostWindow (268)       ready-to-show of a new window: its size (WebKitPopups)
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
//                                  form controls told by a page script); the engine's menu
//                                  shows only when the host answers S_FALSE
//   WindowProc (OnKeyDown/OnKeyUp), TranslateAccelerator  key-press-event and
//                                  key-release-event of the view, before the engine
//                                  (WebKitKeys)
//   Exec, script error (40)        a page script's "error" listener
//   ShowMessage                    script-dialog (alert, confirm, prompt, leaving a page)
//   Authenticate                   authenticate; without credentials the engine asks
//   GetDropTarget                  the view's creation: the engine's own drops (which navigate
//                                  through the policy) or none
//   Ambient download control (-5512), user agent (-5513)  load-changed STARTED: images,
//                                  media and scripts on or off; the view's user agent
//   QueryService(IInternetSecurityManager), ProcessUrlAction  the view's first page (scripts
//                                  0x1400), every form submission (0x1602, 0x1603), the
//                                  book's pages as they start and commit (cross-domain data
//                                  0x1406, WebKitCrossOrigin)
//   moveTo/resizeTo                notify::geometry of the window properties
//   ActiveX and Java actions, IProtectFocus, IDownloadManager, INewWindowManager, ShowHelp,
//   QueryStatus, other Exec commands, the drop target's methods, GetExternal, TranslateUrl,
//   FilterDataObject, the key paths, ShowUI, HideUI, UpdateUI, EnableModeless, the window
//   activations, ResizeBorder, IZoomEvents, IHostBehaviorInit  decision logic only
//
// Without a host's answer: permission-request is denied, downloads ask where to save
// (WebKitDownloads), create opens a plain window (WebKitPopups), and web-process-terminated
// puts a message in the page area.

namespace kiva {

namespace {

// Runs the body of a signal handler; an error it raises is traced, and the handler gives the
// engine the fallback answer.
template <class R, class F> R Guarded(const char* where, R fallback, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        TraceCaughtError(where);
        return fallback;
    }
}
template <class F> void Guarded(const char* where, F&& body) noexcept {
    try {
        body();
    } catch (...) {
        TraceCaughtError(where);
    }
}

TWebKitEvents* Self(gpointer self) {
    return static_cast<TWebKitEvents*>(self);
}

std::u16string Wide(const char* utf8) {
    return AnsiToWide(utf8 ? utf8 : "");
}

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

} // namespace

TWebKitEvents::TWebKitEvents(WebKitWebView* view, GtkWidget* container, TWebKitSite& site,
                             TWebKitPolicy& policy, TWebKitPopups& popups, TPageScripts& scripts,
                             std::function<void()> newDocument)
    : view_(view), container_(container), site_(site), policy_(policy), popups_(popups),
      newDocument_(std::move(newDocument)) {
    scripts.AddObserver("script-error.js", "kivaScriptError", WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                        [this](JSCValue* message) { ScriptError(message); });
    scripts.AddObserver("frame-complete.js", "kivaFrameComplete",
                        WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, [this](JSCValue* message) {
                            GCharPtr text(jsc_value_to_string(message));
                            TWebBrowserEventParams params;
                            params.URL = Wide(text.get());
                            site_.Fire(DISPID_DOCUMENTCOMPLETE, params);
                        });
    scripts.AddObserver("context-target.js", "kivaContextTarget",
                        WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, [this](JSCValue* message) {
                            GCharPtr text(jsc_value_to_string(message));
                            contextTarget_ = text ? text.get() : "";
                            contextTargetTime_ = g_get_monotonic_time();
                        });

    g_signal_connect(view_, "decide-policy",
                     G_CALLBACK(+[](WebKitWebView* view, WebKitPolicyDecision* decision,
                                    WebKitPolicyDecisionType type, gpointer self) -> gboolean {
                         return Guarded("a navigation's decision", FALSE, [&] {
                             return Self(self)->policy_.Decide(view, decision, type);
                         });
                     }),
                     this);
    g_signal_connect(view_, "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         Guarded("a load's progress", [&] { Self(self)->LoadChanged(event); });
                     }),
                     this);
    g_signal_connect(view_, "load-failed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                    gpointer self) -> gboolean {
                         return Guarded("a failed load", FALSE, [&] {
                             return Self(self)->LoadFailed(uri, error) ? TRUE : FALSE;
                         });
                     }),
                     this);
    g_signal_connect(view_, "notify::title", G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                         Guarded("the page's title", [&] {
                             WebKitWebView* view = Self(self)->view_;
                             const char* title = webkit_web_view_get_title(view);
                             TWebBrowserEventParams params;
                             // A document without a title is named by its address, as the
                             // Windows browser control does.
                             params.Text =
                                 Wide(title && *title ? title : webkit_web_view_get_uri(view));
                             Self(self)->site_.Fire(DISPID_TITLECHANGE, params);
                         });
                     }),
                     this);
    g_signal_connect(
        view_, "mouse-target-changed",
        G_CALLBACK(+[](WebKitWebView*, WebKitHitTestResult* hit, guint, gpointer self) {
            Guarded("the link under the pointer", [&] {
                const char* link = webkit_hit_test_result_context_is_link(hit)
                                       ? webkit_hit_test_result_get_link_uri(hit)
                                       : nullptr;
                std::string text = link ? link : "";
                if (text == Self(self)->statusText_) {
                    return;
                }
                Self(self)->statusText_ = text;
                TWebBrowserEventParams params;
                params.Text = AnsiToWide(text);
                Self(self)->site_.Fire(DISPID_STATUSTEXTCHANGE, params);
            });
        }),
        this);
    g_signal_connect(view_, "close", G_CALLBACK(+[](WebKitWebView*, gpointer self) {
                         Guarded("the page's close",
                                 [&] { Self(self)->Fire(DISPID_WINDOWCLOSING); });
                     }),
                     this);
    g_signal_connect(webkit_web_view_get_back_forward_list(view_), "changed",
                     G_CALLBACK(+[](WebKitBackForwardList*, WebKitBackForwardListItem*, gpointer,
                                    gpointer self) {
                         Guarded("the history", [&] { Self(self)->FireCommandStates(); });
                     }),
                     this);
    g_signal_connect(view_, "context-menu",
                     G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent* event,
                                    WebKitHitTestResult* hit, gpointer self) -> gboolean {
                         return Guarded("a context menu", TRUE, [&] {
                             return Self(self)->ContextMenu(event, hit) ? TRUE : FALSE;
                         });
                     }),
                     this);
    g_signal_connect(
        view_, "script-dialog",
        G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog* dialog, gpointer self) -> gboolean {
            return Guarded("a script's dialog", FALSE,
                           [&] { return Self(self)->ScriptDialog(dialog) ? TRUE : FALSE; });
        }),
        this);
    g_signal_connect(view_, "authenticate",
                     G_CALLBACK(+[](WebKitWebView*, WebKitAuthenticationRequest* request,
                                    gpointer self) -> gboolean {
                         return Guarded("a server's question for credentials", FALSE, [&] {
                             return Self(self)->Authenticate(request) ? TRUE : FALSE;
                         });
                     }),
                     this);
    // Location, camera, notifications and the like have no place in the host's policy: the
    // pages of a book never get them.
    g_signal_connect(
        view_, "permission-request",
        G_CALLBACK(+[](WebKitWebView*, WebKitPermissionRequest* request, gpointer) -> gboolean {
            webkit_permission_request_deny(request);
            return TRUE;
        }),
        nullptr);
    g_signal_connect(
        view_, "create",
        G_CALLBACK(+[](WebKitWebView* view, WebKitNavigationAction*, gpointer self) -> GtkWidget* {
            return Guarded("a window a page opened", static_cast<GtkWidget*>(nullptr),
                           [&] { return GTK_WIDGET(Self(self)->popups_.Create(view)); });
        }),
        this);
    g_signal_connect(
        view_, "web-process-terminated",
        G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self) {
            // Asked for by the program itself: the view goes on in a new process.
            if (reason != WEBKIT_WEB_PROCESS_TERMINATED_BY_API) {
                Guarded("the page's process end", [&] { Self(self)->ShowCrashPage(reason); });
            }
        }),
        this);
    g_signal_connect(
        view_, "notify::estimated-load-progress",
        G_CALLBACK(+[](GObject* object, GParamSpec*, gpointer self) {
            Guarded("the load's progress", [&] {
                constexpr std::int32_t kScale = 10000;
                TWebBrowserEventParams params;
                params.ProgressMax = kScale;
                params.Progress = static_cast<std::int32_t>(
                    webkit_web_view_get_estimated_load_progress(WEBKIT_WEB_VIEW(object)) * kScale);
                Self(self)->site_.Fire(DISPID_PROGRESSCHANGE, params);
            });
        }),
        this);
    g_signal_connect(view_, "enter-fullscreen",
                     G_CALLBACK(+[](WebKitWebView*, gpointer self) -> gboolean {
                         Guarded("the page's full screen", [&] {
                             TWebBrowserEventParams params;
                             params.Flag = true;
                             Self(self)->site_.Fire(DISPID_ONFULLSCREEN, params);
                         });
                         return FALSE;
                     }),
                     this);
    g_signal_connect(
        view_, "leave-fullscreen", G_CALLBACK(+[](WebKitWebView*, gpointer self) -> gboolean {
            Guarded("the page's full screen", [&] { Self(self)->Fire(DISPID_ONFULLSCREEN); });
            return FALSE;
        }),
        this);
    g_signal_connect(view_, "insecure-content-detected",
                     G_CALLBACK(+[](WebKitWebView*, WebKitInsecureContentEvent, gpointer self) {
                         Guarded("the page's insecure content", [&] {
                             TWebBrowserEventParams params;
                             params.Number = 1; // mixed content
                             Self(self)->site_.Fire(DISPID_SETSECURELOCKICON, params);
                         });
                     }),
                     this);
    g_signal_connect(webkit_web_view_get_window_properties(view_), "notify::geometry",
                     G_CALLBACK(+[](GObject* properties, GParamSpec*, gpointer self) {
                         Guarded("the page's window geometry", [&] {
                             Self(self)->Geometry(WEBKIT_WINDOW_PROPERTIES(properties));
                         });
                     }),
                     this);
    SetNameSpaceFailureListener(view_, &OnNameSpaceFailure, this);
}

TWebKitEvents::~TWebKitEvents() {
    g_signal_handlers_disconnect_by_data(webkit_web_view_get_back_forward_list(view_), this);
    g_signal_handlers_disconnect_by_data(webkit_web_view_get_window_properties(view_), this);
    g_signal_handlers_disconnect_by_data(view_, this);
    SetNameSpaceFailureListener(view_, nullptr, nullptr);
}

void TWebKitEvents::Fire(DISPID dispId) {
    TWebBrowserEventParams params;
    site_.Fire(dispId, params);
}

void TWebKitEvents::LoadChanged(WebKitLoadEvent event) {
    switch (event) {
    case WEBKIT_LOAD_STARTED:
        loadFailed_ = false;
        loadCancelled_ = false;
        failedUri_.clear();
        newDocument_();
        Fire(DISPID_DOWNLOADBEGIN);
        break;
    case WEBKIT_LOAD_COMMITTED: {
        TWebBrowserEventParams params;
        params.URL = Wide(webkit_web_view_get_uri(view_));
        site_.Fire(DISPID_NAVIGATECOMPLETE2, params);
        GTlsCertificate* certificate = nullptr;
        GTlsCertificateFlags errors{};
        TWebBrowserEventParams lock;
        // Secure with a key size the engine does not tell, or not secure.
        lock.Number = webkit_web_view_get_tls_info(view_, &certificate, &errors) ? 2 : 0;
        site_.Fire(DISPID_SETSECURELOCKICON, lock);
        break;
    }
    case WEBKIT_LOAD_FINISHED: {
        // A failed load completes too (with its error page), so nobody waits for it in vain;
        // a load that another one replaced does not.
        if (loadCancelled_) {
            loadCancelled_ = false;
            break;
        }
        TWebBrowserEventParams params;
        params.URL = loadFailed_ ? Wide(failedUri_.c_str()) : Wide(webkit_web_view_get_uri(view_));
        loadFailed_ = false;
        Fire(DISPID_DOWNLOADCOMPLETE);
        site_.Fire(DISPID_DOCUMENTCOMPLETE, params);
        break;
    }
    default:
        break;
    }
}

bool TWebKitEvents::LoadFailed(const char* uri, GError* error) {
    if (IsCancellation(error)) {
        loadCancelled_ = true;
        return true;
    }
    loadFailed_ = true;
    failedUri_ = uri ? uri : "";
    TWebBrowserEventParams params;
    params.URL = Wide(uri);
    params.StatusCode = StatusCodeOf(error);
    site_.Fire(DISPID_NAVIGATEERROR, params);
    // Cancel means: no error page.
    return params.Cancel;
}

void TWebKitEvents::FireCommandStates() {
    TWebBrowserEventParams back;
    back.Command = CSC_NAVIGATEBACK;
    back.Enable = webkit_web_view_can_go_back(view_);
    site_.Fire(DISPID_COMMANDSTATECHANGE, back);
    TWebBrowserEventParams forward;
    forward.Command = CSC_NAVIGATEFORWARD;
    forward.Enable = webkit_web_view_can_go_forward(view_);
    site_.Fire(DISPID_COMMANDSTATECHANGE, forward);
}

void TWebKitEvents::OnNameSpaceFailure(WebKitWebView* view, const char* uri, HRESULT result,
                                       void* self) noexcept {
    Guarded("a failed request of the book", [&] {
        auto* events = Self(self);
        const std::string failed = uri ? uri : "";
        const char* page = webkit_web_view_get_uri(view);
        // The page's own failure comes through load-failed; images and the like are no
        // navigations.
        if ((page && failed == page) || !events->policy_.TakeRecentNavigation(failed)) {
            return;
        }
        TWebBrowserEventParams params;
        params.URL = Wide(failed.c_str());
        params.StatusCode = result;
        events->site_.Fire(DISPID_NAVIGATEERROR, params);
    });
}

bool TWebKitEvents::ContextMenu(GdkEvent* event, WebKitHitTestResult* hit) {
    ComPtr<IDocHostUIHandler2> host = site_.As<IDocHostUIHandler2>();
    if (!host) {
        return false;
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
        const bool fresh = g_get_monotonic_time() - contextTargetTime_ < kFreshMicroseconds;
        const std::string target = fresh ? contextTarget_ : std::string();
        if (webkit_hit_test_result_context_is_editable(hit) ||
            webkit_hit_test_result_context_is_media(hit) || target == "control") {
            id = CONTEXT_MENU_CONTROL;
        } else if (target == "table") {
            id = CONTEXT_MENU_TABLE;
        }
    }
    contextTarget_.clear();
    POINT at;
    gdouble x = 0;
    gdouble y = 0;
    if (event && gdk_event_get_root_coords(event, &x, &y)) {
        at.x = static_cast<LONG>(x);
        at.y = static_cast<LONG>(y);
    }
    // S_FALSE: the host lets the engine show its own menu.
    return host->ShowContextMenu(id, &at, nullptr, nullptr) != S_FALSE;
}

void TWebKitEvents::ScriptError(JSCValue* value) {
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
    ComPtr<IOleCommandTarget> host = site_.As<IOleCommandTarget>();
    if (!host) {
        return;
    }
    TVariant in;
    in.Kind = TVariant::TKind::vkObject;
    in.Object = ComPtr<IUnknown>(static_cast<IUnknown*>(event.Get()));
    TVariant out;
    // S_FALSE leaves the error to the engine, which reports it on its console; true or false
    // tell whether scripts go on, and the engine's scripts always do.
    host->Exec(&CGID_DocHostCommandHandler, OLECMDID_SHOWSCRIPTERROR, 0, &in, &out);
}

bool TWebKitEvents::ScriptDialog(WebKitScriptDialog* dialog) {
    ComPtr<IDocHostShowUI> host = site_.As<IDocHostShowUI>();
    if (!host) {
        return false;
    }
    const WebKitScriptDialogType kind = webkit_script_dialog_get_dialog_type(dialog);
    constexpr UINT kIconWarning = 0x30;
    constexpr UINT kIconQuestion = 0x20;
    const UINT type =
        kind == WEBKIT_SCRIPT_DIALOG_ALERT ? (MB_OK | kIconWarning) : (MB_OKCANCEL | kIconQuestion);
    LRESULT answer = IDCANCEL;
    const HRESULT hr = host->ShowMessage(container_, Wide(webkit_script_dialog_get_message(dialog)),
                                         u"", type, u"", 0, &answer);
    if (hr != S_OK) {
        // The engine's own dialog, inside the viewer's window.
        return false;
    }
    if (kind == WEBKIT_SCRIPT_DIALOG_CONFIRM ||
        kind == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
        webkit_script_dialog_confirm_set_confirmed(dialog, answer == IDOK);
    } else if (kind == WEBKIT_SCRIPT_DIALOG_PROMPT && answer == IDOK) {
        webkit_script_dialog_prompt_set_text(dialog,
                                             webkit_script_dialog_prompt_get_default_text(dialog));
    }
    return true;
}

bool TWebKitEvents::Authenticate(WebKitAuthenticationRequest* request) {
    ComPtr<IAuthenticate> host = site_.As<IAuthenticate>();
    if (!host) {
        return false;
    }
    void* window = nullptr;
    std::u16string user;
    std::u16string password;
    bool given = false;
    if (host->Authenticate(&window, &user, &password, &given) != S_OK || !given) {
        // No credentials from the host: the engine asks the user.
        return false;
    }
    std::unique_ptr<WebKitCredential, decltype(&webkit_credential_free)> credential(
        webkit_credential_new(WideToAnsi(user).c_str(), WideToAnsi(password).c_str(),
                              WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION),
        webkit_credential_free);
    webkit_authentication_request_authenticate(request, credential.get());
    return true;
}

void TWebKitEvents::Geometry(WebKitWindowProperties* properties) {
    GdkRectangle geometry{};
    webkit_window_properties_get_geometry(properties, &geometry);
    const std::pair<DISPID, int> changes[] = {{DISPID_WINDOWSETLEFT, geometry.x},
                                              {DISPID_WINDOWSETTOP, geometry.y},
                                              {DISPID_WINDOWSETWIDTH, geometry.width},
                                              {DISPID_WINDOWSETHEIGHT, geometry.height}};
    for (const auto& [id, value] : changes) {
        TWebBrowserEventParams params;
        params.Number = value;
        site_.Fire(id, params);
    }
    if (ComPtr<IHTMLOMWindowServices> host = site_.As<IHTMLOMWindowServices>()) {
        host->moveTo(geometry.x, geometry.y);
        host->resizeTo(geometry.width, geometry.height);
    }
}

void TWebKitEvents::ShowCrashPage(WebKitWebProcessTerminationReason reason) {
    const char* why = reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT
                          ? "used more memory than it may"
                          : "stopped unexpectedly";
    const std::string html =
        std::string("<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                    "<title>The page stopped</title></head>"
                    "<body style=\"font-family:sans-serif;margin:2em\">"
                    "<h1>The page stopped</h1><p>The process that shows the pages ") +
        why + ". Use Home or Back to go on reading, or reload the page.</p></body></html>";
    const char* failed = webkit_web_view_get_uri(view_);
    // The message stands in for the failed page, so Back leads to the page before it.
    webkit_web_view_load_alternate_html(view_, html.c_str(),
                                        failed && *failed ? failed : "about:blank", nullptr);
}

} // namespace kiva
