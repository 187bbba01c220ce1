#include "ZLIBArchive2.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "TestArchive.h"

using namespace kiva;
using namespace kivatest;

namespace {

std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "<no exception>";
}

Bytes ToBytes(TMemoryStream& m) {
    return Bytes(reinterpret_cast<const char*>(m.Memory()), static_cast<std::size_t>(m.Size()));
}

// Remembers every write, to see the chunks extraction hands to a destination.
class RecordingStream : public TStream {
public:
    std::vector<std::int64_t> writes;
    Bytes data;
    std::int64_t failAfter = -1; // writes allowed before the stream refuses

    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* b, std::int64_t n) override {
        if (failAfter >= 0 && static_cast<std::int64_t>(writes.size()) >= failAfter) {
            throw EWriteError();
        }
        writes.push_back(n);
        data.append(static_cast<const char*>(b), static_cast<std::size_t>(n));
        return n;
    }
    std::int64_t Seek(std::int64_t o, TSeekOrigin origin) override {
        std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                            : origin == TSeekOrigin::soCurrent ? pos_
                                                               : std::int64_t(data.size());
        pos_ = base + o;
        return pos_;
    }

private:
    std::int64_t pos_ = 0;
};

FEntry Entry(std::string path, std::string name, Bytes content, std::uint8_t method = 0) {
    FEntry e;
    e.path = std::move(path);
    e.name = std::move(name);
    e.content = std::move(content);
    e.method = method;
    e.level = method == 1 ? 0 : 2;
    return e;
}

// A small site: pages in the root and in folders, and the project's own entries.
std::vector<FEntry> Site() {
    return {
        Entry("", "index.html", "<html>home</html>"),
        Entry("", "readme.txt", "plain text, stored", 1),
        Entry("ui\\", "common.js", Text(3000)),
        Entry("static\\r07\\", "pic.bin", Noise(5000), 1),
        Entry("", "-config-", Text(2872, 3), 1),
        Entry("", "-logo-", Noise(766)),
    };
}

class Arc2 : public ::testing::Test {
protected:
    TempFolder dir;
    TZLBArc2 arc{nullptr};

    std::string Save(const Bytes& bytes, const std::string& name = "site.kvb") {
        return dir.Write(name, bytes);
    }
    std::string SaveSite(const FOptions& o = {}) { return Save(Build(Site(), o)); }
    Bytes Extract(const std::string& name) {
        TMemoryStream m;
        arc.ExtractToStream(m, name);
        return ToBytes(m);
    }
};

} // namespace

// ---- Creating, opening and closing

TEST_F(Arc2, StartsClosedWithItsDefaults) {
    EXPECT_EQ(arc.MaxMemoryUsage, 20);
    EXPECT_EQ(arc.CompressionLevel, fcDefault);
    EXPECT_FALSE(arc.ExtractWithPath);
    EXPECT_TRUE(arc.VerifyArchiveCRC);
    EXPECT_FALSE(arc.VerifyFileCRC);
    EXPECT_FALSE(arc.SavePaths);
    EXPECT_FALSE(arc.RecursePaths);
    EXPECT_EQ(arc.BaseOffset(), -1);
    EXPECT_EQ(arc.ArchiveFileName(), "");
    EXPECT_EQ(MessageOf([&] { arc.FileCount(); }), "No archive is currently open");
    EXPECT_EQ(MessageOf([&] { arc.GetFileEntry(0); }), "Index out of bounds");
    EXPECT_EQ(MessageOf([&] { arc.IndexOfFile("a"); }), "No archive is currently open");
    TMemoryStream m;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "a"); }), "No archive is currently open");
    EXPECT_EQ(MessageOf([&] { arc.AbsolutePosition(0); }), "Unknown file position marker");
}

TEST_F(Arc2, EmptyNameReturnsFalseAndStaysClosed) {
    EXPECT_FALSE(arc.OpenArchive(""));
    EXPECT_EQ(MessageOf([&] { arc.FileCount(); }), "No archive is currently open");
}

TEST_F(Arc2, OpensAStandAloneArchiveAndListsItInOrder) {
    const auto site = Site();
    ASSERT_TRUE(arc.OpenArchive(SaveSite()));
    EXPECT_EQ(arc.BaseOffset(), 0);
    ASSERT_EQ(arc.FileCount(), static_cast<int>(site.size()));
    for (int i = 0; i < arc.FileCount(); ++i) {
        const TArchiveEntry e = arc.GetFileEntry(i);
        EXPECT_EQ(e.Path.Str(), site[i].path);
        EXPECT_EQ(e.Name.Str(), site[i].name);
        EXPECT_EQ(e.UncompressedSize, static_cast<std::int64_t>(site[i].content.size()));
        EXPECT_EQ(e.Method, site[i].method);
        EXPECT_EQ(Extract(e.FullName()), site[i].content) << e.FullName();
    }
    EXPECT_EQ(MessageOf([&] { arc.GetFileEntry(-1); }), "Index out of bounds");
    EXPECT_EQ(MessageOf([&] { arc.GetFileEntry(arc.FileCount()); }), "Index out of bounds");
    arc.CloseArchive();
    EXPECT_EQ(MessageOf([&] { arc.FileCount(); }), "No archive is currently open");
    EXPECT_EQ(arc.BaseOffset(), -1);
    EXPECT_EQ(arc.Trailer().Version, 0u);
    arc.CloseArchive(); // harmless when closed
}

