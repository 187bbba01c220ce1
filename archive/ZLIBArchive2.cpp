#include "ZLIBArchive2.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DirectoryLoader.h"

namespace kiva {

namespace {

constexpr std::int64_t kChunkSize = 4096;
// Without a progress handler nobody sees the chunks, so memory destinations take larger ones.
constexpr std::int64_t kDirectChunkSize = std::int64_t(1) << 20;
constexpr std::int64_t kStreamChunkSize = std::int64_t(256) << 10;
// Deflate cannot expand data by more than this factor, which bounds what a stored zlib stream
// may honestly claim to inflate to.
constexpr std::int64_t kMaxInflateRatio = 1032;
constexpr std::int64_t kInflateSlack = 1024;
// Room reserved ahead of inflation never exceeds this; larger content grows the stream as the
// bytes arrive, so a lying size costs nothing.
constexpr std::int64_t kMaxReserve = std::int64_t(256) << 20;
// How far past the expected bytes the reader follows a zlib stream to reach its checksum.
constexpr std::int64_t kMaxTrailingInflate = std::int64_t(1) << 20;

// The most a zlib stream of storedBytes bytes can inflate to.
std::int64_t InflateBound(std::int64_t storedBytes) {
    if (storedBytes <= 0) {
        return kInflateSlack;
    }
    if (storedBytes > (INT64_MAX - kInflateSlack) / kMaxInflateRatio) {
        return INT64_MAX;
    }
    return storedBytes * kMaxInflateRatio + kInflateSlack;
}

// Reads a zlib stream on to its end once the expected bytes are in, so that zlib checks the
// stream's Adler-32: damage that still inflates to enough bytes raises instead of passing as
// content. Bytes beyond the expected ones are ignored, as before.
void ReadToStreamEnd(TZDecompressionStream& z) {
    std::uint8_t scratch[4096];
    for (std::int64_t extra = 0; extra < kMaxTrailingInflate;) {
        const std::int64_t n = z.Read(scratch, sizeof scratch);
        if (n == 0) {
            return;
        }
        extra += n;
    }
}

// Removes a file when the scope ends, whichever way it ends.
class TTempFileGuard {
public:
    explicit TTempFileGuard(std::string name) : name_(std::move(name)) {}
    TTempFileGuard(const TTempFileGuard&) = delete;
    TTempFileGuard& operator=(const TTempFileGuard&) = delete;
    ~TTempFileGuard() { ::unlink(name_.c_str()); }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
};

// Pre-sizes a memory destination so that inflation does not reallocate as it goes.
void ReserveFor(TMemoryStream& mem, std::int64_t count) {
    const std::int64_t want = mem.Position() + std::min(count, kMaxReserve);
    if (want > mem.Capacity()) {
        try {
            mem.SetCapacity(want);
        } catch (const std::bad_alloc&) {
            // The stream grows as the bytes arrive instead.
        }
    }
}

} // namespace

TZLBArc2::TZLBArc2(TComponent* owner) : TComponent(owner) {}

TZLBArc2::~TZLBArc2() {
    Destroying();
    if (!archiveFileName_.empty()) {
        CloseArchive();
    }
}

void TZLBArc2::ReportProgress() {
    if (IsDestroying() || !OnProgress) {
        return;
    }
    if (progressState_ == TProgressState::psIdle) {
        OnProgress(archiveFileName_, 0);
        return;
    }
    int percentage = 0;
    if (progressTotal_ > 0) {
        // Halves go to the even neighbour, as the default rounding mode does.
        percentage = static_cast<int>(std::nearbyint(static_cast<double>(progressDone_) /
                                                     static_cast<double>(progressTotal_) * 100.0));
    }
    OnProgress(progressMessage_, percentage);
}

bool TZLBArc2::OpenArchive(const std::string& fileName) {
    CloseArchive();
    archiveFileName_ = fileName;
    if (fileName.empty()) {
        return false;
    }
    if (!FileExists(fileName)) {
        throw Exception(msg::ArchiveNotFound);
    }
    std::unique_ptr<TFileStream> file;
    try {
        file = std::make_unique<TFileStream>(fileName, fmOpenRead | fmShareDenyWrite);
    } catch (const std::exception&) {
        throw Exception(Format(msg::UnableToOpen, fileName));
    }

    const std::int64_t fileSize = file->Size();
    std::uint8_t raw[kTrailerSize] = {};
    if (fileSize < kTrailerSize) {
        // Too short to end in a trailer: whatever it holds is not an archive, whatever number
        // stands where the version would be.
        file->SetPosition(0);
        file->Read(raw, fileSize);
        throw Exception(Format(msg::WrongVersion, GetU32(raw + 8)));
    }
    file->Seek(-kTrailerSize, TSeekOrigin::soEnd);
    file->ReadBuffer(raw, kTrailerSize);
    const TArchiveTrailer trailer = TArchiveTrailer::Decode(raw);
    if (trailer.Version != 1 && trailer.Version != 2) {
        throw Exception(Format(msg::WrongVersion, trailer.Version));
    }
    trailer_ = trailer;

    // Sizes that reach before the start of the file describe no archive that this file holds.
    const std::int64_t beforeTrailer = fileSize - kTrailerSize;
    if (trailer_.DataSize < 0 || trailer_.DataSize > beforeTrailer ||
        trailer_.DataSize + trailer_.DirectorySize > beforeTrailer) {
        CloseArchive();
        throw Exception(msg::ErrorReadingRegistry);
    }
    baseOffset_ = beforeTrailer - trailer_.DirectorySize - trailer_.DataSize;

    if (VerifyArchiveCRC) {
        progressMessage_ = msg::VerifyingIntegrity;
        if (StreamCRC32(*file, baseOffset_, kTrailerSize) != trailer_.ArchiveCRC) {
            archiveFileName_.clear();
            trailer_ = TArchiveTrailer{};
            baseOffset_ = -1;
            throw Exception(msg::Corrupted);
        }
    }

    try {
        LoadDirectory(*file);
        if (OnArchiveOpened) {
            OnArchiveOpened(this);
        }
    } catch (...) {
        CloseArchive();
        throw Exception(msg::ErrorReadingRegistry);
    }
    file.reset();
    progressState_ = TProgressState::psIdle;
    ReportProgress();
    return true;
}

void TZLBArc2::LoadDirectory(TStream& file) {
    const std::uint32_t version = trailer_.Version;
    const std::int64_t recordSize = TArchiveEntry::RecordSize(version);
    const std::int64_t count = trailer_.EntryCount;
    const std::int64_t need = count * recordSize;
    // A directory that cannot hold its records is refused before anything is allocated for
    // them, so a damaged count cannot ask for gigabytes; entry indices are 32-bit as well.
    const bool compressed = trailer_.DirectoryCompressed != 0;
    if (count > INT32_MAX ||
        need > (compressed ? InflateBound(trailer_.DirectorySize)
                           : static_cast<std::int64_t>(trailer_.DirectorySize))) {
        throw Exception(msg::ErrorReadingRegistry);
    }

    file.SetPosition(baseOffset_ + trailer_.DataSize);
    TDirectoryLoader loader(trailer_);
    if (compressed) {
        TZDecompressionStream z(file);
        progressState_ = TProgressState::psReadingDirectory;
        progressTotal_ = need;
        progressDone_ = 0;
        progressMessage_ = msg::ExtractingRegistry;
        const std::int64_t step = OnProgress ? kChunkSize : TDirectoryLoader::kMaxRead;
        std::int64_t remaining = need;
        while (remaining > 0) {
            const std::int64_t chunk = std::min(remaining, step);
            const std::int64_t n = z.Read(loader.Room(chunk), chunk);
            progressDone_ += n;
            ReportProgress();
            loader.Received(n);
            if (n == 0) {
                break;
            }
            remaining -= chunk;
        }
        if (loader.ReceivedBytes() == need) {
            ReadToStreamEnd(z);
        }
    } else {
        for (std::int64_t remaining = need; remaining > 0;) {
            const std::int64_t chunk = std::min(remaining, TDirectoryLoader::kMaxRead);
            file.ReadBuffer(loader.Room(chunk), chunk);
            loader.Received(chunk);
            remaining -= chunk;
        }
    }
    if (loader.ReceivedBytes() < need) {
        throw Exception(msg::ErrorReadingRegistry);
    }
    dir_ = loader.Finish(storageKey_);
    entryCount_ = count;
}

void TZLBArc2::OpenSameArchive(const TZLBArc2& other) {
    if (other.archiveFileName_.empty() || !other.dir_) {
        throw Exception(msg::NoArchiveOpen);
    }
    CloseArchive();
    archiveFileName_ = other.archiveFileName_;
    trailer_ = other.trailer_;
    baseOffset_ = other.baseOffset_;
    dir_ = other.dir_;
    storageKey_ = other.storageKey_;
    entryCount_ = other.entryCount_;
}

void TZLBArc2::CloseArchive() {
    dir_.reset();
    storageKey_.clear();
    entryCount_ = 0;
    trailer_ = TArchiveTrailer{};
    archiveFileName_.clear();
    progressState_ = TProgressState::psIdle;
    ReportProgress();
    baseOffset_ = -1;
}

int TZLBArc2::FileCount() const {
    if (archiveFileName_.empty()) {
        throw Exception(msg::NoArchiveOpen);
    }
    return static_cast<int>(entryCount_);
}

TArchiveEntry TZLBArc2::GetFileEntry(int index) const {
    if (index < 0 || index >= entryCount_) {
        throw Exception(msg::IndexOutOfBounds);
    }
    return dir_->Entry(index);
}

bool TZLBArc2::HasEncryptedEntries() const {
    return dir_ && dir_->AnyEncrypted();
}

const std::vector<std::uint32_t>& TZLBArc2::LargeEntries() const {
    static const std::vector<std::uint32_t> none;
    return dir_ ? dir_->LargeEntries() : none;
}

TArchiveOffset TZLBArc2::AbsolutePosition(TArchiveOffset relative) const {
    if (baseOffset_ < 0) {
        throw Exception(msg::UnknownPosition);
    }
    TArchiveOffset absolute = 0;
    if (__builtin_add_overflow(baseOffset_, relative, &absolute)) {
        throw Exception(msg::Corrupted);
    }
    return absolute;
}

int TZLBArc2::FindEntry(std::string_view fullName) const {
    return dir_ ? dir_->Find(fullName) : -1;
}

int TZLBArc2::IndexOfFile(const std::string& fileName) const {
    if (archiveFileName_.empty()) {
        throw Exception(msg::NoArchiveOpen);
    }
    // Without a colon there is no drive prefix to drop, and the name is looked up as it is.
    if (!SavePaths || fileName.find(':') == std::string::npos) {
        return FindEntry(fileName);
    }
    std::string folder = ExtractFilePath(fileName);
    const std::size_t colon = folder.find(':');
    if (colon != std::string::npos) {
        folder.erase(0, colon + 1);
    }
    return FindEntry(folder + ExtractFileName(fileName));
}

void TZLBArc2::ExtractToStream(TStream& stream, const std::string& fileName) {
    if (archiveFileName_.empty()) {
        throw Exception(msg::NoArchiveOpen);
    }
    const int index = FindEntry(fileName);
    if (index < 0) {
        throw Exception(Format(msg::NotFoundInArchive, fileName));
    }
    ExtractIndexToStream(index, stream, nullptr);
    if (OnStreamExtracted) {
        OnStreamExtracted(GetFileEntry(index).FullName());
    }
    progressState_ = TProgressState::psIdle;
    ReportProgress();
}

bool TZLBArc2::ExtractIndexToStream(int index, TStream& stream, TStream* archiveStream) {
    const TArchiveEntry entry = GetFileEntry(index);
    std::unique_ptr<TFileStream> owned;
    if (!archiveStream) {
        try {
            owned = std::make_unique<TFileStream>(archiveFileName_, fmOpenRead | fmShareDenyWrite);
        } catch (const std::exception&) {
            throw Exception(Format(msg::UnableToOpen, archiveFileName_));
        }
        archiveStream = owned.get();
    }
    archiveStream->SetPosition(AbsolutePosition(entry.DataOffset));
    if (entry.Method == emCompressedEncrypted || entry.Method == emStoredEncrypted) {
        ExtractEncrypted(entry, *archiveStream, stream);
    } else {
        TransferEntry(entry, *archiveStream, stream);
    }
    if (VerifyFileCRC && StreamCRC32(stream, 0, 0) != entry.CRC) {
        throw Exception(Format(msg::FailedCRC, entry.Name.Str()));
    }
    return true;
}

void TZLBArc2::TransferEntry(const TArchiveEntry& entry, TStream& source, TStream& stream) {
    if (entry.Method != emCompressed && entry.Method != emCompressedEncrypted) {
        if (entry.UncompressedSize > 0) {
            stream.CopyFrom(source, entry.UncompressedSize);
        }
        return;
    }
    const std::int64_t sourceBytes = source.Size() - source.Position();
    TZDecompressionStream z(source);
    progressState_ = TProgressState::psExtractingEntry;
    progressTotal_ = entry.UncompressedSize;
    progressDone_ = 0;
    progressMessage_ = Format(msg::Extracting, entry.Name.Str());
    try {
        InflateInto(z, stream, entry.UncompressedSize, sourceBytes);
    } catch (...) {
        throw Exception(msg::Corrupted);
    }
}

void TZLBArc2::InflateInto(TZDecompressionStream& z, TStream& stream, std::int64_t count,
                           std::int64_t sourceBytes) {
    // Once the inflating stream delivers nothing it never will again (its zlib stream ended or
    // its source ran dry), so the loops stop there instead of counting down a size that the
    // directory may have overstated.
    auto* mem = dynamic_cast<TMemoryStream*>(&stream);
    if (mem && count > 0) {
        ReserveFor(*mem, std::min(count, InflateBound(sourceBytes)));
    }
    std::int64_t remaining = count;
    // Appending to memory without a progress handler, the bytes may go straight into place.
    if (mem && !OnProgress && mem->Position() == mem->Size()) {
        while (remaining > 0) {
            const std::int64_t chunk = std::min(remaining, kDirectChunkSize);
            const std::int64_t pos = mem->Position();
            if (pos + chunk > mem->Capacity()) {
                mem->SetCapacity(std::max(pos + chunk, mem->Capacity() + mem->Capacity() / 2));
            }
            mem->SetSize(pos + chunk);
            const std::int64_t before = z.Position();
            std::int64_t n = 0;
            try {
                n = z.Read(mem->Memory() + pos, chunk);
            } catch (...) {
                // Keep what whole 4,096-byte chunks would have written before the failure.
                const std::int64_t got = z.Position() - before;
                const std::int64_t kept = (progressDone_ + got) / kChunkSize * kChunkSize;
                const std::int64_t keep = std::max<std::int64_t>(0, kept - progressDone_);
                mem->SetSize(pos + keep);
                mem->SetPosition(pos + keep);
                throw;
            }
            mem->SetSize(pos + n);
            mem->SetPosition(pos + n);
            progressDone_ += n;
            if (n == 0) {
                break;
            }
            remaining -= chunk;
        }
        if (remaining == 0) {
            ReadToStreamEnd(z);
        }
        return;
    }
    if (!OnProgress) {
        // Nobody watches the chunks: the bytes go out in large writes, and a failure still
        // leaves what whole 4,096-byte chunks would have written before it.
        auto big = std::make_unique_for_overwrite<std::uint8_t[]>(kStreamChunkSize);
        while (remaining > 0) {
            const std::int64_t chunk = std::min(remaining, kStreamChunkSize);
            const std::int64_t before = z.Position();
            std::int64_t n = 0;
            try {
                n = z.Read(big.get(), chunk);
            } catch (...) {
                const std::int64_t got = z.Position() - before;
                const std::int64_t keep = got / kChunkSize * kChunkSize;
                if (keep > 0) {
                    stream.WriteBuffer(big.get(), keep);
                }
                throw;
            }
            progressDone_ += n;
            if (n == 0) {
                break;
            }
            stream.WriteBuffer(big.get(), n);
            remaining -= chunk;
        }
        if (remaining == 0) {
            ReadToStreamEnd(z);
        }
        return;
    }
    std::uint8_t buf[kChunkSize];
    while (remaining > 0) {
        const std::int64_t chunk = std::min(remaining, kChunkSize);
        const std::int64_t n = z.Read(buf, chunk);
        progressDone_ += n;
        ReportProgress();
        if (n == 0) {
            break;
        }
        stream.WriteBuffer(buf, n);
        remaining -= chunk;
    }
    if (remaining == 0) {
        ReadToStreamEnd(z);
    }
}

void TZLBArc2::ExtractEncrypted(const TArchiveEntry& entry, TStream& archive, TStream& stream) {
    if (Trim(Password).empty()) {
        throw Exception(msg::NoPassword);
    }
    if (!OnDecryptStream) {
        throw Exception(msg::NoDecryption);
    }
    TTempFileGuard temp(MakeTempFileName());
    TFileStream plain(temp.Name(), fmOpenReadWrite | fmShareExclusive);
    OnDecryptStream(archive, plain, static_cast<std::uint32_t>(entry.EncryptedSize), Password);
    plain.SetPosition(0);
    TransferEntry(entry, plain, stream);
}

std::string TZLBArc2::TempDirectory() const {
    if (!TempDir.empty()) {
        return TempDir;
    }
    const char* env = std::getenv("TMPDIR");
    return env && *env ? std::string(env) : std::string("/tmp");
}

std::string TZLBArc2::MakeTempFileName() {
    std::string dir = TempDirectory();
    std::string name = dir;
    if (name.empty() || name.back() != '/') {
        name += '/';
    }
    name += "ZLBXXXXXX";
    // Deciphered content must not be readable by anyone else, nor land in a file that someone
    // prepared in advance: the name is created exclusively with owner-only access.
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        throw EFCreateError(Format("Cannot create file \"%s\". %s", name, std::strerror(errno)));
    }
    ::close(fd);
    return name;
}

