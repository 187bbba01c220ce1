#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SearchIndex.h"
#include "ZLIBArchive2.h"

namespace kiva {

struct TIndexProgress {
    // Pages indexed (or found unreadable) of all the book's pages.
    int Done = 0;
    int Total = 0;
    bool Complete = false;
};

struct TIndexSettings {
    // Keeps the index in memory only, for the life of the indexer: nothing of the book's text
    // reaches the disk. For books with a view password or encrypted entries.
    bool InMemory = false;
    // The folder of the books' cache folders; empty means the user's (DefaultBooksCacheRoot).
    std::string CacheRoot;
    // The entry indexed first, whose lang attribute chooses the stemming (English stemming
    // unless it names another language); empty means the book's first page.
    std::string FirstPage;
};

// Indexes the HTML pages of an open book on a worker thread of its own, each page once, and
// answers queries from what it has indexed so far. An index on disk is kept in the book's
// cache folder and taken up again where it stopped when the same book opens again; the
// indexes of earlier editions of the book at the same path are removed. Queries never wait for
// the worker beyond the moment of one of its commits.
class TBookIndexer {
public:
    // Reads the archive through a reader of its own (archive must be open), so the caller's
    // reader stays free for its own thread.
    TBookIndexer(const TZLBArc2& archive, TIndexSettings settings);
    // Cancels and joins.
    ~TBookIndexer();
    TBookIndexer(const TBookIndexer&) = delete;
    TBookIndexer& operator=(const TBookIndexer&) = delete;

    // Raised on the worker thread once the index is open, after each batch of pages and at the
    // end; the caller brings it to its own thread. It may call Cancel, never Join.
    std::function<void(const TIndexProgress&)> OnProgress;

    // Starts the worker; once only.
    void Start();
    // Asks the worker to stop soon and returns at once.
    void Cancel() noexcept;
    // Waits for the worker; after Cancel, that is a matter of one page at most.
    void Join() noexcept;

    TIndexProgress Progress() const;
    // Why the index could not be kept on disk or could not be finished; empty when all went
    // well.
    std::string Problem() const;
    // The best pages for the query from what is indexed so far (Complete says whether that is
    // the whole book). Safe on any thread while the worker runs.
    TSearchResults Search(const std::string& query, int limit) const;

    // A page of the book: its entry and its path as the index shows it.
    struct TPage {
        int Index = 0;
        std::string Path;
    };
    // Whether any entry of the book is stored encrypted: with a view password, the sign of a
    // book whose index must stay in memory (TIndexSettings::InMemory).
    static bool HasEncryptedEntries(const TZLBArc2& archive);
    // The book's HTML pages, in directory order, each name once.
    static std::vector<TPage> Pages(const TZLBArc2& archive);
    // Whether a file of that name is an HTML page, by its extension.
    static bool IsPage(const std::string& name);
    // The entries of those pages, and the path of one as the index shows it.
    static std::vector<int> PageIndexes(const TZLBArc2& archive);
    static std::string PagePath(const TZLBArc2& archive, int index);

private:
    void Run() noexcept;
    void Build();
    std::unique_ptr<TSearchIndex> OpenWriter(std::string& name, bool& inMemory);
    void Publish(std::unique_ptr<TSearchIndex> reader);
    void SetProblem(const std::string& problem);
    void KeepBatch(TSearchIndex& writer, int batch) noexcept;
    // The text of a page, or nothing when it cannot be read.
    std::optional<TPageText> ReadPage(int page);
    void Report();

    TZLBArc2 archive_;
    TIndexSettings settings_;
    std::string storageKey_;
    std::string bookPath_;
    // The pages' entries, listed by the worker when it starts.
    std::vector<int> pages_;
    std::atomic<int> total_{0};

    std::thread worker_;
    std::atomic<bool> cancel_{false};
    std::atomic<int> done_{0};
    std::atomic<bool> complete_{false};

    // Guards the writer's pointer for Cancel's interruption.
    mutable std::mutex writerLock_;
    TSearchIndex* writer_ = nullptr;
    // Serialises queries among themselves; the worker takes it only to hand over the reader.
    mutable std::mutex readerLock_;
    std::unique_ptr<TSearchIndex> reader_;
    mutable std::mutex problemLock_;
    std::string problem_;
};

} // namespace kiva
