#include "ZLIBArchiveGlobals2.h"

#include <algorithm>
#include <memory>

namespace kiva {

TShortString TShortString::From(std::string_view s) {
    TShortString r;
    r.Length = static_cast<std::uint8_t>(std::min<std::size_t>(s.size(), sizeof(r.Chars)));
    std::memcpy(r.Chars, s.data(), r.Length);
    return r;
}

TShortString TShortString::Decode(const std::uint8_t* p) {
    TShortString r;
    r.Length = p[0];
    std::memcpy(r.Chars, p + 1, r.Length);
    return r;
}

void TShortString::Encode(std::uint8_t* p) const {
    std::memset(p, 0, kShortTextSize);
    p[0] = Length;
    std::memcpy(p + 1, Chars, Length);
}

TArchiveTrailer TArchiveTrailer::Decode(const std::uint8_t* p) {
    TArchiveTrailer t;
    t.Version = GetU32(p + 8);
    if (t.Version != 1 && t.Version != 2) {
        return t;
    }
    t.ArchiveCRC = GetU32(p);
    t.EntryCount = GetU32(p + 4);
    t.DirectorySize = GetU32(p + 12);
    if (t.Version == 1) {
        t.DataSize = GetI32(p + 16);
        t.DirectoryCompressed = p[20];
        t.Reserved1 = 0;
    } else {
        t.DataSize = GetI64(p + 16);
        t.DirectoryCompressed = p[24];
        t.Reserved1 = p[25];
    }
    std::memcpy(t.Reserved2, p + 26, sizeof(t.Reserved2));
    return t;
}

void TArchiveTrailer::Encode(std::uint8_t* p) const {
    std::memset(p, 0, kTrailerSize);
    PutU32(p, ArchiveCRC);
    PutU32(p + 4, EntryCount);
    PutU32(p + 8, Version);
    PutU32(p + 12, DirectorySize);
    if (Version == 1) {
        PutU32(p + 16, static_cast<std::uint32_t>(DataSize));
        p[20] = DirectoryCompressed;
        return;
    }
    PutI64(p + 16, DataSize);
    p[24] = DirectoryCompressed;
    p[25] = Reserved1;
    std::memcpy(p + 26, Reserved2, sizeof(Reserved2));
}

TEntryNumbers TEntryNumbers::Decode(const std::uint8_t* record, std::uint32_t version) {
    TEntryNumbers e;
    const std::uint8_t* n = record + 2 * kShortTextSize;
    if (version == 1) {
        e.UncompressedSize = GetI32(n);
        e.CompressedSize = GetI32(n + 4);
        e.EncryptedSize = 0;
        e.DataOffset = GetI32(n + 8);
        e.CRC = GetU32(n + 12);
        e.Method = n[16];
        e.Level = n[17];
    } else {
        e.UncompressedSize = GetI64(n);
        e.CompressedSize = GetI64(n + 8);
        e.EncryptedSize = GetI64(n + 16);
        e.DataOffset = GetI64(n + 24);
        e.CRC = GetU32(n + 32);
        e.Method = n[36];
        e.Level = n[37];
    }
    return e;
}

TArchiveEntry TArchiveEntry::Decode(const std::uint8_t* p, std::uint32_t version) {
    TArchiveEntry e;
    e.Name = TShortString::Decode(p);
    e.Path = TShortString::Decode(p + kShortTextSize);
    const TEntryNumbers n = TEntryNumbers::Decode(p, version);
    e.UncompressedSize = n.UncompressedSize;
    e.CompressedSize = n.CompressedSize;
    e.EncryptedSize = n.EncryptedSize;
    e.DataOffset = n.DataOffset;
    e.CRC = n.CRC;
    e.Method = n.Method;
    e.Level = n.Level;
    return e;
}

void TArchiveEntry::Encode(std::uint8_t* p, std::uint32_t version) const {
    std::memset(p, 0, static_cast<std::size_t>(RecordSize(version)));
    Name.Encode(p);
    Path.Encode(p + kShortTextSize);
    std::uint8_t* n = p + 2 * kShortTextSize;
    if (version == 1) {
        PutU32(n, static_cast<std::uint32_t>(UncompressedSize));
        PutU32(n + 4, static_cast<std::uint32_t>(CompressedSize));
        PutU32(n + 8, static_cast<std::uint32_t>(DataOffset));
        PutU32(n + 12, CRC);
        n[16] = Method;
        n[17] = Level;
        return;
    }
    PutI64(n, UncompressedSize);
    PutI64(n + 8, CompressedSize);
    PutI64(n + 16, EncryptedSize);
    PutI64(n + 24, DataOffset);
    PutU32(n + 32, CRC);
    n[36] = Method;
    n[37] = Level;
}

namespace {

std::array<std::uint32_t, 256> BuildCRC32Table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        t[i] = c;
    }
    return t;
}

} // namespace

const std::array<std::uint32_t, 256>& CRC32Table() {
    static const std::array<std::uint32_t, 256> table = BuildCRC32Table();
    return table;
}

std::uint32_t StreamCRC32(TStream& stream, std::int64_t start, std::int64_t trimEnd) {
    constexpr std::int64_t kBlock = 10240;
    const std::int64_t saved = stream.Position();
    std::int64_t remaining = stream.Size() - start - trimEnd;
    stream.SetPosition(start);
    auto buf = std::make_unique<std::uint8_t[]>(kBlock);
    std::uint32_t crc = 0xFFFFFFFFu;
    while (remaining > 0) {
        std::int64_t want = std::min(remaining, kBlock);
        std::int64_t got = stream.Read(buf.get(), want);
        if (got > 0) {
            crc = UpdateCRC32(crc, buf.get(), static_cast<std::size_t>(got));
        } else {
            // The stream ended before its reported size; what it has is all the CRC can cover.
            break;
        }
        remaining -= want;
    }
    stream.SetPosition(saved);
    return ~crc;
}

} // namespace kiva
