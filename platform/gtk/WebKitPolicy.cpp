// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitPolicy.h"

#include "InternetSecurity.h"
#include "SysUtils.h"
#include "WebKitCrossOrigin.h"
#include "WebKitDownloads.h"
#include "WebKitPopups.h"
#include "WebKitSite.h"

#include <algorithm>

namespace kiva {

namespace {

constexpr std::size_t kRecentNavigations = 32;

std::string RequestUri(WebKitNavigationAction* action) {
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    return uri ? uri : "";
}

std::u16string Wide(const char* utf8) {
    return AnsiToWide(utf8 ? utf8 : "");
}

void Ignore(WebKitNavigationPolicyDecision* decision) {
    webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
}

} // namespace

bool TWebKitPolicy::HostCancels(const std::string& uri, WebKitNavigationAction* action) {
    TWebBrowserEventParams params;
    params.URL = Wide(uri.c_str());
    params.TargetFrameName = Wide(webkit_navigation_action_get_frame_name(action));
    site_.Fire(DISPID_BEFORENAVIGATE2, params);
    return params.Cancel;
}

gboolean TWebKitPolicy::Decide(WebKitWebView* view, WebKitPolicyDecision* decision,
                               WebKitPolicyDecisionType type) {
    switch (type) {
    case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
        return DecideNavigation(view, WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
        return DecideNewWindow(view, WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
        return DecideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
    default:
        return FALSE;
    }
}

bool TWebKitPolicy::TakeRecentNavigation(const std::string& uri) {
    const auto it = std::find(recentNavigations_.begin(), recentNavigations_.end(), uri);
    if (it == recentNavigations_.end()) {
        return false;
    }
    recentNavigations_.erase(it);
    return true;
}

gboolean TWebKitPolicy::DecideNavigation(WebKitWebView* view,
                                         WebKitNavigationPolicyDecision* decision) {
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(decision);
    const std::string uri = RequestUri(action);
    const bool popup = popups_.Contains(view);
    if (popup && AnsiLowerCaseAscii(uri) == "about:close") {
        // A window a page opened closes itself, and only itself: the decision reaches the
        // view it was made in, which a page's script cannot choose.
        Ignore(decision);
        popups_.CloseLater(view);
        return TRUE;
    }
    recentNavigations_.push_back(uri);
    if (recentNavigations_.size() > kRecentNavigations) {
        recentNavigations_.pop_front();
    }
    const bool decided = popup && !popupDecidedUri_.empty() && uri == popupDecidedUri_;
    if (popup) {
        popupDecidedUri_.clear();
    }
    if (!decided && HostCancels(uri, action)) {
        Ignore(decision);
        return TRUE;
    }
    const WebKitNavigationType kind = webkit_navigation_action_get_navigation_type(action);
    if (kind == WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED ||
        kind == WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED) {
        const char* from = webkit_web_view_get_uri(view);
        if (!site_.UrlActionAllowed(from ? from : "", URLACTION_HTML_SUBMIT_FORMS_FROM) ||
            !site_.UrlActionAllowed(uri, URLACTION_HTML_SUBMIT_FORMS_TO)) {
            Ignore(decision);
            return TRUE;
        }
    }
    const char* method =
        webkit_uri_request_get_http_method(webkit_navigation_action_get_request(action));
    if (method && AnsiLowerCaseAscii(method) == "post" && PageKindOf(uri) == TPageKind::pkWeb &&
        granted_ && granted_(view)) {
        // The engine cannot send a form's data again in the new process the other site's page
        // needs; refused, and said, rather than sent without its data.
        Ignore(decision);
        TWebBrowserEventParams params;
        params.Text = AnsiToWide("Not sent: a form of the book cannot be sent to another site (" +
                                 uri.substr(0, uri.find_first_of("?#")) + ")");
        site_.Fire(DISPID_STATUSTEXTCHANGE, params);
        return TRUE;
    }
    return FALSE;
}

gboolean TWebKitPolicy::DecideNewWindow(WebKitWebView* view,
                                        WebKitNavigationPolicyDecision* decision) {
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(decision);
    const std::string uri = RequestUri(action);
    TWebBrowserEventParams window;
    site_.Fire(DISPID_NEWWINDOW2, window);
    TWebBrowserEventParams window3;
    window3.URL = Wide(uri.c_str());
    window3.UrlContext = Wide(webkit_web_view_get_uri(view));
    site_.Fire(DISPID_NEWWINDOW3, window3);
    if (window.Cancel || window3.Cancel) {
        Ignore(decision);
        return TRUE;
    }
    ComPtr<IUnknown> target = window3.NewWindow ? window3.NewWindow : window.NewWindow;
    ComPtr<IWebBrowser2> other;
    if (target && SUCCEEDED(target.As(other)) && other) {
        // The host gave a browser of its own for the page.
        Ignore(decision);
        other->Navigate(AnsiToWide(uri));
        return TRUE;
    }
    // The page in the new window passes the policy like any other, before the window exists:
    // a link the host hands elsewhere opens no empty window.
    if (HostCancels(uri, action)) {
        Ignore(decision);
        return TRUE;
    }
    popupDecidedUri_ = uri;
    webkit_policy_decision_use(WEBKIT_POLICY_DECISION(decision));
    return TRUE;
}

gboolean TWebKitPolicy::DecideResponse(WebKitResponsePolicyDecision* decision) {
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
    const guint status = webkit_uri_response_get_status_code(response);
    if (status >= 400) {
        // The top page's and every frame's: the host sees the server's status code, and the
        // server's own error page stays.
        TWebBrowserEventParams params;
        params.URL = Wide(webkit_uri_response_get_uri(response));
        params.StatusCode = static_cast<std::int32_t>(status);
        site_.Fire(DISPID_NAVIGATEERROR, params);
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
    site_.Fire(DISPID_FILEDOWNLOAD, params);
    const char* uri = webkit_uri_response_get_uri(response);
    if (params.Cancel || (uri && AnsiLowerCaseAscii(uri).rfind("kiva:", 0) == 0)) {
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        if (!params.Cancel) {
            // The engine's downloads cannot read the book's scheme; the entry is saved from
            // the session instead, once this decision is over.
            const char* suggested = webkit_uri_response_get_suggested_filename(response);
            downloads_.SaveEntryLater(uri, suggested ? suggested : "");
        }
    } else {
        webkit_policy_decision_download(WEBKIT_POLICY_DECISION(decision));
    }
    return TRUE;
}

} // namespace kiva
