// The compact directory against the reader's lookup rules written out plainly: every request
// of a table, in every layout, must find what a scan of the entries in directory order finds.

#include "ArchiveDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <tuple>

#include "SampleArchive.h"
#include "TestArchive.h"
#include "ZLIBArchive2.h"

using namespace kiva;
using namespace kivatest;

namespace {

FEntry Entry(std::string path, std::string name) {
    FEntry e;
    e.path = std::move(path);
    e.name = std::move(name);
    e.method = 1;
    return e;
}

std::string Fold(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

// IndexOfFile as the reader has always answered it: under SavePaths a drive prefix of the
// folder part goes, then the first entry whose Path and Name, joined, equal the request with
// A to Z folded to a to z; every other byte, separators included, compares as it is.
class Scan {
public:
    explicit Scan(const std::vector<FEntry>& entries) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            first_.emplace(Fold(entries[i].path + entries[i].name), static_cast<int>(i));
        }
    }
    int For(std::string request, bool savePaths) const {
        if (savePaths) {
            const std::size_t end = request.find_last_of("\\:");
            const std::size_t colon = request.find(':');
            if (end != std::string::npos && colon <= end) {
                request.erase(0, colon + 1);
            }
        }
        const auto found = first_.find(Fold(request));
        return found == first_.end() ? -1 : found->second;
    }

private:
    // Each folded full name with the first entry, in directory order, that has it.
    std::map<std::string, int> first_;
};

// Names that the rules tell apart or take for the same: letter case, Windows-1252 letters
// (which fold only as far as ASCII goes), separators inside names, the longest texts, and
// thousands more so that names crowd the index.
std::vector<FEntry> Entries() {
    std::vector<FEntry> e = {
        Entry("", "index.html"),
        Entry("", "INDEX.HTML"),
        Entry("ui\\", "common.js"),
        Entry("UI\\", "Common.JS"),
        Entry("static\\r07\\", "pic.bin"),
        Entry("", "-config-"),
        Entry("", "-logo-"),
        Entry("", "\xC4rger.txt"),
        Entry("", "\xE4rger.txt"),
        Entry("caf\xE9\\", "men\xFC.html"),
        Entry("a:b\\", "c:d.txt"),
        Entry("x/y\\", "z.html"),
        Entry("", std::string("nul\0byte", 8)),
        Entry("", ""),
        Entry(std::string(254, 'D') + "\\", std::string(255, 'n')),
        Entry(std::string(254, 'd') + "\\", std::string(255, 'N')),
    };
    for (int i = 0; i < 3000; ++i) {
        e.push_back(Entry(Format("d%d\\", i % 7), Format(i % 3 ? "n%d" : "N%d.HTM", i)));
    }
    e.push_back(Entry("d5\\", "N2000")); // the name of generated entry 2000 once more
    return e;
}

std::vector<std::string> Requests(const std::vector<FEntry>& entries) {
    std::vector<std::string> r = {"",
                                  "\\",
                                  "C:",
                                  "index.htm",
                                  "\xC4RGER.TXT",
                                  "\xE4RGER.TXT",
                                  "C:\\index.html",
                                  "c:ui\\common.js",
                                  "ui\\C:common.js",
                                  "x\\y\\z.html"};
    if (auto cp1252 = Utf8ToCp1252("caf\xC3\xA9\\men\xC3\xBC.html")) {
        r.push_back(*cp1252);
    }
    for (std::size_t i = 0; i < entries.size(); i += (i < 40 ? 1 : 97)) {
        const std::string full = entries[i].path + entries[i].name;
        std::string slashes = full;
        std::replace(slashes.begin(), slashes.end(), '\\', '/');
        r.insert(r.end(), {full, Upper(full), Fold(full), slashes, "\\" + full, "C:" + full,
                           full + " ", full.substr(0, full.size() / 2)});
    }
    return r;
}

// Layout version, compressed directory.
class DirectoryRules : public ::testing::TestWithParam<std::tuple<std::uint32_t, bool>> {};

