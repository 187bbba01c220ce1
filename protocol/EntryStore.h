#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "EntryFile.h"

namespace kiva {

class TZLBArc2;

// At most this many entry files are open at once, by default.
inline constexpr int kMaxEntryFiles = 128;
// The entry files of a book never hold more than this, by default; less when the disk (or,
// for a book kept in memory, the memory) has little room left.
inline constexpr std::int64_t kMaxEntryBytes = std::int64_t(2) << 30;

// Where one book's entry files live, and how much they may take.
struct TEntryStoreOptions {
    // The folder for entry files, made when the first is needed (mode 0700).
    std::string Folder;
    // The book keeps secrets (a view password, encrypted entries): its entries never reach
    // the disk and live in memory only.
    bool InMemory = false;
    // At most this many entry files are open at once.
    int MaxFiles = kMaxEntryFiles;
    // The bytes the entry files may hold together; 0 takes the smaller of kMaxEntryBytes and a
    // tenth of the room left where they live (the folder's file system, or the memory).
    std::int64_t Budget = 0;
};

// The entry files of one open book. A small pool of workers inflates entries that are asked
// for, in the order they were asked for, each into a file of its own without a name, so
// nothing of it outlives the process, even after a crash. Files stay for later requests (a
// seek in a video, a page fetched again) within two bounds: a number of open files and a
// budget of bytes; past either, the file least recently let go is closed (and inflated again
// when it is asked for again). A worker waits before it starts an entry that would break a
// bound while every file is held.
//
// Open hands out a hold on the entry's file: while any hold on a file lasts (a request or the
// media server is reading it), the store never closes it. An entry stored without compression
// is read in place, through one descriptor of the archive shared by all such holds and closed
// with the last of them. An entry larger than the budget is not kept at all: it streams to
// its one reader.
//
// The store reads with readers of its own that share the book's directory, so requests from
// any thread may open entries. Stop (or the end of the store) stops every extraction at its
// next write and waits for every thread; files still held close when their holds end.
class TEntryStore {
public:
    TEntryStore(const TZLBArc2& archive, TEntryStoreOptions options);
    ~TEntryStore();
    TEntryStore(const TEntryStore&) = delete;
    TEntryStore& operator=(const TEntryStore&) = delete;

    // A hold on the file of the entry at index, starting its extraction when there is none yet
    // or the last one failed. Safe on any thread; raises kiva::Exception for an index out of
    // bounds, after Stop, or when more than kMaxStreams entries would stream at once.
    std::shared_ptr<TEntryFile> Open(int index);
    // Whether Open streams the entry (it does not fit the budget), so that it is read once,
    // from its start.
    bool Streams(int index) const;
    // Stops every extraction and waits for the threads; later calls to Open fail.
    void Stop();
    bool Stopped() const;

    const TZLBArc2& Archive() const;

    // What the store holds now.
    struct TUsage {
        int OpenFiles = 0;      // entry files open (or reserved by a running extraction)
        std::int64_t Bytes = 0; // bytes they hold (or reserve)
        std::int64_t Budget = 0;
        int Queued = 0;  // entries waiting for a worker
        int Streams = 0; // entries streaming to their reader
    };
    TUsage Usage() const;

    static constexpr int kMaxStreams = 8;

private:
    struct TState;

    const std::shared_ptr<TState> state_;
};

} // namespace kiva
