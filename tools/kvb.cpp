// kvb: builds site archives for the viewer and looks into them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "KvbExtract.h"
#include "KvbLauncher.h"
#include "KvbWriter.h"
#include "ProjectOptionsFile.h"
#include "ZLIBArchive2.h"

#ifndef KVB_VERSION
#define KVB_VERSION "0.0.0"
#endif

namespace kiva {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kTopHelp =
    "Usage: kvb COMMAND [ARGS...]\n"
    "Builds and inspects site archives for the Kivabook viewer.\n"
    "\n"
    "Commands:\n"
    "  pack DIR -o OUT [OPTIONS]      pack a site folder into an archive\n"
    "  list ARCHIVE [-l]              list the entries in directory order\n"
    "  cat ARCHIVE NAME               write one entry to standard output\n"
    "  extract ARCHIVE [-C DIR] [NAME...]\n"
    "                                 write entries as files below DIR\n"
    "  verify ARCHIVE                 check the archive CRC and every entry's CRC\n"
    "  info ARCHIVE                   show the trailer and the project options\n"
    "\n"
    "Run 'kvb COMMAND --help' for the options of a command. Entry names use backslashes\n"
    "between folders (docs\\a.html); NAME arguments may use slashes instead. Names and\n"
    "texts are UTF-8; those of archives made in Windows-1252 are shown, extracted and found\n"
    "by their UTF-8 form.\n"
    "Exit status: 0 on success, 1 on failure, 2 on wrong usage.\n";

struct Command {
    const char* Name;
    const char* Usage;
    const char* Help;
};

const Command kPack = {
    "pack", "kvb pack DIR -o OUT [--options FILE] [--logo ICON] [OPTIONS]",
    "Packs every file below DIR into the archive OUT.\n"
    "\n"
    "Entry order: the files of DIR itself, then each sub-folder depth-first (a folder's\n"
    "files, then its own sub-folders), names sorted by byte value at every level; then\n"
    "\"-config-\" and \"-logo-\". Symbolic links are followed, except a link back into a\n"
    "folder being packed, which is skipped with a warning. Empty files are stored.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT    archive to write (replaced only once it is complete)\n"
    "  --options FILE      INI file of project options, written as \"-config-\"; keys\n"
    "                      (case ignored, optionally under [Options]): StartPage,\n"
    "                      WindowStyle, WindowWidth, WindowHeight, LogoFile,\n"
    "                      HideScrollBars, CenterWindow, ShowToolBar, ShowButtonCaptions,\n"
    "                      ShowStatusBar, AllowCopy, AllowFind, AllowPrint, AllowFontSize,\n"
    "                      ViewPassword, ExternalMasks, UserAgentText. Flags take 0 or 1;\n"
    "                      a key left out is 0 or empty. Lines starting with # or ; are\n"
    "                      comments.\n"
    "  --logo ICON         Windows .ico file stored as \"-logo-\" (sets LogoFile when the\n"
    "                      options leave it empty)\n"
    "  --stored            store the files as they are instead of compressing them\n"
    "  --raw-directory     do not compress the directory\n"
    "  --format 1|2        archive layout version (default 2; 1 limits sizes to 2 GiB)\n"
    "  --viewer EXE        write EXE followed by the archive: one executable file\n"
    "  --desktop-entry FILE.desktop\n"
    "                      with --viewer: also write a launcher that starts OUT from\n"
    "                      the folder the two files share (mode 0755)\n"
    "  --desktop-name NAME the launcher's name in menus (default: OUT's file name)\n"};

const Command kList = {"list", "kvb list ARCHIVE [-l]",
                       "Lists the full entry names, one per line, in directory order.\n"
                       "\n"
                       "Options:\n"
                       "  -l, --long   also show method, size, stored size and CRC\n"};

const Command kCat = {"cat", "kvb cat ARCHIVE NAME",
                      "Writes the content of the entry NAME to standard output. The entry's\n"
                      "CRC is checked first; a damaged entry writes nothing.\n"};

const Command kExtract = {
    "extract", "kvb extract ARCHIVE [-C DIR] [NAME...]",
    "Writes entries (all of them without NAME) as files below DIR; backslashes in names\n"
    "become folders. Existing files are replaced. Names that would lead outside DIR\n"
    "(\"..\", absolute or drive parts, empty parts, control characters) are skipped with a\n"
    "message, and the exit status is then 1. Symbolic links inside DIR are not followed.\n"
    "\n"
    "Options:\n"
    "  -C, --directory DIR   target folder (default: the current folder; created if missing)\n"};

const Command kVerify = {"verify", "kvb verify ARCHIVE",
                         "Checks the archive CRC and extracts every entry to check its CRC.\n"
                         "Prints one line per problem, or a summary starting with \"OK\".\n"};

const Command kInfo = {"info", "kvb info ARCHIVE",
                       "Shows the trailer fields and, when the archive has \"-config-\", the\n"
                       "project options it holds.\n"};

const Command* const kCommands[] = {&kPack, &kList, &kCat, &kExtract, &kVerify, &kInfo};

// Wrong usage: reported with the command's usage line and exit status 2.
struct UsageError {
    const Command* Cmd;
    std::string Message;
};

// Messages may carry entry names as the archive stores them.
void PrintError(const std::string& message) {
    std::cerr << "kvb: " << ArchiveText(message) << "\n";
}

void PrintWarning(const std::string& message) {
    std::cerr << "kvb: warning: " << message << "\n";
}

// Splits the arguments of one command into options and operands. Options that take a value
// accept it as the next argument or after '='; "--" ends the options.
class ArgReader {
public:
    ArgReader(const Command& cmd, std::vector<std::string> args)
        : cmd_(cmd), args_(std::move(args)) {}

