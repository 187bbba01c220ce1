// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitContext.h"
#include "Trace.h"
#include "UrlMon.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace kiva {

namespace {

constexpr const char* kScheme = "kiva";

// What the scheme's callback hands every request: the book's services, owned by the web
// context's registration and let go with it.
struct TSchemeData {
    ComPtr<IServiceProvider> Services;
};

void OnNameSpaceRequest(WebKitURISchemeRequest* request, gpointer data) {
    ServeNameSpaceRequest(request, static_cast<TSchemeData*>(data)->Services.Get());
}

// The viewer's own pages, made by the host; they may show no picture, style sheet or frame of
// anybody else and run no script at all, whatever their text holds.
constexpr const char* kViewerPagesPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'; form-action 'none'";

using TViewerPages = std::function<std::optional<std::string>(const std::string&)>;

void OnViewerPageRequest(WebKitURISchemeRequest* request, gpointer data) {
    try {
        const auto& pages = *static_cast<TViewerPages*>(data);
        const std::optional<std::string> html = pages(webkit_uri_scheme_request_get_uri(request));
        if (!html) {
            GErrorPtr error(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND,
                                                "The viewer has no such page."));
            webkit_uri_scheme_request_finish_error(request, error.get());
            return;
        }
        GBytes* bytes = g_bytes_new(html->data(), html->size());
        GObjectPtr<GInputStream> body(g_memory_input_stream_new_from_bytes(bytes));
        g_bytes_unref(bytes);
        GObjectPtr<WebKitURISchemeResponse> response(
            webkit_uri_scheme_response_new(body.get(), static_cast<gint64>(html->size())));
        webkit_uri_scheme_response_set_content_type(response.get(), "text/html; charset=utf-8");
        SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
        soup_message_headers_append(headers, "Content-Security-Policy", kViewerPagesPolicy);
        // The response takes the headers over.
        webkit_uri_scheme_response_set_http_headers(response.get(), headers);
        webkit_uri_scheme_request_finish_with_response(request, response.get());
    } catch (...) {
        TraceCaughtError("one of the viewer's own pages");
        GErrorPtr error(g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED,
                                            "The viewer could not make the page."));
        webkit_uri_scheme_request_finish_error(request, error.get());
    }
}

constexpr const char* kFailureListenerKey = "kiva-name-space-failure-listener";

struct TFailureListener {
    TNameSpaceFailureListener Listener;
    void* Data;
};

void FinishWithError(WebKitURISchemeRequest* request, HRESULT result) {
    GErrorPtr error(g_error_new_literal(TWebKitContext::NameSpaceErrorQuark(), result,
                                        NameSpaceErrorText(result).c_str()));
    // The view and address outlive the request's end only as copies.
    GObjectPtr<WebKitWebView> view;
    if (WebKitWebView* v = webkit_uri_scheme_request_get_web_view(request)) {
        view = GObjectPtr<WebKitWebView>(WEBKIT_WEB_VIEW(g_object_ref(v)));
    }
    const std::string uri = webkit_uri_scheme_request_get_uri(request);
    webkit_uri_scheme_request_finish_error(request, error.get());
    if (view) {
        if (auto* l = static_cast<TFailureListener*>(
                g_object_get_data(G_OBJECT(view.get()), kFailureListenerKey))) {
            l->Listener(view.get(), uri.c_str(), result, l->Data);
        }
    }
}

class TServedRequest;

// The body of one response: an input stream that pulls the protocol's data as the browser
// reads it. A read that finds nothing yet waits for the protocol's next notification, so a
// large entry flows through while it inflates elsewhere, and nothing holds it whole.
struct KivaProtocolStream {
    GInputStream parent;
    std::shared_ptr<TServedRequest>* served;
};
struct KivaProtocolStreamClass {
    GInputStreamClass parent;
};

GType kiva_protocol_stream_get_type();

// One request of the scheme from the browser's call to its end, which is the browser
// closing (or dropping) the body stream.
class TServedRequest : public std::enable_shared_from_this<TServedRequest> {
public:
    explicit TServedRequest(WebKitURISchemeRequest* request)
        : request_(WEBKIT_URI_SCHEME_REQUEST(g_object_ref(request))) {}

