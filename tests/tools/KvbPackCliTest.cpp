// kvb pack run as users run it: the options a book gets, what is left out, where the book
// goes, and the viewer a self-contained book carries.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "KvbRun.h"
#include "ProjectOptionsFile.h"
#include "ViewerMarker.h"
#include "ZLIBArchive2.h"

namespace kiva {
namespace {

using test::MakeSite;
using test::ReadFile;
using test::ReadText;
using test::RunKvb;
using test::RunResult;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

// The options record of a book, as the viewer would read it.
TProjectOptionsRecord OptionsOf(const std::string& book) {
    TZLBArc2 arc(nullptr);
    arc.OpenArchive(book);
    TMemoryStream rec;
    arc.ExtractToStream(rec, "-config-");
    return TProjectOptionsRecord::Decode(rec.Memory(), static_cast<std::size_t>(rec.Size()));
}

std::vector<std::string> EntriesOf(const std::string& book) {
    TZLBArc2 arc(nullptr);
    arc.OpenArchive(book);
    std::vector<std::string> names;
    for (int i = 0; i < arc.FileCount(); ++i) {
        names.push_back(arc.GetFileEntry(i).FullName());
    }
    return names;
}

// Without an options file a book opens usefully; the start page is found in the site.
TEST(KvbPack, WithoutOptionsTheBookGetsTheDefaultsAndAStartPageFromTheSite) {
    struct Case {
        const char* Label;
        std::vector<std::string> Files;
        std::string Start;
        std::string Warning; // "" for none
    };
    const Case cases[] = {
        {"IndexWins", {"about.html", "index.html", "docs/a.html"}, "index.html", ""},
        {"IndexInCapitals", {"INDEX.HTML", "a.html"}, "INDEX.HTML", ""},
        {"TheOnlyPage", {"start.htm", "style.css"}, "start.htm", ""},
        {"FirstOfSeveral", {"b.html", "a.html"}, "a.html", "the first of its 2 top-level pages"},
        {"OnlyDeeper", {"docs/z.html", "docs/sub/a.html"}, "docs/z.html", "no page at its top"},
        {"NoPageAtAll", {"style.css"}, "index.html", "has no HTML page"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        TempDir tmp;
        for (const std::string& f : c.Files) {
            WriteFile(tmp / ("site/" + f), "<p>" + f);
        }
        const RunResult r = RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb"});
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(OptionTexts(OptionsOf(tmp / "a.kvb")),
                  OptionTexts(DefaultProjectOptions(c.Start)));
        if (c.Warning.empty()) {
            EXPECT_EQ(r.Err, "");
        } else {
            EXPECT_NE(r.Err.find("kvb: warning: "), std::string::npos);
            EXPECT_NE(r.Err.find(c.Warning), std::string::npos) << r.Err;
        }
    }
}

// An author's options file keeps its meaning; --defaults, --set and the checks add to it.
TEST(KvbPack, OptionsFromAFileSetAndDefaultsWithTheirWarnings) {
    TempDir tmp;
    MakeSite(tmp);
    const std::string ini = tmp / "o.ini";
    struct Case {
        const char* Label;
        std::string Ini; // "" for no options file
        std::vector<std::string> Args;
        int Status;
        std::vector<std::string> Err;
        std::function<void(const TProjectOptionsRecord&)> Check;
    };
    const Case cases[] = {
        {"LeftOutIsZeroWithAWarning",
         "StartPage=index.html\nShowToolBar=1\n",
         {},
         0,
         {"o.ini: WindowWidth is 0", "o.ini: WindowHeight is 0"},
         [](const TProjectOptionsRecord& o) {
             EXPECT_EQ(o.WindowWidth, 0);
             EXPECT_FALSE(o.AllowFind);
             EXPECT_TRUE(o.ShowToolBar);
         }},
        {"DefaultsFillTheRest",
         "StartPage=docs/guide.html\nAllowPrint=0\n",
         {"--defaults"},
         0,
         {},
         [](const TProjectOptionsRecord& o) {
             TProjectOptionsRecord e = DefaultProjectOptions("docs/guide.html");
             e.AllowPrint = false;
             EXPECT_EQ(OptionTexts(o), OptionTexts(e));
         }},
        {"SetWithoutAFile",
         "",
         {"--set", "WindowWidth=800", "--set=UserAgentText=Book/1"},
         0,
         {},
         [](const TProjectOptionsRecord& o) {
             EXPECT_EQ(o.WindowWidth, 800);
             EXPECT_EQ(o.UserAgentText, "Book/1");
             EXPECT_EQ(o.WindowHeight, 768);
         }},
        {"StartPageNotInTheSite",
         "StartPage=C:\\web\\missing.html\nWindowStyle=3\n",
         {},
         0,
         {"StartPage C:\\web\\missing.html is not in the site"},
         nullptr},
        {"WindowStyleOutOfRangeIsKept",
         "StartPage=index.html#top\nWindowStyle=7\nWindowWidth=9\nWindowHeight=9\n",
         {},
         0,
         {"o.ini:2: WindowStyle 7 is not one of 0 to 3"},
         [](const TProjectOptionsRecord& o) { EXPECT_EQ(o.WindowStyle, 7); }},
        {"EveryBadKeyIsReported",
         "StartPage=index.html\nAllowFind=yes\nWindowWidht=800\n",
         {},
         1,
         {"kvb: " + ini + ":2: AllowFind needs 0 or 1, not \"yes\"",
          "kvb: " + ini + ":3: unknown key \"WindowWidht\"; did you mean WindowWidth?"},
         nullptr},
        {"BadSetIsWrongUsage",
         "",
         {"--set", "Colour=red"},
         2,
         {"--set Colour=red: unknown"},
         nullptr},
        {"LogoFileWithoutAnIcon", "LogoFile=x.ico\n", {}, 1, {"add --logo ICON"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        std::vector<std::string> args = {"pack", tmp / "site", "-o", tmp / "a.kvb"};
        if (!c.Ini.empty()) {
            WriteFile(ini, c.Ini);
            args.insert(args.end(), {"--options", ini});
        }
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        fs::remove(tmp / "a.kvb");
        const RunResult r = RunKvb(tmp, args);
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        for (const std::string& e : c.Err) {
            EXPECT_NE(r.Err.find(e), std::string::npos) << e << "\n" << r.Err;
        }
        if (c.Err.empty()) {
            EXPECT_EQ(r.Err, "");
        }
        EXPECT_EQ(fs::exists(tmp / "a.kvb"), c.Status == 0);
        if (c.Check && c.Status == 0) {
            c.Check(OptionsOf(tmp / "a.kvb"));
        }
    }
}

TEST(KvbPack, PackWithOptionsAndLogoWritesBothProjectEntriesLast) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFile(tmp / "o.ini", "[Options]\nStartPage=index.html\nWindowStyle=3\n");
    WriteFile(tmp / "my.ico", std::vector<std::uint8_t>{0, 0,  1, 0, 1, 0, 16, 16, 0, 0, 1,
                                                        0, 32, 0, 0, 0, 0, 0,  22, 0, 0, 0});
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb", "--options", tmp / "o.ini",
                           "--logo", tmp / "my.ico"})
                  .Status,
              0);
    EXPECT_EQ(EntriesOf(tmp / "a.kvb"),
              (std::vector<std::string>{"index.html", "docs\\bytes.bin", "docs\\guide.html",
                                        "-config-", "-logo-"}));
    EXPECT_EQ(OptionsOf(tmp / "a.kvb").LogoFile, "my.ico");
    EXPECT_EQ(RunKvb(tmp, {"cat", tmp / "a.kvb", "-logo-"}).Out.size(), 22u);

