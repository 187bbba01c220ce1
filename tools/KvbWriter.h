#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Classes.h"
#include "PackError.h"
#include "ZLIBArchiveGlobals2.h"

namespace kiva {

inline constexpr const char* kConfigEntryName = "-config-";
inline constexpr const char* kLogoEntryName = "-logo-";

struct TPackSettings {
    // Keep the content as it is instead of deflating it.
    bool Stored = false;
    // Write the directory records as they are instead of as one zlib stream.
    bool RawDirectory = false;
    // 2, or 1 for the older layout with 32-bit sizes.
    std::uint32_t Format = 2;
};

// One entry to be packed: its content comes from a file or from memory.
struct TPackItem {
    std::string Path; // backslash-separated with a trailing backslash, empty in the root
    std::string Name;
    std::string SourceFile; // empty when Data holds the content
    std::vector<std::uint8_t> Data;
    std::int64_t ExpectedSize = 0; // for progress only
};

// What the writer put into the archive.
struct TPackResult {
    std::vector<TArchiveEntry> Entries;
    TArchiveTrailer Trailer;
    std::int64_t ArchiveSize = 0; // data area, directory and trailer
};

// Builds an archive: entries are written in the order they were added, each deflated (or
// stored) back to back, then the directory and the trailer.
class TKvbWriter {
public:
    explicit TKvbWriter(TPackSettings settings) : settings_(settings) {}

    // Adds every file under dir: the root's files first, then each sub-folder depth-first,
    // names in byte order at every level. Symbolic links are followed, except into a folder
    // that is already being walked. The file skipFile (if it exists) is left out, so that an
    // archive written into the site does not pack its own previous version; so is what
    // Exclude refuses, and, with a warning, what cannot become an entry.
    void AddSite(const std::string& dir, const std::string& skipFile = std::string());
    void AddFile(std::string path, std::string name, std::string sourceFile);
    void AddData(std::string path, std::string name, std::vector<std::uint8_t> data);

    const std::vector<TPackItem>& Items() const { return items_; }
    std::int64_t TotalBytes() const;

    // Writes the archive at out's current position; entry offsets are relative to it.
    TPackResult Write(TStream& out);

    // Bytes of content read so far and in all, as the writer moves through the entries.
    std::function<void(std::int64_t done, std::int64_t total)> OnProgress;
    // Things the user should know that do not stop the pack: files left out because they
    // cannot become entries (special files, broken links, names a book cannot hold).
    std::function<void(const std::string& message)> OnWarning;
    // Asked for each file and folder below the site, by its path below it with slashes:
    // true leaves it out (a folder with everything in it), without a warning.
    std::function<bool(const std::string& relativePath, bool isFolder)> Exclude;

private:
    void CheckName(const std::string& path, const std::string& name) const;
    void AddItem(TPackItem item);
    void AddFolder(const std::string& dir, const std::string& path,
                   std::vector<std::pair<std::uint64_t, std::uint64_t>>& walking,
                   const std::pair<std::uint64_t, std::uint64_t>* skipFile);

    TPackSettings settings_;
    std::vector<TPackItem> items_;
    // The index in items_ of each full name as the viewer compares it (ASCII case folded), so
    // that a site of many files is checked for clashes in linear time.
    std::unordered_map<std::string, std::size_t> names_;
};

// Packs into fileName through a temporary file next to it that is renamed at the end, so that
// a failure or a signal never leaves a half archive. With viewerExe the file starts with a
// copy of that program and is made executable.
TPackResult PackToFile(TKvbWriter& writer, const std::string& fileName,
                       const std::string& viewerExe = std::string());
// The same, written to standard output once complete.
TPackResult PackToStdout(TKvbWriter& writer, const std::string& viewerExe = std::string());

// Why a file or folder name cannot go into the archive, as a phrase such as "contains a
// slash", or empty when it can.
std::string InvalidNameReason(const std::string& component);

} // namespace kiva
