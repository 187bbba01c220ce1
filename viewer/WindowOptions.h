#pragma once

#include <cstdint>
#include <optional>

#include "MainView.h"

namespace kiva {

inline constexpr int kMinWindowWidth = 200;
// The largest extent the window system accepts for a window.
inline constexpr int kMaxWindowExtent = 32767;

// The window's size for the project's WindowWidth and WindowHeight: at least the minimum
// width, and no larger than the work area (or the largest extent a window can take when the
// work area is unknown). A window far beyond the screen only costs memory: the web process
// gives up on a page of 24000 by 24000 pixels.
TExtent FitWindowSize(std::int32_t width, std::int32_t height, std::optional<TExtent> workArea);

// The frame the window takes for a project's WindowStyle value.
TFrameStyle FrameStyleOf(std::int32_t windowStyle);

} // namespace kiva
