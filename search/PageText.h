#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace kiva {

// What a reader can search for on one HTML page, as UTF-8 text with its white space collapsed:
// scripts, styles and markup are left out and character references decoded.
struct TPageText {
    std::string Title;
    // The text of the h1 to h6 elements, one after the other.
    std::string Headings;
    // Everything a reader sees on the page, headings included.
    std::string Body;
    // The lang attribute of the page's html element, as written (empty when there is none).
    std::string Lang;
    // The page or its text was longer than the caps and only their first part is here.
    bool Truncated = false;
};

// How much of one page is read: pages may be any size, and a huge one must neither stall the
// index nor fill it with one page's text.
inline constexpr std::size_t kMaxPageBytes = 8u << 20;
inline constexpr std::size_t kMaxPageTextBytes = 2u << 20;

// Reads a page with libxml2's HTML parser, which recovers from any malformed markup. The page is
// decoded by the character set it declares (byte order mark or meta element) when the parser
// knows it, else as UTF-8 when it is valid UTF-8, else as Windows-1252. Bytes beyond
// kMaxPageBytes are ignored and the text stops at kMaxPageTextBytes. Raises Exception for
// content that is no text at all (NUL bytes near the start of a page without a UTF-16 byte
// order mark).
// The parse ends early, with the text read so far, once stop (when given) turns true.
TPageText ExtractPageText(std::string_view html, const std::atomic<bool>* stop = nullptr);

} // namespace kiva
