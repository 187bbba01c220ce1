// What serving one page through the "kiva" scheme costs against reading the same file from
// disk: the full request as the browser makes it (class factory, handler, Start, Read until
// done), the archive extraction alone, and a plain read of the unpacked file. Prints figures
// only; nothing here passes or fails on time.
//
//   protocol_vs_disk ARCHIVE FILE [ENTRY] [ITERATIONS]
//
// ENTRY defaults to index.html; FILE should hold the same bytes as that entry.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "BookSession.h"
#include "ComServer.h"
#include "OurNSHandler.h"
#include "ProtocolRegistration.h"
#include "SysUtils.h"
#include "UrlMon.h"
#include "WinTypes.h"
#include "ZLIBArchive2.h"

namespace {

using Clock = std::chrono::steady_clock;

// Median time of one call in microseconds over several batches, so that a stray pause of the
// machine does not decide the figure.
double MedianMicros(int iterations, const std::function<void()>& work) {
    constexpr int kBatches = 7;
    const int perBatch = std::max(1, iterations / kBatches);
    std::vector<double> batches;
    for (int b = 0; b < kBatches; ++b) {
        const auto start = Clock::now();
        for (int i = 0; i < perBatch; ++i) {
            work();
        }
        const std::chrono::duration<double, std::micro> took = Clock::now() - start;
        batches.push_back(took.count() / perBatch);
    }
    std::sort(batches.begin(), batches.end());
    return batches[batches.size() / 2];
}

std::string ReadWholeFile(const std::string& fileName) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw kiva::Exception(kiva::Format("Cannot open %s", fileName));
    }
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            ::close(fd);
            throw kiva::Exception(kiva::Format("Cannot read %s", fileName));
        }
        if (n == 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

int Run(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE FILE [ENTRY] [ITERATIONS]\n", argv[0]);
        return 2;
    }
    const std::string archiveFile = argv[1];
    const std::string diskFile = argv[2];
    const std::string entry = argc > 3 ? argv[3] : "index.html";
    const int iterations = argc > 4 ? std::max(1, std::atoi(argv[4])) : 2000;

    // The process's start as the viewer makes it: the handler's unit, the class object, the
    // archive the handler serves from, and the name space.
    kiva::TOurNSHandlerUnit handlerUnit;
    if (!kiva::ComServer().Initialize({})) {
        std::fprintf(stderr, "the COM server did not register its class objects\n");
        return 1;
    }
    kiva::TBookSession book;
    kiva::TZLBArc2& arc = book.Archive();
    arc.MaxMemoryUsage = 128;
    arc.ExtractWithPath = true;
    arc.SavePaths = true;
    arc.VerifyArchiveCRC = false;
    arc.OpenArchive(archiveFile);
    kiva::ComPtr<kiva::IClassFactory> factory;
    kiva::ComPtr<kiva::IInternetSession> session;
    kiva::RegisterKivaNameSpace(factory, session);

    const std::u16string url = kiva::AnsiToWide("kiva://bundle/" + entry);
    const std::string onDisk = ReadWholeFile(diskFile);
    const kiva::TNameSpaceResponse first = kiva::RunNameSpaceRequest(url, 0, book.Services());
    if (first.Result != kiva::S_OK) {
        std::fprintf(stderr, "the request for %s failed: %08X\n", entry.c_str(),
                     static_cast<unsigned>(first.Result));
        return 1;
    }
    if (first.Data != onDisk) {
        std::fprintf(stderr, "warning: %s differs from the entry %s (%zu against %zu bytes)\n",
                     diskFile.c_str(), entry.c_str(), onDisk.size(), first.Data.size());
    }

    std::size_t sink = 0;
    const double protocol = MedianMicros(iterations, [&] {
        sink += kiva::RunNameSpaceRequest(url, 0, book.Services()).Data.size();
    });
    const double extract = MedianMicros(iterations, [&] {
        kiva::TMemoryStream stream;
        arc.ExtractToStream(stream, entry);
        sink += static_cast<std::size_t>(stream.Size());
    });
    const double disk = MedianMicros(iterations, [&] { sink += ReadWholeFile(diskFile).size(); });

    kiva::UnregisterKivaNameSpace(factory, session);
    factory.Reset();
    session.Reset();
    arc.CloseArchive();
    kiva::ComServer().Finalize();

    std::printf("one entry (%s, %zu bytes), median of %d calls:\n", entry.c_str(),
                first.Data.size(), iterations);
    std::printf("  through kiva://bundle/ (RunNameSpaceRequest)  %9.1f us\n", protocol);
    std::printf("  ExtractToStream alone                         %9.1f us\n", extract);
    std::printf("  plain read of the file on disk                %9.1f us\n", disk);
    std::printf("  protocol/disk %.2f   extraction/disk %.2f   (%zu bytes moved)\n",
                protocol / disk, extract / disk, sink);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
