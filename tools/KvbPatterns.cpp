#include "KvbPatterns.h"

#include <fnmatch.h>

#include <algorithm>

#include "SysUtils.h"

namespace kiva {

namespace {

// The last name of a path with slashes.
std::string_view LastName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool Match(const std::string& pattern, std::string_view text) {
    return ::fnmatch(pattern.c_str(), std::string(text).c_str(), FNM_PATHNAME) == 0;
}

std::string Slashed(std::string_view text) {
    std::string s(text);
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

} // namespace

bool HasWildcards(std::string_view text) {
    return text.find_first_of("*?[") != std::string_view::npos;
}

TPathPattern::TPathPattern(std::string_view pattern) : text_(pattern) {
    std::string_view p = pattern;
    while (p.size() > 1 && p.back() == '/') {
        foldersOnly_ = true;
        p.remove_suffix(1);
    }
    if (p.substr(0, 2) == "./") {
        p.remove_prefix(2);
        anchored_ = true;
    }
    while (!p.empty() && p.front() == '/') {
        p.remove_prefix(1);
        anchored_ = true;
    }
    anchored_ = anchored_ || p.find('/') != std::string_view::npos;
    pattern_ = std::string(p);
}

bool TPathPattern::Matches(std::string_view path, bool isFolder) const {
    if (foldersOnly_ && !isFolder) {
        return false;
    }
    return Match(pattern_, anchored_ ? path : LastName(path));
}

std::vector<TPathPattern> DefaultExclusions() {
    std::vector<TPathPattern> out;
    for (const char* p : {".git", ".svn", ".hg", "*~", ".*.swp", ".*.swo", "#*#", ".#*"}) {
        out.emplace_back(p);
    }
    return out;
}

TEntrySelector::TEntrySelector(std::string_view operand)
    : operand_(operand), name_(Slashed(operand)), wildcards_(HasWildcards(operand)),
      pattern_(name_) {
    while (name_.size() > 1 && name_.back() == '/') {
        name_.pop_back();
        folderOnly_ = true;
    }
}

bool TEntrySelector::IsExactName(std::string_view name) const {
    return !wildcards_ && !folderOnly_ && SameTextAscii(name, name_);
}

bool TEntrySelector::Selects(std::string_view name) const {
    if (!wildcards_) {
        return (!folderOnly_ && SameTextAscii(name, name_)) ||
               (name.size() > name_.size() && name[name_.size()] == '/' &&
                SameTextAscii(name.substr(0, name_.size()), name_));
    }
    // The entry itself, then each folder it lies in, shortest first. A pattern that ends in
    // '/' matches folders only.
    if (pattern_.Matches(name, false)) {
        return true;
    }
    for (std::size_t slash = name.find('/'); slash != std::string_view::npos;
         slash = name.find('/', slash + 1)) {
        if (pattern_.Matches(name.substr(0, slash), true)) {
            return true;
        }
    }
    return false;
}

} // namespace kiva
