#include "SearchTokenizer.h"

#include <glib.h>
#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "SysUtils.h"

namespace kiva {
namespace {

// How many words an excerpt shows before its first match, and in all.
constexpr int kWordsBefore = 8;
constexpr int kExcerptWords = 32;

fts5_api* Fts5Api(sqlite3* db) {
    fts5_api* api = nullptr;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &stmt, nullptr) == SQLITE_OK) {
        sqlite3_bind_pointer(stmt, 1, &api, "fts5_api_ptr", nullptr);
        sqlite3_step(stmt);
    }
    sqlite3_finalize(stmt);
    if (!api) {
        throw Exception("The SQLite library has no full-text search (FTS5)");
    }
    return api;
}

// The tokenizer "kiva": one of SQLite's tokenizers for the text between runs of Chinese,
// Japanese and Korean characters, character pairs for those runs.
struct TKivaTokenizer {
    fts5_tokenizer Inner{};
    Fts5Tokenizer* InnerInstance = nullptr;
};

int CreateTokenizer(void* ctx, const char** args, int argCount, Fts5Tokenizer** out) {
    auto* api = static_cast<fts5_api*>(ctx);
    const bool porter = argCount > 0 && std::strcmp(args[0], "porter") == 0;
    void* innerContext = nullptr;
    auto tokenizer = std::make_unique<TKivaTokenizer>();
    int rc =
        api->xFindTokenizer(api, porter ? "porter" : "unicode61", &innerContext, &tokenizer->Inner);
    if (rc != SQLITE_OK) {
        return rc;
    }
    static const char* kPorterArgs[] = {"unicode61", "remove_diacritics", "2"};
    static const char* kPlainArgs[] = {"remove_diacritics", "2"};
    rc = porter ? tokenizer->Inner.xCreate(innerContext, kPorterArgs, 3, &tokenizer->InnerInstance)
                : tokenizer->Inner.xCreate(innerContext, kPlainArgs, 2, &tokenizer->InnerInstance);
    if (rc != SQLITE_OK) {
        return rc;
    }
    *out = reinterpret_cast<Fts5Tokenizer*>(tokenizer.release());
    return SQLITE_OK;
}

void DeleteTokenizer(Fts5Tokenizer* p) {
    auto* tokenizer = reinterpret_cast<TKivaTokenizer*>(p);
    tokenizer->Inner.xDelete(tokenizer->InnerInstance);
    delete tokenizer;
}

using TTokenCallback = int (*)(void*, int, const char*, int, int, int);

// Hands the tokens of a stretch of the text on with their offsets in the whole text.
struct TShifted {
    void* Context;
    TTokenCallback Token;
    int Offset;
};

int ShiftedToken(void* p, int flags, const char* token, int length, int start, int end) {
    auto* s = static_cast<TShifted*>(p);
    return s->Token(s->Context, flags, token, length, start + s->Offset, end + s->Offset);
}

struct TCharAt {
    int Start;
    int End;
};

// Documents get each character, with the pair it starts at the same position; a query's run
// becomes its pairs (or its one character), which then match as a phrase.
int TokenizeCjkRun(const char* text, const std::vector<TCharAt>& run, bool query, void* ctx,
                   TTokenCallback token) {
    const auto n = run.size();
    auto emit = [&](std::size_t from, std::size_t to, int flags) {
        return token(ctx, flags, text + run[from].Start, run[to].End - run[from].Start,
                     run[from].Start, run[to].End);
    };
    if (query) {
        if (n == 1) {
            return emit(0, 0, 0);
        }
        for (std::size_t i = 0; i + 1 < n; ++i) {
            if (int rc = emit(i, i + 1, 0); rc != SQLITE_OK) {
                return rc;
            }
        }
        return SQLITE_OK;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (int rc = emit(i, i, 0); rc != SQLITE_OK) {
            return rc;
        }
        if (i + 1 < n) {
            if (int rc = emit(i, i + 1, FTS5_TOKEN_COLOCATED); rc != SQLITE_OK) {
                return rc;
            }
        }
    }
    return SQLITE_OK;
}

