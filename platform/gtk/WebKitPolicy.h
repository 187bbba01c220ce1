#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "WinTypes.h"

#include <webkit2/webkit2.h>

#include <deque>
#include <functional>
#include <string>

namespace kiva {

class TWebKitSite;
class TWebKitPopups;
class TWebKitDownloads;

// The navigation and response decisions of the browser's view and of the windows its pages
// open. Every navigation of a page, of its frames and of its windows passes the host's
// before-navigate event; about:close in a pop-up closes that pop-up and nothing else; form
// submissions follow the host's security manager; a form of a book page is never sent to
// another site from a process with cross-origin reads (the answer would have to move to a new
// process, and a form's data cannot follow it there); a server's error status and a type the
// engine cannot show reach the host as events.
class TWebKitPolicy {
public:
    // granted tells whether a view's engine process was given cross-origin reads for the
    // book's pages (see TWebKitCrossOrigin).
    TWebKitPolicy(TWebKitSite& site, TWebKitPopups& popups, TWebKitDownloads& downloads,
                  std::function<bool(WebKitWebView*)> granted)
        : site_(site), popups_(popups), downloads_(downloads), granted_(std::move(granted)) {}
    TWebKitPolicy(const TWebKitPolicy&) = delete;
    TWebKitPolicy& operator=(const TWebKitPolicy&) = delete;

    // The answer to a view's decide-policy signal: TRUE when decided here.
    gboolean Decide(WebKitWebView* view, WebKitPolicyDecision* decision,
                    WebKitPolicyDecisionType type);
    // The address of the window a page is opening, decided already; empty when none is.
    const std::string& PendingWindowUri() const { return popupDecidedUri_; }
    // True, once, when a failed request of the scheme was a recent navigation's: a frame's
    // page, not an image or the like.
    bool TakeRecentNavigation(const std::string& uri);

private:
    // Asks the host's before-navigate event about a navigation: true when it cancels it.
    bool HostCancels(const std::string& uri, WebKitNavigationAction* action);
    gboolean DecideNavigation(WebKitWebView* view, WebKitNavigationPolicyDecision* decision);
    gboolean DecideNewWindow(WebKitWebView* view, WebKitNavigationPolicyDecision* decision);
    gboolean DecideResponse(WebKitResponsePolicyDecision* decision);

    TWebKitSite& site_;
    TWebKitPopups& popups_;
    TWebKitDownloads& downloads_;
    std::function<bool(WebKitWebView*)> granted_;
    // A new window's first address, decided already when the page asked for the window.
    std::string popupDecidedUri_;
    // The latest addresses navigations went to.
    std::deque<std::string> recentNavigations_;
};

} // namespace kiva
