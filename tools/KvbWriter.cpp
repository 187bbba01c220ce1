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
#include <unordered_map>

#include "FileDescriptor.h"
#include "KvbDescriptorStream.h"
#include "KvbExtract.h"
#include "KvbPendingFile.h"

namespace kiva {

namespace {

constexpr std::size_t kMaxShortText = 255;
constexpr std::size_t kChunk = 64 * 1024;

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

// A deflater for one zlib stream at the default level; ended on every path.
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

class Deflater {
public:
    Deflater() {
        if (deflateInit(&z_, Z_DEFAULT_COMPRESSION) != Z_OK) {
            throw EPackError("cannot start the zlib compressor (out of memory?)");
        }
    }
    ~Deflater() { deflateEnd(&z_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Compresses len bytes (finishing the stream when last is set) and passes every produced
    // block to sink.
    template <class Sink>
    void Feed(const std::uint8_t* data, std::size_t len, bool last, Sink&& sink) {
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = static_cast<uInt>(len);
        int flush = last ? Z_FINISH : Z_NO_FLUSH;
        for (;;) {
            z_.next_out = out_;
            z_.avail_out = sizeof(out_);
            int rc = deflate(&z_, flush);
            if (rc == Z_STREAM_ERROR) {
                throw EPackError("the zlib compressor failed");
            }
            std::size_t produced = sizeof(out_) - z_.avail_out;
            if (produced > 0) {
                sink(out_, produced);
            }
            if (last ? rc == Z_STREAM_END : z_.avail_in == 0 && z_.avail_out != 0) {
                break;
            }
        }
    }

private:
    z_stream z_{};
    std::uint8_t out_[kChunk];
};

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
    if (settings_.Format == 1 && st.st_size > INT32_MAX) {
        throw EPackError(
            Format("\"%s\" is too large for the version-1 layout (2 GiB at most)", sourceFile));
    }
    AddItem(TPackItem{std::move(path),
                      std::move(name),
                      std::move(sourceFile),
                      {},
                      static_cast<std::int64_t>(st.st_size)});
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
    std::vector<std::string> names;
    {
        DirHandle d(::opendir(dir.c_str()));
        if (!d) {
            throw EPackError(SysError("cannot read folder", dir));
        }
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
    }
    std::sort(names.begin(), names.end());

    struct Sub {
        std::string Name;
        std::pair<std::uint64_t, std::uint64_t> Id;
    };
    std::vector<Sub> folders;
    auto skip = [&](const std::string& source, const std::string& why) {
        if (OnWarning) {
            OnWarning(Format("skipping \"%s\": %s", Printable(source), why));
        }
    };
    for (const std::string& n : names) {
        const std::string source = JoinPath(dir, n);
        // The path below the site with slashes, as exclusion patterns see it.
        std::string relative = path + n;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        struct stat st {};
        if (::stat(source.c_str(), &st) != 0) {
            struct stat lst {};
            if (::lstat(source.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
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
        AddFile(path, n, source);
    }
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
    std::uint32_t archiveCrc = 0xFFFFFFFFu;
    std::int64_t offset = 0;
    auto emit = [&](const std::uint8_t* p, std::size_t n) {
        out.WriteBuffer(p, static_cast<std::int64_t>(n));
        archiveCrc = UpdateCRC32(archiveCrc, p, n);
        offset += static_cast<std::int64_t>(n);
    };
    auto tooLargeForV1 = [&](std::int64_t v) { return v1 && v > INT32_MAX; };

    const std::int64_t total = TotalBytes();
    std::int64_t done = 0;
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kChunk]);
    for (const TPackItem& it : items_) {
        TArchiveEntry e;
        e.Name = TShortString::From(it.Name);
        e.Path = TShortString::From(it.Path);
        e.DataOffset = offset;
        std::unique_ptr<TFileStream> file;
        if (!it.SourceFile.empty()) {
            file = std::make_unique<TFileStream>(it.SourceFile, fmOpenRead | fmShareDenyWrite);
        }
        std::size_t memPos = 0;
        // The next block of content, from the file or from memory; 0 at the end.
        auto next = [&]() -> std::size_t {
            std::size_t n;
            if (file) {
                n = static_cast<std::size_t>(file->Read(buf.get(), kChunk));
            } else {
                n = std::min(kChunk, it.Data.size() - memPos);
                std::memcpy(buf.get(), it.Data.data() + memPos, n);
                memPos += n;
            }
            done += static_cast<std::int64_t>(n);
            if (OnProgress && n > 0) {
                OnProgress(done, total);
            }
            return n;
        };

        std::uint32_t crc = 0xFFFFFFFFu;
        std::int64_t size = 0;
        std::size_t n = next();
        auto store = [&](std::size_t first) {
            e.Method = emStored;
            e.Level = fcNone;
            for (n = first; n > 0; n = next()) {
                crc = UpdateCRC32(crc, buf.get(), n);
                size += static_cast<std::int64_t>(n);
                emit(buf.get(), n);
            }
        };
        if (n == 0) {
            // Nothing to inflate: an empty entry takes no bytes and shares its offset.
            e.Method = emStored;
            e.Level = fcNone;
        } else if (settings_.Stored || IsCompressedFormat(it.Name)) {
            store(n);
        } else {
            const std::uint32_t archiveCrcBefore = archiveCrc;
            const std::int64_t doneBefore = done - static_cast<std::int64_t>(n);
            e.Method = emCompressed;
            e.Level = fcDefault;
            Deflater z;
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
            e.CompressedSize = compressed;
            if (compressed >= size) {
                // Deflate could not shrink it: it is kept as it is instead, where readers
                // reach any of its bytes at once.
                out.Seek(-compressed, TSeekOrigin::soCurrent);
                offset -= compressed;
                archiveCrc = archiveCrcBefore;
                done = doneBefore;
                if (file) {
                    file->SetPosition(0);
                }
                memPos = 0;
                crc = 0xFFFFFFFFu;
                size = 0;
                e.CompressedSize = 0;
                store(next());
            }
        }
        e.UncompressedSize = size;
        e.CRC = size == 0 ? 0 : ~crc;
        if (tooLargeForV1(e.DataOffset) || tooLargeForV1(e.UncompressedSize) ||
            tooLargeForV1(e.CompressedSize) || tooLargeForV1(offset)) {
            throw EPackError(Format("\"%s%s\" does not fit the version-1 layout, whose sizes "
                                    "and offsets stop at 2 GiB",
                                    it.Path, it.Name));
        }
        result.Entries.push_back(e);
    }
    const std::int64_t dataSize = offset;

    const int recSize = TArchiveEntry::RecordSize(settings_.Format);
    std::vector<std::uint8_t> dir(result.Entries.size() * static_cast<std::size_t>(recSize));
    for (std::size_t i = 0; i < result.Entries.size(); ++i) {
        result.Entries[i].Encode(dir.data() + i * static_cast<std::size_t>(recSize),
                                 settings_.Format);
    }
    if (settings_.RawDirectory) {
        emit(dir.data(), dir.size());
    } else {
        Deflater z;
        z.Feed(dir.data(), dir.size(), true, emit);
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
    out.WriteBuffer(raw, kTrailerSize);
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
