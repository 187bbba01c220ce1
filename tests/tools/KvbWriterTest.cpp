#include "KvbWriter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <tuple>

#include "TestFiles.h"
#include "ZLIBArchive2.h"

namespace kiva {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

std::vector<std::uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

std::vector<std::uint8_t> Extract(TZLBArc2& arc, int index) {
    TMemoryStream m;
    arc.ExtractIndexToStream(index, m, nullptr);
    return std::vector<std::uint8_t>(m.Memory(), m.Memory() + m.Size());
}

// A site whose walk order is easy to get wrong: capitals sort before small letters, a folder
// name sorts between the root's files, and folders nest.
std::map<std::string, std::vector<std::uint8_t>> MakeSite(const std::string& dir) {
    std::map<std::string, std::vector<std::uint8_t>> files = {
        {"index.html", Bytes("<title>Home</title>")},
        {"Zeta.txt", Bytes("capital Z sorts first")},
        {"empty.txt", {}},
        {"b\\one.css", Bytes("body{}")},
        {"b\\c\\deep.js", Bytes("var x = 1;")},
        {"b\\a b.html", Bytes("space in the name")},
        {"img\\noise.bin", test::NoiseBytes(70000, 7)},
        {"img\\caf\xC3\xA9.txt", Bytes("a name with high bytes")},
        // Compresses well, but its kind is compressed already.
        {"img\\clip.webm", Bytes(std::string(5000, 'v'))},
    };
    for (const auto& [name, data] : files) {
        std::string rel = name;
        std::replace(rel.begin(), rel.end(), '\\', '/');
        WriteFile(dir + "/" + rel, data);
    }
    return files;
}

const std::vector<std::string> kSiteOrder = {
    "Zeta.txt",       "empty.txt",     "index.html",           "b\\a b.html",
    "b\\one.css",     "b\\c\\deep.js", "img\\caf\xC3\xA9.txt", "img\\clip.webm",
    "img\\noise.bin",
};

// What deflate makes of the content at the writer's level.
std::size_t DeflatedSize(const std::vector<std::uint8_t>& content) {
    uLongf len = compressBound(static_cast<uLong>(content.size()));
    std::vector<std::uint8_t> out(len);
    compress2(out.data(), &len, content.data(), static_cast<uLong>(content.size()),
              Z_DEFAULT_COMPRESSION);
    return len;
}

// Format version, raw directory, stored content.
class RoundTrip : public ::testing::TestWithParam<std::tuple<int, bool, bool>> {};

TEST_P(RoundTrip, ReaderSeesEveryFileByteForByteInWalkOrder) {
    const auto [format, rawDir, stored] = GetParam();
    TempDir tmp;
    auto files = MakeSite(tmp / "site");
    TKvbWriter w({stored, rawDir, static_cast<std::uint32_t>(format)});
    w.AddSite(tmp / "site");
    w.AddData("", kConfigEntryName, Bytes("options"));
    const std::string out = tmp / "out.kvb";
    TPackResult res = PackToFile(w, out);

    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = true;
    arc.VerifyFileCRC = true;
    ASSERT_TRUE(arc.OpenArchive(out));
    EXPECT_EQ(arc.BaseOffset(), 0);
    EXPECT_EQ(arc.Trailer().Version, static_cast<std::uint32_t>(format));
    EXPECT_EQ(arc.Trailer().DirectoryCompressed, rawDir ? 0 : 1);
    if (rawDir) {
        EXPECT_EQ(arc.Trailer().DirectorySize,
                  static_cast<std::uint32_t>(arc.FileCount() * (format == 1 ? 532 : 550)));
    }

    std::vector<std::string> expected = kSiteOrder;
    expected.push_back("-config-");
    ASSERT_EQ(arc.FileCount(), static_cast<int>(expected.size()));
    files["-config-"] = Bytes("options");

    const auto raw = ReadFile(out);
    std::int64_t nextOffset = 0;
    for (int i = 0; i < arc.FileCount(); ++i) {
        TArchiveEntry e = arc.GetFileEntry(i);
        SCOPED_TRACE(e.FullName());
        EXPECT_EQ(e.FullName(), expected[static_cast<std::size_t>(i)]);
        const auto& content = files.at(e.FullName());
        EXPECT_EQ(Extract(arc, i), content);
        EXPECT_EQ(e.UncompressedSize, static_cast<std::int64_t>(content.size()));
        EXPECT_EQ(e.CRC, content.empty()
                             ? 0u
                             : static_cast<std::uint32_t>(
                                   crc32(0, content.data(), static_cast<uInt>(content.size()))));
        EXPECT_EQ(e.DataOffset, nextOffset);
        EXPECT_EQ(e.EncryptedSize, 0);
        // Deflated only when that shrinks it and its kind is not compressed already.
        const bool deflate = !stored && !content.empty() &&
                             DeflatedSize(content) < content.size() &&
                             e.Name.View().find(".webm") == std::string_view::npos;
        if (!deflate) {
            EXPECT_EQ(e.Method, emStored);
            EXPECT_EQ(e.Level, fcNone);
            EXPECT_EQ(e.CompressedSize, 0);
            nextOffset += e.UncompressedSize;
        } else {
            EXPECT_EQ(e.Method, emCompressed);
            EXPECT_EQ(e.Level, fcDefault);
            // The stored bytes are a complete zlib stream on their own.
            std::vector<std::uint8_t> inflated(content.size());
            uLongf len = static_cast<uLongf>(inflated.size());
            ASSERT_EQ(uncompress(inflated.data(), &len, raw.data() + e.DataOffset,
                                 static_cast<uLong>(e.CompressedSize)),
                      Z_OK);
            EXPECT_EQ(inflated, content);
            nextOffset += e.CompressedSize;
        }
    }
    EXPECT_EQ(arc.Trailer().DataSize, nextOffset);
    EXPECT_EQ(arc.Trailer().ArchiveCRC,
              static_cast<std::uint32_t>(crc32(0, raw.data(), static_cast<uInt>(raw.size() - 36))));
    EXPECT_EQ(res.ArchiveSize, static_cast<std::int64_t>(raw.size()));
}

INSTANTIATE_TEST_SUITE_P(Layouts, RoundTrip,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Bool(),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return "v" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_RawDir" : "_ZipDir") +
                                    (std::get<2>(info.param) ? "_Stored" : "_Deflated");
                         });