TEST_F(Arc2, HostBytesBeforeTheArchiveAreSkipped) {
    FOptions o;
    o.host = Noise(12345, 99);
    ASSERT_TRUE(arc.OpenArchive(SaveSite(o)));
    EXPECT_EQ(arc.BaseOffset(), 12345);
    EXPECT_EQ(arc.AbsolutePosition(10), 12355);
    for (const FEntry& e : Site()) {
        EXPECT_EQ(Extract(e.path + e.name), e.content);
    }
}

// Version 1 and 2, raw and compressed directories: all give the same entries and contents.
class Arc2Layouts : public Arc2,
                    public ::testing::WithParamInterface<std::tuple<std::uint32_t, bool>> {};

TEST_P(Arc2Layouts, EveryLayoutReadsTheSameSite) {
    FOptions o;
    o.version = std::get<0>(GetParam());
    o.compressedDirectory = std::get<1>(GetParam());
    o.host = "MZ host";
    ASSERT_TRUE(arc.OpenArchive(SaveSite(o)));
    EXPECT_EQ(arc.Trailer().Version, o.version);
    EXPECT_EQ(arc.Trailer().DirectoryCompressed != 0, o.compressedDirectory);
    const auto site = Site();
    ASSERT_EQ(arc.FileCount(), static_cast<int>(site.size()));
    for (int i = 0; i < arc.FileCount(); ++i) {
        const TArchiveEntry e = arc.GetFileEntry(i);
        EXPECT_EQ(e.FullName(), site[i].path + site[i].name);
        EXPECT_EQ(e.EncryptedSize, 0);
        EXPECT_EQ(e.CRC, Crc(site[i].content));
        EXPECT_EQ(Extract(e.FullName()), site[i].content);
    }
}

INSTANTIATE_TEST_SUITE_P(All, Arc2Layouts,
                         ::testing::Combine(::testing::Values(1u, 2u), ::testing::Bool()));

TEST_F(Arc2, FortySevenEntryExampleHasItsNumbers) {
    // 47 stored entries filling 74,106 data bytes, and a compressed directory padded to 1,245
    // stored bytes: the data area starts 75,387 bytes before the end.
    std::vector<FEntry> entries;
    std::size_t total = 0;
    for (int i = 0; i < 47; ++i) {
        const std::size_t n = i < 46 ? 1577 : 74106 - 46 * 1577;
        entries.push_back(Entry("p\\", Format("f%d.htm", i), Text(n, i), 1));
        total += n;
    }
    ASSERT_EQ(total, 74106u);
    FOptions o;
    o.host = Bytes(1000, 'h');
    FArchive parts = BuildParts(entries, o);
    ASSERT_LE(parts.directory.size(), 1245u);
    o.directoryPadding = 1245 - parts.directory.size();
    parts = BuildParts(entries, o);
    const Bytes all = parts.All();
    ASSERT_EQ(parts.directory.size(), 1245u);

    std::vector<std::pair<std::string, int>> reports;
    arc.OnProgress = [&](const std::string& m, int p) { reports.emplace_back(m, p); };
    const std::string file = Save(all);
    ASSERT_TRUE(arc.OpenArchive(file));
    EXPECT_EQ(arc.BaseOffset(), static_cast<std::int64_t>(all.size()) - 75387);
    EXPECT_EQ(arc.FileCount(), 47);
    // 25,850 directory bytes arrive in seven 4,096-byte reads, the last one reaching 100.
    std::vector<std::pair<std::string, int>> registry;
    for (const auto& r : reports) {
        if (r.first == "Extracting registry") {
            registry.push_back(r);
        }
    }
    ASSERT_EQ(registry.size(), 7u);
    EXPECT_EQ(registry[0].second, 16); // 4096 / 25850 = 15.8 %
    EXPECT_EQ(registry.back().second, 100);
    // Closing reports first (empty name), the idle report with the file name comes last.
    EXPECT_EQ(reports.front(), std::make_pair(std::string(), 0));
    EXPECT_EQ(reports.back(), std::make_pair(file, 0));
    EXPECT_EQ(Extract("P\\F46.HTM"), entries[46].content);
}

TEST_F(Arc2, EmptyArchiveOpens) {
    for (bool compressed : {false, true}) {
        FOptions o;
        o.compressedDirectory = compressed;
        ASSERT_TRUE(arc.OpenArchive(Save(Build({}, o))));
        EXPECT_EQ(arc.FileCount(), 0);
        EXPECT_EQ(arc.IndexOfFile("x"), -1);
    }
}

// ---- Failures while opening and the state they leave

