#include "ProjectOptionsRecord.h"

#include <algorithm>
#include <cstring>

#include "SysUtils.h"

namespace kiva {

namespace {

using R = TProjectOptionsRecord;
using TRecordBytes = std::array<std::uint8_t, kProjectOptionsRecordSize>;

constexpr TOptionField Text(const char* name, std::size_t offset, std::string R::*m) {
    return {name, offset, TOptionKind::Text, m, nullptr, nullptr};
}
constexpr TOptionField Number(const char* name, std::size_t offset, std::int32_t R::*m) {
    return {name, offset, TOptionKind::Number, nullptr, m, nullptr};
}
constexpr TOptionField Flag(const char* name, std::size_t offset, bool R::*m) {
    return {name, offset, TOptionKind::Flag, nullptr, nullptr, m};
}

const TOptionField kFields[] = {
    Text("StartPage", projopt::StartPage, &R::StartPage),
    Number("WindowStyle", projopt::WindowStyle, &R::WindowStyle),
    Number("WindowWidth", projopt::WindowWidth, &R::WindowWidth),
    Number("WindowHeight", projopt::WindowHeight, &R::WindowHeight),
    Text("LogoFile", projopt::LogoFile, &R::LogoFile),
    Flag("HideScrollBars", projopt::HideScrollBars, &R::HideScrollBars),
    Flag("CenterWindow", projopt::CenterWindow, &R::CenterWindow),
    Flag("ShowToolBar", projopt::ShowToolBar, &R::ShowToolBar),
    Flag("ShowButtonCaptions", projopt::ShowButtonCaptions, &R::ShowButtonCaptions),
    Flag("ShowStatusBar", projopt::ShowStatusBar, &R::ShowStatusBar),
    Flag("AllowCopy", projopt::AllowCopy, &R::AllowCopy),
    Flag("AllowFind", projopt::AllowFind, &R::AllowFind),
    Flag("AllowPrint", projopt::AllowPrint, &R::AllowPrint),
    Flag("AllowFontSize", projopt::AllowFontSize, &R::AllowFontSize),
    Text("ViewPassword", projopt::ViewPassword, &R::ViewPassword),
    Text("ExternalMasks", projopt::ExternalMasks, &R::ExternalMasks),
    Text("UserAgentText", projopt::UserAgentText, &R::UserAgentText),
};

} // namespace

std::span<const TOptionField> OptionFields() {
    return kFields;
}

TProjectOptionsRecord TProjectOptionsRecord::Decode(const std::uint8_t* data, std::size_t size) {
    TRecordBytes r{};
    if (data != nullptr) {
        std::memcpy(r.data(), data, std::min(size, r.size()));
    }
    TProjectOptionsRecord o;
    for (const TOptionField& f : kFields) {
        const std::uint8_t* p = r.data() + f.Offset;
        switch (f.Kind) {
        case TOptionKind::Text:
            // What follows the characters is left over from earlier values and ignored.
            o.*f.Text = std::string(reinterpret_cast<const char*>(p + 1), p[0]);
            break;
        case TOptionKind::Number:
            o.*f.Number =
                static_cast<std::int32_t>(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                          std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
            break;
        case TOptionKind::Flag:
            o.*f.Flag = p[0] != 0;
            break;
        }
    }
    const char* tool = reinterpret_cast<const char*>(r.data() + projopt::ToolText);
    o.ToolText = std::string(tool, strnlen(tool, projopt::ToolTextSize));
    return o;
}

std::array<std::uint8_t, kProjectOptionsRecordSize> TProjectOptionsRecord::Encode() const {
    TRecordBytes r{};
    for (const TOptionField& f : kFields) {
        std::uint8_t* p = r.data() + f.Offset;
        switch (f.Kind) {
        case TOptionKind::Text: {
            const std::string& s = this->*f.Text;
            if (s.size() > kShortTextMax) {
                throw Exception(Format("%s is %d bytes long; at most 255 fit", f.Name, s.size()));
            }
            p[0] = static_cast<std::uint8_t>(s.size());
            std::memcpy(p + 1, s.data(), s.size());
            break;
        }
        case TOptionKind::Number: {
            const auto v = static_cast<std::uint32_t>(this->*f.Number);
            for (int i = 0; i < 4; ++i) {
                p[i] = static_cast<std::uint8_t>(v >> (8 * i));
            }
            break;
        }
        case TOptionKind::Flag:
            p[0] = (this->*f.Flag) ? 1 : 0;
            break;
        }
    }
    // The terminating zero stays inside the tool's bytes.
    const std::size_t n = std::min(ToolText.size(), projopt::ToolTextSize - 1);
    std::memcpy(r.data() + projopt::ToolText, ToolText.data(), n);
    return r;
}

} // namespace kiva
