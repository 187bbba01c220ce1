#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "WinTypes.h"

#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>

#include "GObjectPtr.h"
#include "WebSession.h"

namespace kiva {

// The web context of one book: it serves the scheme "kiva" through the process's URL session,
// handing each request the book's services so the handler finds the book; marks the scheme
// secure so the book's pages may load their own style sheets, scripts and images; keeps the
// book's web data in the book's own folders; and holds the settings every view of the book
// shares, with the book's user agent. The book's web session keeps it, so it ends after the
// browser and before the book's reader.
class TWebKitContext final : public IWebEngineContext {
public:
    // The context of the session's book, made on first use and kept in the session. Without a
    // session (a browser whose host offers none), a context of the caller's own that keeps
    // nothing beyond its life and serves no book.
    static std::shared_ptr<TWebKitContext> For(TWebSession* session);

    TWebKitContext(const TWebKitContext&) = delete;
    TWebKitContext& operator=(const TWebKitContext&) = delete;
    ~TWebKitContext() override;

    WebKitWebContext* Context() const { return context_.get(); }
    WebKitSettings* Settings() const { return settings_.get(); }
    // What requests of the scheme reach the book through, or null.
    IServiceProvider* RequestServices() const { return services_.Get(); }

    // The error domain of failed "kiva" requests; an error's code is the request's result.
    static GQuark NameSpaceErrorQuark();

private:
    explicit TWebKitContext(const TWebSession& session);

    ComPtr<IServiceProvider> services_;
    GObjectPtr<WebKitWebContext> context_;
    GObjectPtr<WebKitSettings> settings_;
};

// Brings a call to the GUI thread's main loop, where requests of the scheme are driven.
void DispatchToMainLoop(std::function<void()> call);

// Serves one request of the scheme from the process's URL session, with the book's services,
// and finishes it exactly once: with the body, or with an error of NameSpaceErrorQuark()
// carrying the failure code.
void ServeNameSpaceRequest(WebKitURISchemeRequest* request, IServiceProvider* services) noexcept;

// Who hears of the scheme's failed requests of one view: the view's browser, which tells the
// failures of frames' pages from those of images and the like. Null stops it.
using TNameSpaceFailureListener = void (*)(WebKitWebView* view, const char* uri, HRESULT result,
                                           void* data);
void SetNameSpaceFailureListener(WebKitWebView* view, TNameSpaceFailureListener listener,
                                 void* data);

// The user's text for a failed request.
std::string NameSpaceErrorText(HRESULT result);

} // namespace kiva
