#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace kiva {

// SHA-256, for identities that must not collide by accident or by design (the private storage
// of one archive must never be another archive's). OpenSSL computes it, with the processor's
// SHA instructions where it has them: a large directory is digested at every start.
class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(TSha256&&) noexcept;
    TSha256& operator=(TSha256&&) noexcept;

    void Add(const void* data, std::size_t size);
    void Add(std::string_view text) { Add(text.data(), text.size()); }
    // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
    std::string HexDigest();

private:
    struct Free {
        void operator()(evp_md_ctx_st* ctx) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

} // namespace kiva
