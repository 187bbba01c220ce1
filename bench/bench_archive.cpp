// Measures the archive reader against the bare work it cannot avoid, and prints the ratios at
// the end: lookups that do not slow down with the entry count, extraction as fast as zlib's
// own uncompress, opening as fast as reading and inflating the directory, and what the
// directory costs in memory per entry, up to a book of a million entries.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "ArchiveStorageKey.h"
#include "Classes.h"
#include "SampleArchive.h"
#include "ZLIBArchive2.h"

namespace {

using kiva::TMemoryStream;
using kiva::TZLBArc2;
namespace sample = kiva::sample;

constexpr int kLookupBatch = 256;
// Lookups take a fraction of a microsecond, so a busy neighbour easily doubles one run.
constexpr int kLookupRepetitions = 3;
constexpr double kMinTime = 0.5;
// Opening the largest archive takes a good part of a second; a few runs of it are wanted.
constexpr double kSlowMinTime = 2.0;
const int kEntryCounts[] = {1000, 100000, 1000000};
const std::size_t kEntrySizes[] = {std::size_t(1) << 20, std::size_t(8) << 20};

// One archive of many tiny stored entries, with requests that hit and requests that miss.
struct LookupArchive {
    int count = 0;
    std::string file;
    std::unique_ptr<TZLBArc2> arc;
    std::vector<std::string> hits;
    std::vector<std::string> misses;
    std::string first;
    std::string last;
    std::size_t directoryStart = 0;
    std::uint32_t directorySize = 0;
    std::int64_t nameBytes = 0;
};

struct BigEntry {
    std::size_t size = 0;
    std::string name;
    sample::Bytes compressed;
};

struct Fixtures {
    std::string dir;
    std::vector<std::unique_ptr<LookupArchive>> lookups;
    std::string bigFile;
    std::unique_ptr<TZLBArc2> bigArc;
    std::vector<BigEntry> big;
    std::vector<std::string> files;
};

Fixtures* gFix = nullptr;

std::unique_ptr<TZLBArc2> Open(const std::string& file) {
    auto arc = std::make_unique<TZLBArc2>(nullptr);
    arc->VerifyArchiveCRC = false; // as the viewer has it
    if (!arc->OpenArchive(file)) {
        throw std::runtime_error("cannot open " + file);
    }
    return arc;
}

std::string Upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

// Entry i of the lookup archives: 250 pages to a folder, as a large site has them.
void LookupName(std::uint32_t i, std::string& path, std::string& name) {
    char text[32];
    std::snprintf(text, sizeof text, "static\\sec%04u\\", i / 250);
    path = text;
    std::snprintf(text, sizeof text, "page%07u.html", i);
    name = text;
}

std::unique_ptr<LookupArchive> MakeLookupArchive(const std::string& dir, int count) {
    auto la = std::make_unique<LookupArchive>();
    la->count = count;
    la->file = dir + "/lookup-" + std::to_string(count) + ".kvb";
    sample::ManyEntries many;
    many.count = static_cast<std::uint32_t>(count);
    many.nameOf = LookupName;
    many.contentOf = [](std::uint32_t i) { return "<p>" + std::to_string(i) + "</p>"; };
    const sample::ManyImage img = sample::WriteMany(la->file, many);
    la->directoryStart = static_cast<std::size_t>(img.directoryStart);
    la->directorySize = img.trailer.directorySize;

    std::string path, name;
    for (std::uint32_t i = 0; i < many.count; ++i) {
        LookupName(i, path, name);
        la->nameBytes += static_cast<std::int64_t>(path.size() + name.size());
    }
    std::mt19937 rng(static_cast<unsigned>(count));
    for (int k = 0; k < 4096; ++k) {
        LookupName(static_cast<std::uint32_t>(rng() % many.count), path, name);
        std::string full = path + name;
        la->hits.push_back(k % 2 ? Upper(full) : full);
        la->misses.push_back(path + "missing" + std::to_string(k) + ".html");
    }
    LookupName(0, path, name);
    la->first = path + name;
    LookupName(many.count - 1, path, name);
    la->last = path + name;
    la->arc = Open(la->file);
    return la;
}

void BuildFixtures(Fixtures& f) {
    char dir[] = "/tmp/kiva-bench-XXXXXX";
    if (!::mkdtemp(dir)) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    f.dir = dir;
    for (int count : kEntryCounts) {
        f.lookups.push_back(MakeLookupArchive(f.dir, count));
        f.files.push_back(f.lookups.back()->file);
    }

    sample::Plan plan;
    for (std::size_t size : kEntrySizes) {
        plan.entries.push_back({"", "content-" + std::to_string(size >> 20) + "MiB.html",
                                sample::SiteLikeContent(size, static_cast<std::uint32_t>(size)),
                                sample::kCompressed});
    }
    sample::Image img = sample::Build(plan);
    f.bigFile = f.dir + "/big-entries.kvb";
    sample::WriteFile(f.bigFile, img.bytes);
    f.files.push_back(f.bigFile);
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        f.big.push_back({plan.entries[i].content.size(), plan.entries[i].name, img.stored[i]});
    }
    f.bigArc = Open(f.bigFile);
}

