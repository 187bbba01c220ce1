#pragma once

#include <cstdint>
#include <utility>

namespace kiva {

// The one owner of an open file descriptor: it closes the descriptor when it goes, and moves
// but never copies, so a descriptor is closed exactly once.
class TFileDescriptor {
public:
    TFileDescriptor() = default;
    explicit TFileDescriptor(int fd) : fd_(fd) {}
    ~TFileDescriptor() { Reset(); }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    TFileDescriptor(TFileDescriptor&& other) noexcept : fd_(other.Release()) {}
    TFileDescriptor& operator=(TFileDescriptor&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }
    // Hands the descriptor to the caller, who closes it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes fd.
    void Reset(int fd = -1) noexcept;
    // Closes the descriptor now and reports whether the close succeeded; a file written
    // through it may only count as written when it did (errno tells why not).
    bool Close() noexcept;

private:
    int fd_ = -1;
};

// Reads until count bytes are in, the file ends or an error occurs, going on after short
// reads and interruptions. Returns how many bytes were read; fewer than count means the end
// of the file, or an error when errno is set by the last call (use the -1 to tell: it is
// returned only when nothing was read and the read failed).
std::int64_t ReadAll(int fd, void* buffer, std::int64_t count);
// The same at offset, leaving the descriptor's position alone (pread).
std::int64_t ReadAt(int fd, void* buffer, std::int64_t count, std::int64_t offset);
// Writes all count bytes, going on after short writes and interruptions. False on an error,
// with errno set; what was written before the error stays written.
bool WriteAll(int fd, const void* buffer, std::int64_t count);
// The same at offset (pwrite).
bool WriteAt(int fd, const void* buffer, std::int64_t count, std::int64_t offset);
// Reads what is there, at most count bytes, waiting for the first (one read that goes on after
// interruptions). Returns the bytes read, 0 at the end, or -1 on an error (errno tells which).
std::int64_t ReadSome(int fd, void* buffer, std::int64_t count);
// Writes all count bytes to a connected socket, like WriteAll, but a peer that has gone gives
// an error (EPIPE) instead of the signal that would end the process.
bool SendAll(int fd, const void* buffer, std::int64_t count);

} // namespace kiva
