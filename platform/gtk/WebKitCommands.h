#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "ComObj.h"
#include "WebBrowser.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <array>
#include <functional>
#include <string>

#include "GObjectPtr.h"
#include "WebKitDocument.h"

namespace kiva {

class TPageScripts;

// Text-size factors of the zoom levels 0 (Smallest) to 4 (Largest), text only: the CSS font
// sizes x-small, small, medium, large and x-large, the classic five steps of a browser's
// text-size menu, with Medium the page's own size.
inline constexpr std::array<double, 5> kTextSizeFactors = {0.75, 8.0 / 9.0, 1.0, 1.2, 1.5};

// The reader's commands on a WebKit view: the find box driven by the view's find controller,
// printing through the toolkit's print dialog, text-only zoom levels and copying the
// selection. It lives with the browser control, whose widget it puts the find box in.
class TWebKitCommands final : public IWebKitFinder {
public:
    explicit TWebKitCommands(GtkWidget* container);
    TWebKitCommands(const TWebKitCommands&) = delete;
    TWebKitCommands& operator=(const TWebKitCommands&) = delete;
    ~TWebKitCommands();

    // The view has been made; the commands work on it from now on. Before, there is no
    // document and the commands that need one fail. The page scripts are the view's.
    void Attach(WebKitWebView* view, TPageScripts& scripts);

    // The current document's automation object, with a reference for the caller; null before
    // the first document.
    IUnknown* Document();
    // ExecWB: print preview, copy and zoom; other commands are not supported.
    HRESULT ExecWB(DWORD cmdID, DWORD cmdexecopt, TVariant* pvaIn, TVariant* pvaOut);
    // Opens the find box, or with next finds the next match of its text (opening the box
    // when it has none).
    HRESULT Find(bool next) override;

    // What the window's shortcut keys need of the browser's widget.
    TBrowserFocus Focus() const;
    // Closes the find box; false when it was not open.
    bool CloseFindBox();
    // Opens the find box with text and marks its matches on the page, showing the first.
    HRESULT FindText(const std::string& text);
    // A page's own window.print() opens the print dialog only while printing is allowed.
    void SetPagePrintingAllowed(bool allowed) { pagePrintingAllowed_ = allowed; }
    // Ctrl+wheel over the page: steps (+1 larger, -1 smaller) go to the handler, which answers
    // whether it took them; wheel turns it does not take scroll the page.
    void SetWheelZoomHandler(std::function<bool(int steps)> handler) {
        wheelZoom_ = std::move(handler);
    }

private:
    void BuildFindBox();
    void Search(bool next);
    void SetFindStatus(const std::string& text, bool failed);
    HRESULT Print();
    HRESULT Copy();
    HRESULT Zoom(TVariant* in, TVariant* out);
    void ApplyZoom();
    GtkWindow* Toplevel() const;

    static void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) noexcept;
    static gboolean OnPagePrint(WebKitWebView*, WebKitPrintOperation*, gpointer self) noexcept;
    static void OnPrintFailed(WebKitPrintOperation*, GError* error, gpointer) noexcept;
    static gboolean OnScroll(GtkWidget*, GdkEventScroll* event, gpointer self) noexcept;
    static void OnFoundText(WebKitFindController*, guint count, gpointer self) noexcept;
    static void OnFailedToFind(WebKitFindController*, gpointer self) noexcept;

    GtkWidget* container_;
    WebKitWebView* view_ = nullptr;
    ComPtr<TWebKitDocument> document_;
    int zoomLevel_ = 2;
    bool pagePrintingAllowed_ = true;
    bool printing_ = false;
    bool editing_ = false;
    double wheelDelta_ = 0;
    bool wheelTaken_ = false;
    std::function<bool(int)> wheelZoom_;

    // The find box and what it last looked for. The references keep the widgets usable even
    // when the window destroyed them first.
    GObjectPtr<GtkWidget> findBox_;
    GObjectPtr<GtkWidget> findEntry_;
    GObjectPtr<GtkWidget> matchCase_;
    GObjectPtr<GtkWidget> up_;
    GObjectPtr<GtkWidget> findStatus_;
    std::string searchedText_;
    guint32 searchedOptions_ = 0;
    // The engine counts the matches of a new search only; a step to the next match keeps the
    // count.
    guint matchCount_ = 0;
    bool steppingToNext_ = false;
};

} // namespace kiva
