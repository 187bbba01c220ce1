#include "ProjectOptions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kiva {
namespace {

// A record written byte by byte as the packing tool lays it out.
class TRecord {
public:
    TRecord() : bytes(kProjectOptionsRecordSize, 0) {}
    TRecord& Text(std::size_t offset, const std::string& s) {
        bytes[offset] = static_cast<std::uint8_t>(s.size());
        std::memcpy(&bytes[offset + 1], s.data(), s.size());
        return *this;
    }
    TRecord& Int(std::size_t offset, std::int32_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i) {
            bytes[offset + i] = static_cast<std::uint8_t>(u >> (8 * i));
        }
        return *this;
    }
    TRecord& Byte(std::size_t offset, std::uint8_t v) {
        bytes[offset] = v;
        return *this;
    }
    TProjectOptions Decode(std::size_t size = kProjectOptionsRecordSize) const {
        return TProjectOptions::Decode(bytes.data(), size);
    }
    std::vector<std::uint8_t> bytes;
};

TEST(ProjectOptionsTest, AnAllZeroRecordTurnsEverythingOff) {
    const TProjectOptions o = TRecord().Decode();
    EXPECT_EQ(o.StartPage, "");
    EXPECT_EQ(o.WindowStyle, 0);
    EXPECT_EQ(o.WindowWidth, 0);
    EXPECT_EQ(o.WindowHeight, 0);
    EXPECT_EQ(o.LogoFile, "");
    EXPECT_FALSE(o.HideScrollBars || o.CenterWindow || o.ShowToolBar || o.ShowButtonCaptions ||
                 o.ShowStatusBar || o.AllowCopy || o.AllowFind || o.AllowPrint || o.AllowFontSize);
    EXPECT_EQ(o.ViewPassword, "");
    EXPECT_EQ(o.ExternalMasks, "");
    EXPECT_EQ(o.UserAgentText, "");
    EXPECT_EQ(HomeUrlFromStartPage(o.StartPage), "kiva://bundle/");
}

TEST(ProjectOptionsTest, EveryFieldIsReadFromItsOffset) {
    TRecord r;
    r.Text(0, "C:\\site\\index.html")
        .Int(516, 2)
        .Int(520, 830)
        .Int(524, 430)
        .Text(528, "logo.ico")
        .Text(795, "pw")
        .Text(1320, "*.exe;")
        .Text(1584, "Agent/1.0");
    const std::size_t flags[] = {786, 787, 788, 789, 790, 791, 792, 793, 794};
    for (std::size_t f : flags) {
        r.Byte(f, 1);
    }
    // Bytes the viewer does not read must not leak into the fields around them.
    r.Byte(256, 0xFF).Text(257, "D:\\other").Byte(784, 7).Byte(785, 7).Byte(1051, 9);
    r.Text(1064, "*.zip").Byte(1576, 0xAA);
    std::memcpy(&r.bytes[1840], "kvb 1.0", 8);

    const TProjectOptions o = r.Decode();
    EXPECT_EQ(o.StartPage, "C:\\site\\index.html");
    EXPECT_EQ(o.WindowStyle, 2);
    EXPECT_EQ(o.WindowWidth, 830);
    EXPECT_EQ(o.WindowHeight, 430);
    EXPECT_EQ(o.LogoFile, "logo.ico");
    EXPECT_TRUE(o.HideScrollBars && o.CenterWindow && o.ShowToolBar && o.ShowButtonCaptions &&
                o.ShowStatusBar && o.AllowCopy && o.AllowFind && o.AllowPrint && o.AllowFontSize);
    EXPECT_EQ(o.ViewPassword, "pw");
    EXPECT_EQ(o.ExternalMasks, "*.exe;");
    EXPECT_EQ(o.UserAgentText, "Agent/1.0");
}

