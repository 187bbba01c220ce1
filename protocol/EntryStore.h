#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "EntryFile.h"

namespace kiva {

class TZLBArc2;

// Where one book's entry files live.
struct TEntryStoreOptions {
    // The folder for entry files, made when the first is needed (mode 0700).
    std::string Folder;
    // The book keeps secrets (a view password, encrypted entries): its entries never reach
    // the disk and live in memory only.
    bool InMemory = false;
};

// The entry files of one open book, one per entry that was asked for. The store reads with a
// reader of its own that shares the book's directory, so requests from any thread (the
// browser's and the media server's) may open entries; each extraction runs with a reader of
// its own again. Ending the store stops every extraction and waits for it; files still held
// by readers close when the last of them lets go.
class TEntryStore {
public:
    TEntryStore(const TZLBArc2& archive, TEntryStoreOptions options);
    ~TEntryStore();
    TEntryStore(const TEntryStore&) = delete;
    TEntryStore& operator=(const TEntryStore&) = delete;

    // The file of the entry at index, starting its extraction when there is none yet or the
    // last one failed. Safe on any thread; raises kiva::Exception when no file can be made.
    std::shared_ptr<TEntryFile> Open(int index);
    // Stops every extraction and waits for it; later calls to Open fail.
    void Stop();

    const TZLBArc2& Archive() const { return *reader_; }

private:
    std::unique_ptr<TZLBArc2> reader_;
    const TEntryStoreOptions options_;
    std::mutex mutex_;
    bool stopped_ = false;
    std::map<int, std::shared_ptr<TEntryFile>> files_;
};

} // namespace kiva
