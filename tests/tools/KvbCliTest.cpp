// Runs the built kvb program the way users do and checks what it prints, writes and returns.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "TestFiles.h"
#include "ZLIBArchive2.h"

extern char** environ;

namespace kiva {
namespace {

using test::ReadFile;
using test::ReadText;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

struct RunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

RunResult RunKvb(const TempDir& tmp, std::vector<std::string> args) {
    const std::string outFile = tmp / ".stdout", errFile = tmp / ".stderr";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), KVB_PATH);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    RunResult r;
    if (posix_spawn(&pid, KVB_PATH, &fa, nullptr, argv.data(), environ) == 0) {
        int st = 0;
        ::waitpid(pid, &st, 0);
        r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.Out = ReadText(outFile);
    r.Err = ReadText(errFile);
    fs::remove(outFile);
    fs::remove(errFile);
    return r;
}

// A site with one entry in a sub-folder and one with every byte value.
void MakeSite(const TempDir& tmp) {
    WriteFile(tmp / "site/index.html", "<title>Home</title>");
    std::vector<std::uint8_t> all(512);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    WriteFile(tmp / "site/docs/bytes.bin", all);
}

TEST(KvbCli, ExitStatusTellsSuccessFailureAndWrongUsageApart) {
    TempDir tmp;
    MakeSite(tmp);
    struct Case {
        std::vector<std::string> Args;
        int Status;
        const char* ErrText;
    };
    const Case cases[] = {
        {{}, 2, "Usage: kvb COMMAND"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"pack", tmp / "site"}, 2, "Usage: kvb pack"},
        {{"pack", tmp / "site", "-o", tmp / "x.kvb", "--format", "3"}, 2, "--format"},
        {{"list", tmp / "a.kvb", "--bogus"}, 2, "unknown option --bogus"},
        {{"cat", tmp / "a.kvb"}, 2, "Usage: kvb cat"},
        {{"list", tmp / "missing.kvb"}, 1, "kvb: Archive file not found\n"},
        {{"list", tmp / "plain.txt"}, 1, "different version of ZLBArchive"},
        {{"pack", tmp / "nosite", "-o", tmp / "x.kvb"}, 1, "kvb: "},
        {{"pack", tmp / "site", "-o", tmp / "x.kvb", "--logo", tmp / "site/index.html"},
         1,
         "not a Windows icon"},
        {{"pack", tmp / "site", "-o", tmp / "x.kvb", "--options", tmp / "bad.ini"},
         1,
         "bad.ini:1: unknown key \"Colour\""},
        {{"cat", tmp / "a.kvb", "nothere.html"}, 1, "kvb: nothere.html not found in archive"},
        {{"--version"}, 0, ""},
        {{"pack", "--help"}, 0, ""},
        {{"pack", tmp / "site", "-o", tmp / "b.kvb"}, 0, ""},
    };
    WriteFile(tmp / "bad.ini", "Colour=red\n");
    WriteFile(tmp / "plain.txt", std::string(100, 'x'));
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb"}).Status, 0);
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.Args) {
            line += a + " ";
        }
        SCOPED_TRACE(line);
        RunResult r = RunKvb(tmp, c.Args);
        EXPECT_EQ(r.Status, c.Status);
        EXPECT_NE(r.Err.find(c.ErrText), std::string::npos) << r.Err;
    }
    EXPECT_FALSE(fs::exists(tmp / "x.kvb"));
}

TEST(KvbCli, ListAndCatShowNamesAndBinaryContent) {
    TempDir tmp;
    MakeSite(tmp);
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb"}).Status, 0);

    RunResult list = RunKvb(tmp, {"list", tmp / "a.kvb"});
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Out, "index.html\ndocs\\bytes.bin\n");

    RunResult longList = RunKvb(tmp, {"list", "-l", tmp / "a.kvb"});
    EXPECT_EQ(longList.Out.substr(0, longList.Out.find('\n')).find("Method"), 0u);
    EXPECT_NE(longList.Out.find("512"), std::string::npos);

    // Slashes work as well as backslashes, and case does not matter.
    RunResult cat = RunKvb(tmp, {"cat", tmp / "a.kvb", "DOCS/bytes.bin"});
    EXPECT_EQ(cat.Status, 0);
    const auto expected = ReadFile(tmp / "site/docs/bytes.bin");
    EXPECT_EQ(std::vector<std::uint8_t>(cat.Out.begin(), cat.Out.end()), expected);
}

