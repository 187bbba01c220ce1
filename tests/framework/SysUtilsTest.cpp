#include "SysUtils.h"
#include "Sha256.h"

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

TEST(Text, Windows1252AndUtf8) {
    // Each row: the Windows-1252 bytes and their UTF-8 form.
    const struct {
        std::string cp1252;
        std::string utf8;
    } cases[] = {
        {"plain.html", "plain.html"},
        {"caf\xE9.html", "caf\xC3\xA9.html"},
        {"\x80 \x9F \xFF", "\xE2\x82\xAC \xC5\xB8 \xC3\xBF"},
        {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
        {"\x93quoted\x94", "\xE2\x80\x9Cquoted\xE2\x80\x9D"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Cp1252ToUtf8(c.cp1252), c.utf8) << c.cp1252;
        EXPECT_EQ(Utf8ToCp1252(c.utf8), c.cp1252) << c.utf8;
        EXPECT_TRUE(IsValidUtf8(c.utf8));
        EXPECT_EQ(ArchiveText(c.cp1252), c.utf8);
        EXPECT_EQ(ArchiveText(c.utf8), c.utf8);
    }
    // Not UTF-8: truncated, overlong, surrogate, stray continuation, beyond U+10FFFF.
    for (const std::string bad :
         {"\xC3", "\xE2\x82", "\xC0\xAF", "\xED\xA0\x80", "\x80", "\xF4\x90\x80\x80", "a\xFF"}) {
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;
        EXPECT_FALSE(Utf8ToCp1252(bad).has_value());
    }
    // Characters Windows-1252 does not have.
    EXPECT_FALSE(Utf8ToCp1252("\xE4\xB8\xAD").has_value());
    EXPECT_FALSE(Utf8ToCp1252("\xF0\x9F\x98\x80").has_value());
    EXPECT_TRUE(IsValidUtf8("\xF0\x9F\x98\x80"));
}

TEST(Sha256, KnownDigests) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        TSha256 sha;
        // Fed in uneven pieces, so block boundaries fall everywhere.
        for (std::size_t at = 0, step = 1; at < c.input.size();
             at += step, step = step * 3 % 97 + 1) {
            sha.Add(std::string_view(c.input).substr(at, step));
        }
        EXPECT_EQ(sha.HexDigest(), c.digest) << c.input.size();
    }
}
