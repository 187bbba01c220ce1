// kvb search as users run it, with the user's cache in a folder of the test's own.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <sstream>

#include "ArchiveStorageKey.h"
#include "BookIndexer.h"
#include "IndexCache.h"
#include "KvbSearch.h"
#include "TestBook.h"

using namespace kiva;
using namespace kivatest;

namespace {

// The cache folder must be set before anything asks GLib for it.
class CacheHome : public testing::Environment {
public:
    void SetUp() override {
        folder_ = std::make_unique<TempFolder>();
        ::setenv("XDG_CACHE_HOME", folder_->Path().c_str(), 1);
    }
    void TearDown() override { folder_.reset(); }

private:
    std::unique_ptr<TempFolder> folder_;
};
const testing::Environment* const kCacheHome = testing::AddGlobalTestEnvironment(new CacheHome);

struct SearchRun {
    int Status;
    std::string Out;
    std::string Err;
};

SearchRun Search(std::vector<std::string> args) {
    std::ostringstream out, err;
    std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
    const int status = RunSearchCommand(args);
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    return {status, out.str(), err.str()};
}

std::vector<FEntry> Pages() {
    return {
        Page("index.html", Html("Start", "Welcome", "see the zipfile page")),
        Page("library\\zipfile.html", Html("zipfile \xE2\x80\x94 ZIP\tarchives", "ZipInfo Objects",
                                           "the ZipInfo class describes a member")),
        Page("library\\json.html", Html("json", "Basic usage", "json dumps and loads"))};
}

TEST(KvbSearch, ExitStatusAndOutput) {
    TempFolder dir;
    const std::string book = dir.Write("book.kvb", Build(Pages()));
    const std::string junk = dir.Write("junk.kvb", "not a book at all, just some bytes");
    struct Case {
        std::vector<std::string> Args;
        int Status;
        std::string Out;
        const char* ErrText;
    };
    const Case cases[] = {
        {{book, "ZipInfo"}, 0, "1\tlibrary/zipfile.html\tzipfile \xE2\x80\x94 ZIP archives\n", ""},
        {{book, "zipfile", "--limit", "1"}, 0, "1\tlibrary/zipfile.html\t", ""},
        {{"--limit=5", book, "json", "dumps"}, 0, "1\tlibrary/json.html\tjson\n", ""},
        {{book, "nowhere"}, 1, "", ""},
        {{book, "*"}, 2, "", "Type one or more words"},
        {{book}, 2, "", "no query given"},
        {{}, 2, "", "no book given"},
        {{book, "x", "--limit", "0"}, 2, "", "--limit takes"},
        {{book, "x", "--limit"}, 2, "", "needs a value"},
        {{book, "x", "--frobnicate"}, 2, "", "unknown option"},
        {{dir.File("missing.kvb"), "x"}, 2, "", "Archive file not found"},
        {{junk, "x"}, 2, "", "cannot read"},
    };
    for (const Case& c : cases) {
        const SearchRun r = Search(c.Args);
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        EXPECT_EQ(r.Out.rfind(c.Out, 0), 0u) << r.Out;
        EXPECT_NE(r.Err.find(c.ErrText), std::string::npos) << r.Err;
    }
}

TEST(KvbSearch, UsesTheViewersIndexWhenItIsComplete) {
    TempFolder dir;
    const std::vector<FEntry> pages = Pages();
    const std::string book = dir.Write("book.kvb", Build(pages));
    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = false;
    arc.OpenArchive(book);
    {
        TBookIndexer indexer(arc, TIndexSettings{});
        indexer.Start();
        indexer.Join();
        ASSERT_TRUE(indexer.Progress().Complete);
    }
    // Damaged page data leaves the directory, and so the book's key, as it was: only the
    // viewer's index can still find the first page.
    Bytes damaged = Build(pages);
    for (std::size_t i = 0; i < 20; ++i) {
        damaged[i] = 'x';
    }
    dir.Write("book.kvb", damaged);
    EXPECT_EQ(Search({book, "welcome"}).Status, 0);
    std::filesystem::remove_all(
        std::filesystem::path(IndexFileOf(DefaultBooksCacheRoot(), ArchiveStorageKey(arc)))
            .parent_path());
    EXPECT_EQ(Search({book, "welcome"}).Status, 1);
    EXPECT_EQ(Search({book, "ZipInfo"}).Status, 0);
}

} // namespace
