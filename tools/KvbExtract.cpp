#include "KvbExtract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FileDescriptor.h"

namespace kiva {

namespace {

std::string JoinShown(const std::vector<std::string>& parts, std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            s += '/';
        }
        s += parts[i];
    }
    return s;
}

} // namespace

std::string UnsafeEntryNameReason(const std::string& fullName) {
    if (fullName.empty()) {
        return "empty name";
    }
    if (fullName.front() == '\\') {
        return "absolute path";
    }
    for (char c : fullName) {
        auto b = static_cast<unsigned char>(c);
        if (b == 0) {
            return "NUL character in the name";
        }
        if (b < 0x20 || b == 0x7F) {
            return "control character in the name";
        }
        if (c == '/') {
            return "slash in the name";
        }
        if (c == ':') {
            return "drive or stream part in the name";
        }
    }
    for (const std::string& part : SplitEntryName(fullName)) {
        if (part.empty()) {
            return "empty folder or file name";
        }
        if (part == "..") {
            return "parent folder reference";
        }
        if (part == ".") {
            return "\".\" in the name";
        }
    }
    return std::string();
}

std::vector<std::string> SplitEntryName(const std::string& fullName) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = fullName.find('\\', start);
        parts.push_back(fullName.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return parts;
}

std::unique_ptr<TPendingFile> CreateFileBelow(int dirFd,
                                              const std::vector<std::string>& components) {
    if (components.empty()) {
        throw EExtractError("empty name");
    }
    TFileDescriptor dir(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (!dir) {
        throw EExtractError(Format("cannot use the target folder: %s", std::strerror(errno)));
    }
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const char* name = components[i].c_str();
        if (::mkdirat(dir.Get(), name, 0777) != 0 && errno != EEXIST) {
            throw EExtractError(Format("cannot create folder \"%s\": %s",
                                       JoinShown(components, i + 1), std::strerror(errno)));
        }
        TFileDescriptor sub(
            ::openat(dir.Get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!sub) {
            int err = errno;
            throw EExtractError(
                Format("cannot enter folder \"%s\": %s", JoinShown(components, i + 1),
                       err == ELOOP || err == ENOTDIR ? "a symbolic link or a file is in the way"
                                                      : std::strerror(err)));
        }
        dir = std::move(sub);
    }
    // A fresh file renamed over the target never writes through a planted link.
    return std::make_unique<TPendingFile>(std::move(dir), components.back(), ".kvb-");
}

std::string BackslashEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string Printable(const std::string& text) {
    std::string s = text;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x20 || b == 0x7F) {
            s[i] = '?';
        } else if (b == 0xC2 && i + 1 < s.size() &&
                   (static_cast<unsigned char>(s[i + 1]) & 0xE0) == 0x80) {
            // U+0080 to U+009F: a terminal may take them for control sequences too.
            s.replace(i, 2, "?");
        }
    }
    return s;
}

} // namespace kiva
