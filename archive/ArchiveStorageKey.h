#pragma once

#include <string>

namespace kiva {

class TZLBArc2;

// The name of an open archive's private storage (the web data and caches the viewer keeps for
// its book): 32 hexadecimal digits of a digest of its trailer's counts and its directory
// records, which hold every entry's name, size, place and CRC. A copy of the book, moved or
// renamed, self-contained or stand-alone, keeps its name; two different books never share one;
// a new edition gets a new one. Readers' stored data is filed under it, so it must never change
// for a given archive. It is taken while the directory loads (TStorageKeyDigest). Empty while no
// archive is open.
std::string ArchiveStorageKey(const TZLBArc2& archive);

} // namespace kiva
