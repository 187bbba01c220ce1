#pragma once

#include <string>

namespace kiva {

// A desktop entry that starts a self-contained book: the executable that kvb pack --viewer
// writes. The entry finds the book relative to its own folder, so an author can ship both
// files together and the launcher keeps working wherever a reader puts them.
struct TLauncher {
    // Shown by menus and file managers.
    std::string Name;
    // The book's path relative to the entry's folder, with slashes.
    std::string RelativeTarget;

    // Checks the files and the name before anything is written: the entry's file name must
    // end in ".desktop", lie in an existing folder and differ from the book's, and the name
    // and the book's path must be UTF-8, as desktop entries are. An empty name becomes the
    // book's file name. Raises EPackError.
    static TLauncher For(const std::string& entryFile, const std::string& bookFile,
                         const std::string& name);

    // The text of the entry.
    std::string Text() const;

    // Writes the entry to entryFile with mode 0755, which file managers ask of launchers.
    // The file is replaced only once it is complete.
    void WriteTo(const std::string& entryFile) const;
};

} // namespace kiva
