// Runs the built kvb program the way users do and checks what it prints, writes and returns:
// exit statuses and errors, then list, cat and extract, verify and info. Packing is in
// KvbPackCliTest.cpp.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "KvbRun.h"
#include "ZLIBArchive2.h"

namespace kiva {
namespace {

using test::AllFilesBelow;
using test::CraftArchive;
using test::MakeSite;
using test::ReadFile;
using test::ReadText;
using test::RunKvb;
using test::RunResult;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

// A packed book whose compressed directory has lost its zlib header, and one that lost its
// first bytes, so that its trailer counts more than the file holds.
void MakeDamagedBooks(const TempDir& tmp) {
    // The first entry compresses, so the book begins with a zlib stream.
    WriteFile(tmp / "big/index.html", std::string(4000, 'a'));
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "big", "-o", tmp / "big.kvb"}).Status, 0);
    auto big = ReadFile(tmp / "big.kvb");
    WriteFile(tmp / "head.kvb", std::vector<std::uint8_t>(big.begin(), big.end() - 40));
    auto bytes = ReadFile(tmp / "a.kvb");
    const std::size_t dirSize = GetU32(bytes.data() + bytes.size() - 36 + 12);
    auto damaged = bytes;
    damaged[damaged.size() - 36 - dirSize] = 0;
    WriteFile(tmp / "dir.kvb", damaged);
    WriteFile(tmp / "cut.kvb", std::vector<std::uint8_t>(bytes.begin() + 10, bytes.end()));
}

TEST(KvbCli, WrongUsageIsTwoAndABadBookIsOneNamingTheFileAndTheTrouble) {
    TempDir tmp;
    MakeSite(tmp);
    ASSERT_EQ(
        RunKvb(tmp, {"pack", "--stored", "--raw-directory", tmp / "site", "-o", tmp / "stored.kvb"})
            .Status,
        0);
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb"}).Status, 0);
    MakeDamagedBooks(tmp);
    WriteFile(tmp / "empty.kvb", "");
    WriteFile(tmp / "short.kvb", "KVB");
    WriteFile(tmp / "plain.txt", std::string(100, 'x'));
    WriteFile(tmp / "g.kvb", std::string("\x1F\x8B\x08\0\0\0\0\0", 8) + std::string(60, 'z'));
    const std::string a = tmp / "a.kvb";
    struct Case {
        std::vector<std::string> Args;
        int Status;
        std::string ErrText;
    };
    const Case cases[] = {
        {{}, 2, "Usage: kvb COMMAND"},
        {{"frobnicate"}, 2, "unknown command"},
        // An unknown option is wrong usage for every command, before or after operands.
        {{"list", a, "--bogus"}, 2, "unknown option --bogus"},
        {{"extract", a, "-x"}, 2, "unknown option -x"},
        {{"cat", a, "--bogus", "index.html"}, 2, "unknown option --bogus"},
        {{"verify", "-Z", a}, 2, "unknown option -Z"},
        {{"info", a, "--long"}, 2, "unknown option --long"},
        {{"cat", a}, 2, "needs a book and at least one entry name"},
        {{"list", a, a}, 2, "too many arguments"},
        {{"list", "-l", "--tsv", a}, 2, "choose one of"},
        {{"extract", a, "-C"}, 2, "option -C needs a value"},
        // "-" stands for standard output only where that makes sense.
        {{"list", "-"}, 2, "\"-\" cannot stand for the book"},
        {{"extract", a, "-C", "-"}, 2, "kvb cat writes entries to standard output"},
        {{"info", "-"}, 2, "\"-\" cannot stand for the book"},
        {{"list", tmp / "missing.kvb"}, 1, tmp / "missing.kvb: no such file"},
        {{"info", tmp.Path().string()}, 1, tmp.Path().string() + ": is a folder, not a book"},
        {{"verify", "/dev/null"}, 1, "/dev/null: is not a regular file"},
        {{"list", tmp / "empty.kvb"}, 1, "empty.kvb: is empty, not a book"},
        {{"list", tmp / "short.kvb"}, 1, "short.kvb: is not a book: at 3 bytes"},
        {{"list", tmp / "plain.txt"}, 1, "plain.txt: is not a book: it does not end in a"},
        {{"extract", tmp / "g.kvb"}, 1, "g.kvb: is gzip-compressed data, not a book"},
        {{"cat", tmp / "cut.kvb", "index.html"}, 1, "cut.kvb: is truncated: its trailer counts"},
        {{"list", tmp / "head.kvb"}, 1, "head.kvb: is truncated: it begins like a book"},
        {{"list", tmp / "dir.kvb"}, 1, "dir.kvb: has a damaged directory"},
        {{"cat", a, "nothere.html"}, 1, a + ": no entry matches nothere.html"},
        {{"--version"}, 0, ""},
        {{"list", "--help"}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Line(c.Args));
        RunResult r = RunKvb(tmp, c.Args);
        EXPECT_EQ(r.Status, c.Status);
        EXPECT_NE(r.Err.find(c.ErrText), std::string::npos) << r.Err;
        if (c.Status == 1) {
            EXPECT_EQ(r.Err.rfind("kvb: ", 0), 0u) << r.Err;
        }
    }
}

