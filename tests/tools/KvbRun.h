#pragma once

// Runs the built kvb program the way users do, and makes the books and sites its tests use.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "TestFiles.h"
#include "ZLIBArchiveGlobals2.h"

extern char** environ;

namespace kiva::test {

struct RunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// Runs kvb with args, standard input from /dev/null and the outputs in files of tmp.
// Variables in env ("PATH=...") replace those of the test's environment.
inline RunResult RunKvb(const TempDir& tmp, std::vector<std::string> args,
                        const std::vector<std::string>& env = {}) {
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
    std::vector<std::string> vars = env;
    for (char** e = environ; *e; ++e) {
        const std::string v = *e;
        const std::string name = v.substr(0, v.find('=') + 1);
        bool replaced = false;
        for (const std::string& o : env) {
            replaced = replaced || o.rfind(name, 0) == 0;
        }
        if (!replaced) {
            vars.push_back(v);
        }
    }
    std::vector<char*> envp;
    for (auto& v : vars) {
        envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    RunResult r;
    if (posix_spawn(&pid, KVB_PATH, &fa, nullptr, argv.data(), envp.data()) == 0) {
        int st = 0;
        ::waitpid(pid, &st, 0);
        r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.Out = ReadText(outFile);
    r.Err = ReadText(errFile);
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    return r;
}

// The arguments as one line, for failure messages.
inline std::string Line(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& a : args) {
        line += a + " ";
    }
    return line;
}

// A site with one page at the top, one in a sub-folder and a file with every byte value.
inline void MakeSite(const TempDir& tmp, const std::string& dir = "site") {
    WriteFile(tmp / (dir + "/index.html"), "<title>Home</title>");
    WriteFile(tmp / (dir + "/docs/guide.html"), "<title>Guide</title>");
    std::vector<std::uint8_t> all(512);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    WriteFile(tmp / (dir + "/docs/bytes.bin"), all);
}

struct CraftedEntry {
    std::string FullName; // backslashes between folders
    std::string Content;
    std::uint8_t Method = emStored;
};

// Writes a raw-directory version-2 book of stored entries, record by record, so that it can
// hold names and methods the writer refuses.
inline void CraftArchive(const std::string& file, const std::vector<CraftedEntry>& entries) {
    std::vector<std::uint8_t> data, dir;
    auto put = [](std::vector<std::uint8_t>& v, std::size_t at, std::uint64_t x, int width) {
        for (int i = 0; i < width; ++i) {
            v[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
        }
    };
    for (const CraftedEntry& e : entries) {
        const std::size_t cut = e.FullName.rfind('\\');
        const std::string path = cut == std::string::npos ? "" : e.FullName.substr(0, cut + 1);
        const std::string name = cut == std::string::npos ? e.FullName : e.FullName.substr(cut + 1);
        std::vector<std::uint8_t> rec(550, 0);
        rec[0] = static_cast<std::uint8_t>(name.size());
        std::copy(name.begin(), name.end(), rec.begin() + 1);
        rec[256] = static_cast<std::uint8_t>(path.size());
        std::copy(path.begin(), path.end(), rec.begin() + 257);
        put(rec, 512, e.Content.size(), 8);
        if (e.Method == emStoredEncrypted) {
            put(rec, 528, e.Content.size(), 8);
        }
        put(rec, 536, data.size(), 8);
        put(rec, 544, CRC32(e.Content.data(), e.Content.size()), 4);
        rec[548] = e.Method;
        data.insert(data.end(), e.Content.begin(), e.Content.end());
        dir.insert(dir.end(), rec.begin(), rec.end());
    }
    std::vector<std::uint8_t> body = data;
    body.insert(body.end(), dir.begin(), dir.end());
    std::vector<std::uint8_t> trailer(36, 0);
    put(trailer, 0, CRC32(body.data(), body.size()), 4);
    put(trailer, 4, entries.size(), 4);
    put(trailer, 8, 2, 4);
    put(trailer, 12, dir.size(), 4);
    put(trailer, 16, data.size(), 8);
    body.insert(body.end(), trailer.begin(), trailer.end());
    WriteFile(file, body);
}

// Every file and folder below root, relative, sorted.
inline std::vector<std::string> AllFilesBelow(const std::filesystem::path& root) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        out.push_back(std::filesystem::relative(e.path(), root).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace kiva::test
