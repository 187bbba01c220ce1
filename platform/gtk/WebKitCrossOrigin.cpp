// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitCrossOrigin.h"

#include "MainLoopCall.h"
#include "SysUtils.h"
#include "Trace.h"
#include "WebSession.h"

#include <utility>

#include "GObjectPtr.h"

namespace kiva {

namespace {

const char* const kEverywhere[] = {"http://*/*", "https://*/*", nullptr};

std::string UriOf(WebKitWebView* view) {
    const char* uri = webkit_web_view_get_uri(view);
    return uri ? uri : "";
}

} // namespace

TPageKind PageKindOf(const std::string& uri) {
    const std::string lower = AnsiLowerCaseAscii(uri);
    if (lower.rfind("blob:", 0) == 0) {
        return PageKindOf(uri.substr(5));
    }
    if (lower.rfind("kiva:", 0) == 0) {
        return TPageKind::pkBook;
    }
    // The viewer's own pages run no scripts, so they can neither use nor need the grant.
    if (lower.empty() || lower.rfind("about:", 0) == 0 ||
        lower.rfind(std::string(kViewerPagesScheme) + ":", 0) == 0) {
        return TPageKind::pkBlank;
    }
    return TPageKind::pkWeb;
}

TWebKitCrossOrigin::TWebKitCrossOrigin(
    std::function<bool(const std::string& uri)> allowed,
    std::function<void(WebKitWebView* view, const std::string& uri)> move)
    : allowed_(std::move(allowed)), move_(std::move(move)) {}

TWebKitCrossOrigin::~TWebKitCrossOrigin() {
    for (const auto& entry : views_) {
        g_signal_handlers_disconnect_by_data(entry.first, this);
    }
}

void TWebKitCrossOrigin::Add(WebKitWebView* view, bool main, std::shared_ptr<TProcess> process,
                             std::string first) {
    views_[view] = TView{main, std::move(process), {}, std::move(first)};
    g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), this);
    // A page's own navigation tells its address only after the load has started, before it
    // commits.
    g_signal_connect(view, "notify::uri",
                     G_CALLBACK(+[](GObject* object, GParamSpec*, gpointer self) {
                         WebKitWebView* view = WEBKIT_WEB_VIEW(object);
                         const std::string uri = UriOf(view);
                         if (!uri.empty()) {
                             try {
                                 static_cast<TWebKitCrossOrigin*>(self)->Started(view, uri);
                             } catch (...) {
                                 TraceCaughtError("the cross-origin grant of an address");
                             }
                         }
                     }),
                     this);
    // A window a script opened learns its first address from its first navigation, which
    // passes here once the policy has let it go.
    g_signal_connect(
        view, "decide-policy",
        G_CALLBACK(+[](WebKitWebView* view, WebKitPolicyDecision* decision,
                       WebKitPolicyDecisionType type, gpointer self) -> gboolean {
            auto* grants = static_cast<TWebKitCrossOrigin*>(self);
            const auto it = grants->views_.find(view);
            if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
                it != grants->views_.end() && it->second.First.empty() && UriOf(view).empty()) {
                WebKitNavigationAction* action =
                    webkit_navigation_policy_decision_get_navigation_action(
                        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
                const char* uri =
                    webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
                it->second.First = uri ? uri : "";
            }
            return FALSE;
        }),
        this);
}

void TWebKitCrossOrigin::AddMain(WebKitWebView* view) {
    Add(view, true, std::make_shared<TProcess>(), {});
}

void TWebKitCrossOrigin::AddPopup(WebKitWebView* view, WebKitWebView* related,
                                  const std::string& first) {
    const auto it = related ? views_.find(related) : views_.end();
    Add(view, false, it != views_.end() ? it->second.Process : std::make_shared<TProcess>(), first);
}

void TWebKitCrossOrigin::Remove(WebKitWebView* view) {
    if (views_.erase(view) != 0) {
        g_signal_handlers_disconnect_by_data(view, this);
    }
}

bool TWebKitCrossOrigin::Granted(WebKitWebView* view) const {
    const auto it = views_.find(view);
    return it != views_.end() && it->second.Process->Granted;
}

bool TWebKitCrossOrigin::ShowsWeb(const TProcess& process, WebKitWebView* except) const {
    for (const auto& [view, entry] : views_) {
        if (view != except && entry.Process.get() == &process &&
            (PageKindOf(entry.Committed) == TPageKind::pkWeb ||
             PageKindOf(UriOf(view)) == TPageKind::pkWeb)) {
            return true;
        }
    }
    return false;
}

