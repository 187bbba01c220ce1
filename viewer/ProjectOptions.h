#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ProjectOptionsRecord.h"

namespace kiva {

// The options the viewer takes from the record. All zero means: no start page, a borderless
// window 200 by 0 pixels, no bars, every optional command off, no password. Texts are UTF-8:
// those that are not valid UTF-8 come from archives made on Windows and are read
// as Windows-1252.
struct TProjectOptions : TProjectOptionsRecord {
    // Decodes the first size bytes of a record; bytes beyond size (or beyond the record) read
    // as zero, so a short "-config-" leaves the rest of the options off. ViewPassword stays
    // as stored, in the archive's encoding: see ViewPasswordMatches.
    static TProjectOptions Decode(const std::uint8_t* data, std::size_t size);
};

// True when the text typed into the password box (UTF-8) is the stored password, whether the
// archive holds it in UTF-8 or in Windows-1252.
bool ViewPasswordMatches(std::string_view stored, std::string_view typed);

// The home page's URL: the content root followed by the text after the last '\' or ':' of
// the start page ('/' is no separator, so "docs/intro.html" stays whole).
std::string HomeUrlFromStartPage(std::string_view startPage);

} // namespace kiva
