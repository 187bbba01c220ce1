#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "WinTypes.h"

#include <webkit2/webkit2.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace kiva {

// What a top page is to the cross-origin grant: a page of the book, a page that needs no grant
// (about:blank, which its opener fills, and the viewer's own pages, which run no scripts), or
// any other page.
enum class TPageKind { pkBook, pkBlank, pkWeb };
TPageKind PageKindOf(const std::string& uri);

// Reads of other sites' data for the book's pages only. The book's pages may read data of any
// site when the host's security manager allows cross-domain data for them; the engine gives
// that through the view's allow list, which it grants to the whole engine process that shows
// the view, for the rest of that process's life, and related views (a page and the windows it
// opened) share one process. So a process that was given the grant never shows another site's
// page as a top page: before such a page commits, the main view leaves its process (it is
// ended, and the navigation goes on in a new one) and a pop-up moves to a view of its own. A
// web frame inside a book page shares the grant while the book page is shown.
class TWebKitCrossOrigin {
public:
    // allowed answers whether a book page may read other sites' data; move gives a pop-up's
    // view a view of its own that loads the address, from the main loop.
    TWebKitCrossOrigin(std::function<bool(const std::string& uri)> allowed,
                       std::function<void(WebKitWebView* view, const std::string& uri)> move);
    TWebKitCrossOrigin(const TWebKitCrossOrigin&) = delete;
    TWebKitCrossOrigin& operator=(const TWebKitCrossOrigin&) = delete;
    ~TWebKitCrossOrigin();

    // Watches the browser's own view, which cannot move.
    void AddMain(WebKitWebView* view);
    // Watches a pop-up's view, which shares the process of related (a view of its own when
    // related is null) and whose first page is first.
    void AddPopup(WebKitWebView* view, WebKitWebView* related, const std::string& first);
    void Remove(WebKitWebView* view);
    // Whether the view's process was given the grant: another site's page can then be shown
    // only in a new process, which nothing but the page's address can follow.
    bool Granted(WebKitWebView* view) const;

private:
    // The views of one engine process, and whether it was given the grant.
    struct TProcess {
        bool Granted = false;
    };
    struct TView {
        bool Main = false;
        std::shared_ptr<TProcess> Process;
        std::string Committed;
        std::string First;
    };
    void Add(WebKitWebView* view, bool main, std::shared_ptr<TProcess> process, std::string first);
    void Started(WebKitWebView* view, const std::string& uri);
    void Committed(WebKitWebView* view, const std::string& uri);
    // True when a view of the process other than view shows (or loads) another site's page.
    bool ShowsWeb(const TProcess& process, WebKitWebView* except) const;
    void Grant(WebKitWebView* view);
    // Ends the main view's process and goes on with its navigation in a new one.
    void Restart(WebKitWebView* view, const std::string& uri);
    static void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) noexcept;

    std::function<bool(const std::string&)> allowed_;
    std::function<void(WebKitWebView*, const std::string&)> move_;
    std::map<WebKitWebView*, TView> views_;
    // Calls waiting for the main loop find it gone when the grants go first.
    std::shared_ptr<int> token_ = std::make_shared<int>();
};

} // namespace kiva
