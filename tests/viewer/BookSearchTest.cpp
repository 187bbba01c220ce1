// Searching the whole book from the tool bar: the results page the viewer makes, and the form
// that builds the index, shows the results and marks the words on a page opened from them.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "FormFixture.h"
#include "SearchResultsPage.h"

namespace kiva {
namespace {

using test::Form1Test;
using test::SampleOptions;
using test::TCallLog;
using test::TOptionsRecord;

TSearchResults SomeResults() {
    TSearchResults r;
    r.Found = 2;
    r.Complete = true;
    r.PagesIndexed = r.PagesTotal = 7;
    TSearchHit hit;
    hit.Rank = 1;
    hit.Path = "docs/a b.html";
    hit.Title = "Zip & <archives>";
    hit.Excerpt = {{"reads ", false}, {"archives", true}, {" <script>alert(1)</script>", false}};
    r.Hits.push_back(hit);
    hit.Rank = 2;
    hit.Path = "caf\xC3\xA9.html";
    hit.Title = "\"quoted\"";
    hit.Excerpt = {{"ARCHIVE", true}};
    r.Hits.push_back(hit);
    return r;
}

// Nothing of the book or the query becomes markup: the page is the viewer's, and it runs no
// scripts whatever the book's titles and texts hold.
TEST(SearchResultsPage, ShowsTheResultsAndEscapesEverythingOfTheBook) {
    const std::string html = SearchResultsHtml("<b>zip\" & 'archives'", SomeResults());
    EXPECT_NE(html.find("<title>Search: &lt;b&gt;zip&quot; &amp; &#39;archives&#39;</title>"),
              std::string::npos);
    EXPECT_NE(html.find("2 pages found"), std::string::npos);
    EXPECT_NE(html.find("<a href=\"kiva://bundle/docs/a%20b.html\">Zip &amp; &lt;archives&gt;</a>"),
              std::string::npos);
    EXPECT_NE(html.find("<div class=\"path\">docs/a b.html</div>"), std::string::npos);
    EXPECT_NE(html.find("reads <mark>archives</mark> &lt;script&gt;"), std::string::npos);
    EXPECT_NE(html.find("href=\"kiva://bundle/caf%C3%A9.html\">&quot;quoted&quot;</a>"),
              std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("still being indexed"), std::string::npos);
}

TEST(SearchResultsPage, SaysWhatItCouldNotSearch) {
    const struct {
        const char* Name;
        int Found;
        bool Complete;
        std::string Message;
        const char* Expected;
    } cases[] = {
        {"none", 0, true, "", "No pages found"},
        {"one", 1, true, "", "1 page found"},
        {"partial", 3, false, "", "still being indexed: 4 of 9 pages searched so far"},
        {"nothing to search for", 0, true, "Type one or more words to search for.",
         "Type one or more words to search for."},
    };
    for (const auto& c : cases) {
        TSearchResults r;
        r.Found = c.Found;
        r.Complete = c.Complete;
        r.PagesIndexed = 4;
        r.PagesTotal = 9;
        r.Message = c.Message;
        EXPECT_NE(SearchResultsHtml("q", r).find(c.Expected), std::string::npos) << c.Name;
    }
}

TEST(SearchResultsPage, AddressesCarryAnyQuery) {
    for (const std::string query :
         {"json dumps", "a&b=c#d", "100% caf\xC3\xA9", "\"zip file\" x*"}) {
        const std::string url = SearchResultsUrl(query);
        EXPECT_EQ(url.rfind("kiva-viewer:search?q=", 0), 0u) << url;
        EXPECT_EQ(url.find_first_of(" &#\""), std::string::npos) << url;
        EXPECT_EQ(QueryOfSearchResultsUrl(url), query);
    }
    EXPECT_EQ(QueryOfSearchResultsUrl("kiva://bundle/search?q=x"), std::nullopt);
    EXPECT_EQ(QueryOfSearchResultsUrl("kiva-viewer:other?q=x"), std::nullopt);
}

// The form with a book of a few pages whose options allow Find, or not.
class SearchTest : public Form1Test {
protected:
    void StartBook(bool allowFind) {
        TOptionsRecord options = SampleOptions();
        if (!allowFind) {
            options.Flag(projopt::AllowFind, false);
        }
        std::vector<test::TEntrySpec> entries = {{"-config-", options.Str()}};
        entries.push_back({"index.html", "<title>Home</title><p>Welcome.</p>"});
        entries.push_back({"docs\\zip.html", "<title>Zip files</title><p>Reading archives.</p>"});
        entries.push_back({"docs\\json.html", "<title>JSON</title><p>Encoders.</p>"});
        Start({Archive("book.kvb", entries)});
    }
    // Shows the first page's title, which starts the index, and waits until it is complete
    // and its last progress has reached the window.
    bool IndexBuilt() {
        TWebBrowserEventParams title;
        title.Text = u"Home";
        Browser().Fire(DISPID_TITLECHANGE, title);
        for (int i = 0; i < 1000; ++i) {
            const std::optional<std::string> page =
                form->Book->Web().ViewerPages(SearchResultsUrl("x"));
            if (page && page->find("still being indexed") == std::string::npos) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                view.RunPosted();
                return true;
            }
            view.RunPosted();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

TEST_F(SearchTest, TheFieldAndItsKeyGoWithFind) {
    StartBook(false);
    ASSERT_FALSE(form->ProjectOptions.AllowFind);
    EXPECT_FALSE(view.SearchFieldVisible);
    log.clear();
    EXPECT_FALSE(form->ShortcutKey(TShortcut::scSearchBook));
    form->SearchBook("archives");
    EXPECT_EQ(log, TCallLog{});
    Finish();

    StartBook(true);
    EXPECT_TRUE(view.SearchFieldVisible);
    log.clear();
    EXPECT_TRUE(form->ShortcutKey(TShortcut::scSearchBook));
    EXPECT_EQ(log, TCallLog{"FocusSearchField"});
}

TEST_F(SearchTest, ResultsComeFromTheIndexAndMarkTheWordsOnThePageOpened) {
    StartBook(true);
    ASSERT_TRUE(IndexBuilt());
    EXPECT_TRUE(Logged("Status Indexing the book: 3 of 3 pages"));
    EXPECT_EQ(view.StatusText, "");
    log.clear();
    form->SearchBook("  archive  ");
    ASSERT_EQ(log, TCallLog{"Navigate kiva-viewer:search?q=archive"});

    // The browser asks for the page; stemming found "archives".
    const TWebSession& web = form->Book->Web();
    const std::optional<std::string> page = web.ViewerPages("kiva-viewer:search?q=archive");
    ASSERT_TRUE(page);
    EXPECT_NE(page->find("<title>Search: archive</title>"), std::string::npos);
    EXPECT_NE(page->find("href=\"kiva://bundle/docs/zip.html\""), std::string::npos);
    EXPECT_EQ(web.ViewerPages("kiva-viewer:elsewhere"), std::nullopt);

    // Opened from the results page, the page shows where the words are once it is complete.
    Browser().Location = "kiva-viewer:search?q=archive";
    TWebBrowserEventParams go;
    go.URL = u"kiva://bundle/docs/zip.html";
    Browser().Fire(DISPID_BEFORENAVIGATE2, go);
    Browser().Location = "kiva://bundle/docs/zip.html";
    log.clear();
    Browser().CompleteDocument(u"kiva://bundle/docs/Zip.html");
    EXPECT_EQ(log, TCallLog{"FindText archives"});
    // Only once, and never for a page opened from elsewhere.
    log.clear();
    Browser().CompleteDocument(u"kiva://bundle/docs/zip.html");
    go.URL = u"kiva://bundle/docs/zip.html";
    Browser().Fire(DISPID_BEFORENAVIGATE2, go);
    Browser().CompleteDocument(u"kiva://bundle/docs/zip.html");
    EXPECT_EQ(log, TCallLog{});
}

TEST_F(SearchTest, IndexProgressShowsOnlyWhenTheStatusBarIsFree) {
    StartBook(true);
    TWebBrowserEventParams status;
    status.Text = u"kiva://bundle/docs/zip.html";
    Browser().Fire(DISPID_STATUSTEXTCHANGE, status);
    ASSERT_TRUE(IndexBuilt());
    // The link under the pointer stayed; the progress shows once it is gone.
    EXPECT_FALSE(Logged("Status Indexing the book: 3 of 3 pages"));
}

} // namespace
} // namespace kiva
