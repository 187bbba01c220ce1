#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Classes.h"

namespace kiva {

// zlib's return code with zlib's own text for it.
class EZLibError : public Exception {
public:
    explicit EZLibError(int code);
    EZLibError(int code, std::string message) : Exception(std::move(message)), code_(code) {}
    int Code() const { return code_; }
    // "need dictionary", "stream end", "ok", "file error", ... for the codes 2 to -6.
    static const char* CodeText(int code);

private:
    int code_;
};

class EZDecompressionError : public EZLibError {
public:
    using EZLibError::EZLibError;
};

// Shared state of the zlib stream wrappers: the source stream, where in it the next read goes
// on, and a 64 KiB input buffer.
class TCustomZStream : public TStream {
public:
    static constexpr std::int64_t kInputBufferSize = 65536;
    ~TCustomZStream() override;
    // Raised each time the input buffer is refilled.
    std::function<void(TCustomZStream* sender)> OnProgress;

protected:
    explicit TCustomZStream(TStream& source);
    struct ZState;
    TStream& source_;
    std::int64_t sourcePosition_;
    std::unique_ptr<ZState> z_;
    std::unique_ptr<std::uint8_t[]> input_;
};

// Reads the inflated form of a zlib stream that starts at the source's current position. The
// source is never owned and, after the stream's end, stands just past the zlib stream.
class TZDecompressionStream : public TCustomZStream {
public:
    explicit TZDecompressionStream(TStream& source);
    ~TZDecompressionStream() override;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    // Always raises EZDecompressionError "Invalid ZStream operation!".
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    // Reports or moves forward by inflating; offset 0 from the beginning restarts at the
    // source position where the stream was created.
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

private:
    void Restart();
    std::int64_t startPosition_;
    std::int64_t delivered_ = 0;
    int lastResult_ = 0;
};

} // namespace kiva
