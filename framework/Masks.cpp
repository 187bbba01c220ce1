#include "Masks.h"

#include "SysUtils.h"

namespace kiva {

namespace {

// Runs of stars beyond this many make the mask invalid; consecutive stars count once.
constexpr int kMaxStarRuns = 30;

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

[[noreturn]] void InvalidMask(std::string_view mask, std::size_t position) {
    throw Exception::CreateFmt("'%s' is an invalid mask at (%d)", mask, position + 1);
}

} // namespace

TMask::TMask(std::string_view mask) {
    int starRuns = 0;
    std::size_t i = 0;
    while (i < mask.size()) {
        const char c = mask[i];
        TStep step;
        if (c == '*') {
            if (!steps_.empty() && steps_.back().Kind == TStepKind::skStar) {
                ++i;
                continue;
            }
            if (++starRuns > kMaxStarRuns) {
                InvalidMask(mask, i);
            }
            step.Kind = TStepKind::skStar;
            ++i;
        } else if (c == '?') {
            step.Kind = TStepKind::skAny;
            ++i;
        } else if (c == '[') {
            step.Kind = TStepKind::skSet;
            ++i;
            if (i < mask.size() && mask[i] == '!') {
                step.Negate = true;
                ++i;
            }
            bool havePrevious = false;
            unsigned char previous = 0;
            while (i < mask.size() && mask[i] != ']') {
                const auto m = static_cast<unsigned char>(mask[i]);
                if (mask[i] == '-' && i + 1 < mask.size() && mask[i + 1] != ']') {
                    // A range needs the character before the dash as its start.
                    if (!havePrevious) {
                        InvalidMask(mask, i);
                    }
                    const auto last = static_cast<unsigned char>(mask[i + 1]);
                    for (unsigned v = previous; v <= last; ++v) {
                        step.Set.set(v);
                    }
                    havePrevious = false;
                    i += 2;
                    continue;
                }
                if (mask[i] == '-' && !havePrevious) {
                    InvalidMask(mask, i);
                }
                step.Set.set(m);
                previous = m;
                havePrevious = true;
                ++i;
            }
            if (i >= mask.size()) {
                InvalidMask(mask, mask.size());
            }
            ++i; // the closing ']'
        } else {
            step.Kind = TStepKind::skLiteral;
            step.Literal = LowerAscii(c);
            ++i;
        }
        steps_.push_back(step);
    }
}

bool TMask::StepMatches(const TStep& step, char c) const {
    switch (step.Kind) {
    case TStepKind::skLiteral:
        return LowerAscii(c) == step.Literal;
    case TStepKind::skAny:
        return true;
    case TStepKind::skSet: {
        // Letters in a set match in either case, like letters outside one.
        const bool in = step.Set.test(static_cast<unsigned char>(LowerAscii(c))) ||
                        step.Set.test(static_cast<unsigned char>(UpperAscii(c)));
        return in != step.Negate;
    }
    case TStepKind::skStar:
        break;
    }
    return false;
}

bool TMask::Matches(std::string_view text) const {
    // Every step but a star takes exactly one character, so going back to the last star and
    // letting it take one more character is enough; the work stays within text times steps.
    std::size_t t = 0;
    std::size_t s = 0;
    std::size_t starStep = std::string::npos;
    std::size_t starText = 0;
    while (t < text.size()) {
        if (s < steps_.size() && steps_[s].Kind == TStepKind::skStar) {
            starStep = s++;
            starText = t;
        } else if (s < steps_.size() && StepMatches(steps_[s], text[t])) {
            ++s;
            ++t;
        } else if (starStep != std::string::npos) {
            s = starStep + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (s < steps_.size() && steps_[s].Kind == TStepKind::skStar) {
        ++s;
    }
    return s == steps_.size();
}

} // namespace kiva
