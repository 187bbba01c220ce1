#include "EntryStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "SysUtils.h"
#include "Trace.h"
#include "ZLIBArchive2.h"

namespace kiva {

namespace {

constexpr const char* kNamedFilePrefix = "entry-";

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

TFileDescriptor NewMemoryFile() {
    TFileDescriptor fd(::memfd_create("kivabook-entry", MFD_CLOEXEC));
    if (!fd) {
        throw EFCreateError(Format("Cannot create a file in memory. %s", std::strerror(errno)));
    }
    return fd;
}

TFileDescriptor NewDiskFile(const std::string& folder) {
    TFileDescriptor fd(::open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600));
    if (!fd && errno == ENOENT) {
        // The folder is made when the first entry needs it, or again if it was removed.
        MakeFolders(folder);
        fd.Reset(::open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600));
    }
    if (fd) {
        return fd;
    }
    // File systems without unnamed files get a named one, unlinked at once.
    std::string path = folder + "/" + kNamedFilePrefix + "XXXXXX";
    fd.Reset(::mkostemp(path.data(), O_CLOEXEC));
    if (!fd) {
        throw EFCreateError(Format("Cannot create file \"%s\". %s", path, std::strerror(errno)));
    }
    ::unlink(path.c_str());
    return fd;
}

// A new file for an entry's bytes that has no name: nothing of it outlives the process, not
// even after a crash. In memory when the book keeps secrets, and when the book's folder
// cannot take files (a read-only home), so the book still shows its large entries.
TFileDescriptor NewEntryFile(const TEntryStoreOptions& options) {
    if (options.InMemory) {
        return NewMemoryFile();
    }
    try {
        return NewDiskFile(options.Folder);
    } catch (const std::exception&) {
        TraceCaughtError("the book's entry files (kept in memory instead)");
        return NewMemoryFile();
    }
}

// A named entry file is unlinked the moment it exists; one that a crash caught in between is
// removed by the next store of the book. Removing another viewer's file in that moment does no
// harm either: it holds the file open already.
void RemoveLeftovers(const std::string& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) {
        return;
    }
    while (const dirent* e = ::readdir(dir.get())) {
        if (std::strncmp(e->d_name, kNamedFilePrefix, std::strlen(kNamedFilePrefix)) == 0) {
            ::unlinkat(::dirfd(dir.get()), e->d_name, 0);
        }
    }
}

// The memory the system can still give without swapping.
std::int64_t AvailableMemory() {
    std::ifstream info("/proc/meminfo");
    std::string key;
    std::int64_t kib = 0;
    std::string unit;
    while (info >> key >> kib >> unit) {
        if (key == "MemAvailable:") {
            return kib * 1024;
        }
    }
    return static_cast<std::int64_t>(::sysconf(_SC_AVPHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
}

// The room left on the file system of folder, which may not exist yet.
std::int64_t FreeSpace(std::string folder) {
    for (;;) {
        struct statvfs st {};
        if (::statvfs(folder.c_str(), &st) == 0) {
            return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
        }
        const std::size_t slash = folder.find_last_of('/');
        if (errno != ENOENT || slash == std::string::npos || folder.size() <= 1) {
            return -1;
        }
        folder.erase(std::max<std::size_t>(slash, 1));
    }
}

std::int64_t BudgetFor(const TEntryStoreOptions& options) {
    if (options.Budget > 0) {
        return options.Budget;
    }
    const std::int64_t room = options.InMemory ? AvailableMemory() : FreeSpace(options.Folder);
    // Where the room cannot be told, writing tells: a full disk fails the extraction.
    return room < 0 ? kMaxEntryBytes : std::min(kMaxEntryBytes, room / 10);
}

int WorkerCount() {
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2u, 4u));
}

} // namespace

