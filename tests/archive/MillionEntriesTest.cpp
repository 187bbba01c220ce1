// A book of a million entries, the size of a large encyclopedia section, written straight into
// one file: it opens, every sampled entry is found under its name in any letter case and comes
// back whole, and its storage key is the digest of its records as stored.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "ArchiveStorageKey.h"
#include "SampleArchive.h"
#include "Sha256.h"
#include "ZLIBArchive2.h"

namespace kiva {
namespace {

constexpr std::uint32_t kCount = 1000000;
// The last entry has the name of this one in capitals: the earlier must still win.
constexpr std::uint32_t kTwinOf = 500000;

void NameOf(std::uint32_t i, std::string& path, std::string& name) {
    const std::uint32_t n = i == kCount - 1 ? kTwinOf : i;
    char text[40];
    std::snprintf(text, sizeof text, "vol%02u\\sec%04u\\", n / 100000, n / 250);
    path = text;
    std::snprintf(text, sizeof text, i == kCount - 1 ? "ARTICLE_%07u.HTML" : "Article_%07u.html",
                  n);
    name = text;
}

std::string ContentOf(std::uint32_t i) {
    return "<p>" + std::to_string(i) + "</p>";
}

std::string FullName(std::uint32_t i) {
    std::string path, name;
    NameOf(i, path, name);
    return path + name;
}

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

// The key written out plainly: the digest of a fixed text, the counts, and every record as
// the writer stored it, made here again from the names and contents.
std::string KeyOf(std::int64_t dataSize) {
    TSha256 sha;
    sha.Add("kivabook storage 1\n2 " + std::to_string(kCount) + " " + std::to_string(dataSize) +
            "\n");
    sample::Bytes records(4096 * sample::kRecordBytesV2);
    sample::Record r;
    r.method = sample::kStored;
    std::int64_t offset = 0;
    for (std::uint32_t first = 0; first < kCount; first += 4096) {
        const std::uint32_t n = std::min<std::uint32_t>(4096, kCount - first);
        std::fill(records.begin(), records.end(), 0);
        for (std::uint32_t k = 0; k < n; ++k) {
            NameOf(first + k, r.path, r.name);
            const std::string content = ContentOf(first + k);
            r.uncompressedSize = static_cast<std::int64_t>(content.size());
            r.crc = sample::Crc(content);
            r.dataOffset = offset;
            offset += r.uncompressedSize;
            sample::EncodeRecord(records, k * sample::kRecordBytesV2, r, 2);
        }
        sha.Add(records.data(), n * sample::kRecordBytesV2);
    }
    return sha.HexDigest().substr(0, 32);
}

// Removes the book whichever way the test ends.
struct RemovedAtEnd {
    std::string Name;
    ~RemovedAtEnd() { std::remove(Name.c_str()); }
};

TEST(MillionEntries, OpenFindEveryEntryAskedForAndKeepTheStorageKey) {
    const RemovedAtEnd file{
        (::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm/") : ::testing::TempDir()) +
        "million-" + std::to_string(::getpid()) + ".kvb"};
    sample::ManyEntries many;
    many.count = kCount;
    many.nameOf = NameOf;
    many.contentOf = ContentOf;
    const sample::Trailer trailer = sample::WriteMany(file.Name, many).trailer;

    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = false;
    ASSERT_TRUE(arc.OpenArchive(file.Name));
    ASSERT_EQ(arc.FileCount(), static_cast<int>(kCount));

    for (std::uint32_t i = 0; i < kCount - 1; i += (i < 1000 ? 1 : 997)) {
        const std::string full = FullName(i);
        ASSERT_EQ(arc.IndexOfFile(full), static_cast<int>(i)) << full;
        ASSERT_EQ(arc.IndexOfFile(Upper(full)), static_cast<int>(i)) << full;
        ASSERT_EQ(arc.IndexOfFile(full + "x"), -1) << full;
        const TArchiveEntry e = arc.GetFileEntry(static_cast<int>(i));
        ASSERT_EQ(e.FullName(), full);
        ASSERT_EQ(e.UncompressedSize, static_cast<std::int64_t>(ContentOf(i).size()));
        ASSERT_EQ(e.CRC, sample::Crc(ContentOf(i)));
        ASSERT_EQ(e.Method, sample::kStored);
    }
    EXPECT_EQ(arc.IndexOfFile(FullName(kCount - 1)), static_cast<int>(kTwinOf));
    EXPECT_EQ(arc.GetFileEntry(kCount - 1).FullName(), FullName(kCount - 1));

    arc.VerifyFileCRC = true;
    for (const std::uint32_t i : {0u, kTwinOf, kCount - 2, kCount - 1}) {
        TMemoryStream out;
        arc.ExtractIndexToStream(static_cast<int>(i), out, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Memory()),
                              static_cast<std::size_t>(out.Size())),
                  ContentOf(i));
    }

    // The records passed by the digest in pieces, on a thread of its own, while the directory
    // was built: the key must still be the digest of all of them in order.
    EXPECT_EQ(ArchiveStorageKey(arc), KeyOf(trailer.dataSize));
}

} // namespace
} // namespace kiva
