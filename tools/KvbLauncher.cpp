#include "KvbLauncher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "FileDescriptor.h"
#include "KvbExtract.h"
#include "KvbPendingFile.h"
#include "KvbWriter.h"
#include "SysUtils.h"

namespace kiva {

namespace {

namespace fs = std::filesystem;

// The launcher runs the book through sh, which resolves the entry's own path (%k, links
// followed) to its folder; the book's relative path travels as an argument of its own, so no
// file name is ever read as shell text.
constexpr const char* kStartScript = "exec \"$(dirname \"$(readlink -f \"$1\")\")/$2\"";

std::string SysError(const std::string& what, const std::string& file) {
    return Format("%s \"%s\": %s", what, file, std::strerror(errno));
}

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The fullest form of a path that need not exist yet.
fs::path Resolved(const std::string& file) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(file), ec);
    if (ec) {
        throw EPackError(Format("cannot resolve \"%s\": %s", file, ec.message()));
    }
    return p;
}

// One argument of an Exec key, quoted where the key's rules demand it (before the escapes
// that every string value gets).
std::string QuoteExecArgument(const std::string& argument) {
    static const char* const kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string out;
    for (char c : argument) {
        // A percent sign is a field code unless doubled, inside quotes too.
        if (c == '%') {
            out += "%%";
        } else {
            out += c;
        }
    }
    if (!out.empty() && out.find_first_of(kReserved) == std::string::npos) {
        return out;
    }
    std::string quoted = "\"";
    for (char c : out) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

TLauncher TLauncher::For(const std::string& entryFile, const std::string& bookFile,
                         const std::string& name) {
    if (!EndsWith(entryFile, ".desktop")) {
        throw EPackError(Format(
            "desktop entry \"%s\" must end in .desktop, or no desktop will run it", entryFile));
    }
    const fs::path entry = Resolved(entryFile);
    const fs::path book = Resolved(bookFile);
    if (!fs::is_directory(entry.parent_path())) {
        throw EPackError(
            Format("cannot write the desktop entry \"%s\": no such folder", entryFile));
    }
    if (entry == book) {
        throw EPackError(Format("the desktop entry would replace the book \"%s\"", bookFile));
    }
    TLauncher l;
    l.RelativeTarget = book.lexically_relative(entry.parent_path()).generic_string();
    if (!IsValidUtf8(l.RelativeTarget)) {
        throw EPackError(
            Format("a desktop entry cannot name \"%s\": its path is not UTF-8", bookFile));
    }
    l.Name = name;
    if (name.empty()) {
        // A file name may hold tabs or line breaks, which a menu entry's name may not.
        l.Name = book.filename().string();
        std::replace_if(
            l.Name.begin(), l.Name.end(), [](char c) { return IsControl(c); }, ' ');
    }
    if (!IsValidUtf8(l.Name)) {
        throw EPackError("the launcher's name must be UTF-8 text (--desktop-name)");
    }
    if (std::any_of(l.Name.begin(), l.Name.end(), IsControl)) {
        throw EPackError("the launcher's name must be one line without control characters");
    }
    return l;
}

std::string TLauncher::Text() const {
    std::string exec;
    for (const std::string& a :
         {std::string("sh"), std::string("-c"), std::string(kStartScript), std::string("sh")}) {
        exec += QuoteExecArgument(a) + " ";
    }
    // %k, the entry's own location, must stand unquoted.
    exec += "%k " + QuoteExecArgument(RelativeTarget);
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" +
           BackslashEscaped(Name) +
           "\n"
           "Comment=Opens the book beside this launcher\n"
           "Exec=" +
           BackslashEscaped(exec) +
           "\n"
           "Icon=org.kivabook.Viewer\n"
           "Terminal=false\n"
           "Categories=Office;Viewer;\n";
}

void TLauncher::WriteTo(const std::string& entryFile) const {
    const std::string text = Text();
    try {
        TPendingFile file(TFileDescriptor(), entryFile, entryFile + ".");
        if (!WriteAll(file.Fd(), text.data(), static_cast<std::int64_t>(text.size())) ||
            ::fchmod(file.Fd(), 0755) != 0) {
            throw EPackError(SysError("cannot write", entryFile));
        }
        file.Sync();
        file.Commit();
    } catch (const EPackError&) {
        throw;
    } catch (const Exception& e) {
        throw EPackError(e.Message());
    }
}

} // namespace kiva
