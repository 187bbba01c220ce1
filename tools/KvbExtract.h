#pragma once

#include <memory>
#include <string>
#include <vector>

#include "KvbPendingFile.h"
#include "SysUtils.h"

namespace kiva {

class EExtractError : public Exception {
public:
    using Exception::Exception;
};

// Why an entry name cannot become a file below the target folder (a parent reference, an
// absolute or drive part, an empty component, a slash, a control character), or empty when it
// can.
std::string UnsafeEntryNameReason(const std::string& fullName);

// The folders and file name of a safe entry name, split at its backslashes.
std::vector<std::string> SplitEntryName(const std::string& fullName);

// Starts the file named by components below the folder open as dirFd, creating the folders
// on the way. Symbolic links are never followed: a link where a folder should be is an
// error, and a link (or any file) where the file should be is replaced when the file is
// committed, not written through.
std::unique_ptr<TPendingFile> CreateFileBelow(int dirFd,
                                              const std::vector<std::string>& components);

// The text with backslash, tab, line feed and carriage return written as \\, \t, \n and \r,
// as desktop entries and tab-separated lists read them back.
std::string BackslashEscaped(const std::string& text);

// The text with control characters (C0, DEL, and C1 in UTF-8) shown as '?', safe to print on
// a terminal.
std::string Printable(const std::string& text);

} // namespace kiva
