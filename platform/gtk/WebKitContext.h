#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "WinTypes.h"

#include <webkit2/webkit2.h>

#include <memory>
#include <string>

#include "GObjectPtr.h"

namespace kiva {

// The process's one web context. It serves the scheme "kiva" through the process's URL
// session, marks the scheme secure so its pages may load their own style sheets, scripts and
// images, and keeps the settings every browser view shares, with the session's user agent.
// It lives while anybody holds it; the next holder after that gets a new one.
class TWebKitContext {
public:
    static std::shared_ptr<TWebKitContext> Instance();

    TWebKitContext(const TWebKitContext&) = delete;
    TWebKitContext& operator=(const TWebKitContext&) = delete;
    ~TWebKitContext();

    WebKitWebContext* Context() const { return context_.get(); }
    WebKitSettings* Settings() const { return settings_.get(); }

    // The error domain of failed "kiva" requests; an error's code is the request's result.
    static GQuark NameSpaceErrorQuark();

private:
    TWebKitContext();
    void ApplyUserAgent(const std::string& userAgent);

    GObjectPtr<WebKitWebContext> context_;
    GObjectPtr<WebKitSettings> settings_;
};

// Serves one request of the scheme from the process's URL session and finishes it exactly once:
// with the body, or with an error of NameSpaceErrorQuark() carrying the failure code.
void ServeNameSpaceRequest(WebKitURISchemeRequest* request) noexcept;

// Who hears of the scheme's failed requests of one view: the view's browser, which tells the
// failures of frames' pages from those of images and the like. Null stops it.
using TNameSpaceFailureListener = void (*)(WebKitWebView* view, const char* uri, HRESULT result,
                                           void* data);
void SetNameSpaceFailureListener(WebKitWebView* view, TNameSpaceFailureListener listener,
                                 void* data);

// The user's text for a failed request.
std::string NameSpaceErrorText(HRESULT result);

} // namespace kiva
