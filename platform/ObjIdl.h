#pragma once

#include <cstdint>

#include "Classes.h"
#include "ComObj.h"

namespace kiva {

inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

// A byte stream of the component layer.
struct IStream : IUnknown {
    static constexpr IID kIID = GuidLiteral("{0000000C-0000-0000-C000-000000000046}");
    // Up to cb bytes; bytesRead (may be null) tells how many, 0 at the end.
    virtual HRESULT Read(void* buffer, ULONG cb, ULONG* bytesRead) = 0;
    virtual HRESULT Write(const void* buffer, ULONG cb, ULONG* bytesWritten) = 0;
    // Moves by move from STREAM_SEEK_SET, _CUR or _END; newPosition may be null.
    virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) = 0;
    virtual HRESULT SetSize(ULARGE_INTEGER newSize) = 0;

protected:
    ~IStream() = default;
};
inline constexpr IID IID_IStream = IStream::kIID;

// The memory block handle of CreateStreamOnHGlobal. Only a null handle is supported: the
// stream then allocates its own block.
using HGLOBAL = void*;

// A stream over a growable memory block. With deleteOnRelease the block is freed with the
// stream. Without it the block would outlive the stream on Windows, for a caller
// that fetches it from the stream; nothing here can fetch it, so it is freed all the same.
HRESULT CreateStreamOnHGlobal(HGLOBAL global, BOOL deleteOnRelease, IStream** stream);

// A framework stream over a component stream, so that framework copies can fill it. It holds
// one reference on the stream for its own life.
class TOleStream : public TStream {
public:
    explicit TOleStream(IStream* stream);
    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t newSize) override;

private:
    ComPtr<IStream> stream_;
};

} // namespace kiva
