#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Classes.h"
#include "ZLIBArchiveGlobals2.h"
#include "ZLibEx.h"

namespace kiva {

class TArchiveDirectory;

// Reads the site archive that ends a host file: its trailer, its directory, and entries into
// streams. The reader never keeps the archive file open between calls.
class TZLBArc2 : public TComponent {
public:
    explicit TZLBArc2(TComponent* owner);
    ~TZLBArc2() override;

    // Published settings, with their defaults.
    int MaxMemoryUsage = 20;
    TFileCompressionLevel CompressionLevel = fcDefault;
    bool ExtractWithPath = false;
    bool VerifyArchiveCRC = true;
    bool VerifyFileCRC = false;
    bool SavePaths = false;
    bool RecursePaths = false;

    // Published events, in the design's order.
    TNotifyEvent OnArchiveOpened;
    TFileAddUpdateEvent OnFileAddUpdate;
    TReplaceFileEvent OnReplaceFile;
    TFileExtractedEvent OnFileExtracted;
    TStreamEncryptEvent OnEncryptStream;
    TStreamDecryptEvent OnDecryptStream;
    TFileExtractedEvent OnStreamExtracted;
    TErrorLogEvent OnErrorLogged;
    TProgressEvent OnProgress;

    // Used for encrypted entries only.
    std::string Password;
    std::string TempDir;

    // False only for an empty name; every other failure raises.
    bool OpenArchive(const std::string& fileName);
    // Opens the archive that other has open, sharing its directory, which never changes once
    // read: a reader of its own for another thread, at the cost of no second directory. The
    // settings and events stay this reader's own. Raises "No archive is currently open" when
    // other has none.
    void OpenSameArchive(const TZLBArc2& other);
    void CloseArchive();
    int FileCount() const;
    TArchiveEntry GetFileEntry(int index) const;
    int IndexOfFile(const std::string& fileName) const;
    // The first entry whose full name equals fullName when ASCII letters are folded to lower
    // case, without IndexOfFile's drive rule; -1 when there is none or no archive is open.
    int FindEntry(std::string_view fullName) const;
    // Whether an entry of the open archive is encrypted; false while none is open.
    bool HasEncryptedEntries() const;
    // The first large entries of the open archive that are not encrypted, in file order (see
    // TArchiveDirectory::LargeEntries); empty while none is open.
    const std::vector<std::uint32_t>& LargeEntries() const;
    void ExtractToStream(TStream& stream, const std::string& fileName);
    bool ExtractIndexToStream(int index, TStream& stream, TStream* archiveStream);

    std::string TempDirectory() const;
    virtual std::string MakeTempFileName();
    virtual void CollectFolderFiles(const std::string& folder, TStringList& list);

    const std::string& ArchiveFileName() const { return archiveFileName_; }
    const TArchiveTrailer& Trailer() const { return trailer_; }
    TArchiveOffset BaseOffset() const { return baseOffset_; }
    // The storage key of the open archive (see ArchiveStorageKey), taken while its directory
    // loaded; empty while none is open.
    const std::string& StorageKey() const { return storageKey_; }
    // Absolute file position of a position relative to the data area.
    TArchiveOffset AbsolutePosition(TArchiveOffset relative) const;

private:
    enum class TProgressState { psIdle, psReadingDirectory, psExtractingEntry };

    void ReportProgress();
    void LoadDirectory(TStream& file);
    void TransferEntry(const TArchiveEntry& entry, TStream& source, TStream& stream);
    // Inflates up to count bytes into stream, counting them as progress done.
    void InflateInto(TZDecompressionStream& z, TStream& stream, std::int64_t count,
                     std::int64_t sourceBytes);
    void ExtractEncrypted(const TArchiveEntry& entry, TStream& archive, TStream& stream);

    std::string archiveFileName_;
    TArchiveTrailer trailer_;
    // Read-only once loaded, and shared with the readers that OpenSameArchive opens.
    std::shared_ptr<const TArchiveDirectory> dir_;
    std::string storageKey_;
    std::int64_t entryCount_ = 0;
    TArchiveOffset baseOffset_ = -1;
    std::string progressMessage_;
    std::int64_t progressTotal_ = 0;
    std::int64_t progressDone_ = 0;
    TProgressState progressState_ = TProgressState::psIdle;
};

} // namespace kiva