TEST_P(DirectoryRules, EveryRequestFindsWhatAScanFinds) {
    const auto [version, compressed] = GetParam();
    const std::vector<FEntry> entries = Entries();
    const Scan scan(entries);
    FOptions o;
    o.version = version;
    o.compressedDirectory = compressed;
    TempFolder dir;
    TZLBArc2 arc(nullptr);
    ASSERT_TRUE(arc.OpenArchive(dir.Write("names.kvb", Build(entries, o))));
    ASSERT_EQ(arc.FileCount(), static_cast<int>(entries.size()));

    for (const bool savePaths : {false, true}) {
        arc.SavePaths = savePaths;
        for (const std::string& request : Requests(entries)) {
            EXPECT_EQ(arc.IndexOfFile(request), scan.For(request, savePaths))
                << "\"" << request << "\" with SavePaths " << savePaths;
        }
    }
    arc.SavePaths = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string full = entries[i].path + entries[i].name;
        ASSERT_EQ(arc.IndexOfFile(full), scan.For(full, false)) << full;
        ASSERT_EQ(arc.GetFileEntry(static_cast<int>(i)).FullName(), full);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, DirectoryRules,
                         ::testing::Combine(::testing::Values(1u, 2u), ::testing::Bool()),
                         [](const auto& info) {
                             return "v" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_Compressed" : "_Raw");
                         });

// Every field comes back as the record held it, odd values included, so listing and extraction
// see what they always saw.
TEST(ArchiveDirectory, EntriesComeBackAsTheRecordsHeldThem) {
    std::vector<FEntry> entries = {Entry("", "plain.html"), Entry("odd\\", "values.bin"),
                                   Entry("", "")};
    FEntry& odd = entries[1];
    odd.method = 7;
    odd.level = 3;
    odd.uncompressedSize = -5;
    odd.compressedSize = INT64_MAX;
    odd.encryptedSize = 123456789012345;
    odd.dataOffset = INT64_MIN;
    odd.crc = 0xDEADBEEF;
    for (const std::uint32_t version : {1u, 2u}) {
        FOptions o;
        o.version = version;
        TempFolder dir;
        TZLBArc2 arc(nullptr);
        ASSERT_TRUE(arc.OpenArchive(dir.Write("odd.kvb", Build(entries, o))));
        std::int64_t offset = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const FEntry& e = entries[i];
            const Bytes stored = StoredBytes(e);
            const Bytes record = Record(e, version, e.dataOffset.value_or(offset),
                                        static_cast<std::int64_t>(stored.size()));
            offset += e.dataOffset ? 0 : static_cast<std::int64_t>(stored.size());
            const TArchiveEntry want = TArchiveEntry::Decode(
                reinterpret_cast<const std::uint8_t*>(record.data()), version);
            const TArchiveEntry got = arc.GetFileEntry(static_cast<int>(i));
            SCOPED_TRACE("v" + std::to_string(version) + " entry " + std::to_string(i));
            EXPECT_EQ(got.Name, want.Name);
            EXPECT_EQ(got.Path, want.Path);
            EXPECT_EQ(got.UncompressedSize, want.UncompressedSize);
            EXPECT_EQ(got.CompressedSize, want.CompressedSize);
            EXPECT_EQ(got.EncryptedSize, want.EncryptedSize);
            EXPECT_EQ(got.DataOffset, want.DataOffset);
            EXPECT_EQ(got.CRC, want.CRC);
            EXPECT_EQ(got.Method, want.Method);
            EXPECT_EQ(got.Level, want.Level);
        }
    }
}

// Nothing stops a book from holding one name many times over. The first answers; the others
// must cost the index nothing, or building it would take time that grows with the square of
// their number.
TEST(ArchiveDirectory, OneNameManyTimesOverAnswersWithTheFirst) {
    constexpr std::uint32_t kCount = 100000;
    TempFolder dir;
    kiva::sample::ManyEntries many;
    many.count = kCount;
    many.compressDirectory = false;
    many.nameOf = [](std::uint32_t i, std::string& path, std::string& name) {
        path = i % 2 ? "SAME\\" : "same\\";
        name = i == kCount - 1 ? "other.html" : i % 3 ? "Page.html" : "page.HTML";
    };
    many.contentOf = [](std::uint32_t i) { return std::to_string(i); };
    const std::string file = dir.File("one-name.kvb");
    kiva::sample::WriteMany(file, many);
    TZLBArc2 arc(nullptr);
    ASSERT_TRUE(arc.OpenArchive(file));
    EXPECT_EQ(arc.IndexOfFile("Same\\PAGE.html"), 0);
    EXPECT_EQ(arc.IndexOfFile("same\\OTHER.html"), static_cast<int>(kCount - 1));
    EXPECT_EQ(arc.IndexOfFile("same\\page.htm"), -1);
    EXPECT_EQ(arc.GetFileEntry(kCount - 2).FullName(), "same\\Page.html");
}

