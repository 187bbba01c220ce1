#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "EntryStore.h"
#include "ContentUrl.h"
#include "SysUtils.h"
#include "ZLIBArchive2.h"

namespace kiva {

namespace {

constexpr std::size_t kMaxRequestHead = 16 * 1024;
constexpr int kIdleSeconds = 30;
constexpr std::int64_t kSendChunk = 256 * 1024;
// How long a response waits for bytes that an extraction has not delivered yet, in steps
// that let a stopping server end the wait.
constexpr auto kWaitStep = std::chrono::milliseconds(200);
constexpr int kMaxWaitSteps = 60 * 5;

std::string RandomPrefix() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw Exception("No random numbers for the media server");
        }
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string prefix;
    for (unsigned char b : bytes) {
        prefix += digits[b >> 4];
        prefix += digits[b & 15];
    }
    return prefix;
}

bool ParseNumber(std::string_view text, std::int64_t& value) {
    if (text.empty() || text.size() > 18) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// Media and WebAssembly need their types. Everything else is declared as plain bytes: the
// browser moves bodies that it takes for text or images (by their type or their address)
// five times slower, and a script that fetches a large entry reads its bytes either way.
std::string ResponseTypeHeader(std::string_view name) {
    const std::string type = ContentTypeOfEntry(name);
    return "Content-Type: " + (type.empty() ? std::string("application/octet-stream") : type) +
           "\r\n";
}

struct TRequest {
    std::string Method;
    std::string Target;
    bool Http11 = true;
    std::string Host;
    std::string Range;
    std::string Origin;
    std::string Connection;
    std::string PreflightMethod;
    std::string PreflightHeaders;
    bool HasBody = false;
};

// Parses a request head (without its final empty line); false when it is malformed.
bool ParseRequest(std::string_view head, TRequest& r) {
    std::size_t lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) {
        return false;
    }
    r.Method = std::string(line.substr(0, sp1));
    r.Target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
    const std::string_view version = line.substr(sp2 + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        return false;
    }
    r.Http11 = version == "HTTP/1.1";
    while (lineEnd != std::string_view::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string_view field = head.substr(start, lineEnd - start);
        if (field.empty()) {
            continue;
        }
        const std::size_t colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            return false;
        }
        const std::string name = AnsiLowerCaseAscii(field.substr(0, colon));
        const std::string value(TrimView(field.substr(colon + 1)));
        if (name == "host") {
            r.Host = value;
        } else if (name == "range") {
            r.Range = value;
        } else if (name == "origin") {
            r.Origin = value;
        } else if (name == "connection") {
            r.Connection = AnsiLowerCaseAscii(value);
        } else if (name == "access-control-request-method") {
            r.PreflightMethod = value;
        } else if (name == "access-control-request-headers") {
            r.PreflightHeaders = value;
        } else if ((name == "content-length" && value != "0") || name == "transfer-encoding") {
            r.HasBody = true;
        }
    }
    return true;
}

// A header list a preflight may be granted: tokens, commas and blanks only.
bool IsHeaderList(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ',' ||
               c == ' ';
    });
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

TRangeAnswer ParseByteRange(std::string_view header, std::int64_t size, TByteRange& range) {
    constexpr std::string_view unit = "bytes=";
    header = TrimView(header);
    if (header.size() <= unit.size() || !SameTextAscii(header.substr(0, unit.size()), unit)) {
        return TRangeAnswer::raWhole;
    }
    const std::string_view ranges = TrimView(header.substr(unit.size()));
    const std::size_t dash = ranges.find('-');
    if (dash == std::string_view::npos || ranges.find(',') != std::string_view::npos) {
        return TRangeAnswer::raWhole;
    }
    const std::string_view first = TrimView(ranges.substr(0, dash));
    const std::string_view last = TrimView(ranges.substr(dash + 1));
    std::int64_t a = 0;
    std::int64_t b = 0;
    if (first.empty()) {
        // The last COUNT bytes.
        if (!ParseNumber(last, b)) {
            return TRangeAnswer::raWhole;
        }
        if (b == 0 || size == 0) {
            return TRangeAnswer::raUnsatisfiable;
        }
        range = {std::max<std::int64_t>(0, size - b), size - 1};
        return TRangeAnswer::raPart;
    }
    if (!ParseNumber(first, a) || (!last.empty() && (!ParseNumber(last, b) || b < a))) {
        return TRangeAnswer::raWhole;
    }
    if (a >= size) {
        return TRangeAnswer::raUnsatisfiable;
    }
    range = {a, last.empty() ? size - 1 : std::min(b, size - 1)};
    return TRangeAnswer::raPart;
}

