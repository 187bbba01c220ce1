#include "SearchIndex.h"

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>

#include "SearchQuery.h"
#include "SearchTokenizer.h"

namespace kiva {

void TSqliteCloser::operator()(sqlite3* db) const noexcept {
    sqlite3_close_v2(db);
}

void TStatementFinalizer::operator()(sqlite3_stmt* s) const noexcept {
    sqlite3_finalize(s);
}

namespace {

// Pages whose titles match come first, then those whose headings match, then the rest; within
// each tier the engine's BM25 ranks them, with weights that still favour a word in the title
// or a heading.
constexpr const char* kSearchSql =
    "SELECT p.path, p.title, p.id FROM ("
    " SELECT rowid AS id,"
    "  (rowid IN (SELECT rowid FROM idx WHERE idx MATCH ?2)) * 2 +"
    "  (rowid IN (SELECT rowid FROM idx WHERE idx MATCH ?3)) AS tier,"
    "  bm25(idx, 10.0, 4.0, 1.0) AS score"
    " FROM idx WHERE idx MATCH ?1 ORDER BY tier DESC, score LIMIT ?4) r"
    " JOIN pages p ON p.id = r.id ORDER BY r.tier DESC, r.score, p.path";

// The same when enough titles match to fill the results: ranking costs time for every page it
// looks at, and a common word may stand in every page's text but in few titles. The plus sign
// keeps the engine from running the query once for every page the titles name.
constexpr const char* kTitlesSql =
    "SELECT p.path, p.title, p.id FROM ("
    " SELECT rowid AS id, bm25(idx, 10.0, 4.0, 1.0) AS score FROM idx"
    " WHERE idx MATCH ?1 AND +rowid IN (SELECT rowid FROM idx WHERE idx MATCH ?2)"
    " ORDER BY score LIMIT ?4) r"
    " JOIN pages p ON p.id = r.id ORDER BY r.score, p.path";

std::string Column(sqlite3_stmt* s, int i) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
                : std::string();
}

void Bind(sqlite3_stmt* s, int i, const std::string& text) {
    sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::vector<TExcerptPart> SplitExcerpt(const std::string& marked) {
    std::vector<TExcerptPart> parts;
    TExcerptPart current;
    for (char c : marked) {
        if (c == kExcerptMarkStart || c == kExcerptMarkEnd) {
            if (!current.Text.empty()) {
                parts.push_back(std::move(current));
            }
            current = TExcerptPart{};
            current.Marked = c == kExcerptMarkStart;
            continue;
        }
        current.Text += c;
    }
    if (!current.Text.empty()) {
        parts.push_back(std::move(current));
    }
    return parts;
}

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDamage(int code) {
    code &= 0xFF;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

} // namespace

TSearchIndex::TSearchIndex(const std::string& name, bool inMemory) : inMemory_(inMemory) {
    Open(inMemory ? "file:" + name + "?vfs=memdb" : name,
         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | (inMemory ? SQLITE_OPEN_URI : 0));
    // Set on a new file only: the space that merging the index frees goes back at the end.
    Exec("PRAGMA auto_vacuum = INCREMENTAL");
    if (inMemory) {
        // Without spilling, the writer takes its exclusive lock only for the moment of a commit.
        Exec("PRAGMA journal_mode = MEMORY; PRAGMA cache_spill = OFF; PRAGMA cache_size = -65536");
    } else {
        Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
    }
}

std::unique_ptr<TSearchIndex> TSearchIndex::OpenReadOnly(const std::string& file) {
    std::unique_ptr<TSearchIndex> index(new TSearchIndex());
    index->Open(file, SQLITE_OPEN_READONLY);
    return index;
}

void TSearchIndex::Open(const std::string& uri, int flags) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(uri.c_str(), &raw, flags, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK) {
        throw Exception(Format("Cannot open the search index %s: %s", uri,
                               raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    }
    sqlite3_extended_result_codes(db_.get(), 1);
    RegisterSearchFunctions(db_.get());
    // Nothing of the index may reach a temporary file: a book kept in memory must stay there.
    Exec("PRAGMA temp_store = MEMORY");
}

std::string TSearchIndex::NewMemoryName() {
    static std::atomic<int> counter{0};
    return Format("/kiva-search-%d-%d", static_cast<int>(::getpid()), ++counter);
}

void TSearchIndex::Fail(const char* what) const {
    const int code = sqlite3_extended_errcode(db_.get());
    const std::string message = Format("%s: %s", what, sqlite3_errmsg(db_.get()));
    if (IsDamage(code)) {
        throw EIndexDamaged(message);
    }
    throw Exception(message);
}

void TSearchIndex::Exec(const char* sql) const {
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        Fail("The search index cannot be used");
    }
}

TStatement TSearchIndex::Statement(const char* sql) const {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
        Fail("The search index cannot be used");
    }
    return TStatement(raw);
}

std::string TSearchIndex::Meta(const std::string& name) const {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), "SELECT value FROM meta WHERE name = ?1", -1, &raw,
                           nullptr) != SQLITE_OK) {
        const int code = sqlite3_extended_errcode(db_.get());
        if (IsDamage(code)) {
            Fail("The search index is damaged");
        }
        return std::string();
    }
    TStatement s(raw);
    Bind(s.get(), 1, name);
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) {
        return Column(s.get(), 0);
    }
    if (rc != SQLITE_DONE) {
        Fail("The search index cannot be read");
    }
    return std::string();
}

