#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "DocHostUI.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <tuple>

namespace kiva {

class TWebKitSite;

// The virtual-key code of a key as the host's key handling knows it: letters as upper-case
// ASCII, digits, function and editing keys by their codes; 0 for keys without one.
WPARAM VirtualKeyOf(guint keyval);
// The modifiers of a key event as the host's key messages carry them.
DWORD KeyStateOf(guint state);

// The view's keys pass the host before the page sees them: first its window procedure
// (OnKeyDown and OnKeyUp, which may swallow a key), then, for a key going down, its
// accelerator question (a withheld Ctrl+N).
class TWebKitKeys {
public:
    TWebKitKeys(WebKitWebView* view, TWebKitSite& site);
    TWebKitKeys(const TWebKitKeys&) = delete;
    TWebKitKeys& operator=(const TWebKitKeys&) = delete;
    ~TWebKitKeys();

private:
    // True when the host took the key.
    bool KeyEvent(GdkEventKey* event, bool down);
    static gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) noexcept;
    static gboolean OnKeyRelease(GtkWidget*, GdkEventKey* event, gpointer self) noexcept;

    WebKitWebView* view_;
    TWebKitSite& site_;
    // The latest key the host was asked about: time, key, hardware code, pressed.
    std::tuple<guint32, guint, guint16, bool> lastKey_{};
};

} // namespace kiva
