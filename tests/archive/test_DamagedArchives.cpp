// Broken archives, each built byte by byte and named for what is wrong with it, with the
// message the reader must give; then every single-byte flip of two small sound archives.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <new>
#include <ostream>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "Classes.h"
#include "SampleArchive.h"
#include "SysUtils.h"
#include "ZLIBArchive2.h"

// A damaged count must be refused before memory is reserved for it. Every allocation request
// of this process passes through here, so a test can see the largest one a call made. The
// sanitizers bring their own allocator, so under them the probe stays off.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KIVA_ALLOCATION_PROBE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KIVA_ALLOCATION_PROBE 0
#endif
#endif
#ifndef KIVA_ALLOCATION_PROBE
#define KIVA_ALLOCATION_PROBE 1
#endif

namespace {
std::atomic<std::size_t> gLargestAllocation{0};
[[maybe_unused]] void NoteAllocation(std::size_t n) {
    std::size_t seen = gLargestAllocation.load(std::memory_order_relaxed);
    while (n > seen && !gLargestAllocation.compare_exchange_weak(seen, n)) {
    }
}
} // namespace

#if KIVA_ALLOCATION_PROBE
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);

void* malloc(std::size_t n) noexcept {
    NoteAllocation(n);
    return __libc_malloc(n);
}
void* calloc(std::size_t count, std::size_t n) noexcept {
    NoteAllocation(count * n);
    return __libc_calloc(count, n);
}
void* realloc(void* p, std::size_t n) noexcept {
    NoteAllocation(n);
    return __libc_realloc(p, n);
}
}
#endif

namespace kiva {
namespace {

using sample::Bytes;
using sample::Image;
using sample::Plan;
using sample::Record;
using sample::Trailer;

// Far above anything these few-kilobyte archives need, far below what a lying count asks for.
constexpr std::size_t kAllocationLimit = std::size_t(64) << 20;
// A sound extraction of these entries reports progress a handful of times.
constexpr int kProgressLimit = 10000;

const std::string kIndex = sample::SiteLikeContent(9000, 11);
const std::string kScript = "function show(id) { document.getElementById(id).hidden = false; }\n";
const std::string kLogo = sample::SiteLikeContent(700, 12);
const std::string kConfig(300, '\x05');
const std::string kSecret = "<p>enciphered page</p>";

// Entry 0 and 2 are compressed, 1 and 3 stored; 4 is enciphered when the version allows it.
Plan SoundPlan(std::uint32_t version, bool compressDirectory) {
    Plan s;
    s.version = version;
    s.compressDirectory = compressDirectory;
    s.entries = {
        {"", "index.html", kIndex, sample::kCompressed},
        {"ui\\", "app.js", kScript, sample::kStored},
        {"ui\\", "logo.png", kLogo, sample::kCompressed},
        {"", "-config-", kConfig, sample::kStored},
    };
    if (version == 2) {
        s.entries.push_back({"", "secret.html", kSecret, sample::kCompressedEncrypted});
    }
    return s;
}

std::string Contents(TMemoryStream& m) {
    return std::string(reinterpret_cast<const char*>(m.Memory()),
                       static_cast<std::size_t>(m.Size()));
}

// Thousands of small files are written here, so a memory file system is preferred.
const std::string& Folder() {
    static const std::string folder =
        ::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm/") : ::testing::TempDir();
    return folder;
}

class TempArchive {
public:
    explicit TempArchive(const Bytes& bytes) {
        static int serial = 0;
        name_ = Folder() + "damaged-" + std::to_string(::getpid()) + "-" +
                std::to_string(serial++) + ".kvb";
        Write(bytes);
    }
    TempArchive(const TempArchive&) = delete;
    TempArchive& operator=(const TempArchive&) = delete;
    ~TempArchive() { std::remove(name_.c_str()); }
    void Write(const Bytes& bytes) { sample::WriteFile(name_, bytes); }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
};

// The reader as the tests drive it: the viewer's settings, the samples' cipher, and a progress
// handler that stops a loop which keeps reporting long after the data ran out.
struct Reader {
    TZLBArc2 arc{nullptr};
    int reports = 0;
    bool spun = false;

