#include "ProjectOptionsFile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "TestFiles.h"

namespace kiva {
namespace {

// Where the viewer reads each option, written down here on its own so that a wrong offset in
// the tool cannot hide behind a shared table.
enum class Kind { Text, Int, Flag };
struct Slot {
    const char* Key;
    std::size_t Offset;
    Kind Type;
};
const Slot kSlots[] = {
    {"StartPage", 0, Kind::Text},
    {"WindowStyle", 516, Kind::Int},
    {"WindowWidth", 520, Kind::Int},
    {"WindowHeight", 524, Kind::Int},
    {"LogoFile", 528, Kind::Text},
    {"HideScrollBars", 786, Kind::Flag},
    {"CenterWindow", 787, Kind::Flag},
    {"ShowToolBar", 788, Kind::Flag},
    {"ShowButtonCaptions", 789, Kind::Flag},
    {"ShowStatusBar", 790, Kind::Flag},
    {"AllowCopy", 791, Kind::Flag},
    {"AllowFind", 792, Kind::Flag},
    {"AllowPrint", 793, Kind::Flag},
    {"AllowFontSize", 794, Kind::Flag},
    {"ViewPassword", 795, Kind::Text},
    {"ExternalMasks", 1320, Kind::Text},
    {"UserAgentText", 1584, Kind::Text},
};

TEST(ProjectOptionsFile, EveryKeyLandsAtItsOffsetAndNothingElseIsWritten) {
    // Distinct values per field: a text names its key, numbers differ in every byte.
    // Window sizes beyond 32767 are refused in the file, so those two are set directly.
    auto number = [](std::size_t i) { return 0x01020304 + 0x10 * int(i); };
    std::string ini = "[Options]\n";
    for (std::size_t i = 0; i < std::size(kSlots); ++i) {
        const Slot& s = kSlots[i];
        if (s.Offset == 520 || s.Offset == 524) {
            continue;
        }
        ini += s.Key;
        ini += "=";
        ini += s.Type == Kind::Text  ? std::string(s.Key) + ".v"
               : s.Type == Kind::Int ? std::to_string(number(i))
                                     : "1";
        ini += "\n";
    }
    TProjectOptionsFile opts = TProjectOptionsFile::ParseIni(ini, "t.ini");
    opts.WindowWidth = number(2);
    opts.WindowHeight = number(3);
    opts.VersionText = "kvb 9.8.7";
    const auto rec = opts.Encode();
    ASSERT_EQ(rec.size(), 2872u);

    std::vector<bool> covered(rec.size(), false);
    for (std::size_t i = 0; i < std::size(kSlots); ++i) {
        const Slot& s = kSlots[i];
        SCOPED_TRACE(s.Key);
        const std::uint8_t* p = rec.data() + s.Offset;
        if (s.Type == Kind::Text) {
            std::string v = std::string(s.Key) + ".v";
            EXPECT_EQ(p[0], v.size());
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 1), v.size()), v);
            for (std::size_t k = 0; k < 256; ++k) {
                covered[s.Offset + k] = k <= v.size();
            }
        } else if (s.Type == Kind::Int) {
            std::uint32_t v = 0x01020304u + 0x10u * static_cast<std::uint32_t>(i);
            for (int k = 0; k < 4; ++k) {
                EXPECT_EQ(p[k], std::uint8_t(v >> (8 * k))) << "byte " << k;
                covered[s.Offset + k] = true;
            }
        } else {
            EXPECT_EQ(p[0], 1);
            covered[s.Offset] = true;
        }
    }
    const char version[] = "kvb 9.8.7";
    EXPECT_EQ(std::memcmp(rec.data() + 1840, version, sizeof version), 0);
    for (std::size_t k = 0; k < sizeof version - 1; ++k) {
        covered[1840 + k] = true;
    }
    for (std::size_t k = 0; k < rec.size(); ++k) {
        if (!covered[k]) {
            EXPECT_EQ(rec[k], 0) << "offset " << k;
        }
    }
}

TEST(ProjectOptionsFile, NegativeNumbersAreLittleEndianTwosComplement) {
    auto rec = TProjectOptionsFile::ParseIni("WindowStyle=-2\n", "t.ini").Encode();
    EXPECT_EQ(rec[516], 0xFE);
    EXPECT_EQ(rec[517], 0xFF);
    EXPECT_EQ(rec[518], 0xFF);
    EXPECT_EQ(rec[519], 0xFF);
}

