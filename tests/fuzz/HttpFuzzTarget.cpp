#include "HttpFuzzTarget.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "HttpRequest.h"

namespace kiva::fuzz {

namespace {

// Twice the longest head the server reads: enough to cross every limit of the parser.
constexpr std::size_t kMaxInput = 2 * kMaxRequestHead;

void Expect(bool ok, const char* broken) {
    if (!ok) {
        throw std::logic_error(broken);
    }
}

bool HasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void CheckRange(std::string_view header, std::int64_t size) {
    TByteRange range{-1, -1};
    if (ParseByteRange(header, size, range) == TRangeAnswer::raPart) {
        Expect(range.First >= 0 && range.First <= range.Last && range.Last < size,
               "a part outside the body");
    }
}

} // namespace

void RunHttpInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), std::min(size, kMaxInput));

    THttpRequest request;
    if (ParseHttpRequest(text, request)) {
        Expect(!request.Method.empty() && request.Method.find(' ') == std::string::npos,
               "a method with blanks");
        Expect(!request.Target.empty() && std::none_of(request.Target.begin(), request.Target.end(),
                                                       [](char c) {
                                                           const auto u =
                                                               static_cast<unsigned char>(c);
                                                           return u <= 0x20 || u == 0x7F;
                                                       }),
               "a target with blanks or control characters");
        for (const std::string* field :
             {&request.Host, &request.Range, &request.Origin, &request.Connection,
              &request.PreflightMethod, &request.PreflightHeaders}) {
            Expect(!HasLineBreakOrNul(*field), "a field value that could start a header");
        }
        CheckRange(request.Range, 1000);
    }

    // The same bytes as a Range header, against bodies of several sizes; the first eight bytes
    // also make one.
    std::int64_t fromInput = 0;
    std::memcpy(&fromInput, data, std::min<std::size_t>(size, sizeof fromInput));
    for (const std::int64_t bodySize : {std::int64_t(0), std::int64_t(1), std::int64_t(10),
                                        std::numeric_limits<std::int64_t>::max(), fromInput}) {
        CheckRange(text, bodySize);
    }
}

} // namespace kiva::fuzz
