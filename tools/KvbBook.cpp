#include "KvbBook.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileDescriptor.h"
#include "KvbExtract.h"

namespace kiva {

namespace {

bool StartsWith(const std::uint8_t* p, std::size_t n, std::string_view magic) {
    return n >= magic.size() && std::memcmp(p, magic.data(), magic.size()) == 0;
}

// A zlib stream's two header bytes, as a book's first compressed entry begins.
bool IsZlibHeader(const std::uint8_t* p, std::size_t n) {
    return n >= 2 && (p[0] & 0x0F) == 8 && (p[0] >> 4) <= 7 && (p[0] * 256 + p[1]) % 31 == 0;
}

} // namespace

std::string WhyNotABook(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return std::strerror(errno);
    }
    const std::int64_t size = st.st_size;
    if (size == 0) {
        return "is empty, not a book";
    }
    std::uint8_t head[8] = {};
    const auto got = static_cast<std::size_t>(std::max<std::int64_t>(ReadAt(fd, head, 8, 0), 0));
    if (size < kTrailerSize) {
        return Format("is not a book: at %d bytes it is too short even for a book's trailer", size);
    }
    std::uint8_t raw[kTrailerSize] = {};
    if (ReadAt(fd, raw, kTrailerSize, size - kTrailerSize) != kTrailerSize) {
        return std::strerror(errno);
    }
    const TArchiveTrailer t = TArchiveTrailer::Decode(raw);
    if (t.Version == 1 || t.Version == 2) {
        const std::int64_t needed = t.DataSize + t.DirectorySize;
        if (t.DataSize < 0 || needed > size - kTrailerSize) {
            return Format("is truncated: its trailer counts %d bytes of entries and directory, "
                          "but only %d bytes come before it",
                          needed, size - kTrailerSize);
        }
        return std::string();
    }
    if (StartsWith(head, got, "\x1F\x8B")) {
        return "is gzip-compressed data, not a book (gunzip it first?)";
    }
    if (StartsWith(head, got, "PK\x03\x04")) {
        return "is a ZIP archive, not a book";
    }
    if (StartsWith(head, got,
                   "\x7F"
                   "ELF")) {
        return "is a program with no book appended";
    }
    if (IsZlibHeader(head, got)) {
        return "is truncated: it begins like a book, but its end, where a book keeps its "
               "directory, is missing";
    }
    return "is not a book: it does not end in a book's trailer";
}

TBook::TBook(const std::string& fileName) : fileName_(fileName) {
    auto fail = [&](const std::string& why) { return Exception(Format("%s: %s", fileName, why)); };
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0) {
        throw fail(errno == ENOENT ? std::string("no such file") : std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        throw fail("is a folder, not a book");
    }
    if (!S_ISREG(st.st_mode)) {
        throw fail("is not a regular file (a device, pipe or socket), so not a book");
    }
    {
        TFileDescriptor fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) {
            throw fail(std::strerror(errno));
        }
        const std::string why = WhyNotABook(fd.Get());
        if (!why.empty()) {
            throw fail(why);
        }
    }
    // Listing and extraction should still work on a book whose whole CRC is off; each entry
    // is checked on its own instead, and verify checks the whole CRC itself.
    arc_.VerifyArchiveCRC = false;
    arc_.VerifyFileCRC = true;
    try {
        arc_.OpenArchive(fileName);
    } catch (const Exception& e) {
        if (e.Message() == msg::ErrorReadingRegistry) {
            throw fail("has a damaged directory");
        }
        throw fail(e.Message());
    }
}

std::string TBook::EntryProblem(const TArchiveEntry& entry, const std::string& what) const {
    return Format("%s: entry %s: %s", fileName_, ShownName(entry), what);
}

void TBook::Extract(int index, TStream& stream) {
    const TArchiveEntry e = arc_.GetFileEntry(index);
    auto damaged = [&](const std::string& detail) {
        return Exception(Format("%s: damaged entry %s: %s", fileName_, ShownName(e), detail));
    };
    // The viewer has no cipher, and neither has kvb: say so rather than call it damage.
    if (e.Method == emCompressedEncrypted || e.Method == emStoredEncrypted) {
        throw Exception(Format("%s: entry %s is encrypted, and kvb cannot decipher it", fileName_,
                               ShownName(e)));
    }
    const std::int64_t start = stream.Position();
    try {
        arc_.ExtractIndexToStream(index, stream, nullptr);
    } catch (const EReadError&) {
        throw damaged("its data is cut short");
    } catch (const Exception& ex) {
        const std::string& m = ex.Message();
        if (m == msg::Corrupted) {
            throw damaged("its compressed data is broken");
        }
        if (m == Format(msg::FailedCRC, e.Name.Str())) {
            throw damaged("its content fails its CRC check");
        }
        // The reader's own message tells more than any summary (a write that failed, a book
        // that can no longer be opened).
        throw Exception(EntryProblem(e, m));
    }
    const std::int64_t written = stream.Position() - start;
    if (written != e.UncompressedSize) {
        throw damaged(
            Format("its content is %d bytes, the directory says %d", written, e.UncompressedSize));
    }
}

std::string CrcText(std::uint32_t crc) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", crc);
    return buf;
}

std::string EntryName(const TArchiveEntry& entry) {
    std::string s = ArchiveText(entry.FullName());
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

std::string ShownName(const TArchiveEntry& entry) {
    return Printable(EntryName(entry));
}

} // namespace kiva
