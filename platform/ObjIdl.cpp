#include "ObjIdl.h"

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

namespace kiva {

namespace {

// The memory stream of CreateStreamOnHGlobal: a growable block and a position that may stand
// beyond its end (a write there fills the gap with zeros).
class THGlobalStream final : public TComObjectWith<IStream> {
public:
    HRESULT Read(void* buffer, ULONG cb, ULONG* bytesRead) override {
        if (bytesRead) {
            *bytesRead = 0;
        }
        if (!buffer && cb > 0) {
            return STG_E_INVALIDPOINTER;
        }
        ULONG n = 0;
        if (position_ < data_.size()) {
            n = static_cast<ULONG>(std::min<std::uint64_t>(cb, data_.size() - position_));
            std::copy_n(data_.data() + position_, n, static_cast<std::uint8_t*>(buffer));
            position_ += n;
        }
        if (bytesRead) {
            *bytesRead = n;
        }
        return S_OK;
    }

    HRESULT Write(const void* buffer, ULONG cb, ULONG* bytesWritten) override {
        if (bytesWritten) {
            *bytesWritten = 0;
        }
        if (!buffer && cb > 0) {
            return STG_E_INVALIDPOINTER;
        }
        if (cb == 0) {
            return S_OK;
        }
        try {
            const std::uint64_t end = position_ + cb;
            if (end > data_.size()) {
                data_.resize(static_cast<std::size_t>(end));
            }
        } catch (const std::exception&) {
            return STG_E_MEDIUMFULL;
        }
        const auto* src = static_cast<const std::uint8_t*>(buffer);
        std::copy_n(src, cb, data_.data() + position_);
        position_ += cb;
        if (bytesWritten) {
            *bytesWritten = cb;
        }
        return S_OK;
    }

    HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
        std::int64_t base;
        switch (origin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<std::int64_t>(position_);
            break;
        case STREAM_SEEK_END:
            base = static_cast<std::int64_t>(data_.size());
            break;
        default:
            return STG_E_INVALIDFUNCTION;
        }
        if ((move < 0 && base + move < 0) ||
            (move > 0 && base > std::numeric_limits<std::int64_t>::max() - move)) {
            return STG_E_INVALIDFUNCTION;
        }
        position_ = static_cast<std::uint64_t>(base + move);
        if (newPosition) {
            *newPosition = position_;
        }
        return S_OK;
    }

    HRESULT SetSize(ULARGE_INTEGER newSize) override {
        try {
            data_.resize(static_cast<std::size_t>(newSize));
        } catch (const std::exception&) {
            return STG_E_MEDIUMFULL;
        }
        return S_OK;
    }

private:
    std::vector<std::uint8_t> data_;
    std::uint64_t position_ = 0;
};

} // namespace

HRESULT CreateStreamOnHGlobal(HGLOBAL global, BOOL /*deleteOnRelease*/, IStream** stream) {
    if (!stream) {
        return E_INVALIDARG;
    }
    *stream = nullptr;
    if (global) {
        return E_INVALIDARG;
    }
    try {
        auto* s = new THGlobalStream;
        s->AddRef();
        *stream = s;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// ---- TOleStream

namespace {
constexpr std::int64_t kMaxChunk = 1 << 30;
}

TOleStream::TOleStream(IStream* stream) : stream_(stream) {
    if (!stream_) {
        throw EStreamError("No stream given");
    }
}

std::int64_t TOleStream::Read(void* buffer, std::int64_t count) {
    std::int64_t done = 0;
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (done < count) {
        ULONG n = 0;
        const auto chunk = static_cast<ULONG>(std::min(count - done, kMaxChunk));
        if (FAILED(stream_->Read(p + done, chunk, &n)) || n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

std::int64_t TOleStream::Write(const void* buffer, std::int64_t count) {
    std::int64_t done = 0;
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    while (done < count) {
        ULONG n = 0;
        const auto chunk = static_cast<ULONG>(std::min(count - done, kMaxChunk));
        if (FAILED(stream_->Write(p + done, chunk, &n)) || n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

std::int64_t TOleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    const DWORD o = origin == TSeekOrigin::soBeginning ? STREAM_SEEK_SET
                    : origin == TSeekOrigin::soCurrent ? STREAM_SEEK_CUR
                                                       : STREAM_SEEK_END;
    ULARGE_INTEGER pos = 0;
    if (FAILED(stream_->Seek(offset, o, &pos))) {
        throw EStreamError("Stream seek error");
    }
    return static_cast<std::int64_t>(pos);
}

void TOleStream::SetSize(std::int64_t newSize) {
    if (newSize < 0 || FAILED(stream_->SetSize(static_cast<ULARGE_INTEGER>(newSize)))) {
        throw EStreamError("Stream size error");
    }
}

} // namespace kiva
