#include "Shell.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kiva {
namespace {

namespace fs = std::filesystem;

// Records what would have been started instead of starting it.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = SetShellSpawner([this](const std::vector<std::string>& argv) {
            calls.push_back(argv);
            return spawnResult;
        });
        char tmpl[] = "/tmp/kiva-shell-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        SetShellSpawner(previous_);
        fs::remove_all(dir);
    }
    std::string MakeFile(const std::string& name) {
        const fs::path p = dir / name;
        std::ofstream(p) << "x";
        return p.string();
    }

    std::vector<std::vector<std::string>> calls;
    int spawnResult = 0;
    fs::path dir;

private:
    TSpawner previous_;
};

TEST_F(ShellTest, OpensAnExistingFileWithXdgOpenAsOneArgument) {
    // Blanks, quotes and shell characters must reach the opener untouched.
    const std::string file = MakeFile("my file; $(rm -rf x) 'q'.pdf");
    EXPECT_GT(ShellExecuteA(nullptr, "open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL), 32);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"xdg-open", file}));
}

TEST_F(ShellTest, OpensFoldersAndAcceptsTheVerbInAnyCaseOrNone) {
    EXPECT_GT(ShellExecuteA(nullptr, "OPEN", dir.c_str(), nullptr, nullptr, SW_SHOWNORMAL), 32);
    EXPECT_GT(ShellExecuteA(nullptr, nullptr, dir.c_str(), nullptr, nullptr, SW_SHOWNORMAL), 32);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(ShellTest, WindowsSeparatorsBecomeSlashesSoTheRootFolderOpens) {
    EXPECT_GT(ShellExecuteA(nullptr, "open", "\\", nullptr, nullptr, SW_SHOWNORMAL), 32);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0][1], "/");

    MakeFile("a.pdf");
    fs::create_directory(dir / "docs");
    MakeFile("docs/b.pdf");
    std::string windowsStyle = dir.string() + "\\docs\\b.pdf";
    EXPECT_GT(ShellExecuteA(nullptr, "open", windowsStyle.c_str(), nullptr, nullptr, 1), 32);
    EXPECT_EQ(calls.back()[1], (dir / "docs" / "b.pdf").string());
}

TEST_F(ShellTest, ALeadingDashIsNotTakenForAnOptionOfTheOpener) {
    EXPECT_EQ(ShellOpenCommand("--help"), (std::vector<std::string>{"xdg-open", "./--help"}));
}

TEST_F(ShellTest, FailuresAreReportedAsTheShellReportsThem) {
    const std::string missing = (dir / "missing.exe").string();
    EXPECT_EQ(ShellExecuteA(nullptr, "open", missing.c_str(), nullptr, nullptr, 1), SE_ERR_FNF);
    EXPECT_EQ(ShellExecuteA(nullptr, "open", "", nullptr, nullptr, 1), SE_ERR_FNF);
    EXPECT_EQ(ShellExecuteA(nullptr, "open", nullptr, nullptr, nullptr, 1), SE_ERR_FNF);
    const std::string file = MakeFile("x.txt");
    EXPECT_EQ(ShellExecuteA(nullptr, "print", file.c_str(), nullptr, nullptr, 1), SE_ERR_NOASSOC);
    EXPECT_TRUE(calls.empty());

    spawnResult = ENOENT; // no opener installed
    EXPECT_EQ(ShellExecuteA(nullptr, "open", file.c_str(), nullptr, nullptr, 1), SE_ERR_NOASSOC);
    spawnResult = EACCES;
    EXPECT_EQ(ShellExecuteA(nullptr, "open", file.c_str(), nullptr, nullptr, 1),
              SE_ERR_ACCESSDENIED);
    spawnResult = ENOMEM;
    EXPECT_EQ(ShellExecuteA(nullptr, "open", file.c_str(), nullptr, nullptr, 1), SE_ERR_OOM);
}

TEST(ShellSpawnTest, TheRealSpawnerStartsProgramsFromThePathAndReportsMissingOnes) {
    // Real spawning, with PATH pointing at a folder holding a harmless stand-in opener.
    char tmpl[] = "/tmp/kiva-spawn-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path bin = tmpl;
    const fs::path marker = bin / "opened";
    {
        std::ofstream script(bin / "xdg-open");
        script << "#!/bin/sh\nprintf '%s' \"$1\" > \"" << marker.string() << ".tmp\" && /bin/mv \""
               << marker.string() << ".tmp\" \"" << marker.string() << "\"\n";
    }
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const char* oldPath = std::getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("PATH", bin.c_str(), 1);
    const std::string target = (bin / "a b.txt").string();
    std::ofstream(target) << "x";
    EXPECT_GT(ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, 1), 32);
    // The opener runs on its own; wait for its mark without a time limit of our own.
    for (int i = 0; i < 500 && !fs::exists(marker); ++i) {
        usleep(10000);
    }
    setenv("PATH", (bin / "none").c_str(), 1);
    EXPECT_EQ(ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, 1), SE_ERR_NOASSOC);
    setenv("PATH", saved.c_str(), 1);
    std::ifstream in(marker);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, target);
    fs::remove_all(bin);
}

} // namespace
} // namespace kiva
