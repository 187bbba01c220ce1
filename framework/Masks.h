#pragma once

#include <bitset>
#include <string>
#include <string_view>
#include <vector>

namespace kiva {

// A file-name wildcard mask: "*" matches any run of characters (none included), "?" exactly
// one, "[...]" one character of a set of characters and ranges such as a-f ("[!...]" one
// character outside it); every other character matches itself without regard to ASCII letter
// case. A mask matches a text only when it covers the whole of it.
class TMask {
public:
    // Raises kiva::Exception "'<mask>' is an invalid mask at (<position>)" for an unclosed
    // set (the position just past the mask's end), a range without a first character (the
    // "-") or a 31st run of stars (its first star). Positions count from 1.
    explicit TMask(std::string_view mask);

    bool Matches(std::string_view text) const;

private:
    enum class TStepKind { skLiteral, skAny, skStar, skSet };
    struct TStep {
        TStepKind Kind = TStepKind::skLiteral;
        char Literal = 0;
        bool Negate = false;
        std::bitset<256> Set;
    };
    bool StepMatches(const TStep& step, char c) const;

    std::vector<TStep> steps_;
};


} // namespace kiva