    bool Next() {
        if (pos_ >= args_.size()) {
            return false;
        }
        raw_ = current_ = args_[pos_++];
        inlineValue_.reset();
        isOption_ = false;
        if (!optionsEnded_ && current_ == "--") {
            optionsEnded_ = true;
            return Next();
        }
        if (!optionsEnded_ && current_.size() > 1 && current_[0] == '-') {
            isOption_ = true;
            std::size_t eq = current_.find('=');
            if (current_.rfind("--", 0) == 0 && eq != std::string::npos) {
                inlineValue_ = current_.substr(eq + 1);
                current_ = current_.substr(0, eq);
            }
        }
        return true;
    }
    bool IsOption() const { return isOption_; }
    const std::string& Current() const { return current_; }
    // The argument as given, "--name=value" unsplit.
    const std::string& Raw() const { return raw_; }
    bool Is(const char* shortName, const char* longName) const {
        return isOption_ && ((shortName && current_ == shortName) || current_ == longName);
    }
    std::string Value() {
        if (inlineValue_) {
            return *inlineValue_;
        }
        if (pos_ >= args_.size()) {
            throw UsageError{&cmd_, Format("option %s needs a value", current_)};
        }
        return args_[pos_++];
    }
    [[noreturn]] void Unknown() const {
        throw UsageError{&cmd_, Format("unknown option %s", current_)};
    }
    void NoValue() const {
        if (inlineValue_) {
            throw UsageError{&cmd_, Format("option %s takes no value", current_)};
        }
    }

private:
    const Command& cmd_;
    std::vector<std::string> args_;
    std::size_t pos_ = 0;
    std::string current_;
    std::string raw_;
    std::optional<std::string> inlineValue_;
    bool isOption_ = false;
    bool optionsEnded_ = false;
};

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") {
            return false;
        }
        if (a == "--help" || a == "-h") {
            return true;
        }
    }
    return false;
}

