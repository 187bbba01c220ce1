#include "ShortcutKeys.h"

namespace kiva {

std::optional<TShortcut> ShortcutOf(const GdkEventKey* event) {
    const guint modifiers =
        event->state & (GDK_CONTROL_MASK | GDK_SHIFT_MASK | GDK_MOD1_MASK | GDK_SUPER_MASK);
    const guint key = gdk_keyval_to_lower(event->keyval);
    const bool ctrl = (modifiers & ~GDK_SHIFT_MASK) == GDK_CONTROL_MASK;
    if (modifiers == GDK_MOD1_MASK) {
        switch (key) {
        case GDK_KEY_Left:
        case GDK_KEY_KP_Left:
            return TShortcut::scBack;
        case GDK_KEY_Right:
        case GDK_KEY_KP_Right:
            return TShortcut::scForward;
        case GDK_KEY_Home:
        case GDK_KEY_KP_Home:
            return TShortcut::scHome;
        default:
            return std::nullopt;
        }
    }
    if (modifiers == 0) {
        if (key == GDK_KEY_Escape) {
            return TShortcut::scExit;
        }
        if (key == GDK_KEY_F3) {
            return TShortcut::scFindNext;
        }
        return std::nullopt;
    }
    if (ctrl) {
        switch (key) {
        case GDK_KEY_plus:
        case GDK_KEY_equal:
        case GDK_KEY_KP_Add:
            return TShortcut::scTextLarger;
        case GDK_KEY_minus:
        case GDK_KEY_underscore:
        case GDK_KEY_KP_Subtract:
            return TShortcut::scTextSmaller;
        default:
            break;
        }
    }
    if (modifiers == GDK_CONTROL_MASK) {
        switch (key) {
        case GDK_KEY_0:
        case GDK_KEY_KP_0:
            return TShortcut::scTextMedium;
        case GDK_KEY_f:
            return TShortcut::scFind;
        case GDK_KEY_g:
            return TShortcut::scFindNext;
        case GDK_KEY_k:
            return TShortcut::scSearchBook;
        case GDK_KEY_p:
            return TShortcut::scPrint;
        default:
            break;
        }
    }
    return std::nullopt;
}

} // namespace kiva
