#pragma once

// Writes archive files byte by byte from the format's field tables. It shares no code with the
// reader's own encoders, so the tests, fuzz seeds and benchmarks built on it do not take the
// reader's word for what the format looks like.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

namespace kiva::sample {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kCompressed = 0;
inline constexpr std::uint8_t kStored = 1;
inline constexpr std::uint8_t kCompressedEncrypted = 2;
inline constexpr std::uint8_t kStoredEncrypted = 3;

inline constexpr std::size_t kTrailerBytes = 36;
inline constexpr std::size_t kRecordBytesV2 = 550;
inline constexpr std::size_t kRecordBytesV1 = 532;

// What a writer is asked to store.
struct EntryPlan {
    std::string path; // "ui\\" style, empty for the root
    std::string name;
    std::string content;
    std::uint8_t method = kCompressed;
    int zlibLevel = Z_DEFAULT_COMPRESSION;
};

// One directory record exactly as it will be written.
struct Record {
    std::string name;
    std::string path;
    std::int64_t uncompressedSize = 0;
    std::int64_t compressedSize = 0;
    std::int64_t encryptedSize = 0;
    std::int64_t dataOffset = 0;
    std::uint32_t crc = 0;
    std::uint8_t method = 0;
    std::uint8_t level = 0;
};

struct Trailer {
    std::uint32_t archiveCRC = 0;
    std::uint32_t entryCount = 0;
    std::uint32_t version = 2;
    std::uint32_t directorySize = 0;
    std::int64_t dataSize = 0;
    std::uint8_t directoryCompressed = 0;
};

// The hooks run in this order and let a test break one thing while the rest stays consistent.
struct Plan {
    std::string host;
    std::uint32_t version = 2;
    bool compressDirectory = true;
    // Key of the XOR cipher that encrypted entries are stored with.
    std::string password = "kiva";
    std::vector<EntryPlan> entries;
    std::function<void(std::vector<Record>&)> editRecords;
    std::function<void(Bytes&)> editDirectory;       // the raw records, before compression
    std::function<void(Bytes&)> editStoredDirectory; // the directory as stored
    std::function<void(Trailer&)> editTrailer;       // sizes and CRC already filled in
};

struct Image {
    Bytes bytes;
    std::vector<Record> records;
    std::vector<Bytes> stored; // each entry's stored bytes
    Trailer trailer;
    std::size_t dataStart = 0;
    std::size_t directoryStart = 0;
    std::size_t trailerStart = 0;

