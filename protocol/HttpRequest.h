#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kiva {

// What the loopback server reads of one request head.
struct THttpRequest {
    std::string Method;
    std::string Target;
    bool Http11 = true;
    std::string Host;
    std::string Range;
    std::string Origin;
    std::string Connection; // lower-cased
    std::string PreflightMethod;
    std::string PreflightHeaders;
    bool HasBody = false;
};

// The longest request head the server reads; a longer one is refused.
inline constexpr std::size_t kMaxRequestHead = 16 * 1024;

// Parses a request head without its final empty line: the request line ("METHOD TARGET
// HTTP/1.x", one space apart) and header fields ("Name: value", CRLF-separated). False for
// anything else: a method or field name that is not a token, a target with blanks or control
// characters, folded lines, a lone CR, LF or NUL anywhere, or another protocol version. Such a
// head is answered with 400, so nothing odd reaches the answer's own headers.
bool ParseHttpRequest(std::string_view head, THttpRequest& request);

// A byte range of a response, both ends included.
struct TByteRange {
    std::int64_t First = 0;
    std::int64_t Last = 0;
};
enum class TRangeAnswer {
    raWhole,         // no Range header, or one to ignore: the whole body with 200
    raPart,          // one satisfiable range: 206 with that part
    raUnsatisfiable, // 416
};
// Reads an HTTP Range header against a body of size bytes: "bytes=FIRST-LAST", "bytes=FIRST-"
// and the suffix form "bytes=-COUNT". Malformed headers, other units and lists of ranges are
// ignored, as HTTP allows; a range that starts beyond the body cannot be satisfied. A part
// always lies inside the body: 0 <= First <= Last < size.
TRangeAnswer ParseByteRange(std::string_view header, std::int64_t size, TByteRange& range);

} // namespace kiva
