#include "ZLibEx.h"

#include <algorithm>
#include <zlib.h>

namespace kiva {

namespace {

constexpr const char* kInvalidOperation = "Invalid ZStream operation!";
constexpr std::int64_t kSkipStep = 8192;

} // namespace

const char* EZLibError::CodeText(int code) {
    switch (code) {
    case Z_NEED_DICT:
        return "need dictionary";
    case Z_STREAM_END:
        return "stream end";
    case Z_OK:
        return "ok";
    case Z_ERRNO:
        return "file error";
    case Z_STREAM_ERROR:
        return "stream error";
    case Z_DATA_ERROR:
        return "data error";
    case Z_MEM_ERROR:
        return "insufficient memory";
    case Z_BUF_ERROR:
        return "buffer error";
    case Z_VERSION_ERROR:
        return "incompatible version";
    default:
        return "";
    }
}

EZLibError::EZLibError(int code) : Exception(CodeText(code)), code_(code) {}

// The z_stream must not move once the inflater knows it, so it lives on the heap behind the
// wrapper and ends the inflater itself.
struct TCustomZStream::ZState {
    z_stream s{};
    bool inflating = false;

    ZState() = default;
    ZState(const ZState&) = delete;
    ZState& operator=(const ZState&) = delete;
    ~ZState() {
        if (inflating) {
            inflateEnd(&s);
        }
    }
};

TCustomZStream::TCustomZStream(TStream& source)
    : source_(source), sourcePosition_(source.Position()), z_(std::make_unique<ZState>()),
      input_(new std::uint8_t[kInputBufferSize]) {
    z_->s.next_in = input_.get();
    z_->s.avail_in = 0;
}

TCustomZStream::~TCustomZStream() = default;

TZDecompressionStream::TZDecompressionStream(TStream& source)
    : TCustomZStream(source), startPosition_(sourcePosition_) {
    // The installed library's own version string: zlib refuses only a different major version,
    // and the format it reads has not changed since the archive's writer was built.
    int r = inflateInit_(&z_->s, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
    if (r < 0) {
        throw EZDecompressionError(r);
    }
    z_->inflating = true;
}

TZDecompressionStream::~TZDecompressionStream() {
    if (z_->inflating) {
        inflateEnd(&z_->s);
        z_->inflating = false;
    }
}

std::int64_t TZDecompressionStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    z_stream& s = z_->s;
    auto* out = static_cast<std::uint8_t*>(buffer);
    if (source_.Position() != sourcePosition_) {
        source_.SetPosition(sourcePosition_);
    }
    // zlib counts its output room in 32 bits, so a larger request is handed over in slices.
    constexpr std::int64_t kMaxSlice = std::int64_t(1) << 30;
    std::int64_t unassigned = count;
    s.next_out = out;
    s.avail_out = 0;
    try {
        while (lastResult_ != Z_STREAM_END) {
            if (s.avail_out == 0) {
                if (unassigned == 0) {
                    break;
                }
                const std::int64_t slice = std::min(unassigned, kMaxSlice);
                s.avail_out = static_cast<uInt>(slice);
                unassigned -= slice;
            }
            if (s.avail_in == 0) {
                std::int64_t n = source_.Read(input_.get(), kInputBufferSize);
                if (n <= 0) {
                    break;
                }
                s.next_in = input_.get();
                s.avail_in = static_cast<uInt>(n);
                sourcePosition_ = source_.Position();
                if (OnProgress) {
                    OnProgress(this);
                }
            }
            int r = inflate(&s, Z_NO_FLUSH);
            // A preset dictionary is never part of an archive; asking for one again and again
            // would never end, so it counts as a failure like the negative codes.
            if (r < 0 || r == Z_NEED_DICT) {
                throw EZDecompressionError(r);
            }
            lastResult_ = r;
        }
    } catch (...) {
        // What zlib wrote before the failure is in the caller's buffer: count it as delivered.
        delivered_ += s.next_out - out;
        throw;
    }
    if (lastResult_ == Z_STREAM_END && s.avail_in > 0) {
        // Leave the source just after the zlib stream, so that whatever follows it can be read.
        source_.Seek(-static_cast<std::int64_t>(s.avail_in), TSeekOrigin::soCurrent);
        sourcePosition_ = source_.Position();
        s.avail_in = 0;
        s.next_in = input_.get();
    }
    const std::int64_t produced = s.next_out - out;
    delivered_ += produced;
    return produced;
}

std::int64_t TZDecompressionStream::Write(const void*, std::int64_t) {
    throw EZDecompressionError(Z_STREAM_ERROR, kInvalidOperation);
}

void TZDecompressionStream::Restart() {
    int r = inflateReset(&z_->s);
    if (r < 0) {
        throw EZDecompressionError(r);
    }
    z_->s.next_in = input_.get();
    z_->s.avail_in = 0;
    sourcePosition_ = startPosition_;
    delivered_ = 0;
    lastResult_ = Z_OK;
}

std::int64_t TZDecompressionStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    auto discard = [this](std::int64_t count) {
        std::uint8_t buf[kSkipStep];
        while (count > 0) {
            std::int64_t n = std::min(count, kSkipStep);
            ReadBuffer(buf, n);
            count -= n;
        }
    };
    if (origin == TSeekOrigin::soCurrent && offset >= 0) {
        discard(offset);
    } else if (origin == TSeekOrigin::soBeginning && offset == 0) {
        Restart();
    } else if (origin == TSeekOrigin::soBeginning && offset >= delivered_) {
        discard(offset - delivered_);
    } else if (origin == TSeekOrigin::soEnd && offset == 0) {
        std::uint8_t buf[kSkipStep];
        while (Read(buf, kSkipStep) > 0) {
        }
    } else {
        throw EZDecompressionError(Z_STREAM_ERROR, kInvalidOperation);
    }
    return delivered_;
}

} // namespace kiva