// Anything but a regular file is no archive file. A named pipe would block the open until a
// writer came; the alarm ends the test program rather than letting that hang the run.
TEST_F(Arc2, MissingFilesAndAnythingButARegularFileAreNotFound) {
    const std::string fifo = dir.File("pipe.kvb");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string sock = dir.File("sock.kvb");
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sock.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::symlink(fifo.c_str(), dir.File("link.kvb").c_str());

    ::alarm(10);
    for (const std::string& f : {dir.File("nothing.kvb"), dir.Path(), fifo, sock,
                                 dir.File("link.kvb"), std::string("/dev/null")}) {
        EXPECT_EQ(MessageOf([&] { arc.OpenArchive(f); }), "Archive file not found") << f;
        EXPECT_EQ(arc.ArchiveFileName(), f);
        EXPECT_EQ(arc.FileCount(), 0);
    }

    // An archive replaced by a pipe after it was opened: the extraction fails at once too.
    const std::string site = SaveSite();
    ASSERT_TRUE(arc.OpenArchive(site));
    ::unlink(site.c_str());
    ASSERT_EQ(::mkfifo(site.c_str(), 0600), 0);
    TMemoryStream m;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "index.html"); }),
              "Unable to open archive " + site);
    ::alarm(0);
    ::close(fd);
}

TEST_F(Arc2, FilesWithoutAnArchiveReportTheVersionFound) {
    Bytes host = Noise(5000);
    PutLE(host, host.size() - 28, 1234567, 4);
    const std::string f = Save(host, "viewer.exe");
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(f); }),
              "The archive was created with a different version of ZLBArchive (v1234567)");
    // The failed name stays, with an empty list: lookups say "not in the archive".
    EXPECT_EQ(arc.ArchiveFileName(), f);
    EXPECT_EQ(arc.FileCount(), 0);
    EXPECT_EQ(arc.IndexOfFile("index.html"), -1);
    TMemoryStream m;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "index.html"); }),
              "index.html not found in archive");

    Bytes v3 = Build(Site());
    PutLE(v3, v3.size() - 28, 3, 4);
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(Save(v3)); }),
              "The archive was created with a different version of ZLBArchive (v3)");
}

TEST_F(Arc2, FilesShorterThanATrailerAreNotArchives) {
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(Save("", "empty")); }),
              "The archive was created with a different version of ZLBArchive (v0)");
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(Save("short", "short")); }),
              "The archive was created with a different version of ZLBArchive (v0)");
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(Save("twelve bytes", "twelve")); }),
              "The archive was created with a different version of ZLBArchive (v1936028793)");
    // The zero-padded bytes decide the number, even when it looks like a valid version.
    Bytes looksValid(20, '\0');
    looksValid[8] = 2;
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(Save(looksValid, "twenty")); }),
              "The archive was created with a different version of ZLBArchive (v2)");
    EXPECT_EQ(arc.FileCount(), 0);
}

TEST_F(Arc2, ArchiveCRCIsCheckedOnlyWhenAsked) {
    FArchive parts = BuildParts(Site());
    Bytes damaged = parts.All();
    const std::size_t at = parts.data.size() / 2;
    damaged[at] = static_cast<char>(damaged[at] ^ 1);
    const std::string f = Save(damaged);

    arc.VerifyArchiveCRC = true;
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(f); }), "The archive appears to be corrupted");
    EXPECT_EQ(MessageOf([&] { arc.FileCount(); }), "No archive is currently open");
    EXPECT_EQ(arc.BaseOffset(), -1);

    // A byte of the directory counts as well.
    Bytes dirDamaged = parts.All();
    dirDamaged[parts.data.size() + 3] ^= 1;
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(Save(dirDamaged, "d.kvb")); }),
              "The archive appears to be corrupted");

    arc.VerifyArchiveCRC = false;
    ASSERT_TRUE(arc.OpenArchive(f));
    EXPECT_EQ(arc.FileCount(), static_cast<int>(Site().size()));
}

TEST_F(Arc2, HandlerFailureAfterLoadingClosesTheReader) {
    arc.OnArchiveOpened = [&](TComponent* sender) {
        EXPECT_EQ(sender, &arc);
        EXPECT_EQ(arc.FileCount(), static_cast<int>(Site().size()));
        throw std::runtime_error("handler failed");
    };
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(SaveSite()); }), "Error reading registry");
    EXPECT_EQ(MessageOf([&] { arc.FileCount(); }), "No archive is currently open");
    EXPECT_EQ(arc.BaseOffset(), -1);
}

TEST_F(Arc2, DirectoriesThatCannotHoldTheirRecordsAreRefused) {
    struct Case {
        const char* what;
        FOptions options;
    };
    std::vector<Case> cases;
    {
        FOptions o; // one record more than the raw directory holds
        o.compressedDirectory = false;
        o.entryCount = static_cast<std::uint32_t>(Site().size() + 1);
        cases.push_back({"raw, count too large", o});
    }
    {
        FOptions o; // the inflated directory is one record short
        o.entryCount = static_cast<std::uint32_t>(Site().size() + 1);
        cases.push_back({"compressed, count too large", o});
    }
    {
        FOptions o; // a count no directory of this size could ever inflate to
        o.entryCount = 0xFFFFFFFFu;
        cases.push_back({"compressed, absurd count", o});
    }
    {
        FOptions o;
        o.compressedDirectory = false;
        o.entryCount = 0xFFFFFFFFu;
        cases.push_back({"raw, absurd count", o});
    }
    {
        FOptions o; // sizes reaching before the start of the file
        o.dataSize = 1 << 30;
        cases.push_back({"data size beyond the file", o});
    }
    {
        FOptions o;
        o.directorySize = 0xFFFFFFF0u;
        cases.push_back({"directory size beyond the file", o});
    }
    {
        FOptions o;
        o.dataSize = -100;
        cases.push_back({"negative data size", o});
    }
    {
        FOptions o;
        o.dataSize = INT64_MIN;
        cases.push_back({"most negative data size", o});
    }
    {
        FOptions o; // the directory is not a zlib stream
        o.compressedDirectory = false;
        cases.push_back({"raw records marked compressed", o});
    }
    for (Case& c : cases) {
        Bytes bytes = Build(Site(), c.options);
        if (std::string(c.what) == "raw records marked compressed") {
            bytes[bytes.size() - 12] = 1;
        }
        arc.VerifyArchiveCRC = false;
        EXPECT_EQ(MessageOf([&] { arc.OpenArchive(Save(bytes)); }), "Error reading registry")
            << c.what;
        EXPECT_EQ(MessageOf([&] { arc.FileCount(); }), "No archive is currently open") << c.what;
    }
}

