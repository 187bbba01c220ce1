#pragma once

#include <string>

namespace kiva {

// Where books keep their indexes: each book's cache folder, named by its storage key beside
// the web data's cache (~/.cache/kivabook-viewer/books/<storage key>/), holds one index file.

// The folder of all books' cache folders for this user.
std::string DefaultBooksCacheRoot();

// The index file of a book in its cache folder under root.
std::string IndexFileOf(const std::string& root, const std::string& storageKey);

// The path by which a copy of a book is known across runs: absolute, links resolved.
std::string CanonicalBookPath(const std::string& fileName);

// Removes the indexes of other editions of the book at bookPath: every index under root that
// a book of another storage key used at that path. An index that other copies of its edition
// still use keeps serving them. Problems with single indexes are traced and passed over.
void ForgetEarlierEditions(const std::string& root, const std::string& storageKey,
                           const std::string& bookPath);

// Removes an index file with its journal files; true when nothing of it is left.
bool RemoveIndexFile(const std::string& file) noexcept;

} // namespace kiva
