#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kiva {

// Renders one argument of Format as text: strings as they are, integers in decimal.
inline std::string FormatArg(std::string_view s) {
    return std::string(s);
}
inline std::string FormatArg(const char* s) {
    return s ? std::string(s) : std::string();
}
inline std::string FormatArg(const std::string& s) {
    return s;
}
template <class T>
requires std::is_integral_v<T> std::string FormatArg(T v) {
    return std::to_string(v);
}

// Fills the %s, %d and %u markers of a message template in order; %% stands for a percent
// sign. Markers beyond the arguments are left as they are, so a wrong template never throws.
std::string FormatList(std::string_view fmt, const std::string* args, std::size_t count);

template <class... A> std::string Format(std::string_view fmt, const A&... args) {
    const std::string list[] = {std::string(), FormatArg(args)...};
    return FormatList(fmt, list + 1, sizeof...(A));
}

// The general exception class of the program: every failure inside it carries a message made
// for the user.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    template <class... A> static Exception CreateFmt(std::string_view fmt, const A&... args) {
        return Exception(Format(fmt, args...));
    }

    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Stream layer failures, kept apart so that callers can tell a short read from a bad file.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EReadError : public EStreamError {
public:
    EReadError() : EStreamError("Stream read error") {}
};
class EWriteError : public EStreamError {
public:
    EWriteError() : EStreamError("Stream write error") {}
};
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// ASCII-only case folding: names in archives and URLs are single-byte text whose other bytes
// must compare unchanged.
std::string AnsiLowerCaseAscii(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);

// Leading and trailing blanks and control characters removed (every byte up to ' ').
std::string Trim(std::string_view s);

// The text after the last '\' or ':' of a file name (all of it when neither occurs).
std::string ExtractFileName(std::string_view s);
// The text up to and including the last '\' or ':'.
std::string ExtractFilePath(std::string_view s);
// From the last '.' to the end when that '.' follows every '\' and ':'; otherwise empty.
std::string ExtractFileExt(std::string_view s);

// True for a regular file, links followed. A folder, a named pipe, a socket or a device is no
// file that can be read as one: a pipe would even block whoever opens it.
bool FileExists(const std::string& path);

// The user's folders for data kept for good and for caches, as the desktop's conventions
// name them: XDG_DATA_HOME and XDG_CACHE_HOME when set to an absolute path, else
// ~/.local/share and ~/.cache. No slash at the end.
std::string UserDataDir();
std::string UserCacheDir();

// Archives made on Windows carry their texts (entry names, option
// texts) in the single-byte Windows-1252 code page; this system's texts are UTF-8.
bool IsValidUtf8(std::string_view s);
// Every byte read as Windows-1252. The five bytes that code page leaves undefined become the
// control characters of the same value, as Windows converts them.
std::string Cp1252ToUtf8(std::string_view s);
// The Windows-1252 form of a UTF-8 text; nothing when the text is not valid UTF-8 or holds a
// character that code page does not have.
std::optional<std::string> Utf8ToCp1252(std::string_view s);
// A text as read from an archive: valid UTF-8 stays as it is, anything else is Windows-1252.
std::string ArchiveText(std::string_view s);

// The error display's form of a message: a full stop is appended when the last character
// sorts after '.'.
std::string WithFullStop(const std::string& message);

} // namespace kiva
