// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitPopups.h"

#include "MainLoopCall.h"
#include "Trace.h"
#include "WebKitSite.h"

#include <algorithm>

namespace kiva {

namespace {

constexpr int kDefaultWidth = 800;
constexpr int kDefaultHeight = 600;

} // namespace

TWebKitPopups::TWebKitPopups(TWebKitSite& site, THooks hooks)
    : site_(site), hooks_(std::move(hooks)) {}

TWebKitPopups::~TWebKitPopups() {
    while (!popups_.empty()) {
        Close(popups_.front().get());
    }
}

WebKitWebView* TWebKitPopups::Create(WebKitWebView* related) {
    auto popup = std::make_unique<TPopup>();
    popup->Owner = this;
    popup->View = WEBKIT_WEB_VIEW(webkit_web_view_new_with_related_view(related));
    g_object_ref_sink(popup->View);
    popup->Window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(popup->Window), kDefaultWidth, kDefaultHeight);
    if (GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(related)); GTK_IS_WINDOW(top)) {
        gtk_window_set_transient_for(GTK_WINDOW(popup->Window), GTK_WINDOW(top));
    }
    gtk_container_add(GTK_CONTAINER(popup->Window), GTK_WIDGET(popup->View));
    // The window manager's close box ends the window, not the viewer.
    g_signal_connect(popup->Window, "delete-event", G_CALLBACK(OnDelete), popup.get());
    Connect(popup.get());
    TPopup* raw = popup.get();
    popups_.push_back(std::move(popup));
    if (hooks_.ViewAdded) {
        hooks_.ViewAdded(raw->View, related);
    }
    return raw->View;
}

void TWebKitPopups::Connect(TPopup* popup) {
    g_signal_connect(popup->View, "decide-policy", G_CALLBACK(OnDecidePolicy), popup);
    g_signal_connect(popup->View, "ready-to-show", G_CALLBACK(OnReady), popup);
    g_signal_connect(popup->View, "close", G_CALLBACK(OnClose), popup);
    g_signal_connect(popup->View, "create", G_CALLBACK(OnCreate), popup);
    g_signal_connect(popup->View, "notify::title", G_CALLBACK(OnTitle), popup);
}

void TWebKitPopups::Disconnect(TPopup* popup) {
    g_signal_handlers_disconnect_by_data(popup->View, popup);
    if (hooks_.ViewRemoved) {
        hooks_.ViewRemoved(popup->View);
    }
}

TWebKitPopups::TPopup* TWebKitPopups::Find(WebKitWebView* view) const {
    for (const auto& popup : popups_) {
        if (popup->View == view) {
            return popup.get();
        }
    }
    return nullptr;
}

bool TWebKitPopups::Contains(WebKitWebView* view) const {
    return Find(view) != nullptr;
}

void TWebKitPopups::Close(TPopup* popup) {
    const auto it = std::find_if(popups_.begin(), popups_.end(),
                                 [popup](const auto& p) { return p.get() == popup; });
    if (it == popups_.end()) {
        return;
    }
    Disconnect(popup);
    g_signal_handlers_disconnect_by_data(popup->Window, popup);
    gtk_widget_destroy(popup->Window);
    g_object_unref(popup->View);
    popups_.erase(it);
}

void TWebKitPopups::CloseLater(WebKitWebView* view) {
    CallFromMainLoop(token_, "a pop-up window's close", [this, view] {
        if (TPopup* popup = Find(view)) {
            Close(popup);
        }
    });
}

void TWebKitPopups::MoveLater(WebKitWebView* view, const std::string& uri) {
    CallFromMainLoop(token_, "a pop-up window's move", [this, view, uri] { Move(view, uri); });
}

void TWebKitPopups::Move(WebKitWebView* view, const std::string& uri) {
    TPopup* popup = Find(view);
    if (!popup) {
        return;
    }
    // Not related to any view: the engine starts a process for it alone.
    auto* fresh = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", webkit_web_view_get_context(view),
                     "settings", webkit_web_view_get_settings(view), "user-content-manager",
                     webkit_web_view_get_user_content_manager(view), nullptr));
    g_object_ref_sink(fresh);
    webkit_web_view_stop_loading(view);
    Disconnect(popup);
    gtk_container_remove(GTK_CONTAINER(popup->Window), GTK_WIDGET(view));
    g_object_unref(view);
    popup->View = fresh;
    gtk_container_add(GTK_CONTAINER(popup->Window), GTK_WIDGET(fresh));
    // A window whose first page moved is shown now; the new view never says it is ready.
    gtk_widget_show_all(popup->Window);
    Connect(popup);
    if (hooks_.ViewAdded) {
        hooks_.ViewAdded(fresh, nullptr);
    }
    webkit_web_view_load_uri(fresh, uri.c_str());
}

gboolean TWebKitPopups::OnDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                       WebKitPolicyDecisionType type, gpointer popup) noexcept {
    try {
        return static_cast<TPopup*>(popup)->Owner->hooks_.DecidePolicy(view, decision, type);
    } catch (...) {
        TraceCaughtError("a pop-up window's navigation");
        return FALSE;
    }
}

void TWebKitPopups::OnReady(WebKitWebView* view, gpointer data) noexcept {
    auto* popup = static_cast<TPopup*>(data);
    try {
        GdkRectangle geometry{};
        webkit_window_properties_get_geometry(webkit_web_view_get_window_properties(view),
                                              &geometry);
        TWebBrowserEventParams size;
        size.CX = geometry.width > 0 ? geometry.width : kDefaultWidth;
        size.CY = geometry.height > 0 ? geometry.height : kDefaultHeight;
        popup->Owner->site_.Fire(DISPID_CLIENTTOHOSTWINDOW, size);
        if (size.CX > 0 && size.CY > 0) {
            gtk_window_set_default_size(GTK_WINDOW(popup->Window), size.CX, size.CY);
        }
        gtk_widget_show_all(popup->Window);
    } catch (...) {
        TraceCaughtError("a pop-up window's showing");
    }
}

void TWebKitPopups::OnClose(WebKitWebView* view, gpointer popup) noexcept {
    try {
        static_cast<TPopup*>(popup)->Owner->CloseLater(view);
    } catch (...) {
        TraceCaughtError("a pop-up window's close");
    }
}

GtkWidget* TWebKitPopups::OnCreate(WebKitWebView* view, WebKitNavigationAction*,
                                   gpointer popup) noexcept {
    try {
        return GTK_WIDGET(static_cast<TPopup*>(popup)->Owner->Create(view));
    } catch (...) {
        TraceCaughtError("a window opened by a pop-up");
        return nullptr;
    }
}

void TWebKitPopups::OnTitle(GObject* view, GParamSpec*, gpointer popup) noexcept {
    const char* title = webkit_web_view_get_title(WEBKIT_WEB_VIEW(view));
    gtk_window_set_title(GTK_WINDOW(static_cast<TPopup*>(popup)->Window), title ? title : "");
}

gboolean TWebKitPopups::OnDelete(GtkWidget*, GdkEvent*, gpointer data) noexcept {
    auto* popup = static_cast<TPopup*>(data);
    try {
        popup->Owner->Close(popup);
    } catch (...) {
        TraceCaughtError("a pop-up window's close box");
    }
    return TRUE;
}

} // namespace kiva
