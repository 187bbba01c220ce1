// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitContext.h"
#include "UrlMon.h"

#include <cstdio>
#include <utility>

namespace kiva {

namespace {

constexpr const char* kScheme = "kiva";

void OnNameSpaceRequest(WebKitURISchemeRequest* request, gpointer) {
    ServeNameSpaceRequest(request);
}

void FinishWithError(WebKitURISchemeRequest* request, HRESULT result) {
    GErrorPtr error(g_error_new_literal(TWebKitContext::NameSpaceErrorQuark(), result,
                                        NameSpaceErrorText(result).c_str()));
    webkit_uri_scheme_request_finish_error(request, error.get());
}

void FinishWithData(WebKitURISchemeRequest* request, std::string data) {
    // The body moves into the stream's bytes without a copy; the bytes free it.
    auto* body = new std::string(std::move(data));
    const auto size = static_cast<gint64>(body->size());
    GBytesPtr bytes(g_bytes_new_with_free_func(
        body->data(), body->size(), [](gpointer p) { delete static_cast<std::string*>(p); }, body));
    GObjectPtr<GInputStream> stream(g_memory_input_stream_new_from_bytes(bytes.get()));
    // No content type: the browser determines it from the data, as the original platform did.
    webkit_uri_scheme_request_finish(request, stream.get(), size, nullptr);
}

} // namespace

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

void ServeNameSpaceRequest(WebKitURISchemeRequest* request) noexcept {
    bool finished = false;
    try {
        const char* uri = webkit_uri_scheme_request_get_uri(request);
        if (!IsNameSpaceRegistered(kScheme)) {
            finished = true;
            FinishWithError(request, INET_E_UNKNOWN_PROTOCOL);
            return;
        }
        TNameSpaceResponse response = RunNameSpaceRequest(AnsiToWide(uri ? uri : ""));
        finished = true;
        if (response.Result == S_OK) {
            FinishWithData(request, std::move(response.Data));
        } else {
            FinishWithError(request, FAILED(response.Result) ? response.Result : E_FAIL);
        }
    } catch (...) {
        if (!finished) {
            FinishWithError(request, E_FAIL);
        }
    }
}

GQuark TWebKitContext::NameSpaceErrorQuark() {
    return g_quark_from_static_string("kiva-name-space-error-quark");
}

std::shared_ptr<TWebKitContext> TWebKitContext::Instance() {
    static std::weak_ptr<TWebKitContext> current;
    if (auto instance = current.lock()) {
        return instance;
    }
    std::shared_ptr<TWebKitContext> instance(new TWebKitContext());
    current = instance;
    return instance;
}

TWebKitContext::TWebKitContext()
    : context_(webkit_web_context_new()), settings_(webkit_settings_new()) {
    webkit_web_context_register_uri_scheme(context_.get(), kScheme, &OnNameSpaceRequest, nullptr,
                                           nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context_.get());
    // A secure, CORS-enabled scheme: its pages fetch their own resources by script as well.
    webkit_security_manager_register_uri_scheme_as_secure(security, kScheme);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kScheme);
    ApplyUserAgent(SessionUserAgent());
    SetSessionUserAgentListener([this](const std::string& agent) { ApplyUserAgent(agent); });
}

TWebKitContext::~TWebKitContext() {
    SetSessionUserAgentListener(nullptr);
}

void TWebKitContext::ApplyUserAgent(const std::string& userAgent) {
    // Settings are shared by every view, so page and sub-resource requests and the page's
    // navigator.userAgent all carry the session's agent from the next request on.
    webkit_settings_set_user_agent(settings_.get(),
                                   userAgent.empty() ? nullptr : userAgent.c_str());
}

} // namespace kiva
