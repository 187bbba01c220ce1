#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace kiva {

// Bytes that only the viewer's executable carries, so that kvb can tell the viewer from any
// other program without running it. kvb looks for them and must not carry them itself: this
// header holds them masked, the viewer unmasks them while it is compiled, and kvb only when
// it runs.
inline constexpr char kViewerMarkerMask = 0x5A;

template <std::size_t N> consteval std::array<char, N - 1> MaskViewerMarker(const char (&text)[N]) {
    std::array<char, N - 1> out{};
    for (std::size_t i = 0; i + 1 < N; ++i) {
        out[i] = static_cast<char>(text[i] ^ kViewerMarkerMask);
    }
    return out;
}

inline constexpr auto kMaskedViewerMarker =
    MaskViewerMarker("Kivabook Viewer executable/1 7f3c9e21a4b85d60");

// The marker as the viewer's executable holds it; only ever evaluated by the compiler.
consteval std::array<char, kMaskedViewerMarker.size()> UnmaskedViewerMarker() {
    std::array<char, kMaskedViewerMarker.size()> out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(kMaskedViewerMarker[i] ^ kViewerMarkerMask);
    }
    return out;
}

// The marker, unmasked at run time by a program that looks for it.
inline std::string ViewerMarker() {
    // Read through a volatile, so that the compiler cannot fold the marker into kvb.
    volatile char mask = kViewerMarkerMask;
    std::string s(kMaskedViewerMarker.begin(), kMaskedViewerMarker.end());
    for (char& c : s) {
        c = static_cast<char>(c ^ mask);
    }
    return s;
}

} // namespace kiva
