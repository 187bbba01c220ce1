#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiva {

// The project options record as it travels in the archive entry "-config-".
inline constexpr std::size_t kProjectOptionsRecordSize = 2872;

// Offsets of the fields the viewer reads; every other byte belongs to the packing tool.
namespace projopt {
inline constexpr std::size_t StartPage = 0;
inline constexpr std::size_t WindowStyle = 516;
inline constexpr std::size_t WindowWidth = 520;
inline constexpr std::size_t WindowHeight = 524;
inline constexpr std::size_t LogoFile = 528;
inline constexpr std::size_t HideScrollBars = 786;
inline constexpr std::size_t CenterWindow = 787;
inline constexpr std::size_t ShowToolBar = 788;
inline constexpr std::size_t ShowButtonCaptions = 789;
inline constexpr std::size_t ShowStatusBar = 790;
inline constexpr std::size_t AllowCopy = 791;
inline constexpr std::size_t AllowFind = 792;
inline constexpr std::size_t AllowPrint = 793;
inline constexpr std::size_t AllowFontSize = 794;
inline constexpr std::size_t ViewPassword = 795;
inline constexpr std::size_t ExternalMasks = 1320;
inline constexpr std::size_t UserAgentText = 1584;
} // namespace projopt

// The options the viewer takes from the record. All zero means: no start page, a borderless
// window 200 by 0 pixels, no bars, every optional command off, no password. Texts are UTF-8:
// those that are not valid UTF-8 come from archives made on Windows and are read
// as Windows-1252.
struct TProjectOptions {
    std::string StartPage;
    std::int32_t WindowStyle = 0;
    std::int32_t WindowWidth = 0;
    std::int32_t WindowHeight = 0;
    std::string LogoFile;
    bool HideScrollBars = false;
    bool CenterWindow = false;
    bool ShowToolBar = false;
    bool ShowButtonCaptions = false;
    bool ShowStatusBar = false;
    bool AllowCopy = false;
    bool AllowFind = false;
    bool AllowPrint = false;
    bool AllowFontSize = false;
    // As stored, in the archive's encoding: see ViewPasswordMatches.
    std::string ViewPassword;
    std::string ExternalMasks;
    std::string UserAgentText;

    // Decodes the first size bytes of a record; bytes beyond size (or beyond the record) read
    // as zero, so a short "-config-" leaves the rest of the options off.
    static TProjectOptions Decode(const std::uint8_t* data, std::size_t size);
};

// True when the text typed into the password box (UTF-8) is the stored password, whether the
// archive holds it in UTF-8 or in Windows-1252.
bool ViewPasswordMatches(std::string_view stored, std::string_view typed);

// The home page's URL: the content root followed by the text after the last '\' or ':' of
// the start page ('/' is no separator, so "docs/intro.html" stays whole).
std::string HomeUrlFromStartPage(std::string_view startPage);

} // namespace kiva