void RemoveFixtures(Fixtures& f) {
    f.lookups.clear();
    f.bigArc.reset();
    for (const std::string& file : f.files) {
        std::remove(file.c_str());
    }
    ::rmdir(f.dir.c_str());
}

// ---- 1. Lookups

void LookupBench(benchmark::State& state, const LookupArchive* la, bool hit) {
    const std::vector<std::string>& names = hit ? la->hits : la->misses;
    std::size_t k = 0;
    for (auto _ : state) {
        for (int i = 0; i < kLookupBatch; ++i) {
            int index = la->arc->IndexOfFile(names[k]);
            benchmark::DoNotOptimize(index);
            k = (k + 1) & 4095;
        }
    }
    state.SetItemsProcessed(state.iterations() * kLookupBatch);
}

void ExtractTinyBench(benchmark::State& state, const LookupArchive* la, bool nearEnd) {
    const std::string& name = nearEnd ? la->last : la->first;
    for (auto _ : state) {
        TMemoryStream out;
        la->arc->ExtractToStream(out, name);
        benchmark::DoNotOptimize(out.Memory());
    }
}

// ---- 2. Extraction against bare uncompress

void ExtractBigBench(benchmark::State& state, const BigEntry* e) {
    for (auto _ : state) {
        TMemoryStream out;
        gFix->bigArc->ExtractToStream(out, e->name);
        benchmark::DoNotOptimize(out.Memory());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(e->size));
}

void BareUncompressBench(benchmark::State& state, const BigEntry* e) {
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[e->size]);
    for (auto _ : state) {
        uLongf len = static_cast<uLongf>(e->size);
        if (::uncompress(buf.get(), &len, e->compressed.data(),
                         static_cast<uLong>(e->compressed.size())) != Z_OK ||
            len != e->size) {
            state.SkipWithError("uncompress failed");
            break;
        }
        benchmark::DoNotOptimize(buf.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(e->size));
}

// ---- 3. Opening against reading and inflating the directory

void OpenBench(benchmark::State& state, const LookupArchive* la) {
    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = false;
    for (auto _ : state) {
        if (!arc.OpenArchive(la->file)) {
            state.SkipWithError("open failed");
            break;
        }
        benchmark::DoNotOptimize(arc.FileCount());
    }
}

// What the viewer waits for before its first page: the directory and the book's storage key.
void OpenWithKeyBench(benchmark::State& state, const LookupArchive* la) {
    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = false;
    for (auto _ : state) {
        if (!arc.OpenArchive(la->file)) {
            state.SkipWithError("open failed");
            break;
        }
        benchmark::DoNotOptimize(kiva::ArchiveStorageKey(arc));
    }
}

void ReadInflateBench(benchmark::State& state, const LookupArchive* la) {
    const std::size_t rawSize = static_cast<std::size_t>(la->count) * sample::kRecordBytesV2;
    for (auto _ : state) {
        int fd = ::open(la->file.c_str(), O_RDONLY | O_CLOEXEC);
        std::unique_ptr<std::uint8_t[]> stored(new std::uint8_t[la->directorySize]);
        ssize_t n =
            ::pread(fd, stored.get(), la->directorySize, static_cast<off_t>(la->directoryStart));
        ::close(fd);
        std::unique_ptr<std::uint8_t[]> raw(new std::uint8_t[rawSize]);
        uLongf len = static_cast<uLongf>(rawSize);
        if (n != static_cast<ssize_t>(la->directorySize) ||
            ::uncompress(raw.get(), &len, stored.get(), la->directorySize) != Z_OK) {
            state.SkipWithError("reading the directory failed");
            break;
        }
        benchmark::DoNotOptimize(raw.get());
    }
}

