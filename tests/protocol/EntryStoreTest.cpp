// The entry store's bounds: open files, bytes, the entries too large for it, the entries read
// in place, the book that keeps secrets, and its end while extractions run.

#include "EntryStore.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ArchiveBytes.h"
#include "ProtocolFixture.h"
#include "SysUtils.h"
#include "ZLIBArchive2.h"

namespace kiva {
namespace {

namespace fs = std::filesystem;
using test::DescriptorsTo;

constexpr std::size_t kSmall = 10000;

// Content that differs everywhere, so a byte from the wrong place shows.
std::string Content(const std::string& tag, std::size_t size) {
    std::string s;
    for (int i = 0; s.size() < size; ++i) {
        s += tag + " line " + std::to_string(i) + "\n";
    }
    s.resize(size);
    return s;
}

// Reads a whole entry as a reader on another thread would, waiting for what has not arrived.
std::string ReadWhole(TEntryFile& file) {
    std::string out;
    char buf[65536];
    for (;;) {
        const std::int64_t n =
            file.ReadAvailable(static_cast<std::int64_t>(out.size()), buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        const TEntryFile::TProgress p =
            file.WaitFor(static_cast<std::int64_t>(out.size()), std::chrono::seconds(10));
        if (p.Done && p.Available <= static_cast<std::int64_t>(out.size())) {
            return p.Failed ? "failed: " + file.Error() : out;
        }
    }
}

class EntryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiva-store-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        test::TArchiveBytes a;
        for (int i = 0; i < 6; ++i) {
            a.Add({"", "e" + std::to_string(i) + ".bin", Small(i), true});
        }
        a.Add({"", "s0.bin", Content("stored zero", kSmall), false})
            .Add({"", "s1.bin", Content("stored one", kSmall), false})
            .Add({"", "big.bin", Big(), true});
        archiveFile = (dir / "store.kvb").string();
        a.WriteTo(archiveFile);
        arc.OpenArchive(archiveFile);
        options.Folder = (dir / "entries").string();
        options.Budget = 100 * kSmall;
    }
    void TearDown() override {
        store.reset();
        fs::remove_all(dir);
    }

    static std::string Small(int i) { return Content("entry " + std::to_string(i), kSmall); }
    static std::string Big() { return Content("big", 3u << 20); }

    TEntryStore& Store() {
        if (!store) {
            store = std::make_unique<TEntryStore>(arc, options);
        }
        return *store;
    }
    std::shared_ptr<TEntryFile> Open(const std::string& name) {
        return Store().Open(arc.IndexOfFile(name));
    }
    // Opens an entry and reads it whole; the hold is let go at once unless kept.
    std::string Fetch(const std::string& name, std::shared_ptr<TEntryFile>* keep = nullptr) {
        auto file = Open(name);
        std::string bytes = ReadWhole(*file);
        if (keep) {
            *keep = std::move(file);
        }
        return bytes;
    }
    int EntryFilesOpen() const { return DescriptorsTo(options.Folder + "/"); }

    fs::path dir;
    std::string archiveFile;
    TZLBArc2 arc{nullptr};
    TEntryStoreOptions options;
    std::unique_ptr<TEntryStore> store;
};

// ---- Bounds: open files and bytes

struct BoundCase {
    const char* Name;
    int MaxFiles;
    std::int64_t Budget;
};

class EntryStoreBounds : public EntryStoreTest, public ::testing::WithParamInterface<BoundCase> {};

// Either bound allows three entries. Entries let go are closed least recently used first;
// a closed entry is inflated again when it is asked for; while every file is held, a new
// entry waits instead of breaking the bound.
TEST_P(EntryStoreBounds, CloseTheLeastRecentlyUsedAndWaitWhileAllAreHeld) {
    options.MaxFiles = GetParam().MaxFiles;
    options.Budget = GetParam().Budget;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Fetch("e" + std::to_string(i) + ".bin"), Small(i));
    }
    // e0 is used again, so e1 is now the least recently used.
    EXPECT_EQ(Fetch("e0.bin"), Small(0));
    std::shared_ptr<TEntryFile> e3;
    EXPECT_EQ(Fetch("e3.bin", &e3), Small(3));
    EXPECT_LE(EntryFilesOpen(), 3);

    // e0 and e2 are still in place; with them held, every file is held.
    const auto e0 = Open("e0.bin");
    const auto e2 = Open("e2.bin");
    EXPECT_TRUE(e0->Progress().Done);
    EXPECT_TRUE(e2->Progress().Done);
    auto e1 = Open("e1.bin");
    EXPECT_FALSE(e1->Progress().Done);
    EXPECT_EQ(Store().Usage().Queued, 1);
    EXPECT_EQ(Store().Usage().OpenFiles, 3);
    EXPECT_LE(EntryFilesOpen(), 3);

    // Letting go of one lets e1 in, in its place.
    e3.reset();
    EXPECT_EQ(ReadWhole(*e1), Small(1));
    EXPECT_EQ(ReadWhole(*e0), Small(0));
    EXPECT_LE(EntryFilesOpen(), 3);
    EXPECT_LE(Store().Usage().Bytes, Store().Usage().Budget);
}

