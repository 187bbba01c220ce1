#include <cstddef>
#include <cstdint>

#include "UrlFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiva::fuzz::RunUrlInput(data, size);
    return 0;
}
