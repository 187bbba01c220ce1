#include "SysUtils.h"

#include <sys/stat.h>

namespace kiva {

std::string FormatList(std::string_view fmt, const std::string* args, std::size_t count) {
    std::string out;
    out.reserve(fmt.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c == '%' && i + 1 < fmt.size()) {
            char k = fmt[i + 1];
            if (k == '%') {
                out += '%';
                ++i;
                continue;
            }
            if ((k == 's' || k == 'd' || k == 'u') && next < count) {
                out += args[next++];
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

std::string AnsiLowerCaseAscii(std::string_view s) {
    std::string r(s);
    for (char& c : r) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + ('a' - 'A'));
        }
    }
    return r;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x + 32);
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y + 32);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') {
        ++b;
    }
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

std::string ExtractFileName(std::string_view s) {
    std::size_t p = s.find_last_of("\\:");
    return std::string(p == std::string_view::npos ? s : s.substr(p + 1));
}

std::string ExtractFilePath(std::string_view s) {
    std::size_t p = s.find_last_of("\\:");
    return p == std::string_view::npos ? std::string() : std::string(s.substr(0, p + 1));
}

std::string ExtractFileExt(std::string_view s) {
    std::size_t p = s.find_last_of(".\\:");
    if (p == std::string_view::npos || s[p] != '.') {
        return {};
    }
    return std::string(s.substr(p));
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string WithFullStop(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') {
        return message + ".";
    }
    return message;
}

} // namespace kiva
