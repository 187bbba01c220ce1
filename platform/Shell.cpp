#include "Shell.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

#include "SysUtils.h"

extern char** environ;

namespace kiva {

namespace {

int SpawnDetached(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (rc != 0) {
        return rc;
    }
    // The opener may outlive a click by far (some desktops keep it running), so the wait for
    // it runs aside; without it every opened file would leave a zombie behind.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return 0;
}

TSpawner& CurrentSpawner() {
    static TSpawner spawner;
    return spawner;
}

} // namespace

TSpawner SetShellSpawner(TSpawner spawner) {
    TSpawner previous = std::move(CurrentSpawner());
    CurrentSpawner() = std::move(spawner);
    return previous;
}

std::vector<std::string> ShellOpenCommand(const std::string& file) {
    std::string path = file;
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    // xdg-open would read a leading '-' as one of its own options.
    if (!path.empty() && path[0] == '-') {
        path.insert(0, "./");
    }
    return {"xdg-open", path};
}

HINSTANCE ShellExecuteA(void* /*owner*/, const char* operation, const char* file,
                        const char* /*parameters*/, const char* /*directory*/, int /*showCmd*/) {
    if (file == nullptr || *file == '\0') {
        return SE_ERR_FNF;
    }
    if (operation != nullptr && *operation != '\0' && !SameTextAscii(operation, "open")) {
        return SE_ERR_NOASSOC;
    }
    const std::vector<std::string> argv = ShellOpenCommand(file);
    // A missing file is reported as the shell reports it, without starting an opener.
    struct stat st {};
    if (stat(argv[1].c_str(), &st) != 0) {
        return errno == EACCES ? SE_ERR_ACCESSDENIED : SE_ERR_FNF;
    }
    const TSpawner& spawner = CurrentSpawner();
    const int rc = spawner ? spawner(argv) : SpawnDetached(argv);
    switch (rc) {
    case 0:
        return SE_SUCCESS;
    case ENOENT:
        return SE_ERR_NOASSOC; // no xdg-open on this desktop
    case EACCES:
    case EPERM:
        return SE_ERR_ACCESSDENIED;
    default:
        return SE_ERR_OOM;
    }
}

} // namespace kiva