    // A book without options at all, as they once were made, on request only.
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "b.kvb", "--no-options"}).Status, 0);
    EXPECT_EQ(EntriesOf(tmp / "b.kvb"),
              (std::vector<std::string>{"index.html", "docs\\bytes.bin", "docs\\guide.html"}));
    EXPECT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "c.kvb", "--no-options", "--set",
                           "AllowFind=1"})
                  .Status,
              2);
}

TEST(KvbPack, ExclusionsLeaveOutWhatTheyMatchAndSpecialFilesAreSkipped) {
    TempDir tmp;
    for (const char* f : {"index.html", "index.html~", ".index.html.swp", ".git/HEAD",
                          "docs/a.html", "docs/a.tmp", "docs/sub/b.tmp", "docs/.hg/x",
                          "build/out.html", "src/build/in.html", "line\nbreak.html"}) {
        WriteFile(tmp / (std::string("site/") + f), f);
    }
    ASSERT_EQ(::mkfifo((tmp / "site/pipe").c_str(), 0600), 0);
    fs::create_symlink(tmp / "nowhere", tmp / "site/dangling");
    struct Case {
        std::vector<std::string> Args;
        std::vector<std::string> Entries; // without -config-
    };
    const Case cases[] = {
        {{},
         {"index.html", "build\\out.html", "docs\\a.html", "docs\\a.tmp", "docs\\sub\\b.tmp",
          "src\\build\\in.html"}},
        {{"--include-vcs"},
         {".index.html.swp", "index.html", "index.html~", ".git\\HEAD", "build\\out.html",
          "docs\\a.html", "docs\\a.tmp", "docs\\.hg\\x", "docs\\sub\\b.tmp",
          "src\\build\\in.html"}},
        {{"--exclude", "*.tmp"},
         {"index.html", "build\\out.html", "docs\\a.html", "src\\build\\in.html"}},
        {{"--exclude", "docs/*.tmp"},
         {"index.html", "build\\out.html", "docs\\a.html", "docs\\sub\\b.tmp",
          "src\\build\\in.html"}},
        {{"--exclude=/build", "--exclude", "sub/"},
         {"index.html", "docs\\a.html", "docs\\a.tmp", "src\\build\\in.html"}},
        {{"--exclude", "build"}, {"index.html", "docs\\a.html", "docs\\a.tmp", "docs\\sub\\b.tmp"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Line(c.Args));
        std::vector<std::string> args = {"pack", tmp / "site", "-o", tmp / "a.kvb"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const RunResult r = RunKvb(tmp, args);
        ASSERT_EQ(r.Status, 0) << r.Err;
        std::vector<std::string> expected = c.Entries;
        expected.push_back("-config-");
        EXPECT_EQ(EntriesOf(tmp / "a.kvb"), expected);
        // The odd files cost a warning each, never the pack.
        for (const char* odd : {"pipe\": it is neither", "dangling\": it is a broken",
                                "line?break.html\": its name contains a control"}) {
            EXPECT_NE(r.Err.find(odd), std::string::npos) << odd << "\n" << r.Err;
        }
    }
}

TEST(KvbPack, ADashWritesTheBookToStandardOutput) {
    TempDir tmp;
    MakeSite(tmp);
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb"}).Status, 0);
    const RunResult r = RunKvb(tmp, {"pack", tmp / "site", "-o", "-"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    const auto file = ReadFile(tmp / "a.kvb");
    EXPECT_EQ(std::vector<std::uint8_t>(r.Out.begin(), r.Out.end()), file);
    EXPECT_NE(r.Err.find("standard output: 4 entries"), std::string::npos) << r.Err;
    EXPECT_FALSE(fs::exists(tmp / "-"));
    const RunResult launcher =
        RunKvb(tmp, {"pack", tmp / "site", "-o", "-", "--viewer", "x", "--desktop-entry", "b"});
    EXPECT_EQ(launcher.Status, 2);
}

// A program that carries the viewer's marker, as the real viewer does.
void WriteFakeViewer(const std::string& file) {
    auto bytes = test::NoiseBytes(5000, 3);
    const std::string marker = ViewerMarker();
    std::copy(marker.begin(), marker.end(), bytes.begin() + 4000);
    WriteFile(file, bytes);
    fs::permissions(file, fs::perms::owner_all);
}

TEST(KvbPack, TheViewerIsFoundOnThePathAndMustBeTheViewer) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFakeViewer(tmp / "bin/kivabook-viewer");
    WriteFile(tmp / "bin/other", "#!/bin/sh\n");
    fs::permissions(tmp / "bin/other", fs::perms::owner_all);
    const std::string path = "PATH=/nonexistent:" + tmp / "bin";
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "self", "--viewer", "kivabook-viewer"},
                     {path})
                  .Status,
              0);
    struct Case {
        std::string Viewer;
        std::string Err;
    };
    const Case cases[] = {
        {"other", "--viewer " + tmp / "bin/other" + ": is not the Kivabook viewer"},
        {"/etc/hostname", "--viewer /etc/hostname: is not the Kivabook viewer"},
        {"kvb-nowhere", "--viewer kvb-nowhere: no program of that name on PATH"},
        {KVB_PATH, "is not the Kivabook viewer"}, // kvb looks for the marker, never carries it
        {tmp / "self", "already carries a book"},
        {tmp / "bin", "is not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Viewer);
        const RunResult r =
            RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "b", "--viewer", c.Viewer}, {path});
        EXPECT_EQ(r.Status, 1);
        EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
        EXPECT_FALSE(fs::exists(tmp / "b"));
    }

    // The book is the viewer followed by the archive, executable, and reads as a plain one.
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "plain.kvb"}).Status, 0);
    const auto exe = ReadFile(tmp / "bin/kivabook-viewer");
    const auto bundle = ReadFile(tmp / "self");
    ASSERT_GT(bundle.size(), exe.size());
    EXPECT_TRUE(std::equal(exe.begin(), exe.end(), bundle.begin()));
    EXPECT_EQ(fs::status(tmp / "self").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);
    TZLBArc2 plain(nullptr), bundled(nullptr);
    ASSERT_TRUE(plain.OpenArchive(tmp / "plain.kvb"));
    ASSERT_TRUE(bundled.OpenArchive(tmp / "self"));
    EXPECT_EQ(bundled.BaseOffset(), 5000);
    ASSERT_EQ(bundled.FileCount(), plain.FileCount());
    for (int i = 0; i < plain.FileCount(); ++i) {
        TMemoryStream a, b;
        plain.ExtractIndexToStream(i, a, nullptr);
        bundled.ExtractIndexToStream(i, b, nullptr);
        ASSERT_EQ(a.Size(), b.Size());
        EXPECT_EQ(std::memcmp(a.Memory(), b.Memory(), static_cast<std::size_t>(a.Size())), 0);
    }
    EXPECT_EQ(RunKvb(tmp, {"verify", tmp / "self"}).Status, 0);
}

