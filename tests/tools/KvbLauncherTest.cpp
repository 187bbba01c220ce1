// The launcher that kvb writes beside a self-contained book: which files and names it accepts,
// and that its Exec line, read the way desktops read it, starts the book whatever its name.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "KvbLauncher.h"
#include "KvbWriter.h"
#include "TestFiles.h"

extern char** environ;

namespace kiva {
namespace {

using test::ReadText;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

std::string Key(const std::string& text, const std::string& key) {
    const std::string prefix = "\n" + key + "=";
    const std::size_t at = text.find(prefix);
    if (at == std::string::npos) {
        return std::string();
    }
    const std::size_t start = at + prefix.size();
    return text.substr(start, text.find('\n', start) - start);
}

// What a desktop does with an Exec value before it runs it: undo the string escapes, put the
// entry's path in place of %k, a percent sign in place of %%. The result is a command line
// whose quoting rules are those of the POSIX shell.
std::string ExpandExec(const std::string& value, const std::string& entryPath) {
    std::string line;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char c = value[++i];
            line += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 's' ? ' ' : c;
        } else {
            line += value[i];
        }
    }
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '%' && i + 1 < line.size()) {
            const char code = line[++i];
            if (code == '%') {
                out += '%';
            } else if (code == 'k') {
                out += "'" + entryPath + "'";
            }
        } else {
            out += line[i];
        }
    }
    return out;
}

int RunShell(const std::string& commandLine, const std::string& cwd) {
    const std::string script = "cd '" + cwd + "' && exec " + commandLine;
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        return -1;
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(KvbLauncher, ExecStartsTheBookBesideTheEntryWhateverTheNames) {
    struct Case {
        const char* Folder; // where the entry lies, below the test folder
        const char* Book;   // the book's path, below the test folder
    };
    const Case cases[] = {
        {"shelf", "shelf/book"},
        {"shelf", "shelf/My \"Book\" $1 100% `id` a\\b"},
        {"shelf ü ß", "shelf ü ß/-dash;&|<>*?#~'"},
        {"shelf/launchers", "shelf/Tab\there and\nthere"},
        {"a", "b/c/book"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Book);
        TempDir tmp;
        const std::string book = tmp / (std::string("orig/") + c.Book);
        const std::string entry = tmp / (std::string("orig/") + c.Folder + "/start.desktop");
        const std::string marker = tmp / "marker";
        fs::create_directories(fs::path(entry).parent_path());
        fs::create_directories(fs::path(book).parent_path());
        WriteFile(book, "#!/bin/sh\nprintf '%s\\n' \"$0\" > '" + marker + "'\n");
        fs::permissions(book, fs::perms::owner_all);

        const TLauncher launcher = TLauncher::For(entry, book, "");
        launcher.WriteTo(entry);
        EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec);
        const std::string text = ReadText(entry);
        EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
        EXPECT_EQ(Key(text, "Name").find_first_of("\t\n"), std::string::npos);

        // The pair moves elsewhere, and a desktop starts the entry from another folder.
        fs::rename(tmp / "orig", tmp / "moved ü");
        const std::string movedEntry =
            tmp / (std::string("moved ü/") + c.Folder + "/start.desktop");
        ASSERT_EQ(RunShell(ExpandExec(Key(text, "Exec"), movedEntry), "/"), 0);
        std::string started = ReadText(marker);
        ASSERT_FALSE(started.empty());
        started.pop_back();
        EXPECT_TRUE(fs::equivalent(started, tmp / (std::string("moved ü/") + c.Book))) << started;
    }
}

TEST(KvbLauncher, RefusesWhatNoDesktopWouldRun) {
    TempDir tmp;
    struct Case {
        std::string Entry;
        std::string Name;
        const char* Message;
    };
    const Case cases[] = {
        {tmp / "book.desktop", "", "would replace the book"},
        {tmp / "sub/../book.desktop", "", "would replace the book"},
        {tmp / "start.desktop", "Buch \xE4", "must be UTF-8"},
        {tmp / "start.desktop", "two\nlines", "one line"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Entry + " " + c.Name);
        try {
            TLauncher::For(c.Entry, tmp / "book.desktop", c.Name);
            ADD_FAILURE() << "accepted";
        } catch (const EPackError& e) {
            EXPECT_NE(e.Message().find(c.Message), std::string::npos) << e.Message();
        }
    }
    // A failed write leaves neither the entry nor a temporary file behind.
    const TLauncher l = TLauncher::For(tmp / "start.desktop", tmp / "book", "Buch ü");
    EXPECT_EQ(l.Name, "Buch ü");
    fs::create_directory(tmp / "start.desktop");
    EXPECT_THROW(l.WriteTo(tmp / "start.desktop"), EPackError);
    fs::remove(tmp / "start.desktop");
    EXPECT_TRUE(fs::is_empty(tmp.Path()));
}

} // namespace
} // namespace kiva
