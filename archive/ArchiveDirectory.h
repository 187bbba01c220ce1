#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "PlainArray.h"
#include "ZLIBArchiveGlobals2.h"

namespace kiva {

// The directory of an open archive in compact form: one fixed-size record per entry with the
// numbers that extraction needs, every name in one block, and a hash index over the names
// folded to lower case that leads straight to the name. An entry costs 60 bytes besides its
// name, and a lookup reads the same two or three places in memory at any size. Read-only once
// built, so readers of the same archive on other threads may share it.
class TArchiveDirectory {
public:
    // Builds the directory from its records as they come out of the file, in file order.
    class TBuilder {
    public:
        // expectedCount only sizes the first reservation; a count that the file does not
        // honour costs no more than the records that really arrive.
        TBuilder(std::uint32_t version, std::int64_t expectedCount);
        // Takes count whole records in the stored layout of the version.
        void Add(const std::uint8_t* records, std::int64_t count);
        // Builds the index; the builder is spent afterwards.
        std::shared_ptr<const TArchiveDirectory> Finish();

    private:
        std::unique_ptr<TArchiveDirectory> dir_;
        std::uint32_t version_;
    };

    std::int64_t Count() const { return static_cast<std::int64_t>(records_.Size()); }
    // The entry at index (0 <= index < Count()) in the version-2 form, as the records held it.
    TArchiveEntry Entry(std::int64_t index) const;
    // Path followed by Name of the entry at index.
    std::string_view FullName(std::int64_t index) const;
    // The first entry whose full name equals fullName when ASCII letters are folded to lower
    // case, every other byte compared as it is; -1 when there is none.
    int Find(std::string_view fullName) const;

    // An entry of at least this many bytes is large: the viewer streams it rather than
    // inflating it at once.
    static constexpr std::int64_t kLargeEntrySize = std::int64_t(1) << 20;
    // How many large entries are noted at most.
    static constexpr std::size_t kMaxLargeEntries = 16384;
    // Whether an entry is stored encrypted.
    bool AnyEncrypted() const { return anyEncrypted_; }
    // The first kMaxLargeEntries large entries, in file order, that are stored or compressed
    // without encryption. Both answers are noted while the records arrive, so that a book of a
    // million entries is not walked again for them.
    const std::vector<std::uint32_t>& LargeEntries() const { return large_; }

private:
    // The numbers of an entry, 40 bytes; the rest is in front of its name in names_.
    struct TRecord {
        std::int64_t UncompressedSize;
        std::int64_t CompressedSize;
        std::int64_t EncryptedSize;
        std::int64_t DataOffset;
        std::uint32_t CRC;
        std::uint32_t NameRef;
    };
    static_assert(sizeof(TRecord) == 40);
    // In names_, each entry's Path and Name follow these bytes: the entry's index (32 bits,
    // little-endian), the lengths of Path and of Name, Method and Level.
    static constexpr std::size_t kNameHeader = 8;
    // One place in the index: the low half of a name's hash, which spares almost every
    // comparison of names that merely share a neighbourhood, and where the name is in names_.
    struct TSlot {
        std::uint32_t Check;
        std::uint32_t NameRef;
    };
    static constexpr std::uint32_t kEmpty = UINT32_MAX;

    TArchiveDirectory() = default;
    std::size_t Home(std::uint64_t hash) const {
        return static_cast<std::size_t>(((hash >> 32) * tableSize_) >> 32);
    }
    const std::uint8_t* Header(std::uint32_t nameRef) const {
        return reinterpret_cast<const std::uint8_t*>(names_.Data()) + nameRef;
    }
    std::string_view NameAt(std::uint32_t nameRef) const;

    TPlainArray<TRecord> records_;
    TPlainArray<char> names_;
    // Open addressing with linear probing, filled in entry order so that, of names that match,
    // the first entry comes first; an empty slot ends every run, so no probe wraps around.
    TPlainArray<TSlot> slots_;
    std::uint64_t tableSize_ = 1;
    bool anyEncrypted_ = false;
    std::vector<std::uint32_t> large_;
};

} // namespace kiva
