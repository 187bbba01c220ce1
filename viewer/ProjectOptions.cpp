#include "ProjectOptions.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "SysUtils.h"

namespace kiva {

namespace {

constexpr const char* kHomeUrlRoot = "kiva://bundle/";

using TRecord = std::array<std::uint8_t, kProjectOptionsRecordSize>;

// A length byte and up to 255 characters; what follows the characters is left over from
// earlier values and ignored.
std::string ShortTextBytes(const TRecord& r, std::size_t offset) {
    const std::size_t length = r[offset];
    return std::string(reinterpret_cast<const char*>(r.data() + offset + 1), length);
}

// Archives made on Windows hold their texts in Windows-1252.
std::string ShortText(const TRecord& r, std::size_t offset) {
    return ArchiveText(ShortTextBytes(r, offset));
}

std::int32_t Int32(const TRecord& r, std::size_t offset) {
    const std::uint32_t v = std::uint32_t(r[offset]) | std::uint32_t(r[offset + 1]) << 8 |
                            std::uint32_t(r[offset + 2]) << 16 | std::uint32_t(r[offset + 3]) << 24;
    return static_cast<std::int32_t>(v);
}

bool Flag(const TRecord& r, std::size_t offset) {
    return r[offset] != 0;
}

} // namespace

TProjectOptions TProjectOptions::Decode(const std::uint8_t* data, std::size_t size) {
    TRecord r{};
    if (data != nullptr) {
        std::memcpy(r.data(), data, std::min(size, r.size()));
    }
    TProjectOptions o;
    o.StartPage = ShortText(r, projopt::StartPage);
    o.WindowStyle = Int32(r, projopt::WindowStyle);
    o.WindowWidth = Int32(r, projopt::WindowWidth);
    o.WindowHeight = Int32(r, projopt::WindowHeight);
    o.LogoFile = ShortText(r, projopt::LogoFile);
    o.HideScrollBars = Flag(r, projopt::HideScrollBars);
    o.CenterWindow = Flag(r, projopt::CenterWindow);
    o.ShowToolBar = Flag(r, projopt::ShowToolBar);
    o.ShowButtonCaptions = Flag(r, projopt::ShowButtonCaptions);
    o.ShowStatusBar = Flag(r, projopt::ShowStatusBar);
    o.AllowCopy = Flag(r, projopt::AllowCopy);
    o.AllowFind = Flag(r, projopt::AllowFind);
    o.AllowPrint = Flag(r, projopt::AllowPrint);
    o.AllowFontSize = Flag(r, projopt::AllowFontSize);
    o.ViewPassword = ShortTextBytes(r, projopt::ViewPassword);
    o.ExternalMasks = ShortText(r, projopt::ExternalMasks);
    o.UserAgentText = ShortText(r, projopt::UserAgentText);
    return o;
}

bool ViewPasswordMatches(std::string_view stored, std::string_view typed) {
    // Bytes that read as UTF-8 may still have been written as Windows-1252 ("Ã©" is the same
    // two bytes as "é"), so either reading opens.
    return typed == stored || typed == Cp1252ToUtf8(stored);
}

std::string HomeUrlFromStartPage(std::string_view startPage) {
    return std::string(kHomeUrlRoot) + ExtractFileName(startPage);
}

} // namespace kiva
