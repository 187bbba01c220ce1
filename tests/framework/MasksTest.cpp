#include "Masks.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <string>

namespace kiva {
namespace {

struct MaskCase {
    const char* Mask;
    const char* Text;
    bool Matches;
};

class MaskMatching : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskMatching, CoversTheWholeText) {
    const MaskCase& c = GetParam();
    EXPECT_EQ(TMask(c.Mask).Matches(c.Text), c.Matches) << c.Mask << " ~ " << c.Text;
}

INSTANTIATE_TEST_SUITE_P(
    Wildcards, MaskMatching,
    ::testing::Values(
        // Stars take any run, none included; the mask must reach both ends.
        MaskCase{"*.exe", "kiva://bundle/setup.exe", true},
        MaskCase{"*.exe", "kiva://bundle/Setup.EXE", true},
        MaskCase{"*.exe", "kiva://bundle/setup.exe?x=1", false}, MaskCase{"*.exe", ".exe", true},
        MaskCase{"*", "", true}, MaskCase{"a*b*c", "aXbYbZc", true},
        MaskCase{"a*b*c", "aXbYbZ", false}, MaskCase{"**x", "abx", true},
        MaskCase{"*a", "aaaa", true},
        // A question mark is exactly one character.
        MaskCase{"?.pdf", "a.pdf", true}, MaskCase{"?.pdf", ".pdf", false},
        MaskCase{"?.pdf", "ab.pdf", false},
        // Sets, ranges and negation; letters in either case.
        MaskCase{"file[0-9].txt", "file7.txt", true}, MaskCase{"file[0-9].txt", "fileA.txt", false},
        MaskCase{"[!a-c]x", "dx", true}, MaskCase{"[!a-c]x", "bx", false},
        MaskCase{"[!a-c]x", "Bx", false}, MaskCase{"[ab-]", "-", true},
        MaskCase{"[A-F]", "c", true},
        // Escapes are plain characters; an empty mask only matches an empty text.
        MaskCase{"*%20*", "kiva://bundle/My%20File.pdf", true}, MaskCase{"", "", true},
        MaskCase{"", "x", false}, MaskCase{" *.pdf", "kiva://bundle/a.pdf", false}));

TEST(MaskErrors, NameTheMaskAndThePositionOfTheFault) {
    const struct {
        std::string Mask;
        std::string Message;
    } cases[] = {
        {"*.[ab", "'*.[ab' is an invalid mask at (6)"},
        {"x[-a]", "'x[-a]' is an invalid mask at (3)"},
        {"[!-a]", "'[!-a]' is an invalid mask at (3)"},
        {"[a-c-e]", "'[a-c-e]' is an invalid mask at (5)"},
    };
    for (const auto& c : cases) {
        try {
            TMask mask(c.Mask);
            ADD_FAILURE() << c.Mask << " was accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.Message);
        }
    }
}

TEST(MaskErrors, ThirtyRunsOfStarsAreTheMostAMaskMayHold) {
    std::string mask;
    for (int i = 0; i < 30; ++i) {
        mask += "**a";
    }
    EXPECT_TRUE(TMask(mask).Matches(std::string(30, 'a')));
    try {
        TMask m(mask + "*");
        ADD_FAILURE() << "31 runs accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "'" + mask + "*' is an invalid mask at (91)");
    }
}

TEST(MaskMatching, LongTextsAgainstManyStarsFinishQuickly) {
    std::string mask;
    for (int i = 0; i < 30; ++i) {
        mask += "*a";
    }
    EXPECT_FALSE(TMask(mask + "b").Matches(std::string(5000, 'a')));
}

} // namespace
} // namespace kiva
