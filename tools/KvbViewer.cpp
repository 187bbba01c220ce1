#include "KvbViewer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "FileDescriptor.h"
#include "KvbBook.h"
#include "KvbWriter.h"
#include "ViewerMarker.h"

namespace kiva {

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// The first executable file of that name in PATH's folders, or empty.
std::string SearchPath(const std::string& name) {
    const char* env = std::getenv("PATH");
    const std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon - start);
        // An empty entry stands for the current folder, as in the shell.
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
        if (colon == std::string::npos) {
            return std::string();
        }
        start = colon + 1;
    }
}

} // namespace

bool CarriesViewerMarker(int fd) {
    const std::string marker = ViewerMarker();
    const std::boyer_moore_horspool_searcher searcher(marker.begin(), marker.end());
    constexpr std::int64_t kBlock = 1 << 20;
    // Each block starts with the end of the one before, so a marker across two is found.
    std::vector<char> buf(static_cast<std::size_t>(kBlock) + marker.size());
    std::size_t kept = 0;
    for (std::int64_t at = 0;;) {
        const std::int64_t n = ReadAt(fd, buf.data() + kept, kBlock, at);
        if (n <= 0) {
            return false;
        }
        const auto end = buf.begin() + static_cast<std::ptrdiff_t>(kept + n);
        if (std::search(buf.begin(), end, searcher) != end) {
            return true;
        }
        at += n;
        kept = std::min(marker.size() - 1, kept + static_cast<std::size_t>(n));
        std::copy(end - static_cast<std::ptrdiff_t>(kept), end, buf.begin());
    }
}

std::string FindViewer(const std::string& name) {
    std::string file = name;
    if (name.find('/') == std::string::npos) {
        file = SearchPath(name);
        if (file.empty()) {
            throw EPackError(Format("--viewer %s: no program of that name on PATH", name));
        }
    }
    TFileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        throw EPackError(Format("--viewer %s: %s", file, std::strerror(errno)));
    }
    if (!S_ISREG(st.st_mode)) {
        throw EPackError(Format("--viewer %s: is not a regular file", file));
    }
    if (!CarriesViewerMarker(fd.Get())) {
        throw EPackError(Format("--viewer %s: is not the Kivabook viewer (kivabook-viewer)", file));
    }
    // A self-contained book carries the viewer too; its own book would come along as dead
    // weight in front of the new one.
    if (WhyNotABook(fd.Get()).empty()) {
        throw EPackError(Format("--viewer %s: already carries a book; give the bare viewer", file));
    }
    return file;
}

} // namespace kiva
