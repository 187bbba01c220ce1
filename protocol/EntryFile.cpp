#include "EntryFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "SysUtils.h"
#include "Trace.h"
#include "ZLIBArchive2.h"

namespace kiva {

namespace {

// Bytes are published in steps of this size, so readers wake a few thousand times for a large
// entry rather than once per inflated chunk.
constexpr std::int64_t kPublishStep = 256 * 1024;
// What a streamed entry keeps between its extraction and its reader.
constexpr std::int64_t kStreamBuffer = 4 * kPublishStep;

} // namespace

// The stream the reader inflates into: the bytes go to the entry in large writes and are
// published as they land; their CRC is computed on the way when it is to be checked.
class TEntryFile::TSink final : public TStream {
public:
    TSink(TEntryFile& file, bool checkCrc) : file_(file), checkCrc_(checkCrc) {
        buffer_.reserve(kPublishStep);
    }

    std::int64_t Write(const void* data, std::int64_t count) override {
        if (file_.stop_.load(std::memory_order_relaxed)) {
            throw Exception("The extraction was stopped");
        }
        const auto* p = static_cast<const char*>(data);
        if (checkCrc_) {
            crc_ = UpdateCRC32(crc_, p, static_cast<std::size_t>(std::max<std::int64_t>(0, count)));
        }
        std::int64_t left = count;
        while (left > 0) {
            const std::int64_t room = kPublishStep - std::ssize(buffer_);
            const std::int64_t n = std::min(left, room);
            buffer_.insert(buffer_.end(), p, p + n);
            p += n;
            left -= n;
            if (std::ssize(buffer_) == kPublishStep) {
                Flush();
            }
        }
        return count;
    }

    // The entry is written in order and never read back.
    std::int64_t Read(void*, std::int64_t) override { throw EReadError(); }
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
        if (offset != 0 || origin != TSeekOrigin::soCurrent) {
            throw EReadError();
        }
        return written_ + std::ssize(buffer_);
    }
    void SetSize(std::int64_t) override { throw EWriteError(); }

    // Writes what is buffered and tells the readers.
    void Flush() {
        if (buffer_.empty()) {
            return;
        }
        try {
            file_.Append(buffer_.data(), std::ssize(buffer_), written_);
        } catch (const std::exception& e) {
            // The reader reports every failure inside inflation as damage; this one is not.
            writeError_ = e.what();
            throw;
        }
        written_ += std::ssize(buffer_);
        buffer_.clear();
        file_.Publish(written_, false, std::string());
    }

    std::int64_t Written() const { return written_; }
    std::uint32_t Crc() const { return ~crc_; }
    const std::string& WriteError() const { return writeError_; }

private:
    TEntryFile& file_;
    const bool checkCrc_;
    std::vector<char> buffer_;
    std::int64_t written_ = 0;
    std::uint32_t crc_ = 0xFFFFFFFFu;
    std::string writeError_;
};

TEntryFile::TEntryFile(std::string name, std::int64_t expectedSize, TKind kind)
    : name_(std::move(name)), expectedSize_(expectedSize), kind_(kind) {
    if (kind_ == ekStreamed) {
        ring_.resize(static_cast<std::size_t>(kStreamBuffer));
    }
}

TEntryFile::~TEntryFile() = default;

void TEntryFile::ReadInPlace(std::shared_ptr<const TFileDescriptor> archive, std::int64_t base) {
    archive_ = std::move(archive);
    base_ = base;
    progress_ = TProgress{expectedSize_, true, false};
}

TEntryFile::TOutcome TEntryFile::Extract(TZLBArc2& reader, int index, TFileDescriptor fd,
                                         bool checkCrc) noexcept {
    fd_ = std::move(fd);
    TOutcome outcome;
    TSink sink(*this, checkCrc);
    try {
        const TArchiveEntry entry = reader.GetFileEntry(index);
        reader.ExtractIndexToStream(index, sink, nullptr);
        sink.Flush();
        if (checkCrc && sink.Crc() != entry.CRC) {
            throw Exception(Format(msg::FailedCRC, entry.Name.Str()));
        }
        outcome.Size = sink.Written();
    } catch (const std::exception& e) {
        outcome.Error = stop_                        ? std::string("The extraction was stopped")
                        : !sink.WriteError().empty() ? sink.WriteError()
                                                     : std::string(e.what());
    } catch (...) {
        outcome.Error = "The extraction failed";
    }
    return outcome;
}

void TEntryFile::Finish(const TOutcome& outcome) {
    Publish(outcome.Size, true, outcome.Error);
    if (!outcome.Error.empty() && fd_) {
        // Nobody reads a failed entry: its bytes leave the disk at once, even while a
        // request still holds the file.
        [[maybe_unused]] const int truncated = ::ftruncate(fd_.Get(), 0);
    }
}

void TEntryFile::RequestStop() {
    stop_ = true;
    std::lock_guard lock(mutex_);
    room_.notify_all();
}

void TEntryFile::Append(const char* data, std::int64_t count, std::int64_t at) {
    if (kind_ != ekStreamed) {
        if (!WriteAt(fd_.Get(), data, count, at)) {
            throw Exception(Format("Cannot write the entry %s. %s", name_, std::strerror(errno)));
        }
        return;
    }
    std::unique_lock lock(mutex_);
    const auto capacity = std::ssize(ring_);
    room_.wait(lock, [&] { return stop_ || capacity - (at - consumed_) >= count; });
    if (stop_) {
        throw Exception("The extraction was stopped");
    }
    for (std::int64_t done = 0; done < count;) {
        const std::int64_t slot = (at + done) % capacity;
        const std::int64_t n = std::min(count - done, capacity - slot);
        std::memcpy(ring_.data() + slot, data + done, static_cast<std::size_t>(n));
        done += n;
    }
}

void TEntryFile::Publish(std::int64_t available, bool done, const std::string& error) {
    {
        std::lock_guard lock(mutex_);
        progress_.Available = available;
        if (done) {
            progress_.Done = true;
            progress_.Failed = !error.empty();
            error_ = error;
            if (progress_.Failed) {
                progress_.Available = 0;
            }
        }
    }
    arrived_.notify_all();
    std::lock_guard lock(listenerMutex_);
    for (auto& [id, listener] : listeners_) {
        try {
            listener();
        } catch (...) {
            // The extraction and the other readers go on.
            TraceCaughtError("a reader of an entry");
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

std::int64_t TEntryFile::ReadAvailable(std::int64_t offset, void* buffer, std::int64_t count) {
    if (kind_ == ekStreamed) {
        std::int64_t n = 0;
        {
            std::lock_guard lock(mutex_);
            if (offset != consumed_) {
                throw Exception(Format("The entry %s can only be read once, in order", name_));
            }
            n = std::clamp<std::int64_t>(progress_.Available - consumed_, 0,
                                         std::max<std::int64_t>(0, count));
            auto* out = static_cast<char*>(buffer);
            const auto capacity = std::ssize(ring_);
            for (std::int64_t done = 0; done < n;) {
                const std::int64_t slot = (consumed_ + done) % capacity;
                const std::int64_t part = std::min(n - done, capacity - slot);
                std::memcpy(out + done, ring_.data() + slot, static_cast<std::size_t>(part));
                done += part;
            }
            consumed_ += n;
        }
        room_.notify_all();
        return n;
    }
    const std::int64_t available = Progress().Available;
    if (offset < 0 || count <= 0 || offset >= available) {
        return 0;
    }
    const int fd = kind_ == ekInPlace ? archive_->Get() : fd_.Get();
    return ReadAt(fd, buffer, std::min(count, available - offset), base_ + offset);
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
