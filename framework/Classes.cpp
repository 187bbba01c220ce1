#include "Classes.h"
#include "FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace kiva {

std::int64_t TStream::Size() {
    std::int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    std::int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return end;
}

void TStream::SetSize(std::int64_t) {
    throw EStreamError("Stream cannot change its size");
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (count > 0) {
        std::int64_t n = Read(p, count);
        if (n <= 0) {
            throw EReadError();
        }
        p += n;
        count -= n;
    }
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    while (count > 0) {
        std::int64_t n = Write(p, count);
        if (n <= 0) {
            throw EWriteError();
        }
        p += n;
        count -= n;
    }
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    constexpr std::int64_t kBufSize = 64 * 1024;
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kBufSize]);
    std::int64_t done = 0;
    while (done < count) {
        std::int64_t n = std::min(kBufSize, count - done);
        source.ReadBuffer(buf.get(), n);
        WriteBuffer(buf.get(), n);
        done += n;
    }
    return done;
}

// ---- TMemoryStream

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0 || position_ >= size_) {
        return 0;
    }
    std::int64_t n = std::min(count, size_ - position_);
    std::memcpy(buffer, data_.get() + position_, static_cast<std::size_t>(n));
    position_ += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    std::int64_t end = position_ + count;
    if (end > capacity_) {
        // Geometric growth keeps a run of small writes linear in total.
        std::int64_t grown = std::max<std::int64_t>(end, capacity_ + capacity_ / 2);
        SetCapacity(std::max<std::int64_t>(grown, 8192));
    }
    if (position_ > size_) {
        std::memset(data_.get() + size_, 0, static_cast<std::size_t>(position_ - size_));
    }
    std::memcpy(data_.get() + position_, buffer, static_cast<std::size_t>(count));
    position_ = end;
    size_ = std::max(size_, end);
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                        : origin == TSeekOrigin::soCurrent ? position_
                                                           : size_;
    std::int64_t p = base + offset;
    if (p < 0) {
        throw EStreamError("Invalid stream position");
    }
    position_ = p;
    return position_;
}

void TMemoryStream::SetCapacity(std::int64_t capacity) {
    if (capacity < size_) {
        capacity = size_;
    }
    if (capacity == capacity_) {
        return;
    }
    if (capacity == 0) {
        data_.reset();
        capacity_ = 0;
        return;
    }
    if (static_cast<std::uint64_t>(capacity) > std::numeric_limits<std::size_t>::max() / 2) {
        throw std::bad_alloc();
    }
    void* p = std::realloc(data_.get(), static_cast<std::size_t>(capacity));
    if (!p) {
        throw std::bad_alloc();
    }
    (void)data_.release();
    data_.reset(static_cast<std::uint8_t*>(p));
    capacity_ = capacity;
}

void TMemoryStream::SetSize(std::int64_t newSize) {
    if (newSize < 0) {
        throw EStreamError("Invalid stream size");
    }
    if (newSize > capacity_) {
        SetCapacity(newSize);
    }
    if (newSize > size_) {
        std::memset(data_.get() + size_, 0, static_cast<std::size_t>(newSize - size_));
    }
    size_ = newSize;
    if (position_ > size_) {
        position_ = size_;
    }
}

void TMemoryStream::Clear() {
    data_.reset();
    size_ = capacity_ = position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
    std::int64_t n = f.Size();
    SetSize(n);
    position_ = 0;
    f.ReadBuffer(data_.get(), n);
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream f(fileName, fmCreate);
    f.WriteBuffer(data_.get(), size_);
}

// ---- TFileStream

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : fileName_(fileName) {
    int flags = O_CLOEXEC;
    if (mode == fmCreate || (mode & 0xFF00) == fmCreate) {
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        fd_ = ::open(fileName.c_str(), flags, 0644);
        if (fd_ < 0) {
            throw EFCreateError(
                Format("Cannot create file \"%s\". %s", fileName, std::strerror(errno)));
        }
        return;
    }
    switch (mode & 3) {
    case fmOpenWrite:
        flags |= O_WRONLY;
        break;
    case fmOpenReadWrite:
        flags |= O_RDWR;
        break;
    default:
        flags |= O_RDONLY;
        break;
    }
    // Opening a named pipe for reading waits for a writer; without blocking, the check below
    // refuses it at once.
    fd_ = ::open(fileName.c_str(), flags | O_NONBLOCK);
    if (fd_ < 0) {
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName, std::strerror(errno)));
    }
    // Streams seek and take their size from the file, which only a regular file allows.
    struct stat st {};
    const char* problem = nullptr;
    if (::fstat(fd_, &st) != 0) {
        problem = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        problem = std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        problem = "Not a regular file";
    } else if (::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK) != 0) {
        problem = std::strerror(errno);
    }
    if (problem != nullptr) {
        ::close(fd_);
        fd_ = -1;
        throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName, problem));
    }
}

TFileStream::~TFileStream() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    return std::max<std::int64_t>(ReadAll(fd_, buffer, count), 0);
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    return WriteAll(fd_, buffer, count) ? count : 0;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (r < 0) {
        throw EStreamError(Format("Seek error in \"%s\". %s", fileName_, std::strerror(errno)));
    }
    return r;
}

void TFileStream::SetSize(std::int64_t newSize) {
    if (::ftruncate(fd_, static_cast<off_t>(newSize)) != 0) {
        throw EStreamError(Format("Cannot resize \"%s\". %s", fileName_, std::strerror(errno)));
    }
}

// ---- TStringList

int TStringList::IndexOf(const std::string& s) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i] == s) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void TStringList::AddStrings(const TStringList& other) {
    items_.insert(items_.end(), other.items_.begin(), other.items_.end());
}

// ---- TComponent

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_) {
        owner_->components_.push_back(this);
    }
}

TComponent::~TComponent() {
    Destroying();
    DestroyComponents();
    if (owner_) {
        owner_->Remove(this);
    }
}

void TComponent::Destroying() {
    if (destroying_) {
        return;
    }
    destroying_ = true;
    for (TComponent* c : components_) {
        c->Destroying();
    }
}

void TComponent::DestroyComponents() {
    while (!components_.empty()) {
        TComponent* c = components_.back();
        components_.pop_back();
        c->owner_ = nullptr;
        delete c;
    }
}

void TComponent::Remove(TComponent* child) {
    auto it = std::find(components_.begin(), components_.end(), child);
    if (it != components_.end()) {
        components_.erase(it);
    }
}

} // namespace kiva
