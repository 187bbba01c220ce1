#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kiva {

class TEntryStore;
class TZLBArc2;

// A byte range of a response, both ends included.
struct TByteRange {
    std::int64_t First = 0;
    std::int64_t Last = 0;
};
enum class TRangeAnswer {
    raWhole,         // no Range header, or one to ignore: the whole body with 200
    raPart,          // one satisfiable range: 206 with that part
    raUnsatisfiable, // 416
};
// Reads an HTTP Range header against a body of size bytes: "bytes=FIRST-LAST", "bytes=FIRST-"
// and the suffix form "bytes=-COUNT". Malformed headers, other units and lists of ranges are
// ignored, as HTTP allows; a range that starts beyond the body cannot be satisfied.
TRangeAnswer ParseByteRange(std::string_view header, std::int64_t size, TByteRange& range);

// Serves the open archive's entries over HTTP on the loopback interface, for the browser's
// parts that cannot read the "kiva" scheme (its media player) or read it slowly (bulk data).
// It listens on 127.0.0.1 at a port the system picks and answers only requests whose path
// starts with a random prefix made for this process and whose Host is its own address, so
// other programs and other sites cannot read the archive through it. GET and HEAD serve
// entries, with byte ranges; CORS preflights are answered for the archive's own pages.
// Entries are found with the protocol handler's name mapping and read from the book's entry
// store, which inflates each entry once in the background.
class TLoopbackServer {
public:
    // Listens at once; raises kiva::Exception when no socket can be had. The server finds
    // entries with a reader of its own that shares the store's directory, and reads them from
    // the store, which must outlive the server.
    explicit TLoopbackServer(TEntryStore& store);
    // Stops listening, ends every connection and waits for their threads.
    ~TLoopbackServer();
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;

    // "http://127.0.0.1:PORT/PREFIX/": an entry's address is this followed by its path below
    // the content root.
    const std::string& BaseUrl() const { return baseUrl_; }
    std::uint16_t Port() const { return port_; }

    // The entries worth fetching from the server rather than through the scheme, whose
    // browser side moves data in small pieces: those of kStreamedEntryMinSize bytes or more, as
    // lower-cased paths below the content root ("/" separators, UTF-8). At most kMaxBulkPaths.
    static std::vector<std::string> BulkPaths(const TZLBArc2& archive);
    static constexpr std::size_t kMaxBulkPaths = 10000;

    // The origin whose pages may read responses by script (CORS).
    static constexpr std::string_view kAllowedOrigin = "kiva://bundle";
    // At most this many connections at once; more are turned away.
    static constexpr int kMaxConnections = 64;

private:
    struct TConnection;
    void AcceptLoop() noexcept;
    void Serve(TConnection& connection) noexcept;
    void ReapFinished();

    TEntryStore& store_;
    std::unique_ptr<TZLBArc2> reader_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::uint16_t port_ = 0;
    std::string prefix_;
    std::string host_;
    std::string baseUrl_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::list<std::unique_ptr<TConnection>> connections_;
    std::thread acceptThread_;
};

} // namespace kiva
