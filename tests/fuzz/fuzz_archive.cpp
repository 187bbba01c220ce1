#include <cstddef>
#include <cstdint>

#include "ArchiveFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiva::fuzz::RunArchiveInput(data, size);
    return 0;
}