void ListAllBench(benchmark::State& state, const LookupArchive* la) {
    for (auto _ : state) {
        std::int64_t sum = 0;
        for (int i = 0; i < la->count; ++i) {
            sum += la->arc->GetFileEntry(i).Name.Length;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * la->count);
}

// ---- 4. Memory

// Bytes of the heap in use, from the allocator's own count.
std::int64_t HeapInUse() {
    const struct mallinfo2 mi = ::mallinfo2();
    return static_cast<std::int64_t>(mi.uordblks + mi.hblkhd);
}

// A field of /proc/self/status in bytes ("VmRSS:", "VmHWM:").
std::int64_t StatusBytes(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) {
        return -1;
    }
    char line[256];
    std::int64_t kib = -1;
    const std::size_t len = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, len) == 0) {
            kib = std::atoll(line + len);
            break;
        }
    }
    std::fclose(f);
    return kib * 1024;
}

double Seconds(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Run in a process of its own (--open-footprint FILE), so that nothing the fixtures left in the
// allocator hides what opening costs: the growth of the resident memory, its peak while the
// directory loads, and the time of the open.
int OpenFootprint(const char* file) {
    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = false;
    std::FILE* clear = std::fopen("/proc/self/clear_refs", "w");
    if (clear) {
        std::fputs("5", clear); // resets the peak to the current figure
        std::fclose(clear);
    }
    const std::int64_t before = StatusBytes("VmRSS:");
    const double wall = Seconds(CLOCK_MONOTONIC);
    const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    if (!arc.OpenArchive(file)) {
        return 1;
    }
    std::printf("%.3f %.3f %lld %lld %lld\n", Seconds(CLOCK_MONOTONIC) - wall,
                Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu, static_cast<long long>(before),
                static_cast<long long>(StatusBytes("VmHWM:")),
                static_cast<long long>(StatusBytes("VmRSS:")));
    return 0;
}

void PrintFootprint(const LookupArchive& la) {
    // The shell that popen starts is /proc/self/exe of its own, so the name is read first.
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        std::printf("open footprint %d: n/a\n", la.count);
        return;
    }
    const std::string command = std::string(self) + " --open-footprint " + la.file;
    std::FILE* p = ::popen(command.c_str(), "r");
    double wall = 0, cpu = 0;
    long long before = 0, peak = 0, after = 0;
    const bool read =
        p && std::fscanf(p, "%lf %lf %lld %lld %lld", &wall, &cpu, &before, &peak, &after) == 5;
    if (p) {
        ::pclose(p);
    }
    if (!read) {
        std::printf("open footprint %d: n/a\n", la.count);
        return;
    }
    const double mib = 1024.0 * 1024.0;
    std::printf("open in a fresh process, %7d entries: %.3f s wall, %.3f s CPU, resident memory "
                "+%.1f MiB (peak +%.1f MiB)\n",
                la.count, wall, cpu, static_cast<double>(after - before) / mib,
                static_cast<double>(peak - before) / mib);
}

// What one more open reader of the archive keeps on the heap, per entry.
void PrintDirectoryBytes(const LookupArchive& la) {
    const std::int64_t before = HeapInUse();
    auto arc = Open(la.file);
    const std::int64_t bytes = HeapInUse() - before;
    const double perEntry = static_cast<double>(bytes) / la.count;
    const double names = static_cast<double>(la.nameBytes) / la.count;
    std::printf("directory %7d entries: %7.1f bytes/entry = %5.1f of names + %6.1f beyond them "
                "(target <= 64)\n",
                la.count, perEntry, names, perEntry - names);
}

// ---- Summary

// Keeps the CPU seconds per iteration of every finished run, by name, for the ratios. CPU time
// (user and system) rather than wall time, because on a busy machine the wall time mostly
// measures the wait for a processor; the archives sit in the page cache either way.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& r : reports) {
            if (r.run_type == Run::RT_Iteration && !r.error_occurred && r.iterations > 0) {
                // Of repeated runs the fastest counts: the others were slowed by other work.
                const double s = r.cpu_accumulated_time / static_cast<double>(r.iterations);
                auto [it, added] = seconds.emplace(r.run_name.function_name, s);
                if (!added) {
                    it->second = std::min(it->second, s);
                }
            }
        }
    }
    std::map<std::string, double> seconds;
};

void PrintRatio(const CollectingReporter& rep, const char* label, const std::string& num,
                double numScale, const std::string& den, double denScale, const char* target) {
    auto a = rep.seconds.find(num);
    auto b = rep.seconds.find(den);
    if (a == rep.seconds.end() || b == rep.seconds.end() || b->second <= 0) {
        std::printf("ratio %-36s = n/a (not measured)\n", label);
        return;
    }
    std::printf("ratio %-36s = %5.2f (target %s)\n", label,
                (a->second / numScale) / (b->second / denScale), target);
}

