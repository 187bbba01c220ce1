#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kiva {

using HINSTANCE = std::intptr_t;

inline constexpr int SW_SHOWNORMAL = 1;
// Results of ShellExecuteA that report a failure; success is any value above 32.
inline constexpr HINSTANCE SE_ERR_OOM = 0; // out of memory or resources
inline constexpr HINSTANCE SE_ERR_FNF = 2; // file not found
inline constexpr HINSTANCE SE_ERR_ACCESSDENIED = 5;
inline constexpr HINSTANCE SE_ERR_NOASSOC = 31; // no application for the verb
inline constexpr HINSTANCE SE_SUCCESS = 42;

// Starts a program from its argument vector (argv[0] looked up in PATH) without waiting for
// it. Returns 0 when the program started, otherwise the errno of the failure.
using TSpawner = std::function<int(const std::vector<std::string>& argv)>;

// Replaces the process's spawner (tests use a recording one) and returns the previous one; an
// empty function restores the real one, which uses posix_spawnp and reaps the child.
TSpawner SetShellSpawner(TSpawner spawner);

// The desktop shell: "open" (or no verb) hands file, a file or folder, to the desktop's
// default application through xdg-open; a missing file gives SE_ERR_FNF. The path travels as one
// argument and never through a command shell; the separators '\' of the callers' Windows-style
// paths become '/'. owner, parameters, directory and showCmd are accepted for the callers' sake and
// not used.
HINSTANCE ShellExecuteA(void* owner, const char* operation, const char* file,
                        const char* parameters, const char* directory, int showCmd);

// The argument vector ShellExecuteA hands to the spawner for a file.
std::vector<std::string> ShellOpenCommand(const std::string& file);

} // namespace kiva
