#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "Classes.h"

namespace kiva {

// Offsets and sizes inside an archive file are 64-bit: the format carries 64-bit fields and
// hosts with their archive may exceed 2 GiB.
using TArchiveOffset = std::int64_t;
using TArchiveSize = std::int64_t;

inline constexpr int kTrailerSize = 36;
inline constexpr int kEntrySizeV2 = 550;
inline constexpr int kEntrySizeV1 = 532;
inline constexpr int kShortTextSize = 256;

// A 256-byte text field: a length byte and up to 255 single-byte characters.
struct TShortString {
    std::uint8_t Length = 0;
    char Chars[255] = {};

    std::string_view View() const { return std::string_view(Chars, Length); }
    std::string Str() const { return std::string(View()); }
    // Texts over 255 bytes are cut to 255.
    static TShortString From(std::string_view s);
    // Reads the field from 256 bytes; characters after the length are ignored.
    static TShortString Decode(const std::uint8_t* p);
    // Writes the field as 256 bytes, zero after the characters.
    void Encode(std::uint8_t* p) const;
    bool operator==(const TShortString& o) const { return View() == o.View(); }
};

enum TFileCompressionLevel : std::uint8_t { fcNone, fcFastest, fcDefault, fcMaximum };

enum TEntryMethod : std::uint8_t {
    emCompressed = 0,
    emStored = 1,
    emCompressedEncrypted = 2,
    emStoredEncrypted = 3,
};

// The archive's last 36 bytes, in the version-2 form.
struct TArchiveTrailer {
    std::uint32_t ArchiveCRC = 0;
    std::uint32_t EntryCount = 0;
    std::uint32_t Version = 0;
    std::uint32_t DirectorySize = 0;
    std::int64_t DataSize = 0;
    std::uint8_t DirectoryCompressed = 0;
    std::uint8_t Reserved1 = 0;
    std::uint8_t Reserved2[10] = {};

    // Decodes 36 bytes: the version at offset 8 chooses the layout; a version-1 trailer comes
    // back converted, any other version comes back with only Version set.
    static TArchiveTrailer Decode(const std::uint8_t* p);
    // Writes the version-2 layout, or the version-1 layout when Version is 1.
    void Encode(std::uint8_t* p) const;
};

// The numbers of a stored directory record (everything after its two text fields), in the
// version-2 form.
struct TEntryNumbers {
    std::int64_t UncompressedSize = 0;
    std::int64_t CompressedSize = 0;
    std::int64_t EncryptedSize = 0;
    std::int64_t DataOffset = 0;
    std::uint32_t CRC = 0;
    std::uint8_t Method = 0;
    std::uint8_t Level = 0;

    // Reads them from a whole record of 550 bytes (version 2) or 532 bytes (version 1), whose
    // 32-bit numbers are sign-extended.
    static TEntryNumbers Decode(const std::uint8_t* record, std::uint32_t version);
};

// One directory record in the version-2 form.
struct TArchiveEntry {
    TShortString Name;
    TShortString Path;
    std::int64_t UncompressedSize = 0;
    std::int64_t CompressedSize = 0;
    std::int64_t EncryptedSize = 0;
    std::int64_t DataOffset = 0;
    std::uint32_t CRC = 0;
    std::uint8_t Method = emCompressed;
    std::uint8_t Level = fcNone;

    // Path followed by Name, as lookups compare it.
    std::string FullName() const { return Path.Str() + Name.Str(); }
    // Reads 550 bytes (version 2) or 532 bytes converted (version 1).
    static TArchiveEntry Decode(const std::uint8_t* p, std::uint32_t version);
    void Encode(std::uint8_t* p, std::uint32_t version) const;
    static int RecordSize(std::uint32_t version) {
        return version == 1 ? kEntrySizeV1 : kEntrySizeV2;
    }
};

// The reflected CRC-32 (polynomial 0xEDB88320), built once at start.
extern const std::array<std::uint32_t, 256>& CRC32Table();
inline std::uint32_t UpdateCRC32(std::uint32_t crc, const void* data, std::size_t len) {
    const auto& t = CRC32Table();
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < len; ++i) {
        crc = (crc >> 8) ^ t[(crc ^ p[i]) & 0xFF];
    }
    return crc;
}
// Initial value 0xFFFFFFFF and final complement.
inline std::uint32_t CRC32(const void* data, std::size_t len) {
    return ~UpdateCRC32(0xFFFFFFFFu, data, len);
}

// The CRC of a stream from Start to TrimEnd bytes before its end; the position is kept.
std::uint32_t StreamCRC32(TStream& stream, std::int64_t start, std::int64_t trimEnd);

// Little-endian field access.
inline std::uint32_t GetU32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
inline std::int32_t GetI32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(GetU32(p));
}
inline std::int64_t GetI64(const std::uint8_t* p) {
    return static_cast<std::int64_t>(std::uint64_t(GetU32(p)) | std::uint64_t(GetU32(p + 4)) << 32);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}
inline void PutI64(std::uint8_t* p, std::int64_t v) {
    PutU32(p, static_cast<std::uint32_t>(static_cast<std::uint64_t>(v)));
    PutU32(p + 4, static_cast<std::uint32_t>(static_cast<std::uint64_t>(v) >> 32));
}

// Events of the reader. Only OnArchiveOpened carries a sender.
using TNotifyEvent = std::function<void(TComponent* sender)>;
using TFileAddUpdateEvent = std::function<void(std::string& path, std::string& name)>;
using TReplaceFileEvent = std::function<void(const std::string& fileName, bool& replace)>;
using TFileExtractedEvent = std::function<void(const std::string& fileName)>;
using TStreamEncryptEvent =
    std::function<void(TStream& strmIn, TStream& strmOut, const std::string& password)>;
using TStreamDecryptEvent = std::function<void(TStream& strmIn, TStream& strmOut,
                                               std::uint32_t size, const std::string& password)>;
using TErrorLogEvent = std::function<void(const std::string& msg)>;
using TProgressEvent = std::function<void(const std::string& msg, int percentage)>;

// The reader's messages, exactly as users see them.
namespace msg {
inline constexpr const char* ArchiveNotFound = "Archive file not found";
inline constexpr const char* UnableToOpen = "Unable to open archive %s";
inline constexpr const char* WrongVersion =
    "The archive was created with a different version of ZLBArchive (v%d)";
inline constexpr const char* Corrupted = "The archive appears to be corrupted";
inline constexpr const char* ErrorReadingRegistry = "Error reading registry";
inline constexpr const char* NoArchiveOpen = "No archive is currently open";
inline constexpr const char* IndexOutOfBounds = "Index out of bounds";
inline constexpr const char* UnknownPosition = "Unknown file position marker";
inline constexpr const char* NotFoundInArchive = "%s not found in archive";
inline constexpr const char* FailedCRC = "%s failed CRC check";
inline constexpr const char* NoPassword = "No password given for encrypted file";
inline constexpr const char* NoDecryption = "No decryption algorithm found";
inline constexpr const char* VerifyingIntegrity = "Verifying archive integrity";
inline constexpr const char* ExtractingRegistry = "Extracting registry";
inline constexpr const char* Extracting = "Extracting %s";
} // namespace msg

} // namespace kiva
