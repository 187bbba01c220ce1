// kvb cat and kvb extract: entries named by name, folder or wildcard, to standard output or
// to files.

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "FileDescriptor.h"
#include "KvbBook.h"
#include "KvbCommands.h"
#include "KvbExtract.h"
#include "KvbPatterns.h"

namespace kiva {

namespace {

// The entries that the operands of cat or extract name, and which operands named none.
class TSelection {
public:
    explicit TSelection(const std::vector<std::string>& operands) {
        for (const std::string& o : operands) {
            selectors_.emplace_back(o);
        }
        matched_.assign(selectors_.size(), false);
    }

    // True when the entry of that name is selected. Of two entries with the same name, as
    // the viewer sees only the first, an exact name selects only the first.
    bool Selects(const std::string& name) {
        if (selectors_.empty()) {
            return true;
        }
        bool selected = false;
        for (std::size_t k = 0; k < selectors_.size(); ++k) {
            const TEntrySelector& s = selectors_[k];
            if (s.Selects(name) && !(matched_[k] && s.IsExactName(name))) {
                matched_[k] = true;
                selected = true;
            }
        }
        return selected;
    }

    // Reports each operand that selected nothing; returns how many.
    int ReportUnmatched(const TCli& cli, const TBook& book) const {
        int missing = 0;
        for (std::size_t k = 0; k < selectors_.size(); ++k) {
            if (!matched_[k]) {
                cli.Error(Format("%s: no entry matches %s", book.FileName(),
                                 Printable(selectors_[k].Operand())));
                ++missing;
            }
        }
        return missing;
    }

private:
    std::vector<TEntrySelector> selectors_;
    std::vector<bool> matched_;
};

int RunCat(TCli& cli, std::vector<std::string> args) {
    TArgs r(cli, std::move(args), {});
    std::vector<std::string> ops;
    while (r.Next()) {
        ops.push_back(r.Current());
    }
    if (ops.size() < 2) {
        throw EUsageError("needs a book and at least one entry name");
    }
    RefuseDash(ops[0], "the book", "kvb reads a book from a file it can seek in");
    cli.DataOnStdout = true;
    TBook book(ops[0]);
    TSelection selection({ops.begin() + 1, ops.end()});
    int problems = 0;
    const int count = book.Count();
    for (int i = 0; i < count; ++i) {
        const TArchiveEntry e = book.Entry(i);
        if (!selection.Selects(EntryName(e))) {
            continue;
        }
        // The whole entry is checked before any of it goes out: a damaged one writes nothing.
        TMemoryStream content;
        try {
            book.Extract(i, content);
        } catch (const Exception& ex) {
            cli.Error(ex.Message());
            ++problems;
            continue;
        }
        cli.Detail(ShownName(e));
        WriteStdout(content.Memory(), static_cast<std::size_t>(content.Size()));
    }
    problems += selection.ReportUnmatched(cli, book);
    return problems == 0 ? kExitOk : kExitFailure;
}

// Opens (creating when missing) the folder that extraction writes into.
TFileDescriptor OpenTargetFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    TFileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        throw Exception(Format("%s: cannot use this folder: %s", dir,
                               ec ? ec.message() : std::string(std::strerror(errno))));
    }
    return fd;
}

// Entries up to this size are checked in memory and written at once; larger ones go straight
// into their file, so that a big entry never needs its size in memory.
constexpr std::int64_t kInMemory = 1 << 20;

std::string JoinPath(const std::string& dir, const std::string& name) {
    return dir == "." ? name : (dir.back() == '/' ? dir : dir + "/") + name;
}