// What the store, its workers and the holds it handed out share. Holds may outlive the store;
// the threads never do (Stop joins them).
struct TEntryStore::TState {
    // One entry with a file of its own.
    struct TSlot {
        enum TStage { sQueued, sRunning, sDone, sFailed, sDropped };
        int Index = 0;
        std::shared_ptr<TEntryFile> File;
        int Pins = 0;
        TStage Stage = sQueued;
        // The bytes counted against the budget: the expected size until the entry is done.
        std::int64_t Charge = 0;
        // The slot counts as an open file (reserved when its extraction starts).
        bool Counted = false;
        bool InLru = false;
        std::list<std::shared_ptr<TSlot>>::iterator LruPos;
    };
    // An entry streaming to its reader, on a thread of its own. The thread never takes the
    // store's lock, so the store may wait for it while it holds the lock.
    struct TStream {
        std::thread Thread;
        std::shared_ptr<TEntryFile> File;
        std::atomic<bool> Finished{false};
    };
    // A hold handed out by Open; see TEntryStore.
    struct TPin {
        std::shared_ptr<TState> State;
        std::shared_ptr<TSlot> Slot;
        std::shared_ptr<TEntryFile> File;
        ~TPin();
    };

    TState(const TZLBArc2& archive, TEntryStoreOptions options);

    // Stored entries are read where they lie, unless their CRC is to be checked first.
    bool ReadsInPlace(const TArchiveEntry& entry) const {
        return entry.Method == emStored && !Reader->VerifyFileCRC;
    }
    std::shared_ptr<TEntryFile> OpenInPlace(const TArchiveEntry& entry);
    bool Streams(const TArchiveEntry& entry) const;
    std::shared_ptr<TSlot> NextAdmitted();
    // Takes its own reference: the one in the list goes with the list entry.
    void Evict(std::shared_ptr<TSlot> slot);
    void Release(TSlot& slot);
    void Finished(const std::shared_ptr<TSlot>& slot, const TEntryFile::TOutcome& outcome);
    void Unpin(const std::shared_ptr<TSlot>& slot);
    void UnpinLocked(const std::shared_ptr<TSlot>& slot);
    // Joins the threads of streams that have ended, and with all of them, those whose reader
    // has gone (they end at once); returns how many streams are left.
    int ReapStreams(bool released);
    void Work() noexcept;
    void Stream(TStream& stream, int index) noexcept;
    std::unique_ptr<TZLBArc2> NewReader() const;

    const std::unique_ptr<TZLBArc2> Reader;
    const TEntryStoreOptions Options;
    const std::int64_t Budget;

    mutable std::mutex Mutex;
    std::condition_variable Changed;
    bool Stopped = false;
    std::map<int, std::shared_ptr<TSlot>> Slots;
    // Done entries nobody holds, the least recently let go first.
    std::list<std::shared_ptr<TSlot>> Lru;
    std::deque<std::shared_ptr<TSlot>> Queue;
    int OpenFiles = 0;
    // Entries a worker is extracting or has not yet let go of.
    int Extracting = 0;
    std::int64_t Bytes = 0;
    std::weak_ptr<const TFileDescriptor> ArchiveFile;
    std::vector<std::thread> Workers;
    std::list<TStream> Streaming;
};

TEntryStore::TState::TState(const TZLBArc2& archive, TEntryStoreOptions options)
    : Reader(std::make_unique<TZLBArc2>(nullptr)), Options(std::move(options)),
      Budget(BudgetFor(Options)) {
    Reader->OpenSameArchive(archive);
    Reader->VerifyFileCRC = archive.VerifyFileCRC;
    Reader->SavePaths = archive.SavePaths;
    if (!Options.InMemory && !Options.Folder.empty()) {
        RemoveLeftovers(Options.Folder);
    }
}

std::unique_ptr<TZLBArc2> TEntryStore::TState::NewReader() const {
    auto reader = std::make_unique<TZLBArc2>(nullptr);
    reader->OpenSameArchive(*Reader);
    reader->SavePaths = Reader->SavePaths;
    // The CRC is checked as the bytes pass, so nothing reads the entry back.
    reader->VerifyFileCRC = false;
    return reader;
}