int Tokenize(Fts5Tokenizer* p, void* ctx, int flags, const char* text, int length,
             TTokenCallback token) {
    auto* tokenizer = reinterpret_cast<TKivaTokenizer*>(p);
    const bool query = (flags & FTS5_TOKENIZE_QUERY) != 0;
    std::vector<TCharAt> run;
    int plainStart = 0;
    auto flushPlain = [&](int end) {
        if (end <= plainStart) {
            return SQLITE_OK;
        }
        TShifted shifted{ctx, token, plainStart};
        return tokenizer->Inner.xTokenize(tokenizer->InnerInstance, &shifted, flags,
                                          text + plainStart, end - plainStart, ShiftedToken);
    };
    int i = 0;
    while (i < length) {
        // Most text is ASCII, and no character below U+1100 is one of those written in pairs.
        if (static_cast<unsigned char>(text[i]) < 0x80 && run.empty()) {
            ++i;
            continue;
        }
        const gunichar c = g_utf8_get_char_validated(text + i, length - i);
        const bool valid = c != static_cast<gunichar>(-1) && c != static_cast<gunichar>(-2);
        const int next = valid ? static_cast<int>(g_utf8_next_char(text + i) - text) : i + 1;
        if (valid && IsCjkCharacter(c)) {
            if (run.empty()) {
                if (int rc = flushPlain(i); rc != SQLITE_OK) {
                    return rc;
                }
            }
            run.push_back({i, next});
        } else if (!run.empty()) {
            if (int rc = TokenizeCjkRun(text, run, query, ctx, token); rc != SQLITE_OK) {
                return rc;
            }
            run.clear();
            plainStart = i;
        }
        i = next;
    }
    if (!run.empty()) {
        return TokenizeCjkRun(text, run, query, ctx, token);
    }
    return flushPlain(length);
}

// The byte ranges of the tokens in the excerpt's window, by position.
struct TExcerptScan {
    int First = 0;
    int Last = 0;
    int Position = -1;
    bool More = false;
    std::vector<TCharAt> Ranges;
};

int ScanToken(void* p, int flags, const char*, int, int start, int end) {
    auto* s = static_cast<TExcerptScan*>(p);
    const bool colocated = (flags & FTS5_TOKEN_COLOCATED) != 0;
    if (!colocated) {
        ++s->Position;
    }
    if (s->Position < s->First) {
        return SQLITE_OK;
    }
    if (s->Position > s->Last) {
        s->More = true;
        return SQLITE_DONE;
    }
    TCharAt& r = s->Ranges[static_cast<std::size_t>(s->Position - s->First)];
    if (!colocated) {
        r = {start, end};
    }
    return SQLITE_OK;
}

