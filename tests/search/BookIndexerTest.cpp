#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "ArchiveStorageKey.h"
#include "BookIndexer.h"
#include "IndexCache.h"
#include "TestBook.h"

using namespace kiva;
using namespace kivatest;

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Paths(const TSearchResults& r) {
    std::vector<std::string> paths;
    for (const TSearchHit& h : r.Hits) {
        paths.push_back(h.Path);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Indexes the book to the end and returns what the indexer reported first.
TIndexProgress IndexAll(TBookIndexer& indexer) {
    std::mutex lock;
    std::optional<TIndexProgress> first;
    indexer.OnProgress = [&](const TIndexProgress& p) {
        std::lock_guard guard(lock);
        if (!first) {
            first = p;
        }
    };
    indexer.Start();
    indexer.Join();
    return first.value_or(TIndexProgress{});
}

struct Book {
    std::string File;
    std::unique_ptr<TZLBArc2> Arc;
};

Book OpenBook(const TempFolder& dir, const std::string& name, const std::vector<FEntry>& entries) {
    Book b{dir.Write(name, Build(entries)), std::make_unique<TZLBArc2>(nullptr)};
    b.Arc->VerifyArchiveCRC = false;
    b.Arc->OpenArchive(b.File);
    return b;
}

TEST(BookIndexer, BadPagesNeverStopTheRest) {
    TempFolder dir;
    std::string huge = "<title>Huge</title><p>needle ";
    while (huge.size() < kMaxPageBytes + (1u << 20)) {
        huge += "<p>filler words for a page far too long to read whole</p>\n";
    }
    huge += "<p>farewell</p>";
    FEntry damaged = Page("damaged.html", Html("Damaged", "Damaged", "needle"));
    damaged.stored = Deflate(damaged.content).substr(0, 12) + Bytes(40, 'x');
    const Book book = OpenBook(
        dir, "book.kvb",
        {Page("good.html", Html("Good", "Good", "needle in a good page")),
         Page("binary.html", "\x89PNG\r\n\x1A\n" + Bytes(64, '\0') + "needle"),
         Page("docs\\huge.HTM", huge), Page("secret.html", Html("Secret", "Secret", "needle"), 2),
         damaged, Page("latin1.xhtml", "<title>Caf\xE9</title><p>needle cr\xE8me</p>"),
         Page("style.css", "needle { color: red }"), Page("GOOD.html", "<p>needle twice</p>")});
    EXPECT_TRUE(TBookIndexer::HasEncryptedEntries(*book.Arc));
    TIndexSettings settings;
    settings.InMemory = true;
    TBookIndexer indexer(*book.Arc, settings);
    IndexAll(indexer);
    const TIndexProgress done = indexer.Progress();
    EXPECT_TRUE(done.Complete);
    EXPECT_EQ(done.Done, 6);
    EXPECT_EQ(done.Total, 6);
    EXPECT_EQ(indexer.Problem(), "");
    EXPECT_EQ(Paths(indexer.Search("needle", 20)),
              (std::vector<std::string>{"docs/huge.HTM", "good.html", "latin1.xhtml"}));
    EXPECT_EQ(Paths(indexer.Search("creme", 20)), (std::vector<std::string>{"latin1.xhtml"}));
    EXPECT_TRUE(indexer.Search("farewell", 20).Hits.empty());
}

TEST(BookIndexer, ProtectedBooksStayInMemory) {
    TempFolder dir;
    const Book book =
        OpenBook(dir, "book.kvb", {Page("a.html", Html("Alpha", "A", "secret text"))});
    EXPECT_FALSE(TBookIndexer::HasEncryptedEntries(*book.Arc));
    for (const bool inMemory : {true, false}) {
        const std::string root = dir.File(inMemory ? "memory-cache" : "disk-cache");
        TIndexSettings settings;
        settings.InMemory = inMemory;
        settings.CacheRoot = root;
        {
            TBookIndexer indexer(*book.Arc, settings);
            IndexAll(indexer);
            EXPECT_EQ(Paths(indexer.Search("secret", 5)), (std::vector<std::string>{"a.html"}));
        }
        EXPECT_EQ(fs::exists(IndexFileOf(root, ArchiveStorageKey(*book.Arc))), !inMemory);
        EXPECT_EQ(fs::exists(root), !inMemory) << "nothing may be written for a protected book";
    }
}

TEST(BookIndexer, ReusedForTheSameBookAndReplacedForANewEdition) {
    TempFolder dir;
    const std::string root = dir.File("cache");
    TIndexSettings settings;
    settings.CacheRoot = root;
    const std::vector<FEntry> first = {Page("a.html", Html("First", "A", "original words")),
                                       Page("b.html", Html("Other", "B", "other words"))};
    const Book book = OpenBook(dir, "book.kvb", first);
    const std::string oldIndex = IndexFileOf(root, ArchiveStorageKey(*book.Arc));
    {
        TBookIndexer indexer(*book.Arc, settings);
        IndexAll(indexer);
    }
    // A copy elsewhere whose page data is damaged has the same directory, so the index answers
    // for it without reading a page again.
    Bytes copy = Build(first);
    for (std::size_t i = 0; i < 30; ++i) {
        copy[i] = 'x';
    }
    const std::string copyFile = dir.Write("copy.kvb", copy);
    TZLBArc2 copyArc(nullptr);
    copyArc.VerifyArchiveCRC = false;
    copyArc.OpenArchive(copyFile);
    {
        TBookIndexer indexer(copyArc, settings);
        const TIndexProgress firstReport = IndexAll(indexer);
        EXPECT_TRUE(firstReport.Complete);
        EXPECT_EQ(firstReport.Done, 2);
        EXPECT_EQ(Paths(indexer.Search("original", 5)), (std::vector<std::string>{"a.html"}));
    }

    // A new edition at the first path gets an index of its own; the old one stays while the
    // copy still uses it, and goes once the copy too is a new edition.
    const std::vector<FEntry> second = {Page("a.html", Html("Second", "A", "revised words"))};
    for (const std::string& file : {book.File, copyFile}) {
        dir.Write(fs::path(file).filename().string(), Build(second));
        TZLBArc2 arc(nullptr);
        arc.VerifyArchiveCRC = false;
        arc.OpenArchive(file);
        TBookIndexer indexer(arc, settings);
        IndexAll(indexer);
        EXPECT_EQ(Paths(indexer.Search("revised", 5)), (std::vector<std::string>{"a.html"}));
        EXPECT_TRUE(indexer.Search("original", 5).Hits.empty());
        EXPECT_EQ(fs::exists(oldIndex), file == book.File) << file;
    }
}

TEST(BookIndexer, CancelledIndexingResumesWhereItStopped) {
    TempFolder dir;
    std::vector<FEntry> pages;
    for (int i = 0; i < 300; ++i) {
        const std::string n = std::to_string(i);
        pages.push_back(Page("p" + n + ".html", Html("Page " + n, "Heading", "common word" + n)));
    }
    const Book book = OpenBook(dir, "book.kvb", pages);
    TIndexSettings settings;
    settings.CacheRoot = dir.File("cache");
    int stoppedAt = 0;
    {
        TBookIndexer indexer(*book.Arc, settings);
        EXPECT_FALSE(indexer.Search("common", 5).Complete);
        EXPECT_EQ(indexer.Search("common", 5).Message, "");
        indexer.OnProgress = [&](const TIndexProgress& p) {
            if (p.Done > 0) {
                indexer.Cancel();
            }
        };
        indexer.Start();
        indexer.Join();
        stoppedAt = indexer.Progress().Done;
        EXPECT_FALSE(indexer.Progress().Complete);
        EXPECT_GT(stoppedAt, 0);
        EXPECT_LT(stoppedAt, 300);
        const TSearchResults partial = indexer.Search("common", 500);
        EXPECT_FALSE(partial.Complete);
        EXPECT_EQ(partial.Found, stoppedAt);
    }
    TBookIndexer indexer(*book.Arc, settings);
    EXPECT_EQ(IndexAll(indexer).Done, stoppedAt);
    EXPECT_TRUE(indexer.Progress().Complete);
    EXPECT_EQ(indexer.Search("common", 500).Found, 300);
}

TEST(BookIndexer, FirstPageChoosesTheStemming) {
    TempFolder dir;
    const Book book = OpenBook(dir, "book.kvb",
                               {Page("en.html", Html("English", "E", "archives")),
                                Page("de.html", Html("Deutsch", "D", "Archive Dateien", "de"))});
    for (const char* first : {"en.html", "de.html"}) {
        TIndexSettings settings;
        settings.InMemory = true;
        settings.FirstPage = first;
        TBookIndexer indexer(*book.Arc, settings);
        IndexAll(indexer);
        // English stemming finds the plural through the singular; a German book matches words
        // as they are.
        EXPECT_EQ(indexer.Search("archive", 5).Found, std::string(first) == "en.html" ? 2 : 1)
            << first;
    }
}

} // namespace
