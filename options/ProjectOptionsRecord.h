#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kiva {

// The project options record as it travels in the archive entry "-config-": 2872 bytes of
// fixed layout, no header, little-endian numbers.
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
// The tool's own bytes, where kvb leaves a zero-terminated text naming itself.
inline constexpr std::size_t ToolText = 1840;
inline constexpr std::size_t ToolTextSize = 1032;
} // namespace projopt

// The longest text a short-text field holds: one length byte, then the characters.
inline constexpr std::size_t kShortTextMax = 255;

// The fields of the record, with texts as the record holds them (single bytes, in whatever
// encoding the writer used). All zero means: no start page, a borderless window 200 by 0
// pixels, no bars, every optional command off, no password.
struct TProjectOptionsRecord {
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
    // What wrote the record; the viewer never reads it.
    std::string ToolText;

    // Reads the first size bytes of a record; bytes beyond size (or beyond the record) read
    // as zero, so a short "-config-" leaves the rest of the options off. A flag is true for
    // any byte other than 0.
    static TProjectOptionsRecord Decode(const std::uint8_t* data, std::size_t size);
    // The whole record; every byte no field covers is zero, flags are written as 1. A text
    // longer than 255 bytes raises, naming the field.
    std::array<std::uint8_t, kProjectOptionsRecordSize> Encode() const;
};

enum class TOptionKind { Text, Number, Flag };

// One field the viewer reads: its name as option files spell it, where it lies and what it
// holds. Exactly one of the member pointers fits the kind.
struct TOptionField {
    const char* Name;
    std::size_t Offset;
    TOptionKind Kind;
    std::string TProjectOptionsRecord::*Text = nullptr;
    std::int32_t TProjectOptionsRecord::*Number = nullptr;
    bool TProjectOptionsRecord::*Flag = nullptr;
};

// Every field the viewer reads, in record order.
std::span<const TOptionField> OptionFields();

} // namespace kiva