void WriteStdout(const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Exception(Format("cannot write to standard output: %s", std::strerror(errno)));
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Entry names on the command line may use slashes like any other path on this system.
std::string EntryNameArg(std::string name) {
    for (char& c : name) {
        if (c == '/') {
            c = '\\';
        }
    }
    return name;
}

// The name an entry is shown and extracted under: archives made on Windows hold
// Windows-1252 names, this system's are UTF-8.
std::string ShownName(const TArchiveEntry& e) {
    return Printable(ArchiveText(e.FullName()));
}

// The entry's name as the archive stores it: as given, or its Windows-1252 form when only an
// archive made on Windows has it.
std::string StoredEntryName(const TZLBArc2& arc, const std::string& name) {
    if (arc.IndexOfFile(name) < 0) {
        const std::optional<std::string> cp1252 = Utf8ToCp1252(name);
        if (cp1252 && arc.IndexOfFile(*cp1252) >= 0) {
            return *cp1252;
        }
    }
    return name;
}

void OpenForReading(TZLBArc2& arc, const std::string& fileName) {
    // Listing and extraction should still work on an archive whose CRC is off; each entry is
    // checked on its own instead, and verify reports the archive CRC itself.
    arc.VerifyArchiveCRC = false;
    arc.VerifyFileCRC = true;
    if (!arc.OpenArchive(fileName)) {
        throw Exception("no archive named");
    }
}

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

int RunPack(std::vector<std::string> args) {
    ArgReader r(kPack, std::move(args));
    std::string dir, out, optionsFile, logoFile, viewer, desktopEntry;
    std::optional<std::string> desktopName;
    TPackSettings settings;
    while (r.Next()) {
        if (!r.IsOption()) {
            if (!dir.empty()) {
                throw UsageError{&kPack, Format("unexpected argument %s", r.Current())};
            }
            dir = r.Current();
        } else if (r.Is("-o", "--output")) {
            out = r.Value();
        } else if (r.Is(nullptr, "--options")) {
            optionsFile = r.Value();
        } else if (r.Is(nullptr, "--logo")) {
            logoFile = r.Value();
        } else if (r.Is(nullptr, "--viewer")) {
            viewer = r.Value();
        } else if (r.Is(nullptr, "--desktop-entry")) {
            desktopEntry = r.Value();
        } else if (r.Is(nullptr, "--desktop-name")) {
            desktopName = r.Value();
        } else if (r.Is(nullptr, "--stored")) {
            r.NoValue();
            settings.Stored = true;
        } else if (r.Is(nullptr, "--raw-directory")) {
            r.NoValue();
            settings.RawDirectory = true;
        } else if (r.Is(nullptr, "--format")) {
            std::string v = r.Value();
            if (v != "1" && v != "2") {
                throw UsageError{&kPack, Format("--format takes 1 or 2, not %s", v)};
            }
            settings.Format = v == "1" ? 1 : 2;
        } else {
            r.Unknown();
        }
    }
    if (dir.empty()) {
        throw UsageError{&kPack, "no site folder given"};
    }
    if (out.empty()) {
        throw UsageError{&kPack, "no output archive given (-o OUT)"};
    }
    // Only a book that carries the viewer can be started; a .kvb file opens by its type.
    if (!desktopEntry.empty() && viewer.empty()) {
        throw UsageError{&kPack, "--desktop-entry needs --viewer"};
    }
    if (desktopName && desktopEntry.empty()) {
        throw UsageError{&kPack, "--desktop-name needs --desktop-entry"};
    }
    std::optional<TLauncher> launcher;
    if (!desktopEntry.empty()) {
        launcher = TLauncher::For(desktopEntry, out, desktopName.value_or(std::string()));
    }

    std::optional<TProjectOptionsFile> options;
    if (!optionsFile.empty()) {
        options = TProjectOptionsFile::LoadIni(optionsFile);
        options->ToolText = "kvb " KVB_VERSION;
    }
    std::vector<std::uint8_t> logo;
    if (!logoFile.empty()) {
        logo = ReadWholeFile(logoFile, "icon");
        CheckIcon(logo, logoFile);
        if (!options) {
            PrintWarning("the viewer shows the logo only when the archive has project options "
                         "(--options)");
        } else if (options->LogoFile.empty()) {
            options->LogoFile = BaseName(logoFile);
            if (options->LogoFile.size() > 255) {
                options->LogoFile.resize(255);
            }
        }
    } else if (options && !options->LogoFile.empty()) {
        // The viewer would fail at start-up looking for a logo that is not there.
        throw Exception(
            Format("%s sets LogoFile but no icon is packed; add --logo ICON", optionsFile));
    }

    TKvbWriter writer(settings);
    writer.OnWarning = PrintWarning;
    writer.AddSite(dir, out);
    if (options) {
        auto rec = options->Encode();
        writer.AddData("", kConfigEntryName, std::vector<std::uint8_t>(rec.begin(), rec.end()));
    }
    if (!logo.empty()) {
        writer.AddData("", kLogoEntryName, std::move(logo));
    }

    // Progress only where someone watches, and only when packing takes a while.
    constexpr std::int64_t kProgressThreshold = 16 * 1024 * 1024;
    bool progress = ::isatty(STDERR_FILENO) && writer.TotalBytes() >= kProgressThreshold;
    int shown = -1;
    if (progress) {
        writer.OnProgress = [&shown](std::int64_t done, std::int64_t total) {
            int pct = total > 0 ? static_cast<int>(done * 100 / total) : 100;
            if (pct != shown) {
                shown = pct;
                std::cerr << "\rkvb: packing " << pct << "%" << std::flush;
            }
        };
    }
    TPackResult result;
    try {
        result = PackToFile(writer, out, viewer);
    } catch (...) {
        if (shown >= 0) {
            std::cerr << "\n";
        }
        throw;
    }
    if (shown >= 0) {
        std::cerr << "\r\033[K" << std::flush;
    }
    std::cout << out << ": " << result.Entries.size() << " entries, " << result.ArchiveSize
              << " bytes\n";
    if (launcher) {
        launcher->WriteTo(desktopEntry);
        std::cout << desktopEntry << ": launcher \"" << launcher->Name << "\"\n";
    }
    return kExitOk;
}

// Positional operands of a command that takes no options beyond those listed.
std::vector<std::string> Operands(ArgReader& r, bool* longFlag = nullptr) {
    std::vector<std::string> ops;
    while (r.Next()) {
        if (!r.IsOption()) {
            ops.push_back(r.Current());
        } else if (longFlag && r.Is("-l", "--long")) {
            r.NoValue();
            *longFlag = true;
        } else {
            r.Unknown();
        }
    }
    return ops;
}

const char* MethodName(std::uint8_t method) {
    switch (method) {
    case emCompressed:
        return "deflate";
    case emStored:
        return "stored";
    case emCompressedEncrypted:
        return "deflate+enc";
    case emStoredEncrypted:
        return "stored+enc";
    default:
        return "other";
    }
}

std::int64_t StoredSize(const TArchiveEntry& e) {
    switch (e.Method) {
    case emCompressed:
        return e.CompressedSize;
    case emCompressedEncrypted:
    case emStoredEncrypted:
        return e.EncryptedSize;
    default:
        return e.UncompressedSize;
    }
}

int RunList(std::vector<std::string> args) {
    ArgReader r(kList, std::move(args));
    bool longForm = false;
    auto ops = Operands(r, &longForm);
    if (ops.size() != 1) {
        throw UsageError{&kList, ops.empty() ? "no archive given" : "too many arguments"};
    }
    TZLBArc2 arc(nullptr);
    OpenForReading(arc, ops[0]);
    const int count = arc.FileCount();
    std::ostringstream os;
    if (!longForm) {
        for (int i = 0; i < count; ++i) {
            os << ShownName(arc.GetFileEntry(i)) << "\n";
        }
    } else {
        std::vector<TArchiveEntry> entries;
        std::size_t wSize = 4, wStored = 6;
        for (int i = 0; i < count; ++i) {
            entries.push_back(arc.GetFileEntry(i));
            wSize = std::max(wSize, std::to_string(entries.back().UncompressedSize).size());
            wStored = std::max(wStored, std::to_string(StoredSize(entries.back())).size());
        }
        auto row = [&](const std::string& m, const std::string& size, const std::string& stored,
                       const std::string& crc, const std::string& name) {
            os << m << std::string(12 - m.size(), ' ') << std::string(wSize - size.size(), ' ')
               << size << "  " << std::string(wStored - stored.size(), ' ') << stored << "  " << crc
               << "  " << name << "\n";
        };
        row("Method", "Size", "Stored", "CRC     ", "Name");
        for (const TArchiveEntry& e : entries) {
            char crc[9];
            std::snprintf(crc, sizeof crc, "%08x", e.CRC);
            std::string m = MethodName(e.Method);
            if (m == "other") {
                m = Format("other(%d)", e.Method);
            }
            row(m, std::to_string(e.UncompressedSize), std::to_string(StoredSize(e)), crc,
                ShownName(e));
        }
    }
    std::string text = os.str();
    WriteStdout(text.data(), text.size());
    return kExitOk;
}

int RunCat(std::vector<std::string> args) {
    ArgReader r(kCat, std::move(args));
    // cat has no options of its own, and entry names such as -config- begin with a dash.
    std::vector<std::string> ops;
    while (r.Next()) {
        ops.push_back(r.Raw());
    }
    if (ops.size() != 2) {
        throw UsageError{&kCat, ops.size() < 2 ? "needs an archive and an entry name"
                                               : "too many arguments"};
    }
    TZLBArc2 arc(nullptr);
    OpenForReading(arc, ops[0]);
    TMemoryStream content;
    arc.ExtractToStream(content, StoredEntryName(arc, EntryNameArg(ops[1])));
    WriteStdout(content.Memory(), static_cast<std::size_t>(content.Size()));
    return kExitOk;
}

// Opens (creating when missing) the folder that extraction writes into.
int OpenTargetFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        throw Exception(Format("cannot use folder \"%s\": %s", dir,
                               ec ? ec.message() : std::string(std::strerror(errno))));
    }
    return fd;
}

