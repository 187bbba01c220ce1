// A page that touches many large entries: every entry is asked for at once through the scheme
// (as the browser's requests reach the handler), then again over HTTP through the media server
// (as a page's scripts fetch them), while a sampler watches the process's descriptors, threads
// and the disk its entry files take. Beside it, zlib's bare inflation of the same entries: the
// work no store can avoid. Prints figures; asserts nothing.
//
//   kiva_bench_store [ENTRIES [MIB_PER_ENTRY [CONNECTIONS]]]     (default 2000 1 6)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BookSession.h"
#include "ComServer.h"
#include "EntryStore.h"
#include "OurNSHandler.h"
#include "ProtocolRegistration.h"
#include "UrlMon.h"

namespace {

namespace fs = std::filesystem;
using namespace kiva;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Put(std::string& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) {
        b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

// An entry's content: its own first line, then text that deflates well, as pages do.
void FillEntry(std::string& content, int index) {
    const std::string head = "entry " + std::to_string(index) + "\n";
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = i < head.size() ? head[i] : static_cast<char>('a' + (i * 7 + index) % 26);
    }
}

// Writes an archive of count compressed entries "eNNNN.bin" of size bytes each and returns
// their deflated forms' total size.
std::vector<std::string> WriteArchive(const std::string& path, int count, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    std::string directory;
    std::vector<std::string> deflated;
    std::uint64_t offset = 0;
    uLong archiveCrc = crc32(0, nullptr, 0);
    std::string content(size, '\0');
    for (int i = 0; i < count; ++i) {
        FillEntry(content, i);
        uLongf len = compressBound(static_cast<uLong>(size));
        std::string data(len, '\0');
        compress2(reinterpret_cast<Bytef*>(data.data()), &len,
                  reinterpret_cast<const Bytef*>(content.data()), static_cast<uLong>(size), 6);
        data.resize(len);
        char name[32];
        std::snprintf(name, sizeof name, "e%04d.bin", i);
        std::string rec(550, '\0');
        rec[0] = static_cast<char>(std::strlen(name));
        std::memcpy(rec.data() + 1, name, std::strlen(name));
        Put(rec, 512, size, 8);
        Put(rec, 520, data.size(), 8);
        Put(rec, 536, offset, 8);
        Put(rec, 544,
            crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(size)), 4);
        rec[549] = 2;
        directory += rec;
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        archiveCrc =
            crc32(archiveCrc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(len));
        offset += data.size();
        deflated.push_back(std::move(data));
    }
    out.write(directory.data(), static_cast<std::streamsize>(directory.size()));
    archiveCrc = crc32(archiveCrc, reinterpret_cast<const Bytef*>(directory.data()),
                       static_cast<uInt>(directory.size()));
    std::string trailer(36, '\0');
    Put(trailer, 0, archiveCrc, 4);
    Put(trailer, 4, static_cast<std::uint64_t>(count), 4);
    Put(trailer, 8, 2, 4);
    Put(trailer, 12, directory.size(), 4);
    Put(trailer, 16, offset, 8);
    out.write(trailer.data(), 36);
    return deflated;
}

// What the sampler saw at its peaks.
struct TPeaks {
    int Descriptors = 0;
    int EntryFiles = 0;
    int Counted = 0;       // entry files by the store's own count
    std::int64_t Held = 0; // bytes by the store's own count
    int Threads = 0;
    std::int64_t EntryBytes = 0; // disk (or memory) the open entry files take
};