std::vector<std::string> TLoopbackServer::BulkPaths(const TZLBArc2& archive) {
    std::vector<std::string> paths;
    const int count = archive.FileCount();
    for (int i = 0; i < count && paths.size() < kMaxBulkPaths; ++i) {
        const TArchiveEntry entry = archive.GetFileEntry(i);
        if (entry.UncompressedSize < kStreamedEntryMinSize ||
            (entry.Method != emCompressed && entry.Method != emStored)) {
            continue;
        }
        std::string path = AnsiLowerCaseAscii(ArchiveText(entry.FullName()));
        std::replace(path.begin(), path.end(), '\\', '/');
        paths.push_back(std::move(path));
    }
    return paths;
}

struct TLoopbackServer::TConnection {
    int Fd = -1;
    std::atomic<bool> Finished{false};
    std::thread Thread;
};

TLoopbackServer::TLoopbackServer(TEntryStore& store)
    : store_(store), reader_(std::make_unique<TZLBArc2>(nullptr)), prefix_(RandomPrefix()) {
    const TZLBArc2& archive = store.Archive();
    reader_->OpenSameArchive(archive);
    reader_->SavePaths = archive.SavePaths;
    reader_->VerifyFileCRC = archive.VerifyFileCRC;

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        throw Exception(Format("Cannot start the media server. %s", std::strerror(errno)));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int err = errno;
        ::close(listenFd_);
        throw Exception(Format("Cannot start the media server. %s", std::strerror(err)));
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const int err = errno;
        ::close(listenFd_);
        throw Exception(Format("Cannot start the media server. %s", std::strerror(err)));
    }
    port_ = ntohs(address.sin_port);
    host_ = "127.0.0.1:" + std::to_string(port_);
    baseUrl_ = "http://" + host_ + "/" + prefix_ + "/";
    acceptThread_ = std::thread(&TLoopbackServer::AcceptLoop, this);
}

TLoopbackServer::~TLoopbackServer() {
    stop_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_) {
            // Wakes a connection blocked in a read or a write.
            ::shutdown(c->Fd, SHUT_RDWR);
        }
    }
    for (auto& c : connections_) {
        if (c->Thread.joinable()) {
            c->Thread.join();
        }
        ::close(c->Fd);
    }
    ::close(listenFd_);
    ::close(wakeFd_);
}