// ---- Looking entries up

TEST_F(Arc2, NamesMatchIgnoringAsciiCaseOnly) {
    std::vector<FEntry> entries = Site();
    entries.push_back(Entry("", "\xC4rger.txt", "upper umlaut", 1));
    entries.push_back(Entry("ui\\", "COMMON.JS", "second of the same name", 1));
    ASSERT_TRUE(arc.OpenArchive(Save(Build(entries))));
    EXPECT_EQ(arc.IndexOfFile("UI\\Common.JS"), 2);
    EXPECT_EQ(arc.IndexOfFile("ui\\common.js"), 2); // the first of two wins
    EXPECT_EQ(Extract("UI\\COMMON.js"), Site()[2].content);
    EXPECT_EQ(arc.IndexOfFile("ui/common.js"), -1);
    EXPECT_EQ(arc.IndexOfFile("\\ui\\common.js"), -1);
    EXPECT_EQ(arc.IndexOfFile("common.js"), -1);
    EXPECT_EQ(arc.IndexOfFile("ui\\common.js "), -1);
    EXPECT_EQ(arc.IndexOfFile("STATIC\\R07\\PIC.BIN"), 3);
    EXPECT_EQ(arc.IndexOfFile("-CONFIG-"), 4);
    // Bytes outside A to Z compare unchanged.
    EXPECT_EQ(arc.IndexOfFile("\xC4rger.txt"), 6);
    EXPECT_EQ(arc.IndexOfFile("\xE4rger.txt"), -1);
    EXPECT_EQ(arc.IndexOfFile("\xC4RGER.TXT"), 6);
    TMemoryStream m;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "ui/common.js"); }),
              "ui/common.js not found in archive");
}

TEST_F(Arc2, DrivePrefixIsDroppedOnlyByIndexOfFileUnderSavePaths) {
    ASSERT_TRUE(arc.OpenArchive(SaveSite()));
    EXPECT_EQ(arc.IndexOfFile("C:ui\\common.js"), -1);
    arc.SavePaths = true;
    EXPECT_EQ(arc.IndexOfFile("C:ui\\common.js"), 2);
    EXPECT_EQ(arc.IndexOfFile("C:index.html"), 0);
    EXPECT_EQ(arc.IndexOfFile("index.html"), 0);
    TMemoryStream m;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "C:ui\\common.js"); }),
              "C:ui\\common.js not found in archive");
}

TEST_F(Arc2, ManyEntriesAreAllFound) {
    std::vector<FEntry> entries;
    for (int i = 0; i < 3000; ++i) {
        entries.push_back(Entry(Format("d%d\\", i % 7), Format("n%d", i), "", 1));
    }
    ASSERT_TRUE(arc.OpenArchive(Save(Build(entries))));
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(arc.IndexOfFile(Format("D%d\\N%d", i % 7, i)), i);
    }
    EXPECT_EQ(arc.IndexOfFile("d0\\n1"), -1);
}

// ---- Extracting

TEST_F(Arc2, CompressedEntriesGoOutInChunksWithProgress) {
    std::vector<FEntry> entries = {Entry("docs\\", "page.html", Text(10000))};
    ASSERT_TRUE(arc.OpenArchive(Save(Build(entries))));
    std::vector<std::pair<std::string, int>> reports;
    arc.OnProgress = [&](const std::string& m, int p) { reports.emplace_back(m, p); };
    std::string extracted;
    arc.OnStreamExtracted = [&](const std::string& n) { extracted = n; };
    RecordingStream out;
    arc.ExtractToStream(out, "docs\\page.html");
    EXPECT_EQ(out.writes, (std::vector<std::int64_t>{4096, 4096, 1808}));
    EXPECT_EQ(out.data, entries[0].content);
    const std::vector<std::pair<std::string, int>> expected = {
        {"Extracting page.html", 41},
        {"Extracting page.html", 82},
        {"Extracting page.html", 100},
        {arc.ArchiveFileName(), 0},
    };
    EXPECT_EQ(reports, expected);
    EXPECT_EQ(extracted, "docs\\page.html");
}

