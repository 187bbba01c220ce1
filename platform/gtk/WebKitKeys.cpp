// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitKeys.h"

#include "Trace.h"
#include "WebKitSite.h"

namespace kiva {

WPARAM VirtualKeyOf(guint keyval) {
    if (keyval >= GDK_KEY_a && keyval <= GDK_KEY_z) {
        return 'A' + (keyval - GDK_KEY_a);
    }
    if ((keyval >= GDK_KEY_A && keyval <= GDK_KEY_Z) ||
        (keyval >= GDK_KEY_0 && keyval <= GDK_KEY_9)) {
        return keyval;
    }
    if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F24) {
        return 0x70 + (keyval - GDK_KEY_F1);
    }
    if (keyval >= GDK_KEY_KP_0 && keyval <= GDK_KEY_KP_9) {
        return 0x60 + (keyval - GDK_KEY_KP_0);
    }
    switch (keyval) {
    case GDK_KEY_BackSpace:
        return 0x08;
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
        return 0x09;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        return VK_RETURN;
    case GDK_KEY_Shift_L:
    case GDK_KEY_Shift_R:
        return 0x10;
    case GDK_KEY_Control_L:
    case GDK_KEY_Control_R:
        return 0x11;
    case GDK_KEY_Alt_L:
    case GDK_KEY_Alt_R:
        return 0x12;
    case GDK_KEY_Escape:
        return 0x1B;
    case GDK_KEY_space:
        return 0x20;
    case GDK_KEY_Page_Up:
        return 0x21;
    case GDK_KEY_Page_Down:
        return 0x22;
    case GDK_KEY_End:
        return 0x23;
    case GDK_KEY_Home:
        return 0x24;
    case GDK_KEY_Left:
        return 0x25;
    case GDK_KEY_Up:
        return 0x26;
    case GDK_KEY_Right:
        return 0x27;
    case GDK_KEY_Down:
        return 0x28;
    case GDK_KEY_Insert:
        return 0x2D;
    case GDK_KEY_Delete:
        return 0x2E;
    default:
        return 0;
    }
}

DWORD KeyStateOf(guint state) {
    DWORD keys = 0;
    if (state & GDK_SHIFT_MASK) {
        keys |= KS_SHIFT;
    }
    if (state & GDK_CONTROL_MASK) {
        keys |= KS_CTRL;
    }
    if (state & GDK_MOD1_MASK) {
        keys |= KS_ALT;
    }
    return keys;
}

TWebKitKeys::TWebKitKeys(WebKitWebView* view, TWebKitSite& site) : view_(view), site_(site) {
    g_signal_connect(view_, "key-press-event", G_CALLBACK(OnKeyPress), this);
    g_signal_connect(view_, "key-release-event", G_CALLBACK(OnKeyRelease), this);
}

TWebKitKeys::~TWebKitKeys() {
    g_signal_handlers_disconnect_by_data(view_, this);
}

bool TWebKitKeys::KeyEvent(GdkEventKey* event, bool down) {
    // A key the page left unhandled comes through the view once more on its way to the
    // window; the host has had it already.
    const std::tuple<guint32, guint, guint16, bool> stroke{event->time, event->keyval,
                                                           event->hardware_keycode, down};
    if (stroke == lastKey_) {
        return false;
    }
    lastKey_ = stroke;
    const WPARAM key = VirtualKeyOf(event->keyval);
    const DWORD keyState = KeyStateOf(event->state);
    // The scan code of the PC keyboard is the evdev code that X numbers from 8.
    const LPARAM scan = event->hardware_keycode >= 8 ? (event->hardware_keycode - 8) & 0xFF : 0;
    if (key != 0) {
        if (ComPtr<IHostWindowProcedure> host = site_.As<IHostWindowProcedure>()) {
            TMessage message;
            message.Msg = down ? CN_KEYDOWN : CN_KEYUP;
            message.WParam = key;
            message.LParam = (scan << 16) | 1;
            message.KeyState = keyState;
            host->WindowProc(message);
            if (message.Result != 0) {
                return true;
            }
        }
    }
    if (!down) {
        return false;
    }
    if (ComPtr<IDocHostUIHandler2> host = site_.As<IDocHostUIHandler2>()) {
        MSG msg;
        // Alt without Ctrl makes a system key, as menus take it.
        msg.message = (keyState & KS_ALT) && !(keyState & KS_CTRL) ? WM_SYSKEYDOWN : WM_KEYDOWN;
        msg.wParam = key;
        msg.lParam = (scan << 16) | 1;
        msg.time = event->time;
        msg.KeyState = keyState;
        if (host->TranslateAccelerator(&msg, nullptr, 0) == S_OK) {
            return true;
        }
    }
    return false;
}

gboolean TWebKitKeys::OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) noexcept {
    try {
        return static_cast<TWebKitKeys*>(self)->KeyEvent(event, true) ? TRUE : FALSE;
    } catch (...) {
        TraceCaughtError("a key going down");
        return FALSE;
    }
}

gboolean TWebKitKeys::OnKeyRelease(GtkWidget*, GdkEventKey* event, gpointer self) noexcept {
    try {
        return static_cast<TWebKitKeys*>(self)->KeyEvent(event, false) ? TRUE : FALSE;
    } catch (...) {
        TraceCaughtError("a key going up");
        return FALSE;
    }
}

} // namespace kiva
