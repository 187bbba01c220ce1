#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "ZLIBArchiveGlobals2.h"

namespace kiva::test {

// One entry: full name (backslash-separated) and content.
using TEntrySpec = std::pair<std::string, std::string>;

// An archive of stored entries with a raw directory, laid out as the packing tool lays it
// out, so that the reader sees a real archive without any compression involved.
inline std::string BuildArchive(const std::vector<TEntrySpec>& entries) {
    std::string data;
    std::string directory;
    for (const auto& [fullName, content] : entries) {
        TArchiveEntry e;
        const std::size_t slash = fullName.find_last_of('\\');
        const std::string path = slash == std::string::npos ? "" : fullName.substr(0, slash + 1);
        e.Name = TShortString::From(fullName.substr(path.size()));
        e.Path = TShortString::From(path);
        e.UncompressedSize = static_cast<std::int64_t>(content.size());
        e.DataOffset = static_cast<std::int64_t>(data.size());
        e.CRC = content.empty() ? 0 : CRC32(content.data(), content.size());
        e.Method = emStored;
        std::uint8_t record[kEntrySizeV2] = {};
        e.Encode(record, 2);
        directory.append(reinterpret_cast<const char*>(record), sizeof record);
        data += content;
    }
    TArchiveTrailer t;
    t.EntryCount = static_cast<std::uint32_t>(entries.size());
    t.Version = 2;
    t.DirectorySize = static_cast<std::uint32_t>(directory.size());
    t.DataSize = static_cast<std::int64_t>(data.size());
    t.DirectoryCompressed = 0;
    const std::string body = data + directory;
    t.ArchiveCRC = CRC32(body.data(), body.size());
    std::uint8_t trailer[kTrailerSize] = {};
    t.Encode(trailer);
    return body + std::string(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A project-options record with the fields the tests set; everything else zero.
struct TOptionsRecord {
    std::vector<std::uint8_t> Bytes = std::vector<std::uint8_t>(2872, 0);

    TOptionsRecord& Text(std::size_t offset, const std::string& s) {
        Bytes[offset] = static_cast<std::uint8_t>(s.size());
        std::copy(s.begin(), s.end(), Bytes.begin() + static_cast<std::ptrdiff_t>(offset) + 1);
        return *this;
    }
    TOptionsRecord& Int(std::size_t offset, std::int32_t v) {
        PutU32(&Bytes[offset], static_cast<std::uint32_t>(v));
        return *this;
    }
    TOptionsRecord& Flag(std::size_t offset, std::uint8_t v = 1) {
        Bytes[offset] = v;
        return *this;
    }
    std::string Str() const { return std::string(Bytes.begin(), Bytes.end()); }
};

} // namespace kiva::test
