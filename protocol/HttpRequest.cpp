#include "HttpRequest.h"

#include <algorithm>
#include <charconv>

#include "SysUtils.h"

namespace kiva {

namespace {

bool IsTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), IsTokenChar);
}

// Blanks and control characters never belong to a target; bytes above ASCII are let through
// for clients that send names unescaped.
bool IsTarget(std::string_view s) {
    return !s.empty() && std::none_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7F;
    });
}

// A field value may hold blanks and tabs, but no other control character.
bool IsFieldValue(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7F;
    });
}

bool ParseNumber(std::string_view text, std::int64_t& value) {
    if (text.empty() || text.size() > 18) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

bool ParseRequestLine(std::string_view line, THttpRequest& r) {
    const std::size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos) {
        return false;
    }
    const std::size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) {
        return false;
    }
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!IsToken(method) || !IsTarget(target) || (version != "HTTP/1.1" && version != "HTTP/1.0")) {
        return false;
    }
    r.Method = std::string(method);
    r.Target = std::string(target);
    r.Http11 = version == "HTTP/1.1";
    return true;
}

bool ParseField(std::string_view field, THttpRequest& r) {
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || !IsToken(field.substr(0, colon))) {
        return false;
    }
    const std::string_view raw = field.substr(colon + 1);
    if (!IsFieldValue(raw)) {
        return false;
    }
    const std::string name = AnsiLowerCaseAscii(field.substr(0, colon));
    const std::string value(TrimView(raw));
    if (name == "host") {
        r.Host = value;
    } else if (name == "range") {
        r.Range = value;
    } else if (name == "origin") {
        r.Origin = value;
    } else if (name == "connection") {
        r.Connection = AnsiLowerCaseAscii(value);
    } else if (name == "access-control-request-method") {
        r.PreflightMethod = value;
    } else if (name == "access-control-request-headers") {
        r.PreflightHeaders = value;
    } else if ((name == "content-length" && value != "0") || name == "transfer-encoding") {
        r.HasBody = true;
    }
    return true;
}

} // namespace

bool ParseHttpRequest(std::string_view head, THttpRequest& request) {
    THttpRequest r;
    std::size_t start = 0;
    bool first = true;
    while (start <= head.size()) {
        const std::size_t end = std::min(head.find("\r\n", start), head.size());
        const std::string_view line = head.substr(start, end - start);
        // Whatever is left of a line break after the split is a lone CR or LF.
        if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
            return false;
        }
        if (first ? !ParseRequestLine(line, r) : !line.empty() && !ParseField(line, r)) {
            return false;
        }
        first = false;
        start = end + 2;
    }
    request = std::move(r);
    return true;
}

TRangeAnswer ParseByteRange(std::string_view header, std::int64_t size, TByteRange& range) {
    constexpr std::string_view unit = "bytes=";
    header = TrimView(header);
    if (header.size() <= unit.size() || !SameTextAscii(header.substr(0, unit.size()), unit)) {
        return TRangeAnswer::raWhole;
    }
    const std::string_view ranges = TrimView(header.substr(unit.size()));
    const std::size_t dash = ranges.find('-');
    if (dash == std::string_view::npos || ranges.find(',') != std::string_view::npos) {
        return TRangeAnswer::raWhole;
    }
    const std::string_view first = TrimView(ranges.substr(0, dash));
    const std::string_view last = TrimView(ranges.substr(dash + 1));
    std::int64_t a = 0;
    std::int64_t b = 0;
    if (first.empty()) {
        // The last COUNT bytes.
        if (!ParseNumber(last, b)) {
            return TRangeAnswer::raWhole;
        }
        if (b == 0 || size <= 0) {
            return TRangeAnswer::raUnsatisfiable;
        }
        range = {std::max<std::int64_t>(0, size - b), size - 1};
        return TRangeAnswer::raPart;
    }
    if (!ParseNumber(first, a) || (!last.empty() && (!ParseNumber(last, b) || b < a))) {
        return TRangeAnswer::raWhole;
    }
    if (a >= size) {
        return TRangeAnswer::raUnsatisfiable;
    }
    range = {a, last.empty() ? size - 1 : std::min(b, size - 1)};
    return TRangeAnswer::raPart;
}

} // namespace kiva
