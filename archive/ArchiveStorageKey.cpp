#include "ArchiveStorageKey.h"

#include "Sha256.h"
#include "ZLIBArchive2.h"

namespace kiva {

std::string ArchiveStorageKey(const TZLBArc2& archive) {
    if (archive.ArchiveFileName().empty()) {
        return std::string();
    }
    TSha256 sha;
    sha.Add("kivabook storage 1\n");
    const TArchiveTrailer& t = archive.Trailer();
    sha.Add(std::to_string(t.Version) + " " + std::to_string(t.EntryCount) + " " +
            std::to_string(t.DataSize) + "\n");
    sha.Add(archive.DirectoryRecords());
    // 128 bits name a folder well enough and keep its path short.
    return sha.HexDigest().substr(0, 32);
}

} // namespace kiva