// kiva_excerpt(table, pairs): the words around the first match in the body (else in the
// headings, else in the title). pairs tells that the query held runs of character pairs, whose
// last pair reaches one character beyond its position.
void ExcerptFunction(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* result,
                     int argCount, sqlite3_value** args) {
    const bool pairs = argCount > 0 && sqlite3_value_int(args[0]) != 0;
    int count = 0;
    if (api->xInstCount(fts, &count) != SQLITE_OK) {
        sqlite3_result_error(result, "excerpt: no match data", -1);
        return;
    }
    struct TInst {
        int Phrase, Column, Offset;
    };
    std::vector<TInst> insts;
    for (int i = 0; i < count; ++i) {
        TInst inst{};
        if (api->xInst(fts, i, &inst.Phrase, &inst.Column, &inst.Offset) == SQLITE_OK) {
            insts.push_back(inst);
        }
    }
    int column = -1;
    for (int preferred : {2, 1, 0}) {
        if (std::any_of(insts.begin(), insts.end(),
                        [&](const TInst& i) { return i.Column == preferred; })) {
            column = preferred;
            break;
        }
    }
    if (column < 0) {
        sqlite3_result_text(result, "", 0, SQLITE_STATIC);
        return;
    }
    int first = -1;
    for (const TInst& i : insts) {
        if (i.Column == column && (first < 0 || i.Offset < first)) {
            first = i.Offset;
        }
    }
    TExcerptScan scan;
    scan.First = std::max(0, first - kWordsBefore);
    scan.Last = scan.First + kExcerptWords - 1;
    scan.Ranges.assign(kExcerptWords, TCharAt{-1, -1});
    const char* text = nullptr;
    int length = 0;
    if (api->xColumnText(fts, column, &text, &length) != SQLITE_OK || !text) {
        sqlite3_result_text(result, "", 0, SQLITE_STATIC);
        return;
    }
    const int rc = api->xTokenize(fts, text, length, &scan, ScanToken);
    if (rc != SQLITE_OK && rc != SQLITE_DONE) {
        sqlite3_result_error_code(result, rc);
        return;
    }
    int begin = -1, end = -1;
    for (const TCharAt& r : scan.Ranges) {
        if (r.Start >= 0) {
            begin = begin < 0 ? r.Start : begin;
            end = r.End;
        }
    }
    if (begin < 0) {
        sqlite3_result_text(result, "", 0, SQLITE_STATIC);
        return;
    }
    std::vector<bool> marked(static_cast<std::size_t>(end - begin), false);
    auto mark = [&](int from, int to) {
        for (int b = std::max(from, begin); b < std::min(to, end); ++b) {
            marked[static_cast<std::size_t>(b - begin)] = true;
        }
    };
    for (const TInst& i : insts) {
        if (i.Column != column) {
            continue;
        }
        // A phrase is marked from its first word to its last, the space between included.
        const int size = std::max(1, api->xPhraseSize(fts, i.Phrase));
        int from = -1, to = -1;
        for (int k = 0; k < size; ++k) {
            const int pos = i.Offset + k - scan.First;
            if (pos < 0 || pos >= kExcerptWords || scan.Ranges[std::size_t(pos)].Start < 0) {
                continue;
            }
            const TCharAt& r = scan.Ranges[std::size_t(pos)];
            from = from < 0 ? r.Start : from;
            to = r.End;
            // A pair's second character stands at the next position.
            if (pairs && k == size - 1 && pos + 1 < kExcerptWords) {
                const TCharAt& n = scan.Ranges[std::size_t(pos + 1)];
                if (n.Start == r.End && IsCjkCharacter(g_utf8_get_char(text + n.Start))) {
                    to = n.End;
                }
            }
        }
        if (from >= 0) {
            mark(from, to);
        }
    }
    std::string out;
    if (scan.First > 0) {
        out += "\xE2\x80\xA6 ";
    }
    bool inMark = false;
    for (int b = begin; b < end; ++b) {
        const bool m = marked[static_cast<std::size_t>(b - begin)];
        if (m != inMark) {
            out += m ? kExcerptMarkStart : kExcerptMarkEnd;
            inMark = m;
        }
        out += text[b];
    }
    if (inMark) {
        out += kExcerptMarkEnd;
    }
    if (scan.More) {
        out += " \xE2\x80\xA6";
    }
    sqlite3_result_text(result, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void InflateFunction(sqlite3_context* result, int, sqlite3_value** args) {
    const auto* blob = static_cast<const unsigned char*>(sqlite3_value_blob(args[0]));
    const int size = sqlite3_value_bytes(args[0]);
    if (!blob || size < 4) {
        sqlite3_result_null(result);
        return;
    }
    uLongf length =
        uLongf(blob[0]) | uLongf(blob[1]) << 8 | uLongf(blob[2]) << 16 | uLongf(blob[3]) << 24;
    if (length == 0) {
        sqlite3_result_text(result, "", 0, SQLITE_STATIC);
        return;
    }
    std::string text(length, '\0');
    if (uncompress(reinterpret_cast<Bytef*>(text.data()), &length, blob + 4,
                   static_cast<uLong>(size - 4)) != Z_OK) {
        sqlite3_result_error(result, "The search index is damaged", -1);
        return;
    }
    text.resize(length);
    sqlite3_result_text(result, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

} // namespace

bool IsCjkCharacter(std::uint32_t c) {
    if (c < 0x1100) {
        return false;
    }
    switch (g_unichar_get_script(c)) {
    case G_UNICODE_SCRIPT_HAN:
    case G_UNICODE_SCRIPT_HIRAGANA:
    case G_UNICODE_SCRIPT_KATAKANA:
    case G_UNICODE_SCRIPT_HANGUL:
    case G_UNICODE_SCRIPT_BOPOMOFO:
        return true;
    default:
        // The long-vowel mark belongs to Katakana words though its script is common.
        return c == 0x30FC;
    }
}

void RegisterSearchFunctions(sqlite3* db) {
    fts5_api* api = Fts5Api(db);
    fts5_tokenizer tokenizer{CreateTokenizer, DeleteTokenizer, Tokenize};
    if (api->xCreateTokenizer(api, "kiva", api, &tokenizer, nullptr) != SQLITE_OK ||
        api->xCreateFunction(api, "kiva_excerpt", nullptr, ExcerptFunction, nullptr) != SQLITE_OK ||
        sqlite3_create_function(db, "kiva_inflate", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                InflateFunction, nullptr, nullptr) != SQLITE_OK) {
        throw Exception(Format("Cannot prepare the search index: %s", sqlite3_errmsg(db)));
    }
}

std::string DeflateText(const std::string& text) {
    uLongf length = compressBound(static_cast<uLong>(text.size()));
    std::string out(4 + length, '\0');
    const auto size = static_cast<std::uint32_t>(text.size());
    for (int i = 0; i < 4; ++i) {
        out[std::size_t(i)] = static_cast<char>(size >> (8 * i));
    }
    if (compress2(reinterpret_cast<Bytef*>(out.data() + 4), &length,
                  reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        throw Exception("Out of memory while storing a page's text");
    }
    out.resize(4 + length);
    return out;
}

} // namespace kiva
