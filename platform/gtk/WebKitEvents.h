#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "WebBrowser.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <string>

namespace kiva {

class TPageScripts;
class TWebKitPolicy;
class TWebKitPopups;
class TWebKitSite;

// Turns what the view reports into the events of the host's table and into questions to the
// host (see the table in WebKitEvents.cpp).
class TWebKitEvents {
public:
    // newDocument runs whenever the view starts a new document, before the host hears of it.
    TWebKitEvents(WebKitWebView* view, GtkWidget* container, TWebKitSite& site,
                  TWebKitPolicy& policy, TWebKitPopups& popups, TPageScripts& scripts,
                  std::function<void()> newDocument);
    TWebKitEvents(const TWebKitEvents&) = delete;
    TWebKitEvents& operator=(const TWebKitEvents&) = delete;
    // The view may outlive the events inside its window; it no longer calls them.
    ~TWebKitEvents();

private:
    void LoadChanged(WebKitLoadEvent event);
    bool LoadFailed(const char* uri, GError* error);
    void FireCommandStates();
    void ShowCrashPage(WebKitWebProcessTerminationReason reason);
    bool ContextMenu(GdkEvent* event, WebKitHitTestResult* hit);
    bool ScriptDialog(WebKitScriptDialog* dialog);
    bool Authenticate(WebKitAuthenticationRequest* request);
    void Geometry(WebKitWindowProperties* properties);
    void ScriptError(JSCValue* message);
    void Fire(DISPID dispId);

    static void OnNameSpaceFailure(WebKitWebView* view, const char* uri, HRESULT result,
                                   void* self) noexcept;

    WebKitWebView* view_;
    GtkWidget* container_;
    TWebKitSite& site_;
    TWebKitPolicy& policy_;
    TWebKitPopups& popups_;
    std::function<void()> newDocument_;
    // What the page said the latest right-click landed in, and when.
    std::string contextTarget_;
    gint64 contextTargetTime_ = 0;
    std::string statusText_;
    std::string failedUri_;
    bool loadFailed_ = false;
    bool loadCancelled_ = false;
};

} // namespace kiva