void TLoopbackServer::ReapFinished() {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->Finished) {
            (*it)->Thread.join();
            ::close((*it)->Fd);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void TLoopbackServer::AcceptLoop() noexcept {
    while (!stop_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        ReapFinished();
        if (stop_ || !(fds[0].revents & POLLIN)) {
            continue;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard lock(mutex_);
        if (static_cast<int>(connections_.size()) >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        const timeval idle{kIdleSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
        try {
            auto c = std::make_unique<TConnection>();
            c->Fd = fd;
            TConnection& ref = *c;
            connections_.push_back(std::move(c));
            ref.Thread = std::thread([this, &ref] {
                Serve(ref);
                // The peer learns at once that the reply is complete; the socket itself is
                // closed when the thread is reaped.
                ::shutdown(ref.Fd, SHUT_RDWR);
                ref.Finished = true;
                const std::uint64_t one = 1;
                [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
            });
        } catch (...) {
            connections_.pop_back();
            ::close(fd);
        }
    }
}

void TLoopbackServer::Serve(TConnection& connection) noexcept {
    const int fd = connection.Fd;
    std::string pending;
    std::vector<char> buffer(static_cast<std::size_t>(kSendChunk));
    try {
        while (!stop_) {
            // One request head, possibly after bytes of the previous read.
            std::size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                if (pending.size() > kMaxRequestHead) {
                    const char* tooLarge = "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                                           "Content-Length: 0\r\nConnection: close\r\n\r\n";
                    SendAll(fd, tooLarge, std::strlen(tooLarge));
                    return;
                }
                char chunk[4096];
                const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    return;
                }
                pending.append(chunk, static_cast<std::size_t>(n));
            }
            const std::string head = pending.substr(0, end);
            pending.erase(0, end + 4);

            TRequest request;
            std::string status;
            std::string headers;
            bool keepAlive = true;
            std::shared_ptr<TEntryFile> file;
            TByteRange range;
            bool sendBody = false;
            const bool parsed = ParseRequest(head, request);
            keepAlive = parsed && request.Http11 && request.Connection != "close";
            const std::string root = "/" + prefix_ + "/";
            const bool ownOrigin = request.Origin == kAllowedOrigin;
            if (ownOrigin) {
                headers += "Access-Control-Allow-Origin: " + std::string(kAllowedOrigin) + "\r\n";
                headers += "Access-Control-Expose-Headers: Content-Length, Content-Range, "
                           "Accept-Ranges, Content-Type\r\n";
            }
            headers += "Vary: Origin\r\n";
            if (!parsed || request.Host.empty()) {
                status = "400 Bad Request";
                keepAlive = false;
            } else if (request.Host != host_ || request.Target.rfind(root, 0) != 0) {
                // Other names of this address (a rebound domain) and other paths see nothing.
                status = "404 Not Found";
            } else if (request.HasBody) {
                status = "405 Method Not Allowed";
                headers += "Allow: GET, HEAD, OPTIONS\r\n";
                keepAlive = false;
            } else if (request.Method == "OPTIONS" && ownOrigin &&
                       (request.PreflightMethod == "GET" || request.PreflightMethod == "HEAD") &&
                       IsHeaderList(request.PreflightHeaders)) {
                status = "204 No Content";
                headers += "Access-Control-Allow-Methods: GET, HEAD\r\n";
                if (!request.PreflightHeaders.empty()) {
                    headers += "Access-Control-Allow-Headers: " + request.PreflightHeaders + "\r\n";
                }
                headers += "Access-Control-Max-Age: 600\r\n";
            } else if (request.Method != "GET" && request.Method != "HEAD") {
                status = "405 Method Not Allowed";
                headers += "Allow: GET, HEAD, OPTIONS\r\n";
            } else {
                const std::string url =
                    std::string(kContentRoot) + request.Target.substr(root.size());
                const TUrlEntry found = FindUrlEntry(*reader_, url);
                if (found.Index < 0) {
                    status = "404 Not Found";
                } else {
                    file = store_.Open(found.Index);
                    const std::int64_t size = file->ExpectedSize();
                    headers += ResponseTypeHeader(found.Name);
                    headers += "Accept-Ranges: bytes\r\n";
                    // The entry files are the cache; the browser keeps no second copy.
                    headers += "Cache-Control: no-store\r\n";
                    switch (ParseByteRange(request.Range, size, range)) {
                    case TRangeAnswer::raWhole:
                        status = "200 OK";
                        range = {0, size - 1};
                        sendBody = size > 0;
                        break;
                    case TRangeAnswer::raPart:
                        status = "206 Partial Content";
                        headers += "Content-Range: bytes " + std::to_string(range.First) + "-" +
                                   std::to_string(range.Last) + "/" + std::to_string(size) + "\r\n";
                        sendBody = true;
                        break;
                    case TRangeAnswer::raUnsatisfiable:
                        status = "416 Range Not Satisfiable";
                        headers += "Content-Range: bytes */" + std::to_string(size) + "\r\n";
                        break;
                    }
                }
            }
            const std::int64_t length = sendBody ? range.Last - range.First + 1 : 0;
            std::string reply =
                "HTTP/1.1 " + status + "\r\n" + headers +
                "Content-Length: " + std::to_string(length) + "\r\n" +
                (keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n") + "\r\n";
            if (!SendAll(fd, reply.data(), reply.size())) {
                return;
            }
            if (sendBody && request.Method == "GET") {
                std::int64_t at = range.First;
                const std::int64_t stopAt = range.Last + 1;
                int waited = 0;
                while (at < stopAt && !stop_) {
                    const std::int64_t n = file->ReadAvailable(
                        at, buffer.data(), std::min<std::int64_t>(kSendChunk, stopAt - at));
                    if (n > 0) {
                        if (!SendAll(fd, buffer.data(), static_cast<std::size_t>(n))) {
                            return;
                        }
                        at += n;
                        waited = 0;
                        continue;
                    }
                    const TEntryFile::TProgress p = file->WaitFor(at, kWaitStep);
                    // An entry that ends short of its announced size, or fails, breaks the
                    // response off: the client must not take a short body for the whole.
                    if ((p.Done && p.Available <= at) || ++waited > kMaxWaitSteps) {
                        return;
                    }
                }
            }
            if (!keepAlive) {
                return;
            }
        }
    } catch (...) {
        // The connection ends; the server and the other connections go on.
    }
}

} // namespace kiva
