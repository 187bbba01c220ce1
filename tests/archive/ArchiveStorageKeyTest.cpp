#include <gtest/gtest.h>

#include "ArchiveStorageKey.h"
#include "Sha256.h"
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

// The key written out plainly: the digest of a fixed text, the trailer's counts and the
// directory's records exactly as stored.
std::string DigestOf(std::uint32_t version, std::size_t count, const FArchive& a,
                     const Bytes& records) {
    TSha256 sha;
    sha.Add("kivabook storage 1\n" + std::to_string(version) + " " + std::to_string(count) + " " +
            std::to_string(a.data.size()) + "\n");
    sha.Add(records);
    return sha.HexDigest().substr(0, 32);
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

// Directories of a few records and of thousands (which are digested on a second thread while
// the directory is built), in both layouts, raw and compressed: the key is the digest of the
// records as stored, bytes behind the names that no entry shows included.
TEST(ArchiveStorageKey, IsTheDigestOfTheRecordsAsStored) {
    for (const std::size_t count : {std::size_t(3), std::size_t(16000)}) {
        std::vector<FEntry> entries;
        for (std::size_t i = 0; i < count; ++i) {
            entries.push_back(Entry(Format("part%d\\", i % 13), Format("page%d.html", i),
                                    Text(i % 50, static_cast<unsigned>(i)), 1));
        }
        for (const std::uint32_t version : {1u, 2u}) {
            FOptions raw = RawDirectory();
            raw.version = version;
            FArchive a = BuildParts(entries, raw);
            // Stray bytes after the first record's name: stored, though never part of a name.
            a.directory[1 + entries[0].name.size()] = '!';
            const std::string want = DigestOf(version, count, a, a.directory);
            const std::size_t recordSize = version == 1 ? 532 : 550;
            ASSERT_EQ(a.directory.size(), count * recordSize);

            FArchive packed = a;
            packed.directory = Deflate(a.directory);
            packed.trailer =
                Trailer(raw, Crc(packed.data + packed.directory), static_cast<std::uint32_t>(count),
                        static_cast<std::uint32_t>(packed.directory.size()),
                        static_cast<std::int64_t>(packed.data.size()), true);
            for (const FArchive* archive : {&a, &packed}) {
                TempFolder dir;
                TZLBArc2 arc{nullptr};
                arc.VerifyArchiveCRC = false;
                ASSERT_TRUE(arc.OpenArchive(dir.Write("book.kvb", archive->All())));
                EXPECT_EQ(ArchiveStorageKey(arc), want)
                    << count << " entries, v" << version
                    << (archive == &a ? ", raw" : ", compressed");
            }
        }
    }
}
