#include "ProjectOptionsFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <variant>

namespace kiva {

namespace {

using TextField = std::string TProjectOptionsFile::*;
using IntField = std::int32_t TProjectOptionsFile::*;
using FlagField = bool TProjectOptionsFile::*;

// The largest window extent the window system accepts.
constexpr std::int32_t kMaxWindowExtent = 32767;

struct FieldInfo {
    const char* Name;
    std::size_t Offset;
    std::variant<TextField, IntField, FlagField> Member;
    // Window sizes make no sense below zero or beyond what a window can take.
    bool IsWindowExtent = false;
};

// Where each option lives in the record the viewer reads.
const FieldInfo kFields[] = {
    {"StartPage", 0, &TProjectOptionsFile::StartPage},
    {"WindowStyle", 516, &TProjectOptionsFile::WindowStyle},
    {"WindowWidth", 520, &TProjectOptionsFile::WindowWidth, true},
    {"WindowHeight", 524, &TProjectOptionsFile::WindowHeight, true},
    {"LogoFile", 528, &TProjectOptionsFile::LogoFile},
    {"HideScrollBars", 786, &TProjectOptionsFile::HideScrollBars},
    {"CenterWindow", 787, &TProjectOptionsFile::CenterWindow},
    {"ShowToolBar", 788, &TProjectOptionsFile::ShowToolBar},
    {"ShowButtonCaptions", 789, &TProjectOptionsFile::ShowButtonCaptions},
    {"ShowStatusBar", 790, &TProjectOptionsFile::ShowStatusBar},
    {"AllowCopy", 791, &TProjectOptionsFile::AllowCopy},
    {"AllowFind", 792, &TProjectOptionsFile::AllowFind},
    {"AllowPrint", 793, &TProjectOptionsFile::AllowPrint},
    {"AllowFontSize", 794, &TProjectOptionsFile::AllowFontSize},
    {"ViewPassword", 795, &TProjectOptionsFile::ViewPassword},
    {"ExternalMasks", 1320, &TProjectOptionsFile::ExternalMasks},
    {"UserAgentText", 1584, &TProjectOptionsFile::UserAgentText},
};

constexpr std::size_t kMaxText = 255;

std::optional<std::int32_t> ParseInt(const std::string& s) {
    if (s.empty()) {
        return std::nullopt;
    }
    std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) {
        return std::nullopt;
    }
    for (std::size_t k = i; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9') {
            return std::nullopt;
        }
    }
    errno = 0;
    long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(v);
}

std::optional<bool> ParseFlag(const std::string& s) {
    std::string v = AnsiLowerCaseAscii(s);
    if (v == "1" || v == "true" || v == "yes" || v == "on") {
        return true;
    }
    if (v == "0" || v == "false" || v == "no" || v == "off") {
        return false;
    }
    return std::nullopt;
}

} // namespace

TProjectOptionsFile TProjectOptionsFile::ParseIni(std::string_view text,
                                                  const std::string& sourceName) {
    TProjectOptionsFile result;
    bool seen[std::size(kFields)] = {};
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    int lineNo = 0;
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++lineNo;
        auto fail = [&](const std::string& what) {
            return EOptionsError(Format("%s:%d: %s", sourceName, lineNo, what));
        };
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                throw fail("unterminated section heading");
            }
            std::string section = Trim(std::string_view(line).substr(1, line.size() - 2));
            if (!SameTextAscii(section, "Options")) {
                throw fail(Format("unknown section [%s] (only [Options] is read)", section));
            }
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            throw fail("expected Key=Value");
        }
        std::string key = Trim(std::string_view(line).substr(0, eq));
        std::string value = Trim(std::string_view(line).substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        std::size_t index = std::size(kFields);
        for (std::size_t i = 0; i < std::size(kFields); ++i) {
            if (SameTextAscii(key, kFields[i].Name)) {
                index = i;
                break;
            }
        }
        if (index == std::size(kFields)) {
            throw fail(Format("unknown option \"%s\"", key));
        }
        const FieldInfo& f = kFields[index];
        if (seen[index]) {
            throw fail(Format("%s is given twice", f.Name));
        }
        seen[index] = true;
        if (auto* text = std::get_if<TextField>(&f.Member)) {
            if (value.size() > kMaxText) {
                throw fail(Format("%s is %d bytes long; at most 255 fit", f.Name, value.size()));
            }
            result.*(*text) = value;
        } else if (auto* num = std::get_if<IntField>(&f.Member)) {
            auto v = ParseInt(value);
            if (!v || (f.IsWindowExtent && (*v < 0 || *v > kMaxWindowExtent))) {
                throw fail(Format("%s needs a whole number%s, not \"%s\"", f.Name,
                                  f.IsWindowExtent ? " from 0 to 32767" : "", value));
            }
            result.*(*num) = *v;
        } else {
            auto v = ParseFlag(value);
            if (!v) {
                throw fail(Format("%s needs 0 or 1, not \"%s\"", f.Name, value));
            }
            result.*std::get<FlagField>(f.Member) = *v;
        }
    }
    return result;
}

