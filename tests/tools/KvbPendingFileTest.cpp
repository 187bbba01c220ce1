#include "KvbPendingFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "TestFiles.h"

namespace kiva {
namespace {

using test::ReadText;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

std::size_t FilesIn(const fs::path& dir) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// A pack interrupted half-way leaves nothing behind: the child starts a file, says so
// through a pipe, and waits for the signal.
TEST(KvbPendingFile, ASignalRemovesTheTemporaryFileAndStillEndsTheProcess) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir tmp;
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // A signal that the test's own parent ignores (nohup) would stay ignored.
            ::signal(sig, SIG_DFL);
            ::close(ready[0]);
            TPendingFile file(TFileDescriptor(), tmp / "book.kvb", tmp / "book.kvb.");
            file.Stream().WriteBuffer("half", 4);
            ::write(ready[1], "r", 1);
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::close(ready[0]);
        EXPECT_EQ(FilesIn(tmp.Path()), 1u);
        ::kill(child, sig);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "signal " << sig;
        EXPECT_EQ(FilesIn(tmp.Path()), 0u) << "signal " << sig;
    }
}

TEST(KvbPendingFile, OnlyACommitGivesTheNameAndKeepingRefusesAnExistingFile) {
    TempDir tmp;
    WriteFile(tmp / "old.txt", "old");
    {
        TPendingFile lost(TFileDescriptor(), tmp / "new.txt", tmp / "new.txt.");
        lost.Stream().WriteBuffer("lost", 4);
    }
    EXPECT_EQ(FilesIn(tmp.Path()), 1u);

    {
        TPendingFile kept(TFileDescriptor(), tmp / "old.txt", tmp / "old.txt.");
        kept.Stream().WriteBuffer("new", 3);
        EXPECT_FALSE(kept.Commit(true));
        EXPECT_EQ(ReadText(tmp / "old.txt"), "old");
    }

    TPendingFile replaced(TFileDescriptor(), tmp / "old.txt", tmp / "old.txt.");
    replaced.Stream().WriteBuffer("new", 3);
    EXPECT_TRUE(replaced.Commit());
    EXPECT_EQ(ReadText(tmp / "old.txt"), "new");
    EXPECT_EQ(FilesIn(tmp.Path()), 1u);
}

} // namespace
} // namespace kiva
