#include "WinTypes.h"

#include <gtest/gtest.h>

#include "SysUtils.h"

namespace kiva {
namespace {

TEST(GuidText, ParsesAndPrintsTheRegistryForm) {
    const GUID g = StringToGUID("{DAF70F47-915C-46A9-913B-7C5484A16173}");
    EXPECT_EQ(g.Data1, 0xDAF70F47u);
    EXPECT_EQ(g.Data2, 0x915Cu);
    EXPECT_EQ(g.Data3, 0x46A9u);
    const std::uint8_t tail[8] = {0x91, 0x3B, 0x7C, 0x54, 0x84, 0xA1, 0x61, 0x73};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(g.Data4[i], tail[i]) << i;
    }
    EXPECT_EQ(GUIDToString(g), "{DAF70F47-915C-46A9-913B-7C5484A16173}");
    // Lower-case digits read the same and print upper-case.
    EXPECT_EQ(GUIDToString(StringToGUID("{daf70f47-915c-46a9-913b-7c5484a16173}")),
              "{DAF70F47-915C-46A9-913B-7C5484A16173}");
    constexpr GUID literal = GuidLiteral("{DAF70F47-915C-46A9-913B-7C5484A16173}");
    EXPECT_TRUE(literal == g);
    EXPECT_FALSE(literal == GUID_NULL);
}

class MalformedGuid : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedGuid, IsRejectedWithoutTouchingTheResult) {
    GUID g = GuidLiteral("{00000001-0000-0000-C000-000000000046}");
    const GUID before = g;
    EXPECT_FALSE(TryStringToGUID(GetParam(), g));
    EXPECT_TRUE(g == before);
    EXPECT_THROW(StringToGUID(GetParam()), Exception);
}

INSTANTIATE_TEST_SUITE_P(Texts, MalformedGuid,
                         ::testing::Values("", "DAF70F47-915C-46A9-913B-7C5484A16173",
                                           "{DAF70F47-915C-46A9-913B-7C5484A1617}",
                                           "{DAF70F47-915C-46A9-913B-7C5484A161733}",
                                           "{DAF70F47_915C-46A9-913B-7C5484A16173}",
                                           "{DAF70F4G-915C-46A9-913B-7C5484A16173}",
                                           "{DAF70F47-915C-46A9-913B-7C5484A16173)",
                                           "{DAF70F4-7915C-46A9-913B-7C5484A16173}"));

struct Utf8Case {
    const char* Name;
    std::string Ansi;
    std::u16string Wide;
};

class Utf8RoundTrip : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8RoundTrip, ConvertsBothWays) {
    EXPECT_EQ(AnsiToWide(GetParam().Ansi), GetParam().Wide);
    EXPECT_EQ(WideToAnsi(GetParam().Wide), GetParam().Ansi);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8RoundTrip,
    ::testing::Values(Utf8Case{"Empty", "", u""},
                      Utf8Case{"Ascii", "kiva://bundle/a b.html", u"kiva://bundle/a b.html"},
                      Utf8Case{"TwoBytes", "caf\xC3\xA9", u"caf\u00E9"},
                      Utf8Case{"ThreeBytes", "\xE2\x82\xAC", u"\u20AC"},
                      Utf8Case{"FourBytes", "\xF0\x9F\x98\x80", u"\U0001F600"},
                      Utf8Case{"EmbeddedNul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(Utf8Conversion, BrokenSequencesBecomeReplacementCharacters) {
    // A broken lead byte costs one replacement; what follows it is kept.
    EXPECT_EQ(AnsiToWide("\xC3("), u"\uFFFD(");
    EXPECT_EQ(AnsiToWide("a\xFF"
                         "b"),
              u"a\uFFFDb");
    // Overlong forms and encoded surrogates are not characters.
    EXPECT_EQ(AnsiToWide("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(AnsiToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    // A sequence cut by the end of the text.
    EXPECT_EQ(AnsiToWide("x\xE2\x82"), u"x\uFFFD\uFFFD");
    // Lone surrogates on the wide side.
    EXPECT_EQ(WideToAnsi(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    EXPECT_EQ(WideToAnsi(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(WideText, NullPointersAreEmpty) {
    EXPECT_EQ(WideLength(nullptr), 0u);
    EXPECT_TRUE(WideView(nullptr).empty());
    EXPECT_EQ(WideLength(u"kiva"), 4u);
    EXPECT_EQ(WideView(u"kiva"), u"kiva");
}

TEST(ResultCodes, SuccessAndFailureFollowTheSign) {
    EXPECT_TRUE(SUCCEEDED(S_OK));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_TRUE(FAILED(E_INVALIDARG));
    EXPECT_TRUE(FAILED(INET_E_USE_DEFAULT_PROTOCOLHANDLER));
    EXPECT_EQ(static_cast<std::uint32_t>(INET_E_USE_DEFAULT_PROTOCOLHANDLER), 0x800C0011u);
}

} // namespace
} // namespace kiva
