#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kiva {

// A shell-style pattern ('*', '?', [...]) matched the way tar matches its exclusions: letter
// case matters, the wildcards never match '/', a pattern without '/' is tried against the
// last name of a path at any depth, one with '/' against the whole path from the top (a
// leading "/" or "./" is dropped), and a trailing '/' matches folders only.
class TPathPattern {
public:
    explicit TPathPattern(std::string_view pattern);
    // path: below the top, with slashes.
    bool Matches(std::string_view path, bool isFolder) const;
    const std::string& Text() const { return text_; }

private:
    std::string text_;
    std::string pattern_;
    bool anchored_ = false;
    bool foldersOnly_ = false;
};

// What a site leaves out unless told otherwise: version-control folders and editor backups.
std::vector<TPathPattern> DefaultExclusions();

// True when a name holds a wildcard of the shell's.
bool HasWildcards(std::string_view text);

// The entries one operand of cat or extract names: the entry of that name and every entry in
// a folder of that name (ASCII letter case ignored, as the viewer looks names up), or, when
// the operand holds wildcards, every entry that the pattern, or one of the folders the entry
// lies in, matches as a TPathPattern (letter case then matters). Backslashes in the operand
// count as slashes.
class TEntrySelector {
public:
    explicit TEntrySelector(std::string_view operand);
    // name: the entry's name in UTF-8 with slashes.
    bool Selects(std::string_view name) const;
    // True when only the entry of exactly that name is meant, none below it.
    bool IsExactName(std::string_view name) const;
    const std::string& Operand() const { return operand_; }

private:
    std::string operand_;
    std::string name_;
    bool wildcards_ = false;
    bool folderOnly_ = false;
    TPathPattern pattern_;
};

} // namespace kiva