TEST_F(Arc2, ProgressRoundsHalvesToEven) {
    // 32,768 bytes in eight chunks: 12.5 %, 37.5 %, 62.5 % and 87.5 % fall on halves.
    ASSERT_TRUE(arc.OpenArchive(Save(Build({Entry("", "a", Text(32768))}))));
    std::vector<int> pct;
    arc.OnProgress = [&](const std::string& m, int p) {
        if (m == "Extracting a") {
            pct.push_back(p);
        }
    };
    TMemoryStream m;
    arc.ExtractToStream(m, "a");
    EXPECT_EQ(pct, (std::vector<int>{12, 25, 38, 50, 62, 75, 88, 100}));
}

TEST_F(Arc2, StoredAndUnknownMethodsAreCopiedWithoutProgress) {
    std::vector<FEntry> entries = {
        Entry("", "stored", Noise(70000), 1),
        Entry("", "method4", "copied as is", 4),
        Entry("", "method255", "also copied", 255),
    };
    ASSERT_TRUE(arc.OpenArchive(Save(Build(entries))));
    int reports = 0;
    arc.OnProgress = [&](const std::string& m, int) { reports += m != arc.ArchiveFileName(); };
    for (const FEntry& e : entries) {
        EXPECT_EQ(Extract(e.name), e.content);
    }
    EXPECT_EQ(reports, 0);
}

TEST_F(Arc2, EmptyEntriesWriteNothing) {
    std::vector<FEntry> entries = {
        Entry("", "empty-stored", "", 1),
        Entry("", "empty-compressed", "", 0),
        Entry("", "after", "the rest of the file must not be copied", 1),
    };
    ASSERT_TRUE(arc.OpenArchive(Save(Build(entries))));
    int reports = 0;
    arc.OnProgress = [&](const std::string& m, int) { reports += m != arc.ArchiveFileName(); };
    for (const char* n : {"empty-stored", "empty-compressed"}) {
        RecordingStream out;
        arc.ExtractToStream(out, n);
        EXPECT_TRUE(out.writes.empty()) << n;
    }
    EXPECT_EQ(reports, 0);
}

TEST_F(Arc2, WritesGoAtTheDestinationsPositionAndTwoExtractionsAgree) {
    ASSERT_TRUE(arc.OpenArchive(SaveSite()));
    for (bool withProgress : {false, true}) {
        if (withProgress) {
            arc.OnProgress = [](const std::string&, int) {};
        }
        TMemoryStream m;
        m.WriteBuffer("prefix", 6);
        arc.ExtractToStream(m, "ui\\common.js");
        EXPECT_EQ(m.Position(), m.Size());
        EXPECT_EQ(ToBytes(m), "prefix" + Site()[2].content);
        EXPECT_EQ(Extract("ui\\common.js"), Extract("ui\\common.js"));
    }
}

TEST_F(Arc2, DamagedEntryIsReportedAndTheReaderStaysUsable) {
    // The first 10,000 bytes inflate; then comes a block of the reserved type.
    const Bytes content = Text(50000, 5);
    z_stream d{};
    ASSERT_EQ(deflateInit(&d, Z_DEFAULT_COMPRESSION), Z_OK);
    Bytes broken(20000, '\0');
    d.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    d.avail_in = 10000;
    d.next_out = reinterpret_cast<Bytef*>(broken.data());
    d.avail_out = static_cast<uInt>(broken.size());
    ASSERT_EQ(deflate(&d, Z_SYNC_FLUSH), Z_OK);
    broken.resize(d.total_out);
    deflateEnd(&d);
    broken += "\x07 not deflate data";

    std::vector<FEntry> entries = {Entry("", "good.txt", Text(9000)), Entry("", "bad.txt", content),
                                   Entry("", "after.txt", "fine", 1)};
    entries[1].stored = broken;
    const Bytes bytes = Build(entries);
    arc.VerifyArchiveCRC = false;
    ASSERT_TRUE(arc.OpenArchive(Save(bytes)));
    std::vector<Bytes> partial;
    for (bool withProgress : {false, true}) {
        if (withProgress) {
            arc.OnProgress = [](const std::string&, int) {};
        }
        TMemoryStream m;
        m.WriteBuffer("kept", 4);
        EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "bad.txt"); }),
                  "The archive appears to be corrupted");
        // What reached the stream before the failure stays, in whole chunks only.
        const Bytes got = ToBytes(m);
        EXPECT_EQ(got.substr(0, 4), "kept");
        EXPECT_EQ(got, "kept" + content.substr(0, 8192));
        EXPECT_EQ(m.Position(), m.Size());
        partial.push_back(got);
        EXPECT_EQ(Extract("good.txt"), entries[0].content);
        EXPECT_EQ(Extract("after.txt"), "fine");
    }
    // So do other destinations, which take large writes when nobody watches the chunks.
    arc.OnProgress = nullptr;
    RecordingStream out;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(out, "bad.txt"); }),
              "The archive appears to be corrupted");
    EXPECT_EQ(out.data, content.substr(0, 8192));
    // Memory destinations without a progress handler take a faster road to the same result.
    EXPECT_EQ(partial[0], partial[1]);
}