std::string MiB(std::size_t size) {
    return std::to_string(size >> 20) + "MiB";
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--open-footprint") == 0) {
        return OpenFootprint(argv[2]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    Fixtures fixtures;
    gFix = &fixtures;
    try {
        BuildFixtures(fixtures);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "building the fixtures failed: %s\n", e.what());
        RemoveFixtures(fixtures);
        return 1;
    }

    for (const auto& la : fixtures.lookups) {
        const std::string n = std::to_string(la->count);
        benchmark::RegisterBenchmark(("IndexOfFile/hit/" + n).c_str(), LookupBench, la.get(), true)
            ->MinTime(kMinTime)
            ->Repetitions(kLookupRepetitions);
        benchmark::RegisterBenchmark(("IndexOfFile/miss/" + n).c_str(), LookupBench, la.get(),
                                     false)
            ->MinTime(kMinTime)
            ->Repetitions(kLookupRepetitions);
        benchmark::RegisterBenchmark(("GetFileEntry/all/" + n).c_str(), ListAllBench, la.get())
            ->MinTime(kMinTime);
    }
    const LookupArchive* largest = fixtures.lookups.back().get();
    benchmark::RegisterBenchmark("ExtractTiny/nearStart/1000000", ExtractTinyBench, largest, false)
        ->MinTime(kMinTime);
    benchmark::RegisterBenchmark("ExtractTiny/nearEnd/1000000", ExtractTinyBench, largest, true)
        ->MinTime(kMinTime);
    for (const BigEntry& e : fixtures.big) {
        benchmark::RegisterBenchmark(("ExtractToStream/" + MiB(e.size)).c_str(), ExtractBigBench,
                                     &e)
            ->MinTime(kMinTime);
        benchmark::RegisterBenchmark(("BareUncompress/" + MiB(e.size)).c_str(), BareUncompressBench,
                                     &e)
            ->MinTime(kMinTime);
    }
    for (const auto& la : fixtures.lookups) {
        if (la->count < 100000) {
            continue;
        }
        const std::string n = std::to_string(la->count);
        benchmark::RegisterBenchmark(("OpenArchive/" + n).c_str(), OpenBench, la.get())
            ->MinTime(kSlowMinTime);
        benchmark::RegisterBenchmark(("OpenWithStorageKey/" + n).c_str(), OpenWithKeyBench,
                                     la.get())
            ->MinTime(kSlowMinTime);
        benchmark::RegisterBenchmark(("ReadInflateDirectory/" + n).c_str(), ReadInflateBench,
                                     la.get())
            ->MinTime(kSlowMinTime);
    }

    CollectingReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);

    std::printf("\n");
    for (const BigEntry& e : fixtures.big) {
        std::printf("entry %-6s compresses %.2f:1\n", MiB(e.size).c_str(),
                    static_cast<double>(e.size) / static_cast<double>(e.compressed.size()));
    }
    const double batch = kLookupBatch;
    for (const char* kind : {"hit", "miss"}) {
        const std::string base = std::string("IndexOfFile/") + kind + "/";
        PrintRatio(rep, (std::string("lookup ") + kind + " 100000/1000").c_str(), base + "100000",
                   batch, base + "1000", batch, "<= 2");
        PrintRatio(rep, (std::string("lookup ") + kind + " 1000000/100000").c_str(),
                   base + "1000000", batch, base + "100000", batch, "<= 1.5");
    }
    PrintRatio(rep, "GetFileEntry 1000000/1000", "GetFileEntry/all/1000000", 1000000,
               "GetFileEntry/all/1000", 1000, "close to 1");
    PrintRatio(rep, "extract tiny near end/near start", "ExtractTiny/nearEnd/1000000", 1,
               "ExtractTiny/nearStart/1000000", 1, "close to 1");
    for (const BigEntry& e : fixtures.big) {
        const std::string label = "inflate/extract " + MiB(e.size);
        PrintRatio(rep, label.c_str(), "BareUncompress/" + MiB(e.size), 1,
                   "ExtractToStream/" + MiB(e.size), 1, ">= 0.9");
    }
    PrintRatio(rep, "open/(read+inflate) 100000", "OpenArchive/100000", 1,
               "ReadInflateDirectory/100000", 1, "<= 2");
    PrintRatio(rep, "open/(read+inflate) 1000000", "OpenArchive/1000000", 1,
               "ReadInflateDirectory/1000000", 1, "<= 2");
    PrintRatio(rep, "open+key/(read+inflate) 1000000", "OpenWithStorageKey/1000000", 1,
               "ReadInflateDirectory/1000000", 1, "as low as it goes");
    for (const auto& la : fixtures.lookups) {
        PrintDirectoryBytes(*la);
    }
    PrintFootprint(*largest);

    RemoveFixtures(fixtures);
    benchmark::Shutdown();
    return 0;
}
