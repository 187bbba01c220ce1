#include "SearchQuery.h"

#include <glib.h>

#include <vector>

#include "SearchTokenizer.h"

namespace kiva {
namespace {

struct TTerm {
    std::string Text;
    bool Prefix = false;
};

// Terms without a letter or digit match nothing and would only confuse the index.
bool HasWordCharacter(const std::string& s) {
    for (const char* p = s.c_str(); *p; p = g_utf8_next_char(p)) {
        if (g_unichar_isalnum(g_utf8_get_char(p))) {
            return true;
        }
    }
    return false;
}

bool HasPairRun(const std::string& s) {
    int run = 0;
    for (const char* p = s.c_str(); *p; p = g_utf8_next_char(p)) {
        run = IsCjkCharacter(g_utf8_get_char(p)) ? run + 1 : 0;
        if (run > 1) {
            return true;
        }
    }
    return false;
}

// A term as a string of the query language: quoted, with its own quotes doubled. The index's
// tokenizer splits it into words, which then match as a phrase.
std::string Quoted(const TTerm& t) {
    std::string out = "\"";
    for (char c : t.Text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    out += '"';
    if (t.Prefix) {
        out += " *";
    }
    return out;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::vector<TTerm> Terms(const std::string& text) {
    std::vector<TTerm> terms;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        if (IsSpace(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '"') {
            const std::size_t close = text.find('"', i + 1);
            if (close != std::string::npos) {
                terms.push_back({text.substr(i + 1, close - i - 1), false});
                i = close + 1;
                continue;
            }
            // An unclosed quote: the rest is plain words.
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < n && !IsSpace(text[end]) && text[end] != '"') {
            ++end;
        }
        TTerm term{text.substr(i, end - i), false};
        while (!term.Text.empty() && term.Text.back() == '*') {
            term.Text.pop_back();
            term.Prefix = true;
        }
        // A prefix of one letter stands for most words of a book: it is taken as a word.
        term.Prefix = term.Prefix && g_utf8_strlen(term.Text.c_str(), -1) > 1;
        terms.push_back(std::move(term));
        i = end;
    }
    return terms;
}

} // namespace

TSearchQuery TSearchQuery::Parse(const std::string& text) {
    TSearchQuery q;
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        return q;
    }
    std::string all;
    for (const TTerm& t : Terms(text)) {
        if (!HasWordCharacter(t.Text)) {
            continue;
        }
        q.HasCharacterPairs = q.HasCharacterPairs || HasPairRun(t.Text);
        all += all.empty() ? "" : " ";
        all += Quoted(t);
    }
    if (!all.empty()) {
        q.Expression = all;
        q.TitleExpression = "{title} : (" + all + ")";
        q.HeadingsExpression = "{headings} : (" + all + ")";
    }
    return q;
}

} // namespace kiva