TEST(KvbCli, PackWithOptionsAndLogoWritesBothProjectEntriesLast) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFile(tmp / "o.ini", "[Options]\nStartPage=index.html\nShowToolBar=1\n");
    WriteFile(tmp / "my.ico", std::vector<std::uint8_t>{0, 0,  1, 0, 1, 0, 16, 16, 0, 0, 1,
                                                        0, 32, 0, 0, 0, 0, 0,  22, 0, 0, 0});
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb", "--options", tmp / "o.ini",
                           "--logo", tmp / "my.ico"})
                  .Status,
              0);
    EXPECT_EQ(RunKvb(tmp, {"list", tmp / "a.kvb"}).Out,
              "index.html\ndocs\\bytes.bin\n-config-\n-logo-\n");
    RunResult info = RunKvb(tmp, {"info", tmp / "a.kvb"});
    EXPECT_EQ(info.Status, 0);
    EXPECT_NE(info.Out.find("StartPage = index.html\n"), std::string::npos) << info.Out;
    EXPECT_NE(info.Out.find("LogoFile = my.ico\n"), std::string::npos) << info.Out;
    EXPECT_NE(info.Out.find("ShowToolBar = 1\n"), std::string::npos) << info.Out;

    // The project entries' names begin with a dash but are no options.
    EXPECT_EQ(RunKvb(tmp, {"cat", tmp / "a.kvb", "-logo-"}).Out.size(), 22u);
    RunResult ex = RunKvb(tmp, {"extract", tmp / "a.kvb", "-C", tmp / "x", "-config-"});
    EXPECT_EQ(ex.Status, 0) << ex.Err;
    EXPECT_EQ(fs::file_size(tmp / "x/-config-"), 2872u);

    // A LogoFile without an icon to pack would stop the viewer at start-up.
    WriteFile(tmp / "logo-only.ini", "LogoFile=x.ico\n");
    RunResult r = RunKvb(
        tmp, {"pack", tmp / "site", "-o", tmp / "b.kvb", "--options", tmp / "logo-only.ini"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("LogoFile"), std::string::npos);
}

