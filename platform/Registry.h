#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "SysUtils.h"
#include "WinTypes.h"

namespace kiva {

// Roots of the registry. Only the classes root is used by the program.
enum HKEY : std::uint32_t {
    HKEY_CLASSES_ROOT = 0x80000000u,
    HKEY_CURRENT_USER = 0x80000001u,
    HKEY_LOCAL_MACHINE = 0x80000002u,
};

// A registry failure, with the result code the COM layer would report for it.
class ERegistryError : public Exception {
public:
    ERegistryError(std::string message, HRESULT code = TYPE_E_REGISTRYACCESS)
        : Exception(std::move(message)), ErrorCode(code) {}
    HRESULT ErrorCode;
};

// The registry is a text file of the user's: $XDG_CONFIG_HOME/kivabook-viewer/registry.ini,
// with ~/.config when XDG_CONFIG_HOME is unset, empty or not absolute. Every change rewrites
// the file as a whole through a temporary file and a rename, so readers never see half a file.
// Keys compare without regard to ASCII case, as on Windows; the empty value
// name is the key's default value.
std::string RegistryFileName();

// Creates the key (and its parents) and sets one string value. Raises ERegistryError.
void CreateRegKey(const std::string& key, const std::string& valueName, const std::string& value,
                  HKEY root = HKEY_CLASSES_ROOT);
// Removes the key with everything beneath it; a missing key is not an error. Raises
// ERegistryError when the file cannot be read or rewritten.
void DeleteRegKey(const std::string& key, HKEY root = HKEY_CLASSES_ROOT);
// The value, or nothing when the key or value does not exist (or the file is unreadable).
std::optional<std::string> GetRegStringValue(const std::string& key,
                                             const std::string& valueName = std::string(),
                                             HKEY root = HKEY_CLASSES_ROOT);
bool RegKeyExists(const std::string& key, HKEY root = HKEY_CLASSES_ROOT);

} // namespace kiva
