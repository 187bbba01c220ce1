// The options record: where each field lies, and the record that kvb writes from an options
// file as the viewer reads it.

#include "ProjectOptionsRecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ProjectOptions.h"
#include "ProjectOptionsFile.h"

namespace kiva {
namespace {

// Where the viewer reads each field, written down here on its own so that a wrong offset in
// the shared table cannot hide behind it.
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

TEST(ProjectOptionsRecord, EveryFieldLandsAtItsOffsetAndNothingElseIsWritten) {
    ASSERT_EQ(OptionFields().size(), std::size(kSlots));
    TProjectOptionsRecord o;
    // Distinct values per field: a text names its key, numbers differ in every byte.
    auto number = [](std::size_t i) { return 0x01020304 + 0x10 * int(i); };
    for (std::size_t i = 0; i < std::size(kSlots); ++i) {
        const TOptionField& f = OptionFields()[i];
        ASSERT_STREQ(f.Name, kSlots[i].Key);
        if (f.Text) {
            o.*f.Text = std::string(f.Name) + ".v";
        } else if (f.Number) {
            o.*f.Number = number(i);
        } else {
            o.*f.Flag = true;
        }
    }
    o.ToolText = "kvb 9.8.7";
    const auto rec = o.Encode();

    std::vector<bool> covered(rec.size(), false);
    for (std::size_t i = 0; i < std::size(kSlots); ++i) {
        const Slot& s = kSlots[i];
        SCOPED_TRACE(s.Key);
        const std::uint8_t* p = rec.data() + s.Offset;
        if (s.Type == Kind::Text) {
            const std::string v = std::string(s.Key) + ".v";
            EXPECT_EQ(p[0], v.size());
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 1), v.size()), v);
            for (std::size_t k = 0; k <= v.size(); ++k) {
                covered[s.Offset + k] = true;
            }
        } else if (s.Type == Kind::Int) {
            const auto v = static_cast<std::uint32_t>(number(i));
            for (int k = 0; k < 4; ++k) {
                EXPECT_EQ(p[k], std::uint8_t(v >> (8 * k))) << "byte " << k;
                covered[s.Offset + k] = true;
            }
        } else {
            EXPECT_EQ(p[0], 1);
            covered[s.Offset] = true;
        }
    }
    const char tool[] = "kvb 9.8.7";
    EXPECT_EQ(std::memcmp(rec.data() + 1840, tool, sizeof tool), 0);
    for (std::size_t k = 0; k < sizeof tool - 1; ++k) {
        covered[1840 + k] = true;
    }
    for (std::size_t k = 0; k < rec.size(); ++k) {
        if (!covered[k]) {
            EXPECT_EQ(rec[k], 0) << "offset " << k;
        }
    }
    EXPECT_EQ(TProjectOptionsRecord::Decode(rec.data(), rec.size()).ToolText, "kvb 9.8.7");
}

TEST(ProjectOptionsRecord, ATextLongerThanItsFieldIsRefusedNamingTheField) {
    TProjectOptionsRecord o;
    o.ExternalMasks = std::string(256, 'm');
    try {
        o.Encode();
        FAIL() << "encoded";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("ExternalMasks"), std::string::npos) << e.Message();
    }
}

// One record written by kvb from an options file and read by the viewer.
struct RoundTrip {
    const char* Label;
    std::string Ini;
    // Changes to the written record before the viewer reads it.
    std::function<void(std::vector<std::uint8_t>&)> Patch;
    // What the viewer should read; texts in UTF-8 except the password, which stays as stored.
    std::function<void(TProjectOptionsRecord&)> Expect;
};

void PrintTo(const RoundTrip& r, std::ostream* os) {
    *os << r.Label;
}

std::string IniOf(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string ini = "[Options]\n";
    for (const auto& [k, v] : pairs) {
        ini += k + "=" + v + "\n";
    }
    return ini;
}

// A 255-byte text that differs for every field.
std::string Full(char c) {
    std::string s(255, c);
    s.front() = '<';
    s.back() = '>';
    return s;
}

class OptionsRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(OptionsRoundTrip, TheViewerReadsWhatKvbWroteFieldByField) {
    const RoundTrip& c = GetParam();
    const TProjectOptionsFile written = TProjectOptionsFile::ParseIni(c.Ini, "book.ini");
    const auto record = written.Encode();
    std::vector<std::uint8_t> bytes(record.begin(), record.end());
    if (c.Patch) {
        c.Patch(bytes);
    }
    const TProjectOptions read = TProjectOptions::Decode(bytes.data(), bytes.size());
    TProjectOptionsRecord expected;
    c.Expect(expected);
    for (const TOptionField& f : OptionFields()) {
        SCOPED_TRACE(f.Name);
        if (f.Text) {
            EXPECT_EQ(read.*f.Text, expected.*f.Text);
        } else if (f.Number) {
            EXPECT_EQ(read.*f.Number, expected.*f.Number);
        } else {
            EXPECT_EQ(read.*f.Flag, expected.*f.Flag);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, OptionsRoundTrip,
    ::testing::Values(
        RoundTrip{"NothingGiven", "", nullptr, [](TProjectOptionsRecord&) {}},
        RoundTrip{"FullTextsAndExtremeNumbers",
                  IniOf({{"StartPage", Full('s')},
                         {"WindowStyle", "-2147483648"},
                         {"WindowWidth", "32767"},
                         {"WindowHeight", "0"},
                         {"LogoFile", Full('l')},
                         {"ViewPassword", Full('p')},
                         {"ExternalMasks", Full('m')},
                         {"UserAgentText", Full('u')},
                         {"ShowToolBar", "1"},
                         {"AllowFontSize", "1"},
                         {"AllowCopy", "0"}}),
                  nullptr,
                  [](TProjectOptionsRecord& e) {
                      e.StartPage = Full('s');
                      e.WindowStyle = INT32_MIN;
                      e.WindowWidth = 32767;
                      e.LogoFile = Full('l');
                      e.ViewPassword = Full('p');
                      e.ExternalMasks = Full('m');
                      e.UserAgentText = Full('u');
                      e.ShowToolBar = e.AllowFontSize = true;
                  }},
        // Every flag byte set to 2 or 255 by another writer reads as on.
        RoundTrip{"FlagsOfTwoAnd255", IniOf({{"WindowStyle", "2147483647"}}),
                  [](std::vector<std::uint8_t>& b) {
                      for (std::size_t at = 786; at <= 794; ++at) {
                          b[at] = at % 2 ? 2 : 255;
                      }
                  },
                  [](TProjectOptionsRecord& e) {
                      e.WindowStyle = INT32_MAX;
                      for (const TOptionField& f : OptionFields()) {
                          if (f.Flag) {
                              e.*f.Flag = true;
                          }
                      }
                  }},
        // An options file written in Windows-1252 on Windows keeps its bytes; the viewer
        // reads them as Windows-1252, and the password as typed in either encoding.
        RoundTrip{"Windows1252Texts",
                  IniOf({{"StartPage", "C:\\web\\caf\xE9.html"},
                         {"ExternalMasks", "*.pdf;\xC4rger.*"},
                         {"UserAgentText", "Agent\x99 \x80"},
                         {"ViewPassword", "Gr\xFC\xDF"}}),
                  nullptr,
                  [](TProjectOptionsRecord& e) {
                      e.StartPage = "C:\\web\\caf\xC3\xA9.html";
                      e.ExternalMasks = "*.pdf;\xC3\x84rger.*";
                      e.UserAgentText = "Agent\xE2\x84\xA2 \xE2\x82\xAC";
                      e.ViewPassword = "Gr\xFC\xDF";
                  }},
        RoundTrip{
            "Utf8Texts",
            IniOf({{"StartPage", "caf\xC3\xA9.html"}, {"ViewPassword", "Gr\xC3\xBC\xC3\x9F"}}),
            nullptr,
            [](TProjectOptionsRecord& e) {
                e.StartPage = "caf\xC3\xA9.html";
                e.ViewPassword = "Gr\xC3\xBC\xC3\x9F";
            }},
        // A record cut off right after WindowStyle, as a shorter "-config-" would be.
        RoundTrip{"ShortRecord",
                  IniOf({{"StartPage", "index.html"},
                         {"WindowStyle", "3"},
                         {"WindowWidth", "800"},
                         {"AllowFind", "1"}}),
                  [](std::vector<std::uint8_t>& b) { b.resize(520); },
                  [](TProjectOptionsRecord& e) {
                      e.StartPage = "index.html";
                      e.WindowStyle = 3;
                  }}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(OptionsRoundTrip, ThePasswordOpensWhenTypedInUtf8WhateverTheFileWasWrittenIn) {
    for (const char* stored : {"Gr\xFC\xDF", "Gr\xC3\xBC\xC3\x9F"}) {
        const auto rec =
            TProjectOptionsFile::ParseIni(std::string("ViewPassword=") + stored, "b.ini").Encode();
        const TProjectOptions read = TProjectOptions::Decode(rec.data(), rec.size());
        EXPECT_TRUE(ViewPasswordMatches(read.ViewPassword, "Gr\xC3\xBC\xC3\x9F")) << stored;
    }
}

} // namespace
} // namespace kiva
