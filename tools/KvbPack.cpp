// kvb pack: a folder of HTML becomes a book.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "BookIndexer.h"
#include "KvbCommands.h"
#include "KvbExtract.h"
#include "KvbLauncher.h"
#include "KvbPatterns.h"
#include "KvbViewer.h"
#include "KvbWriter.h"
#include "ProjectOptionsFile.h"

#ifndef KVB_VERSION
#define KVB_VERSION "0.0.0"
#endif

namespace kiva {

namespace {

std::vector<std::uint8_t> ReadWholeFile(const std::string& fileName, const char* what) {
    struct stat st {};
    if (::stat(fileName.c_str(), &st) != 0) {
        throw Exception(Format("cannot read %s \"%s\": %s", what, fileName, std::strerror(errno)));
    }
    if (!S_ISREG(st.st_mode)) {
        throw Exception(Format("%s \"%s\" is not a regular file", what, fileName));
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        throw Exception(Format("cannot read %s \"%s\": %s", what, fileName, std::strerror(errno)));
    }
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw Exception(Format("cannot read %s \"%s\"", what, fileName));
    }
    return data;
}

// A Windows icon file starts with a 6-byte header (reserved 0, type 1, image count) followed
// by 16 bytes per image.
void CheckIcon(const std::vector<std::uint8_t>& icon, const std::string& fileName) {
    auto u16 = [&](std::size_t at) { return unsigned(icon[at]) | unsigned(icon[at + 1]) << 8; };
    if (icon.size() < 6 || u16(0) != 0 || u16(2) != 1 || u16(4) == 0) {
        throw Exception(Format("\"%s\" is not a Windows icon (.ico) file", fileName));
    }
    if (icon.size() < 6 + 16 * std::size_t(u16(4))) {
        throw Exception(Format("\"%s\" is a cut-off icon file", fileName));
    }
}

std::string BaseName(const std::string& path) {
    std::size_t p = path.find_last_of('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

// The page a book without a StartPage of its author's opens at: index.html, or the only
// HTML page at the top of the site, or else the first of them in name order (with a
// warning), or else the first HTML page anywhere.
std::string ChooseStartPage(const std::vector<TPackItem>& items, const TCli& cli) {
    std::vector<std::string> top;
    const TPackItem* deeper = nullptr;
    for (const TPackItem& it : items) {
        if (!TBookIndexer::IsPage(it.Name)) {
            continue;
        }
        if (!it.Path.empty()) {
            deeper = deeper ? deeper : &it;
        } else if (SameTextAscii(it.Name, "index.html")) {
            return it.Name;
        } else {
            top.push_back(it.Name);
        }
    }
    if (top.size() == 1) {
        return top[0];
    }
    if (top.size() > 1) {
        cli.Warning(Format("the site has no index.html; the book starts at %s, the first of its "
                           "%d top-level pages (--set StartPage=PAGE chooses another)",
                           top[0], top.size()));
        return top[0];
    }
    if (deeper) {
        // Slashes, since the viewer cuts the start page at its last backslash.
        std::string page = deeper->Path + deeper->Name;
        std::replace(page.begin(), page.end(), '\\', '/');
        cli.Warning(Format("the site has no page at its top; the book starts at %s", page));
        return page;
    }
    cli.Warning("the site has no HTML page; the book starts at index.html, which it lacks");
    return "index.html";
}

// True when the viewer would find the start page among the entries. It takes the text
// after the last '\' or ':' as a path below the book's root, where a query or fragment
// names no file.
bool StartPageInSite(const std::vector<TPackItem>& items, const std::string& startPage) {
    std::string page = ExtractFileName(startPage);
    page = page.substr(0, page.find_first_of("?#"));
    std::replace(page.begin(), page.end(), '/', '\\');
    return std::any_of(items.begin(), items.end(),
                       [&](const TPackItem& it) { return SameTextAscii(it.Path + it.Name, page); });
}

// Tells what the exclusions left out: each item with -v, otherwise a count and the first few.
void NoteLeftOut(const TCli& cli, const std::vector<std::string>& leftOut, bool byDefault) {
    if (leftOut.empty()) {
        return;
    }
    for (const std::string& item : leftOut) {
        cli.Detail("left out " + item);
    }
    if (cli.Verbose()) {
        return;
    }
    std::string shown;
    const std::size_t listed = std::min<std::size_t>(leftOut.size(), 4);
    for (std::size_t i = 0; i < listed; ++i) {
        shown += (i ? ", " : "") + Printable(leftOut[i]);
    }
    if (leftOut.size() > listed) {
        shown += Format(" and %d more", leftOut.size() - listed);
    }
    cli.Note(Format("left out %s%s", shown,
                    byDefault ? " (--include-vcs keeps version-control folders and editor "
                                "backups)"
                              : ""));
}

struct TPackArgs {
    std::string Dir, Out, OptionsFile, LogoFile, Viewer, DesktopEntry;
    std::optional<std::string> DesktopName;
    std::vector<std::string> Sets, Excludes;
    bool Defaults = false;
    bool NoOptions = false;
    bool IncludeVcs = false;
    TPackSettings Settings;
};

TPackArgs ParsePackArgs(TCli& cli, std::vector<std::string> args) {
    TArgs r(cli, std::move(args),
            {{'o', "output", true},
             {0, "options", true},
             {0, "set", true},
             {0, "defaults", false},
             {0, "no-options", false},
             {0, "logo", true},
             {0, "exclude", true},
             {0, "include-vcs", false},
             {0, "stored", false},
             {0, "raw-directory", false},
             {0, "format", true},
             {0, "viewer", true},
             {0, "desktop-entry", true},
             {0, "desktop-name", true}});
    TPackArgs a;
    while (r.Next()) {
        if (!r.IsOption()) {
            if (!a.Dir.empty()) {
                r.Unexpected();
            }
            a.Dir = r.Current();
        } else if (r.Is("output")) {
            a.Out = r.Value();
        } else if (r.Is("options")) {
            a.OptionsFile = r.Value();
        } else if (r.Is("set")) {
            a.Sets.push_back(r.Value());
        } else if (r.Is("defaults")) {
            a.Defaults = true;
        } else if (r.Is("no-options")) {
            a.NoOptions = true;
        } else if (r.Is("logo")) {
            a.LogoFile = r.Value();
        } else if (r.Is("exclude")) {
            a.Excludes.push_back(r.Value());
        } else if (r.Is("include-vcs")) {
            a.IncludeVcs = true;
        } else if (r.Is("viewer")) {
            a.Viewer = r.Value();
        } else if (r.Is("desktop-entry")) {
            a.DesktopEntry = r.Value();
        } else if (r.Is("desktop-name")) {
            a.DesktopName = r.Value();
        } else if (r.Is("stored")) {
            a.Settings.Stored = true;
        } else if (r.Is("raw-directory")) {
            a.Settings.RawDirectory = true;
        } else if (r.Is("format")) {
            if (r.Value() != "1" && r.Value() != "2") {
                throw EUsageError(Format("--format takes 1 or 2, not %s", r.Value()));
            }
            a.Settings.Format = r.Value() == "1" ? 1 : 2;
        }
    }
    if (a.Dir.empty()) {
        throw EUsageError("no site folder given");
    }
    if (a.Out.empty()) {
        throw EUsageError("no output book given (-o OUT)");
    }
    RefuseDash(a.Dir, "the site", "a site is a folder");
    for (const std::string* file : {&a.OptionsFile, &a.LogoFile, &a.Viewer}) {
        RefuseDash(*file, "a file kvb reads here", "name the file");
    }
    if (a.NoOptions && (!a.OptionsFile.empty() || !a.Sets.empty() || a.Defaults)) {
        throw EUsageError("--no-options leaves out every option; it takes no --options, --set "
                          "or --defaults");
    }
    // Only a book that carries the viewer can be started; a .kvb file opens by its type.
    if (!a.DesktopEntry.empty() && a.Viewer.empty()) {
        throw EUsageError("--desktop-entry needs --viewer");
    }
    if (a.DesktopName && a.DesktopEntry.empty()) {
        throw EUsageError("--desktop-name needs --desktop-entry");
    }
    if (!a.DesktopEntry.empty() && a.Out == "-") {
        throw EUsageError("--desktop-entry needs a book file to start, not standard output");
    }
    if (a.Out == "-" && ::isatty(STDOUT_FILENO)) {
        throw EUsageError("refusing to write a book to a terminal; redirect standard output");
    }
    return a;
}

// The options file, --set and the defaults, checked; warnings go to cli.
TProjectOptionsFile MakeOptions(const TCli& cli, const TPackArgs& a, const TKvbWriter& writer) {
    TProjectOptionsFile options;
    if (!a.OptionsFile.empty()) {
        options = TProjectOptionsFile::LoadIni(a.OptionsFile);
    }
    for (const std::string& s : a.Sets) {
        try {
            options.Set(s);
        } catch (const EOptionsError& e) {
            throw EUsageError(e.Message());
        }
    }
    for (const std::string& w : options.Warnings) {
        cli.Warning(w);
    }
    // An author's file keeps meaning 0 or empty for what it leaves out: books made before
    // the defaults existed must not change.
    const bool defaults = a.OptionsFile.empty() || a.Defaults;
    if (defaults) {
        const std::string start =
            options.IsGiven("StartPage") ? options.StartPage : ChooseStartPage(writer.Items(), cli);
        options.FillDefaults(DefaultProjectOptions(start));
    }
    const std::string source = a.OptionsFile.empty() ? "options" : a.OptionsFile;
    for (const std::string& w : options.Usability()) {
        cli.Warning(source + ": " + w);
    }
    if (!Trim(options.StartPage).empty() && !StartPageInSite(writer.Items(), options.StartPage)) {
        cli.Warning(Format("%s: StartPage %s is not in the site", source, options.StartPage));
    }
    options.ToolText = "kvb " KVB_VERSION;
    return options;
}

int RunPack(TCli& cli, std::vector<std::string> args) {
    const TPackArgs a = ParsePackArgs(cli, std::move(args));
    if (a.Out == "-") {
        cli.DataOnStdout = true;
    }
    // Everything that can be refused is checked before the site is read.
    const std::string viewer = a.Viewer.empty() ? std::string() : FindViewer(a.Viewer);
    std::optional<TLauncher> launcher;
    if (!a.DesktopEntry.empty()) {
        launcher = TLauncher::For(a.DesktopEntry, a.Out, a.DesktopName.value_or(std::string()));
    }
    std::vector<std::uint8_t> logo;
    if (!a.LogoFile.empty()) {
        logo = ReadWholeFile(a.LogoFile, "icon");
        CheckIcon(logo, a.LogoFile);
    }

    std::vector<TPathPattern> excludes(a.Excludes.begin(), a.Excludes.end());
    const std::vector<TPathPattern> defaults =
        a.IncludeVcs ? std::vector<TPathPattern>() : DefaultExclusions();
    std::vector<std::string> leftOut;
    bool leftOutByDefault = false;
    TKvbWriter writer(a.Settings);
    writer.OnWarning = [&cli](const std::string& m) { cli.Warning(m); };
    writer.Exclude = [&](const std::string& path, bool isFolder) {
        auto matches = [&](const TPathPattern& p) { return p.Matches(path, isFolder); };
        const bool byDefault = std::any_of(defaults.begin(), defaults.end(), matches);
        if (!byDefault && !std::any_of(excludes.begin(), excludes.end(), matches)) {
            return false;
        }
        leftOutByDefault = leftOutByDefault || byDefault;
        leftOut.push_back(isFolder ? path + "/" : path);
        return true;
    };
    writer.AddSite(a.Dir, a.Out == "-" ? std::string() : a.Out);
    NoteLeftOut(cli, leftOut, leftOutByDefault);
    for (const TPackItem& it : writer.Items()) {
        std::string name = it.Path + it.Name;
        std::replace(name.begin(), name.end(), '\\', '/');
        cli.Detail("a " + Printable(name));
    }

    if (a.NoOptions) {
        if (!logo.empty()) {
            cli.Warning("the viewer shows the logo only when the book has project options");
        }
    } else {
        TProjectOptionsFile options = MakeOptions(cli, a, writer);
        if (!logo.empty() && options.LogoFile.empty()) {
            options.LogoFile = BaseName(a.LogoFile).substr(0, kShortTextMax);
        } else if (logo.empty() && !options.LogoFile.empty()) {
            // The viewer would fail at start-up looking for a logo that is not there.
            throw Exception(Format("%s sets LogoFile but no icon is packed; add --logo ICON",
                                   a.OptionsFile.empty() ? std::string("--set") : a.OptionsFile));
        }
        const auto record = options.Encode();
        writer.AddData("", kConfigEntryName,
                       std::vector<std::uint8_t>(record.begin(), record.end()));
    }
    if (!logo.empty()) {
        writer.AddData("", kLogoEntryName, std::move(logo));
    }

    // Progress only where someone watches, and only when packing takes a while.
    constexpr std::int64_t kProgressThreshold = 16 * 1024 * 1024;
    const bool progress =
        !cli.Quiet() && ::isatty(STDERR_FILENO) && writer.TotalBytes() >= kProgressThreshold;
    int shown = -1;
    if (progress) {
        writer.OnProgress = [&shown](std::int64_t done, std::int64_t total) {
            const int pct = total > 0 ? static_cast<int>(done * 100 / total) : 100;
            if (pct != shown) {
                shown = pct;
                std::cerr << "\rkvb: packing " << pct << "%" << std::flush;
            }
        };
    }
    TPackResult result;
    try {
        result = a.Out == "-" ? PackToStdout(writer, viewer) : PackToFile(writer, a.Out, viewer);
    } catch (...) {
        if (shown >= 0) {
            std::cerr << "\n";
        }
        throw;
    }
    if (shown >= 0) {
        std::cerr << "\r\033[K" << std::flush;
    }
    cli.Report(Format("%s: %d entries, %d bytes", a.Out == "-" ? "standard output" : a.Out,
                      result.Entries.size(), result.ArchiveSize));
    if (launcher) {
        launcher->WriteTo(a.DesktopEntry);
        cli.Report(Format("%s: launcher \"%s\"", a.DesktopEntry, launcher->Name));
    }
    return kExitOk;
}

} // namespace

const TKvbCommand kPackCommand = {
    "pack", "kvb pack SITE -o OUT [OPTIONS]", "make a book of the files below SITE",
    "Packs every file below the folder SITE into the book OUT.\n"
    "\n"
    "Entry order: the files of SITE itself, then each sub-folder depth-first (a folder's\n"
    "files, then its own sub-folders), names sorted by byte value at every level; then\n"
    "\"-config-\" and \"-logo-\". Symbolic links are followed, except a link back into a\n"
    "folder being packed. Version-control folders (.git, .svn, .hg) and editor backups\n"
    "(*~, .*.swp, .*.swo, #*#, .#*) are left out with a note; special files, broken links\n"
    "and names a book cannot hold are left out with a warning.\n"
    "\n"
    "Without --options the book gets options a reader can use: the start page index.html\n"
    "(or the only top-level HTML page), a sizeable 1024x768 window in the middle of the\n"
    "screen, tool bar with captions, status bar, and Find, Print, Copy and text size allowed.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT    book to write (replaced only once it is complete); \"-\" writes\n"
    "                      it to standard output\n"
    "  --options FILE      INI file of project options (keys in kvb(1)); a key it leaves\n"
    "                      out is 0 or empty\n"
    "  --defaults          with --options: fill the keys it leaves out with the defaults\n"
    "  --set KEY=VALUE     set one option (repeatable; wins over --options)\n"
    "  --no-options        write no \"-config-\" at all (the viewer then opens no page)\n"
    "  --logo ICON         Windows .ico file stored as \"-logo-\" (sets LogoFile)\n"
    "  --exclude PATTERN   leave out what matches (repeatable): shell wildcards, case\n"
    "                      sensitive, '*' stops at '/'; without '/' it matches a name at\n"
    "                      any depth, with '/' a path from the top of SITE\n"
    "  --include-vcs       keep version-control folders and editor backups\n"
    "  --stored            store the files as they are instead of compressing them\n"
    "  --raw-directory     do not compress the directory\n"
    "  --format 1|2        book layout version (default 2; 1 limits sizes to 2 GiB)\n"
    "  --viewer NAME       write the viewer NAME (looked up on PATH) followed by the book:\n"
    "                      one executable file\n"
    "  --desktop-entry FILE.desktop\n"
    "                      with --viewer: also write a launcher that starts OUT from\n"
    "                      the folder the two files share (mode 0755)\n"
    "  --desktop-name NAME the launcher's name in menus (default: OUT's file name)\n"
    "  -q, --quiet         no notes, warnings or summary\n"
    "  -v, --verbose       also list each file packed and left out\n",
    RunPack};

} // namespace kiva
