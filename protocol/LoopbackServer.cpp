#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "ArchiveDirectory.h"
#include "ContentUrl.h"
#include "EntryStore.h"
#include "SysUtils.h"
#include "Trace.h"
#include "ZLIBArchive2.h"

namespace kiva {

namespace {

constexpr std::int64_t kSendChunk = 256 * 1024;
// How long a response waits for bytes that an extraction has not delivered yet, in steps
// that let a stopping server end the wait.
constexpr auto kWaitStep = std::chrono::milliseconds(200);
constexpr int kMaxWaitSteps = 60 * 5;

std::string RandomPrefix() {
    // Up to 256 bytes come whole from getrandom, never cut short by a signal.
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        throw Exception(Format("No random numbers for the media server. %s", std::strerror(errno)));
    }
    static const char digits[] = "0123456789abcdef";
    std::string prefix;
    for (unsigned char b : bytes) {
        prefix += digits[b >> 4];
        prefix += digits[b & 15];
    }
    return prefix;
}

// Media and WebAssembly need their types. Everything else is declared as plain bytes: the
// browser moves bodies that it takes for text or images (by their type or their address)
// five times slower, and a script that fetches a large entry reads its bytes either way.
std::string ResponseTypeHeader(std::string_view name) {
    const std::string type = ContentTypeOfEntry(name);
    return "Content-Type: " + (type.empty() ? std::string("application/octet-stream") : type) +
           "\r\n";
}

// A header list a preflight may be granted: tokens, commas and blanks only.
bool IsHeaderList(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ',' ||
               c == ' ';
    });
}

bool SendText(int fd, const std::string& text) {
    return SendAll(fd, text.data(), std::ssize(text));
}

TFileDescriptor Listen(std::uint16_t& port) {
    TFileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 64) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw Exception(Format("Cannot start the media server. %s", std::strerror(errno)));
    }
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

std::vector<std::string> TLoopbackServer::BulkPaths(const TZLBArc2& archive) {
    // The reader noted its large entries while the directory loaded: a book of a million
    // small pages is not walked again here.
    static_assert(kStreamedEntryMinSize == TArchiveDirectory::kLargeEntrySize);
    static_assert(kMaxBulkPaths <= TArchiveDirectory::kMaxLargeEntries);
    std::vector<std::string> paths;
    for (const std::uint32_t i : archive.LargeEntries()) {
        if (paths.size() >= kMaxBulkPaths) {
            break;
        }
        const TArchiveEntry entry = archive.GetFileEntry(static_cast<int>(i));
        std::string path = AnsiLowerCaseAscii(ArchiveText(entry.FullName()));
        std::replace(path.begin(), path.end(), '\\', '/');
        paths.push_back(std::move(path));
    }
    return paths;
}

struct TLoopbackServer::TConnection {
    TFileDescriptor Fd;
    std::atomic<bool> Finished{false};
    std::thread Thread;
};

// What one request is answered with. File holds the entry for as long as the answer is sent,
// which keeps the store from closing it meanwhile.
struct TLoopbackServer::TAnswer {
    std::string Status;
    std::string Headers;
    bool KeepAlive = true;
    bool SendBody = false;
    TByteRange Range;
    std::shared_ptr<TEntryFile> File;
};

TLoopbackServer::TLoopbackServer(TEntryStore& store, std::chrono::milliseconds idleTime)
    : store_(store), reader_(std::make_unique<TZLBArc2>(nullptr)), idleTime_(idleTime),
      prefix_(RandomPrefix()) {
    const TZLBArc2& archive = store.Archive();
    reader_->OpenSameArchive(archive);
    reader_->SavePaths = archive.SavePaths;
    reader_->VerifyFileCRC = archive.VerifyFileCRC;

    listen_ = Listen(port_);
    wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) {
        throw Exception(Format("Cannot start the media server. %s", std::strerror(errno)));
    }
    host_ = "127.0.0.1:" + std::to_string(port_);
    baseUrl_ = "http://" + host_ + "/" + prefix_ + "/";
    acceptThread_ = std::thread(&TLoopbackServer::AcceptLoop, this);
}

TLoopbackServer::~TLoopbackServer() {
    stop_ = true;
    Wake();
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    // The accept thread has gone, so the list changes no more.
    for (auto& c : connections_) {
        // Wakes a connection blocked in a read, a wait or a write.
        ::shutdown(c->Fd.Get(), SHUT_RDWR);
    }
    for (auto& c : connections_) {
        c->Thread.join();
    }
}