TEST_F(Arc2, ChecksumOfTheZlibStreamIsHonoured) {
    // A wrong Adler-32 leaves every content byte intact; only reading on to it shows the damage.
    FEntry badSum = Entry("", "badsum.txt", Text(10000));
    badSum.stored = Deflate(badSum.content);
    badSum.stored->back() ^= 0x01;
    // Fewer bytes claimed than the stream holds: the rest is ignored, as a writer never does
    // otherwise and older readers stopped there too.
    FEntry shorter = Entry("", "shorter.txt", Text(10000, 2));
    shorter.uncompressedSize = 6000;
    ASSERT_TRUE(arc.OpenArchive(Save(Build({badSum, shorter}))));
    for (bool withProgress : {false, true}) {
        if (withProgress) {
            arc.OnProgress = [](const std::string&, int) {};
        }
        EXPECT_EQ(MessageOf([&] { Extract("badsum.txt"); }), "The archive appears to be corrupted");
        EXPECT_EQ(Extract("shorter.txt"), shorter.content.substr(0, 6000));
    }

    FArchive parts = BuildParts(Site());
    parts.directory.back() ^= 0x01;
    arc.VerifyArchiveCRC = false;
    EXPECT_EQ(MessageOf([&] { arc.OpenArchive(Save(parts.All(), "dirsum.kvb")); }),
              "Error reading registry");
    FOptions fewer;
    fewer.entryCount = 2;
    ASSERT_TRUE(arc.OpenArchive(Save(Build(Site(), fewer), "fewer.kvb")));
    EXPECT_EQ(arc.FileCount(), 2);
}

TEST_F(Arc2, FailingProgressHandlerOrDestinationCountsAsCorruption) {
    ASSERT_TRUE(arc.OpenArchive(Save(Build({Entry("", "a", Text(20000))}))));
    arc.OnProgress = [](const std::string& m, int) {
        if (m == "Extracting a") {
            throw std::runtime_error("cancelled");
        }
    };
    TMemoryStream m;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "a"); }),
              "The archive appears to be corrupted");
    arc.OnProgress = nullptr;
    RecordingStream out;
    out.failAfter = 0;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(out, "a"); }),
              "The archive appears to be corrupted");
    EXPECT_TRUE(out.writes.empty());
}

TEST_F(Arc2, FileCRCIsCheckedOnlyWhenAsked) {
    // Content altered by the writer without breaking the zlib stream, and a stored entry.
    FEntry altered = Entry("", "altered.txt", Text(3000));
    altered.stored = Deflate(Text(3000, 9));
    FEntry stored = Entry("", "stored.txt", "original", 1);
    stored.crc = Crc("0riginal");
    FEntry good = Entry("", "good.txt", Text(3000, 4));
    ASSERT_TRUE(arc.OpenArchive(Save(Build({altered, stored, good}))));
    EXPECT_EQ(Extract("altered.txt"), Text(3000, 9));
    EXPECT_EQ(Extract("stored.txt"), "original");
    arc.VerifyFileCRC = true;
    EXPECT_EQ(MessageOf([&] { Extract("altered.txt"); }), "altered.txt failed CRC check");
    EXPECT_EQ(MessageOf([&] { Extract("stored.txt"); }), "stored.txt failed CRC check");
    EXPECT_EQ(Extract("good.txt"), Text(3000, 4));
}

TEST_F(Arc2, StoredEntryEndingEarlyIsAReadError) {
    FEntry e = Entry("", "long.bin", "short", 1);
    e.uncompressedSize = 1 << 20;
    ASSERT_TRUE(arc.OpenArchive(Save(Build({e}))));
    EXPECT_EQ(MessageOf([&] { Extract("long.bin"); }), "Stream read error");
}

TEST_F(Arc2, OverstatedSizeOfACompressedEntryDeliversWhatThereIs) {
    // Ends at once instead of counting down a terabyte in 4,096-byte steps.
    FEntry e = Entry("", "lying.txt", Text(5000));
    e.uncompressedSize = std::int64_t(1) << 40;
    ASSERT_TRUE(arc.OpenArchive(Save(Build({e}))));
    EXPECT_EQ(Extract("lying.txt"), e.content);
    arc.OnProgress = [](const std::string&, int) {};
    EXPECT_EQ(Extract("lying.txt"), e.content);
}

TEST_F(Arc2, ArchiveFileGoneAfterOpening) {
    const std::string f = SaveSite();
    ASSERT_TRUE(arc.OpenArchive(f));
    ::unlink(f.c_str());
    TMemoryStream m;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "index.html"); }),
              "Unable to open archive " + f);
    EXPECT_EQ(arc.FileCount(), static_cast<int>(Site().size()));
}

TEST_F(Arc2, ExtractIndexReadsFromAGivenArchiveStream) {
    const std::string f = SaveSite();
    ASSERT_TRUE(arc.OpenArchive(f));
    TFileStream s(f, fmOpenRead);
    for (int i : {2, 0, 5}) {
        TMemoryStream m;
        EXPECT_TRUE(arc.ExtractIndexToStream(i, m, &s));
        EXPECT_EQ(ToBytes(m), Site()[static_cast<std::size_t>(i)].content);
    }
    TMemoryStream m;
    EXPECT_EQ(MessageOf([&] { arc.ExtractIndexToStream(6, m, &s); }), "Index out of bounds");
}