int RunExtract(std::vector<std::string> args) {
    ArgReader r(kExtract, std::move(args));
    std::string target = ".";
    std::vector<std::string> ops;
    while (r.Next()) {
        if (!r.IsOption()) {
            ops.push_back(r.Current());
        } else if (r.Is("-C", "--directory")) {
            target = r.Value();
        } else if (!ops.empty()) {
            // After the archive, an unknown dash argument is an entry name such as -config-.
            ops.push_back(r.Raw());
        } else {
            r.Unknown();
        }
    }
    if (ops.empty()) {
        throw UsageError{&kExtract, "no archive given"};
    }
    TZLBArc2 arc(nullptr);
    OpenForReading(arc, ops[0]);

    int problems = 0;
    std::vector<int> indices;
    if (ops.size() == 1) {
        for (int i = 0; i < arc.FileCount(); ++i) {
            indices.push_back(i);
        }
    } else {
        for (std::size_t k = 1; k < ops.size(); ++k) {
            std::string name = EntryNameArg(ops[k]);
            int i = arc.IndexOfFile(StoredEntryName(arc, name));
            if (i < 0) {
                PrintError(Format(msg::NotFoundInArchive, Printable(name)));
                ++problems;
            } else {
                indices.push_back(i);
            }
        }
    }

    const int dirFd = OpenTargetFolder(target);
    struct FdCloser {
        int Fd;
        ~FdCloser() { ::close(Fd); }
    } closer{dirFd};
    std::set<std::string> written;
    for (int i : indices) {
        const std::string name = ArchiveText(arc.GetFileEntry(i).FullName());
        std::string reason = UnsafeEntryNameReason(name);
        if (!reason.empty()) {
            PrintError(Format("skipped \"%s\": %s", Printable(name), reason));
            ++problems;
            continue;
        }
        if (!written.insert(name).second) {
            // The viewer sees only the first of two equal names, so that one stays.
            PrintWarning(
                Format("\"%s\" occurs again in the archive; keeping the first", Printable(name)));
            continue;
        }
        try {
            TMemoryStream content;
            arc.ExtractIndexToStream(i, content, nullptr);
            WriteFileBelow(dirFd, SplitEntryName(name), content.Memory(),
                           static_cast<std::size_t>(content.Size()));
        } catch (const Exception& e) {
            PrintError(Format("%s: %s", Printable(name), e.Message()));
            ++problems;
        }
    }
    return problems == 0 ? kExitOk : kExitFailure;
}