void TWebKitCrossOrigin::Grant(WebKitWebView* view) {
    webkit_web_view_set_cors_allowlist(view, kEverywhere);
    views_.at(view).Process->Granted = true;
}

void TWebKitCrossOrigin::Started(WebKitWebView* view, const std::string& started) {
    TView& entry = views_.at(view);
    // A new window's first load starts before the view knows its address.
    const std::string uri = started.empty() ? entry.First : started;
    entry.First.clear();
    const TPageKind kind = PageKindOf(uri);
    if (kind == TPageKind::pkWeb && entry.Process->Granted) {
        // Stopped before anything of the page arrives; it goes on in a process of its own.
        webkit_web_view_stop_loading(view);
        if (entry.Main) {
            Restart(view, uri);
        } else {
            move_(view, uri);
        }
        return;
    }
    // The first book page of a process that shows nothing of another site has the grant
    // from its start, so its own first scripts may use it.
    if (kind == TPageKind::pkBook && !entry.Process->Granted &&
        PageKindOf(entry.Committed) != TPageKind::pkWeb && !ShowsWeb(*entry.Process, view) &&
        allowed_(uri)) {
        Grant(view);
    }
}

void TWebKitCrossOrigin::Committed(WebKitWebView* view, const std::string& uri) {
    TView& entry = views_.at(view);
    entry.Committed = uri;
    if (PageKindOf(uri) != TPageKind::pkBook || !allowed_(uri)) {
        return;
    }
    if (entry.Process->Granted || !ShowsWeb(*entry.Process, view)) {
        Grant(view);
        return;
    }
    if (!entry.Main) {
        move_(view, uri);
        return;
    }
    // The pop-ups that show other sites' pages move away first; the grant follows them.
    for (const auto& [other, otherEntry] : views_) {
        if (other != view && otherEntry.Process == entry.Process) {
            const std::string shown = UriOf(other);
            if (PageKindOf(shown) == TPageKind::pkWeb ||
                PageKindOf(otherEntry.Committed) == TPageKind::pkWeb) {
                move_(other, shown.empty() ? otherEntry.Committed : shown);
            }
        }
    }
    CallFromMainLoop(token_, "the cross-origin grant", [this, view] {
        if (views_.count(view) != 0 && !ShowsWeb(*views_.at(view).Process, view)) {
            Grant(view);
        }
    });
}

void TWebKitCrossOrigin::Restart(WebKitWebView* view, const std::string& uri) {
    TView& entry = views_.at(view);
    const std::shared_ptr<TProcess> old =
        std::exchange(entry.Process, std::make_shared<TProcess>());
    webkit_web_view_set_cors_allowlist(view, nullptr);
    // The windows its pages opened share the old process: each gets a view of its own.
    for (const auto& [other, otherEntry] : views_) {
        if (otherEntry.Process == old) {
            const std::string shown = UriOf(other);
            move_(other, shown.empty() ? otherEntry.Committed : shown);
        }
    }
    // After the moves: the engine starts a new process for the view's next load.
    CallFromMainLoop(token_, "the move to a new process", [view, uri] {
        webkit_web_view_terminate_web_process(view);
        WebKitBackForwardListItem* current =
            webkit_back_forward_list_get_current_item(webkit_web_view_get_back_forward_list(view));
        const char* currentUri = current ? webkit_back_forward_list_item_get_uri(current) : nullptr;
        if (currentUri && uri == currentUri) {
            webkit_web_view_go_to_back_forward_list_item(view, current);
        } else {
            webkit_web_view_load_uri(view, uri.c_str());
        }
    });
}

void TWebKitCrossOrigin::OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event,
                                       gpointer self) noexcept {
    auto* grants = static_cast<TWebKitCrossOrigin*>(self);
    try {
        switch (event) {
        case WEBKIT_LOAD_STARTED:
        case WEBKIT_LOAD_REDIRECTED:
            grants->Started(view, UriOf(view));
            break;
        case WEBKIT_LOAD_COMMITTED:
            grants->Committed(view, UriOf(view));
            break;
        default:
            break;
        }
    } catch (...) {
        TraceCaughtError("the cross-origin grant of a page");
    }
}

} // namespace kiva
