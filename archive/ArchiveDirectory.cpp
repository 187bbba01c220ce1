#include "ArchiveDirectory.h"

#include <cstring>
#include <random>

#include "SysUtils.h"

namespace kiva {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
// Reservations follow the entry count that the trailer claims only up to this many entries;
// beyond it the arrays grow as records really arrive.
constexpr std::int64_t kMaxBelievedCount = std::int64_t(2) << 20;
// A first guess at the bytes of a full name, for the reservation of the names block.
constexpr std::size_t kTypicalNameBytes = 32;

// Eight bytes at once with the ASCII capitals turned into small letters; every other byte,
// those from 0x80 up included, stays as it is.
std::uint64_t LowerAsciiWord(std::uint64_t x) {
    const std::uint64_t low7 = x & ~kHighBits;
    // Each byte's top bit says whether its low seven bits are above 'Z', or at least 'A'; the
    // sums stay below 256, so no byte carries into the next.
    const std::uint64_t aboveZ = low7 + (0x7F - 'Z') * kOnes;
    const std::uint64_t fromA = low7 + (0x80 - 'A') * kOnes;
    const std::uint64_t capital = fromA & ~aboveZ & ~x & kHighBits;
    return x | (capital >> 2);
}

std::uint64_t Mix(std::uint64_t h, std::uint64_t word) {
    h = (h ^ word) * kMultiplier;
    return h ^ (h >> 29);
}

// Drawn once per process: a book's names are untrusted, and a book made so that its names
// crowd one corner of the index would otherwise turn every lookup into a long search.
std::uint64_t HashSeed() {
    static const std::uint64_t seed = [] {
        std::random_device random;
        return std::uint64_t(random()) << 32 ^ random();
    }();
    return seed;
}

// The hash that the index files a name under: names that differ only in the case of ASCII
// letters get the same one. The name goes in eight bytes at a time.
std::uint64_t FoldedNameHash(std::string_view name) {
    std::uint64_t h = HashSeed() ^ (kMultiplier * (name.size() + 1));
    std::size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, name.data() + i, 8);
        h = Mix(h, LowerAsciiWord(w));
    }
    if (i < name.size()) {
        std::uint64_t w = 0;
        std::memcpy(&w, name.data() + i, name.size() - i);
        h = Mix(h, LowerAsciiWord(w));
    }
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    return h ^ (h >> 32);
}

} // namespace

TArchiveDirectory::TBuilder::TBuilder(std::uint32_t version, std::int64_t expectedCount)
    : dir_(new TArchiveDirectory), version_(version) {
    const auto count =
        static_cast<std::size_t>(std::clamp<std::int64_t>(expectedCount, 0, kMaxBelievedCount));
    dir_->records_.Reserve(count);
    dir_->names_.Reserve(count * (kNameHeader + kTypicalNameBytes));
}

void TArchiveDirectory::TBuilder::Add(const std::uint8_t* records, std::int64_t count) {
    const std::int64_t size = TArchiveEntry::RecordSize(version_);
    for (std::int64_t k = 0; k < count; ++k) {
        const std::uint8_t* r = records + k * size;
        const std::uint8_t nameLength = r[0];
        const std::uint8_t pathLength = r[kShortTextSize];
        const std::size_t at = dir_->names_.Size();
        // Names are found by 32-bit references: four gigabytes of them, some eight million
        // entries of the longest names, is more than any reader could hold anyway.
        if (at + kNameHeader + 2 * kShortTextSize >= kEmpty) {
            throw Exception(msg::ErrorReadingRegistry);
        }
        const TEntryNumbers n = TEntryNumbers::Decode(r, version_);
        const auto index = static_cast<std::uint32_t>(dir_->records_.Size());
        if (n.Method == emCompressedEncrypted || n.Method == emStoredEncrypted) {
            dir_->anyEncrypted_ = true;
        } else if ((n.Method == emCompressed || n.Method == emStored) &&
                   n.UncompressedSize >= kLargeEntrySize &&
                   dir_->large_.size() < kMaxLargeEntries) {
            dir_->large_.push_back(index);
        }
        *dir_->records_.Append(1) = TRecord{n.UncompressedSize,
                                            n.CompressedSize,
                                            n.EncryptedSize,
                                            n.DataOffset,
                                            n.CRC,
                                            static_cast<std::uint32_t>(at)};
        auto* header = reinterpret_cast<std::uint8_t*>(
            dir_->names_.Append(kNameHeader + pathLength + nameLength));
        PutU32(header, index);
        header[4] = pathLength;
        header[5] = nameLength;
        header[6] = n.Method;
        header[7] = n.Level;
        std::memcpy(header + kNameHeader, r + kShortTextSize + 1, pathLength);
        std::memcpy(header + kNameHeader + pathLength, r + 1, nameLength);
    }
}

