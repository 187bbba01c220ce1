#include <gtest/gtest.h>

#include <algorithm>

#include "PageText.h"
#include "SearchIndex.h"
#include "SearchTokenizer.h"
#include "TestBook.h"

using namespace kiva;

namespace {

struct FPage {
    const char* Path;
    std::string Html;
};

// One small book whose pages each show one thing a query must find, or not.
const std::vector<FPage>& Pages() {
    static const std::vector<FPage> pages = {
        {"rank/title.html", kivatest::Html("Gardening tools", "Tools", "spades and rakes")},
        {"rank/heading.html", kivatest::Html("Misc", "Gardening", "other things entirely")},
        {"rank/text.html",
         kivatest::Html("Notes", "Notes", "we talk about gardening, and gardening, and more")},
        {"rank/text-once.html", kivatest::Html("Jottings", "Jottings",
                                               "a long page that mentions gardening once among "
                                               "many other words about weather and cooking")},
        {"cafe.html", kivatest::Html("Le caf\xC3\xA9", "Menu",
                                     "un caf\xC3\xA9 cr\xC3\xA8me \xC3\xA0 Z\xC3\xBCrich", "fr")},
        {"formats.html", kivatest::Html("Formats", "Formats", "this archive format packs pages")},
        {"fox.html", kivatest::Html("Fox", "Fox", "the quick brown fox jumps over the dog")},
        {"order.html", kivatest::Html("Order", "Order", "brown is the fox, quick is the dog")},
        {"config.html", kivatest::Html("Setup", "Setup", "the configuration of the viewer")},
        {"ja.html",
         kivatest::Html("\xE6\x97\xA5\xE6\x9C\xAC", "\xE8\xA6\x8B\xE5\x87\xBA\xE3\x81\x97",
                        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86"
                        "\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88",
                        "ja")},
        {"operators.html",
         kivatest::Html("Operators", "Operators", "near and or not title column: star * quote")},
    };
    return pages;
}

class SearchIndexTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        index_ = new TSearchIndex(TSearchIndex::NewMemoryName(), true);
        index_->Prepare("key", true);
        index_->Begin();
        for (const FPage& p : Pages()) {
            const TPageText text = ExtractPageText(p.Html);
            index_->AddPage(p.Path, &text);
        }
        index_->AddPage("unreadable.html", nullptr);
        index_->Commit();
    }
    static void TearDownTestSuite() {
        delete index_;
        index_ = nullptr;
    }

    static std::vector<std::string> Paths(const TSearchResults& r) {
        std::vector<std::string> paths;
        for (const TSearchHit& h : r.Hits) {
            paths.push_back(h.Path);
        }
        return paths;
    }

    static TSearchIndex* index_;
};

TSearchIndex* SearchIndexTest::index_ = nullptr;

struct QueryCase {
    const char* Name;
    const char* Query;
    // The pages found, in rank order when Ordered, else in any order.
    std::vector<std::string> Found;
    bool Ordered = false;
};

class SearchQueries : public SearchIndexTest, public testing::WithParamInterface<QueryCase> {};

