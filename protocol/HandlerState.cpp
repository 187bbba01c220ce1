#include "HandlerState.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include "FileDescriptor.h"
#include "SysUtils.h"

namespace kiva {

namespace {

// The process-wide state of the handler's unit.
struct THandlerUnit {
    std::unique_ptr<TStringList> Log;
    std::size_t LogBytes = 0;
    std::unique_ptr<TStringList> TempFiles;
    // The private folder of the temporary files, created with the first of them.
    std::string TempFolder;
    // Which file holds which entry (by lower-cased entry name), so that a file is reused only
    // for the entry it was written for.
    std::map<std::string, std::string> FileOfEntry;
    std::set<std::string> UsedPaths;

    // The safety net of a program that ends without finalising the unit: its temporary files
    // must not outlive it.
    ~THandlerUnit() { Finalize(); }

    void Finalize();
};

THandlerUnit& Unit() {
    static THandlerUnit unit;
    return unit;
}

const TStringList& EmptyList() {
    static const TStringList empty;
    return empty;
}

// The file-name part of an entry name made safe as one name in a folder: no separators or
// control characters, never "." or "..", never empty, at most 255 bytes with the extension kept.
std::string SafeFileName(std::string name) {
    for (char& c : name) {
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) {
            c = '_';
        }
    }
    if (name.empty()) {
        name = "entry";
    }
    if (name == "." || name == "..") {
        std::replace(name.begin(), name.end(), '.', '_');
    }
    constexpr std::size_t kMaxName = 255;
    if (name.size() > kMaxName) {
        std::string ext = name.substr(std::min(name.find_last_of('.'), name.size()));
        if (ext.size() > 32) {
            ext.clear();
        }
        name = name.substr(0, kMaxName - ext.size()) + ext;
    }
    return name;
}

std::mutex& TempFolderMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string EnsureTempFolder() {
    std::lock_guard lock(TempFolderMutex());
    auto& u = Unit();
    if (u.TempFolder.empty()) {
        std::string pattern = SystemTempDir() + "kivabook-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            throw EFCreateError(
                Format("Cannot create folder \"%s\". %s", pattern, std::strerror(errno)));
        }
        u.TempFolder = pattern;
    }
    return u.TempFolder;
}

// A path in the private folder for the file name; a name already used for another entry goes
// into a numbered sub-folder, so that every entry keeps its own file under its own name.
std::string NewTempPath(const std::string& fileName) {
    auto& u = Unit();
    const std::string folder = EnsureTempFolder();
    std::string path = folder + "/" + fileName;
    for (int n = 2; u.UsedPaths.count(path) != 0; ++n) {
        const std::string sub = folder + "/" + std::to_string(n);
        if (mkdir(sub.c_str(), 0700) != 0 && errno != EEXIST) {
            throw EFCreateError(
                Format("Cannot create folder \"%s\". %s", sub, std::strerror(errno)));
        }
        path = sub + "/" + fileName;
    }
    u.UsedPaths.insert(path);
    return path;
}

// Writes a file that must not exist yet; nothing that stands at the path is ever followed,
// reused or overwritten. A failed write leaves no file behind.
void WriteNewFile(const std::string& path, TMemoryStream& data) {
    TFileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.Get() < 0) {
        throw EFCreateError(Format("Cannot create file \"%s\". %s", path, std::strerror(errno)));
    }
    if (!WriteAll(fd.Get(), data.Memory(), data.Size()) || !fd.Close()) {
        ::unlink(path.c_str());
        throw EWriteError();
    }
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

} // namespace

std::string SystemTempDir() {
    std::string dir = "/tmp";
    for (const char* var : {"TMPDIR", "TMP", "TEMP"}) {
        const char* v = std::getenv(var);
        struct stat st {};
        if (v && *v && stat(v, &st) == 0 && S_ISDIR(st.st_mode)) {
            dir = v;
            break;
        }
    }
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(dir, ec).lexically_normal();
    if (!ec && full.native().size() < 4096) {
        dir = full.native();
    }
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

void HandlerStateInit() {
    auto& u = Unit();
    if (!u.Log) {
        u.Log = std::make_unique<TStringList>();
    }
    if (!u.TempFiles) {
        u.TempFiles = std::make_unique<TStringList>();
    }
}

void THandlerUnit::Finalize() {
    if (TempFiles) {
        for (const std::string& path : TempFiles->Items()) {
            ::unlink(path.c_str());
        }
    }
    // The folder is the process's own: whatever else is left in it goes with it.
    if (!TempFolder.empty()) {
        nftw(TempFolder.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        TempFolder.clear();
    }
    FileOfEntry.clear();
    UsedPaths.clear();
    Log.reset();
    LogBytes = 0;
    TempFiles.reset();
}

void HandlerStateFinal() {
    Unit().Finalize();
}

void HandlerTrace(std::string line) {
    auto& u = Unit();
    if (!u.Log) {
        return;
    }
    if (line.size() > kHandlerLogLineLimit) {
        line.resize(kHandlerLogLineLimit - 3);
        line += "...";
    }
    u.LogBytes += line.size();
    u.Log->Add(std::move(line));
    if (u.Log->Count() < 2 * kHandlerLogLimit && u.LogBytes <= kHandlerLogByteLimit) {
        return;
    }
    // Cut back to the newest lines that fill half the room, so that trimming stays rare.
    const auto& items = u.Log->Items();
    std::size_t first = items.size();
    std::size_t bytes = 0;
    while (first > 0 && items.size() - first < static_cast<std::size_t>(kHandlerLogLimit) &&
           bytes + items[first - 1].size() <= kHandlerLogByteLimit / 2) {
        bytes += items[--first].size();
    }
    auto kept = std::make_unique<TStringList>();
    for (std::size_t i = first; i < items.size(); ++i) {
        kept->Add(items[i]);
    }
    u.Log = std::move(kept);
    u.LogBytes = bytes;
}

const TStringList& HandlerLog() {
    return Unit().Log ? *Unit().Log : EmptyList();
}
const TStringList& TempFileList() {
    return Unit().TempFiles ? *Unit().TempFiles : EmptyList();
}
std::string HandlerTempFolder() {
    std::lock_guard lock(TempFolderMutex());
    return Unit().TempFolder;
}

std::string TempFileOfEntry(const std::string& name,
                            const std::function<void(TMemoryStream&)>& extract) {
    auto& u = Unit();
    if (!u.TempFiles) {
        throw Exception("The protocol handler is not initialised");
    }
    const std::string key = AnsiLowerCaseAscii(name);
    const auto known = u.FileOfEntry.find(key);
    if (known != u.FileOfEntry.end() && IsRegularFile(known->second)) {
        return known->second;
    }
    TMemoryStream stream;
    extract(stream);
    const std::string path = known != u.FileOfEntry.end()
                                 ? known->second
                                 : NewTempPath(SafeFileName(ExtractFileName(name)));
    WriteNewFile(path, stream);
    u.TempFiles->Add(path);
    u.FileOfEntry[key] = path;
    return path;
}

} // namespace kiva
