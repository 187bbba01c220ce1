#pragma once

#include <string>

#include "Classes.h"

namespace kiva {

// A stream over an open file descriptor that someone else owns. Failures raise stream errors
// that name the file as given.
class TDescriptorStream : public TStream {
public:
    TDescriptorStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t newSize) override;

    // The system's reason for the first write that failed, or empty. Readers that replace
    // any error in their destination by one of their own (the archive reader does) would
    // otherwise hide a full disk behind "damaged".
    const std::string& WriteError() const { return writeError_; }

private:
    int fd_;
    std::string name_;
    std::string writeError_;
};

} // namespace kiva