TEST_F(Arc2, NoEventsWhileBeingDestroyed) {
    int reports = 0;
    {
        TComponent owner(nullptr);
        auto* a = new TZLBArc2(&owner);
        ASSERT_TRUE(a->OpenArchive(SaveSite()));
        a->OnProgress = [&](const std::string&, int) { ++reports; };
    }
    auto alone = std::make_unique<TZLBArc2>(nullptr);
    ASSERT_TRUE(alone->OpenArchive(SaveSite()));
    alone->OnProgress = [&](const std::string&, int) { ++reports; };
    alone.reset();
    EXPECT_EQ(reports, 0);
}

// ---- Encrypted entries

class Arc2Encrypted : public Arc2 {
protected:
    TempFolder temp;
    std::vector<FEntry> entries = {
        Entry("sec\\", "packed.txt", Text(12000, 2), 2),
        Entry("sec\\", "raw.bin", Noise(3000, 3), 3),
        Entry("", "plain.txt", "not enciphered", 1),
    };
    int calls = 0;

    void SetUp() override {
        ASSERT_TRUE(arc.OpenArchive(Save(Build(entries))));
        arc.TempDir = temp.Path();
        arc.Password = "secret";
        arc.OnDecryptStream = [this](TStream& in, TStream& out, std::uint32_t size,
                                     const std::string& password) {
            ++calls;
            Bytes buf(size, '\0');
            in.ReadBuffer(buf.data(), size);
            const Bytes plain = Xor(buf, password);
            out.WriteBuffer(plain.data(), static_cast<std::int64_t>(plain.size()));
        };
    }
};

TEST_F(Arc2Encrypted, BothMethodsDecipherThroughTheHandlerAndLeaveNoFile) {
    EXPECT_EQ(Extract("sec\\packed.txt"), entries[0].content);
    EXPECT_EQ(Extract("sec\\raw.bin"), entries[1].content);
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(temp.List().empty());
}

TEST_F(Arc2Encrypted, HandlerSeesTheStoredBytesAndAPrivateTemporaryFile) {
    arc.VerifyFileCRC = true;
    auto decipher = arc.OnDecryptStream;
    arc.OnDecryptStream = [&](TStream& in, TStream& out, std::uint32_t size,
                              const std::string& password) {
        EXPECT_EQ(size, static_cast<std::uint32_t>(arc.GetFileEntry(1).EncryptedSize));
        EXPECT_EQ(in.Position(), arc.AbsolutePosition(arc.GetFileEntry(1).DataOffset));
        EXPECT_EQ(out.Position(), 0);
        EXPECT_EQ(out.Size(), 0);
        const auto names = temp.List();
        EXPECT_EQ(names.size(), 1u);
        if (names.size() == 1) {
            EXPECT_EQ(names[0].rfind("ZLB", 0), 0u);
            struct stat st {};
            ASSERT_EQ(::stat(temp.File(names[0]).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
        decipher(in, out, size, password);
    };
    EXPECT_EQ(Extract("sec\\raw.bin"), entries[1].content);
    EXPECT_TRUE(temp.List().empty());
}

TEST_F(Arc2Encrypted, PasswordIsCheckedBeforeTheHandler) {
    TMemoryStream m;
    for (const char* pw : {"", "   ", " \t\r\n"}) {
        arc.Password = pw;
        EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "sec\\raw.bin"); }),
                  "No password given for encrypted file");
        arc.OnDecryptStream = nullptr;
        EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "sec\\packed.txt"); }),
                  "No password given for encrypted file");
        SetUp();
    }
    arc.OnDecryptStream = nullptr;
    EXPECT_EQ(MessageOf([&] { arc.ExtractToStream(m, "sec\\raw.bin"); }),
              "No decryption algorithm found");
    EXPECT_TRUE(temp.List().empty());
}

TEST_F(Arc2Encrypted, PasswordReachesTheHandlerUntrimmed) {
    std::string seen;
    arc.Password = " secret ";
    arc.OnDecryptStream = [&](TStream&, TStream&, std::uint32_t, const std::string& pw) {
        seen = pw;
    };
    TMemoryStream m;
    arc.ExtractToStream(m, "sec\\packed.txt");
    EXPECT_EQ(seen, " secret ");
}

TEST_F(Arc2Encrypted, WrongPasswordShowsAsCorruptionOrWrongContent) {
    arc.Password = "wrong!";
    EXPECT_EQ(MessageOf([&] { Extract("sec\\packed.txt"); }),
              "The archive appears to be corrupted");
    EXPECT_NE(Extract("sec\\raw.bin"), entries[1].content);
    arc.VerifyFileCRC = true;
    EXPECT_EQ(MessageOf([&] { Extract("sec\\raw.bin"); }), "raw.bin failed CRC check");
    EXPECT_TRUE(temp.List().empty());
}

TEST_F(Arc2Encrypted, HandlerFailuresPassUnchanged) {
    arc.OnDecryptStream = [](TStream&, TStream&, std::uint32_t, const std::string&) {
        throw Exception("cipher broke");
    };
    EXPECT_EQ(MessageOf([&] { Extract("sec\\raw.bin"); }), "cipher broke");
    EXPECT_TRUE(temp.List().empty());
    EXPECT_EQ(Extract("plain.txt"), "not enciphered");
}

