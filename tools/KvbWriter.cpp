#include "KvbWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <unordered_map>

#include "FileDescriptor.h"
#include "KvbDescriptorStream.h"
#include "KvbExtract.h"
#include "KvbPendingFile.h"
#include "PackStreams.h"

namespace kiva {

namespace {

constexpr std::size_t kMaxShortText = 255;
constexpr std::size_t kChunk = 64 * 1024;
// Files up to this size are read whole and deflated in memory, so that the stored/deflated
// choice needs no second read and their bytes go out with the next large write.
constexpr std::int64_t kWholeFileLimit = std::int64_t(1) << 20;
// Directory records are encoded and deflated this many at a time, never all at once.
constexpr std::size_t kRecordBatch = 1024;

struct DirCloser {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (!dir.empty() && dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

std::string SysError(const std::string& what, const std::string& file) {
    return Format("%s \"%s\": %s", what, file, std::strerror(errno));
}

// Files that are compressed already: deflating them again gains nothing, and stored as they
// are, a reader reaches any of their bytes at once (a video seeks without inflating).
bool IsCompressedFormat(std::string_view name) {
    static const char* const kExtensions[] = {
        ".webm", ".mp4",  ".m4v", ".m4a", ".mov",  ".mkv", ".mp3",  ".ogg",   ".ogv",  ".oga",
        ".opus", ".flac", ".aac", ".jpg", ".jpeg", ".png", ".gif",  ".webp",  ".avif", ".zip",
        ".gz",   ".tgz",  ".bz2", ".xz",  ".7z",   ".zst", ".woff", ".woff2",
    };
    const std::string ext = AnsiLowerCaseAscii(ExtractFileExt(name));
    return std::find(std::begin(kExtensions), std::end(kExtensions), ext) != std::end(kExtensions);
}

// An entry whose content comes from a file of size bytes.
TPackItem SourceItem(const TPackSettings& settings, std::string path, std::string name,
                     std::string sourceFile, std::int64_t size) {
    if (settings.Format == 1 && size > INT32_MAX) {
        throw EPackError(
            Format("\"%s\" is too large for the version-1 layout (2 GiB at most)", sourceFile));
    }
    return TPackItem{std::move(path), std::move(name), std::move(sourceFile), {}, size};
}

} // namespace

std::string InvalidNameReason(const std::string& component) {
    if (component.empty()) {
        return "is empty";
    }
    if (component == "." || component == "..") {
        return "is \".\" or \"..\"";
    }
    for (char c : component) {
        auto b = static_cast<unsigned char>(c);
        if (c == '\\') {
            return "contains a backslash, which the archive uses between folders";
        }
        if (c == '/') {
            return "contains a slash";
        }
        if (b < 0x20 || b == 0x7F) {
            return "contains a control character";
        }
    }
    return std::string();
}

void TKvbWriter::CheckName(const std::string& path, const std::string& name) const {
    std::string full = path + name;
    if (name.size() > kMaxShortText) {
        throw EPackError(
            Format("name of \"%s\" is %d bytes long; at most 255 fit", full, name.size()));
    }
    if (path.size() > kMaxShortText) {
        throw EPackError(
            Format("folder of \"%s\" is %d bytes long; at most 255 fit", full, path.size()));
    }
    std::string reason = InvalidNameReason(name);
    if (!reason.empty()) {
        throw EPackError(Format("cannot pack \"%s\": the name %s", full, reason));
    }
    if (!path.empty()) {
        if (path.back() != '\\' || path.front() == '\\') {
            throw EPackError(Format("bad folder \"%s\": folders end in a backslash and do not "
                                    "start with one",
                                    path));
        }
        std::size_t start = 0;
        while (start < path.size()) {
            std::size_t end = path.find('\\', start);
            reason = InvalidNameReason(path.substr(start, end - start));
            if (!reason.empty()) {
                throw EPackError(Format("cannot pack \"%s\": a folder name %s", full, reason));
            }
            start = end + 1;
        }
    }
    const auto known = names_.find(AnsiLowerCaseAscii(full));
    if (known != names_.end()) {
        const TPackItem& it = items_[known->second];
        const std::string other = it.Path + it.Name;
        throw EPackError(other == full ? Format("\"%s\" is added twice", full)
                                       : Format("\"%s\" and \"%s\" differ only in letter case; the "
                                                "viewer could reach only the first",
                                                other, full));
    }
}

void TKvbWriter::AddItem(TPackItem item) {
    names_.emplace(AnsiLowerCaseAscii(item.Path + item.Name), items_.size());
    items_.push_back(std::move(item));
}

void TKvbWriter::AddFile(std::string path, std::string name, std::string sourceFile) {
    CheckName(path, name);
    struct stat st {};
    if (::stat(sourceFile.c_str(), &st) != 0) {
        throw EPackError(SysError("cannot read", sourceFile));
    }
    if (!S_ISREG(st.st_mode)) {
        throw EPackError(Format("\"%s\" is not a regular file", sourceFile));
    }
    AddItem(
        SourceItem(settings_, std::move(path), std::move(name), std::move(sourceFile), st.st_size));
}

void TKvbWriter::AddData(std::string path, std::string name, std::vector<std::uint8_t> data) {
    CheckName(path, name);
    auto size = static_cast<std::int64_t>(data.size());
    AddItem(TPackItem{std::move(path), std::move(name), {}, std::move(data), size});
}

void TKvbWriter::AddSite(const std::string& dir, const std::string& skipFile) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        throw EPackError(SysError("cannot read site folder", dir));
    }
    if (!S_ISDIR(st.st_mode)) {
        throw EPackError(Format("\"%s\" is not a folder", dir));
    }
    std::pair<std::uint64_t, std::uint64_t> skip;
    bool haveSkip = false;
    struct stat sk {};
    if (!skipFile.empty() && ::stat(skipFile.c_str(), &sk) == 0) {
        skip = {sk.st_dev, sk.st_ino};
        haveSkip = true;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> walking{{st.st_dev, st.st_ino}};
    AddFolder(dir, std::string(), walking, haveSkip ? &skip : nullptr);
}

void TKvbWriter::AddFolder(const std::string& dir, const std::string& path,
                           std::vector<std::pair<std::uint64_t, std::uint64_t>>& walking,
                           const std::pair<std::uint64_t, std::uint64_t>* skipFile) {
    DirHandle d(::opendir(dir.c_str()));
    if (!d) {
        throw EPackError(SysError("cannot read folder", dir));
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(d.get())) {
        std::string n = e->d_name;
        if (n != "." && n != "..") {
            names.push_back(std::move(n));
        }
        errno = 0;
    }
    if (errno != 0) {
        throw EPackError(SysError("cannot read folder", dir));
    }
    std::sort(names.begin(), names.end());

    struct Sub {
        std::string Name;
        std::pair<std::uint64_t, std::uint64_t> Id;
    };
    std::vector<Sub> folders;
    // Names are looked up in the open folder: a site of a million files would otherwise walk
    // its whole path once for each of them.
    const int dirFd = ::dirfd(d.get());
    auto skip = [&](const std::string& source, const std::string& why) {
        if (OnWarning) {
            OnWarning(Format("skipping \"%s\": %s", Printable(source), why));
        }
    };
    for (const std::string& n : names) {
        std::string source = JoinPath(dir, n);
        // The path below the site with slashes, as exclusion patterns see it.
        std::string relative = path + n;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        struct stat st {};
        if (::fstatat(dirFd, n.c_str(), &st, 0) != 0) {
            struct stat lst {};
            if (::fstatat(dirFd, n.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(lst.st_mode)) {
                if (!Exclude || !Exclude(relative, false)) {
                    skip(source, "it is a broken symbolic link");
                }
                continue;
            }
            throw EPackError(SysError("cannot read", source));
        }
        const bool isFolder = S_ISDIR(st.st_mode);
        if (Exclude && Exclude(relative, isFolder)) {
            continue;
        }
        // A file that cannot become an entry is left out with a word, so that one odd file
        // never costs the whole book.
        std::string reason = InvalidNameReason(n);
        if (!reason.empty()) {
            skip(source, "its name " + reason);
            continue;
        }
        if (n.size() > kMaxShortText) {
            skip(source, Format("its name is %d bytes long; at most 255 fit", n.size()));
            continue;
        }
        if (isFolder) {
            if (path.size() + n.size() + 1 > kMaxShortText) {
                skip(source, "its path below the site is longer than the 255 bytes a folder "
                             "name in a book can hold");
                continue;
            }
            folders.push_back({n, {st.st_dev, st.st_ino}});
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            skip(source, "it is neither a file nor a folder (a pipe, socket or device)");
            continue;
        }
        if (skipFile && skipFile->first == st.st_dev && skipFile->second == st.st_ino) {
            continue;
        }
        if (path.empty() &&
            (SameTextAscii(n, kConfigEntryName) || SameTextAscii(n, kLogoEntryName))) {
            throw EPackError(Format("\"%s\": the names -config- and -logo- are reserved for the "
                                    "project's own entries",
                                    source));
        }
        // The folder walk has looked at the file already; no second look is needed.
        CheckName(path, n);
        AddItem(SourceItem(settings_, path, n, std::move(source), st.st_size));
    }
    d.reset();
    for (const Sub& f : folders) {
        if (std::find(walking.begin(), walking.end(), f.Id) != walking.end()) {
            if (OnWarning) {
                OnWarning(Format("skipping \"%s\": it leads back into a folder being packed",
                                 Printable(JoinPath(dir, f.Name))));
            }
            continue;
        }
        walking.push_back(f.Id);
        AddFolder(JoinPath(dir, f.Name), path + f.Name + "\\", walking, skipFile);
        walking.pop_back();
    }
}

std::int64_t TKvbWriter::TotalBytes() const {
    std::int64_t total = 0;
    for (const TPackItem& it : items_) {
        total += it.ExpectedSize;
    }
    return total;
}

TPackResult TKvbWriter::Write(TStream& out) {
    if (settings_.Format != 1 && settings_.Format != 2) {
        throw EPackError(Format("unknown archive layout version %u (1 or 2)", settings_.Format));
    }
    const bool v1 = settings_.Format == 1;
    TPackResult result;
    result.Entries.reserve(items_.size());
    TBufferedOutput output(out);
    std::uint32_t archiveCrc = 0xFFFFFFFFu;
    std::int64_t offset = 0;
    auto emit = [&](const std::uint8_t* p, std::size_t n) {
        output.Write(p, n);
        archiveCrc = UpdateCRC32(archiveCrc, p, n);
        offset += static_cast<std::int64_t>(n);
    };
    auto tooLargeForV1 = [&](std::int64_t v) { return v1 && v > INT32_MAX; };

    const std::int64_t total = TotalBytes();
    std::int64_t done = 0;
    auto progress = [&](std::size_t n) {
        done += static_cast<std::int64_t>(n);
        if (OnProgress && n > 0) {
            OnProgress(done, total);
        }
    };
    TDeflaterCache deflaters;
    TSourceQueue sources(
        [this](std::size_t i) -> const std::string& { return items_[i].SourceFile; },
        items_.size());
    std::vector<std::uint8_t> whole;  // a small file's content
    std::vector<std::uint8_t> packed; // its zlib stream
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kChunk]);
    for (std::size_t index = 0; index < items_.size(); ++index) {
        const TPackItem& it = items_[index];
        // Filled where it is kept: a million copies of 560-byte records cost a measurable part
        // of the pack.
        TArchiveEntry& e = result.Entries.emplace_back();
        e.Name = TShortString::From(it.Name);
        e.Path = TShortString::From(it.Path);
        e.DataOffset = offset;
        e.Method = emStored;
        e.Level = fcNone;
        const std::string source = it.Path + it.Name;
        std::optional<TSourceFile> file;
        if (!it.SourceFile.empty()) {
            file.emplace(sources.Take(index));
        }
        const bool keepAsIs = settings_.Stored || IsCompressedFormat(it.Name);

        if (!file || file->Size() <= kWholeFileLimit) {
            // The whole content in memory: deflated there, and kept as it is when that does
            // not shrink it.
            const std::uint8_t* content = it.Data.data();
            std::size_t size = it.Data.size();
            if (file) {
                size = file->ReadWhole(whole);
                content = whole.data();
            }
            e.UncompressedSize = static_cast<std::int64_t>(size);
            e.CRC = size == 0 ? 0 : ~UpdateCRC32(0xFFFFFFFFu, content, size);
            progress(size);
            packed.clear();
            if (size > 0 && !keepAsIs) {
                TDeflater& z = deflaters.For(static_cast<std::int64_t>(size));
                auto sink = [&](const std::uint8_t* p, std::size_t len) {
                    packed.insert(packed.end(), p, p + len);
                };
                for (std::size_t at = 0; at < size;) {
                    const std::size_t n = std::min(TDeflater::kOutputChunk, size - at);
                    z.Feed(content + at, n, at + n == size, sink);
                    at += n;
                }
            }
            if (!packed.empty() && packed.size() < size) {
                e.Method = emCompressed;
                e.Level = fcDefault;
                e.CompressedSize = static_cast<std::int64_t>(packed.size());
                emit(packed.data(), packed.size());
            } else {
                emit(content, size);
            }
        } else {
            // A large file streams through in chunks; deflated first, and read again and kept
            // as it is when deflate could not shrink it.
            std::uint32_t crc = 0xFFFFFFFFu;
            std::int64_t size = 0;
            auto next = [&]() {
                const std::size_t n = file->Read(buf.get(), kChunk);
                progress(n);
                return n;
            };
            auto store = [&](std::size_t first) {
                for (std::size_t n = first; n > 0; n = next()) {
                    crc = UpdateCRC32(crc, buf.get(), n);
                    size += static_cast<std::int64_t>(n);
                    emit(buf.get(), n);
                }
            };
            const std::uint32_t archiveCrcBefore = archiveCrc;
            const std::int64_t doneBefore = done;
            std::size_t n = next();
            if (keepAsIs || n == 0) {
                store(n);
            } else {
                TDeflater& z = deflaters.For(file->Size());
                std::int64_t compressed = 0;
                auto sink = [&](const std::uint8_t* p, std::size_t len) {
                    emit(p, len);
                    compressed += static_cast<std::int64_t>(len);
                };
                while (n > 0) {
                    crc = UpdateCRC32(crc, buf.get(), n);
                    size += static_cast<std::int64_t>(n);
                    z.Feed(buf.get(), n, false, sink);
                    n = next();
                }
                z.Feed(nullptr, 0, true, sink);
                if (compressed < size) {
                    e.Method = emCompressed;
                    e.Level = fcDefault;
                    e.CompressedSize = compressed;
                } else {
                    // Kept as it is instead, where readers reach any of its bytes at once.
                    output.Flush();
                    out.Seek(-compressed, TSeekOrigin::soCurrent);
                    offset -= compressed;
                    archiveCrc = archiveCrcBefore;
                    done = doneBefore;
                    file->Rewind();
                    crc = 0xFFFFFFFFu;
                    size = 0;
                    store(next());
                }
            }
            e.UncompressedSize = size;
            e.CRC = size == 0 ? 0 : ~crc;
        }
        if (tooLargeForV1(e.DataOffset) || tooLargeForV1(e.UncompressedSize) ||
            tooLargeForV1(e.CompressedSize) || tooLargeForV1(offset)) {
            throw EPackError(Format("\"%s\" does not fit the version-1 layout, whose sizes "
                                    "and offsets stop at 2 GiB",
                                    source));
        }
    }
    const std::int64_t dataSize = offset;