    void Start(IServiceProvider* services) {
        std::weak_ptr<TServedRequest> self = weak_from_this();
        protocol_ = TNameSpaceRequest::Start(
            AnsiToWide(webkit_uri_scheme_request_get_uri(request_.get())),
            [self] {
                if (auto s = self.lock()) {
                    s->Notified();
                }
            },
            TRequestContext{DispatchToMainLoop, ComPtr<IServiceProvider>(services)});
        if (!TryAnswer()) {
            // Neither data nor a failure yet: kept until the protocol says more.
            Waiting().insert(shared_from_this());
        }
    }

    // Starts a read of the body into buffer; the task completes now, at a later notification,
    // or when its cancellable is cancelled.
    void Read(GTask* task, void* buffer, gsize count) {
        if (pending_) {
            g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_PENDING,
                                    "A read is already pending");
            g_object_unref(task);
            return;
        }
        pending_ = task;
        buffer_ = buffer;
        count_ = static_cast<ULONG>(std::min<gsize>(count, G_MAXUINT32));
        ++read_;
        if (GCancellable* cancellable = g_task_get_cancellable(task)) {
            cancelHandler_ = g_cancellable_connect(
                cancellable, G_CALLBACK(OnCancelled), new TCancelWatch{weak_from_this(), read_},
                [](gpointer p) { delete static_cast<TCancelWatch*>(p); });
        }
        TryRead();
    }

    void Close() {
        if (protocol_) {
            protocol_->Close();
        }
        if (pending_) {
            g_task_return_new_error(Finish(), G_IO_ERROR, G_IO_ERROR_CLOSED,
                                    "The stream was closed");
            Unref();
        }
    }

private:
    struct TCancelWatch {
        std::weak_ptr<TServedRequest> Served;
        unsigned Read;
    };

    // The cancellable may fire on any thread; the read it cancels is ended on the main loop,
    // where every other step of the request runs.
    static void OnCancelled(GCancellable*, gpointer data) {
        const auto* watch = static_cast<TCancelWatch*>(data);
        DispatchToMainLoop([served = watch->Served, read = watch->Read] {
            if (auto s = served.lock(); s && s->pending_ && s->read_ == read) {
                g_task_return_new_error(s->Finish(), G_IO_ERROR, G_IO_ERROR_CANCELLED,
                                        "The read was cancelled");
                s->Unref();
            }
        });
    }

    // Takes the pending read's task, no longer watching its cancellable; the caller returns
    // a result on it and lets it go with Unref.
    GTask* Finish() {
        finished_ = std::exchange(pending_, nullptr);
        if (cancelHandler_ != 0) {
            g_cancellable_disconnect(g_task_get_cancellable(finished_), cancelHandler_);
            cancelHandler_ = 0;
        }
        return finished_;
    }
    void Unref() { g_object_unref(std::exchange(finished_, nullptr)); }

    static std::set<std::shared_ptr<TServedRequest>>& Waiting() {
        static std::set<std::shared_ptr<TServedRequest>> waiting;
        return waiting;
    }

    void Notified() {
        if (!answered_) {
            if (TryAnswer()) {
                Waiting().erase(shared_from_this());
            }
            return;
        }
        TryRead();
    }

    // Finishes the browser's request once the protocol has said enough: true when done.
    bool TryAnswer() {
        if (answered_) {
            return true;
        }
        const HRESULT status = protocol_->Status();
        if (FAILED(status)) {
            answered_ = true;
            FinishWithError(request_.get(), status);
            protocol_->Close();
            return true;
        }
        if (!protocol_->HasData()) {
            return false;
        }
        answered_ = true;
        auto* stream = static_cast<KivaProtocolStream*>(
            g_object_new(kiva_protocol_stream_get_type(), nullptr));
        stream->served = new std::shared_ptr<TServedRequest>(shared_from_this());
        GObjectPtr<GInputStream> body(G_INPUT_STREAM(stream));
        const std::string& type = protocol_->ContentType();
        // Without a type the browser determines it from the data.
        webkit_uri_scheme_request_finish(request_.get(), body.get(), protocol_->Size(),
                                         type.empty() ? nullptr : type.c_str());
        return true;
    }

    void TryRead() {
        if (!pending_) {
            return;
        }
        ULONG n = 0;
        const HRESULT hr = protocol_->Read(buffer_, count_, &n);
        if (hr == E_PENDING) {
            return;
        }
        GTask* task = Finish();
        if (SUCCEEDED(hr)) {
            g_task_return_int(task, hr == S_FALSE ? 0 : static_cast<gssize>(n));
        } else {
            // A body that breaks off fails the load instead of passing for a short page.
            g_task_return_new_error(task, TWebKitContext::NameSpaceErrorQuark(), hr, "%s",
                                    NameSpaceErrorText(hr).c_str());
        }
        Unref();
    }

    GObjectPtr<WebKitURISchemeRequest> request_;
    std::shared_ptr<TNameSpaceRequest> protocol_;
    bool answered_ = false;
    GTask* pending_ = nullptr;
    GTask* finished_ = nullptr;
    unsigned read_ = 0;
    gulong cancelHandler_ = 0;
    void* buffer_ = nullptr;
    ULONG count_ = 0;
};

