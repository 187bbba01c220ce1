#include "IndexCache.h"

#include <glib.h>

#include <filesystem>
#include <system_error>

#include "SearchIndex.h"
#include "Trace.h"

namespace kiva {
namespace {

constexpr const char* kIndexFileName = "search-index.sqlite";

} // namespace

std::string DefaultBooksCacheRoot() {
    return (std::filesystem::path(g_get_user_cache_dir()) / "kivabook-viewer" / "books").string();
}

std::string IndexFileOf(const std::string& root, const std::string& storageKey) {
    return (std::filesystem::path(root) / storageKey / kIndexFileName).string();
}

std::string CanonicalBookPath(const std::string& fileName) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(fileName, ec);
    if (ec) {
        p = std::filesystem::absolute(fileName, ec);
    }
    return ec ? fileName : p.string();
}

bool RemoveIndexFile(const std::string& file) noexcept {
    bool gone = true;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::error_code ec;
        std::filesystem::remove(file + suffix, ec);
        gone = gone && !ec;
    }
    return gone;
}

void ForgetEarlierEditions(const std::string& root, const std::string& storageKey,
                           const std::string& bookPath) {
    std::error_code ec;
    std::filesystem::directory_iterator it(root, ec);
    if (ec) {
        return;
    }
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (name == storageKey) {
            continue;
        }
        const std::string file = IndexFileOf(root, name);
        std::error_code exists;
        if (!std::filesystem::is_regular_file(file, exists)) {
            continue;
        }
        try {
            bool unused = false;
            {
                TSearchIndex other(file, false);
                other.SetBusyTimeout(200);
                if (other.Meta("format").empty()) {
                    continue;
                }
                unused = other.RemoveBookPath(bookPath) && other.BookPathCount() == 0;
            }
            if (unused) {
                RemoveIndexFile(file);
            }
        } catch (const EIndexDamaged&) {
            RemoveIndexFile(file);
        } catch (...) {
            TraceCaughtError("the removal of an earlier edition's search index");
        }
    }
}

} // namespace kiva