TEntryStore::TState::TPin::~TPin() {
    if (Slot) {
        // The slot's own reference is then the last, so a file closed for the bound closes.
        File.reset();
        State->Unpin(Slot);
    } else if (File) {
        // A streamed entry nobody reads any more stops at its next write.
        File->RequestStop();
    }
}

std::shared_ptr<TEntryFile> TEntryStore::TState::OpenInPlace(const TArchiveEntry& entry) {
    if (!ReadsInPlace(entry) || entry.UncompressedSize < 0) {
        return nullptr;
    }
    std::shared_ptr<const TFileDescriptor> archive = ArchiveFile.lock();
    if (!archive) {
        TFileDescriptor fd(::open(Reader->ArchiveFileName().c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            return nullptr;
        }
        archive = std::make_shared<const TFileDescriptor>(std::move(fd));
        ArchiveFile = archive;
    }
    // In place only when the archive really holds all of the entry's bytes.
    struct stat st {};
    const TArchiveOffset start = Reader->AbsolutePosition(entry.DataOffset);
    if (::fstat(archive->Get(), &st) != 0 || !S_ISREG(st.st_mode) || start < 0 ||
        entry.UncompressedSize > st.st_size - start) {
        return nullptr;
    }
    std::shared_ptr<TEntryFile> file(
        new TEntryFile(entry.FullName(), entry.UncompressedSize, TEntryFile::ekInPlace));
    file->ReadInPlace(std::move(archive), start);
    return file;
}

bool TEntryStore::TState::Streams(const TArchiveEntry& entry) const {
    return !ReadsInPlace(entry) && entry.UncompressedSize > Budget;
}

std::shared_ptr<TEntryStore::TState::TSlot> TEntryStore::TState::NextAdmitted() {
    while (!Queue.empty()) {
        const std::shared_ptr<TSlot> slot = Queue.front();
        if (slot->Stage != TSlot::sQueued) {
            // Let go before its turn came.
            Queue.pop_front();
            continue;
        }
        const auto fits = [&] {
            return OpenFiles < Options.MaxFiles && Bytes + slot->Charge <= Budget;
        };
        while (!fits() && !Lru.empty()) {
            Evict(Lru.front());
        }
        if (!fits()) {
            // Every file is held: the entry waits until one is let go.
            return nullptr;
        }
        Queue.pop_front();
        slot->Stage = TSlot::sRunning;
        ++slot->Pins;
        slot->Counted = true;
        ++OpenFiles;
        Bytes += slot->Charge;
        return slot;
    }
    return nullptr;
}

void TEntryStore::TState::Evict(std::shared_ptr<TSlot> slot) {
    Lru.erase(slot->LruPos);
    slot->InLru = false;
    Slots.erase(slot->Index);
    Bytes -= slot->Charge;
    slot->Charge = 0;
    Release(*slot);
}

void TEntryStore::TState::Release(TSlot& slot) {
    if (slot.Counted) {
        slot.Counted = false;
        --OpenFiles;
    }
    // Nobody holds the slot, so this closes the file.
    slot.File.reset();
}

void TEntryStore::TState::Finished(const std::shared_ptr<TSlot>& slot,
                                   const TEntryFile::TOutcome& outcome) {
    if (outcome.Error.empty()) {
        Bytes += outcome.Size - slot->Charge;
        slot->Charge = outcome.Size;
        slot->Stage = TSlot::sDone;
    } else {
        // A failed entry is extracted afresh when it is asked for again; its file goes as soon
        // as nobody holds it.
        Bytes -= slot->Charge;
        slot->Charge = 0;
        slot->Stage = TSlot::sFailed;
        if (const auto known = Slots.find(slot->Index);
            known != Slots.end() && known->second == slot) {
            Slots.erase(known);
        }
    }
}

void TEntryStore::TState::Unpin(const std::shared_ptr<TSlot>& slot) {
    std::lock_guard lock(Mutex);
    UnpinLocked(slot);
}

void TEntryStore::TState::UnpinLocked(const std::shared_ptr<TSlot>& slot) {
    if (--slot->Pins > 0 || Stopped) {
        return;
    }
    switch (slot->Stage) {
    case TSlot::sQueued:
        // Nobody waits for it any more: it is not extracted.
        slot->Stage = TSlot::sDropped;
        Slots.erase(slot->Index);
        break;
    case TSlot::sDone:
        // The least recently let go comes first.
        slot->LruPos = Lru.insert(Lru.end(), slot);
        slot->InLru = true;
        break;
    case TSlot::sFailed:
        Release(*slot);
        break;
    case TSlot::sRunning:
    case TSlot::sDropped:
        // A running extraction holds its entry itself.
        break;
    }
    Changed.notify_all();
}

int TEntryStore::TState::ReapStreams(bool released) {
    for (auto it = Streaming.begin(); it != Streaming.end();) {
        if (it->Finished || (released && it->File->stop_)) {
            it->Thread.join();
            it = Streaming.erase(it);
        } else {
            ++it;
        }
    }
    return static_cast<int>(Streaming.size());
}

void TEntryStore::TState::Work() noexcept {
    std::unique_ptr<TZLBArc2> reader;
    try {
        reader = NewReader();
    } catch (...) {
        TraceCaughtError("an entry extraction");
        return;
    }
    const bool checkCrc = Reader->VerifyFileCRC;
    std::unique_lock lock(Mutex);
    for (;;) {
        std::shared_ptr<TSlot> slot;
        Changed.wait(lock, [&] { return Stopped || (slot = NextAdmitted()) != nullptr; });
        if (!slot) {
            return;
        }
        std::shared_ptr<TEntryFile> file = slot->File;
        ++Extracting;
        lock.unlock();
        TEntryFile::TOutcome outcome;
        try {
            outcome = file->Extract(*reader, slot->Index, NewEntryFile(Options), checkCrc);
        } catch (const std::exception& e) {
            outcome.Error = e.what();
        }
        // The slot's stage changes before readers learn the end, so a reader that lets go on
        // hearing it finds the entry done. The worker's own reference goes before its hold, so
        // that an entry it let go of closes when it is evicted.
        lock.lock();
        Finished(slot, outcome);
        lock.unlock();
        file->Finish(outcome);
        file.reset();
        lock.lock();
        --Extracting;
        UnpinLocked(slot);
    }
}

void TEntryStore::TState::Stream(TStream& stream, int index) noexcept {
    TEntryFile::TOutcome outcome;
    try {
        std::unique_ptr<TZLBArc2> reader = NewReader();
        outcome = stream.File->Extract(*reader, index, TFileDescriptor(), Reader->VerifyFileCRC);
    } catch (const std::exception& e) {
        // Only the reader can fail here; the entry then ends with that error.
        outcome.Error = e.what();
    }
    stream.File->Finish(outcome);
    stream.Finished = true;
}

TEntryStore::TEntryStore(const TZLBArc2& archive, TEntryStoreOptions options)
    : state_(std::make_shared<TState>(archive, std::move(options))) {}

TEntryStore::~TEntryStore() {
    Stop();
}

const TZLBArc2& TEntryStore::Archive() const {
    return *state_->Reader;
}

bool TEntryStore::Streams(int index) const {
    return state_->Streams(state_->Reader->GetFileEntry(index));
}

std::shared_ptr<TEntryFile> TEntryStore::Open(int index) {
    TState& s = *state_;
    const TArchiveEntry entry = s.Reader->GetFileEntry(index);
    std::lock_guard lock(s.Mutex);
    if (s.Stopped) {
        throw Exception("The book has been closed");
    }
    s.ReapStreams(false);
    if (std::shared_ptr<TEntryFile> file = s.OpenInPlace(entry)) {
        return file;
    }
    auto pin = std::make_shared<TState::TPin>();
    pin->State = state_;
    // Over the budget, an entry is streamed to its reader without a file; so is a stored one
    // the archive does not hold whole, which then fails as it is read.
    if (entry.UncompressedSize > s.Budget) {
        if (s.ReapStreams(true) >= kMaxStreams) {
            throw Exception("Too many large entries are being read at once");
        }
        pin->File.reset(
            new TEntryFile(entry.FullName(), entry.UncompressedSize, TEntryFile::ekStreamed));
        TState::TStream& stream = s.Streaming.emplace_back();
        stream.File = pin->File;
        try {
            stream.Thread = std::thread(&TState::Stream, &s, std::ref(stream), index);
        } catch (...) {
            s.Streaming.pop_back();
            throw;
        }
        return std::shared_ptr<TEntryFile>(pin, pin->File.get());
    }

    std::shared_ptr<TState::TSlot>& slot = s.Slots[index];
    if (!slot) {
        try {
            if (static_cast<int>(s.Workers.size()) < WorkerCount()) {
                s.Workers.emplace_back(&TState::Work, &s);
            }
            slot = std::make_shared<TState::TSlot>();
            slot->Index = index;
            slot->Charge = std::max<std::int64_t>(0, entry.UncompressedSize);
            slot->File.reset(
                new TEntryFile(entry.FullName(), entry.UncompressedSize, TEntryFile::ekExtracted));
            s.Queue.push_back(slot);
        } catch (...) {
            s.Slots.erase(index);
            throw;
        }
        s.Changed.notify_all();
    } else if (slot->InLru) {
        s.Lru.erase(slot->LruPos);
        slot->InLru = false;
    }
    ++slot->Pins;
    pin->Slot = slot;
    pin->File = slot->File;
    return std::shared_ptr<TEntryFile>(pin, pin->File.get());
}

void TEntryStore::Stop() {
    TState& s = *state_;
    std::vector<std::thread> workers;
    std::list<TState::TStream> streams;
    {
        std::lock_guard lock(s.Mutex);
        s.Stopped = true;
        for (const auto& [index, slot] : s.Slots) {
            if (slot->Stage == TState::TSlot::sRunning) {
                slot->File->RequestStop();
            }
        }
        for (TState::TStream& stream : s.Streaming) {
            stream.File->RequestStop();
        }
        workers.swap(s.Workers);
        streams.swap(s.Streaming);
    }
    s.Changed.notify_all();
    for (std::thread& t : workers) {
        t.join();
    }
    for (TState::TStream& stream : streams) {
        stream.Thread.join();
    }
    // Entries that never started end now, so nobody waits for them; the store lets go of
    // every file, and those still held close when their holds end.
    std::vector<std::shared_ptr<TEntryFile>> waiting;
    {
        std::lock_guard lock(s.Mutex);
        for (const auto& slot : s.Queue) {
            if (slot->Stage == TState::TSlot::sQueued) {
                slot->Stage = TState::TSlot::sFailed;
                waiting.push_back(slot->File);
            }
        }
        s.Queue.clear();
        s.Lru.clear();
        s.Slots.clear();
        s.OpenFiles = 0;
        s.Bytes = 0;
    }
    for (const auto& file : waiting) {
        file->Finish({0, "The book has been closed"});
    }
}

bool TEntryStore::Stopped() const {
    std::lock_guard lock(state_->Mutex);
    return state_->Stopped;
}

TEntryStore::TUsage TEntryStore::Usage() const {
    const TState& s = *state_;
    std::lock_guard lock(s.Mutex);
    TUsage u;
    u.OpenFiles = s.OpenFiles;
    u.Bytes = s.Bytes;
    u.Budget = s.Budget;
    u.Extracting = s.Extracting;
    u.Queued = static_cast<int>(std::count_if(s.Queue.begin(), s.Queue.end(), [](const auto& slot) {
        return slot->Stage == TState::TSlot::sQueued;
    }));
    u.Streams =
        static_cast<int>(std::count_if(s.Streaming.begin(), s.Streaming.end(),
                                       [](const auto& stream) { return !stream.Finished; }));
    return u;
}

} // namespace kiva
