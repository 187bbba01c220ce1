#pragma once

#include <cstddef>
#include <cstdint>

namespace kiva::fuzz {

// Reads the bytes as the path of a content URL and maps it to an entry of a small archive made
// for the purpose. A result that breaks one of the mapping's promises escapes as
// std::logic_error.
void RunUrlInput(const std::uint8_t* data, std::size_t size);

} // namespace kiva::fuzz
