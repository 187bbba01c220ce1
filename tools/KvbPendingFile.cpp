#include "KvbPendingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

namespace kiva {

namespace {

// The temporary files that a signal must remove. A handler may only use what is safe in it,
// so each name is kept in a fixed buffer, and a slot counts as used only once it is filled.
struct TSlot {
    volatile std::sig_atomic_t Used = 0;
    int Folder = AT_FDCWD;
    char Name[PATH_MAX] = {};
};
TSlot gSlots[8];

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

extern "C" void RemovePendingFiles(int signal) {
    for (TSlot& s : gSlots) {
        if (s.Used) {
            ::unlinkat(s.Folder, s.Name, 0);
        }
    }
    // The handler was reset to the default action when it ran, so the signal now ends the
    // process as it would have without kvb's clean-up.
    ::raise(signal);
}

void InstallHandlers() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    for (int sig : kSignals) {
        struct sigaction old {};
        ::sigaction(sig, nullptr, &old);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (old.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction sa {};
        sa.sa_handler = RemovePendingFiles;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND;
        ::sigaction(sig, &sa, nullptr);
    }
}

int Register(int folder, const std::string& name) {
    InstallHandlers();
    if (name.size() >= PATH_MAX) {
        return -1;
    }
    for (int i = 0; i < static_cast<int>(std::size(gSlots)); ++i) {
        TSlot& s = gSlots[i];
        if (!s.Used) {
            s.Folder = folder;
            std::memcpy(s.Name, name.c_str(), name.size() + 1);
            s.Used = 1;
            return i;
        }
    }
    return -1;
}

void Unregister(int slot) {
    if (slot >= 0) {
        gSlots[slot].Used = 0;
    }
}

std::string RandomSuffix() {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // Seeded once: the names need only differ, and O_EXCL catches the rare clash.
    static std::mt19937 random{std::random_device{}()};
    std::string s;
    for (int i = 0; i < 6; ++i) {
        s += kChars[random() % (sizeof kChars - 1)];
    }
    return s;
}

} // namespace

TPendingFile::TPendingFile(TFileDescriptor folder, std::string finalName, std::string tempStem,
                           mode_t mode)
    : folder_(std::move(folder)), finalName_(std::move(finalName)) {
    for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
        tempName_ = tempStem + RandomSuffix();
        file_.Reset(::openat(FolderFd(), tempName_.c_str(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!file_ && errno != EEXIST) {
            break;
        }
    }
    if (!file_) {
        throw Exception(Describe("cannot create a temporary file for"));
    }
    slot_ = Register(FolderFd(), tempName_);
}

TPendingFile::~TPendingFile() {
    if (!tempName_.empty()) {
        ::unlinkat(FolderFd(), tempName_.c_str(), 0);
    }
    Unregister(slot_);
}

int TPendingFile::FolderFd() const {
    return folder_ ? folder_.Get() : AT_FDCWD;
}

std::string TPendingFile::Describe(const char* what) const {
    return Format("%s \"%s\": %s", what, finalName_, std::strerror(errno));
}

TDescriptorStream& TPendingFile::Stream() {
    if (!stream_) {
        stream_ = std::make_unique<TDescriptorStream>(file_.Get(), finalName_);
    }
    return *stream_;
}

void TPendingFile::Sync() {
    if (::fsync(file_.Get()) != 0) {
        throw Exception(Describe("cannot write"));
    }
}

bool TPendingFile::Commit(bool keepExisting) {
    stream_.reset();
    // Some file systems report a failed write only when the file is closed.
    if (!file_.Close()) {
        throw Exception(Describe("cannot write"));
    }
    const int dir = FolderFd();
    int rc = ::renameat2(dir, tempName_.c_str(), dir, finalName_.c_str(),
                         keepExisting ? RENAME_NOREPLACE : 0);
    if (rc != 0 && keepExisting && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the atomic refusal: a new link fails just as atomically
        // when the name is taken.
        rc = ::linkat(dir, tempName_.c_str(), dir, finalName_.c_str(), 0);
        if (rc == 0) {
            ::unlinkat(dir, tempName_.c_str(), 0);
        }
    }
    if (rc != 0) {
        if (keepExisting && errno == EEXIST) {
            return false;
        }
        throw Exception(Describe("cannot write"));
    }
    tempName_.clear();
    Unregister(slot_);
    slot_ = -1;
    return true;
}

} // namespace kiva
