#include "KvbDescriptorStream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FileDescriptor.h"

namespace kiva {

std::int64_t TDescriptorStream::Read(void* buffer, std::int64_t count) {
    const std::int64_t n = ReadAll(fd_, buffer, count);
    if (n < 0) {
        throw EStreamError(Format("cannot read \"%s\": %s", name_, std::strerror(errno)));
    }
    return n;
}

std::int64_t TDescriptorStream::Write(const void* buffer, std::int64_t count) {
    if (!WriteAll(fd_, buffer, count)) {
        const std::string reason = std::strerror(errno);
        if (writeError_.empty()) {
            writeError_ = reason;
        }
        throw EStreamError(Format("cannot write \"%s\": %s", name_, reason));
    }
    return count;
}

std::int64_t TDescriptorStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    const off_t pos = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (pos < 0) {
        throw EStreamError(Format("cannot seek in \"%s\": %s", name_, std::strerror(errno)));
    }
    return pos;
}

void TDescriptorStream::SetSize(std::int64_t newSize) {
    if (::ftruncate(fd_, static_cast<off_t>(newSize)) != 0) {
        throw EStreamError(Format("cannot write \"%s\": %s", name_, std::strerror(errno)));
    }
}

} // namespace kiva