TProjectOptionsFile TProjectOptionsFile::LoadIni(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        throw EOptionsError(
            Format("cannot read options file \"%s\": %s", fileName, std::strerror(errno)));
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) {
        throw EOptionsError(Format("cannot read options file \"%s\"", fileName));
    }
    return ParseIni(ss.str(), fileName);
}

std::array<std::uint8_t, kProjectOptionsSize> TProjectOptionsFile::Encode() const {
    std::array<std::uint8_t, kProjectOptionsSize> rec{};
    for (const FieldInfo& f : kFields) {
        std::uint8_t* p = rec.data() + f.Offset;
        if (auto* text = std::get_if<TextField>(&f.Member)) {
            const std::string& s = this->*(*text);
            if (s.size() > kMaxText) {
                throw EOptionsError(
                    Format("%s is %d bytes long; at most 255 fit", f.Name, s.size()));
            }
            p[0] = static_cast<std::uint8_t>(s.size());
            std::memcpy(p + 1, s.data(), s.size());
        } else if (auto* num = std::get_if<IntField>(&f.Member)) {
            std::uint32_t v = static_cast<std::uint32_t>(this->*(*num));
            for (int i = 0; i < 4; ++i) {
                p[i] = static_cast<std::uint8_t>(v >> (8 * i));
            }
        } else {
            p[0] = (this->*std::get<FlagField>(f.Member)) ? 1 : 0;
        }
    }
    // Keep the terminating zero inside the area.
    std::size_t n = std::min(VersionText.size(), kProjectOptionsVersionSize - 1);
    std::memcpy(rec.data() + kProjectOptionsVersionOffset, VersionText.data(), n);
    return rec;
}

TProjectOptionsFile TProjectOptionsFile::Decode(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, kProjectOptionsSize> rec{};
    std::memcpy(rec.data(), data, std::min(size, kProjectOptionsSize));
    TProjectOptionsFile r;
    for (const FieldInfo& f : kFields) {
        const std::uint8_t* p = rec.data() + f.Offset;
        if (auto* text = std::get_if<TextField>(&f.Member)) {
            r.*(*text) = std::string(reinterpret_cast<const char*>(p + 1), p[0]);
        } else if (auto* num = std::get_if<IntField>(&f.Member)) {
            std::uint32_t v = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                              std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
            r.*(*num) = static_cast<std::int32_t>(v);
        } else {
            r.*std::get<FlagField>(f.Member) = p[0] != 0;
        }
    }
    const char* v = reinterpret_cast<const char*>(rec.data() + kProjectOptionsVersionOffset);
    r.VersionText = std::string(v, strnlen(v, kProjectOptionsVersionSize));
    return r;
}

namespace {

// Each value is returned as a new string rather than assigned to one: GCC 12 at -O3 takes the
// assignment of a literal for an overlapping copy and warns.
std::string ValueText(const TProjectOptionsFile& o, const FieldInfo& f) {
    if (auto* text = std::get_if<TextField>(&f.Member)) {
        return o.*(*text);
    }
    if (auto* num = std::get_if<IntField>(&f.Member)) {
        return std::to_string(o.*(*num));
    }
    return std::string(1, (o.*std::get<FlagField>(f.Member)) ? '1' : '0');
}

} // namespace

std::vector<std::pair<std::string, std::string>> TProjectOptionsFile::Fields() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const FieldInfo& f : kFields) {
        out.emplace_back(f.Name, ValueText(*this, f));
    }
    return out;
}

} // namespace kiva
