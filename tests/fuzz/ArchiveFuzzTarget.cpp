#include "ArchiveFuzzTarget.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "Classes.h"
#include "SampleArchive.h"
#include "SysUtils.h"
#include "ZLIBArchive2.h"

namespace kiva::fuzz {

namespace {

// Bounds that keep one run small: the reader must cope with larger claims on its own, but
// extracting them would only measure the machine.
constexpr std::size_t kMaxInput = 1 << 20;
constexpr std::int64_t kMaxEntrySize = 16 << 20;
constexpr int kMaxEntries = 256;
constexpr const char* kPassword = "kiva";

std::string TempFolder() {
    // The fuzzing script names a folder of its own, which it removes after a crash as well.
    const char* own = std::getenv("KIVA_FUZZ_TMPDIR");
    if (own && *own) {
        return own;
    }
    struct stat st {};
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0) {
        return "/dev/shm";
    }
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

const std::string& InputFolder() {
    static const std::string folder = TempFolder();
    return folder;
}

void RemoveInputFile();

// One file per process, rewritten for every input; removed when the process ends normally.
// The removal is registered after the name exists, so it runs before the name is destroyed.
const std::string& InputFile() {
    static const std::string path =
        InputFolder() + "/kiva-fuzz-" + std::to_string(::getpid()) + ".kvb";
    static const bool removedAtExit = std::atexit(RemoveInputFile) == 0;
    (void)removedAtExit;
    return path;
}

void RemoveInputFile() {
    ::unlink(InputFile().c_str());
}

void WriteInput(const std::uint8_t* data, std::size_t size) {
    int fd = ::open(InputFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::abort();
    }
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            std::abort();
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void Expect(bool ok, const char* broken) {
    if (!ok) {
        throw std::logic_error(broken);
    }
}

// Reads Size stored bytes (or what the archive still has) and writes them deciphered.
void XorDecrypt(TStream& in, TStream& out, std::uint32_t size, const std::string& password) {
    std::uint8_t buf[8192];
    std::size_t done = 0;
    while (done < size) {
        std::size_t want = std::min<std::size_t>(sizeof buf, size - done);
        std::int64_t n = in.Read(buf, static_cast<std::int64_t>(want));
        if (n <= 0) {
            break;
        }
        sample::XorCipher(buf, static_cast<std::size_t>(n), password, done);
        out.WriteBuffer(buf, n);
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

void RunArchiveInput(const std::uint8_t* data, std::size_t size) {
    size = std::min(size, kMaxInput);
    WriteInput(data, size);

    // The trailer's last byte is never interpreted, so it can steer the settings without
    // changing what the reader sees: bit 0 verifies the archive CRC, bit 1 drops the password,
    // bit 2 sets SavePaths, and the high nibble makes a handler fail (1 to 14: the progress
    // report of that number within one operation; 15: the opened-archive event).
    const std::uint8_t flags = size > 0 ? data[size - 1] : 0;
    const int failAt = flags >> 4;

    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = (flags & 1) != 0;
    arc.Password = (flags & 2) != 0 ? "" : kPassword;
    arc.SavePaths = (flags & 4) != 0;
    arc.TempDir = InputFolder();
    arc.OnDecryptStream = XorDecrypt;
    int reports = 0;
    arc.OnProgress = [&reports, failAt](const std::string& message, int percentage) {
        Expect(percentage >= 0 && percentage <= 100, "progress outside 0..100");
        // Idle reports carry the file name, or nothing when closing; failing there would only
        // fail the clean-up.
        const bool idle = message.empty() || message == InputFile();
        if (!idle && ++reports == failAt) {
            throw Exception("stopped by the progress handler");
        }
    };
    if (failAt == 15) {
        arc.OnArchiveOpened = [](TComponent*) { throw Exception("stopped by the open handler"); };
    }
    try {
        if (!arc.OpenArchive(InputFile())) {
            return;
        }
    } catch (const Exception&) {
        return;
    }

    const int count = arc.FileCount();
    Expect(count >= 0 && static_cast<std::uint32_t>(count) == arc.Trailer().EntryCount,
           "FileCount differs from the trailer's EntryCount");

    for (int i = 0; i < std::min(count, kMaxEntries); ++i) {
        const TArchiveEntry entry = arc.GetFileEntry(i);
        const std::string fullName = entry.FullName();
        // The name a lookup really searches for: with SavePaths a drive prefix, everything up
        // to the first colon of the folder part, is dropped.
        std::string folder = ExtractFilePath(fullName);
        const std::size_t colon = folder.find(':');
        if (arc.SavePaths && colon != std::string::npos) {
            folder.erase(0, colon + 1);
        }
        const std::string searched = folder + ExtractFileName(fullName);
        const int found = arc.IndexOfFile(fullName);
        if (searched == fullName) {
            Expect(found >= 0 && found <= i, "IndexOfFile misses an entry's own name");
        }
        Expect(found < 0 || SameTextAscii(arc.GetFileEntry(found).FullName(), searched),
               "IndexOfFile returns an entry of another name");
        if (entry.UncompressedSize > kMaxEntrySize) {
            continue;
        }

        bool plainOk = false;
        std::string plain;
        for (bool verify : {false, true}) {
            arc.VerifyFileCRC = verify;
            reports = 0;
            TMemoryStream out;
            try {
                if (found == i && searched == fullName) {
                    arc.ExtractToStream(out, fullName);
                } else {
                    arc.ExtractIndexToStream(i, out, nullptr);
                }
            } catch (const Exception&) {
                continue;
            }
            const std::int64_t produced = out.Size();
            Expect(produced <= std::max<std::int64_t>(entry.UncompressedSize, 0),
                   "extraction wrote more than UncompressedSize");
            std::string got(reinterpret_cast<const char*>(out.Memory()),
                            static_cast<std::size_t>(produced));
            if (verify) {
                Expect(sample::Crc(got) == entry.CRC,
                       "verified extraction delivered content with another CRC");
                Expect(plainOk, "verified extraction succeeded where the plain one failed");
                Expect(got == plain, "two extractions of one entry differ");
            } else {
                plainOk = true;
                plain = std::move(got);
            }
        }
    }
    arc.CloseArchive();
}

} // namespace kiva::fuzz
