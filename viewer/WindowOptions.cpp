#include "WindowOptions.h"

#include <algorithm>

namespace kiva {

TExtent FitWindowSize(std::int32_t width, std::int32_t height, std::optional<TExtent> workArea) {
    int maxWidth = kMaxWindowExtent;
    int maxHeight = kMaxWindowExtent;
    if (workArea && workArea->Width > 0 && workArea->Height > 0) {
        maxWidth = std::min(maxWidth, workArea->Width);
        maxHeight = std::min(maxHeight, workArea->Height);
    }
    // The minimum width holds even on a work area narrower than it.
    maxWidth = std::max(maxWidth, kMinWindowWidth);
    return TExtent{static_cast<int>(std::clamp<std::int64_t>(width, kMinWindowWidth, maxWidth)),
                   static_cast<int>(std::clamp<std::int64_t>(height, 0, maxHeight))};
}

TFrameStyle FrameStyleOf(std::int32_t windowStyle) {
    switch (windowStyle) {
    case 0:
        return TFrameStyle::fsNone;
    case 1:
        return TFrameStyle::fsFixed;
    case 2:
        return TFrameStyle::fsSizeable;
    case 3:
        return TFrameStyle::fsNoneMaximised;
    default:
        return TFrameStyle::fsDesign;
    }
}

} // namespace kiva