INSTANTIATE_TEST_SUITE_P(Bounds, EntryStoreBounds,
                         ::testing::Values(BoundCase{"Files", 3, 100 * kSmall},
                                           BoundCase{"Bytes", 100, 3 * kSmall}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- Entries larger than the budget

TEST_F(EntryStoreTest, AnEntryLargerThanTheBudgetStreamsToItsOneReader) {
    const int index = arc.IndexOfFile("big.bin");
    EXPECT_TRUE(Store().Streams(index));
    EXPECT_FALSE(Store().Streams(arc.IndexOfFile("e0.bin")));
    auto file = Store().Open(index);
    EXPECT_EQ(file->Kind(), TEntryFile::ekStreamed);
    // Its bytes pass through a small buffer: nothing counts against the budget, no file.
    EXPECT_TRUE(ReadWhole(*file) == Big());
    EXPECT_EQ(Store().Usage().Bytes, 0);
    EXPECT_EQ(EntryFilesOpen(), 0);
    char byte;
    EXPECT_THROW(file->ReadAvailable(0, &byte, 1), Exception);

    // A reader that goes away midway stops the extraction; more than kMaxStreams at once are
    // refused rather than letting threads and buffers grow.
    std::vector<std::shared_ptr<TEntryFile>> held;
    for (int i = 0; i < TEntryStore::kMaxStreams; ++i) {
        held.push_back(Store().Open(index));
    }
    EXPECT_THROW(Store().Open(index), Exception);
    held.clear();
    EXPECT_TRUE(ReadWhole(*Store().Open(index)) == Big());
}

// ---- Entries read in place

TEST_F(EntryStoreTest, StoredEntriesHoldTheArchiveOpenOnlyWhileTheyAreRead) {
    EXPECT_EQ(DescriptorsTo(archiveFile), 0);
    auto s0 = Open("s0.bin");
    auto s1 = Open("s1.bin");
    EXPECT_EQ(s0->Kind(), TEntryFile::ekInPlace);
    // One descriptor of the archive serves every entry read in place.
    EXPECT_EQ(DescriptorsTo(archiveFile), 1);
    EXPECT_EQ(ReadWhole(*s1), Content("stored one", kSmall));
    s0.reset();
    EXPECT_EQ(DescriptorsTo(archiveFile), 1);
    s1.reset();
    EXPECT_EQ(DescriptorsTo(archiveFile), 0);
    EXPECT_EQ(Store().Usage().OpenFiles, 0);
}

// ---- Entries kept in memory

// A book whose folder cannot take files (here, a file stands where a folder should be) keeps
// its entries in memory instead of failing. (A book that keeps secrets: StreamingTest.)
TEST_F(EntryStoreTest, AFolderThatCannotTakeFilesLeavesTheEntriesInMemory) {
    std::ofstream(dir / "file") << "x";
    options.Folder = (dir / "file" / "entries").string();
    std::shared_ptr<TEntryFile> held;
    EXPECT_EQ(Fetch("e0.bin", &held), Small(0));
    EXPECT_EQ(DescriptorsTo("/memfd:kivabook-entry"), 1);
}

// ---- The end of the store

TEST_F(EntryStoreTest, StopEndsRunningAndWaitingExtractionsAndWaitsForThem) {
    options.MaxFiles = 1;
    options.Budget = 100 << 20;
    std::shared_ptr<TEntryFile> first;
    EXPECT_EQ(Fetch("e0.bin", &first), Small(0));
    // With the one file held, big.bin waits, so its first bytes cannot come before the listener
    // is there. The listener then holds the extraction until the store is stopping.
    auto big = Open("big.bin");
    std::atomic<bool> running{false};
    const int listener = big->AddListener([this, &running] {
        running = true;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!store->Stopped() && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
    });
    auto waiting = Open("e1.bin");
    first.reset();
    for (int i = 0; i < 10000 && !running; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(running);
    Store().Stop();

    big->RemoveListener(listener);
    EXPECT_TRUE(big->Progress().Failed);
    EXPECT_EQ(big->Error(), "The extraction was stopped");
    EXPECT_TRUE(waiting->Progress().Failed);
    EXPECT_EQ(ReadWhole(*waiting), "failed: The book has been closed");
    EXPECT_THROW(Open("e2.bin"), Exception);
    big.reset();
    waiting.reset();
    EXPECT_EQ(EntryFilesOpen(), 0);
}

} // namespace
} // namespace kiva
