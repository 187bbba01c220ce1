#include "DirectoryLoader.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "StorageKeyDigest.h"
#include "SysUtils.h"

namespace kiva {

namespace {

// Records are handed on once a piece holds this many bytes.
constexpr std::int64_t kPieceBytes = std::int64_t(256) << 10;
// Below this the digest costs less than starting a thread for it.
constexpr std::int64_t kThreadedDigestFrom = std::int64_t(8) << 20;

} // namespace

// Digests pieces in the order they are submitted, on a thread of its own for a large directory,
// and lends out the buffers that the pieces are read into: a buffer goes back to the pool once
// its bytes are digested.
class TDirectoryLoader::TDigestWorker {
public:
    TDigestWorker(const TArchiveTrailer& trailer, std::int64_t bufferSize, bool threaded)
        : digest_(trailer) {
        const int count = threaded ? 4 : 2;
        for (int i = 0; i < count; ++i) {
            buffers_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(
                static_cast<std::size_t>(bufferSize)));
            free_.push_back(buffers_.back().get());
        }
        if (threaded) {
            thread_ = std::thread([this] { Run(); });
        }
    }

    ~TDigestWorker() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ending_ = true;
                abandoned_ = true;
            }
            changed_.notify_all();
            thread_.join();
        }
    }

    std::uint8_t* Acquire() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !free_.empty(); });
        std::uint8_t* buffer = free_.back();
        free_.pop_back();
        return buffer;
    }

    void Submit(std::uint8_t* buffer, std::int64_t offset, std::int64_t size) {
        if (!thread_.joinable()) {
            digest_.Add(buffer + offset, static_cast<std::size_t>(size));
            free_.push_back(buffer);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back({buffer, offset, size});
        }
        changed_.notify_all();
    }

    std::string Finish() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ending_ = true;
            }
            changed_.notify_all();
            thread_.join();
        }
        if (error_) {
            std::rethrow_exception(error_);
        }
        return digest_.Key();
    }

private:
    struct TJob {
        std::uint8_t* Buffer;
        std::int64_t Offset;
        std::int64_t Size;
    };

    void Run() {
        for (;;) {
            TJob job{};
            bool skip = false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return !jobs_.empty() || ending_; });
                if (jobs_.empty()) {
                    return;
                }
                job = jobs_.front();
                jobs_.pop_front();
                skip = abandoned_ || error_ != nullptr;
            }
            if (!skip) {
                try {
                    digest_.Add(job.Buffer + job.Offset, static_cast<std::size_t>(job.Size));
                } catch (...) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    error_ = std::current_exception();
                }
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                free_.push_back(job.Buffer);
            }
            changed_.notify_all();
        }
    }

    TStorageKeyDigest digest_;
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t*> free_;
    std::deque<TJob> jobs_;
    bool ending_ = false;
    bool abandoned_ = false;
    std::exception_ptr error_;
    // Last, so that it starts after everything it uses and is joined before any of it goes.
    std::thread thread_;
};

TDirectoryLoader::TDirectoryLoader(const TArchiveTrailer& trailer)
    : recordSize_(TArchiveEntry::RecordSize(trailer.Version)),
      builder_(trailer.Version, trailer.EntryCount) {
    const std::int64_t total = recordSize_ * std::int64_t(trailer.EntryCount);
    // A piece never holds more than the records still to come, so a small directory takes
    // small buffers.
    pieceSize_ = std::max<std::int64_t>(1, std::min(kPieceBytes + kMaxRead, total));
    digest_ = std::make_unique<TDigestWorker>(trailer, pieceSize_, total >= kThreadedDigestFrom);
    piece_ = digest_->Acquire();
}

TDirectoryLoader::~TDirectoryLoader() = default;

std::uint8_t* TDirectoryLoader::Room(std::int64_t count) {
    if (count > kMaxRead || have_ + count > pieceSize_) {
        // More than the trailer's count of records: nothing to do with them.
        throw Exception(msg::ErrorReadingRegistry);
    }
    return piece_ + have_;
}

void TDirectoryLoader::Received(std::int64_t count) {
    have_ += count;
    received_ += count;
    if (have_ >= kPieceBytes) {
        Flush();
    }
}

void TDirectoryLoader::Flush() {
    const std::int64_t whole = have_ / recordSize_;
    builder_.Add(piece_, whole);
    const std::int64_t tail = have_ - whole * recordSize_;
    std::uint8_t* next = digest_->Acquire();
    std::memcpy(next, piece_ + whole * recordSize_, static_cast<std::size_t>(tail));
    digest_->Submit(piece_, carried_, have_ - carried_);
    piece_ = next;
    have_ = tail;
    carried_ = tail;
}

std::shared_ptr<const TArchiveDirectory> TDirectoryLoader::Finish(std::string& storageKey) {
    Flush();
    if (have_ != 0) {
        throw Exception(msg::ErrorReadingRegistry);
    }
    storageKey = digest_->Finish();
    return builder_.Finish();
}

} // namespace kiva
