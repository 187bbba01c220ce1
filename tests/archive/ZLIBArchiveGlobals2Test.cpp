#include "ZLIBArchiveGlobals2.h"

#include <gtest/gtest.h>

#include "TestArchive.h"

using namespace kiva;
using namespace kivatest;

namespace {

const std::uint8_t* U8(const Bytes& b) {
    return reinterpret_cast<const std::uint8_t*>(b.data());
}

} // namespace

TEST(CRC32, MatchesTheStandardCheckValueAndZlib) {
    EXPECT_EQ(CRC32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(CRC32("", 0), 0u);
    const Bytes noise = Noise(100000);
    EXPECT_EQ(CRC32(noise.data(), noise.size()), Crc(noise));
    // Table entry 1 is the polynomial shifted through eight rounds.
    EXPECT_EQ(CRC32Table()[1], 0x77073096u);
    EXPECT_EQ(CRC32Table()[255], 0x2D02EF8Du);
}

TEST(StreamCRC32, CoversTheStretchAndKeepsThePosition) {
    // Longer than several 10,240-byte blocks and not a multiple of one.
    const Bytes data = Noise(35001);
    TMemoryStream s;
    s.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));
    s.SetPosition(123);
    EXPECT_EQ(StreamCRC32(s, 0, 0), Crc(data));
    EXPECT_EQ(s.Position(), 123);
    EXPECT_EQ(StreamCRC32(s, 1000, 36), Crc(data.substr(1000, data.size() - 1036)));
    EXPECT_EQ(s.Position(), 123);
    EXPECT_EQ(StreamCRC32(s, 100, data.size() - 100), 0u);
}

TEST(ShortString, OnlyTheCountedCharactersCount) {
    Bytes field(256, 'Z');
    field[0] = 3;
    field[1] = 'a';
    field[2] = 'b';
    field[3] = 'c';
    EXPECT_EQ(TShortString::Decode(U8(field)).Str(), "abc");
    field[0] = static_cast<char>(255);
    EXPECT_EQ(TShortString::Decode(U8(field)).Length, 255);
    EXPECT_EQ(TShortString::From(std::string(300, 'x')).Length, 255);

    std::uint8_t out[256];
    std::memset(out, 0xAA, sizeof out);
    TShortString::From("ui\\").Encode(out);
    Bytes expected(256, '\0');
    PutText(expected, 0, "ui\\");
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(out), 256), expected);
}

TEST(ArchiveTrailer, VersionTwoFieldsAtTheirOffsets) {
    Bytes t(36, '\0');
    PutLE(t, 0, 0xDEADBEEF, 4);
    PutLE(t, 4, 47, 4);
    PutLE(t, 8, 2, 4);
    PutLE(t, 12, 1245, 4);
    PutLE(t, 16, 0x123456789ull, 8);
    t[24] = 1;
    t[25] = 9;
    const TArchiveTrailer tr = TArchiveTrailer::Decode(U8(t));
    EXPECT_EQ(tr.ArchiveCRC, 0xDEADBEEFu);
    EXPECT_EQ(tr.EntryCount, 47u);
    EXPECT_EQ(tr.Version, 2u);
    EXPECT_EQ(tr.DirectorySize, 1245u);
    EXPECT_EQ(tr.DataSize, 0x123456789ll);
    EXPECT_EQ(tr.DirectoryCompressed, 1);

    std::uint8_t back[36];
    tr.Encode(back);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(back), 36), t);
}

TEST(ArchiveTrailer, VersionOneIsConvertedWithSignExtension) {
    Bytes t(36, '\x77'); // bytes 21 to 35 are not part of the old layout
    PutLE(t, 0, 0x01020304, 4);
    PutLE(t, 4, 3, 4);
    PutLE(t, 8, 1, 4);
    PutLE(t, 12, 600, 4);
    PutLE(t, 16, 0xFFFFFFF0u, 4);
    t[20] = 0;
    const TArchiveTrailer tr = TArchiveTrailer::Decode(U8(t));
    EXPECT_EQ(tr.Version, 1u);
    EXPECT_EQ(tr.EntryCount, 3u);
    EXPECT_EQ(tr.DirectorySize, 600u);
    EXPECT_EQ(tr.DataSize, -16);
    EXPECT_EQ(tr.DirectoryCompressed, 0);
    EXPECT_EQ(tr.Reserved1, 0);
}

TEST(ArchiveTrailer, OtherVersionsCarryOnlyTheNumber) {
    Bytes t(36, '\x11');
    PutLE(t, 8, 3, 4);
    const TArchiveTrailer tr = TArchiveTrailer::Decode(U8(t));
    EXPECT_EQ(tr.Version, 3u);
    EXPECT_EQ(tr.EntryCount, 0u);
    EXPECT_EQ(tr.DataSize, 0);
}

TEST(ArchiveEntry, BothRecordLayoutsDecodeToTheSameEntry) {
    FEntry e;
    e.path = "static\\r07\\";
    e.name = "Logo.PNG";
    e.content = "x";
    e.uncompressedSize = -2; // sign extension shows only with a negative number
    e.compressedSize = 1234;
    e.dataOffset = 0x7FFFFFF0;
    e.crc = 0xCAFEBABE;
    e.method = 1;
    e.level = 0;
    const TArchiveEntry v1 = TArchiveEntry::Decode(U8(Record(e, 1, 0x7FFFFFF0, 0)), 1);
    const TArchiveEntry v2 = TArchiveEntry::Decode(U8(Record(e, 2, 0x7FFFFFF0, 0)), 2);
    for (const TArchiveEntry* d : {&v1, &v2}) {
        EXPECT_EQ(d->Path.Str(), "static\\r07\\");
        EXPECT_EQ(d->Name.Str(), "Logo.PNG");
        EXPECT_EQ(d->FullName(), "static\\r07\\Logo.PNG");
        EXPECT_EQ(d->UncompressedSize, -2);
        EXPECT_EQ(d->CompressedSize, 1234);
        EXPECT_EQ(d->EncryptedSize, 0);
        EXPECT_EQ(d->DataOffset, 0x7FFFFFF0);
        EXPECT_EQ(d->CRC, 0xCAFEBABEu);
        EXPECT_EQ(d->Method, 1);
        EXPECT_EQ(d->Level, 0);
    }
}

TEST(ArchiveEntry, VersionTwoKeepsSixtyFourBitFieldsAndEncodesBack) {
    FEntry e;
    e.name = "big.bin";
    e.method = 3;
    e.uncompressedSize = 0x1'0000'0005ll;
    e.encryptedSize = 0x2'0000'0007ll;
    e.compressedSize = 0;
    e.crc = 42;
    e.level = 2;
    const Bytes rec = Record(e, 2, 0x3'0000'0009ll, 0);
    const TArchiveEntry d = TArchiveEntry::Decode(U8(rec), 2);
    EXPECT_EQ(d.UncompressedSize, 0x1'0000'0005ll);
    EXPECT_EQ(d.EncryptedSize, 0x2'0000'0007ll);
    EXPECT_EQ(d.DataOffset, 0x3'0000'0009ll);
    EXPECT_EQ(TArchiveEntry::RecordSize(2), 550);
    EXPECT_EQ(TArchiveEntry::RecordSize(1), 532);

    std::uint8_t back[550];
    d.Encode(back, 2);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(back), 550), rec);
}
