#pragma once

#include "MainView.h"

#include <gdk/gdk.h>

#include <optional>

namespace kiva {

// The shortcut a key press stands for, if any. Ctrl+plus is also Ctrl+= (the same key without
// Shift), as browsers take it.
std::optional<TShortcut> ShortcutOf(const GdkEventKey* event);

} // namespace kiva
