#pragma once

#include <cstddef>
#include <cstdint>

namespace kiva::fuzz {

// Reads the bytes as a request head of the loopback server and as a Range header. A result
// that breaks one of the parsers' promises escapes as std::logic_error.
void RunHttpInput(const std::uint8_t* data, std::size_t size);

} // namespace kiva::fuzz
