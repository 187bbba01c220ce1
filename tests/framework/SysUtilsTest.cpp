#include "SysUtils.h"

#include <gtest/gtest.h>

using namespace kiva;

TEST(Format, FillsMarkersInOrder) {
    EXPECT_EQ(Format("%s not found in archive", std::string("a\\b")), "a\\b not found in archive");
    EXPECT_EQ(Format("(v%d)", 4294967295u), "(v4294967295)");
    EXPECT_EQ(Format("%d%% of %s", 50, "x"), "50% of x");
    // Markers without arguments stay, so a wrong template never throws.
    EXPECT_EQ(Format("%s and %s", "one"), "one and %s");
    EXPECT_EQ(Format("%s", "100%d"), "100%d");
    EXPECT_EQ(Format("trailing %"), "trailing %");
}

TEST(FileNames, ExtensionPathAndNameRules) {
    const struct {
        const char* in;
        const char* ext;
        const char* path;
        const char* name;
    } cases[] = {
        {"ui\\common.js", ".js", "ui\\", "common.js"},
        {"archive.tar.gz", ".gz", "", "archive.tar.gz"},
        {"folder.d\\file", "", "folder.d\\", "file"},
        {"C:name", "", "C:", "name"},
        {"C:.hidden", ".hidden", "C:", ".hidden"},
        {"noext", "", "", "noext"},
        {"dot.", ".", "", "dot."},
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractFileExt(c.in), c.ext) << c.in;
        EXPECT_EQ(ExtractFilePath(c.in), c.path) << c.in;
        EXPECT_EQ(ExtractFileName(c.in), c.name) << c.in;
    }
}

TEST(Text, CaseFoldingTouchesOnlyAsciiLetters) {
    EXPECT_EQ(AnsiLowerCaseAscii("UI\\Common.JS\xC4"), "ui\\common.js\xC4");
    EXPECT_TRUE(SameTextAscii("ABC[", "abc["));
    EXPECT_FALSE(SameTextAscii("@", "`")); // neighbours of the letter range
    EXPECT_FALSE(SameTextAscii("\xC4", "\xE4"));
    EXPECT_EQ(Trim(" \t secret \r\n"), "secret");
    EXPECT_EQ(Trim("\x01\x1F"), "");
}