// Each flag sits at its own byte: setting one turns on that option and no other.
TEST(ProjectOptionsTest, EachFlagHasItsOwnByteAndAnyNonZeroValueIsTrue) {
    struct TFlag {
        std::size_t Offset;
        bool TProjectOptions::*Field;
    };
    const TFlag flags[] = {
        {786, &TProjectOptions::HideScrollBars}, {787, &TProjectOptions::CenterWindow},
        {788, &TProjectOptions::ShowToolBar},    {789, &TProjectOptions::ShowButtonCaptions},
        {790, &TProjectOptions::ShowStatusBar},  {791, &TProjectOptions::AllowCopy},
        {792, &TProjectOptions::AllowFind},      {793, &TProjectOptions::AllowPrint},
        {794, &TProjectOptions::AllowFontSize},
    };
    for (std::uint8_t value : {1, 2, 255}) {
        for (const TFlag& f : flags) {
            const TProjectOptions o = TRecord().Byte(f.Offset, value).Decode();
            for (const TFlag& g : flags) {
                EXPECT_EQ(o.*(g.Field), &g == &f)
                    << "offset " << f.Offset << " value " << int(value) << " field at " << g.Offset;
            }
        }
    }
}

TEST(ProjectOptionsTest, ShortTextsIgnoreTheBytesAfterTheirLength) {
    TRecord r;
    r.Text(0, "C:\\a\\long\\old\\path\\index.html.bak");
    r.Byte(0, 10);
    std::memcpy(&r.bytes[1], "index.html", 10);
    EXPECT_EQ(r.Decode().StartPage, "index.html");
    EXPECT_EQ(HomeUrlFromStartPage(r.Decode().StartPage), "kiva://bundle/index.html");

    // A full 255-character text is read whole.
    const std::string full(255, 'u');
    EXPECT_EQ(TRecord().Text(1584, full).Decode().UserAgentText, full);
}

// Archives made on Windows hold Windows-1252 texts; this system's are UTF-8.
TEST(ProjectOptionsTest, TextsThatAreNotUtf8AreReadAsWindows1252) {
    const struct {
        std::string stored;
        std::string read;
    } cases[] = {
        {"index.html", "index.html"},
        {"caf\xC3\xA9.html", "caf\xC3\xA9.html"}, // UTF-8 stays as it is
        {"caf\xE9.html", "caf\xC3\xA9.html"},
        {"\x80 Agent\x99", "\xE2\x82\xAC Agent\xE2\x84\xA2"},
        {"*.exe;\xC4rger.*;", "*.exe;\xC3\x84rger.*;"},
        {"\xC3", "\xC3\x83"}, // a cut-off UTF-8 sequence is Windows-1252 too
    };
    using TText = std::string TProjectOptions::*;
    const std::pair<std::size_t, TText> fields[] = {
        {projopt::StartPage, &TProjectOptions::StartPage},
        {projopt::LogoFile, &TProjectOptions::LogoFile},
        {projopt::ExternalMasks, &TProjectOptions::ExternalMasks},
        {projopt::UserAgentText, &TProjectOptions::UserAgentText},
    };
    for (const auto& c : cases) {
        for (const auto& [offset, field] : fields) {
            EXPECT_EQ(TRecord().Text(offset, c.stored).Decode().*field, c.read)
                << "offset " << offset << ": " << c.stored;
        }
        // The password stays in the archive's encoding for the comparison.
        EXPECT_EQ(TRecord().Text(projopt::ViewPassword, c.stored).Decode().ViewPassword, c.stored);
    }
    EXPECT_EQ(HomeUrlFromStartPage(TRecord().Text(0, "C:\\web\\caf\xE9.html").Decode().StartPage),
              "kiva://bundle/caf\xC3\xA9.html");
}

