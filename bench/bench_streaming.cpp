// Large entries served while they inflate: the background extraction into an entry file and
// the loopback server, each beside the bare work it cannot avoid (zlib's own inflation, a
// plain read of a stored range). Prints figures; asserts nothing.
//
//   kiva_bench_streaming [MiB]        (default 300)
//   kiva_bench_streaming --zlib-only [MiB]   prints only the bare inflation's milliseconds
//   kiva_bench_streaming --write FILE [MiB]  writes the entry's content to FILE and ends

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "EntryStore.h"
#include "LoopbackServer.h"
#include "OurNSHandler.h"
#include "ZLIBArchive2.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// Text that compresses about as well as a site's pages do, different on every line.
std::string CompressibleContent(std::size_t size) {
    static const char* const words[] = {"alpha",  "archive", "viewer", "entry",  "stream",
                                        "window", "page",    "kiva",   "bundle", "delta"};
    std::string s;
    s.reserve(size + 128);
    std::uint32_t x = 12345;
    for (std::size_t line = 0; s.size() < size; ++line) {
        for (int w = 0; w < 12; ++w) {
            x = x * 1103515245u + 12345u;
            s += words[(x >> 16) % 10];
            s += ' ';
        }
        s += std::to_string(line);
        s += '\n';
    }
    s.resize(size);
    return s;
}

std::string Deflate(const std::string& in) {
    uLongf len = compressBound(static_cast<uLong>(in.size()));
    std::string out(len, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(in.data()),
              static_cast<uLong>(in.size()), Z_DEFAULT_COMPRESSION);
    out.resize(len);
    return out;
}

void Put(std::string& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) {
        b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

// One archive of two entries with the same content: "big.txt" compressed, "big.bin" stored.
void WriteArchive(const std::string& path, const std::string& content,
                  const std::string& deflated) {
    std::ofstream out(path, std::ios::binary);
    std::string directory;
    std::uint64_t offset = 0;
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    for (int stored = 0; stored < 2; ++stored) {
        const std::string name = stored ? "big.bin" : "big.txt";
        const std::string& data = stored ? content : deflated;
        std::string rec(550, '\0');
        rec[0] = static_cast<char>(name.size());
        std::memcpy(rec.data() + 1, name.data(), name.size());
        Put(rec, 512, content.size(), 8);
        Put(rec, 520, stored ? 0 : deflated.size(), 8);
        Put(rec, 536, offset, 8);
        Put(rec, 544, crc, 4);
        rec[548] = static_cast<char>(stored ? 1 : 0);
        rec[549] = static_cast<char>(stored ? 0 : 2);
        directory += rec;
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        offset += data.size();
    }
    out.write(directory.data(), static_cast<std::streamsize>(directory.size()));
    std::string trailer(36, '\0');
    Put(trailer, 4, 2, 4);
    Put(trailer, 8, 2, 4);
    Put(trailer, 12, directory.size(), 4);
    Put(trailer, 16, offset, 8);
    out.write(trailer.data(), 36);
}

double BareInflateMs(const std::string& deflated, std::size_t size) {
    std::vector<Bytef> out(size);
    double best = 1e300;
    for (int run = 0; run < 3; ++run) {
        uLongf len = static_cast<uLongf>(size);
        const auto start = Clock::now();
        uncompress(out.data(), &len, reinterpret_cast<const Bytef*>(deflated.data()),
                   static_cast<uLong>(deflated.size()));
        best = std::min(best, MsSince(start));
    }
    return best;
}

int Connect(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

struct TFetch {
    double FirstByteMs = 0;
    double TotalMs = 0;
    std::int64_t Bytes = 0;
};

// One GET through the server, reading the reply to its end.
TFetch Fetch(const kiva::TLoopbackServer& server, const std::string& name,
             const std::string& range = std::string()) {
    const std::string base = server.BaseUrl();
    const std::string path = base.substr(base.find('/', 7));
    const std::string request =
        "GET " + path + name + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
        "\r\n" + (range.empty() ? "" : "Range: " + range + "\r\n") + "Connection: close\r\n\r\n";
    TFetch f;
    const auto start = Clock::now();
    const int fd = Connect(server.Port());
    send(fd, request.data(), request.size(), 0);
    std::vector<char> buf(1 << 20);
    bool first = true;
    for (;;) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
            break;
        }
        if (first) {
            f.FirstByteMs = MsSince(start);
            first = false;
        }
        f.Bytes += n;
    }
    f.TotalMs = MsSince(start);
    close(fd);
    return f;
}

} // namespace

