#include "NavigationPolicy.h"

#include <algorithm>

#include "ContentUrl.h"
#include "Masks.h"

namespace kiva {

bool MatchesExternalMasks(const std::string& url, const std::string& masks) {
    // The option holds at most 255 characters; a full list has no room for the closing
    // separator, and then its last mask is never tried.
    constexpr std::size_t kMaxMaskList = 255;
    std::string list = masks;
    if (list.empty() || list.back() != ';') {
        if (list.size() < kMaxMaskList) {
            list += ';';
        }
    }
    std::size_t start = 0;
    for (std::size_t sep = list.find(';'); sep != std::string::npos; sep = list.find(';', start)) {
        if (TMask(std::string_view(list).substr(start, sep - start)).Matches(url)) {
            return true;
        }
        start = sep + 1;
    }
    return false;
}

std::optional<std::string> ExternalFilePath(const std::string& url, const std::string& dir) {
    std::string rest = url.substr(std::min(url.size(), kContentRoot.size()));
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (rest.empty() || rest[0] == '/') {
        return std::nullopt;
    }
    for (std::size_t start = 0; start <= rest.size();) {
        const std::size_t end = std::min(rest.find('/', start), rest.size());
        if (rest.compare(start, end - start, "..") == 0) {
            return std::nullopt;
        }
        start = end + 1;
    }
    return dir + (dir.empty() || dir.back() != '/' ? "/" : "") + rest;
}

} // namespace kiva