void TZLBArc2::CollectFolderFiles(const std::string& folder, TStringList& list) {
    if (folder.empty()) {
        return;
    }
    std::string base = folder;
    if (!base.empty() && (base.back() == '/' || base.back() == '\\')) {
        base.pop_back();
    }
    std::vector<std::string> names;
    {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(base.empty() ? "/" : base.c_str()),
                                                &::closedir);
        if (!dir) {
            return;
        }
        while (dirent* d = ::readdir(dir.get())) {
            std::string n = d->d_name;
            if (n != "." && n != "..") {
                names.push_back(std::move(n));
            }
        }
    }
    // Directory order is arbitrary on this platform; sorted names keep the list reproducible.
    std::sort(names.begin(), names.end());
    TStringList level;
    for (const std::string& n : names) {
        const std::string full = base + "/" + n;
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0) {
            continue;
        }
        bool isDir = S_ISDIR(st.st_mode);
        if (S_ISLNK(st.st_mode)) {
            struct stat target {};
            isDir = ::stat(full.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        }
        if (!isDir) {
            level.Add(full);
            continue;
        }
        // Links to folders are listed but not entered, so a link cycle cannot recurse forever.
        if (RecursePaths && !S_ISLNK(st.st_mode)) {
            CollectFolderFiles(full, list);
        }
        if (SavePaths) {
            level.Add(full);
        }
    }
    list.AddStrings(level);
}

} // namespace kiva
