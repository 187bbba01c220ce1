#include <gtest/gtest.h>

#include "ArchiveStorageKey.h"
#include "TestArchive.h"
#include "ZLIBArchive2.h"

using namespace kiva;
using namespace kivatest;

namespace {

FEntry Entry(std::string path, std::string name, Bytes content, std::uint8_t method = 0) {
    FEntry e;
    e.path = std::move(path);
    e.name = std::move(name);
    e.content = std::move(content);
    e.method = method;
    return e;
}

std::vector<FEntry> Book() {
    return {Entry("", "index.html", "<h1>Home</h1>"), Entry("docs\\", "a b.html", Text(5000)),
            Entry("media\\", "clip.webm", Noise(3000), 1)};
}

std::string KeyOf(const Bytes& archive) {
    TempFolder dir;
    TZLBArc2 arc{nullptr};
    EXPECT_TRUE(arc.OpenArchive(dir.Write("book.kvb", archive)));
    return ArchiveStorageKey(arc);
}

FOptions WithHost() {
    FOptions o;
    o.host = Bytes(4096, 'x');
    return o;
}

FOptions RawDirectory() {
    FOptions o;
    o.compressedDirectory = false;
    return o;
}

} // namespace

// Readers' web data is filed under this name: a change of the digest would lose it for every
// book already opened, so the value for a fixed book is pinned here.
TEST(ArchiveStorageKey, StaysTheSameForABookWhereverItLies) {
    const std::string key = KeyOf(Build(Book()));
    EXPECT_EQ(key, "f2e6e0196e5691225299c3803c47f640");
    EXPECT_EQ(KeyOf(Build(Book(), WithHost())), key);
    EXPECT_EQ(KeyOf(Build(Book(), RawDirectory())), key);
}

TEST(ArchiveStorageKey, DiffersBetweenBooksAndIsEmptyWithoutOne) {
    std::vector<FEntry> changed = Book();
    changed[1].content += "!";
    EXPECT_NE(KeyOf(Build(changed)), KeyOf(Build(Book())));
    TZLBArc2 closed{nullptr};
    EXPECT_EQ(ArchiveStorageKey(closed), "");
}
