#include "Classes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "SysUtils.h"

using namespace kiva;

namespace {

std::string Content(TMemoryStream& m) {
    return std::string(reinterpret_cast<const char*>(m.Memory()),
                       static_cast<std::size_t>(m.Size()));
}

} // namespace

TEST(MemoryStream, GrowsAndZeroFillsWhenWrittenPastItsEnd) {
    TMemoryStream m;
    std::string big(100000, 'x');
    for (int i = 0; i < 10; ++i) {
        m.WriteBuffer(big.data(), static_cast<std::int64_t>(big.size()));
    }
    EXPECT_EQ(m.Size(), 1000000);
    EXPECT_GE(m.Capacity(), m.Size());
    m.Seek(10, TSeekOrigin::soEnd);
    EXPECT_EQ(m.Position(), 1000010);
    m.WriteBuffer("y", 1);
    EXPECT_EQ(m.Size(), 1000011);
    EXPECT_EQ(Content(m).substr(999999), std::string("x") + std::string(10, '\0') + "y");

    char buf[4];
    m.SetPosition(m.Size() + 5);
    EXPECT_EQ(m.Read(buf, 4), 0);
    EXPECT_THROW(m.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
}

TEST(MemoryStream, SizeAndCapacityKeepTheContent) {
    TMemoryStream m;
    m.WriteBuffer("abcdef", 6);
    m.SetCapacity(1 << 20);
    EXPECT_EQ(Content(m), "abcdef");
    m.SetSize(3);
    EXPECT_EQ(m.Position(), 3);
    m.SetSize(5);
    EXPECT_EQ(Content(m), std::string("abc\0\0", 5));
    m.SetCapacity(0); // never below the size
    EXPECT_EQ(Content(m), std::string("abc\0\0", 5));
    m.Clear();
    EXPECT_EQ(m.Size(), 0);
    EXPECT_EQ(m.Position(), 0);
}

TEST(Stream, ReadBufferRefusesShortReads) {
    TMemoryStream m;
    m.WriteBuffer("abc", 3);
    m.SetPosition(0);
    char buf[4];
    try {
        m.ReadBuffer(buf, 4);
        ADD_FAILURE() << "no exception";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Stream read error");
    }
}

TEST(Stream, CopyFromTakesTheCountFromThePositionOrEverything) {
    TMemoryStream src;
    std::string data(200000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7);
    }
    src.WriteBuffer(data.data(), static_cast<std::int64_t>(data.size()));

    TMemoryStream part;
    src.SetPosition(100);
    EXPECT_EQ(part.CopyFrom(src, 150000), 150000);
    EXPECT_EQ(Content(part), data.substr(100, 150000));
    EXPECT_EQ(src.Position(), 150100);

    TMemoryStream all;
    EXPECT_EQ(all.CopyFrom(src, 0), 200000);
    EXPECT_EQ(Content(all), data);

    TMemoryStream tooMuch;
    src.SetPosition(199990);
    EXPECT_THROW(tooMuch.CopyFrom(src, 11), EReadError);
}

TEST(FileStream, OpeningFailuresNameTheFile) {
    try {
        TFileStream f("/nonexistent-folder/x", fmOpenRead);
        ADD_FAILURE() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.Message().find("/nonexistent-folder/x"), std::string::npos);
    }
    EXPECT_THROW(TFileStream("/nonexistent-folder/x", fmCreate), EFCreateError);
    EXPECT_THROW(TFileStream("/tmp", fmOpenRead), EFOpenError);
}

// Opening a named pipe for reading blocks until a writer comes, which none ever does here. The
// alarm ends the test program instead of letting a regression hang the whole run.
TEST(FileStream, OnlyRegularFilesAreFilesAndOpeningAPipeNeverBlocks) {
    char dir[] = "/tmp/kiva-fifo-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/pipe", file = std::string(dir) + "/file";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    { TFileStream(file, fmCreate).WriteBuffer("data", 4); }

    ::alarm(10);
    for (const std::string& path : {fifo, std::string(dir), std::string("/dev/null")}) {
        EXPECT_FALSE(FileExists(path)) << path;
        for (unsigned mode : {fmOpenRead | fmShareDenyWrite, unsigned(fmOpenReadWrite)}) {
            try {
                TFileStream f(path, mode);
                ADD_FAILURE() << path << " opened";
            } catch (const EFOpenError& e) {
                EXPECT_NE(e.Message().find(path), std::string::npos) << e.Message();
            }
        }
    }
    ::alarm(0);
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FileExists(file + ".missing"));
    // A regular file reads as before, and its handle is not left non-blocking for others.
    TFileStream f(file, fmOpenRead);
    char buf[4];
    f.ReadBuffer(buf, 4);
    EXPECT_EQ(std::string(buf, 4), "data");
    EXPECT_EQ(::fcntl(f.Handle(), F_GETFL) & O_NONBLOCK, 0);
    ::unlink(fifo.c_str());
    ::unlink(file.c_str());
    ::rmdir(dir);
}
