#pragma once

#include <cstddef>
#include <string>

#include "Sha256.h"
#include "ZLIBArchiveGlobals2.h"

namespace kiva {

// Computes an archive's storage key (see ArchiveStorageKey) while its directory loads: the
// digest of a fixed text, the trailer's counts and the directory's records as they are stored
// (inflated when the directory is compressed). The records pass by once; only the key is kept.
class TStorageKeyDigest {
public:
    explicit TStorageKeyDigest(const TArchiveTrailer& trailer);
    void Add(const void* records, std::size_t size) { sha_.Add(records, size); }
    // 32 hexadecimal digits; the object is spent afterwards.
    std::string Key();

private:
    TSha256 sha_;
};

} // namespace kiva