TEST(KvbPack, DesktopEntryNeedsTheViewerAndIsCheckedBeforeTheBookIsWritten) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFakeViewer(tmp / "viewer");
    const std::string site = tmp / "site", book = tmp / "book", viewer = tmp / "viewer";
    struct Case {
        std::vector<std::string> Args;
        int Status;
        const char* ErrText;
    };
    const Case cases[] = {
        {{"--desktop-entry", tmp / "b.desktop"}, 2, "--desktop-entry needs --viewer"},
        {{"--viewer", viewer, "--desktop-name", "B"}, 2, "--desktop-name needs --desktop-entry"},
        {{"--viewer", viewer, "--desktop-entry", tmp / "b.txt"}, 1, "must end in .desktop"},
        {{"--viewer", viewer, "--desktop-entry", tmp / "no/b.desktop"}, 1, "no such folder"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"pack", site, "-o", book};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        SCOPED_TRACE(c.ErrText);
        RunResult r = RunKvb(tmp, args);
        EXPECT_EQ(r.Status, c.Status);
        EXPECT_NE(r.Err.find(c.ErrText), std::string::npos) << r.Err;
        EXPECT_FALSE(fs::exists(book));
    }
    RunResult ok = RunKvb(tmp, {"pack", site, "-o", book, "--viewer", viewer, "--desktop-entry",
                                tmp / "b.desktop", "--desktop-name", "Das Buch"});
    ASSERT_EQ(ok.Status, 0) << ok.Err;
    EXPECT_NE(ok.Out.find("b.desktop: launcher \"Das Buch\""), std::string::npos) << ok.Out;
    EXPECT_NE(ReadText(tmp / "b.desktop").find("\nName=Das Buch\n"), std::string::npos);
}

} // namespace
} // namespace kiva