    Reader() {
        arc.VerifyArchiveCRC = false;
        arc.Password = "kiva";
        arc.TempDir = Folder();
        arc.OnDecryptStream = [](TStream& in, TStream& out, std::uint32_t size,
                                 const std::string& password) {
            // A damaged EncryptedSize may claim gigabytes: read what there is, piece by piece.
            std::uint8_t buf[8192];
            std::size_t done = 0;
            while (done < size) {
                const std::int64_t n = in.Read(
                    buf, static_cast<std::int64_t>(std::min<std::size_t>(sizeof buf, size - done)));
                if (n <= 0) {
                    break;
                }
                sample::XorCipher(buf, static_cast<std::size_t>(n), password, done);
                out.WriteBuffer(buf, n);
                done += static_cast<std::size_t>(n);
            }
        };
        arc.OnProgress = [this](const std::string&, int) {
            if (++reports > kProgressLimit) {
                spun = true;
                throw Exception("progress without end");
            }
        };
    }
};

// What a call did: the kiva::Exception it raised, if any, and its largest allocation request.
// Foreign exceptions fail the test.
struct Outcome {
    bool raised = false;
    std::string message;
    std::size_t largestAllocation = 0;
};

template <class F> Outcome Capture(F&& fn) {
    Outcome o;
    gLargestAllocation = 0;
    try {
        fn();
    } catch (const Exception& e) {
        o.raised = true;
        o.message = e.Message();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "foreign exception: " << e.what();
        o.raised = true;
    }
    o.largestAllocation = gLargestAllocation.load();
    return o;
}

// The allocation checks below are only worth something if the probe really sees requests.
TEST(AllocationProbe, SeesAReservationOfTheMemoryStream) {
    if (!KIVA_ALLOCATION_PROBE) {
        GTEST_SKIP() << "the sanitizer's allocator is in charge";
    }
    Outcome o = Capture([] {
        TMemoryStream m;
        m.SetCapacity(std::int64_t(100) << 20);
    });
    EXPECT_GE(o.largestAllocation, std::size_t(100) << 20);
}

const std::string kVersionPrefix =
    "The archive was created with a different version of ZLBArchive (v";

// ---------------------------------------------------------------------------------------
// Archives that must not open.

struct OpenCase {
    const char* name;
    std::function<Bytes()> make;
    // Any of these messages is right; a message ending in '(v' is matched as a prefix.
    std::vector<std::string> messages;
    bool verifyArchiveCRC = false;
};

Bytes WithPlan(std::uint32_t version, bool compressed,
               const std::function<void(Plan&)>& edit = nullptr) {
    Plan s = SoundPlan(version, compressed);
    if (edit) {
        edit(s);
    }
    return sample::Build(s).bytes;
}

Bytes WithTrailer(std::uint32_t version, bool compressed, std::function<void(Trailer&)> edit) {
    return WithPlan(version, compressed, [&](Plan& s) { s.editTrailer = edit; });
}

Bytes HostWithoutArchive() {
    Bytes host(5000);
    std::uint32_t x = 99;
    for (auto& b : host) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    sample::PutLE(host, host.size() - 28, 0x464C457Fu, 4);
    return host;
}

const std::string kRegistry = msg::ErrorReadingRegistry;
const std::string kCorrupted = msg::Corrupted;

std::vector<OpenCase> OpenCases() {
    return {
        {"EmptyFile", [] { return Bytes{}; }, {kVersionPrefix}},
        {"FileOf12BytesWithVersionTwoAtOffset8",
         [] { return Bytes{0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}; },
         {kVersionPrefix}},
        {"FileOf35BytesCutFromATrailer",
         [] {
             Plan s;
             s.compressDirectory = false;
             Bytes b = sample::Build(s).bytes; // 36 bytes: a trailer and nothing else
             return Bytes(b.begin() + 1, b.end());
         },
         {kVersionPrefix}},
        {"UnknownVersion0",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.version = 0; }); },
         {"The archive was created with a different version of ZLBArchive (v0)"}},
        {"UnknownVersion3",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.version = 3; }); },
         {"The archive was created with a different version of ZLBArchive (v3)"}},
        {"HostWithoutArchive",
         HostWithoutArchive,
         {"The archive was created with a different version of ZLBArchive (v1179403647)"}},
        {"DataSizeReachesBeforeFileStart",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.dataSize += 100000; }); },
         {kRegistry}},
        {"DirectorySizeReachesBeforeFileStart",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.directorySize = 0xFFFFFF00u; }); },
         {kRegistry}},
        {"DataSizeReachesBeforeFileStartWithVerification",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.dataSize += 100000; }); },
         {kRegistry, kCorrupted},
         true},
        {"DataSizeMaxInt64",
         [] {
             return WithTrailer(2, true, [](Trailer& t) {
                 t.dataSize = std::numeric_limits<std::int64_t>::max();
             });
         },
         {kRegistry}},
        {"V2NegativeDataSize",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.dataSize = -1; }); },
         {kRegistry}},
        {"V1NegativeDataSize",
         [] { return WithTrailer(1, false, [](Trailer& t) { t.dataSize = -100; }); },
         {kRegistry}},
        {"V1DataSizeMinInt32",
         [] { return WithTrailer(1, false, [](Trailer& t) { t.dataSize = INT32_MIN; }); },
         {kRegistry}},
        {"RawDirectoryShorterThanEntryCount",
         [] { return WithTrailer(2, false, [](Trailer& t) { t.entryCount += 2; }); },
         {kRegistry}},
        {"RawDirectoryOfZeroBytesWithEntries",
         [] {
             return WithPlan(2, false, [](Plan& s) {
                 s.editDirectory = [](Bytes& d) { d.clear(); };
                 s.editTrailer = [](Trailer& t) { t.entryCount = 4; };
             });
         },
         {kRegistry}},
        {"RawEntryCountOfAMillion",
         [] { return WithTrailer(2, false, [](Trailer& t) { t.entryCount = 1000000; }); },
         {kRegistry}},
        {"RawEntryCountMaxUint32",
         [] { return WithTrailer(1, false, [](Trailer& t) { t.entryCount = 0xFFFFFFFFu; }); },
         {kRegistry}},
        {"CompressedDirectoryShorterThanEntryCount",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.entryCount += 1; }); },
         {kRegistry}},
        {"CompressedEntryCountOfAMillion",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.entryCount = 1000000; }); },
         {kRegistry}},
        {"CompressedEntryCountMaxUint32",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.entryCount = 0xFFFFFFFFu; }); },
         {kRegistry}},
        {"CompressedDirectoryCutInHalf",
         [] {
             return WithPlan(2, true, [](Plan& s) {
                 s.editStoredDirectory = [](Bytes& d) { d.resize(d.size() / 2); };
             });
         },
         {kRegistry}},
        {"DirectoryZlibMethodDamaged",
         [] {
             return WithPlan(
                 2, true, [](Plan& s) { s.editStoredDirectory = [](Bytes& d) { d[0] ^= 0xFF; }; });
         },
         {kRegistry}},
        {"DirectoryZlibHeaderCheckDamaged",
         [] {
             return WithPlan(
                 1, true, [](Plan& s) { s.editStoredDirectory = [](Bytes& d) { d[1] ^= 0x01; }; });
         },
         {kRegistry}},
        {"DirectoryDeflateBlockTypeInvalid",
         [] {
             return WithPlan(
                 2, true, [](Plan& s) { s.editStoredDirectory = [](Bytes& d) { d[2] = 0x07; }; });
         },
         {kRegistry}},
        {"CompressedDirectoryDamagedInsideItsDeflateData",
         [] {
             // The damaged stream still yields enough bytes for every record before it breaks,
             // so only reading on to the stream's end and its Adler-32 notices the damage.
             return WithPlan(2, true, [](Plan& s) {
                 s.editStoredDirectory = [](Bytes& d) { d[120] ^= 0xFF; };
             });
         },
         {kRegistry}},
        {"DirectoryWithPresetDictionaryFlag",
         [] {
             return WithPlan(2, true, [](Plan& s) {
                 // FDICT set, check bits kept valid: zlib asks for a dictionary.
                 s.editStoredDirectory = [](Bytes& d) {
                     d[0] = 0x78;
                     d[1] = 0xBB;
                 };
             });
         },
         {kRegistry}},
        {"RawDirectoryMarkedCompressed",
         [] { return WithTrailer(2, false, [](Trailer& t) { t.directoryCompressed = 1; }); },
         {kRegistry}},
        {"CompressedDirectoryMarkedRaw",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.directoryCompressed = 0; }); },
         {kRegistry}},
        {"ArchiveCRCWrongWithVerification",
         [] { return WithTrailer(2, true, [](Trailer& t) { t.archiveCRC ^= 1; }); },
         {kCorrupted},
         true},
    };
}

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

