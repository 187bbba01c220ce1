#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "FileDescriptor.h"
#include "HttpRequest.h"

namespace kiva {

class TEntryStore;
class TZLBArc2;

// Serves the open archive's entries over HTTP on the loopback interface, for the browser's
// parts that cannot read the "kiva" scheme (its media player) or read it slowly (bulk data).
// It listens on 127.0.0.1 at a port the system picks and answers only requests whose path
// starts with a random prefix made for this process and whose Host is its own address, so
// other programs and other sites cannot read the archive through it. GET and HEAD serve
// entries, with byte ranges; CORS preflights are answered for the archive's own pages.
// Entries are found with the protocol handler's name mapping and read from the book's entry
// store, which inflates each entry once in the background.
//
// Each connection has a thread of its own, at most kMaxConnections of them; a connection that
// sits idle, or whose request head trickles in, for longer than the idle time is closed.
class TLoopbackServer {
public:
    static constexpr std::chrono::milliseconds kIdleTime{30000};

    // Listens at once; raises kiva::Exception when no socket can be had. The server finds
    // entries with a reader of its own that shares the store's directory, and reads them from
    // the store, which must outlive the server.
    explicit TLoopbackServer(TEntryStore& store, std::chrono::milliseconds idleTime = kIdleTime);
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
    // At most this many connections at once; more are turned away with 503.
    static constexpr int kMaxConnections = 64;

private:
    struct TConnection;
    struct TAnswer;
    void AcceptLoop() noexcept;
    void Serve(TConnection& connection) noexcept;
    // Reads the next request head into head; false when the connection is to end.
    bool ReceiveHead(int fd, std::string& pending, std::string& head) const;
    TAnswer Answer(const THttpRequest& request, bool parsed) const;
    // Sends the body of a GET; false when the connection is to end.
    bool SendBody(int fd, const TAnswer& answer, std::vector<char>& buffer) const;
    void ReapFinished();
    void Wake() const;

    TEntryStore& store_;
    std::unique_ptr<TZLBArc2> reader_;
    const std::chrono::milliseconds idleTime_;
    TFileDescriptor listen_;
    TFileDescriptor wake_;
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
