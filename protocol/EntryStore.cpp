#include "EntryStore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SysUtils.h"
#include "ZLIBArchive2.h"

namespace kiva {

namespace {

// Makes every missing folder of path with mode 0700.
void MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            throw EFCreateError(
                Format("Cannot create folder \"%s\". %s", part, std::strerror(errno)));
        }
        if (slash == std::string::npos) {
            return;
        }
    }
}

// A new file for an entry's bytes that has no name: nothing of it outlives the process, not
// even after a crash. In memory when the book keeps secrets.
TFileDescriptor NewEntryFile(const TEntryStoreOptions& options) {
    if (options.InMemory) {
        TFileDescriptor fd(::memfd_create("kivabook-entry", MFD_CLOEXEC));
        if (!fd) {
            throw EFCreateError(Format("Cannot create a file in memory. %s", std::strerror(errno)));
        }
        return fd;
    }
    MakeFolders(options.Folder);
    TFileDescriptor fd(::open(options.Folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600));
    if (fd) {
        return fd;
    }
    // File systems without unnamed files get a named one, unlinked at once.
    std::string path = options.Folder + "/entry-XXXXXX";
    fd.Reset(::mkostemp(path.data(), O_CLOEXEC));
    if (!fd) {
        throw EFCreateError(Format("Cannot create file \"%s\". %s", path, std::strerror(errno)));
    }
    ::unlink(path.c_str());
    return fd;
}

} // namespace

TEntryStore::TEntryStore(const TZLBArc2& archive, TEntryStoreOptions options)
    : reader_(std::make_unique<TZLBArc2>(nullptr)), options_(std::move(options)) {
    reader_->OpenSameArchive(archive);
    reader_->VerifyFileCRC = archive.VerifyFileCRC;
    reader_->SavePaths = archive.SavePaths;
}

TEntryStore::~TEntryStore() {
    Stop();
}

std::shared_ptr<TEntryFile> TEntryStore::Open(int index) {
    const TArchiveEntry entry = reader_->GetFileEntry(index);
    std::lock_guard lock(mutex_);
    if (stopped_) {
        throw Exception("The book has been closed");
    }
    const auto known = files_.find(index);
    if (known != files_.end() && !known->second->Progress().Failed) {
        return known->second;
    }

    // A stored entry is read in place when the archive really holds all of its bytes and
    // nobody asked for its CRC to be checked first.
    if (entry.Method == emStored && !reader_->VerifyFileCRC && entry.UncompressedSize >= 0) {
        TFileDescriptor fd(::open(reader_->ArchiveFileName().c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st {};
        const TArchiveOffset start = reader_->AbsolutePosition(entry.DataOffset);
        if (fd && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && start >= 0 &&
            entry.UncompressedSize <= st.st_size - start) {
            std::shared_ptr<TEntryFile> file(
                new TEntryFile(entry.FullName(), entry.UncompressedSize, std::move(fd), start));
            file->progress_ = TEntryFile::TProgress{entry.UncompressedSize, true, false};
            files_[index] = file;
            return file;
        }
    }

    auto reader = std::make_unique<TZLBArc2>(nullptr);
    reader->OpenSameArchive(*reader_);
    reader->VerifyFileCRC = reader_->VerifyFileCRC;
    reader->SavePaths = reader_->SavePaths;
    std::shared_ptr<TEntryFile> file(
        new TEntryFile(entry.FullName(), entry.UncompressedSize, NewEntryFile(options_), 0));
    file->worker_ = std::thread(&TEntryFile::Run, file.get(), std::move(reader), index);
    files_[index] = file;
    return file;
}

void TEntryStore::Stop() {
    std::map<int, std::shared_ptr<TEntryFile>> files;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        files.swap(files_);
    }
    for (auto& [index, file] : files) {
        file->Stop();
    }
}

} // namespace kiva