class DamagedOpenTest : public ::testing::TestWithParam<OpenCase> {};

TEST_P(DamagedOpenTest, FailsWithItsMessageAndLeavesTheReaderUsable) {
    const OpenCase& c = GetParam();
    TempArchive file(c.make());
    Reader r;
    r.arc.VerifyArchiveCRC = c.verifyArchiveCRC;

    Outcome o = Capture([&] { r.arc.OpenArchive(file.Name()); });
    ASSERT_TRUE(o.raised) << "opened";
    bool matched = false;
    for (const std::string& m : c.messages) {
        matched = matched || (m == kVersionPrefix ? o.message.rfind(m, 0) == 0 : o.message == m);
    }
    EXPECT_TRUE(matched) << o.message;
    EXPECT_FALSE(r.spun);
    if (KIVA_ALLOCATION_PROBE) {
        EXPECT_LT(o.largestAllocation, kAllocationLimit);
    }
    // Nothing of the damaged archive may remain readable.
    Outcome count = Capture([&] { EXPECT_EQ(r.arc.FileCount(), 0); });
    EXPECT_TRUE(!count.raised || count.message == msg::NoArchiveOpen) << count.message;

    TempArchive sound(sample::Build(SoundPlan(2, true)).bytes);
    ASSERT_TRUE(r.arc.OpenArchive(sound.Name()));
    EXPECT_EQ(r.arc.FileCount(), 5);
}