    // Absolute file offset of a record's first byte; only meaningful for raw directories.
    std::size_t RecordStart(std::size_t i) const {
        return directoryStart + i * (trailer.version == 1 ? kRecordBytesV1 : kRecordBytesV2);
    }
};

inline std::uint32_t Crc(const void* data, std::size_t len) {
    return static_cast<std::uint32_t>(
        ::crc32(0L, static_cast<const Bytef*>(data), static_cast<uInt>(len)));
}
inline std::uint32_t Crc(std::string_view s) {
    return Crc(s.data(), s.size());
}

inline Bytes ZCompress(const void* data, std::size_t len, int level = Z_DEFAULT_COMPRESSION) {
    uLongf outLen = ::compressBound(static_cast<uLong>(len));
    Bytes out(outLen);
    if (::compress2(out.data(), &outLen, static_cast<const Bytef*>(data), static_cast<uLong>(len),
                    level) != Z_OK) {
        throw std::runtime_error("compress2 failed");
    }
    out.resize(outLen);
    return out;
}
inline Bytes ZCompress(std::string_view s, int level = Z_DEFAULT_COMPRESSION) {
    return ZCompress(s.data(), s.size(), level);
}

// The cipher of the encrypted samples: XOR with the key, restarting at each entry. It is its
// own inverse, so the reading side's handler uses the same function.
inline void XorCipher(std::uint8_t* p, std::size_t len, std::string_view key, std::size_t from) {
    if (key.empty()) {
        return;
    }
    for (std::size_t i = 0; i < len; ++i) {
        p[i] ^= static_cast<std::uint8_t>(key[(from + i) % key.size()]);
    }
}

inline void PutLE(Bytes& out, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) {
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

inline void PutShortText(Bytes& out, std::size_t at, std::string_view s) {
    std::size_t n = s.size() > 255 ? 255 : s.size();
    out[at] = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[at + 1 + i] = static_cast<std::uint8_t>(s[i]);
    }
}

inline void EncodeRecord(Bytes& out, std::size_t at, const Record& r, std::uint32_t version) {
    PutShortText(out, at, r.name);
    PutShortText(out, at + 256, r.path);
    if (version == 1) {
        PutLE(out, at + 512, static_cast<std::uint64_t>(r.uncompressedSize), 4);
        PutLE(out, at + 516, static_cast<std::uint64_t>(r.compressedSize), 4);
        PutLE(out, at + 520, static_cast<std::uint64_t>(r.dataOffset), 4);
        PutLE(out, at + 524, r.crc, 4);
        out[at + 528] = r.method;
        out[at + 529] = r.level;
    } else {
        PutLE(out, at + 512, static_cast<std::uint64_t>(r.uncompressedSize), 8);
        PutLE(out, at + 520, static_cast<std::uint64_t>(r.compressedSize), 8);
        PutLE(out, at + 528, static_cast<std::uint64_t>(r.encryptedSize), 8);
        PutLE(out, at + 536, static_cast<std::uint64_t>(r.dataOffset), 8);
        PutLE(out, at + 544, r.crc, 4);
        out[at + 548] = r.method;
        out[at + 549] = r.level;
    }
}

inline void EncodeTrailer(Bytes& out, std::size_t at, const Trailer& t) {
    PutLE(out, at + 0, t.archiveCRC, 4);
    PutLE(out, at + 4, t.entryCount, 4);
    PutLE(out, at + 8, t.version, 4);
    PutLE(out, at + 12, t.directorySize, 4);
    if (t.version == 1) {
        PutLE(out, at + 16, static_cast<std::uint64_t>(t.dataSize), 4);
        out[at + 20] = t.directoryCompressed;
    } else {
        PutLE(out, at + 16, static_cast<std::uint64_t>(t.dataSize), 8);
        out[at + 24] = t.directoryCompressed;
    }
}

inline Image Build(const Plan& plan) {
    Image img;
    const std::size_t recordBytes = plan.version == 1 ? kRecordBytesV1 : kRecordBytesV2;

    // Data area: stored bytes back to back in directory order, as a writer places them.
    Bytes data;
    for (const EntryPlan& e : plan.entries) {
        Record r;
        r.name = e.name;
        r.path = e.path;
        r.method = e.method;
        r.uncompressedSize = static_cast<std::int64_t>(e.content.size());
        r.crc = e.content.empty() ? 0 : Crc(e.content);
        r.dataOffset = static_cast<std::int64_t>(data.size());
        Bytes stored;
        if (e.method == kCompressed || e.method == kCompressedEncrypted) {
            stored = ZCompress(e.content, e.zlibLevel);
            r.compressedSize = static_cast<std::int64_t>(stored.size());
            r.level = 2;
        } else {
            stored.assign(e.content.begin(), e.content.end());
        }
        if (e.method == kCompressedEncrypted || e.method == kStoredEncrypted) {
            XorCipher(stored.data(), stored.size(), plan.password, 0);
            r.encryptedSize = static_cast<std::int64_t>(stored.size());
        }
        data.insert(data.end(), stored.begin(), stored.end());
        img.stored.push_back(std::move(stored));
        img.records.push_back(std::move(r));
    }
    if (plan.editRecords) {
        plan.editRecords(img.records);
    }

    Bytes directory(img.records.size() * recordBytes, 0);
    for (std::size_t i = 0; i < img.records.size(); ++i) {
        EncodeRecord(directory, i * recordBytes, img.records[i], plan.version);
    }
    if (plan.editDirectory) {
        plan.editDirectory(directory);
    }
    if (plan.compressDirectory) {
        directory = ZCompress(directory.data(), directory.size());
    }
    if (plan.editStoredDirectory) {
        plan.editStoredDirectory(directory);
    }

    Trailer& t = img.trailer;
    t.version = plan.version;
    t.entryCount = static_cast<std::uint32_t>(img.records.size());
    t.directorySize = static_cast<std::uint32_t>(directory.size());
    t.dataSize = static_cast<std::int64_t>(data.size());
    t.directoryCompressed = plan.compressDirectory ? 1 : 0;
    std::uint32_t crc = Crc(data.data(), data.size());
    crc = static_cast<std::uint32_t>(
        ::crc32(crc, directory.data(), static_cast<uInt>(directory.size())));
    t.archiveCRC = crc;
    if (plan.editTrailer) {
        plan.editTrailer(t);
    }

    img.bytes.assign(plan.host.begin(), plan.host.end());
    img.dataStart = img.bytes.size();
    img.bytes.insert(img.bytes.end(), data.begin(), data.end());
    img.directoryStart = img.bytes.size();
    img.bytes.insert(img.bytes.end(), directory.begin(), directory.end());
    img.trailerStart = img.bytes.size();
    img.bytes.resize(img.bytes.size() + kTrailerBytes, 0);
    EncodeTrailer(img.bytes, img.trailerStart, t);
    return img;
}

inline void WriteFile(const std::string& fileName, const std::uint8_t* data, std::size_t len) {
    std::FILE* f = std::fopen(fileName.c_str(), "wb");
    if (!f) {
        throw std::runtime_error("cannot create " + fileName);
    }
    bool ok = len == 0 || std::fwrite(data, 1, len, f) == len;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        throw std::runtime_error("cannot write " + fileName);
    }
}
inline void WriteFile(const std::string& fileName, const Bytes& bytes) {
    WriteFile(fileName, bytes.data(), bytes.size());
}

