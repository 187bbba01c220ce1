#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace kiva {

// Adds to a connection what the index's tables and queries use, so it must run on every
// connection before it touches an index:
// - the tokenizer "kiva": SQLite's own word tokenizer (letter case and diacritics folded, and,
//   with the argument "porter", English stemming) for most text, and for Chinese, Japanese and
//   Korean text, which has no spaces between words, each character with the pair it starts;
// - the function kiva_excerpt(table), the part of a matching page around its first match,
//   with the matched words between kExcerptMarkStart and kExcerptMarkEnd;
// - the function kiva_inflate(blob), the text that the index keeps deflated.
// Raises Exception when the SQLite library has no FTS5.
void RegisterSearchFunctions(sqlite3* db);

// Whether a character belongs to the scripts written without spaces between words (Chinese,
// Japanese, Korean), which the index splits into character pairs.
bool IsCjkCharacter(std::uint32_t c);

// The excerpt's marks. Page text never holds control characters, so they cannot clash.
inline constexpr char kExcerptMarkStart = '\x01';
inline constexpr char kExcerptMarkEnd = '\x02';

// The text deflated as kiva_inflate reads it back.
std::string DeflateText(const std::string& text);

} // namespace kiva