void TLoopbackServer::Wake() const {
    const std::uint64_t one = 1;
    // The counter only grows until the accept thread reads it, so a full one still wakes.
    [[maybe_unused]] const bool woken = WriteAll(wake_.Get(), &one, sizeof one);
}

void TLoopbackServer::ReapFinished() {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->Finished) {
            (*it)->Thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void TLoopbackServer::AcceptLoop() noexcept {
    while (!stop_) {
        pollfd fds[2] = {{listen_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            TraceError("the media server", std::strerror(errno));
            return;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const std::int64_t n = ReadSome(wake_.Get(), &count, sizeof count);
        }
        ReapFinished();
        if (stop_ || !(fds[0].revents & POLLIN)) {
            continue;
        }
        TFileDescriptor fd(::accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) {
            continue;
        }
        std::lock_guard lock(mutex_);
        if (static_cast<int>(connections_.size()) >= kMaxConnections) {
            // Said without waiting: a client that does not read it is not waited for.
            static constexpr std::string_view busy =
                "HTTP/1.1 503 Service Unavailable\r\n"
                "Content-Length: 0\r\nConnection: close\r\n\r\n";
            [[maybe_unused]] const ssize_t n =
                ::send(fd.Get(), busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            continue;
        }
        // A peer that stops reading a reply holds its connection no longer than an idle one.
        const timeval idle{static_cast<time_t>(idleTime_.count() / 1000),
                           static_cast<suseconds_t>(idleTime_.count() % 1000 * 1000)};
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
        try {
            auto c = std::make_unique<TConnection>();
            c->Fd = std::move(fd);
            TConnection& ref = *c;
            connections_.push_back(std::move(c));
            ref.Thread = std::thread([this, &ref] {
                Serve(ref);
                // The peer learns at once that the reply is complete; the socket itself is
                // closed when the thread is reaped.
                ::shutdown(ref.Fd.Get(), SHUT_RDWR);
                ref.Finished = true;
                Wake();
            });
        } catch (...) {
            // No thread for the connection: it is turned away, and the server goes on.
            TraceCaughtError("the media server");
            connections_.pop_back();
        }
    }
}

bool TLoopbackServer::ReceiveHead(int fd, std::string& pending, std::string& head) const {
    // The whole head must arrive within the idle time from the moment the connection waits
    // for it, so a client that trickles bytes cannot hold a connection for ever.
    const auto deadline = std::chrono::steady_clock::now() + idleTime_;
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
        if (pending.size() > kMaxRequestHead) {
            SendText(fd, "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                         "Content-Length: 0\r\nConnection: close\r\n\r\n");
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || stop_) {
            return false;
        }
        char chunk[4096];
        const std::int64_t n = ReadSome(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
    }
    head = pending.substr(0, end);
    pending.erase(0, end + 4);
    return true;
}

TLoopbackServer::TAnswer TLoopbackServer::Answer(const THttpRequest& request, bool parsed) const {
    TAnswer a;
    a.KeepAlive = parsed && request.Http11 && request.Connection != "close";
    const std::string root = "/" + prefix_ + "/";
    const bool ownOrigin = request.Origin == kAllowedOrigin;
    if (ownOrigin) {
        a.Headers += "Access-Control-Allow-Origin: " + std::string(kAllowedOrigin) + "\r\n";
        a.Headers += "Access-Control-Expose-Headers: Content-Length, Content-Range, "
                     "Accept-Ranges, Content-Type\r\n";
    }
    a.Headers += "Vary: Origin\r\n";
    if (!parsed || request.Host.empty()) {
        a.Status = "400 Bad Request";
        a.KeepAlive = false;
        return a;
    }
    if (request.Host != host_ || request.Target.rfind(root, 0) != 0) {
        // Other names of this address (a rebound domain) and other paths see nothing.
        a.Status = "404 Not Found";
        return a;
    }
    if (request.HasBody) {
        a.Status = "405 Method Not Allowed";
        a.Headers += "Allow: GET, HEAD, OPTIONS\r\n";
        a.KeepAlive = false;
        return a;
    }
    if (request.Method == "OPTIONS" && ownOrigin &&
        (request.PreflightMethod == "GET" || request.PreflightMethod == "HEAD") &&
        IsHeaderList(request.PreflightHeaders)) {
        a.Status = "204 No Content";
        a.Headers += "Access-Control-Allow-Methods: GET, HEAD\r\n";
        if (!request.PreflightHeaders.empty()) {
            a.Headers += "Access-Control-Allow-Headers: " + request.PreflightHeaders + "\r\n";
        }
        a.Headers += "Access-Control-Max-Age: 600\r\n";
        return a;
    }
    if (request.Method != "GET" && request.Method != "HEAD") {
        a.Status = "405 Method Not Allowed";
        a.Headers += "Allow: GET, HEAD, OPTIONS\r\n";
        return a;
    }
    const std::string url = std::string(kContentRoot) + request.Target.substr(root.size());
    const TUrlEntry found = FindUrlEntry(*reader_, url);
    if (found.Index < 0) {
        a.Status = "404 Not Found";
        return a;
    }
    const std::int64_t size =
        std::max<std::int64_t>(0, reader_->GetFileEntry(found.Index).UncompressedSize);
    // An entry too large for the store inflates straight to its one reader, from its start:
    // a range request gets the whole body (HTTP lets a server ignore Range), and the client
    // learns that this entry does not seek.
    const bool streamed = store_.Streams(found.Index);
    a.Headers += ResponseTypeHeader(found.Name);
    a.Headers += streamed ? "Accept-Ranges: none\r\n" : "Accept-Ranges: bytes\r\n";
    // The entry files are the cache; the browser keeps no second copy.
    a.Headers += "Cache-Control: no-store\r\n";
    switch (streamed ? TRangeAnswer::raWhole : ParseByteRange(request.Range, size, a.Range)) {
    case TRangeAnswer::raWhole:
        a.Status = "200 OK";
        a.Range = {0, size - 1};
        a.SendBody = size > 0;
        break;
    case TRangeAnswer::raPart:
        a.Status = "206 Partial Content";
        a.Headers += "Content-Range: bytes " + std::to_string(a.Range.First) + "-" +
                     std::to_string(a.Range.Last) + "/" + std::to_string(size) + "\r\n";
        a.SendBody = true;
        break;
    case TRangeAnswer::raUnsatisfiable:
        a.Status = "416 Range Not Satisfiable";
        a.Headers += "Content-Range: bytes */" + std::to_string(size) + "\r\n";
        break;
    }
    // A HEAD needs no bytes, so it starts no extraction.
    if (a.SendBody && request.Method == "GET") {
        try {
            a.File = store_.Open(found.Index);
        } catch (const std::exception&) {
            // The store is closing, or too many large entries stream at once.
            TraceCaughtError("the media server");
            return TAnswer{"503 Service Unavailable", "Vary: Origin\r\n", false, false, {}, {}};
        }
    }
    return a;
}

bool TLoopbackServer::SendBody(int fd, const TAnswer& answer, std::vector<char>& buffer) const {
    TEntryFile& file = *answer.File;
    std::int64_t at = answer.Range.First;
    const std::int64_t stopAt = answer.Range.Last + 1;
    int waited = 0;
    while (at < stopAt && !stop_) {
        const std::int64_t n =
            file.ReadAvailable(at, buffer.data(), std::min<std::int64_t>(kSendChunk, stopAt - at));
        if (n > 0) {
            if (!SendAll(fd, buffer.data(), n)) {
                return false;
            }
            at += n;
            waited = 0;
            continue;
        }
        const TEntryFile::TProgress p = file.WaitFor(at, kWaitStep);
        // An entry that ends short of its announced size, or fails, breaks the response off:
        // the client must not take a short body for the whole.
        if ((p.Done && p.Available <= at) || ++waited > kMaxWaitSteps) {
            return false;
        }
    }
    return at == stopAt;
}

void TLoopbackServer::Serve(TConnection& connection) noexcept {
    const int fd = connection.Fd.Get();
    std::string pending;
    std::vector<char> buffer;
    try {
        std::string head;
        while (!stop_ && ReceiveHead(fd, pending, head)) {
            THttpRequest request;
            const bool parsed = ParseHttpRequest(head, request);
            const TAnswer answer = Answer(request, parsed);
            const std::int64_t length =
                answer.SendBody ? answer.Range.Last - answer.Range.First + 1 : 0;
            const std::string reply =
                "HTTP/1.1 " + answer.Status + "\r\n" + answer.Headers +
                "Content-Length: " + std::to_string(length) + "\r\n" +
                (answer.KeepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n") +
                "\r\n";
            if (!SendText(fd, reply)) {
                return;
            }
            if (answer.File) {
                buffer.resize(static_cast<std::size_t>(kSendChunk));
                if (!SendBody(fd, answer, buffer)) {
                    return;
                }
            }
            if (!answer.KeepAlive) {
                return;
            }
        }
    } catch (...) {
        // The connection ends; the server and the other connections go on.
        TraceCaughtError("the media server");
    }
}

} // namespace kiva