TEST(KvbCli, ListShowsSlashesTotalsAndMachineReadableForms) {
    TempDir tmp;
    CraftArchive(tmp / "a.kvb", {{"index.html", "<p>home</p>"},
                                 {"docs\\tab\there.txt", "tab"},
                                 {"docs\\caf\xE9\\line\nbreak.txt", "12345"}});
    const std::string a = tmp / "a.kvb";
    const std::string cafe = "caf\xC3\xA9";
    EXPECT_EQ(RunKvb(tmp, {"list", a}).Out,
              "index.html\ndocs/tab?here.txt\ndocs/" + cafe + "/line?break.txt\n");
    const std::string nul(1, '\0');
    EXPECT_EQ(RunKvb(tmp, {"list", "--null", a}).Out, "index.html" + nul + "docs/tab\there.txt" +
                                                          nul + "docs/" + cafe +
                                                          "/line\nbreak.txt" + nul);
    const RunResult tsv = RunKvb(tmp, {"list", "--tsv", a});
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", CRC32("<p>home</p>", 11));
    EXPECT_EQ(tsv.Out.substr(0, tsv.Out.find('\n') + 1),
              std::string("stored\t11\t11\t") + crc + "\tindex.html\n");
    EXPECT_NE(tsv.Out.find("\tdocs/tab\\there.txt\n"), std::string::npos) << tsv.Out;
    EXPECT_NE(tsv.Out.find("\tdocs/" + cafe + "/line\\nbreak.txt\n"), std::string::npos);

    // -l and -v give the long form, with running totals at the end.
    for (const char* flag : {"-l", "-v"}) {
        const RunResult l = RunKvb(tmp, {"list", flag, a});
        EXPECT_EQ(l.Out.substr(0, l.Out.find('\n')).find("Method"), 0u) << l.Out;
        const std::string last = l.Out.substr(l.Out.rfind('\n', l.Out.size() - 2) + 1);
        EXPECT_NE(last.find(" 19 "), std::string::npos) << last; // 11 + 3 + 5 bytes
        EXPECT_NE(last.find("3 entries"), std::string::npos) << last;
    }
}

TEST(KvbCli, CatAndExtractSelectByNameFolderAndWildcard) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFile(tmp / "site/docs/sub/deep.html", "deep");
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb"}).Status, 0);
    struct Case {
        std::vector<std::string> Names;
        std::vector<std::string> Files; // below the target, '/' between folders
        int Status;
    };
    const std::vector<std::string> docs = {"docs/bytes.bin", "docs/guide.html",
                                           "docs/sub/deep.html"};
    const Case cases[] = {
        {{"index.html"}, {"index.html"}, 0},
        {{"DOCS/Guide.html"}, {"docs/guide.html"}, 0},
        {{"docs\\guide.html"}, {"docs/guide.html"}, 0},
        {{"docs"}, docs, 0},
        {{"docs/"}, docs, 0},
        {{"doc*"}, docs, 0},
        {{"*.html"}, {"docs/guide.html", "docs/sub/deep.html", "index.html"}, 0},
        {{"docs/*.html"}, {"docs/guide.html"}, 0},
        {{"docs/*/*.html"}, {"docs/sub/deep.html"}, 0},
        {{"*.HTML"}, {}, 1},
        {{"index.html/"}, {}, 1},
        {{"-config-"}, {"-config-"}, 0},
        {{"--", "-config-", "nothing"}, {"-config-"}, 1},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Line(c.Names));
        const std::string out = tmp / ("x" + std::to_string(n++));
        std::vector<std::string> args = {"extract", tmp / "a.kvb", "-C", out};
        args.insert(args.end(), c.Names.begin(), c.Names.end());
        const RunResult ex = RunKvb(tmp, args);
        EXPECT_EQ(ex.Status, c.Status) << ex.Err;
        std::vector<std::string> files;
        std::string expectedCat;
        for (const std::string& f : AllFilesBelow(out)) {
            if (fs::is_regular_file(fs::path(out) / f)) {
                files.push_back(f);
            }
        }
        EXPECT_EQ(files, c.Files);

        args[0] = "cat";
        args.erase(args.begin() + 2, args.begin() + 4);
        const RunResult cat = RunKvb(tmp, args);
        EXPECT_EQ(cat.Status, c.Status) << cat.Err;
        // In directory order: the top's files first, then the folders'.
        std::vector<std::string> ordered = c.Files;
        std::stable_sort(ordered.begin(), ordered.end(), [](const auto& x, const auto& y) {
            return std::count(x.begin(), x.end(), '/') < std::count(y.begin(), y.end(), '/');
        });
        for (const std::string& f : ordered) {
            expectedCat +=
                f == "-config-" ? ReadText(out + "/-config-") : ReadText(tmp / ("site/" + f));
        }
        if (c.Files != std::vector<std::string>{"-config-"}) {
            EXPECT_EQ(cat.Out, expectedCat);
        }
        if (c.Status == 1 && !c.Names.empty() && c.Names.back() == "nothing") {
            EXPECT_NE(ex.Err.find(": no entry matches nothing"), std::string::npos) << ex.Err;
        }
    }
}

