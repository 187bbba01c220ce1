#include "KvbPatterns.h"

#include <gtest/gtest.h>

namespace kiva {
namespace {

struct PatternCase {
    const char* Pattern;
    const char* Path;
    bool IsFolder;
    bool Matches;
};

// The rules tar applies to its exclusions, which authors know.
TEST(KvbPatterns, PathPatternsMatchAsTarExclusionsDo) {
    const PatternCase cases[] = {
        {"*.tmp", "a.tmp", false, true},
        {"*.tmp", "docs/deep/a.tmp", false, true}, // no slash: a name at any depth
        {"*.TMP", "a.tmp", false, false},          // letter case matters
        {"docs/*.tmp", "docs/a.tmp", false, true},
        {"docs/*.tmp", "docs/sub/a.tmp", false, false},   // '*' stops at '/'
        {"docs/*.tmp", "other/docs/a.tmp", false, false}, // with a slash: from the top
        {"/a.tmp", "a.tmp", false, true},
        {"/a.tmp", "sub/a.tmp", false, false},
        {"./a.tmp", "sub/a.tmp", false, false},
        {"build/", "build", true, true}, // a trailing slash: folders only
        {"build/", "build", false, false},
        {"build", "src/build", true, true},
        {"?.html", "ab.html", false, false},
        {"[ab].html", "b.html", false, true},
        {".git", ".git", true, true},
        {".git", "sub/.git", false, true}, // a work tree's .git is a file
    };
    for (const PatternCase& c : cases) {
        EXPECT_EQ(TPathPattern(c.Pattern).Matches(c.Path, c.IsFolder), c.Matches)
            << c.Pattern << " on " << c.Path << (c.IsFolder ? "/" : "");
    }
    int defaults = 0;
    for (const char* backup : {".git", ".svn", ".hg", "page.html~", ".page.html.swp", ".x.swo",
                               "#page.html#", ".#page.html"}) {
        for (const TPathPattern& p : DefaultExclusions()) {
            defaults += p.Matches(std::string("site/") + backup, false);
        }
    }
    EXPECT_EQ(defaults, 8);
    for (const char* kept : {".gitignore", "page.html", "notes.swp", "a#b"}) {
        for (const TPathPattern& p : DefaultExclusions()) {
            EXPECT_FALSE(p.Matches(kept, false)) << kept << " by " << p.Text();
        }
    }
}

TEST(KvbPatterns, SelectorsTakeNamesFoldersAndWildcards) {
    const struct {
        const char* Operand;
        const char* Name;
        bool Selects;
    } cases[] = {
        {"docs/a.html", "DOCS/A.HTML", true}, // names ignore letter case, as the viewer's
        {"docs\\a.html", "docs/a.html", true},
        {"docs", "docs/a.html", true},
        {"docs", "docs/sub/b.html", true},
        {"docs", "docsx/a.html", false},
        {"docs/", "docs", false}, // folders only
        {"doc", "docs/a.html", false},
        {"*.html", "docs/sub/b.html", true},
        {"d*", "docs/sub/b.html", true}, // the pattern matches a folder the entry is in
        {"docs/*", "docs/sub/b.html", true},
        {"docs/*.html", "docs/sub/b.html", false},
        {"*.HTML", "a.html", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TEntrySelector(c.Operand).Selects(c.Name), c.Selects)
            << c.Operand << " on " << c.Name;
    }
}

} // namespace
} // namespace kiva
