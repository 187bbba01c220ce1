#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "WinTypes.h"

namespace kiva {

class TZLBArc2;

// The content root: every URL under it is served from the archive.
inline constexpr std::string_view kContentRoot = "kiva://bundle/";

// Entries of at least this size are streamed to callers that pull data asynchronously.
inline constexpr std::int64_t kStreamedEntryMinSize = std::int64_t(1) << 20;

// The entry of a content URL and the name it was found under, or Index -1 with the URL's own
// name.
struct TUrlEntry {
    int Index = -1;
    std::string Name;
};
// Finds the entry a content URL names. The whole decoded text comes first, so an entry whose
// name really holds "#" still wins; then the text without the URL's fragment, which never
// names a resource. A name not found as UTF-8 is tried again in Windows-1252, in which
// archives made on Windows store their names.
TUrlEntry FindUrlEntry(const TZLBArc2& archive, std::string_view url);

// The content type of entries that the browser cannot recognise from their bytes (media, and
// WebAssembly, which must be declared); empty for everything else, which the browser sniffs.
std::string ContentTypeOfEntry(std::string_view entryName);

// The entry name of a content URL: the root's 14 characters dropped (whatever their case), the
// escapes decoded, "/" turned into "\", and everything from the first "?" cut off.
std::string EntryNameFromUrl(std::string_view url);
// Decodes %XX escapes and "+" of an 8-bit text; see the tests for cut-short escapes.
std::string UrlDecode(std::string_view s);
// The value of one hexadecimal digit; other characters give whatever the formula yields.
BYTE HexDigitValue(char c);

} // namespace kiva