G_DEFINE_TYPE(KivaProtocolStream, kiva_protocol_stream, G_TYPE_INPUT_STREAM)

gssize ProtocolStreamReadSync(GInputStream*, void*, gsize, GCancellable*, GError** error) {
    // The browser reads asynchronously; a blocking read could only stall its thread.
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED,
                        "Read the body asynchronously");
    return -1;
}

void ProtocolStreamReadAsync(GInputStream* stream, void* buffer, gsize count, int,
                             GCancellable* cancellable, GAsyncReadyCallback callback,
                             gpointer data) {
    GTask* task = g_task_new(stream, cancellable, callback, data);
    auto* self = reinterpret_cast<KivaProtocolStream*>(stream);
    if (!self->served || g_task_return_error_if_cancelled(task)) {
        if (!self->served) {
            g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_CLOSED, "The stream is closed");
        }
        g_object_unref(task);
        return;
    }
    try {
        (*self->served)->Read(task, buffer, count);
    } catch (...) {
        TraceCaughtError("reading a response");
        g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_FAILED, "The body could not be read");
        g_object_unref(task);
    }
}

gssize ProtocolStreamReadFinish(GInputStream*, GAsyncResult* result, GError** error) {
    return g_task_propagate_int(G_TASK(result), error);
}

void ReleaseServed(KivaProtocolStream* self) {
    if (self->served) {
        std::unique_ptr<std::shared_ptr<TServedRequest>> served(
            std::exchange(self->served, nullptr));
        try {
            (*served)->Close();
        } catch (...) {
            TraceCaughtError("closing a response");
        }
    }
}

gboolean ProtocolStreamClose(GInputStream* stream, GCancellable*, GError**) {
    ReleaseServed(reinterpret_cast<KivaProtocolStream*>(stream));
    return TRUE;
}

void ProtocolStreamFinalize(GObject* object) {
    ReleaseServed(reinterpret_cast<KivaProtocolStream*>(object));
    G_OBJECT_CLASS(kiva_protocol_stream_parent_class)->finalize(object);
}

void kiva_protocol_stream_class_init(KivaProtocolStreamClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = ProtocolStreamFinalize;
    GInputStreamClass* input = G_INPUT_STREAM_CLASS(klass);
    input->read_fn = ProtocolStreamReadSync;
    input->read_async = ProtocolStreamReadAsync;
    input->read_finish = ProtocolStreamReadFinish;
    input->close_fn = ProtocolStreamClose;
}

void kiva_protocol_stream_init(KivaProtocolStream* self) {
    self->served = nullptr;
}

gboolean RunDispatched(gpointer data) {
    auto* call = static_cast<std::function<void()>*>(data);
    try {
        (*call)();
    } catch (...) {
        TraceCaughtError("a request's notification");
    }
    return G_SOURCE_REMOVE;
}

} // namespace

void SetNameSpaceFailureListener(WebKitWebView* view, TNameSpaceFailureListener listener,
                                 void* data) {
    g_object_set_data_full(G_OBJECT(view), kFailureListenerKey,
                           listener ? new TFailureListener{listener, data} : nullptr,
                           [](gpointer p) { delete static_cast<TFailureListener*>(p); });
}

std::string NameSpaceErrorText(HRESULT result) {
    switch (result) {
    case INET_E_RESOURCE_NOT_FOUND:
        return "The requested page was not found in the archive.";
    case INET_E_UNKNOWN_PROTOCOL:
        return "The archive's pages cannot be shown: the protocol is not registered.";
    case INET_E_USE_DEFAULT_PROTOCOLHANDLER:
        return "The address does not lie under kiva://bundle/.";
    case INET_E_DATA_NOT_AVAILABLE:
    case INET_E_DOWNLOAD_FAILURE:
        return "The page could not be read from the archive: the archive is damaged.";
    default:
        break;
    }
    char text[80];
    std::snprintf(text, sizeof text, "The page could not be loaded (error %08X).",
                  static_cast<unsigned>(result));
    return text;
}

