#pragma once

// Writes small site archives for the protocol tests straight from the byte layout: entries
// stored as they are or compressed with zlib's compress(), a raw directory of 550-byte
// records and a 36-byte trailer.

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kiva::test {

struct TArchiveFile {
    std::string Path; // folder with a trailing backslash, or empty
    std::string Name;
    std::string Content;
    bool Compressed = false;
    // Bytes of the stored data to overwrite after it has been made, to damage the entry.
    std::size_t DamageAt = std::string::npos;
};

class TArchiveBytes {
public:
    TArchiveBytes& Add(TArchiveFile file) {
        files_.push_back(std::move(file));
        return *this;
    }

    std::string Bytes() const {
        std::string data, directory;
        for (const TArchiveFile& f : files_) {
            std::string stored = f.Compressed ? Compress(f.Content) : f.Content;
            if (f.DamageAt < stored.size()) {
                for (std::size_t i = f.DamageAt; i < stored.size() && i < f.DamageAt + 8; ++i) {
                    stored[i] = static_cast<char>(stored[i] ^ 0x5A);
                }
            }
            std::string rec(550, '\0');
            PutText(rec, 0, f.Name);
            PutText(rec, 256, f.Path);
            Put(rec, 512, f.Content.size(), 8);
            Put(rec, 520, f.Compressed ? stored.size() : 0, 8);
            Put(rec, 536, data.size(), 8);
            Put(rec, 544, Crc(f.Content), 4);
            rec[548] = f.Compressed ? 0 : 1;
            rec[549] = f.Compressed ? 2 : 0;
            directory += rec;
            data += stored;
        }
        std::string trailer(36, '\0');
        Put(trailer, 0, Crc(data + directory), 4);
        Put(trailer, 4, files_.size(), 4);
        Put(trailer, 8, 2, 4);
        Put(trailer, 12, directory.size(), 4);
        Put(trailer, 16, data.size(), 8);
        return data + directory + trailer;
    }

    void WriteTo(const std::string& fileName) const {
        std::ofstream out(fileName, std::ios::binary);
        const std::string b = Bytes();
        out.write(b.data(), static_cast<std::streamsize>(b.size()));
        if (!out) {
            throw std::runtime_error("cannot write " + fileName);
        }
    }

private:
    static std::string Compress(const std::string& in) {
        uLongf len = compressBound(static_cast<uLong>(in.size()));
        std::string out(len, '\0');
        if (compress(reinterpret_cast<Bytef*>(out.data()), &len,
                     reinterpret_cast<const Bytef*>(in.data()),
                     static_cast<uLong>(in.size())) != Z_OK) {
            throw std::runtime_error("compress failed");
        }
        out.resize(len);
        return out;
    }
    static std::uint32_t Crc(const std::string& b) {
        return static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(b.data()), static_cast<uInt>(b.size())));
    }
    static void Put(std::string& b, std::size_t at, std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) {
            b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
        }
    }
    static void PutText(std::string& b, std::size_t at, const std::string& s) {
        b[at] = static_cast<char>(s.size());
        std::memcpy(b.data() + at + 1, s.data(), s.size());
    }

    std::vector<TArchiveFile> files_;
};

} // namespace kiva::test
