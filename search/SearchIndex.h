#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "PageText.h"
#include "SysUtils.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kiva {

// A stretch of an excerpt; marked stretches are the words the query matched.
struct TExcerptPart {
    std::string Text;
    bool Marked = false;
    bool operator==(const TExcerptPart&) const = default;
};

struct TSearchHit {
    // 1 for the best match.
    int Rank = 0;
    // The page's entry name with "/" between folders, in UTF-8.
    std::string Path;
    // The page's title, or its file name when it has none.
    std::string Title;
    std::vector<TExcerptPart> Excerpt;
    // The page's row in the index.
    std::int64_t Id = 0;
};

struct TSearchResults {
    std::vector<TSearchHit> Hits;
    // Pages that match, of which Hits holds the best.
    int Found = 0;
    // The index held every page of the book when the query ran.
    bool Complete = false;
    int PagesIndexed = 0;
    int PagesTotal = 0;
    // Why the query found nothing to search for or could not run, for the reader; empty
    // otherwise.
    std::string Message;
};

struct TSqliteCloser {
    void operator()(sqlite3* db) const noexcept;
};
struct TStatementFinalizer {
    void operator()(sqlite3_stmt* s) const noexcept;
};
using TSqlite = std::unique_ptr<sqlite3, TSqliteCloser>;
using TStatement = std::unique_ptr<sqlite3_stmt, TStatementFinalizer>;

// One connection to a book's index: a SQLite database whose full-text table holds each page's
// title, headings and text, with the text kept deflated for the excerpts. A file on disk (in
// WAL mode, so that one connection writes while others read), or a database in memory that
// connections of this process share by name and that goes with the last of them.
class TSearchIndex {
public:
    // Changes whenever the tables or the tokenizer change; an index of another format is
    // built again.
    static constexpr int kFormat = 1;

    // A file (created when missing) or, with inMemory, the shared database of that name.
    // Raises Exception when it cannot be opened.
    TSearchIndex(const std::string& name, bool inMemory);
    // An existing file, for reading only.
    static std::unique_ptr<TSearchIndex> OpenReadOnly(const std::string& file);
    static std::string NewMemoryName();

    // The stored value of a setting, empty when there is none or the file is not an index.
    std::string Meta(const std::string& name) const;
    // Creates the tables when missing; stem chooses English stemming. Records the book's key.
    void Prepare(const std::string& storageKey, bool stem);
    // Names the copy of the book on disk that uses this index, and drops a name.
    void AddBookPath(const std::string& path);
    bool RemoveBookPath(const std::string& path);
    int BookPathCount() const;
    void SetMeta(const std::string& name, const std::string& value);

    // The paths of the pages indexed so far.
    std::set<std::string> IndexedPaths() const;
    void Begin();
    void Commit();
    void Rollback() noexcept;
    // Marks the index complete, merges its parts for the fastest queries and, on disk, folds
    // the write-ahead log into the file.
    void Finish();
    // Adds a page; page null records it as unreadable, so that it is not tried again.
    void AddPage(const std::string& path, const TPageText* page);

    // The best pages for a query, best first, at most limit of them with their excerpts.
    TSearchResults Search(const std::string& query, int limit) const;

    // Makes a statement running on this connection (on any thread) stop with an error.
    void Interrupt() noexcept;
    // Waits no longer than this for another connection's lock.
    void SetBusyTimeout(int milliseconds);

private:
    void Exec(const char* sql) const;
    TStatement Statement(const char* sql) const;
    [[noreturn]] void Fail(const char* what) const;

    TSearchIndex() = default;
    void Open(const std::string& uri, int flags);

    TSqlite db_;
    bool inMemory_ = false;
};

// Raised when the index's file is damaged or of another kind, so that it should be replaced.
class EIndexDamaged : public Exception {
public:
    using Exception::Exception;
};

} // namespace kiva
