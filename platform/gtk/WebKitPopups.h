#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "WinTypes.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace kiva {

class TWebKitSite;

// The windows that pages open (window.open, links to a new window): plain windows that each
// hold one view. A window a page opened shares its opener's engine process, so the opener's
// script gets a working window object. Closing one leaves the viewer alone.
class TWebKitPopups {
public:
    // What each pop-up's view asks of the browser's parts: its navigation and response
    // decisions, and the news of views coming (with the view they were opened from, null for
    // a view of its own) and going.
    struct THooks {
        std::function<gboolean(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType)>
            DecidePolicy;
        std::function<void(WebKitWebView* view, WebKitWebView* related)> ViewAdded;
        std::function<void(WebKitWebView* view)> ViewRemoved;
    };

    TWebKitPopups(TWebKitSite& site, THooks hooks);
    TWebKitPopups(const TWebKitPopups&) = delete;
    TWebKitPopups& operator=(const TWebKitPopups&) = delete;
    // Windows the pages opened go with the browser that opened them.
    ~TWebKitPopups();

    // A new window for a page of related (the answer to its "create" signal); shown once the
    // engine says it is ready.
    WebKitWebView* Create(WebKitWebView* related);
    bool Contains(WebKitWebView* view) const;
    // Closes the pop-up of the view from the main loop, so that no signal of the view is
    // still running when it goes.
    void CloseLater(WebKitWebView* view);
    // Gives the pop-up of the view a new view of its own (in a process of its own) that loads
    // uri, from the main loop; the old view goes.
    void MoveLater(WebKitWebView* view, const std::string& uri);
    // Moves it now; call only outside the view's signals.
    void Move(WebKitWebView* view, const std::string& uri);

private:
    struct TPopup {
        TWebKitPopups* Owner = nullptr;
        GtkWidget* Window = nullptr;
        WebKitWebView* View = nullptr;
    };
    TPopup* Find(WebKitWebView* view) const;
    void Close(TPopup* popup);
    void Connect(TPopup* popup);
    void Disconnect(TPopup* popup);

    static gboolean OnDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer popup) noexcept;
    static void OnReady(WebKitWebView* view, gpointer popup) noexcept;
    static void OnClose(WebKitWebView* view, gpointer popup) noexcept;
    static GtkWidget* OnCreate(WebKitWebView* view, WebKitNavigationAction*,
                               gpointer popup) noexcept;
    static void OnTitle(GObject* view, GParamSpec*, gpointer popup) noexcept;
    static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer popup) noexcept;

    TWebKitSite& site_;
    THooks hooks_;
    std::list<std::unique_ptr<TPopup>> popups_;
    // Calls waiting for the main loop find it gone when the pop-ups go first.
    std::shared_ptr<int> token_ = std::make_shared<int>();
};

} // namespace kiva