int main(int argc, char** argv) {
    bool zlibOnly = false;
    std::string writeTo;
    std::size_t mib = 300;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--zlib-only") == 0) {
            zlibOnly = true;
        } else if (std::strcmp(argv[i], "--write") == 0 && i + 1 < argc) {
            writeTo = argv[++i];
        } else {
            mib = static_cast<std::size_t>(std::stoul(argv[i]));
        }
    }
    const std::size_t size = mib << 20;
    const std::string content = CompressibleContent(size);
    if (!writeTo.empty()) {
        std::ofstream(writeTo, std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(size));
        return 0;
    }
    const std::string deflated = Deflate(content);
    const double bare = BareInflateMs(deflated, size);
    if (zlibOnly) {
        std::printf("%.0f\n", bare);
        return 0;
    }
    std::printf("entry: %zu MiB, deflated to %.1f MiB\n", mib, deflated.size() / 1048576.0);
    std::printf("bare zlib inflate into a ready buffer:        %8.0f ms\n", bare);

    char folder[] = "/tmp/kiva-bench-XXXXXX";
    if (!mkdtemp(folder)) {
        return 1;
    }
    setenv("TMPDIR", folder, 1);
    const std::string archiveFile = std::string(folder) + "/big.kvb";
    WriteArchive(archiveFile, content, deflated);
    kiva::OurNSHandlerInit();
    int status = 0;
    {
        kiva::TZLBArc2 arc(nullptr);
        arc.VerifyArchiveCRC = false;
        arc.OpenArchive(archiveFile);
        const long rssBefore = RssKiB();

        // Each stage starts with a store of its own, so nothing is in place from before.
        const kiva::TEntryStoreOptions where{std::string(folder) + "/entries", false};
        auto store = std::make_unique<kiva::TEntryStore>(arc, where);

        // The background extraction alone.
        auto start = Clock::now();
        auto file = store->Open(arc.IndexOfFile("big.txt"));
        const auto done = file->WaitFor(INT64_MAX, std::chrono::minutes(5));
        const double extract = MsSince(start);
        std::printf("extraction into an entry file:                %8.0f ms  (%.2fx bare)%s\n",
                    extract, extract / bare, done.Failed ? "  FAILED" : "");
        std::printf("process memory grew by:                       %8ld KiB\n",
                    RssKiB() - rssBefore);
        file.reset();
        store = std::make_unique<kiva::TEntryStore>(arc, where);

        // The server, cold (the entry inflates while it is sent) and warm.
        auto server = std::make_unique<kiva::TLoopbackServer>(*store);
        TFetch cold = Fetch(*server, "big.txt");
        std::printf("server GET, inflating meanwhile:              %8.0f ms  first byte %.1f ms, "
                    "%.2fx bare\n",
                    cold.TotalMs, cold.FirstByteMs, cold.TotalMs / bare);
        TFetch warm = Fetch(*server, "big.txt");
        std::printf("server GET, entry file in place:              %8.0f ms  (%.0f MiB/s)\n",
                    warm.TotalMs, warm.Bytes / 1048576.0 / (warm.TotalMs / 1000));
        server.reset();
        store = std::make_unique<kiva::TEntryStore>(arc, where);
        server = std::make_unique<kiva::TLoopbackServer>(*store);
        const std::string at80 =
            "bytes=" + std::to_string(size * 8 / 10) + "-" + std::to_string(size * 8 / 10 + 65535);
        TFetch seekCold = Fetch(*server, "big.txt", at80);
        std::printf("64 KiB at 80%%, compressed entry, cold:        %8.1f ms\n", seekCold.TotalMs);
        TFetch seekStored = Fetch(*server, "big.bin", at80);
        std::printf("64 KiB at 80%%, stored entry, cold:            %8.1f ms\n",
                    seekStored.TotalMs);
        std::printf("process memory grew by (all of the above):    %8ld KiB\n",
                    RssKiB() - rssBefore);
        if (cold.Bytes < static_cast<std::int64_t>(size) || seekStored.Bytes < 65536) {
            std::printf("a reply came back short\n");
            status = 1;
        }
    }
    kiva::OurNSHandlerFinal();
    std::filesystem::remove_all(folder);
    return status;
}
