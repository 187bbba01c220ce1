#pragma once

#include <functional>

#include "Classes.h"

namespace kiva {

// A pop-up menu of a window. Its items and their commands live with the window that shows it;
// whoever pops it up (a control's context menu) only asks for it at a screen position.
class TPopupMenu : public TComponent {
public:
    using TPopupEvent = std::function<void(TComponent* Sender)>;
    using TShowAt = std::function<void(int X, int Y)>;

    explicit TPopupMenu(TComponent* owner) : TComponent(owner) {}

    // Raised just before the menu shows, so its owner can set up the items.
    TPopupEvent OnPopup;
    // Puts the menu on screen; set by the window that holds the items.
    TShowAt ShowAt;

    // Raises OnPopup, then shows the menu at the screen position.
    void Popup(int X, int Y) {
        if (OnPopup) {
            OnPopup(this);
        }
        if (ShowAt) {
            ShowAt(X, Y);
        }
    }
};

} // namespace kiva
