#include "BookIndexer.h"

#include <glib/gstdio.h>

#include <chrono>
#include <filesystem>

#include "ArchiveStorageKey.h"
#include "IndexCache.h"
#include "Trace.h"

namespace kiva {
namespace {

// A batch of pages is committed at once, so that the index grows in few large steps, yet
// often enough for queries and progress to follow the work.
constexpr int kBatchPages = 64;
constexpr auto kBatchTime = std::chrono::milliseconds(250);
// How long a query waits for the moment of a commit before it gives up.
constexpr int kReaderBusyMs = 40;

// Stops taking bytes once it holds cap of them: the rest of a huge page is never inflated.
// Stops as well when the indexer is cancelled, so that a huge page never holds up a closing
// window.
class TCappedStream : public TMemoryStream {
public:
    TCappedStream(std::int64_t cap, const std::atomic<bool>& stop) : cap_(cap), stop_(stop) {}
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        if (stop_) {
            throw Exception("Indexing was cancelled");
        }
        const std::int64_t room = cap_ - Position();
        if (count > room) {
            TMemoryStream::Write(buffer, std::max<std::int64_t>(room, 0));
            full_ = true;
            throw Exception("The page is longer than the index reads");
        }
        return TMemoryStream::Write(buffer, count);
    }
    bool Full() const { return full_; }

private:
    std::int64_t cap_;
    const std::atomic<bool>& stop_;
    bool full_ = false;
};

bool StemsEnglish(const std::string& lang) {
    const std::string l = AnsiLowerCaseAscii(lang);
    return l.empty() || l == "en" || l.starts_with("en-") || l.starts_with("en_");
}

} // namespace

bool TBookIndexer::HasEncryptedEntries(const TZLBArc2& archive) {
    return archive.HasEncryptedEntries();
}

bool TBookIndexer::IsPage(const std::string& name) {
    const std::string ext = AnsiLowerCaseAscii(ExtractFileExt(name));
    return ext == ".html" || ext == ".htm" || ext == ".xhtml";
}

std::vector<int> TBookIndexer::PageIndexes(const TZLBArc2& archive) {
    std::vector<int> pages;
    const int count = archive.FileCount();
    for (int i = 0; i < count; ++i) {
        const std::string name = archive.GetFileEntry(i).FullName();
        // The viewer finds only the first of two names that differ in letter case, as the
        // directory's lookup does; asking it spares a set of every name of a huge book.
        if (IsPage(name) && archive.FindEntry(name) == i) {
            pages.push_back(i);
        }
    }
    return pages;
}

std::string TBookIndexer::PagePath(const TZLBArc2& archive, int index) {
    std::string path = ArchiveText(archive.GetFileEntry(index).FullName());
    for (char& c : path) {
        c = c == '\\' ? '/' : c;
    }
    return path;
}

std::vector<TBookIndexer::TPage> TBookIndexer::Pages(const TZLBArc2& archive) {
    std::vector<TPage> pages;
    for (const int i : PageIndexes(archive)) {
        pages.push_back({i, PagePath(archive, i)});
    }
    return pages;
}

TBookIndexer::TBookIndexer(const TZLBArc2& archive, TIndexSettings settings)
    : archive_(nullptr), settings_(std::move(settings)) {
    archive_.OpenSameArchive(archive);
    // The viewer's reader never checks CRCs; a damaged page shows as an inflation error.
    archive_.VerifyFileCRC = false;
    storageKey_ = ArchiveStorageKey(archive);
    bookPath_ = CanonicalBookPath(archive.ArchiveFileName());
    if (settings_.CacheRoot.empty()) {
        settings_.CacheRoot = DefaultBooksCacheRoot();
    }
}

TBookIndexer::~TBookIndexer() {
    Cancel();
    Join();
}

void TBookIndexer::Start() {
    if (!worker_.joinable()) {
        worker_ = std::thread([this] { Run(); });
    }
}

