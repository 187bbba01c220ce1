#include "PackStreams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kiva {

namespace {

constexpr std::size_t kOutputBuffer = std::size_t(1) << 20;
// Files opened ahead of the writer; each holds a descriptor until its turn.
constexpr std::size_t kFilesAhead = 64;
// What the kernel is asked to read ahead of each file: all of a small one, the start of a
// large one.
constexpr std::int64_t kReadAhead = std::int64_t(1) << 20;
// zlib keeps this many bytes of look-ahead out of the window's reach.
constexpr std::int64_t kMinLookahead = 262;

std::string ReadError(const std::string& file) {
    return Format("cannot read \"%s\": %s", file, std::strerror(errno));
}

} // namespace

TDeflater::TDeflater(int windowBits, int memLevel) {
    if (deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, memLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        throw EPackError("cannot start the zlib compressor (out of memory?)");
    }
}

TDeflater::~TDeflater() {
    deflateEnd(&z_);
}

void TDeflater::Reset() {
    if (deflateReset(&z_) != Z_OK) {
        throw EPackError("the zlib compressor failed");
    }
}

TDeflaterCache::TDeflaterCache() = default;
TDeflaterCache::~TDeflaterCache() = default;

TDeflater& TDeflaterCache::For(std::int64_t size) {
    int bits = 9;
    while (bits < MAX_WBITS && (std::int64_t(1) << bits) < size + kMinLookahead) {
        ++bits;
    }
    std::unique_ptr<TDeflater>& z = byWindow_[static_cast<std::size_t>(bits)];
    if (!z) {
        // Room for as many symbols as the window holds bytes, so a small page still goes out
        // as one block, as it would with the defaults.
        z = std::make_unique<TDeflater>(bits, std::clamp(bits - 6, 1, 8));
    } else {
        z->Reset();
    }
    return *z;
}

TBufferedOutput::TBufferedOutput(TStream& out)
    : out_(out), buffer_(new std::uint8_t[kOutputBuffer]) {}

void TBufferedOutput::Write(const std::uint8_t* p, std::size_t n) {
    if (used_ + n > kOutputBuffer) {
        Flush();
        if (n >= kOutputBuffer) {
            out_.WriteBuffer(p, static_cast<std::int64_t>(n));
            return;
        }
    }
    std::memcpy(buffer_.get() + used_, p, n);
    used_ += n;
}

void TBufferedOutput::Flush() {
    if (used_ > 0) {
        out_.WriteBuffer(buffer_.get(), static_cast<std::int64_t>(used_));
        used_ = 0;
    }
}

TSourceFile::TSourceFile(int dirFd, const char* leaf, std::string name)
    : name_(std::move(name)), fd_(::openat(dirFd, leaf, O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
    struct stat st {};
    if (!fd_ || ::fstat(fd_.Get(), &st) != 0) {
        throw EPackError(ReadError(name_));
    }
    if (!S_ISREG(st.st_mode)) {
        throw EPackError(Format("\"%s\" is not a regular file", name_));
    }
    size_ = st.st_size;
}

std::size_t TSourceFile::Read(std::uint8_t* p, std::size_t count) {
    const std::int64_t n = ReadAll(fd_.Get(), p, static_cast<std::int64_t>(count));
    if (n < 0) {
        throw EPackError(ReadError(name_));
    }
    return static_cast<std::size_t>(n);
}

std::size_t TSourceFile::ReadWhole(std::vector<std::uint8_t>& content) {
    const auto size = static_cast<std::size_t>(size_);
    if (content.size() < size) {
        content.resize(size);
    }
    return Read(content.data(), size);
}

void TSourceFile::Rewind() {
    if (::lseek(fd_.Get(), 0, SEEK_SET) != 0) {
        throw EPackError(ReadError(name_));
    }
}

void TSourceFile::WillNeed(std::int64_t count) {
    // Only a hint: where it fails, the read simply waits for the disk.
    (void)::posix_fadvise(fd_.Get(), 0, static_cast<off_t>(count), POSIX_FADV_WILLNEED);
}

TSourceFile TSourceOpener::Open(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos) {
        return TSourceFile(AT_FDCWD, name.c_str(), name);
    }
    const std::string_view folder(name.data(), slash + 1);
    if (folder != folder_) {
        folder_ = folder;
        folderFd_.Reset(::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!folderFd_) {
        return TSourceFile(AT_FDCWD, name.c_str(), name);
    }
    return TSourceFile(folderFd_.Get(), name.c_str() + slash + 1, name);
}

TSourceQueue::TSourceQueue(std::function<const std::string&(std::size_t)> fileOf, std::size_t count)
    : fileOf_(std::move(fileOf)), count_(count) {}

TSourceFile TSourceQueue::Take(std::size_t i) {
    while (first_ + ahead_.size() < std::min(count_, i + kFilesAhead)) {
        const std::string& name = fileOf_(first_ + ahead_.size());
        TAhead& next = ahead_.emplace_back();
        if (name.empty()) {
            continue;
        }
        try {
            next.File.emplace(opener_.Open(name));
            next.File->WillNeed(std::min(next.File->Size(), kReadAhead));
        } catch (...) {
            next.Error = std::current_exception();
        }
    }
    while (first_ < i && !ahead_.empty()) {
        ahead_.pop_front();
        ++first_;
    }
    if (ahead_.empty() || first_ != i || !(ahead_.front().File || ahead_.front().Error)) {
        throw EPackError("the files to pack were taken out of order");
    }
    TAhead taken = std::move(ahead_.front());
    ahead_.pop_front();
    ++first_;
    if (taken.Error) {
        std::rethrow_exception(taken.Error);
    }
    return std::move(*taken.File);
}

} // namespace kiva