std::shared_ptr<const TArchiveDirectory> TArchiveDirectory::TBuilder::Finish() {
    TArchiveDirectory& d = *dir_;
    d.records_.Trim();
    d.names_.Trim();
    const std::size_t count = d.records_.Size();
    // Two thirds full: a search that finds nothing stops within a few slots, most of them in
    // the cache line where it started.
    d.tableSize_ = std::max<std::size_t>(1, count + count / 2);
    d.slots_.Resize(d.tableSize_ + 1);
    for (std::size_t s = 0; s < d.slots_.Size(); ++s) {
        d.slots_[s] = TSlot{0, kEmpty};
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t ref = d.records_[i].NameRef;
        const std::string_view name = d.NameAt(ref);
        const std::uint64_t h = FoldedNameHash(name);
        const auto check = static_cast<std::uint32_t>(h);
        std::size_t s = d.Home(h);
        bool twin = false;
        for (; d.slots_[s].NameRef != kEmpty && !twin; ++s) {
            twin = d.slots_[s].Check == check && SameTextAscii(d.NameAt(d.slots_[s].NameRef), name);
        }
        // An earlier entry of the same name answers every lookup; a later one takes no slot,
        // so that a book of one name many times over does not make one endless run.
        if (twin) {
            continue;
        }
        if (s + 1 == d.slots_.Size()) {
            *d.slots_.Append(1) = TSlot{0, kEmpty};
        }
        d.slots_[s] = TSlot{check, ref};
    }
    d.slots_.Trim();
    return std::shared_ptr<const TArchiveDirectory>(dir_.release());
}

TArchiveEntry TArchiveDirectory::Entry(std::int64_t index) const {
    const TRecord& r = records_[static_cast<std::size_t>(index)];
    const std::uint8_t* header = Header(r.NameRef);
    const char* full = reinterpret_cast<const char*>(header + kNameHeader);
    TArchiveEntry e;
    e.Path.Length = header[4];
    std::memcpy(e.Path.Chars, full, e.Path.Length);
    e.Name.Length = header[5];
    std::memcpy(e.Name.Chars, full + e.Path.Length, e.Name.Length);
    e.UncompressedSize = r.UncompressedSize;
    e.CompressedSize = r.CompressedSize;
    e.EncryptedSize = r.EncryptedSize;
    e.DataOffset = r.DataOffset;
    e.CRC = r.CRC;
    e.Method = header[6];
    e.Level = header[7];
    return e;
}

std::string_view TArchiveDirectory::FullName(std::int64_t index) const {
    return NameAt(records_[static_cast<std::size_t>(index)].NameRef);
}

std::string_view TArchiveDirectory::NameAt(std::uint32_t nameRef) const {
    const std::uint8_t* header = Header(nameRef);
    return {reinterpret_cast<const char*>(header + kNameHeader),
            std::size_t(header[4]) + header[5]};
}

int TArchiveDirectory::Find(std::string_view fullName) const {
    const std::uint64_t h = FoldedNameHash(fullName);
    const auto check = static_cast<std::uint32_t>(h);
    for (std::size_t s = Home(h);; ++s) {
        const TSlot slot = slots_[s];
        if (slot.NameRef == kEmpty) {
            return -1;
        }
        if (slot.Check != check) {
            continue;
        }
        if (SameTextAscii(NameAt(slot.NameRef), fullName)) {
            return static_cast<int>(GetU32(Header(slot.NameRef)));
        }
    }
}

} // namespace kiva