void TSearchIndex::SetMeta(const std::string& name, const std::string& value) {
    TStatement s = Statement("INSERT OR REPLACE INTO meta(name, value) VALUES (?1, ?2)");
    Bind(s.get(), 1, name);
    Bind(s.get(), 2, value);
    if (sqlite3_step(s.get()) != SQLITE_DONE) {
        Fail("The search index cannot be written");
    }
}

void TSearchIndex::Prepare(const std::string& storageKey, bool stem) {
    Exec("BEGIN IMMEDIATE");
    try {
        Exec("CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;"
             "CREATE TABLE IF NOT EXISTS books(path TEXT PRIMARY KEY) WITHOUT ROWID;"
             "CREATE TABLE IF NOT EXISTS pages(id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE,"
             " title TEXT NOT NULL, headings TEXT NOT NULL, body BLOB);"
             "CREATE VIEW IF NOT EXISTS page_text(id, title, headings, body) AS"
             " SELECT id, title, headings, kiva_inflate(body) FROM pages");
        const std::string create =
            std::string("CREATE VIRTUAL TABLE IF NOT EXISTS idx USING fts5(title, headings, body,"
                        " content='page_text', content_rowid='id', prefix='2 3', tokenize='kiva") +
            (stem ? " porter" : "") + "')";
        Exec(create.c_str());
        if (Meta("format").empty()) {
            SetMeta("format", std::to_string(kFormat));
            SetMeta("key", storageKey);
            SetMeta("stemming", stem ? "english" : "none");
            SetMeta("complete", "0");
        }
        Exec("COMMIT");
    } catch (...) {
        Rollback();
        throw;
    }
}

void TSearchIndex::AddBookPath(const std::string& path) {
    TStatement s = Statement("INSERT OR IGNORE INTO books(path) VALUES (?1)");
    Bind(s.get(), 1, path);
    if (sqlite3_step(s.get()) != SQLITE_DONE) {
        Fail("The search index cannot be written");
    }
}

bool TSearchIndex::RemoveBookPath(const std::string& path) {
    TStatement s = Statement("DELETE FROM books WHERE path = ?1");
    Bind(s.get(), 1, path);
    if (sqlite3_step(s.get()) != SQLITE_DONE) {
        Fail("The search index cannot be written");
    }
    return sqlite3_changes(db_.get()) > 0;
}

int TSearchIndex::BookPathCount() const {
    TStatement s = Statement("SELECT count(*) FROM books");
    return sqlite3_step(s.get()) == SQLITE_ROW ? sqlite3_column_int(s.get(), 0) : 0;
}

std::set<std::string> TSearchIndex::IndexedPaths() const {
    TStatement s = Statement("SELECT path FROM pages");
    std::set<std::string> paths;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        paths.insert(Column(s.get(), 0));
    }
    if (rc != SQLITE_DONE) {
        Fail("The search index cannot be read");
    }
    return paths;
}

void TSearchIndex::Begin() {
    Exec("BEGIN IMMEDIATE");
}

void TSearchIndex::Commit() {
    Exec("COMMIT");
}