    // The directory goes out a batch of records at a time: for a million entries it would
    // otherwise take half a gigabyte at once.
    const auto recSize = static_cast<std::size_t>(TArchiveEntry::RecordSize(settings_.Format));
    std::vector<std::uint8_t> batch(kRecordBatch * recSize);
    std::optional<TDeflater> dirZ;
    if (!settings_.RawDirectory) {
        dirZ.emplace();
    }
    for (std::size_t first = 0; first < result.Entries.size(); first += kRecordBatch) {
        const std::size_t n = std::min(kRecordBatch, result.Entries.size() - first);
        for (std::size_t k = 0; k < n; ++k) {
            result.Entries[first + k].Encode(batch.data() + k * recSize, settings_.Format);
        }
        if (dirZ) {
            dirZ->Feed(batch.data(), n * recSize, false, emit);
        } else {
            emit(batch.data(), n * recSize);
        }
    }
    if (dirZ) {
        dirZ->Feed(nullptr, 0, true, emit);
    }
    const std::int64_t dirSize = offset - dataSize;
    if (dirSize > UINT32_MAX || result.Entries.size() > UINT32_MAX) {
        throw EPackError("too many entries for one archive");
    }

    TArchiveTrailer& t = result.Trailer;
    t.ArchiveCRC = ~archiveCrc;
    t.EntryCount = static_cast<std::uint32_t>(result.Entries.size());
    t.Version = settings_.Format;
    t.DirectorySize = static_cast<std::uint32_t>(dirSize);
    t.DataSize = dataSize;
    t.DirectoryCompressed = settings_.RawDirectory ? 0 : 1;
    std::uint8_t raw[kTrailerSize] = {};
    t.Encode(raw);
    output.Write(raw, kTrailerSize);
    output.Flush();
    // An entry that was stored after all leaves its longer deflated form behind the end.
    if (out.Size() > out.Position()) {
        out.SetSize(out.Position());
    }
    result.ArchiveSize = offset + kTrailerSize;
    return result;
}

namespace {

std::unique_ptr<TFileStream> OpenViewer(const std::string& viewerExe) {
    if (viewerExe.empty()) {
        return nullptr;
    }
    struct stat st {};
    if (::stat(viewerExe.c_str(), &st) != 0) {
        throw EPackError(SysError("cannot read viewer", viewerExe));
    }
    if (!S_ISREG(st.st_mode)) {
        throw EPackError(Format("viewer \"%s\" is not a regular file", viewerExe));
    }
    return std::make_unique<TFileStream>(viewerExe, fmOpenRead | fmShareDenyWrite);
}

// Writes the viewer (when given) and the archive at out's start.
TPackResult WriteBook(TKvbWriter& writer, TStream& out, TFileStream* exe) {
    std::int64_t base = 0;
    if (exe) {
        base = out.CopyFrom(*exe, exe->Size());
    }
    TPackResult result = writer.Write(out);
    result.ArchiveSize += base;
    return result;
}

} // namespace

TPackResult PackToFile(TKvbWriter& writer, const std::string& fileName,
                       const std::string& viewerExe) {
    struct stat st {};
    if (::stat(fileName.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw EPackError(Format("\"%s\" is a folder", fileName));
    }
    std::unique_ptr<TFileStream> exe = OpenViewer(viewerExe);
    TPendingFile out(TFileDescriptor(), fileName, fileName + ".");
    TPackResult result = WriteBook(writer, out.Stream(), exe.get());
    if (exe && ::fchmod(out.Fd(), 0755) != 0) {
        throw EPackError(SysError("cannot make executable", fileName));
    }
    out.Sync();
    out.Commit();
    return result;
}

TPackResult PackToStdout(TKvbWriter& writer, const std::string& viewerExe) {
    std::unique_ptr<TFileStream> exe = OpenViewer(viewerExe);
    // The writer goes back over entries that did not shrink, which a pipe cannot do, so the
    // book is made in a file that has no name, and copied out once complete.
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    TFileDescriptor fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd) {
        std::string name = folder + "/kvb-XXXXXX";
        fd.Reset(::mkostemp(name.data(), O_CLOEXEC));
        if (!fd) {
            throw EPackError(SysError("cannot create a temporary file in", folder));
        }
        ::unlink(name.c_str());
    }
    TFileStream* exePtr = exe.get();
    TPackResult result;
    {
        TDescriptorStream out(fd.Get(), "the temporary book");
        result = WriteBook(writer, out, exePtr);
    }
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kChunk]);
    for (std::int64_t at = 0;;) {
        const std::int64_t n = ReadAt(fd.Get(), buf.get(), kChunk, at);
        if (n <= 0) {
            break;
        }
        if (!WriteAll(STDOUT_FILENO, buf.get(), n)) {
            throw EPackError(Format("cannot write to standard output: %s", std::strerror(errno)));
        }
        at += n;
    }
    return result;
}

} // namespace kiva
