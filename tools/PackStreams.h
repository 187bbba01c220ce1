#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <zlib.h>

#include "Classes.h"
#include "FileDescriptor.h"
#include "PackError.h"

namespace kiva {

// The bytes of a pack on their way: the site's files read in, deflated, and written out. A
// site of a million small pages costs a few system calls for each of them and little else.

// A deflater for zlib streams at the default level; ended on every path.
class TDeflater {
public:
    static constexpr std::size_t kOutputChunk = 64 * 1024;

    explicit TDeflater(int windowBits = MAX_WBITS, int memLevel = 8);
    ~TDeflater();
    TDeflater(const TDeflater&) = delete;
    TDeflater& operator=(const TDeflater&) = delete;

    // Starts a new zlib stream with the same settings.
    void Reset();

    // Compresses len bytes (finishing the stream when last is set) and passes every produced
    // block to sink.
    template <class Sink>
    void Feed(const std::uint8_t* data, std::size_t len, bool last, Sink&& sink) {
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = static_cast<uInt>(len);
        const int flush = last ? Z_FINISH : Z_NO_FLUSH;
        for (;;) {
            z_.next_out = out_;
            z_.avail_out = sizeof(out_);
            const int rc = deflate(&z_, flush);
            if (rc == Z_STREAM_ERROR) {
                throw EPackError("the zlib compressor failed");
            }
            const std::size_t produced = sizeof(out_) - z_.avail_out;
            if (produced > 0) {
                sink(out_, produced);
            }
            if (last ? rc == Z_STREAM_END : z_.avail_in == 0 && z_.avail_out != 0) {
                break;
            }
        }
    }

private:
    z_stream z_{};
    std::uint8_t out_[kOutputChunk];
};

// Deflaters for content of every size, each made once and reset for the next entry. A small
// page gets a window and hash table sized to it: its zlib stream comes out as with the
// defaults (every match is within reach), but starting one clears a few hundred bytes instead
// of 128 KiB, which for a million pages was most of the packing time.
class TDeflaterCache {
public:
    TDeflaterCache();
    ~TDeflaterCache();
    // A deflater ready for a new stream of about size bytes.
    TDeflater& For(std::int64_t size);

private:
    std::unique_ptr<TDeflater> byWindow_[MAX_WBITS + 1];
};

// Gathers output into writes of a megabyte: a site of a million small pages would otherwise
// cost a million system calls for its data alone.
class TBufferedOutput {
public:
    explicit TBufferedOutput(TStream& out);
    void Write(const std::uint8_t* p, std::size_t n);
    void Flush();

private:
    TStream& out_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t used_ = 0;
};

// A file to pack, open for reading. Only a regular file is read: a named pipe put in its place
// would otherwise stop the pack for good.
class TSourceFile {
public:
    // Opens leaf in the folder dirFd (or AT_FDCWD); name is the file's full name, for messages.
    TSourceFile(int dirFd, const char* leaf, std::string name);
    std::int64_t Size() const { return size_; }
    // Up to count bytes; a read error stops the pack instead of passing for the file's end.
    std::size_t Read(std::uint8_t* p, std::size_t count);
    // Reads the file into content (which only ever grows, to serve the next file too) and
    // returns its length: the length it had when it was opened, or less when it has shrunk
    // since. What is appended while the pack runs is not part of it.
    std::size_t ReadWhole(std::vector<std::uint8_t>& content);
    // Back to the first byte.
    void Rewind();
    // Asks the kernel to start reading the first count bytes in, while other work goes on.
    void WillNeed(std::int64_t count);

private:
    std::string name_;
    TFileDescriptor fd_;
    std::int64_t size_ = 0;
};

// Opens the files to pack in the folder of the one before when they share it, so that a
// folder's path is walked once rather than once for each of its files.
class TSourceOpener {
public:
    TSourceFile Open(const std::string& name);

private:
    std::string folder_;
    TFileDescriptor folderFd_;
};

// Opens the files to pack a little ahead of the writer and has the kernel read them in
// meanwhile: from a cold cache, a million small files would otherwise cost a million waits for
// the disk, one after the other. A file that cannot be opened fails when its turn comes, so
// the pack stops where it would have stopped anyway.
class TSourceQueue {
public:
    // fileOf(i) is the file of item i, or empty when the item's content is in memory.
    TSourceQueue(std::function<const std::string&(std::size_t)> fileOf, std::size_t count);
    // The file of item i, open; items are taken in order, each once.
    TSourceFile Take(std::size_t i);

private:
    struct TAhead {
        std::optional<TSourceFile> File;
        std::exception_ptr Error;
    };

    std::function<const std::string&(std::size_t)> fileOf_;
    std::size_t count_;
    TSourceOpener opener_;
    // The items from first_ on that have been looked at.
    std::deque<TAhead> ahead_;
    std::size_t first_ = 0;
};

} // namespace kiva