class TSampler {
public:
    TSampler(std::string folder, const TEntryStore& store)
        : folder_(std::move(folder)), store_(store) {
        thread_ = std::thread([this] {
            while (!stop_) {
                Sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~TSampler() {
        stop_ = true;
        thread_.join();
    }
    TPeaks Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(peaks_, TPeaks{});
    }

private:
    void Sample() {
        TPeaks now;
        const TEntryStore::TUsage usage = store_.Usage();
        now.Counted = usage.OpenFiles;
        now.Held = usage.Bytes;
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
            ++now.Descriptors;
            const std::string target = fs::read_symlink(fd.path(), ec).string();
            struct stat st {};
            if (!ec && target.rfind(folder_, 0) == 0 && ::stat(fd.path().c_str(), &st) == 0) {
                ++now.EntryFiles;
                now.EntryBytes += static_cast<std::int64_t>(st.st_blocks) * 512;
            }
        }
        for ([[maybe_unused]] const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
            ++now.Threads;
        }
        std::lock_guard lock(mutex_);
        peaks_.Descriptors = std::max(peaks_.Descriptors, now.Descriptors);
        peaks_.EntryFiles = std::max(peaks_.EntryFiles, now.EntryFiles);
        peaks_.Counted = std::max(peaks_.Counted, now.Counted);
        peaks_.Held = std::max(peaks_.Held, now.Held);
        peaks_.Threads = std::max(peaks_.Threads, now.Threads);
        peaks_.EntryBytes = std::max(peaks_.EntryBytes, now.EntryBytes);
    }

    const std::string folder_;
    const TEntryStore& store_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    TPeaks peaks_;
    std::thread thread_;
};

// Calls brought to the driving thread, as the main loop brings them in the viewer.
class TCallQueue {
public:
    kiva::TRequestDispatcher Dispatcher() {
        return [this](std::function<void()> call) {
            std::lock_guard lock(mutex_);
            calls_.push_back(std::move(call));
            ready_.notify_all();
        };
    }
    // Runs what is queued, waiting up to a second for the first.
    void Run() {
        std::deque<std::function<void()>> calls;
        {
            std::unique_lock lock(mutex_);
            ready_.wait_for(lock, std::chrono::seconds(1), [&] { return !calls_.empty(); });
            calls.swap(calls_);
        }
        for (auto& call : calls) {
            call();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> calls_;
};

char16_t* Url(int index, std::u16string& buffer) {
    char name[64];
    std::snprintf(name, sizeof name, "kiva://bundle/e%04d.bin", index);
    buffer.assign(name, name + std::strlen(name));
    return buffer.data();
}

// Every entry asked for at once through the scheme; returns the bytes read.
std::int64_t ThroughTheScheme(kiva::TBookSession& book, int count) {
    TCallQueue queue;
    std::vector<std::shared_ptr<kiva::TNameSpaceRequest>> requests;
    std::u16string url;
    for (int i = 0; i < count; ++i) {
        requests.push_back(kiva::TNameSpaceRequest::Start(
            Url(i, url), nullptr,
            kiva::TRequestContext{queue.Dispatcher(),
                                  kiva::ComPtr<kiva::IServiceProvider>(book.Services())}));
    }
    std::int64_t bytes = 0;
    std::vector<char> buf(64 * 1024);
    const auto start = Clock::now();
    while (!requests.empty() && SecondsSince(start) < 600) {
        for (auto it = requests.begin(); it != requests.end();) {
            HRESULT hr = S_OK;
            ULONG n = 0;
            while ((hr = (*it)->Read(buf.data(), static_cast<ULONG>(buf.size()), &n)) == S_OK) {
                bytes += n;
            }
            if (hr == E_PENDING) {
                ++it;
                continue;
            }
            if (hr != S_FALSE) {
                std::printf("  a request failed: %08X\n", static_cast<unsigned>(hr));
            }
            (*it)->Close();
            it = requests.erase(it);
        }
        queue.Run();
    }
    return bytes;
}

// Every entry fetched over HTTP through the media server, on a few keep-alive connections as a
// browser holds them; returns the bytes of the bodies.
std::int64_t OverHttp(const kiva::TLoopbackServer& server, int count, int connections) {
    const std::string base = server.BaseUrl();
    const std::string path = base.substr(base.find('/', 7));
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    std::atomic<std::int64_t> total{0};
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&] {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(server.Port());
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            std::vector<char> buf(256 * 1024);
            std::string pending;
            for (int i; (i = next++) < count;) {
                char name[32];
                std::snprintf(name, sizeof name, "e%04d.bin", i);
                const std::string request =
                    "GET " + path + name + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
                send(fd, request.data(), request.size(), MSG_NOSIGNAL);
                std::size_t end;
                while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
                    if (n <= 0) {
                        return;
                    }
                    pending.append(buf.data(), static_cast<std::size_t>(n));
                }
                const std::size_t at = pending.find("Content-Length: ");
                std::int64_t left = std::stoll(pending.substr(at + 16));
                pending.erase(0, end + 4);
                const std::int64_t already =
                    std::min<std::int64_t>(left, static_cast<std::int64_t>(pending.size()));
                left -= already;
                total += already;
                pending.erase(0, static_cast<std::size_t>(already));
                while (left > 0) {
                    const ssize_t n = recv(fd, buf.data(),
                                           static_cast<std::size_t>(std::min<std::int64_t>(
                                               left, static_cast<std::int64_t>(buf.size()))),
                                           0);
                    if (n <= 0) {
                        return;
                    }
                    left -= n;
                    total += n;
                }
            }
            close(fd);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    return total;
}

double BareInflateSeconds(const std::vector<std::string>& deflated, std::size_t size) {
    std::vector<Bytef> out(size);
    const auto start = Clock::now();
    for (const std::string& d : deflated) {
        uLongf len = static_cast<uLongf>(size);
        uncompress(out.data(), &len, reinterpret_cast<const Bytef*>(d.data()),
                   static_cast<uLong>(d.size()));
    }
    return SecondsSince(start);
}

void Print(const char* what, double seconds, std::int64_t bytes, const TPeaks& p,
           double reference) {
    std::printf("%-34s %5.1f s (%3.1fx bare) %5.0f MiB | peaks: %4d descriptors, %3d entry files "
                "(%3d counted) in %4.0f MiB (%4.0f counted), %2d threads\n",
                what, seconds, seconds / reference, bytes / 1048576.0, p.Descriptors, p.EntryFiles,
                p.Counted, p.EntryBytes / 1048576.0, p.Held / 1048576.0, p.Threads);
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::size_t size = (argc > 2 ? std::stoul(argv[2]) : 1) << 20;
    const int connections = argc > 3 ? std::atoi(argv[3]) : 6;

    char folder[] = "/var/tmp/kiva-bench-store-XXXXXX";
    if (!mkdtemp(folder)) {
        return 1;
    }
    // The book's entry files go below the bench's own folder, on the disk.
    setenv("XDG_CACHE_HOME", (std::string(folder) + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (std::string(folder) + "/data").c_str(), 1);
    const std::string archive = std::string(folder) + "/book.kvb";
    const std::vector<std::string> deflated = WriteArchive(archive, count, size);
    const double bare = BareInflateSeconds(deflated, size);
    std::printf("%d entries of %zu MiB, %.1f MiB in the archive\n", count, size >> 20,
                fs::file_size(archive) / 1048576.0);
    std::printf("%-34s %7.1f s\n", "bare zlib inflation of every entry", bare);

    int status = 0;
    kiva::OurNSHandlerInit();
    kiva::ComServer().Initialize({});
    {
        kiva::ComPtr<kiva::IClassFactory> factory;
        kiva::ComPtr<kiva::IInternetSession> session;
        kiva::RegisterKivaNameSpace(factory, session);
        kiva::TBookSession book;
        book.Archive().OpenArchive(archive);
        book.Prepare(false);
        const std::string entries = book.CacheFolder() + "/entries";
        std::printf("entry files in %s, budget %.0f MiB\n", entries.c_str(),
                    book.Entries()->Usage().Budget / 1048576.0);
        TSampler sampler(entries, *book.Entries());
        sampler.Take();

        auto start = Clock::now();
        std::int64_t bytes = ThroughTheScheme(book, count);
        Print("all at once through the scheme", SecondsSince(start), bytes, sampler.Take(), bare);
        status |=
            bytes == static_cast<std::int64_t>(count) * static_cast<std::int64_t>(size) ? 0 : 1;

        start = Clock::now();
        bytes = OverHttp(*book.MediaServer(), count, connections);
        char what[64];
        std::snprintf(what, sizeof what, "over HTTP, %d connections", connections);
        Print(what, SecondsSince(start), bytes, sampler.Take(), bare);
        status |=
            bytes == static_cast<std::int64_t>(count) * static_cast<std::int64_t>(size) ? 0 : 1;

        book.StopServing();
        UnregisterKivaNameSpace(factory, session);
    }
    kiva::ComServer().Finalize();
    kiva::OurNSHandlerFinal();
    fs::remove_all(folder);
    if (status != 0) {
        std::printf("some bodies came back short\n");
    }
    return status;
}