TEST(KvbCli, ExtractKeepsExistingFilesWithKAndGivesFilesTheBooksTime) {
    TempDir tmp;
    MakeSite(tmp);
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb"}).Status, 0);
    const timespec bookTime[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "a.kvb").c_str(), bookTime, 0), 0);
    WriteFile(tmp / "out/index.html", "mine");

    const RunResult kept = RunKvb(tmp, {"extract", "-k", tmp / "a.kvb", "-C", tmp / "out"});
    EXPECT_EQ(kept.Status, 1);
    EXPECT_NE(kept.Err.find("out/index.html: exists; not replaced"), std::string::npos) << kept.Err;
    EXPECT_EQ(ReadText(tmp / "out/index.html"), "mine");
    EXPECT_EQ(ReadFile(tmp / "out/docs/bytes.bin"), ReadFile(tmp / "site/docs/bytes.bin"));
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "out/docs/guide.html").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    // No temporary file is left beside a file that was kept.
    EXPECT_EQ(AllFilesBelow(tmp / "out"),
              (std::vector<std::string>{"-config-", "docs", "docs/bytes.bin", "docs/guide.html",
                                        "index.html"}));

    // Without -k the file is replaced.
    EXPECT_EQ(RunKvb(tmp, {"extract", tmp / "a.kvb", "-C", tmp / "out", "index.html"}).Status, 0);
    EXPECT_EQ(ReadText(tmp / "out/index.html"), "<title>Home</title>");
}