int RunVerify(std::vector<std::string> args) {
    ArgReader r(kVerify, std::move(args));
    auto ops = Operands(r);
    if (ops.size() != 1) {
        throw UsageError{&kVerify, ops.empty() ? "no archive given" : "too many arguments"};
    }
    TZLBArc2 arc(nullptr);
    OpenForReading(arc, ops[0]);
    int failures = 0;
    {
        TFileStream file(ops[0], fmOpenRead | fmShareDenyWrite);
        std::uint32_t crc = StreamCRC32(file, arc.BaseOffset(), kTrailerSize);
        if (crc != arc.Trailer().ArchiveCRC) {
            std::printf("archive CRC mismatch: stored %08x, computed %08x\n",
                        arc.Trailer().ArchiveCRC, crc);
            ++failures;
        }
    }
    const int count = arc.FileCount();
    for (int i = 0; i < count; ++i) {
        TArchiveEntry e = arc.GetFileEntry(i);
        try {
            TMemoryStream content;
            arc.ExtractIndexToStream(i, content, nullptr);
            if (content.Size() != e.UncompressedSize) {
                throw Exception(Format("content is %d bytes, the directory says %d", content.Size(),
                                       e.UncompressedSize));
            }
        } catch (const Exception& ex) {
            std::printf("%s: %s\n", ShownName(e).c_str(), ArchiveText(ex.Message()).c_str());
            ++failures;
        }
    }
    if (failures > 0) {
        std::fflush(stdout);
        PrintError(Format("%s: %d problem(s) found", ops[0], failures));
        return kExitFailure;
    }
    std::printf("OK: %d entries, archive CRC %08x\n", count, arc.Trailer().ArchiveCRC);
    return kExitOk;
}

