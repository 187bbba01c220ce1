#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FileDescriptor.h"

namespace kiva {

class TZLBArc2;

// One entry's bytes for readers on any thread, who take what has arrived so far or wait for
// more. The entry store (EntryStore.h) makes them in one of three kinds:
//
// - ekExtracted: inflated once by one of the store's workers into a file of its own, unnamed
//   (or in memory for a book that keeps secrets), which later requests find in place.
// - ekInPlace: an entry stored without compression, read where its bytes lie in the archive,
//   all of them at once, which lets a video seek anywhere at no cost.
// - ekStreamed: an entry too large for the store's budget, inflated straight to its one reader
//   through a small buffer, in order; the extraction waits while the buffer is full.
class TEntryFile {
public:
    struct TProgress {
        std::int64_t Available = 0; // bytes that have arrived so far, from offset 0
        bool Done = false;          // the extraction ended; Available is the entry's size
        bool Failed = false;        // it ended with an error (see Error); nothing is readable
    };
    using TListener = std::function<void()>;
    enum TKind { ekExtracted, ekInPlace, ekStreamed };

    TEntryFile(const TEntryFile&) = delete;
    TEntryFile& operator=(const TEntryFile&) = delete;
    ~TEntryFile();

    // The entry's name.
    const std::string& Name() const { return name_; }
    TKind Kind() const { return kind_; }

    TProgress Progress() const;
    // The extraction's error for the user, empty while none.
    std::string Error() const;
    // Copies up to count bytes from offset, as far as they have arrived; never waits. Returns
    // the number copied (0 when none is there yet, or at the end). A streamed entry is read
    // once, in order: each read must start where the last one ended, and raises otherwise.
    std::int64_t ReadAvailable(std::int64_t offset, void* buffer, std::int64_t count);
    // Waits until the byte at offset has arrived or the extraction has ended, or the timeout
    // passed; returns the progress then.
    TProgress WaitFor(std::int64_t offset, std::chrono::milliseconds timeout) const;

    // A listener is called on the extraction's thread whenever bytes arrive and once when the
    // extraction ends. It must not add or remove listeners. Once RemoveListener returns, that
    // listener is never called again, so its owner may go.
    int AddListener(TListener listener);
    void RemoveListener(int id);

private:
    friend class TEntryStore;
    class TSink;

    TEntryFile(std::string name, std::int64_t expectedSize, TKind kind);
    // The store's side. An in-place entry reads the archive through archive, its bytes
    // starting at base; it has all its bytes from the start.
    void ReadInPlace(std::shared_ptr<const TFileDescriptor> archive, std::int64_t base);
    // How an extraction ended: the entry's size, or an error.
    struct TOutcome {
        std::int64_t Size = 0;
        std::string Error;
    };
    // Runs the extraction of the entry at index with reader into fd (unused when streamed),
    // publishing the bytes as they arrive but not the end, which Finish tells. The entry's CRC,
    // when it is to be checked, is checked as the bytes pass.
    TOutcome Extract(TZLBArc2& reader, int index, TFileDescriptor fd, bool checkCrc) noexcept;
    void Finish(const TOutcome& outcome);
    // Asks a running extraction to stop at its next write; it then fails.
    void RequestStop();
    // Appends bytes; for a streamed entry, waits for room in the buffer.
    void Append(const char* data, std::int64_t count, std::int64_t at);
    void Publish(std::int64_t available, bool done, const std::string& error);

    const std::string name_;
    const std::int64_t expectedSize_;
    const TKind kind_;
    // Written once before the first bytes are published, read only after that.
    TFileDescriptor fd_;
    std::shared_ptr<const TFileDescriptor> archive_;
    std::int64_t base_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    TProgress progress_;
    std::string error_;
    // A streamed entry's buffer: a ring of what has arrived and not been read yet.
    std::condition_variable room_;
    std::vector<char> ring_;
    std::int64_t consumed_ = 0;

    std::mutex listenerMutex_;
    std::map<int, TListener> listeners_;
    int nextListener_ = 1;

    std::atomic<bool> stop_{false};
};

} // namespace kiva
