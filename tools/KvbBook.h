#pragma once

#include <string>

#include "Classes.h"
#include "ZLIBArchive2.h"

namespace kiva {

// A book that a kvb command reads. Every failure raises an Exception whose message names the
// file and says in plain words what is wrong with it (no such file, not a book, truncated,
// damaged directory, damaged entry), adding the reader's own message only where it tells
// more. The reader's messages themselves stay as the viewer shows them.
class TBook {
public:
    explicit TBook(const std::string& fileName);

    const std::string& FileName() const { return fileName_; }
    TZLBArc2& Reader() { return arc_; }
    int Count() const { return arc_.FileCount(); }
    TArchiveEntry Entry(int index) const { return arc_.GetFileEntry(index); }

    // Writes the content of the entry at index into stream, its CRC checked. A damaged or
    // encrypted entry raises, naming the book and the entry.
    void Extract(int index, TStream& stream);

    // What went wrong with an entry, in words that name the book and the entry.
    std::string EntryProblem(const TArchiveEntry& entry, const std::string& what) const;

private:
    std::string fileName_;
    TZLBArc2 arc_{nullptr};
};

// The entry's name as kvb shows and selects it: UTF-8 (archives made on Windows hold
// Windows-1252) with slashes between folders.
std::string EntryName(const TArchiveEntry& entry);
// The same with control characters shown as '?', safe to print on a terminal.
std::string ShownName(const TArchiveEntry& entry);

// A CRC as eight hexadecimal digits.
std::string CrcText(std::uint32_t crc);

// Why a file that the reader cannot open is no book, in plain words, or empty when the
// file's size, start and trailer give no reason. Looks only at the file; fd is open on it.
std::string WhyNotABook(int fd);

} // namespace kiva