int RunInfo(std::vector<std::string> args) {
    ArgReader r(kInfo, std::move(args));
    auto ops = Operands(r);
    if (ops.size() != 1) {
        throw UsageError{&kInfo, ops.empty() ? "no archive given" : "too many arguments"};
    }
    TZLBArc2 arc(nullptr);
    OpenForReading(arc, ops[0]);
    const TArchiveTrailer& t = arc.Trailer();
    std::ostringstream os;
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", t.ArchiveCRC);
    os << "Version: " << t.Version << "\n"
       << "Entries: " << t.EntryCount << "\n"
       << "Directory size: " << t.DirectorySize
       << (t.DirectoryCompressed ? " (compressed)" : " (raw)") << "\n"
       << "Data size: " << t.DataSize << "\n"
       << "Base offset: " << arc.BaseOffset() << "\n"
       << "Archive CRC: " << crc << "\n";
    int status = kExitOk;
    if (arc.IndexOfFile(kLogoEntryName) >= 0) {
        os << "Logo: " << arc.GetFileEntry(arc.IndexOfFile(kLogoEntryName)).UncompressedSize
           << " bytes\n";
    }
    if (arc.IndexOfFile(kConfigEntryName) >= 0) {
        try {
            TMemoryStream rec;
            arc.ExtractToStream(rec, kConfigEntryName);
            auto size = static_cast<std::size_t>(rec.Size());
            os << "Project options:";
            if (size != kProjectOptionsRecordSize) {
                os << " (record of " << size << " bytes, expected " << kProjectOptionsRecordSize
                   << ")";
            }
            os << "\n";
            TProjectOptionsRecord opts = TProjectOptionsRecord::Decode(rec.Memory(), size);
            for (const auto& [name, value] : OptionTexts(opts)) {
                os << "  " << name << " = " << Printable(ArchiveText(value)) << "\n";
            }
            if (!opts.ToolText.empty()) {
                os << "  (written by " << Printable(ArchiveText(opts.ToolText)) << ")\n";
            }
        } catch (const Exception& e) {
            std::string text = os.str();
            WriteStdout(text.data(), text.size());
            os.str("");
            PrintError(Format("%s: %s", kConfigEntryName, e.Message()));
            status = kExitFailure;
        }
    } else {
        os << "Project options: none\n";
    }
    std::string text = os.str();
    WriteStdout(text.data(), text.size());
    return status;
}

int Run(int argc, char** argv) {
    std::vector<std::string> all(argv + 1, argv + argc);
    if (all.empty()) {
        std::cerr << kTopHelp;
        return kExitUsage;
    }
    const std::string name = all[0];
    if (name == "--help" || name == "-h" || name == "help") {
        if (name == "help" && all.size() > 1) {
            for (const Command* c : kCommands) {
                if (all[1] == c->Name) {
                    std::cout << "Usage: " << c->Usage << "\n\n" << c->Help;
                    return kExitOk;
                }
            }
        }
        std::cout << kTopHelp;
        return kExitOk;
    }
    if (name == "--version" || name == "-V") {
        std::cout << "kvb " KVB_VERSION "\n";
        return kExitOk;
    }
    std::vector<std::string> args(all.begin() + 1, all.end());
    const Command* cmd = nullptr;
    for (const Command* c : kCommands) {
        if (name == c->Name) {
            cmd = c;
        }
    }
    try {
        if (!cmd) {
            throw UsageError{nullptr, Format("unknown command \"%s\"", name)};
        }
        if (WantsHelp(args)) {
            std::cout << "Usage: " << cmd->Usage << "\n\n" << cmd->Help;
            return kExitOk;
        }
        if (cmd == &kPack) {
            return RunPack(std::move(args));
        }
        if (cmd == &kList) {
            return RunList(std::move(args));
        }
        if (cmd == &kCat) {
            return RunCat(std::move(args));
        }
        if (cmd == &kExtract) {
            return RunExtract(std::move(args));
        }
        if (cmd == &kVerify) {
            return RunVerify(std::move(args));
        }
        return RunInfo(std::move(args));
    } catch (const UsageError& u) {
        PrintError(u.Message);
        if (u.Cmd) {
            std::cerr << "Usage: " << u.Cmd->Usage << "\nTry 'kvb " << u.Cmd->Name << " --help'.\n";
        } else {
            std::cerr << "Try 'kvb --help'.\n";
        }
        return kExitUsage;
    } catch (const Exception& e) {
        PrintError(e.Message());
        return kExitFailure;
    } catch (const std::bad_alloc&) {
        PrintError("out of memory");
        return kExitFailure;
    } catch (const std::exception& e) {
        PrintError(e.what());
        return kExitFailure;
    }
}

} // namespace
} // namespace kiva

int main(int argc, char** argv) {
    return kiva::Run(argc, argv);
}
