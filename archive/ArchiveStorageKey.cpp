#include "ArchiveStorageKey.h"

#include "ZLIBArchive2.h"

namespace kiva {

std::string ArchiveStorageKey(const TZLBArc2& archive) {
    return archive.StorageKey();
}

} // namespace kiva
