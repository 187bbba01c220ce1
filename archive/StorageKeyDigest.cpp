#include "StorageKeyDigest.h"

namespace kiva {

TStorageKeyDigest::TStorageKeyDigest(const TArchiveTrailer& trailer) {
    sha_.Add("kivabook storage 1\n");
    sha_.Add(std::to_string(trailer.Version) + " " + std::to_string(trailer.EntryCount) + " " +
             std::to_string(trailer.DataSize) + "\n");
}

std::string TStorageKeyDigest::Key() {
    // 128 bits name a folder well enough and keep its path short.
    return sha_.HexDigest().substr(0, 32);
}

} // namespace kiva
