#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ArchiveDirectory.h"
#include "ZLIBArchiveGlobals2.h"

namespace kiva {

// Takes the directory's records as they are read from the archive, piece by piece, and turns
// them into the compact directory and the archive's storage key: the whole directory as stored
// (550 bytes an entry, half a gigabyte for a million entries) is never in memory at once. A
// large directory is digested on a second thread while the compact form is built.
class TDirectoryLoader {
public:
    // The most bytes one read may ask room for.
    static constexpr std::int64_t kMaxRead = std::int64_t(256) << 10;

    explicit TDirectoryLoader(const TArchiveTrailer& trailer);
    ~TDirectoryLoader();
    TDirectoryLoader(const TDirectoryLoader&) = delete;
    TDirectoryLoader& operator=(const TDirectoryLoader&) = delete;

    // Where the next count bytes (at most kMaxRead) of the records go.
    std::uint8_t* Room(std::int64_t count);
    // That many bytes were written at the room's start.
    void Received(std::int64_t count);
    std::int64_t ReceivedBytes() const { return received_; }
    // The directory and, in storageKey, the storage key; raises when the bytes received do not
    // end with a whole record.
    std::shared_ptr<const TArchiveDirectory> Finish(std::string& storageKey);

private:
    class TDigestWorker;
    // Hands the whole records taken so far to the builder and the new bytes to the digest.
    void Flush();

    std::int64_t recordSize_;
    std::int64_t pieceSize_;
    TArchiveDirectory::TBuilder builder_;
    std::unique_ptr<TDigestWorker> digest_;
    std::uint8_t* piece_ = nullptr;
    // Bytes in piece_, and how many of them at its start were digested with the piece before.
    std::int64_t have_ = 0;
    std::int64_t carried_ = 0;
    std::int64_t received_ = 0;
};

} // namespace kiva