TEST(KvbCli, ExtractNeverWritesOutsideTheTargetFolder) {
    TempDir tmp;
    const std::vector<test::CraftedEntry> entries = {
        {"..\\up.txt", "escape"},      {"a\\..\\..\\up2.txt", "escape"},
        {"\\abs.txt", "escape"},       {"C:\\drive.txt", "escape"},
        {tmp / "slash.txt", "escape"}, {"a\\\\empty.txt", "escape"},
        {"dir\\", "escape"},           {std::string("nul\0.txt", 8), "escape"},
        {"ok\\good.txt", "fine"},      {"top.txt", "fine too"},
    };
    CraftArchive(tmp / "evil.kvb", entries);
    fs::create_directories(tmp / "box/out");
    RunResult r = RunKvb(tmp, {"extract", tmp / "evil.kvb", "-C", tmp / "box/out"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(AllFilesBelow(tmp.Path()),
              (std::vector<std::string>{"box", "box/out", "box/out/ok", "box/out/ok/good.txt",
                                        "box/out/top.txt", "evil.kvb"}));
    EXPECT_EQ(ReadText(tmp / "box/out/ok/good.txt"), "fine");
    // One message per skipped entry, naming the book and the entry.
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 8) << r.Err;
    EXPECT_NE(r.Err.find("evil.kvb: skipped entry \"../up.txt\""), std::string::npos) << r.Err;
}

TEST(KvbCli, ExtractDoesNotFollowLinksPlantedInTheTargetFolder) {
    TempDir tmp;
    CraftArchive(tmp / "a.kvb", {{"ok\\good.txt", "new"}, {"file.txt", "new"}});
    fs::create_directories(tmp / "outside");
    WriteFile(tmp / "secret.txt", "keep");
    fs::create_directories(tmp / "out");
    fs::create_directory_symlink(tmp / "outside", tmp / "out/ok");
    fs::create_symlink(tmp / "secret.txt", tmp / "out/file.txt");

    RunResult r = RunKvb(tmp, {"extract", tmp / "a.kvb", "-C", tmp / "out"});
    EXPECT_EQ(r.Status, 1); // the folder link is in the way of ok\good.txt
    EXPECT_NE(r.Err.find("cannot enter folder \"ok\""), std::string::npos) << r.Err;
    EXPECT_TRUE(fs::is_empty(tmp / "outside"));
    EXPECT_EQ(ReadText(tmp / "secret.txt"), "keep");
    // The link where a file goes is replaced by the file, not written through.
    EXPECT_FALSE(fs::is_symlink(tmp / "out/file.txt"));
    EXPECT_EQ(ReadText(tmp / "out/file.txt"), "new");
}

// Books made on Windows store names and option texts in Windows-1252; kvb shows and writes
// them in UTF-8 and finds them by their UTF-8 names.
TEST(KvbCli, Windows1252NamesAreShownExtractedAndFoundInUtf8) {
    TempDir tmp;
    std::string options(2872, '\0');
    options[0] = 9;
    options.replace(1, 9, "caf\xE9.html");
    CraftArchive(tmp / "old.kvb", {{"caf\xE9.html", "<p>caf\xE9</p>"},
                                   {"docs\\r\xE9sum\xE9\x80.txt", "euro"},
                                   {"ctl\x9D.txt", "control"},
                                   {"-config-", options}});
    const std::string cafe = "caf\xC3\xA9.html",
                      resume = "docs/r\xC3\xA9sum\xC3\xA9\xE2\x82\xAC.txt";

    RunResult list = RunKvb(tmp, {"list", tmp / "old.kvb"});
    EXPECT_EQ(list.Status, 0);
    // U+009D is a control character that terminals may act on.
    EXPECT_EQ(list.Out, cafe + "\n" + resume + "\nctl?.txt\n-config-\n");
    EXPECT_NE(RunKvb(tmp, {"info", tmp / "old.kvb"}).Out.find("StartPage = " + cafe + "  ("),
              std::string::npos);

    // Found by the UTF-8 name, with backslashes and in other letter case too.
    EXPECT_EQ(RunKvb(tmp, {"cat", tmp / "old.kvb", cafe}).Out, "<p>caf\xE9</p>");
    EXPECT_EQ(
        RunKvb(tmp, {"cat", tmp / "old.kvb", "DOCS\\r\xC3\xA9sum\xC3\xA9\xE2\x82\xAC.txt"}).Out,
        "euro");
    EXPECT_EQ(RunKvb(tmp, {"cat", tmp / "old.kvb", "caf\xC3\xA8.html"}).Status, 1);

    ASSERT_EQ(RunKvb(tmp, {"extract", tmp / "old.kvb", "-C", tmp / "all"}).Status, 0);
    EXPECT_EQ(AllFilesBelow(tmp / "all"),
              (std::vector<std::string>{"-config-", cafe, "ctl\xC2\x9D.txt", "docs", resume}));
    EXPECT_EQ(ReadText(tmp / ("all/" + cafe)), "<p>caf\xE9</p>");
}

TEST(KvbCli, VerifyCatAndExtractNameTheDamagedOrEncryptedEntry) {
    TempDir tmp;
    MakeSite(tmp);
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb", "--stored"}).Status, 0);
    RunResult good = RunKvb(tmp, {"verify", tmp / "a.kvb"});
    EXPECT_EQ(good.Status, 0);
    EXPECT_EQ(good.Out.rfind("OK: 4 entries", 0), 0u) << good.Out;

    // index.html is stored first; its third byte lies in the data area.
    auto bytes = ReadFile(tmp / "a.kvb");
    bytes[2] ^= 0x20;
    WriteFile(tmp / "a.kvb", bytes);
    const std::string a = tmp / "a.kvb";
    RunResult bad = RunKvb(tmp, {"verify", a});
    EXPECT_EQ(bad.Status, 1);
    EXPECT_NE(bad.Err.find(a + ": the book's CRC does not match"), std::string::npos) << bad.Err;
    EXPECT_NE(bad.Err.find(a + ": damaged entry index.html: its content fails its CRC check"),
              std::string::npos)
        << bad.Err;
    EXPECT_EQ(bad.Err.find("guide.html"), std::string::npos) << bad.Err;
    EXPECT_EQ(bad.Out, "");

    // cat hands out nothing of a damaged entry; extract leaves no file for it.
    RunResult cat = RunKvb(tmp, {"cat", a, "index.html"});
    EXPECT_EQ(cat.Status, 1);
    EXPECT_TRUE(cat.Out.empty());
    EXPECT_EQ(RunKvb(tmp, {"extract", a, "-C", tmp / "out"}).Status, 1);
    EXPECT_FALSE(fs::exists(tmp / "out/index.html"));
    EXPECT_TRUE(fs::exists(tmp / "out/docs/guide.html"));

    // Neither the viewer nor kvb has a cipher: an encrypted entry is said to be one.
    CraftArchive(tmp / "enc.kvb", {{"a.html", "plain"}, {"secret.html", "x", emStoredEncrypted}});
    const RunResult v = RunKvb(tmp, {"verify", tmp / "enc.kvb"});
    EXPECT_EQ(v.Status, 0) << v.Err;
    EXPECT_NE(v.Err.find("entry secret.html is encrypted"), std::string::npos) << v.Err;
    const RunResult x = RunKvb(tmp, {"cat", tmp / "enc.kvb", "secret.html"});
    EXPECT_EQ(x.Status, 1);
    EXPECT_NE(x.Err.find("entry secret.html is encrypted, and kvb cannot decipher it"),
              std::string::npos)
        << x.Err;
}

TEST(KvbCli, InfoShowsWhatTheOptionsMeanButNeverThePassword) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFile(tmp / "o.ini", "StartPage=C:\\web\\index.html\nWindowStyle=3\nWindowWidth=640\n"
                             "ViewPassword=Sesame 42\nAllowFind=1\n");
    ASSERT_EQ(
        RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb", "--options", tmp / "o.ini"}).Status,
        0);
    const RunResult info = RunKvb(tmp, {"info", tmp / "a.kvb"});
    EXPECT_EQ(info.Status, 0);
    for (const char* line : {"  StartPage = C:\\web\\index.html  (home kiva://bundle/index.html)\n",
                             "  WindowStyle = 3  (full screen, no frame)\n",
                             "  WindowWidth = 640  (unused: the window fills the screen)\n",
                             "  AllowFind = 1  (Find allowed)\n", "  AllowCopy = 0  (no Copy)\n",
                             "  ViewPassword: set (not shown)\n"}) {
        EXPECT_NE(info.Out.find(line), std::string::npos) << line << "\n" << info.Out;
    }
    EXPECT_EQ(info.Out.find("Sesame"), std::string::npos) << info.Out;
}

