#pragma once

#include <string>

namespace kiva {

// A reader's query as the index's query language takes it. Readers type words (all must
// occur, in any order), "quoted phrases" and word* for words that begin so; everything else
// is text: the language's operators, column filters and stray quotes or stars lose their
// meaning, so that no query can fail to parse. An unclosed quote quotes nothing.
struct TSearchQuery {
    // The expression for the index; empty when the query holds nothing to search for.
    std::string Expression;
    // The same expression limited to the title column and to the headings column.
    std::string TitleExpression;
    std::string HeadingsExpression;
    // The query holds a run of Chinese, Japanese or Korean characters longer than one.
    bool HasCharacterPairs = false;

    static TSearchQuery Parse(const std::string& text);
};

} // namespace kiva
