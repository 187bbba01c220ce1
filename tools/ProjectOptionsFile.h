#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SysUtils.h"

namespace kiva {

inline constexpr std::size_t kProjectOptionsSize = 2872;
inline constexpr std::size_t kProjectOptionsVersionOffset = 1840;
inline constexpr std::size_t kProjectOptionsVersionSize = 1032;

// A bad options file: the message names the file and line and is meant for the user.
class EOptionsError : public Exception {
public:
    using Exception::Exception;
};

// The project options the packing tool writes as the entry "-config-". Texts are single-byte
// strings of at most 255 bytes; a field left out of the options file stays zero, which the
// viewer reads as "off", "empty" or 0.
struct TProjectOptionsFile {
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
    std::string ViewPassword;
    std::string ExternalMasks;
    std::string UserAgentText;
    // Written zero-terminated into the bytes the viewer leaves to the tool.
    std::string VersionText;

    // Reads "Key=Value" lines, optionally under an [Options] heading. Keys ignore case; lines
    // starting with '#' or ';' are comments. A value may be put in double quotes to keep
    // leading or trailing blanks. Raises EOptionsError naming sourceName and the line.
    static TProjectOptionsFile ParseIni(std::string_view text, const std::string& sourceName);
    static TProjectOptionsFile LoadIni(const std::string& fileName);

    // The 2872-byte record; every byte the fields do not cover is zero.
    std::array<std::uint8_t, kProjectOptionsSize> Encode() const;
    // Reads a record; a short one reads as if padded with zeros.
    static TProjectOptionsFile Decode(const std::uint8_t* data, std::size_t size);

    // Each option's name and its value as text, in record order (flags as 0 or 1).
    std::vector<std::pair<std::string, std::string>> Fields() const;
};

} // namespace kiva