void TSearchIndex::Rollback() noexcept {
    if (!sqlite3_get_autocommit(db_.get())) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void TSearchIndex::Finish() {
    Begin();
    try {
        Exec("INSERT INTO idx(idx) VALUES ('optimize')");
        SetMeta("complete", "1");
        Commit();
        Exec("PRAGMA incremental_vacuum");
    } catch (...) {
        Rollback();
        throw;
    }
    if (!inMemory_) {
        // Readers that still use the log keep it; the next run folds the rest.
        sqlite3_exec(db_.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    }
}

void TSearchIndex::AddPage(const std::string& path, const TPageText* page) {
    std::string title = page ? page->Title : std::string();
    if (page && title.empty()) {
        title = FileNameOf(path);
    }
    TStatement add =
        Statement("INSERT INTO pages(path, title, headings, body) VALUES (?1, ?2, ?3, ?4)"
                  " ON CONFLICT(path) DO NOTHING");
    Bind(add.get(), 1, path);
    Bind(add.get(), 2, title);
    Bind(add.get(), 3, page ? page->Headings : std::string());
    if (page) {
        const std::string body = DeflateText(page->Body);
        sqlite3_bind_blob(add.get(), 4, body.data(), static_cast<int>(body.size()),
                          SQLITE_TRANSIENT);
    }
    if (sqlite3_step(add.get()) != SQLITE_DONE) {
        Fail("The search index cannot be written");
    }
    if (!page || sqlite3_changes(db_.get()) == 0) {
        return;
    }
    TStatement text =
        Statement("INSERT INTO idx(rowid, title, headings, body) VALUES (?1, ?2, ?3, ?4)");
    sqlite3_bind_int64(text.get(), 1, sqlite3_last_insert_rowid(db_.get()));
    Bind(text.get(), 2, title);
    Bind(text.get(), 3, page->Headings);
    Bind(text.get(), 4, page->Body);
    if (sqlite3_step(text.get()) != SQLITE_DONE) {
        Fail("The search index cannot be written");
    }
}

TSearchResults TSearchIndex::Search(const std::string& query, int limit) const {
    TSearchResults results;
    const TSearchQuery q = TSearchQuery::Parse(query);
    if (q.Expression.empty()) {
        results.Message = "Type one or more words to search for.";
        return results;
    }
    try {
        TStatement count = Statement("SELECT count(*) FROM idx WHERE idx MATCH ?1");
        Bind(count.get(), 1, q.Expression);
        if (sqlite3_step(count.get()) != SQLITE_ROW) {
            Fail("The search failed");
        }
        results.Found = sqlite3_column_int(count.get(), 0);
        if (results.Found == 0 || limit <= 0) {
            return results;
        }
        TStatement titles = Statement("SELECT count(*) FROM idx WHERE idx MATCH ?1");
        Bind(titles.get(), 1, q.TitleExpression);
        if (sqlite3_step(titles.get()) != SQLITE_ROW) {
            Fail("The search failed");
        }
        TStatement best =
            Statement(sqlite3_column_int(titles.get(), 0) >= limit ? kTitlesSql : kSearchSql);
        Bind(best.get(), 1, q.Expression);
        Bind(best.get(), 2, q.TitleExpression);
        Bind(best.get(), 3, q.HeadingsExpression);
        sqlite3_bind_int(best.get(), 4, limit);
        int rc;
        while ((rc = sqlite3_step(best.get())) == SQLITE_ROW) {
            TSearchHit hit;
            hit.Rank = static_cast<int>(results.Hits.size()) + 1;
            hit.Path = Column(best.get(), 0);
            hit.Title = Column(best.get(), 1);
            hit.Id = sqlite3_column_int64(best.get(), 2);
            results.Hits.push_back(std::move(hit));
        }
        if (rc != SQLITE_DONE) {
            Fail("The search failed");
        }
        // One pass over the matches for all excerpts: the query's words, prefixes above all,
        // are looked up once.
        std::string ids = "[";
        for (const TSearchHit& hit : results.Hits) {
            ids += (ids.size() > 1 ? "," : "") + std::to_string(hit.Id);
        }
        ids += "]";
        TStatement excerpt =
            Statement("SELECT rowid, kiva_excerpt(idx, ?2) FROM idx WHERE idx MATCH ?1 AND rowid IN"
                      " (SELECT value FROM json_each(?3))");
        Bind(excerpt.get(), 1, q.Expression);
        sqlite3_bind_int(excerpt.get(), 2, q.HasCharacterPairs ? 1 : 0);
        Bind(excerpt.get(), 3, ids);
        while ((rc = sqlite3_step(excerpt.get())) == SQLITE_ROW) {
            const sqlite3_int64 id = sqlite3_column_int64(excerpt.get(), 0);
            for (TSearchHit& hit : results.Hits) {
                if (hit.Id == id) {
                    hit.Excerpt = SplitExcerpt(Column(excerpt.get(), 1));
                }
            }
        }
        if (rc != SQLITE_DONE) {
            Fail("The search failed");
        }
    } catch (const Exception& e) {
        results.Hits.clear();
        results.Found = 0;
        results.Message = Format("The search could not be run (%s).", e.Message());
    }
    return results;
}

void TSearchIndex::Interrupt() noexcept {
    sqlite3_interrupt(db_.get());
}

void TSearchIndex::SetBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(db_.get(), milliseconds);
}

} // namespace kiva