int RunExtract(TCli& cli, std::vector<std::string> args) {
    TArgs r(cli, std::move(args), {{'C', "directory", true}, {'k', "keep", false}});
    std::string target = ".";
    bool keep = false;
    std::vector<std::string> ops;
    while (r.Next()) {
        if (!r.IsOption()) {
            ops.push_back(r.Current());
        } else if (r.Is("directory")) {
            target = r.Value();
        } else if (r.Is("keep")) {
            keep = true;
        }
    }
    if (ops.empty()) {
        throw EUsageError("no book given");
    }
    RefuseDash(ops[0], "the book", "kvb reads a book from a file it can seek in");
    RefuseDash(target, "the target folder", "kvb cat writes entries to standard output");
    if (target.empty()) {
        throw EUsageError("-C needs a folder");
    }
    TBook book(ops[0]);
    TSelection selection({ops.begin() + 1, ops.end()});
    // The directory holds no times, so each file gets the book's; should the book have gone
    // meanwhile, the files keep the time they were written.
    struct stat bookStat {};
    const bool haveTime = ::stat(book.FileName().c_str(), &bookStat) == 0;
    const timespec times[2] = {bookStat.st_mtim, bookStat.st_mtim};

    const TFileDescriptor dirFd = OpenTargetFolder(target);
    int problems = 0;
    std::set<std::string> written;
    const int count = book.Count();
    for (int i = 0; i < count; ++i) {
        const TArchiveEntry e = book.Entry(i);
        const std::string name = EntryName(e);
        if (!selection.Selects(name)) {
            continue;
        }
        const std::string stored = ArchiveText(e.FullName());
        const std::string shown = Printable(name);
        const std::string reason = UnsafeEntryNameReason(stored);
        if (!reason.empty()) {
            cli.Error(Format("%s: skipped entry \"%s\": %s", book.FileName(), shown, reason));
            ++problems;
            continue;
        }
        if (!written.insert(AnsiLowerCaseAscii(stored)).second) {
            // The viewer sees only the first of two equal names, so that one stays.
            cli.Warning(
                Format("%s: \"%s\" occurs again; keeping the first", book.FileName(), shown));
            continue;
        }
        const std::string file = JoinPath(target, shown);
        struct stat st {};
        if (keep && ::fstatat(dirFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            cli.Error(Format("%s: exists; not replaced (--keep)", file));
            ++problems;
            continue;
        }
        try {
            auto out = CreateFileBelow(dirFd.Get(), SplitEntryName(stored));
            try {
                if (e.UncompressedSize <= kInMemory) {
                    TMemoryStream content;
                    book.Extract(i, content);
                    out->Stream().WriteBuffer(content.Memory(), content.Size());
                } else {
                    book.Extract(i, out->Stream());
                }
            } catch (const Exception&) {
                // The reader calls a failed write damage; the disk's own reason tells more.
                if (!out->Stream().WriteError().empty()) {
                    throw Exception(
                        Format("%s: cannot write: %s", file, out->Stream().WriteError()));
                }
                throw;
            }
            if (haveTime) {
                ::futimens(out->Fd(), times);
            }
            if (!out->Commit(keep)) {
                cli.Error(Format("%s: exists; not replaced (--keep)", file));
                ++problems;
                continue;
            }
            cli.Detail(shown);
        } catch (const Exception& ex) {
            cli.Error(ex.Message());
            ++problems;
        }
    }
    problems += selection.ReportUnmatched(cli, book);
    return problems == 0 ? kExitOk : kExitFailure;
}

} // namespace

const TKvbCommand kCatCommand = {
    "cat", "kvb cat BOOK NAME...", "write entries to standard output",
    "Writes the content of the entries NAME to standard output, in directory order. Each\n"
    "entry's CRC is checked first; a damaged entry writes nothing.\n"
    "\n"
    "A NAME selects the entry of that name and every entry in a folder of that name\n"
    "(letter case ignored, '/' or '\\' between folders); with shell wildcards ('*', '?',\n"
    "[...]; letter case matters, '*' stops at '/') it selects every entry that the pattern,\n"
    "or one of the entry's folders, matches; a pattern without '/' matches at any depth.\n"
    "\n"
    "Options:\n"
    "  -q, --quiet    no warnings\n"
    "  -v, --verbose  name each entry on standard error as it is written\n",
    RunCat};

const TKvbCommand kExtractCommand = {
    "extract", "kvb extract BOOK [-C DIR] [-k] [NAME...]", "write entries as files below DIR",
    "Writes entries (all of them without NAME) as files below DIR, creating folders as\n"
    "needed; NAME selects entries as for kvb cat. Existing files are replaced unless -k is\n"
    "given. Each file gets the book's modification time, since a book holds no times.\n"
    "Names that would lead outside DIR (\"..\", absolute or drive parts, empty parts,\n"
    "control characters) are skipped with a message, and symbolic links inside DIR are\n"
    "not followed. The exit status is 1 when any entry was not written.\n"
    "\n"
    "Options:\n"
    "  -C, --directory DIR   target folder (default: the current folder; created if missing)\n"
    "  -k, --keep            never replace an existing file: report it and go on\n"
    "  -q, --quiet           no warnings\n"
    "  -v, --verbose         name each file as it is written\n",
    RunExtract};

} // namespace kiva
