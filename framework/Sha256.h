#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiva {

// SHA-256, for identities that must not collide by accident or by design (the private storage
// of one archive must never be another archive's).
class TSha256 {
public:
    TSha256();
    void Add(const void* data, std::size_t size);
    void Add(std::string_view text) { Add(text.data(), text.size()); }
    // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
    std::string HexDigest();

private:
    void Block(const std::uint8_t* p);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;
};

} // namespace kiva
