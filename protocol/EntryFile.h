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
#include <thread>

#include "FileDescriptor.h"

namespace kiva {

class TZLBArc2;

// One entry's bytes in a private file, written by a background extraction that uses a reader
// of its own for the same archive, so the window goes on painting while a large entry
// inflates. Readers on any thread take what has arrived so far, or wait for more. The entry
// store keeps the file for later requests (a seek in a video, a page fetched again), which
// find the bytes in place instead of inflating the entry anew.
//
// An entry stored without compression needs no file: its bytes are read where they lie in
// the archive, all of them at once, which lets a video seek anywhere at no cost.
class TEntryFile {
public:
    struct TProgress {
        std::int64_t Available = 0; // bytes written so far, readable from offset 0
        bool Done = false;          // the extraction ended; Available is the entry's size
        bool Failed = false;        // it ended with an error (see Error)
    };
    using TListener = std::function<void()>;

    TEntryFile(const TEntryFile&) = delete;
    TEntryFile& operator=(const TEntryFile&) = delete;
    ~TEntryFile();

    // The entry's name and its size as the directory states it.
    const std::string& Name() const { return name_; }
    std::int64_t ExpectedSize() const { return expectedSize_; }

    TProgress Progress() const;
    // The extraction's error for the user, empty while none.
    std::string Error() const;
    // Copies up to count bytes from offset, as far as they have arrived; never waits. Returns
    // the number copied (0 when none is there yet, or at the end).
    std::int64_t ReadAvailable(std::int64_t offset, void* buffer, std::int64_t count) const;
    // Waits until the byte at offset has arrived or the extraction has ended, or the timeout
    // passed; returns the progress then.
    TProgress WaitFor(std::int64_t offset, std::chrono::milliseconds timeout) const;

    // A listener is called on the extraction's thread whenever bytes arrive and once when the
    // extraction ends. It must not add or remove listeners. Once RemoveListener returns, that
    // listener is never called again.
    int AddListener(TListener listener);
    void RemoveListener(int id);

private:
    friend class TEntryStore;
    class TSink;

    TEntryFile(std::string name, std::int64_t expectedSize, TFileDescriptor fd, std::int64_t base);
    void Run(std::unique_ptr<TZLBArc2> reader, int index) noexcept;
    void Publish(std::int64_t available, bool done, const std::string& error);
    void Stop();

    const std::string name_;
    const std::int64_t expectedSize_;
    const TFileDescriptor fd_;
    // Where the entry's first byte lies in fd_.
    const std::int64_t base_;

    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    TProgress progress_;
    std::string error_;

    std::mutex listenerMutex_;
    std::map<int, TListener> listeners_;
    int nextListener_ = 1;

    std::atomic<bool> stop_{false};
    std::thread worker_;
};

} // namespace kiva