// Files past a megabyte stream through in chunks instead of being read whole: one that deflate
// cannot shrink is read a second time and kept as it is, and the longer deflated form it
// leaves behind must not end up in the archive.
TEST(KvbWriter, LargeFilesStreamThroughAndKeepTheirSmallerForm) {
    const std::size_t big = (std::size_t(3) << 20) / 2;
    std::vector<std::uint8_t> text;
    while (text.size() < big) {
        const std::string line = "<p>paragraph " + std::to_string(text.size() % 977) + "</p>\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    const struct {
        const char* name;
        std::vector<std::uint8_t> content;
        TEntryMethod method;
    } files[] = {
        {"a-noise.bin", test::NoiseBytes(big, 3), emStored},
        {"b-text.html", text, emCompressed},
        {"c-small.html", Bytes("<p>small</p><p>small</p><p>small</p>"), emCompressed},
        {"d-noise.bin", test::NoiseBytes(big + 1, 4), emStored},
    };
    TempDir tmp;
    for (const auto& f : files) {
        WriteFile(tmp / ("site/" + std::string(f.name)), f.content);
    }
    TKvbWriter w({});
    w.AddSite(tmp / "site");
    const TPackResult res = PackToFile(w, tmp / "a.kvb");
    EXPECT_EQ(res.ArchiveSize, static_cast<std::int64_t>(fs::file_size(tmp / "a.kvb")));

    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = true;
    arc.VerifyFileCRC = true;
    ASSERT_TRUE(arc.OpenArchive(tmp / "a.kvb"));
    ASSERT_EQ(arc.FileCount(), 4);
    std::int64_t offset = 0;
    for (int i = 0; i < 4; ++i) {
        const TArchiveEntry e = arc.GetFileEntry(i);
        SCOPED_TRACE(e.FullName());
        EXPECT_EQ(e.Method, files[i].method);
        EXPECT_EQ(e.DataOffset, offset);
        EXPECT_EQ(Extract(arc, i), files[i].content);
        offset += e.Method == emCompressed ? e.CompressedSize : e.UncompressedSize;
    }
    EXPECT_EQ(arc.Trailer().DataSize, offset);
}

TEST(KvbWriter, EntryPathAndNameAreSplitAtTheLastBackslash) {
    TempDir tmp;
    WriteFile(tmp / "site/static/r07/app.js", "x");
    TKvbWriter w({});
    w.AddSite(tmp / "site");
    ASSERT_EQ(w.Items().size(), 1u);
    EXPECT_EQ(w.Items()[0].Path, "static\\r07\\");
    EXPECT_EQ(w.Items()[0].Name, "app.js");
}