// A book of many small stored entries, written straight into a file: the data area first,
// then the directory, deflated as its records are made, so that a book of a million entries
// never has its half-gigabyte directory in memory at once.
struct ManyEntries {
    std::uint32_t count = 0;
    std::uint32_t version = 2;
    bool compressDirectory = true;
    int zlibLevel = Z_BEST_SPEED;
    // Folder and name of entry i, in the archive's form ("ui\\" and "common.js").
    std::function<void(std::uint32_t i, std::string& path, std::string& name)> nameOf;
    // Content of entry i; stored as it is.
    std::function<std::string(std::uint32_t i)> contentOf;
};

struct ManyImage {
    std::uint64_t dataStart = 0;
    std::uint64_t directoryStart = 0;
    Trailer trailer;
};

inline ManyImage WriteMany(const std::string& fileName, const ManyEntries& m) {
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(fileName.c_str(), "wb"));
    if (!f) {
        throw std::runtime_error("cannot create " + fileName);
    }
    ManyImage img;
    std::uint32_t crc = 0;
    auto put = [&](const void* p, std::size_t n) {
        // Nothing to add: crc32 would take a null buffer for a request to start afresh.
        if (n == 0) {
            return;
        }
        if (std::fwrite(p, 1, n, f.get()) != n) {
            throw std::runtime_error("cannot write " + fileName);
        }
        crc = static_cast<std::uint32_t>(
            ::crc32(crc, static_cast<const Bytef*>(p), static_cast<uInt>(n)));
    };

    struct Stored {
        std::int64_t offset;
        std::int64_t size;
        std::uint32_t crc;
    };
    std::vector<Stored> stored(m.count);
    std::int64_t offset = 0;
    for (std::uint32_t i = 0; i < m.count; ++i) {
        const std::string content = m.contentOf(i);
        stored[i] = {offset, static_cast<std::int64_t>(content.size()),
                     content.empty() ? 0 : Crc(content)};
        put(content.data(), content.size());
        offset += static_cast<std::int64_t>(content.size());
    }
    img.directoryStart = static_cast<std::uint64_t>(offset);

    const std::size_t recordBytes = m.version == 1 ? kRecordBytesV1 : kRecordBytesV2;
    constexpr std::size_t kBatch = 256;
    Bytes batch(kBatch * recordBytes);
    Bytes out(std::size_t(1) << 20);
    z_stream z{};
    if (m.compressDirectory && ::deflateInit(&z, m.zlibLevel) != Z_OK) {
        throw std::runtime_error("deflateInit failed");
    }
    std::unique_ptr<z_stream, int (*)(z_stream*)> zEnd(m.compressDirectory ? &z : nullptr,
                                                       ::deflateEnd);
    std::uint64_t directorySize = 0;
    auto emit = [&](const std::uint8_t* p, std::size_t n, bool last) {
        if (!m.compressDirectory) {
            put(p, n);
            directorySize += n;
            return;
        }
        z.next_in = const_cast<Bytef*>(p);
        z.avail_in = static_cast<uInt>(n);
        int rc = Z_OK;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = ::deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            const std::size_t made = out.size() - z.avail_out;
            put(out.data(), made);
            directorySize += made;
        } while (last ? rc != Z_STREAM_END : z.avail_out == 0);
    };
    Record r;
    r.method = kStored;
    for (std::uint32_t first = 0; first < m.count; first += kBatch) {
        const std::uint32_t n = std::min<std::uint32_t>(kBatch, m.count - first);
        std::fill(batch.begin(), batch.end(), 0);
        for (std::uint32_t k = 0; k < n; ++k) {
            const Stored& e = stored[first + k];
            m.nameOf(first + k, r.path, r.name);
            r.dataOffset = e.offset;
            r.uncompressedSize = e.size;
            r.crc = e.crc;
            EncodeRecord(batch, k * recordBytes, r, m.version);
        }
        emit(batch.data(), n * recordBytes, false);
    }
    emit(nullptr, 0, true);

    Trailer& t = img.trailer;
    t.version = m.version;
    t.entryCount = m.count;
    t.directorySize = static_cast<std::uint32_t>(directorySize);
    t.dataSize = offset;
    t.directoryCompressed = m.compressDirectory ? 1 : 0;
    t.archiveCRC = crc;
    Bytes trailer(kTrailerBytes, 0);
    EncodeTrailer(trailer, 0, t);
    put(trailer.data(), trailer.size());
    if (std::fclose(f.release()) != 0) {
        throw std::runtime_error("cannot write " + fileName);
    }
    return img;
}

// Text that compresses roughly 3:1, like a site's pages with some embedded binary data: HTML
// markup with varying numbers mixed with runs of pseudo-random bytes.
inline std::string SiteLikeContent(std::size_t size, std::uint32_t seed) {
    std::string s;
    s.reserve(size + 256);
    std::uint32_t x = seed * 2654435761u + 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    int n = 0;
    while (s.size() < size) {
        s += "<div class=\"row\"><a href=\"page";
        s += std::to_string(next() % 1000);
        s += ".html\">Item ";
        s += std::to_string(n++);
        s += "</a><span>";
        for (int i = 0, m = 12 + static_cast<int>(next() % 16); i < m; ++i) {
            s += static_cast<char>(next() & 0xFF);
        }
        s += "</span></div>\n";
    }
    s.resize(size);
    return s;
}

} // namespace kiva::sample