void TBookIndexer::Cancel() noexcept {
    cancel_ = true;
    std::lock_guard lock(writerLock_);
    if (writer_) {
        writer_->Interrupt();
    }
}

void TBookIndexer::Join() noexcept {
    if (worker_.joinable()) {
        worker_.join();
    }
}

TIndexProgress TBookIndexer::Progress() const {
    return TIndexProgress{done_.load(), total_.load(), complete_.load()};
}

std::string TBookIndexer::Problem() const {
    std::lock_guard lock(problemLock_);
    return problem_;
}

void TBookIndexer::SetProblem(const std::string& problem) {
    std::lock_guard lock(problemLock_);
    problem_ = problem;
}

TSearchResults TBookIndexer::Search(const std::string& query, int limit) const {
    const TIndexProgress progress = Progress();
    TSearchResults results;
    {
        std::lock_guard lock(readerLock_);
        if (reader_) {
            results = reader_->Search(query, limit);
        } else {
            // Nothing is indexed yet; an in-memory index of no page answers like an empty one.
            TSearchIndex empty(TSearchIndex::NewMemoryName(), true);
            empty.Prepare(storageKey_, true);
            results = empty.Search(query, limit);
        }
    }
    results.Complete = progress.Complete;
    results.PagesIndexed = progress.Done;
    results.PagesTotal = progress.Total;
    return results;
}

void TBookIndexer::Publish(std::unique_ptr<TSearchIndex> reader) {
    reader->SetBusyTimeout(kReaderBusyMs);
    std::lock_guard lock(readerLock_);
    reader_ = std::move(reader);
}

void TBookIndexer::Report() {
    if (OnProgress) {
        OnProgress(Progress());
    }
}

void TBookIndexer::Run() noexcept {
    try {
        Build();
    } catch (...) {
        if (!cancel_) {
            TraceCaughtError("the search index's worker");
            try {
                throw;
            } catch (const std::exception& e) {
                SetProblem(e.what());
            } catch (...) {
                SetProblem("The search index could not be built");
            }
        }
    }
    std::lock_guard lock(writerLock_);
    writer_ = nullptr;
}

std::unique_ptr<TSearchIndex> TBookIndexer::OpenWriter(std::string& name, bool& inMemory) {
    inMemory = settings_.InMemory || storageKey_.empty();
    if (!inMemory) {
        name = IndexFileOf(settings_.CacheRoot, storageKey_);
        try {
            const std::string folder = std::filesystem::path(name).parent_path().string();
            if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) {
                throw Exception(
                    Format("Cannot create the folder %s: %s", folder, g_strerror(errno)));
            }
            ForgetEarlierEditions(settings_.CacheRoot, storageKey_, bookPath_);
            for (int attempt = 0;; ++attempt) {
                try {
                    auto index = std::make_unique<TSearchIndex>(name, false);
                    const std::string format = index->Meta("format");
                    const bool ours =
                        format.empty() || (format == std::to_string(TSearchIndex::kFormat) &&
                                           index->Meta("key") == storageKey_);
                    if (ours) {
                        // Another viewer indexing the same book holds the lock for one
                        // batch at a time; a longer wait would only delay a closing window.
                        index->SetBusyTimeout(1000);
                        return index;
                    }
                } catch (const EIndexDamaged&) {
                    if (attempt > 0) {
                        throw;
                    }
                }
                // Another format's or another book's index, or a damaged file: start afresh.
                if (attempt > 0 || !RemoveIndexFile(name)) {
                    throw Exception(Format("Cannot replace the search index %s", name));
                }
            }
        } catch (const Exception& e) {
            TraceError("the search index on disk", e.Message());
            SetProblem(e.Message());
        }
        inMemory = true;
    }
    name = TSearchIndex::NewMemoryName();
    return std::make_unique<TSearchIndex>(name, true);
}