TEST(KvbWriter, AnEmptySiteGivesAnArchiveWithNoEntries) {
    TempDir tmp;
    fs::create_directories(tmp / "site");
    TKvbWriter w({});
    w.AddSite(tmp / "site");
    PackToFile(w, tmp / "a.kvb");
    TZLBArc2 arc(nullptr);
    ASSERT_TRUE(arc.OpenArchive(tmp / "a.kvb"));
    EXPECT_EQ(arc.FileCount(), 0);
}

struct BadName {
    const char* Label;
    std::string Path;
    std::string Name;
    const char* Expected;
};

void PrintTo(const BadName& b, std::ostream* os) {
    *os << b.Label;
}

class RefusedNames : public ::testing::TestWithParam<BadName> {};

TEST_P(RefusedNames, AreRefusedWithAClearMessage) {
    const BadName& p = GetParam();
    TKvbWriter w({});
    w.AddData("", "Index.html", Bytes("first"));
    try {
        w.AddData(p.Path, p.Name, Bytes("x"));
        FAIL() << "accepted " << p.Path << p.Name;
    } catch (const EPackError& e) {
        EXPECT_NE(e.Message().find(p.Expected), std::string::npos) << e.Message();
    }
    EXPECT_EQ(w.Items().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedNames,
    ::testing::Values(BadName{"Backslash", "", "a\\b.txt", "backslash"},
                      BadName{"Tab", "", "a\tb.txt", "control character"},
                      BadName{"Escape", "docs\\", "\x1b[31m.txt", "control character"},
                      BadName{"NameTooLong", "", std::string(256, 'n'), "256 bytes"},
                      BadName{"PathTooLong", std::string(255, 'p') + "\\", "a", "256 bytes"},
                      BadName{"EmptyName", "", "", "empty"},
                      BadName{"DotDotFolder", "..\\", "a", "\"..\""},
                      BadName{"NoTrailingBackslash", "docs", "a", "bad folder"},
                      BadName{"SameButCase", "", "INDEX.HTML", "differ only in letter case"},
                      BadName{"Twice", "", "Index.html", "added twice"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(KvbWriter, NamesOfExactly255BytesFit) {
    TempDir tmp;
    const std::string name(255, 'n');
    TKvbWriter w({});
    w.AddData(std::string(254, 'p') + "\\", name, Bytes("x"));
    PackToFile(w, tmp / "a.kvb");
    TZLBArc2 arc(nullptr);
    ASSERT_TRUE(arc.OpenArchive(tmp / "a.kvb"));
    EXPECT_EQ(arc.GetFileEntry(0).Name.Str(), name);
}

TEST(KvbWriter, TheOldLayoutRefusesFilesOf2GiBAndMore) {
    TempDir tmp;
    WriteFile(tmp / "big.bin", "");
    fs::resize_file(tmp / "big.bin", std::uintmax_t(1) << 31); // sparse: takes no disk space
    TKvbWriter v1({false, false, 1});
    try {
        v1.AddFile("", "big.bin", tmp / "big.bin");
        FAIL() << "accepted";
    } catch (const EPackError& e) {
        EXPECT_NE(e.Message().find("2 GiB"), std::string::npos) << e.Message();
    }
    TKvbWriter v2({});
    EXPECT_NO_THROW(v2.AddFile("", "big.bin", tmp / "big.bin"));
}

TEST(KvbWriter, SiteFilesCannotTakeTheProjectEntriesNames) {
    TempDir tmp;
    WriteFile(tmp / "site/-Config-", "not options");
    TKvbWriter w({});
    EXPECT_THROW(w.AddSite(tmp / "site"), EPackError);
}

TEST(KvbWriter, FollowsLinkedFilesButNotLinksBackIntoTheSite) {
    TempDir tmp;
    WriteFile(tmp / "outside.txt", "linked content");
    WriteFile(tmp / "site/docs/page.html", "page");
    fs::create_symlink(tmp / "outside.txt", tmp / "site/docs/link.txt");
    fs::create_directory_symlink(tmp / "site", tmp / "site/docs/loop");
    TKvbWriter w({});
    std::vector<std::string> warnings;
    w.OnWarning = [&](const std::string& m) { warnings.push_back(m); };
    w.AddSite(tmp / "site");
    ASSERT_EQ(w.Items().size(), 2u);
    EXPECT_EQ(w.Items()[0].Path + w.Items()[0].Name, "docs\\link.txt");
    EXPECT_EQ(w.Items()[1].Path + w.Items()[1].Name, "docs\\page.html");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("loop"), std::string::npos);

    PackToFile(w, tmp / "a.kvb");
    TZLBArc2 arc(nullptr);
    ASSERT_TRUE(arc.OpenArchive(tmp / "a.kvb"));
    EXPECT_EQ(Extract(arc, 0), Bytes("linked content"));
}

// One odd file never costs the whole book: what cannot become an entry is left out, each
// with a warning that names it, and what is excluded is left out without one.
TEST(KvbWriter, WhatCannotBeAnEntryIsSkippedWithAWarningAndTheRestPacked) {
    TempDir tmp;
    WriteFile(tmp / "s/a.html", "a");
    fs::create_symlink(tmp / "missing", tmp / "s/dangling");
    WriteFile(tmp / "s/back\\slash.html", "x");
    WriteFile(tmp / "s/line\nbreak.html", "x");
    // Two folders of 130 bytes: the inner one's path is longer than a folder field holds.
    WriteFile(tmp / ("s/sub/" + std::string(130, 'n') + "/" + std::string(130, 'n') + "/x"), "x");
    ASSERT_EQ(::mkfifo((tmp / "s/fifo").c_str(), 0600), 0);
    WriteFile(tmp / "s/skip/me.html", "x");
    WriteFile(tmp / "s/sub/keep.html", "k");
    TKvbWriter w({});
    std::vector<std::string> warnings;
    w.OnWarning = [&](const std::string& m) { warnings.push_back(m); };
    std::vector<std::string> asked;
    w.Exclude = [&](const std::string& path, bool isFolder) {
        asked.push_back(path + (isFolder ? "/" : ""));
        return path == "skip";
    };
    w.AddSite(tmp / "s");
    std::vector<std::string> names;
    for (const TPackItem& it : w.Items()) {
        names.push_back(it.Path + it.Name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a.html", "sub\\keep.html"}));
    ASSERT_EQ(warnings.size(), 5u) << ::testing::PrintToString(warnings);
    for (const char* what : {"back\\slash", "dangling", "fifo", "line?break", "nnnn"}) {
        EXPECT_EQ(
            std::count_if(warnings.begin(), warnings.end(),
                          [&](const std::string& m) { return m.find(what) != std::string::npos; }),
            1)
            << what;
    }
    // Excluded folders are not walked.
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "skip/me.html"), 0);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "skip/"), 1);
}

TEST(KvbWriter, AFailedPackLeavesThePreviousArchiveAndNoTemporaryFile) {
    TempDir tmp;
    WriteFile(tmp / "site/a.txt", "a");
    WriteFile(tmp / "site/b.txt", "b");
    WriteFile(tmp / "out/a.kvb", "previous archive");
    TKvbWriter w({});
    w.AddSite(tmp / "site");
    fs::remove(tmp / "site/b.txt"); // vanishes between the walk and the write
    EXPECT_THROW(PackToFile(w, tmp / "out/a.kvb"), Exception);
    EXPECT_EQ(test::ReadText(tmp / "out/a.kvb"), "previous archive");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp / "out"), fs::directory_iterator()), 1);
}

TEST(KvbWriter, AnArchiveWrittenIntoTheSiteDoesNotPackItsOldSelf) {
    TempDir tmp;
    WriteFile(tmp / "site/a.txt", "a");
    WriteFile(tmp / "site/site.kvb", "old archive");
    TKvbWriter w({});
    w.AddSite(tmp / "site", tmp / "site/site.kvb");
    ASSERT_EQ(w.Items().size(), 1u);
    EXPECT_EQ(w.Items()[0].Name, "a.txt");
}

TEST(KvbWriter, ArchiveFileModeFollowsTheUmaskAndAViewerMakesItExecutable) {
    TempDir tmp;
    WriteFile(tmp / "viewer", test::NoiseBytes(3000, 1));
    mode_t old = ::umask(022);
    TKvbWriter w({});
    w.AddData("", "a.txt", Bytes("a"));
    PackToFile(w, tmp / "plain.kvb");
    PackToFile(w, tmp / "bundle", tmp / "viewer");
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "plain.kvb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(::stat((tmp / "bundle").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

} // namespace
} // namespace kiva
