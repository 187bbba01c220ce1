#include <gtest/gtest.h>

#include "PageText.h"
#include "SysUtils.h"

using namespace kiva;

namespace {

struct PageCase {
    const char* Name;
    std::string Html;
    std::string Title;
    std::string Headings;
    // Text the body must hold, and text it must not.
    std::vector<std::string> Has;
    std::vector<std::string> HasNot;
};

std::string Latin1Page(const std::string& meta) {
    // "Café" and "déjà" in ISO-8859-1 (and Windows-1252) bytes, and in Windows-1252 a euro sign.
    return "<html><head>" + meta + "<title>Caf\xE9</title></head><body><p>d\xE9j\xE0 vu \x80</p>";
}

std::vector<PageCase> PageCases() {
    return {
        {"MarkupScriptsAndStylesLeftOut",
         "<html><head><title>T</title><style>p{color:red}</style>"
         "<script>var hidden = 'scriptword';</script></head><body><p>Plain <b>bold</b> "
         "<a href='x'>link</a></p><noscript>enable scripts</noscript>"
         "<template>templateword</template><!-- commentword --></body></html>",
         "T",
         "",
         {"Plain bold link"},
         {"scriptword", "color", "enable scripts", "templateword", "commentword", "<", "href"}},
        {"EntitiesDecoded",
         "<title>Fish &amp; Chips</title><p>caf&eacute; &lt;tag&gt; &#x65E5;&#26412; &nbsp;x</p>",
         "Fish & Chips",
         "",
         {"caf\xC3\xA9 <tag> \xE6\x97\xA5\xE6\x9C\xAC"},
         {"&amp;", "&eacute;"}},
        {"HeadingsApartBlocksSeparated",
         "<title>A</title><h1>First</h1><div>one</div><div>two</div><h3>Third <i>part</i></h3>"
         "<table><tr><td>cell1</td><td>cell2</td></tr></table>",
         "A",
         "First Third part",
         {"First one two Third part cell1 cell2"},
         {"onetwo", "cell1cell2"}},
        {"WhiteSpaceAndControlsCollapsed",
         "<title>\n  Spaced \t title </title><p>a\n\n\tb\x01\x02 c</p>",
         "Spaced title",
         "",
         {"a b c"},
         {"\x01", "\x02", "\n"}},
        {"MalformedMarkupRecovered",
         "<title>Broken</title><p>unclosed <b>bold <i>nest</b> end</i><div><span>x</td></tr>y"
         "</html></html><h2>late",
         "Broken",
         "late",
         {"unclosed bold nest end", "late"},
         {}},
        {"DeclaredCharsetUsed",
         Latin1Page("<meta charset=\"iso-8859-1\">"),
         "Caf\xC3\xA9",
         "",
         {"d\xC3\xA9j\xC3\xA0 vu \xC2\x80"},
         {}},
        {"DeclaredInHttpEquiv",
         Latin1Page("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\">"),
         "Caf\xC3\xA9",
         "",
         {"d\xC3\xA9j\xC3\xA0"},
         {}},
        {"UndeclaredNotUtf8IsWindows1252",
         Latin1Page(""),
         "Caf\xC3\xA9",
         "",
         {"d\xC3\xA9j\xC3\xA0 vu \xE2\x82\xAC"},
         {}},
        {"UnknownCharsetFallsBack",
         Latin1Page("<meta charset=\"x-no-such-charset\">"),
         "Caf\xC3\xA9",
         "",
         {"d\xC3\xA9j\xC3\xA0 vu \xE2\x82\xAC"},
         {}},
        {"UndeclaredUtf8StaysUtf8",
         "<title>Caf\xC3\xA9</title><p>\xE6\x97\xA5\xE6\x9C\xAC</p>",
         "Caf\xC3\xA9",
         "",
         {"\xE6\x97\xA5\xE6\x9C\xAC"},
         {}},
        {"Utf16WithByteOrderMark",
         std::string("\xFF\xFE<\0t\0i\0t\0l\0e\0>\0O\0k\0<\0/\0t\0i\0t\0l\0e\0>\0", 34),
         "Ok",
         "",
         {},
         {}},
    };
}

class PageTextCases : public testing::TestWithParam<PageCase> {};

TEST_P(PageTextCases, HoldsWhatAReaderSees) {
    const PageCase& c = GetParam();
    const TPageText page = ExtractPageText(c.Html);
    EXPECT_EQ(page.Title, c.Title);
    EXPECT_EQ(page.Headings, c.Headings);
    for (const std::string& s : c.Has) {
        EXPECT_NE(page.Body.find(s), std::string::npos) << s << " in " << page.Body;
    }
    for (const std::string& s : c.HasNot) {
        EXPECT_EQ(page.Body.find(s), std::string::npos) << s << " in " << page.Body;
    }
    EXPECT_TRUE(IsValidUtf8(page.Title + page.Headings + page.Body));
}

INSTANTIATE_TEST_SUITE_P(Pages, PageTextCases, testing::ValuesIn(PageCases()),
                         [](const testing::TestParamInfo<PageCase>& i) { return i.param.Name; });

TEST(PageText, LangOfTheHtmlElement) {
    EXPECT_EQ(ExtractPageText("<html lang='de-CH'><title>x</title></html>").Lang, "de-CH");
    EXPECT_EQ(ExtractPageText("<html xml:lang='fr'><p>x</p></html>").Lang, "fr");
    EXPECT_EQ(ExtractPageText("<p>no lang</p>").Lang, "");
}

TEST(PageText, BinaryContentIsNoPage) {
    const std::string binary("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
    EXPECT_THROW(ExtractPageText(binary), Exception);
}

TEST(PageText, HugePagesAreReadUpToTheCaps) {
    // A page of 50 MB: its start is read, its end is not, and the text stays within its cap.
    std::string html = "<title>Huge</title><p>beginning ";
    const std::string filler = "<p>lorem ipsum dolor sit amet \xC3\xA9t\xC3\xA9</p>\n";
    while (html.size() < (50u << 20)) {
        html += filler;
    }
    html += "<p>farewell</p>";
    const TPageText page = ExtractPageText(html);
    EXPECT_TRUE(page.Truncated);
    EXPECT_EQ(page.Title, "Huge");
    EXPECT_EQ(page.Body.rfind("beginning", 0), 0u);
    EXPECT_EQ(page.Body.find("farewell"), std::string::npos);
    EXPECT_LE(page.Body.size(), kMaxPageTextBytes);
    EXPECT_TRUE(IsValidUtf8(page.Body));

    // A page that stops in the middle of a character at the byte cap is still UTF-8, not
    // Windows-1252.
    std::string cut = "<title>Cut</title><p>\xC3\xA9";
    cut.append(kMaxPageBytes - cut.size() - 1, 'a');
    cut += "\xC3\xA9";
    EXPECT_NE(ExtractPageText(cut).Body.find("\xC3\xA9"), std::string::npos);
}

} // namespace
