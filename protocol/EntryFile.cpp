#include "EntryFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "SysUtils.h"
#include "ZLIBArchive2.h"

namespace kiva {

namespace {

// Bytes are published in steps of this size, so readers wake a few thousand times for a large
// entry rather than once per inflated chunk.
constexpr std::int64_t kPublishStep = 256 * 1024;

} // namespace

// The stream the reader inflates into: the bytes go to the file in large writes and are
// published as they land. The reader may read its output back for the CRC check.
class TEntryFile::TSink final : public TStream {
public:
    explicit TSink(TEntryFile& file) : file_(file) { buffer_.reserve(kPublishStep); }

    std::int64_t Write(const void* data, std::int64_t count) override {
        if (file_.stop_.load(std::memory_order_relaxed)) {
            throw Exception("The extraction was stopped");
        }
        const auto* p = static_cast<const std::uint8_t*>(data);
        std::int64_t left = count;
        while (left > 0) {
            const std::int64_t room = kPublishStep - static_cast<std::int64_t>(buffer_.size());
            const std::int64_t n = std::min(left, room);
            buffer_.insert(buffer_.end(), p, p + n);
            p += n;
            left -= n;
            if (static_cast<std::int64_t>(buffer_.size()) == kPublishStep) {
                Flush();
            }
        }
        return count;
    }

    std::int64_t Read(void* data, std::int64_t count) override {
        Flush();
        const std::int64_t done = ReadAt(file_.fd_.Get(), data, count, position_);
        position_ += done;
        return done;
    }

    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
        Flush();
        switch (origin) {
        case TSeekOrigin::soBeginning:
            position_ = offset;
            break;
        case TSeekOrigin::soCurrent:
            position_ += offset;
            break;
        case TSeekOrigin::soEnd:
            position_ = written_ + offset;
            break;
        }
        return position_;
    }

    void SetSize(std::int64_t) override { throw EWriteError(); }

    // Writes what is buffered and tells the readers.
    void Flush() {
        if (!WriteAt(file_.fd_.Get(), buffer_.data(), std::ssize(buffer_), written_)) {
            throw EWriteError();
        }
        written_ += std::ssize(buffer_);
        if (!buffer_.empty()) {
            buffer_.clear();
            position_ = written_;
            file_.Publish(written_, false, std::string());
        }
    }

    std::int64_t Written() const { return written_; }

private:
    TEntryFile& file_;
    std::vector<std::uint8_t> buffer_;
    std::int64_t written_ = 0;
    std::int64_t position_ = 0;
};

TEntryFile::TEntryFile(std::string name, std::int64_t expectedSize, TFileDescriptor fd,
                       std::int64_t base)
    : name_(std::move(name)), expectedSize_(expectedSize), fd_(std::move(fd)), base_(base) {}

TEntryFile::~TEntryFile() {
    Stop();
}

void TEntryFile::Stop() {
    stop_ = true;
    if (worker_.joinable()) {
        worker_.join();
    }
}

void TEntryFile::Run(std::unique_ptr<TZLBArc2> reader, int index) noexcept {
    std::string error;
    std::int64_t size = 0;
    try {
        TSink sink(*this);
        reader->ExtractIndexToStream(index, sink, nullptr);
        sink.Flush();
        size = sink.Written();
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "Unknown error";
    }
    Publish(size, true, error);
}

void TEntryFile::Publish(std::int64_t available, bool done, const std::string& error) {
    {
        std::lock_guard lock(mutex_);
        if (done) {
            progress_.Done = true;
            progress_.Failed = !error.empty();
            error_ = error;
            if (!progress_.Failed) {
                progress_.Available = available;
            }
        } else {
            progress_.Available = available;
        }
    }
    arrived_.notify_all();
    std::lock_guard lock(listenerMutex_);
    for (auto& [id, listener] : listeners_) {
        try {
            listener();
        } catch (...) {
            // A listener's failure is its own; the extraction and the other readers go on.
        }
    }
}

TEntryFile::TProgress TEntryFile::Progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

std::string TEntryFile::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::int64_t TEntryFile::ReadAvailable(std::int64_t offset, void* buffer,
                                       std::int64_t count) const {
    const std::int64_t available = Progress().Available;
    if (offset < 0 || count <= 0 || offset >= available) {
        return 0;
    }
    return ReadAt(fd_.Get(), buffer, std::min(count, available - offset), base_ + offset);
}

TEntryFile::TProgress TEntryFile::WaitFor(std::int64_t offset,
                                          std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout,
                      [&] { return progress_.Done || progress_.Available > offset; });
    return progress_;
}

int TEntryFile::AddListener(TListener listener) {
    std::lock_guard lock(listenerMutex_);
    const int id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void TEntryFile::RemoveListener(int id) {
    std::lock_guard lock(listenerMutex_);
    listeners_.erase(id);
}

} // namespace kiva
