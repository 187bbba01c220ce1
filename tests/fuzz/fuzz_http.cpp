#include <cstddef>
#include <cstdint>

#include "HttpFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiva::fuzz::RunHttpInput(data, size);
    return 0;
}