void DispatchToMainLoop(std::function<void()> call) {
    // Always queued, never run at once: invoking the main context runs the call right where it
    // is made when nobody owns the context (before the main loop starts, after it ends), which
    // would put it on the worker that asked.
    g_idle_add_full(G_PRIORITY_DEFAULT, RunDispatched, new std::function<void()>(std::move(call)),
                    [](gpointer p) { delete static_cast<std::function<void()>*>(p); });
}

void ServeNameSpaceRequest(WebKitURISchemeRequest* request, IServiceProvider* services) noexcept {
    try {
        std::make_shared<TServedRequest>(request)->Start(services);
    } catch (...) {
        // Only allocation can fail before the request is answered.
        TraceCaughtError("starting a request");
        FinishWithError(request, E_OUTOFMEMORY);
    }
}

GQuark TWebKitContext::NameSpaceErrorQuark() {
    return g_quark_from_static_string("kiva-name-space-error-quark");
}

std::shared_ptr<TWebKitContext> TWebKitContext::For(TWebSession* session) {
    if (!session) {
        return std::shared_ptr<TWebKitContext>(new TWebKitContext(TWebSession{}));
    }
    if (auto known = std::dynamic_pointer_cast<TWebKitContext>(session->Engine)) {
        return known;
    }
    std::shared_ptr<TWebKitContext> context(new TWebKitContext(*session));
    session->Engine = context;
    return context;
}

namespace {

// Each book keeps its web data (local storage, IndexedDB, cookies, cache) in folders of its
// own; without them nothing outlives the context.
GObjectPtr<WebKitWebContext> NewContext(const TWebSession& session) {
    GObjectPtr<WebKitWebsiteDataManager> data;
    if (session.DataFolder.empty() || session.CacheFolder.empty()) {
        data = AdoptGObject(webkit_website_data_manager_new_ephemeral());
    } else {
        data = AdoptGObject(webkit_website_data_manager_new(
            "base-data-directory", session.DataFolder.c_str(), "base-cache-directory",
            session.CacheFolder.c_str(), nullptr));
    }
    GObjectPtr<WebKitWebContext> context(
        webkit_web_context_new_with_website_data_manager(data.get()));
    if (!session.DataFolder.empty()) {
        GCharPtr cookies(g_build_filename(session.DataFolder.c_str(), "cookies.sqlite", nullptr));
        webkit_cookie_manager_set_persistent_storage(
            webkit_web_context_get_cookie_manager(context.get()), cookies.get(),
            WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    }
    return context;
}

} // namespace

TWebKitContext::TWebKitContext(const TWebSession& session)
    : services_(session.RequestServices), context_(NewContext(session)),
      settings_(webkit_settings_new()) {
    webkit_web_context_register_uri_scheme(context_.get(), kScheme, &OnNameSpaceRequest,
                                           new TSchemeData{services_},
                                           [](gpointer p) { delete static_cast<TSchemeData*>(p); });
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context_.get());
    // A secure, CORS-enabled scheme: its pages fetch their own resources by script as well.
    webkit_security_manager_register_uri_scheme_as_secure(security, kScheme);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kScheme);
    if (session.ViewerPages) {
        const std::string viewerScheme(kViewerPagesScheme);
        webkit_web_context_register_uri_scheme(
            context_.get(), viewerScheme.c_str(), &OnViewerPageRequest,
            new TViewerPages(session.ViewerPages),
            [](gpointer p) { delete static_cast<TViewerPages*>(p); });
        // No page of another scheme may show them in a frame or link to them.
        webkit_security_manager_register_uri_scheme_as_display_isolated(security,
                                                                        viewerScheme.c_str());
    }
    // Text-size levels scale the text and leave pictures as they are.
    webkit_settings_set_zoom_text_only(settings_.get(), TRUE);
    // Settings are shared by every view of the book, so page and sub-resource requests and the
    // page's navigator.userAgent all carry the book's agent.
    if (!session.UserAgent.empty()) {
        webkit_settings_set_user_agent(settings_.get(), session.UserAgent.c_str());
    }
}

TWebKitContext::~TWebKitContext() = default;

} // namespace kiva
