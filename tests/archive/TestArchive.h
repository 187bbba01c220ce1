#pragma once

// Builds archive files for the reader's tests straight from the byte layout, with its own
// little-endian writers and zlib's compress(), so that a mistake in the reader's codecs cannot
// hide behind the same mistake in a writer.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace kivatest {

using Bytes = std::string;

inline Bytes Deflate(const Bytes& in, int level = Z_DEFAULT_COMPRESSION) {
    uLongf len = compressBound(static_cast<uLong>(in.size()));
    Bytes out(len, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &len,
                  reinterpret_cast<const Bytef*>(in.data()), static_cast<uLong>(in.size()),
                  level) != Z_OK) {
        throw std::runtime_error("compress2 failed");
    }
    out.resize(len);
    return out;
}

inline std::uint32_t Crc(const Bytes& b) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(b.data()), static_cast<uInt>(b.size())));
}

// The test cipher: every byte xor'ed with the password's bytes in turn.
inline Bytes Xor(const Bytes& in, const std::string& password) {
    Bytes out = in;
    for (std::size_t i = 0; i < out.size() && !password.empty(); ++i) {
        out[i] = static_cast<char>(out[i] ^ password[i % password.size()]);
    }
    return out;
}

inline void PutLE(Bytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) {
        b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

inline void PutText(Bytes& b, std::size_t at, const std::string& s) {
    b[at] = static_cast<char>(s.size());
    std::memcpy(b.data() + at + 1, s.data(), s.size());
}

// One entry as the test wants it stored. Fields left unset are derived like a writer would.
struct FEntry {
    std::string path;
    std::string name;
    Bytes content;
    std::uint8_t method = 0;
    std::uint8_t level = 2;
    std::string password = "secret"; // for methods 2 and 3
    std::optional<Bytes> stored;     // replaces the derived stored bytes
    std::optional<std::int64_t> uncompressedSize, compressedSize, encryptedSize, dataOffset;
    std::optional<std::uint32_t> crc;
};

struct FOptions {
    std::uint32_t version = 2;
    bool compressedDirectory = true;
    Bytes host;                              // bytes before the archive
    std::optional<std::uint32_t> entryCount; // overrides the real count
    std::optional<std::uint32_t> directorySize;
    std::optional<std::int64_t> dataSize;
    std::optional<std::uint32_t> archiveCRC;
    std::size_t directoryPadding = 0; // zero bytes after the stored directory
    std::size_t dataPadding = 0;      // zero bytes after the last entry's data
};

inline Bytes StoredBytes(const FEntry& e) {
    if (e.stored) {
        return *e.stored;
    }
    switch (e.method) {
    case 0:
        return Deflate(e.content);
    case 2:
        return Xor(Deflate(e.content), e.password);
    case 3:
        return Xor(e.content, e.password);
    default:
        return e.content;
    }
}

inline Bytes Record(const FEntry& e, std::uint32_t version, std::int64_t offset,
                    std::int64_t storedLength) {
    const std::int64_t usize =
        e.uncompressedSize.value_or(static_cast<std::int64_t>(e.content.size()));
    const std::int64_t csize = e.compressedSize.value_or(e.method == 0 ? storedLength : 0);
    const std::int64_t esize =
        e.encryptedSize.value_or(e.method == 2 || e.method == 3 ? storedLength : 0);
    const std::uint32_t crc = e.crc.value_or(e.content.empty() ? 0 : Crc(e.content));
    if (version == 1) {
        Bytes r(532, '\0');
        PutText(r, 0, e.name);
        PutText(r, 256, e.path);
        PutLE(r, 512, static_cast<std::uint64_t>(usize), 4);
        PutLE(r, 516, static_cast<std::uint64_t>(csize), 4);
        PutLE(r, 520, static_cast<std::uint64_t>(offset), 4);
        PutLE(r, 524, crc, 4);
        r[528] = static_cast<char>(e.method);
        r[529] = static_cast<char>(e.level);
        return r;
    }
    Bytes r(550, '\0');
    PutText(r, 0, e.name);
    PutText(r, 256, e.path);
    PutLE(r, 512, static_cast<std::uint64_t>(usize), 8);
    PutLE(r, 520, static_cast<std::uint64_t>(csize), 8);
    PutLE(r, 528, static_cast<std::uint64_t>(esize), 8);
    PutLE(r, 536, static_cast<std::uint64_t>(offset), 8);
    PutLE(r, 544, crc, 4);
    r[548] = static_cast<char>(e.method);
    r[549] = static_cast<char>(e.level);
    return r;
}

// The parts of a built archive, for tests that want to damage or inspect one of them.
struct FArchive {
    Bytes host, data, directory, trailer;
    Bytes All() const { return host + data + directory + trailer; }
};

inline Bytes Trailer(const FOptions& o, std::uint32_t crc, std::uint32_t count,
                     std::uint32_t dirSize, std::int64_t dataSize, bool compressed) {
    Bytes t(36, '\0');
    PutLE(t, 0, crc, 4);
    PutLE(t, 4, count, 4);
    PutLE(t, 8, o.version, 4);
    PutLE(t, 12, dirSize, 4);
    if (o.version == 1) {
        PutLE(t, 16, static_cast<std::uint64_t>(dataSize), 4);
        t[20] = compressed ? 1 : 0;
    } else {
        PutLE(t, 16, static_cast<std::uint64_t>(dataSize), 8);
        t[24] = compressed ? 1 : 0;
    }
    return t;
}

inline FArchive BuildParts(const std::vector<FEntry>& entries, const FOptions& o = {}) {
    FArchive a;
    a.host = o.host;
    Bytes records;
    for (const FEntry& e : entries) {
        const Bytes stored = StoredBytes(e);
        const std::int64_t offset = e.dataOffset.value_or(static_cast<std::int64_t>(a.data.size()));
        if (!e.dataOffset) {
            a.data += stored;
        }
        records += Record(e, o.version, offset, static_cast<std::int64_t>(stored.size()));
    }
    a.data.append(o.dataPadding, '\0');
    a.directory = o.compressedDirectory ? Deflate(records) : records;
    a.directory.append(o.directoryPadding, '\0');
    const Bytes covered = a.data + a.directory;
    a.trailer = Trailer(o, o.archiveCRC.value_or(Crc(covered)),
                        o.entryCount.value_or(static_cast<std::uint32_t>(entries.size())),
                        o.directorySize.value_or(static_cast<std::uint32_t>(a.directory.size())),
                        o.dataSize.value_or(static_cast<std::int64_t>(a.data.size())),
                        o.compressedDirectory);
    return a;
}

inline Bytes Build(const std::vector<FEntry>& entries, const FOptions& o = {}) {
    return BuildParts(entries, o).All();
}

// Content that compresses but is not trivially repetitive.
inline Bytes Text(std::size_t n, unsigned seed = 1) {
    Bytes s(n, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = "abcdefgh ijklmnop\n<>"[(x >> 16) % 20];
    }
    return s;
}

// Incompressible content.
inline Bytes Noise(std::size_t n, unsigned seed = 7) {
    Bytes s(n, '\0');
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x);
    }
    return s;
}

// A private folder for one test, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string t = std::string(base && *base ? base : "/tmp") + "/kivatestXXXXXX";
        if (!::mkdtemp(t.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = t;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() { RemoveTree(path_); }

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::string Write(const std::string& name, const Bytes& bytes) const {
        const std::string f = File(name);
        std::ofstream(f, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return f;
    }
    // Names directly in the folder, without "." and "..".
    std::vector<std::string> List() const { return ListOf(path_); }

    static std::vector<std::string> ListOf(const std::string& dir) {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") {
                    names.push_back(n);
                }
            }
            ::closedir(d);
        }
        return names;
    }

private:
    static void RemoveTree(const std::string& p) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) {
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            for (const std::string& n : ListOf(p)) {
                RemoveTree(p + "/" + n);
            }
            ::rmdir(p.c_str());
        } else {
            ::unlink(p.c_str());
        }
    }
    std::string path_;
};

} // namespace kivatest
