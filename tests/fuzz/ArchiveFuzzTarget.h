#pragma once

#include <cstddef>
#include <cstdint>

namespace kiva::fuzz {

// Opens the bytes as an archive file and extracts what it can. Reader failures are expected
// and swallowed; anything else (a foreign exception, or a result that breaks one of the
// reader's promises, raised as std::logic_error) escapes to the caller.
void RunArchiveInput(const std::uint8_t* data, std::size_t size);

} // namespace kiva::fuzz
