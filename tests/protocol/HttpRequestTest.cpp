// The loopback server's reading of request heads and Range headers.

#include "HttpRequest.h"

#include <gtest/gtest.h>

namespace kiva {
namespace {

using namespace std::string_literals;

struct HeadCase {
    const char* Name;
    std::string Head;
    bool Parsed;
    const char* Target = "";
    const char* Host = "";
};

class RequestHeads : public ::testing::TestWithParam<HeadCase> {};

TEST_P(RequestHeads, ParseOnlyWellFormedHeads) {
    THttpRequest r;
    r.Target = "untouched";
    ASSERT_EQ(ParseHttpRequest(GetParam().Head, r), GetParam().Parsed);
    if (GetParam().Parsed) {
        EXPECT_EQ(r.Target, GetParam().Target);
        EXPECT_EQ(r.Host, GetParam().Host);
    } else {
        // A head refused is not half read.
        EXPECT_EQ(r.Target, "untouched");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Heads, RequestHeads,
    ::testing::Values(
        HeadCase{"Plain", "GET /p/a.bin HTTP/1.1\r\nHost: h:1\r\nRange: bytes=0-", true, "/p/a.bin",
                 "h:1"},
        HeadCase{"Http10NoFields", "HEAD /x HTTP/1.0", true, "/x"},
        HeadCase{"TrailingLineBreak", "GET /x HTTP/1.1\r\nHost:  h \t\r\n", true, "/x", "h"},
        HeadCase{"EmptyFieldValue", "GET /x HTTP/1.1\r\nHost:", true, "/x"},
        HeadCase{"UnescapedBytesAboveAscii", "GET /caf\xC3\xA9 HTTP/1.1", true, "/caf\xC3\xA9"},
        HeadCase{"Empty", "", false}, HeadCase{"BlankInTarget", "GET /a b HTTP/1.1", false},
        HeadCase{"TwoSpaces", "GET  /a HTTP/1.1", false},
        HeadCase{"OtherVersion", "GET /a HTTP/2.0", false},
        HeadCase{"MethodNotAToken", "G(T /a HTTP/1.1", false},
        HeadCase{"BareLineFeeds", "GET /a HTTP/1.1\nHost: h", false},
        HeadCase{"LoneCarriageReturnInValue", "GET /a HTTP/1.1\r\nHost: h\rX: y", false},
        HeadCase{"NulInValue", "GET /a HTTP/1.1\r\nHost: h\0x"s, false},
        HeadCase{"FoldedLine", "GET /a HTTP/1.1\r\nHost: h\r\n x", false},
        HeadCase{"SpaceBeforeColon", "GET /a HTTP/1.1\r\nHost : h", false},
        HeadCase{"NoColon", "GET /a HTTP/1.1\r\nHost", false},
        HeadCase{"ControlInTarget", "GET /a\x01 HTTP/1.1", false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ByteRanges, FollowHttp) {
    const struct {
        const char* Header;
        std::int64_t Size;
        TRangeAnswer Answer;
        std::int64_t First, Last;
    } cases[] = {
        {"", 10, TRangeAnswer::raWhole, 0, 0},
        {"bytes=2-5", 10, TRangeAnswer::raPart, 2, 5},
        {"bytes=2-", 10, TRangeAnswer::raPart, 2, 9},
        {"bytes=-3", 10, TRangeAnswer::raPart, 7, 9},
        {"bytes=-30", 10, TRangeAnswer::raPart, 0, 9},
        {"bytes=5-500", 10, TRangeAnswer::raPart, 5, 9},
        {"Bytes=0-0", 10, TRangeAnswer::raPart, 0, 0},
        {"bytes = 0-0", 10, TRangeAnswer::raWhole, 0, 0},
        {"bytes=10-", 10, TRangeAnswer::raUnsatisfiable, 0, 0},
        {"bytes=-0", 10, TRangeAnswer::raUnsatisfiable, 0, 0},
        {"bytes=0-", 0, TRangeAnswer::raUnsatisfiable, 0, 0},
        {"bytes=-5", -1, TRangeAnswer::raUnsatisfiable, 0, 0},
        {"bytes=5-2", 10, TRangeAnswer::raWhole, 0, 0},
        {"bytes=a-b", 10, TRangeAnswer::raWhole, 0, 0},
        {"bytes=+1-2", 10, TRangeAnswer::raWhole, 0, 0},
        {"bytes=0-1,4-5", 10, TRangeAnswer::raWhole, 0, 0},
        {"items=0-1", 10, TRangeAnswer::raWhole, 0, 0},
        {"bytes=99999999999999999999-", 10, TRangeAnswer::raWhole, 0, 0},
    };
    for (const auto& c : cases) {
        TByteRange r;
        const TRangeAnswer answer = ParseByteRange(c.Header, c.Size, r);
        EXPECT_EQ(answer, c.Answer) << c.Header;
        if (answer == TRangeAnswer::raPart) {
            EXPECT_EQ(r.First, c.First) << c.Header;
            EXPECT_EQ(r.Last, c.Last) << c.Header;
        }
    }
}

} // namespace
} // namespace kiva
