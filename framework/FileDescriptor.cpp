#include "FileDescriptor.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace kiva {

namespace {

// Repeats a transfer until count bytes have moved, the call reports the end (0) or an error
// other than an interruption. Returns the bytes moved, or -1 when the first call failed.
template <class Transfer> std::int64_t Repeat(std::int64_t count, Transfer transfer) {
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n = transfer(done, static_cast<std::size_t>(count - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return done > 0 ? done : -1;
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

} // namespace

void TFileDescriptor::Reset(int fd) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) {
        // The descriptor is gone after close, even when it reports EINTR; retrying could
        // close a descriptor another thread has just been given.
        ::close(old);
    }
}

bool TFileDescriptor::Close() noexcept {
    const int old = Release();
    return old < 0 || ::close(old) == 0;
}

std::int64_t ReadAll(int fd, void* buffer, std::int64_t count) {
    auto* p = static_cast<char*>(buffer);
    return Repeat(count, [&](std::int64_t done, std::size_t n) { return ::read(fd, p + done, n); });
}

std::int64_t ReadAt(int fd, void* buffer, std::int64_t count, std::int64_t offset) {
    auto* p = static_cast<char*>(buffer);
    const std::int64_t n = Repeat(count, [&](std::int64_t done, std::size_t left) {
        return ::pread(fd, p + done, left, static_cast<off_t>(offset + done));
    });
    return n < 0 ? 0 : n;
}

bool WriteAll(int fd, const void* buffer, std::int64_t count) {
    const auto* p = static_cast<const char*>(buffer);
    const std::int64_t n = Repeat(count, [&](std::int64_t done, std::size_t left) {
        const ssize_t w = ::write(fd, p + done, left);
        // A write that moves nothing would repeat for ever; the disk is full.
        if (w == 0) {
            errno = ENOSPC;
            return ssize_t(-1);
        }
        return w;
    });
    return n == count;
}

bool WriteAt(int fd, const void* buffer, std::int64_t count, std::int64_t offset) {
    const auto* p = static_cast<const char*>(buffer);
    const std::int64_t n = Repeat(count, [&](std::int64_t done, std::size_t left) {
        const ssize_t w = ::pwrite(fd, p + done, left, static_cast<off_t>(offset + done));
        if (w == 0) {
            errno = ENOSPC;
            return ssize_t(-1);
        }
        return w;
    });
    return n == count;
}

std::int64_t ReadSome(int fd, void* buffer, std::int64_t count) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(count));
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

bool SendAll(int fd, const void* buffer, std::int64_t count) {
    const auto* p = static_cast<const char*>(buffer);
    const std::int64_t n = Repeat(count, [&](std::int64_t done, std::size_t left) {
        const ssize_t w = ::send(fd, p + done, left, MSG_NOSIGNAL);
        if (w == 0) {
            errno = EPIPE;
            return ssize_t(-1);
        }
        return w;
    });
    return n == count;
}

} // namespace kiva