TEST_F(Arc2Encrypted, HandlerThatWritesNothing) {
    arc.OnDecryptStream = [](TStream&, TStream&, std::uint32_t, const std::string&) {};
    EXPECT_EQ(MessageOf([&] { Extract("sec\\raw.bin"); }), "Stream read error");
    EXPECT_EQ(Extract("sec\\packed.txt"), "");
    EXPECT_TRUE(temp.List().empty());
}

TEST_F(Arc2Encrypted, UncreatableTemporaryFileFailsAtOnce) {
    arc.TempDir = temp.File("missing");
    try {
        Extract("sec\\raw.bin");
        ADD_FAILURE() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_NE(e.Message().find(temp.File("missing")), std::string::npos) << e.Message();
    }
    EXPECT_EQ(calls, 0);
}

TEST_F(Arc2Encrypted, PlainEntriesNeverTouchTheCipherOrTheTemporaryFolder) {
    arc.Password = "";
    arc.OnDecryptStream = nullptr;
    arc.TempDir = temp.File("missing");
    EXPECT_EQ(Extract("plain.txt"), "not enciphered");
}

TEST_F(Arc2Encrypted, TemporaryFolderFallsBackToTheSystemOne) {
    arc.TempDir = "";
    const char* env = std::getenv("TMPDIR");
    EXPECT_EQ(arc.TempDirectory(), env && *env ? std::string(env) : std::string("/tmp"));
    arc.TempDir = temp.Path();
    EXPECT_EQ(arc.TempDirectory(), temp.Path());
    const std::string a = arc.MakeTempFileName();
    const std::string b = arc.MakeTempFileName();
    EXPECT_NE(a, b);
    EXPECT_EQ(temp.List().size(), 2u);
}

// ---- Sizes beyond 32 bits

TEST_F(Arc2, ArchivesBeyondFourGigabytesReadCorrectly) {
    // A host of holes of 4.5 GiB, and an entry placed 4.25 GiB into the data area.
    const std::int64_t host = (std::int64_t(9) << 29);
    const std::int64_t far = (std::int64_t(17) << 28);
    FEntry nearEntry = Entry("", "near.txt", Text(5000, 1));
    FEntry farEntry = Entry("deep\\", "far.txt", Text(7000, 2));
    const Bytes nearStored = Deflate(nearEntry.content);
    farEntry.dataOffset = far;
    FOptions o;
    o.dataSize = far + static_cast<std::int64_t>(Deflate(farEntry.content).size());
    FArchive parts = BuildParts({nearEntry, farEntry}, o);
    ASSERT_EQ(parts.data, nearStored);

    const std::string f = dir.File("huge.kvb");
    int fd = ::open(f.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    auto put = [&](std::int64_t at, const Bytes& b) {
        return ::pwrite(fd, b.data(), b.size(), at) == static_cast<ssize_t>(b.size());
    };
    const Bytes farStored = Deflate(farEntry.content);
    const std::int64_t dirAt = host + o.dataSize.value();
    const bool ok = ::ftruncate(fd, dirAt) == 0 && put(host, nearStored) &&
                    put(host + far, farStored) && put(dirAt, parts.directory) &&
                    put(dirAt + static_cast<std::int64_t>(parts.directory.size()), parts.trailer);
    struct stat st {};
    ::fstat(fd, &st);
    ::close(fd);
    if (!ok || st.st_blocks * 512 > (std::int64_t(64) << 20)) {
        GTEST_SKIP() << "the file system does not keep sparse files";
    }
    arc.VerifyArchiveCRC = false;
    ASSERT_TRUE(arc.OpenArchive(f));
    EXPECT_EQ(arc.BaseOffset(), host);
    EXPECT_EQ(arc.GetFileEntry(1).DataOffset, far);
    EXPECT_EQ(Extract("near.txt"), nearEntry.content);
    EXPECT_EQ(Extract("DEEP\\FAR.TXT"), farEntry.content);
}

// ---- Collecting a folder's files

TEST_F(Arc2, CollectFolderFilesListsSubFoldersFirst) {
    TempFolder site;
    ::mkdir(site.File("sub").c_str(), 0700);
    ::mkdir(site.File("sub/inner").c_str(), 0700);
    site.Write("a.html", "a");
    site.Write("sub/b.css", "b");
    site.Write("sub/inner/c.js", "c");
    ::symlink(site.Path().c_str(), site.File("sub/loop").c_str());
    const std::string r = site.Path();

    struct Case {
        bool recurse, savePaths;
        std::vector<std::string> expected;
    } cases[] = {
        {false, false, {r + "/a.html"}},
        {false, true, {r + "/a.html", r + "/sub"}},
        {true, false, {r + "/sub/inner/c.js", r + "/sub/b.css", r + "/a.html"}},
        {true,
         true,
         {r + "/sub/inner/c.js", r + "/sub/b.css", r + "/sub/inner", r + "/sub/loop", r + "/a.html",
          r + "/sub"}},
    };
    for (const Case& c : cases) {
        arc.RecursePaths = c.recurse;
        arc.SavePaths = c.savePaths;
        TStringList list;
        arc.CollectFolderFiles(r + "/", list);
        EXPECT_EQ(list.Items(), c.expected) << c.recurse << c.savePaths;
    }
}
