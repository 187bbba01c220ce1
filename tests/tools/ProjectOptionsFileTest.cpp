#include "ProjectOptionsFile.h"

#include <gtest/gtest.h>

#include <functional>

namespace kiva {
namespace {

TEST(ProjectOptionsFile, ReadsTheUsualIniForms) {
    const std::string ini = "\xEF\xBB\xBF# comment\r\n"
                            "; another comment\r\n"
                            "startpage = docs\\start.html \r\n"
                            "\r\n"
                            "[options]\r\n"
                            "SHOWTOOLBAR=1\r\n"
                            "AllowCopy = 1\r\n"
                            "AllowFind=0\r\n"
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
    EXPECT_TRUE(o.Warnings.empty());
}

struct BadIni {
    const char* Label;
    std::string Text;
    // Every problem expected, in order; each must name the file, its line and the key.
    std::vector<std::string> Problems;
};

void PrintTo(const BadIni& b, std::ostream* os) {
    *os << b.Label;
}

class IniErrors : public ::testing::TestWithParam<BadIni> {};

TEST_P(IniErrors, EachBadLineIsReportedWithFileLineAndKey) {
    try {
        TProjectOptionsFile::ParseIni(GetParam().Text, "site.ini");
        FAIL() << "accepted";
    } catch (const EOptionsError& e) {
        ASSERT_EQ(e.Problems().size(), GetParam().Problems.size()) << e.Message();
        for (std::size_t i = 0; i < e.Problems().size(); ++i) {
            EXPECT_EQ(e.Problems()[i].rfind(GetParam().Problems[i], 0), 0u)
                << e.Problems()[i] << "\nexpected to start with: " << GetParam().Problems[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ini, IniErrors,
    ::testing::Values(
        BadIni{"UnknownKeyNamesTheNearest",
               "[Options]\nStartPge=a.html\n",
               {"site.ini:2: unknown key \"StartPge\"; did you mean StartPage?"}},
        BadIni{"UnknownKeyFarFromAll", "Colour=red\n", {"site.ini:1: unknown key \"Colour\" ("}},
        BadIni{"NotANumber", "# x\nWindowWidth=9OO\n", {"site.ini:2: WindowWidth needs a whole"}},
        BadIni{"EmptyNumber", "\nWindowHeight=\n", {"site.ini:2: WindowHeight needs a whole"}},
        BadIni{"Overflow", "\nWindowStyle=2147483648\n", {"site.ini:2: WindowStyle needs"}},
        BadIni{"NegativeSize",
               "\nWindowWidth=-5\n",
               {"site.ini:2: WindowWidth needs a whole number from 0 to 32767, not \"-5\""}},
        BadIni{"TallerThanAWindow", "\nWindowHeight=32768\n", {"site.ini:2: WindowHeight needs"}},
        // A yes/no key takes 0 or 1, as its message says; words are refused.
        BadIni{"FlagWords",
               "AllowFind=yes\nAllowCopy=true\nShowToolBar=on\nAllowPrint=2\n",
               {"site.ini:1: AllowFind needs 0 or 1, not \"yes\"",
                "site.ini:2: AllowCopy needs 0 or 1", "site.ini:3: ShowToolBar needs 0 or 1",
                "site.ini:4: AllowPrint needs 0 or 1"}},
        BadIni{"TextTooLong",
               "\nStartPage=" + std::string(256, 'a') + "\n",
               {"site.ini:2: StartPage is 256 bytes long; at most 255 fit"}},
        BadIni{"Twice", "AllowFind=1\nallowfind=0\n", {"site.ini:2: AllowFind is given twice"}},
        BadIni{"OtherSection", "\n[Window]\n", {"site.ini:2: unknown section [Window]"}},
        BadIni{"UnterminatedSection", "[Options\n", {"site.ini:1: unterminated section"}},
        BadIni{"NoEquals", "\nShowToolBar\n", {"site.ini:2: expected Key=Value"}},
        // Good lines between bad ones do not hide the later problems.
        BadIni{"SeveralBadKeys",
               "StartPage=index.html\nWindowWidth=wide\nShowStatusBar=1\nAllowFontSize=maybe\n",
               {"site.ini:2: WindowWidth", "site.ini:4: AllowFontSize"}}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(ProjectOptionsFile, AWindowStyleOutsideZeroToThreeIsKeptWithAWarning) {
    const TProjectOptionsFile o = TProjectOptionsFile::ParseIni("\nWindowStyle=7\n", "s.ini");
    EXPECT_EQ(o.WindowStyle, 7);
    ASSERT_EQ(o.Warnings.size(), 1u);
    EXPECT_EQ(o.Warnings[0].rfind("s.ini:2: WindowStyle 7", 0), 0u) << o.Warnings[0];
}

// How a book's options come together from a file, --set and --defaults.
struct Combination {
    const char* Label;
    std::string Ini;
    std::vector<std::string> Sets;
    bool Defaults;
    std::function<void(TProjectOptionsRecord&)> Expect;
    std::vector<std::string> Usability; // the start of each warning
};

void PrintTo(const Combination& c, std::ostream* os) {
    *os << c.Label;
}

class OptionSources : public ::testing::TestWithParam<Combination> {};

TEST_P(OptionSources, GiveTheExpectedRecordAndWarnings) {
    const Combination& c = GetParam();
    TProjectOptionsFile o = TProjectOptionsFile::ParseIni(c.Ini, "b.ini");
    for (const std::string& s : c.Sets) {
        o.Set(s);
    }
    if (c.Defaults) {
        o.FillDefaults(DefaultProjectOptions("home.html"));
    }
    TProjectOptionsRecord expected;
    c.Expect(expected);
    EXPECT_EQ(OptionTexts(o), OptionTexts(expected));
    const auto warnings = o.Usability();
    ASSERT_EQ(warnings.size(), c.Usability.size()) << ::testing::PrintToString(warnings);
    for (std::size_t i = 0; i < warnings.size(); ++i) {
        EXPECT_EQ(warnings[i].rfind(c.Usability[i], 0), 0u) << warnings[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pack, OptionSources,
    ::testing::Values(Combination{"DefaultsAlone",
                                  "",
                                  {},
                                  true,
                                  [](TProjectOptionsRecord& e) {
                                      e = DefaultProjectOptions("home.html");
                                  },
                                  {}},
                      // A key left out of an author's file keeps meaning 0 or empty.
                      Combination{"FileLeavesTheRestZero",
                                  "StartPage=a.html\nWindowWidth=640\n",
                                  {},
                                  false,
                                  [](TProjectOptionsRecord& e) {
                                      e.StartPage = "a.html";
                                      e.WindowWidth = 640;
                                  },
                                  {"WindowHeight is 0"}},
                      Combination{"FileWithNothing",
                                  "",
                                  {},
                                  false,
                                  [](TProjectOptionsRecord&) {},
                                  {"StartPage is empty", "WindowWidth is 0", "WindowHeight is 0"}},
                      // A full-screen window takes the screen's size, so zero sizes do not matter.
                      Combination{"FullScreenNeedsNoSize",
                                  "StartPage=a.html\nWindowStyle=3\n",
                                  {},
                                  false,
                                  [](TProjectOptionsRecord& e) {
                                      e.StartPage = "a.html";
                                      e.WindowStyle = 3;
                                  },
                                  {}},
                      // What the file gives wins over the defaults, zeros included.
                      Combination{"DefaultsFillOnlyWhatIsLeftOut",
                                  "AllowPrint=0\nWindowWidth=800\n",
                                  {},
                                  true,
                                  [](TProjectOptionsRecord& e) {
                                      e = DefaultProjectOptions("home.html");
                                      e.AllowPrint = false;
                                      e.WindowWidth = 800;
                                  },
                                  {}},
                      // --set replaces a file's value and may be repeated; the last one wins.
                      Combination{"SetOverridesTheFile",
                                  "StartPage=a.html\nShowToolBar=1\n",
                                  {"ShowToolBar=0", "startpage = b.html", "StartPage=\"c d.html\""},
                                  true,
                                  [](TProjectOptionsRecord& e) {
                                      e = DefaultProjectOptions("c d.html");
                                      e.ShowToolBar = false;
                                  },
                                  {}}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(ProjectOptionsFile, ABadSetNamesTheArgument) {
    const std::pair<const char*, const char*> cases[] = {
        {"WindowWidth=wide", "--set WindowWidth=wide: WindowWidth needs a whole number"},
        {"AllowFnd=1", "--set AllowFnd=1: unknown key \"AllowFnd\"; did you mean AllowFind?"},
        {"ShowToolBar", "--set ShowToolBar: expected KEY=VALUE"},
    };
    for (const auto& [arg, message] : cases) {
        TProjectOptionsFile o;
        try {
            o.Set(arg);
            ADD_FAILURE() << arg << " accepted";
        } catch (const EOptionsError& e) {
            EXPECT_EQ(e.Message().rfind(message, 0), 0u) << e.Message();
        }
    }
}

TEST(ProjectOptionsFile, MissingFileIsAnOptionsErrorNamingIt) {
    try {
        TProjectOptionsFile::LoadIni("/nonexistent/dir/x.ini");
        FAIL() << "read";
    } catch (const EOptionsError& e) {
        EXPECT_NE(e.Message().find("/nonexistent/dir/x.ini"), std::string::npos);
    }
}

} // namespace
} // namespace kiva