// Readers made with OpenSameArchive share one directory across threads; each finds every
// entry while the others do the same, and the first reader closing takes nothing from them.
TEST(ArchiveDirectory, ReadersOnOtherThreadsShareOneDirectory) {
    const std::vector<FEntry> entries = Entries();
    const Scan scan(entries);
    TempFolder dir;
    auto first = std::make_unique<TZLBArc2>(nullptr);
    ASSERT_TRUE(first->OpenArchive(dir.Write("shared.kvb", Build(entries))));
    std::vector<std::unique_ptr<TZLBArc2>> readers;
    for (int t = 0; t < 4; ++t) {
        readers.push_back(std::make_unique<TZLBArc2>(nullptr));
        readers.back()->OpenSameArchive(*first);
    }
    first.reset();
    std::vector<int> wrong(readers.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < readers.size(); ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = t; i < entries.size(); ++i) {
                const std::string full = entries[i].path + entries[i].name;
                const int found = readers[t]->IndexOfFile(Upper(full));
                wrong[t] += found != scan.For(full, false) ||
                            readers[t]->GetFileEntry(static_cast<int>(i)).FullName() != full;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(readers.size(), 0));
}

} // namespace

namespace {

// What the directory notes while it loads (an encrypted entry anywhere, the large entries worth
// streaming) must be what a walk over every entry finds, at the size limit, for every method,
// and when there are more large entries than it keeps.
struct FMakeup {
    const char* Label;
    std::vector<FEntry> Entries;
};

std::vector<FMakeup> Makeups() {
    constexpr std::int64_t kLarge = TArchiveDirectory::kLargeEntrySize;
    auto sized = [](std::string name, std::uint8_t method, std::int64_t size) {
        FEntry e = Entry("media\\", std::move(name));
        e.method = method;
        e.uncompressedSize = size;
        return e;
    };
    std::vector<FMakeup> makeups;
    makeups.push_back({"SmallPagesOnly", {Entry("", "index.html"), Entry("a\\", "b.html")}});
    makeups.push_back({"EveryMethodAroundTheLimit", {}});
    for (const std::uint8_t method : {0, 1, 2, 3, 7}) {
        for (const std::int64_t size : {kLarge - 1, kLarge, kLarge * 300}) {
            makeups.back().Entries.push_back(
                sized("m" + std::to_string(method) + "_" + std::to_string(size), method, size));
        }
    }
    std::vector<FEntry> late(2000, Entry("", ""));
    for (std::size_t i = 0; i < late.size(); ++i) {
        late[i].name = "page" + std::to_string(i) + ".html";
    }
    late.back().method = 3;
    makeups.push_back({"OneEncryptedEntryAtTheEnd", late});
    std::vector<FEntry> many;
    for (std::size_t i = 0; i < TArchiveDirectory::kMaxLargeEntries + 3; ++i) {
        many.push_back(sized("v" + std::to_string(i) + ".webm", i % 2 ? 1 : 0, kLarge));
    }
    makeups.push_back({"MoreLargeEntriesThanAreKept", many});
    return makeups;
}

class DirectoryNotes : public ::testing::TestWithParam<FMakeup> {};

TEST_P(DirectoryNotes, AreWhatAWalkFinds) {
    TempFolder dir;
    TZLBArc2 arc(nullptr);
    ASSERT_TRUE(arc.OpenArchive(dir.Write("notes.kvb", Build(GetParam().Entries))));
    bool encrypted = false;
    std::vector<std::uint32_t> large;
    for (int i = 0; i < arc.FileCount(); ++i) {
        const TArchiveEntry e = arc.GetFileEntry(i);
        encrypted = encrypted || e.Method == emCompressedEncrypted || e.Method == emStoredEncrypted;
        if ((e.Method == emCompressed || e.Method == emStored) &&
            e.UncompressedSize >= TArchiveDirectory::kLargeEntrySize &&
            large.size() < TArchiveDirectory::kMaxLargeEntries) {
            large.push_back(static_cast<std::uint32_t>(i));
        }
    }
    EXPECT_EQ(arc.HasEncryptedEntries(), encrypted);
    EXPECT_EQ(arc.LargeEntries(), large);
    // A reader of its own for another thread shares the notes; a closed one has none.
    TZLBArc2 other(nullptr);
    other.OpenSameArchive(arc);
    EXPECT_EQ(other.LargeEntries(), large);
    arc.CloseArchive();
    EXPECT_FALSE(arc.HasEncryptedEntries());
    EXPECT_TRUE(arc.LargeEntries().empty());
}

INSTANTIATE_TEST_SUITE_P(Makeups, DirectoryNotes, ::testing::ValuesIn(Makeups()),
                         [](const auto& info) { return std::string(info.param.Label); });

} // namespace