// Writes a raw-directory version-2 archive of stored entries, record by record, so that it can
// hold names the writer refuses.
void CraftArchive(const std::string& file,
                  const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<std::uint8_t> data, dir;
    for (const auto& [full, content] : entries) {
        std::size_t cut = full.rfind('\\');
        std::string path = cut == std::string::npos ? "" : full.substr(0, cut + 1);
        std::string name = cut == std::string::npos ? full : full.substr(cut + 1);
        std::vector<std::uint8_t> rec(550, 0);
        rec[0] = static_cast<std::uint8_t>(name.size());
        std::copy(name.begin(), name.end(), rec.begin() + 1);
        rec[256] = static_cast<std::uint8_t>(path.size());
        std::copy(path.begin(), path.end(), rec.begin() + 257);
        auto put = [&](std::size_t at, std::uint64_t v, int width) {
            for (int i = 0; i < width; ++i) {
                rec[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
            }
        };
        put(512, content.size(), 8);
        put(536, data.size(), 8);
        put(544, CRC32(content.data(), content.size()), 4);
        rec[548] = 1; // stored
        data.insert(data.end(), content.begin(), content.end());
        dir.insert(dir.end(), rec.begin(), rec.end());
    }
    std::vector<std::uint8_t> body = data;
    body.insert(body.end(), dir.begin(), dir.end());
    std::vector<std::uint8_t> trailer(36, 0);
    auto put = [&](std::size_t at, std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) {
            trailer[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    };
    put(0, CRC32(body.data(), body.size()), 4);
    put(4, entries.size(), 4);
    put(8, 2, 4);
    put(12, dir.size(), 4);
    put(16, data.size(), 8);
    body.insert(body.end(), trailer.begin(), trailer.end());
    WriteFile(file, body);
}

std::vector<std::string> AllFilesBelow(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        out.push_back(fs::relative(e.path(), root).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(KvbCli, ExtractNeverWritesOutsideTheTargetFolder) {
    TempDir tmp;
    const std::vector<std::pair<std::string, std::string>> entries = {
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
    // One message per skipped entry.
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 8) << r.Err;
    EXPECT_NE(r.Err.find("..\\up.txt"), std::string::npos);
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
    EXPECT_NE(r.Err.find("ok\\good.txt"), std::string::npos) << r.Err;
    EXPECT_TRUE(fs::is_empty(tmp / "outside"));
    EXPECT_EQ(ReadText(tmp / "secret.txt"), "keep");
    // The link where a file goes is replaced by the file, not written through.
    EXPECT_FALSE(fs::is_symlink(tmp / "out/file.txt"));
    EXPECT_EQ(ReadText(tmp / "out/file.txt"), "new");
}

TEST(KvbCli, ExtractByNameAndAllEntriesRoundTrip) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFile(tmp / "o.ini", "StartPage=index.html\n");
    ASSERT_EQ(
        RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb", "--options", tmp / "o.ini"}).Status,
        0);
    ASSERT_EQ(RunKvb(tmp, {"extract", tmp / "a.kvb", "-C", tmp / "all"}).Status, 0);
    EXPECT_EQ(ReadFile(tmp / "all/docs/bytes.bin"), ReadFile(tmp / "site/docs/bytes.bin"));
    EXPECT_EQ(fs::file_size(tmp / "all/-config-"), 2872u);

    RunResult one =
        RunKvb(tmp, {"extract", tmp / "a.kvb", "-C", tmp / "one", "docs/bytes.bin", "missing.txt"});
    EXPECT_EQ(one.Status, 1);
    EXPECT_NE(one.Err.find("missing.txt not found in archive"), std::string::npos);
    EXPECT_EQ(AllFilesBelow(tmp / "one"), (std::vector<std::string>{"docs", "docs/bytes.bin"}));
}

// Archives made on Windows store names and option texts in Windows-1252; kvb
// shows and writes them in UTF-8 and finds them by their UTF-8 names.
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
                      resume = "docs\\r\xC3\xA9sum\xC3\xA9\xE2\x82\xAC.txt";

    RunResult list = RunKvb(tmp, {"list", tmp / "old.kvb"});
    EXPECT_EQ(list.Status, 0);
    // U+009D is a control character that terminals may act on.
    EXPECT_EQ(list.Out, cafe + "\n" + resume + "\nctl?.txt\n-config-\n");
    EXPECT_NE(RunKvb(tmp, {"list", "-l", tmp / "old.kvb"}).Out.find(resume), std::string::npos);
    EXPECT_NE(RunKvb(tmp, {"info", tmp / "old.kvb"}).Out.find("StartPage = " + cafe + "\n"),
              std::string::npos);

    // Found by the UTF-8 name, with slashes and in other letter case too.
    EXPECT_EQ(RunKvb(tmp, {"cat", tmp / "old.kvb", cafe}).Out, "<p>caf\xE9</p>");
    EXPECT_EQ(
        RunKvb(tmp, {"cat", tmp / "old.kvb", "DOCS/r\xC3\xA9sum\xC3\xA9\xE2\x82\xAC.txt"}).Out,
        "euro");
    RunResult missing = RunKvb(tmp, {"cat", tmp / "old.kvb", "caf\xC3\xA8.html"});
    EXPECT_EQ(missing.Status, 1);
    EXPECT_NE(missing.Err.find("not found in archive"), std::string::npos) << missing.Err;

    ASSERT_EQ(RunKvb(tmp, {"extract", tmp / "old.kvb", "-C", tmp / "all"}).Status, 0);
    EXPECT_EQ(AllFilesBelow(tmp / "all"),
              (std::vector<std::string>{"-config-", cafe, "ctl\xC2\x9D.txt", "docs",
                                        "docs/r\xC3\xA9sum\xC3\xA9\xE2\x82\xAC.txt"}));
    EXPECT_EQ(ReadText(tmp / ("all/" + cafe)), "<p>caf\xE9</p>");
    RunResult one = RunKvb(tmp, {"extract", tmp / "old.kvb", "-C", tmp / "one",
                                 "docs/r\xC3\xA9sum\xC3\xA9\xE2\x82\xAC.txt"});
    EXPECT_EQ(one.Status, 0) << one.Err;
    EXPECT_EQ(AllFilesBelow(tmp / "one"),
              (std::vector<std::string>{"docs", "docs/r\xC3\xA9sum\xC3\xA9\xE2\x82\xAC.txt"}));
}

TEST(KvbCli, VerifyReportsAFlippedByteAndNamesTheEntry) {
    TempDir tmp;
    MakeSite(tmp);
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "a.kvb", "--stored"}).Status, 0);
    RunResult good = RunKvb(tmp, {"verify", tmp / "a.kvb"});
    EXPECT_EQ(good.Status, 0);
    EXPECT_EQ(good.Out.rfind("OK", 0), 0u) << good.Out;

    // index.html is stored first; its third byte lies in the data area.
    auto bytes = ReadFile(tmp / "a.kvb");
    bytes[2] ^= 0x20;
    WriteFile(tmp / "a.kvb", bytes);
    RunResult bad = RunKvb(tmp, {"verify", tmp / "a.kvb"});
    EXPECT_EQ(bad.Status, 1);
    EXPECT_NE(bad.Out.find("archive CRC"), std::string::npos) << bad.Out;
    EXPECT_NE(bad.Out.find("index.html: index.html failed CRC check"), std::string::npos)
        << bad.Out;
    EXPECT_EQ(bad.Out.find("bytes.bin"), std::string::npos) << bad.Out;
    EXPECT_EQ(bad.Out.find("OK"), std::string::npos);

    // cat refuses to hand out the damaged content.
    RunResult cat = RunKvb(tmp, {"cat", tmp / "a.kvb", "index.html"});
    EXPECT_EQ(cat.Status, 1);
    EXPECT_TRUE(cat.Out.empty());
}