// -q leaves only errors and the data asked for; -v adds a line per entry.
TEST(KvbCli, QuietAndVerboseWorkForEveryCommand) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFile(tmp / "site/.git/HEAD", "ref");
    ASSERT_EQ(RunKvb(tmp, {"pack", "-q", tmp / "site", "-o", tmp / "a.kvb"}).Status, 0);
    const std::string a = tmp / "a.kvb";
    struct Case {
        std::vector<std::string> Args;
        std::string Out; // a text the output holds, or "" for none at all
        std::string Err;
    };
    const Case cases[] = {
        {{"pack", "-q", tmp / "site", "-o", tmp / "b.kvb"}, "", ""},
        {{"pack", tmp / "site", "-o", tmp / "b.kvb"}, "b.kvb: 4 entries", "left out .git/"},
        {{"pack", "-v", tmp / "site", "-o", tmp / "b.kvb"}, "a docs/guide.html\n", ""},
        {{"pack", "-v", tmp / "site", "-o", tmp / "b.kvb"}, "left out .git/\n", ""},
        {{"verify", "-q", a}, "", ""},
        {{"verify", "--verbose", a}, "ok docs/bytes.bin\n", ""},
        {{"extract", "-qC", tmp / "x", a}, "", ""},
        {{"extract", "-vC", tmp / "y", a}, "docs/guide.html\n", ""},
        {{"cat", "-v", a, "index.html"}, "<title>Home</title>", "index.html\n"},
        {{"list", "-q", a}, "index.html\n", ""},
        {{"info", "-q", a}, "Project options:", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Line(c.Args));
        const RunResult r = RunKvb(tmp, c.Args);
        EXPECT_EQ(r.Status, 0) << r.Err;
        if (c.Out.empty()) {
            EXPECT_EQ(r.Out, "");
        } else {
            EXPECT_NE(r.Out.find(c.Out), std::string::npos) << r.Out;
        }
        if (c.Err.empty()) {
            EXPECT_EQ(r.Err, "");
        } else {
            EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
        }
    }
}

} // namespace
} // namespace kiva