TEST_P(SearchQueries, FindExactlyTheirPages) {
    const QueryCase& c = GetParam();
    const TSearchResults r = index_->Search(c.Query, 50);
    EXPECT_EQ(r.Message, "");
    std::vector<std::string> paths = Paths(r);
    std::vector<std::string> expected = c.Found;
    if (!c.Ordered) {
        std::sort(paths.begin(), paths.end());
        std::sort(expected.begin(), expected.end());
    }
    EXPECT_EQ(paths, expected);
    EXPECT_EQ(r.Found, static_cast<int>(expected.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Queries, SearchQueries,
    testing::Values(
        QueryCase{"TitleThenHeadingThenText",
                  "gardening",
                  {"rank/title.html", "rank/heading.html", "rank/text.html", "rank/text-once.html"},
                  true},
        QueryCase{"WordsInAnyOrder", "fox quick", {"fox.html", "order.html"}},
        QueryCase{"PhraseInItsOrder", "\"quick brown\"", {"fox.html"}},
        QueryCase{"PhraseAndWord", "\"brown fox\" dog", {"fox.html"}},
        QueryCase{"AllWordsMustOccur", "fox configuration", {}},
        QueryCase{"Prefix", "config*", {"config.html"}}, QueryCase{"NoPrefixNoMatch", "config", {}},
        QueryCase{"ShortPrefix", "co*", {"config.html", "operators.html", "rank/text-once.html"}},
        QueryCase{"OneLetterIsAWord", "a*", {"cafe.html", "rank/text-once.html"}},
        QueryCase{"CaseIgnored", "QUICK BROWN", {"fox.html", "order.html"}},
        QueryCase{"AccentsIgnored", "cafe zurich", {"cafe.html"}},
        QueryCase{"AccentsInTheQueryIgnored", "CAF\xC3\x89 cr\xC3\xA8me", {"cafe.html"}},
        QueryCase{"StemmedPlural", "archives", {"formats.html"}},
        QueryCase{"StemmedVerb", "packing", {"formats.html"}},
        QueryCase{"CjkWord", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", {"ja.html"}},
        QueryCase{"CjkInsideARun", "\xE6\x9C\xAC\xE8\xAA\x9E", {"ja.html"}},
        QueryCase{"CjkOneCharacter", "\xE8\xAA\x9E", {"ja.html"}},
        QueryCase{"CjkKatakana", "\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88", {"ja.html"}},
        QueryCase{"CjkWrongOrder", "\xE8\xAA\x9E\xE6\x97\xA5", {}},
        QueryCase{"OperatorsAreWords", "NEAR( OR NOT", {"operators.html"}},
        QueryCase{"ColumnFilterIsText", "title: operators", {"operators.html"}},
        QueryCase{"UnbalancedQuoteIsWords", "\"brown quick", {"fox.html", "order.html"}}),
    [](const testing::TestParamInfo<QueryCase>& i) { return i.param.Name; });

TEST_F(SearchIndexTest, QueriesTheEngineWouldRejectNeverFail) {
    const char* const queries[] = {"\"",  "*",      "**",      "NEAR(",     "NEAR(a b",
                                   "AND", "a OR",   "NOT",     "title:",    "{title}: x",
                                   "^",   "\"\"\"", "x:y:z",   "(((",       ")",
                                   "-",   "+fox",   "fox*\"*", "col:\"a\"", "\xFF\xFE"};
    for (const char* q : queries) {
        const TSearchResults r = index_->Search(q, 10);
        EXPECT_TRUE(r.Message.empty() || r.Message == "Type one or more words to search for.")
            << q << ": " << r.Message;
    }
    EXPECT_EQ(index_->Search("   ", 10).Message, "Type one or more words to search for.");
}

TEST_F(SearchIndexTest, ExcerptsMarkTheMatchedWords) {
    struct Case {
        const char* Query;
        const char* Path;
        std::vector<std::string> Marked;
    };
    const Case cases[] = {
        {"fox", "fox.html", {"Fox", "fox"}},
        {"\"quick brown\"", "fox.html", {"quick brown"}},
        {"jumping", "fox.html", {"jumps"}},
        {"cafe", "cafe.html", {"caf\xC3\xA9"}},
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
         "ja.html",
         {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"}},
    };
    for (const Case& c : cases) {
        const TSearchResults r = index_->Search(c.Query, 10);
        auto hit = std::find_if(r.Hits.begin(), r.Hits.end(),
                                [&](const TSearchHit& h) { return h.Path == c.Path; });
        ASSERT_NE(hit, r.Hits.end()) << c.Query;
        std::vector<std::string> marked;
        std::string whole;
        for (const TExcerptPart& part : hit->Excerpt) {
            if (part.Marked) {
                marked.push_back(part.Text);
            }
            whole += part.Text;
        }
        EXPECT_EQ(marked, c.Marked) << c.Query << " in " << whole;
        EXPECT_EQ(whole.find(kExcerptMarkStart), std::string::npos);
    }
}

TEST_F(SearchIndexTest, LimitKeepsTheBestAndCountsAll) {
    const TSearchResults r = index_->Search("gardening", 2);
    EXPECT_EQ(Paths(r), (std::vector<std::string>{"rank/title.html", "rank/heading.html"}));
    EXPECT_EQ(r.Found, 4);
    EXPECT_EQ(r.Hits[0].Rank, 1);
    EXPECT_EQ(r.Hits[1].Rank, 2);
    EXPECT_EQ(r.Hits[0].Title, "Gardening tools");
}

} // namespace