TEST(KvbCli, ViewerOutputIsTheExecutableFollowedByTheArchive) {
    TempDir tmp;
    MakeSite(tmp);
    const auto exe = test::NoiseBytes(5000, 3);
    WriteFile(tmp / "viewer", exe);
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "plain.kvb"}).Status, 0);
    ASSERT_EQ(RunKvb(tmp, {"pack", tmp / "site", "-o", tmp / "bundle", "--viewer", tmp / "viewer"})
                  .Status,
              0);

    const auto bundle = ReadFile(tmp / "bundle");
    ASSERT_GT(bundle.size(), exe.size());
    EXPECT_TRUE(std::equal(exe.begin(), exe.end(), bundle.begin()));
    EXPECT_EQ(fs::status(tmp / "bundle").permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);

    TZLBArc2 plain(nullptr), bundled(nullptr);
    ASSERT_TRUE(plain.OpenArchive(tmp / "plain.kvb"));
    ASSERT_TRUE(bundled.OpenArchive(tmp / "bundle"));
    EXPECT_EQ(bundled.BaseOffset(), 5000);
    ASSERT_EQ(bundled.FileCount(), plain.FileCount());
    for (int i = 0; i < plain.FileCount(); ++i) {
        EXPECT_EQ(bundled.GetFileEntry(i).FullName(), plain.GetFileEntry(i).FullName());
        TMemoryStream a, b;
        plain.ExtractIndexToStream(i, a, nullptr);
        bundled.ExtractIndexToStream(i, b, nullptr);
        ASSERT_EQ(a.Size(), b.Size());
        EXPECT_EQ(std::memcmp(a.Memory(), b.Memory(), static_cast<std::size_t>(a.Size())), 0);
    }
    EXPECT_EQ(RunKvb(tmp, {"verify", tmp / "bundle"}).Status, 0);
}

TEST(KvbCli, DesktopEntryNeedsTheViewerAndIsCheckedBeforeTheBookIsWritten) {
    TempDir tmp;
    MakeSite(tmp);
    WriteFile(tmp / "viewer", test::NoiseBytes(100, 1));
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