std::optional<TPageText> TBookIndexer::ReadPage(int page) {
    TCappedStream bytes(static_cast<std::int64_t>(kMaxPageBytes) + 1, cancel_);
    try {
        archive_.ExtractIndexToStream(page, bytes, nullptr);
    } catch (const Exception&) {
        if (!bytes.Full()) {
            // Encrypted or damaged: the page is left out, and so is nothing else.
            return std::nullopt;
        }
    }
    try {
        return ExtractPageText(std::string_view(reinterpret_cast<const char*>(bytes.Memory()),
                                                static_cast<std::size_t>(bytes.Size())),
                               &cancel_);
    } catch (const Exception&) {
        return std::nullopt;
    }
}

void TBookIndexer::KeepBatch(TSearchIndex& writer, int batch) noexcept {
    // The pages of the batch are kept when there is time for it; a commit interrupted by
    // Cancel leaves them for the next run.
    try {
        writer.Commit();
        done_ += batch;
    } catch (const Exception&) {
        writer.Rollback();
    }
}

void TBookIndexer::Build() {
    std::string name;
    bool inMemory = false;
    std::unique_ptr<TSearchIndex> writer = OpenWriter(name, inMemory);
    {
        std::lock_guard lock(writerLock_);
        writer_ = writer.get();
    }
    if (cancel_) {
        return;
    }
    // The pages are listed here, on the worker, since a book may have a million of them.
    pages_ = PageIndexes(archive_);
    total_ = static_cast<int>(pages_.size());
    if (cancel_) {
        return;
    }
    // The first page goes first: its language chooses the stemming of the whole book. The
    // list is put in that order itself, since a copy would cost megabytes in a huge book.
    // The list is in directory order, and holds an entry only where the directory's lookup
    // finds it, so the lookup and a binary search find the first page without a pass.
    std::vector<int>& order = pages_;
    const int firstEntry =
        settings_.FirstPage.empty() ? -1 : archive_.FindEntry(settings_.FirstPage);
    const auto at = std::lower_bound(order.begin(), order.end(), firstEntry);
    if (firstEntry >= 0 && at != order.end() && *at == firstEntry) {
        std::rotate(order.begin(), at, at + 1);
    }
    std::optional<TPageText> firstText;
    std::string stemming = writer->Meta("stemming");
    if (stemming.empty()) {
        if (!order.empty()) {
            firstText = ReadPage(order.front());
        }
        stemming = !firstText || StemsEnglish(firstText->Lang) ? "english" : "none";
    }
    writer->Prepare(storageKey_, stemming == "english");
    if (!inMemory) {
        writer->AddBookPath(bookPath_);
    }
    const std::set<std::string> indexed = writer->IndexedPaths();
    int done = 0;
    if (!indexed.empty()) {
        for (const int page : pages_) {
            done += indexed.count(PagePath(archive_, page)) ? 1 : 0;
        }
    }
    done_ = done;
    complete_ = done == static_cast<int>(pages_.size()) && writer->Meta("complete") == "1";
    Publish(std::make_unique<TSearchIndex>(name, inMemory));
    Report();
    if (complete_) {
        return;
    }

    int batch = 0;
    auto batchStart = std::chrono::steady_clock::now();
    writer->Begin();
    for (const int page : order) {
        if (cancel_) {
            KeepBatch(*writer, batch);
            return;
        }
        const std::string path = PagePath(archive_, page);
        if (indexed.count(path)) {
            continue;
        }
        std::optional<TPageText> text =
            (firstText && page == order.front()) ? std::move(firstText) : ReadPage(page);
        if (cancel_) {
            // The page may have been cut short: it is read again next time.
            KeepBatch(*writer, batch);
            return;
        }
        writer->AddPage(path, text ? &*text : nullptr);
        ++batch;
        if (batch >= kBatchPages || std::chrono::steady_clock::now() - batchStart >= kBatchTime) {
            writer->Commit();
            done_ += batch;
            batch = 0;
            Report();
            writer->Begin();
            batchStart = std::chrono::steady_clock::now();
        }
    }
    writer->Commit();
    done_ += batch;
    Report();
    writer->Finish();
    complete_ = true;
    Report();
}

} // namespace kiva
