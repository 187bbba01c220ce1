#include "Trace.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <string>

namespace kiva {

namespace {

// A page can make errors repeat in a loop; a line is kept short and the trace stops growing
// after a while, so the trace never becomes the problem.
constexpr std::size_t kMaxLine = 1024;
constexpr int kMaxLines = 1000;

} // namespace

void TraceError(std::string_view where, std::string_view message) noexcept {
    static std::atomic<int> traced{0};
    const int lines = ++traced;
    if (lines > kMaxLines) {
        return;
    }
    try {
        std::string line = "kivabook: ";
        line.append(where).append(": ").append(message);
        if (line.size() > kMaxLine) {
            line.resize(kMaxLine);
        }
        line += lines == kMaxLines ? "\nkivabook: further errors are not traced\n" : "\n";
        std::fputs(line.c_str(), stderr);
    } catch (...) {
        // Out of memory: nothing more can be said.
    }
}

void TraceCaughtError(std::string_view where) noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        TraceError(where, e.what());
    } catch (...) {
        TraceError(where, "an error of an unknown kind");
    }
}

} // namespace kiva