INSTANTIATE_TEST_SUITE_P(Corpus, DamagedOpenTest, ::testing::ValuesIn(OpenCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Archives that open but hold a broken entry.

struct ExtractCase {
    const char* name;
    std::uint32_t version;
    std::function<void(Plan&)> edit;   // before the archive is assembled
    std::function<void(Image&)> patch; // on the finished bytes
    std::string entry;                 // the damaged entry
    bool verifyFileCRC;
    std::vector<std::string> messages; // empty: any of the reader's exceptions
    std::string intact = "ui\\app.js"; // still extracts afterwards
};

void EditRecord(Plan& s, std::size_t i, std::function<void(Record&)> edit) {
    s.editRecords = [i, edit](std::vector<Record>& r) { edit(r[i]); };
}

// Patches a stored byte of entry i, counted from the start of its stored bytes.
std::function<void(Image&)> PatchStored(std::size_t i, std::size_t at, std::uint8_t value) {
    return [=](Image& img) {
        img.bytes[img.dataStart + static_cast<std::size_t>(img.records[i].dataOffset) + at] = value;
    };
}

const std::string kReadError = EReadError().Message();

std::vector<ExtractCase> ExtractCases() {
    // A constant, so the lambdas below read it without capturing it.
    constexpr std::int64_t far = std::int64_t(1) << 20;
    return {
        {"EntryZlibHeaderDamaged",
         2,
         nullptr,
         PatchStored(0, 0, 0x00),
         "index.html",
         false,
         {kCorrupted}},
        {"EntryDeflateBlockTypeInvalid",
         2,
         nullptr,
         PatchStored(0, 2, 0x07),
         "index.html",
         false,
         {kCorrupted}},
        {"EntryDeflateBlockTypeInvalidV1",
         1,
         nullptr,
         PatchStored(2, 2, 0x07),
         "ui\\logo.png",
         false,
         {kCorrupted}},
        {"EncryptedEntryDeflateBlockTypeInvalid",
         2,
         nullptr,
         [](Image& img) {
             // The stored byte is enciphered with the key's third character.
             PatchStored(4, 2, static_cast<std::uint8_t>(0x07 ^ 'v'))(img);
         },
         "secret.html",
         false,
         {kCorrupted}},
        {"CompressedDataOffsetBeyondFileWithVerification",
         2,
         [](Plan& s) { EditRecord(s, 0, [](Record& r) { r.dataOffset = far; }); },
         nullptr,
         "index.html",
         true,
         {"index.html failed CRC check"}},
        {"StoredDataOffsetBeyondFile",
         2,
         [](Plan& s) { EditRecord(s, 3, [](Record& r) { r.dataOffset = far; }); },
         nullptr,
         "-config-",
         false,
         {kReadError}},
        {"StoredSizeRunsPastTheEnd",
         2,
         [](Plan& s) { EditRecord(s, 3, [](Record& r) { r.uncompressedSize += 5000; }); },
         nullptr,
         "-config-",
         false,
         {kReadError}},
        {"StoredSizeMaxInt64",
         2,
         [](Plan& s) {
             EditRecord(s, 3, [](Record& r) {
                 r.uncompressedSize = std::numeric_limits<std::int64_t>::max();
             });
         },
         nullptr,
         "-config-",
         false,
         {kReadError}},
        {"StoredDataOffsetBeforeFileStart",
         2,
         [](Plan& s) { EditRecord(s, 1, [](Record& r) { r.dataOffset = -far; }); },
         nullptr,
         "ui\\app.js",
         false,
         {},
         "-config-"},
        {"CompressedDataOffsetBeforeFileStart",
         2,
         [](Plan& s) { EditRecord(s, 0, [](Record& r) { r.dataOffset = -far; }); },
         nullptr,
         "index.html",
         false,
         {}},
        {"DataOffsetMinInt64",
         2,
         [](Plan& s) {
             EditRecord(s, 0,
                        [](Record& r) { r.dataOffset = std::numeric_limits<std::int64_t>::min(); });
         },
         nullptr,
         "index.html",
         false,
         {}},
        {"DataOffsetMaxInt64",
         2,
         [](Plan& s) {
             EditRecord(s, 3,
                        [](Record& r) { r.dataOffset = std::numeric_limits<std::int64_t>::max(); });
         },
         nullptr,
         "-config-",
         false,
         {}},
        {"CRCFieldDamagedWithVerification",
         2,
         [](Plan& s) { EditRecord(s, 0, [](Record& r) { r.crc ^= 1; }); },
         nullptr,
         "index.html",
         true,
         {"index.html failed CRC check"}},
        {"StoredCRCFieldDamagedWithVerification",
         1,
         [](Plan& s) { EditRecord(s, 1, [](Record& r) { r.crc ^= 0x80000000u; }); },
         nullptr,
         "ui\\app.js",
         true,
         {"app.js failed CRC check"},
         "-config-"},
        {"CompressedNegativeSizeWithVerification",
         2,
         [](Plan& s) { EditRecord(s, 0, [](Record& r) { r.uncompressedSize = -1; }); },
         nullptr,
         "index.html",
         true,
         {"index.html failed CRC check"}},
        {"V1StoredNegativeSizeWithVerification",
         1,
         [](Plan& s) { EditRecord(s, 1, [](Record& r) { r.uncompressedSize = -5; }); },
         nullptr,
         "ui\\app.js",
         true,
         {"app.js failed CRC check"},
         "-config-"},
        {"CompressedSizeShortByOneWithVerification",
         2,
         [](Plan& s) { EditRecord(s, 0, [](Record& r) { r.uncompressedSize -= 1; }); },
         nullptr,
         "index.html",
         true,
         {"index.html failed CRC check"}},
        {"EncryptedSizeZeroWithVerification",
         2,
         [](Plan& s) { EditRecord(s, 4, [](Record& r) { r.encryptedSize = 0; }); },
         nullptr,
         "secret.html",
         true,
         {"secret.html failed CRC check"}},
    };
}

void PrintTo(const ExtractCase& c, std::ostream* os) {
    *os << c.name;
}

class DamagedEntryTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(DamagedEntryTest, FailsWithItsMessageAndTheArchiveStaysUsable) {
    const ExtractCase& c = GetParam();
    Plan plan = SoundPlan(c.version, true);
    if (c.edit) {
        c.edit(plan);
    }
    Image img = sample::Build(plan);
    if (c.patch) {
        c.patch(img);
    }
    TempArchive file(img.bytes);
    Reader r;
    r.arc.VerifyFileCRC = c.verifyFileCRC;
    ASSERT_TRUE(r.arc.OpenArchive(file.Name()));

    TMemoryStream out;
    Outcome o = Capture([&] { r.arc.ExtractToStream(out, c.entry); });
    ASSERT_TRUE(o.raised) << "extracted " << out.Size() << " bytes";
    if (!c.messages.empty()) {
        EXPECT_NE(std::find(c.messages.begin(), c.messages.end(), o.message), c.messages.end())
            << o.message;
    }
    EXPECT_FALSE(r.spun);
    if (KIVA_ALLOCATION_PROBE) {
        EXPECT_LT(o.largestAllocation, kAllocationLimit);
    }

    EXPECT_EQ(r.arc.FileCount(), static_cast<int>(plan.entries.size()));
    TMemoryStream other;
    r.arc.VerifyFileCRC = true;
    ASSERT_NO_THROW(r.arc.ExtractToStream(other, c.intact));
    EXPECT_EQ(Contents(other), c.intact == "ui\\app.js" ? kScript : kConfig);
}

INSTANTIATE_TEST_SUITE_P(Corpus, DamagedEntryTest, ::testing::ValuesIn(ExtractCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Sizes that lie upwards: the reader must neither spin through the claimed size nor reserve
// it. It may deliver the real content (the zlib stream ends first) or refuse the entry.

struct LyingSize {
    const char* name;
    std::int64_t size;
};

void PrintTo(const LyingSize& c, std::ostream* os) {
    *os << c.name;
}

class LyingSizeTest : public ::testing::TestWithParam<LyingSize> {};

TEST_P(LyingSizeTest, EndsWithTheRealContentOrAnErrorWithoutSpinning) {
    const std::int64_t size = GetParam().size;
    for (std::size_t entry : {std::size_t(0), std::size_t(4)}) {
        Plan plan = SoundPlan(2, true);
        EditRecord(plan, entry, [size](Record& r) { r.uncompressedSize = size; });
        TempArchive file(sample::Build(plan).bytes);
        const sample::EntryPlan& e = plan.entries[entry];
        for (bool verify : {false, true}) {
            for (bool progress : {false, true}) {
                Reader r;
                if (!progress) {
                    r.arc.OnProgress = nullptr;
                }
                r.arc.VerifyFileCRC = verify;
                ASSERT_TRUE(r.arc.OpenArchive(file.Name()));
                TMemoryStream out;
                Outcome o = Capture([&] { r.arc.ExtractToStream(out, e.path + e.name); });
                SCOPED_TRACE(e.name + (verify ? " verified" : "") +
                             (progress ? " with progress" : ""));
                EXPECT_FALSE(r.spun);
                if (KIVA_ALLOCATION_PROBE) {
                    EXPECT_LT(o.largestAllocation, kAllocationLimit);
                }
                if (!o.raised) {
                    EXPECT_EQ(Contents(out), e.content);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, LyingSizeTest,
    ::testing::Values(LyingSize{"OneTebibyte", std::int64_t(1) << 40},
                      LyingSize{"JustBelow2GiB", 0x7FFFFFFF}, LyingSize{"FourGiB", 0xFFFFFFFF},
                      LyingSize{"MaxInt64", std::numeric_limits<std::int64_t>::max()}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Every single-byte flip of a small sound archive: each one opens and extracts to the stored
// content, or fails with one of the reader's exceptions. Never a crash, a foreign exception,
// a huge allocation or an endless loop.

struct SweepCase {
    const char* name;
    std::uint32_t version;
    bool compressDirectory;
};

void PrintTo(const SweepCase& c, std::ostream* os) {
    *os << c.name;
}

class ByteFlipSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(ByteFlipSweep, EveryFlipGivesSoundContentOrTheReadersError) {
    const SweepCase& c = GetParam();
    const Plan plan = SoundPlan(c.version, c.compressDirectory);
    const Image sound = sample::Build(plan);
    std::set<std::string> contents;
    for (const auto& e : plan.entries) {
        contents.insert(e.content);
    }

    TempArchive file(sound.bytes);
    std::vector<std::string> faults;
    auto fault = [&](std::size_t at, int mask, const std::string& what) {
        faults.push_back(Format("byte %d ^ %d: ", static_cast<int>(at), mask) + what);
    };

    for (std::size_t at = 0; at < sound.bytes.size(); ++at) {
        for (int mask : {0xFF, 0x01}) {
            Bytes bytes = sound.bytes;
            bytes[at] ^= static_cast<std::uint8_t>(mask);
            file.Write(bytes);
            const bool inArchiveCRC = at >= sound.dataStart && at < sound.trailerStart;

            for (bool verifyArchive : {false, true}) {
                Reader r;
                r.arc.VerifyArchiveCRC = verifyArchive;
                r.arc.VerifyFileCRC = true;
                gLargestAllocation = 0;
                try {
                    r.arc.OpenArchive(file.Name());
                    if (verifyArchive && inArchiveCRC) {
                        fault(at, mask, "opened despite the archive CRC");
                    }
                    const int n = std::min(r.arc.FileCount(), 64);
                    for (int i = 0; i < n; ++i) {
                        TMemoryStream out;
                        try {
                            r.arc.ExtractIndexToStream(i, out, nullptr);
                            if (!contents.count(Contents(out))) {
                                const TArchiveEntry e = r.arc.GetFileEntry(i);
                                fault(at, mask,
                                      "entry " + std::to_string(i) + " (" + e.FullName() + ", " +
                                          std::to_string(e.UncompressedSize) + " bytes, method " +
                                          std::to_string(e.Method) +
                                          ") delivered content never stored: " +
                                          std::to_string(out.Size()) + " bytes");
                            }
                        } catch (const Exception&) {
                        }
                    }
                } catch (const Exception& e) {
                    if (verifyArchive && inArchiveCRC && e.Message() != kCorrupted) {
                        fault(at, mask, "with the archive CRC on: " + e.Message());
                    }
                } catch (const std::exception& e) {
                    fault(at, mask, std::string("foreign exception: ") + e.what());
                }
                if (r.spun) {
                    fault(at, mask, "progress without end");
                }
                if (KIVA_ALLOCATION_PROBE && gLargestAllocation.load() >= kAllocationLimit) {
                    fault(at, mask,
                          "allocated " + std::to_string(gLargestAllocation.load()) + " bytes");
                }
            }
        }
    }
    std::string listed;
    for (std::size_t i = 0; i < faults.size() && i < 20; ++i) {
        listed += "\n  " + faults[i];
    }
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults:" << listed;
}

INSTANTIATE_TEST_SUITE_P(Archives, ByteFlipSweep,
                         ::testing::Values(SweepCase{"V2CompressedDirectory", 2, true},
                                           SweepCase{"V1RawDirectory", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kiva
