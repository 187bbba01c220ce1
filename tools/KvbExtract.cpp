#include "KvbExtract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace kiva {

namespace {

// A file descriptor closed on every path.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            if (fd_ >= 0) {
                ::close(fd_);
            }
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    int Get() const { return fd_; }
    int Release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }

private:
    int fd_;
};

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

void WriteFileBelow(int dirFd, const std::vector<std::string>& components, const std::uint8_t* data,
                    std::size_t size) {
    if (components.empty()) {
        throw EExtractError("empty name");
    }
    Fd dir(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (dir.Get() < 0) {
        throw EExtractError(Format("cannot use the target folder: %s", std::strerror(errno)));
    }
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const char* name = components[i].c_str();
        if (::mkdirat(dir.Get(), name, 0777) != 0 && errno != EEXIST) {
            throw EExtractError(Format("cannot create folder \"%s\": %s",
                                       JoinShown(components, i + 1), std::strerror(errno)));
        }
        Fd sub(::openat(dir.Get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.Get() < 0) {
            int err = errno;
            throw EExtractError(
                Format("cannot enter folder \"%s\": %s", JoinShown(components, i + 1),
                       err == ELOOP || err == ENOTDIR ? "a symbolic link or a file is in the way"
                                                      : std::strerror(err)));
        }
        dir = std::move(sub);
    }

    // A fresh file renamed over the target never writes through a planted link.
    const std::string& leaf = components.back();
    std::random_device rd;
    std::string temp;
    Fd file;
    for (int attempt = 0; attempt < 100 && file.Get() < 0; ++attempt) {
        temp = Format(".kvb-%u.tmp", static_cast<unsigned>(rd()));
        file = Fd(::openat(dir.Get(), temp.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (file.Get() < 0 && errno != EEXIST) {
            break;
        }
    }
    if (file.Get() < 0) {
        throw EExtractError(Format("cannot create \"%s\": %s",
                                   JoinShown(components, components.size()), std::strerror(errno)));
    }
    auto fail = [&](const char* what, int err) {
        ::unlinkat(dir.Get(), temp.c_str(), 0);
        return EExtractError(Format("cannot %s \"%s\": %s", what,
                                    JoinShown(components, components.size()), std::strerror(err)));
    };
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(file.Get(), data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw fail("write", errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(file.Release()) != 0) {
        throw fail("write", errno);
    }
    if (::renameat(dir.Get(), temp.c_str(), dir.Get(), leaf.c_str()) != 0) {
        throw fail("create", errno);
    }
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