TEST(ProjectOptionsFile, ReadsTheUsualIniForms) {
    const std::string ini = "\xEF\xBB\xBF# comment\r\n"
                            "; another comment\r\n"
                            "startpage = docs\\start.html \r\n"
                            "\r\n"
                            "[options]\r\n"
                            "SHOWTOOLBAR=yes\r\n"
                            "AllowCopy = true\r\n"
                            "AllowFind=off\r\n"
                            "UserAgentText=\"  padded  \"\r\n"
                            "ExternalMasks=*.pdf;*.zip\r\n"
                            "ViewPassword=\r\n"
                            "WindowHeight=32767\r\n";
    TProjectOptionsFile o = TProjectOptionsFile::ParseIni(ini, "t.ini");
    EXPECT_EQ(o.StartPage, "docs\\start.html");
    EXPECT_TRUE(o.ShowToolBar);
    EXPECT_TRUE(o.AllowCopy);
    EXPECT_FALSE(o.AllowFind);
    EXPECT_EQ(o.UserAgentText, "  padded  ");
    EXPECT_EQ(o.ExternalMasks, "*.pdf;*.zip");
    EXPECT_EQ(o.ViewPassword, "");
    EXPECT_EQ(o.WindowWidth, 0);
    EXPECT_EQ(o.WindowHeight, 32767); // the largest a window can take
}

TEST(ProjectOptionsFile, TextsOfExactly255BytesFit) {
    std::string v(255, 'x');
    auto rec = TProjectOptionsFile::ParseIni("UserAgentText=" + v, "t.ini").Encode();
    EXPECT_EQ(rec[1584], 255);
    EXPECT_EQ(rec[1584 + 255], 'x');
}

struct BadIni {
    const char* Label;
    std::string Text;
    const char* Expected;
};

void PrintTo(const BadIni& b, std::ostream* os) {
    *os << b.Label;
}

class IniErrors : public ::testing::TestWithParam<BadIni> {};

TEST_P(IniErrors, NameTheFileLineAndProblem) {
    try {
        TProjectOptionsFile::ParseIni(GetParam().Text, "site.ini");
        FAIL() << "accepted";
    } catch (const EOptionsError& e) {
        EXPECT_NE(e.Message().find("site.ini:2: "), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find(GetParam().Expected), std::string::npos) << e.Message();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ini, IniErrors,
    ::testing::Values(BadIni{"UnknownKey", "[Options]\nStartPge=a.html\n", "StartPge"},
                      BadIni{"NotANumber", "# x\nWindowWidth=9OO\n", "9OO"},
                      BadIni{"EmptyNumber", "\nWindowHeight=\n", "WindowHeight"},
                      BadIni{"Overflow", "\nWindowStyle=2147483648\n", "2147483648"},
                      BadIni{"NegativeSize", "\nWindowWidth=-5\n", "from 0 to 32767"},
                      BadIni{"WiderThanAWindow", "\nWindowWidth=32768\n", "32768"},
                      BadIni{"TallerThanAWindow", "\nWindowHeight=100000\n", "from 0 to 32767"},
                      BadIni{"BadFlag", "\nAllowCopy=maybe\n", "maybe"},
                      BadIni{"TextTooLong", "\nStartPage=" + std::string(256, 'a') + "\n",
                             "256 bytes"},
                      BadIni{"Twice", "AllowFind=1\nallowfind=0\n", "twice"},
                      BadIni{"OtherSection", "\n[Window]\n", "[Window]"},
                      BadIni{"NoEquals", "\nShowToolBar\n", "Key=Value"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(ProjectOptionsFile, MissingFileIsAnOptionsError) {
    EXPECT_THROW(TProjectOptionsFile::LoadIni("/nonexistent/dir/x.ini"), EOptionsError);
}

TEST(ProjectOptionsFile, DecodeReadsWhatEncodeWroteAndPadsShortRecords) {
    TProjectOptionsFile o;
    o.StartPage = "index.html";
    o.WindowStyle = 3;
    o.WindowHeight = 430;
    o.CenterWindow = true;
    o.ExternalMasks = "*.exe;";
    o.VersionText = "kvb 0.1.0";
    auto rec = o.Encode();
    TProjectOptionsFile back = TProjectOptionsFile::Decode(rec.data(), rec.size());
    EXPECT_EQ(back.Fields(), o.Fields());
    EXPECT_EQ(back.VersionText, "kvb 0.1.0");

    // Cut off inside WindowHeight: its last byte and everything after read as zero.
    rec[527] = 0x7F;
    TProjectOptionsFile shortRec = TProjectOptionsFile::Decode(rec.data(), 527);
    EXPECT_EQ(shortRec.StartPage, "index.html");
    EXPECT_EQ(shortRec.WindowHeight, 430);
    EXPECT_FALSE(shortRec.CenterWindow);
    EXPECT_EQ(shortRec.ExternalMasks, "");
}

} // namespace
} // namespace kiva