TEST(ProjectOptionsTest, ThePasswordBoxMatchesTheStoredPasswordInEitherEncoding) {
    const struct {
        const char* stored;
        const char* typed; // always UTF-8, as the box gives it
        bool matches;
    } cases[] = {
        {"Secret", "Secret", true},
        {"Secret", "secret", false},
        {"Secret", "Secret ", false},
        {"Secret", "", false},
        {"Gr\xFC\xDF", "Gr\xC3\xBC\xC3\x9F", true}, // Windows-1252 "Grüß"
        {"Gr\xFC\xDF", "Gr\xC3\xBC", false},
        {"Gr\xC3\xBC\xC3\x9F", "Gr\xC3\xBC\xC3\x9F", true}, // UTF-8 "Grüß"
        {"\x80uro", "\xE2\x82\xACuro", true},
        {"\x80uro", "\xC2\x80uro", false}, // U+0080 is not the euro sign of Windows-1252
        // Two bytes that are UTF-8 "é" and Windows-1252 "Ã©": either reading opens.
        {"\xC3\xA9", "\xC3\xA9", true},
        {"\xC3\xA9", "\xC3\x83\xC2\xA9", true},
        // A Windows-1252 "é" does not open for the UTF-8 reading of its UTF-8 bytes.
        {"\xE9", "\xC3\x83\xC2\xA9", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ViewPasswordMatches(c.stored, c.typed), c.matches)
            << "stored " << c.stored << ", typed " << c.typed;
    }
}

TEST(ProjectOptionsTest, NegativeAndLargeNumbersAreSignedLittleEndian) {
    const TProjectOptions o = TRecord().Int(516, -1).Int(520, 0x7FFFFFFF).Int(524, -200).Decode();
    EXPECT_EQ(o.WindowStyle, -1);
    EXPECT_EQ(o.WindowWidth, 0x7FFFFFFF);
    EXPECT_EQ(o.WindowHeight, -200);
    EXPECT_EQ(TRecord().Int(520, 0x01020304).Decode().WindowWidth, 0x01020304);
}

TEST(ProjectOptionsTest, AShortRecordLeavesEverythingAfterItsEndZero) {
    TRecord r;
    r.Text(0, "index.html").Int(516, 2).Int(520, 830).Byte(788, 1).Text(795, "pw");
    // Cut inside WindowWidth: its two bytes that were read stay, the rest is zero.
    TProjectOptions o = r.Decode(522);
    EXPECT_EQ(o.StartPage, "index.html");
    EXPECT_EQ(o.WindowStyle, 2);
    EXPECT_EQ(o.WindowWidth, 830 & 0xFFFF);
    EXPECT_FALSE(o.ShowToolBar);
    EXPECT_EQ(o.ViewPassword, "");
    // Cut inside the password's characters: the missing ones read as zero bytes.
    o = r.Decode(797);
    EXPECT_TRUE(o.ShowToolBar);
    EXPECT_EQ(o.ViewPassword, std::string("p\0", 2));
    // Nothing at all.
    o = TProjectOptions::Decode(nullptr, 0);
    EXPECT_EQ(o.StartPage, "");
}

TEST(ProjectOptionsTest, ALongerRecordIsReadOnlyToItsSize) {
    TRecord r;
    r.Text(1584, "ua");
    r.bytes.resize(kProjectOptionsRecordSize + 100, 0xEE);
    EXPECT_EQ(r.Decode(r.bytes.size()).UserAgentText, "ua");
}

struct THomeCase {
    const char* StartPage;
    const char* HomeUrl;
};
class HomeUrlTest : public ::testing::TestWithParam<THomeCase> {};

TEST_P(HomeUrlTest, TakesTheTextAfterTheLastBackslashOrColon) {
    EXPECT_EQ(HomeUrlFromStartPage(GetParam().StartPage), GetParam().HomeUrl);
}

INSTANTIATE_TEST_SUITE_P(
    StartPages, HomeUrlTest,
    ::testing::Values(THomeCase{"C:\\web\\index.html", "kiva://bundle/index.html"},
                      THomeCase{"index.html", "kiva://bundle/index.html"},
                      THomeCase{"docs/intro.html", "kiva://bundle/docs/intro.html"},
                      THomeCase{"C:index.html", "kiva://bundle/index.html"},
                      THomeCase{"C:\\web\\", "kiva://bundle/"}, THomeCase{"", "kiva://bundle/"},
                      THomeCase{"a:b\\c/d.html", "kiva://bundle/c/d.html"}));

} // namespace
} // namespace kiva
