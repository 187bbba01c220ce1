#include "Registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "FileDescriptor.h"

namespace kiva {

namespace {

std::string RootName(HKEY root) {
    switch (root) {
    case HKEY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    }
    return "HKEY_CLASSES_ROOT";
}

// One key: its name as first written, and its values in the order they were set.
struct TRegKey {
    std::string Name;
    std::vector<std::pair<std::string, std::string>> Values;
};

// Keyed by the lower-cased full name, so lookups ignore case and the file stays sorted.
using TRegData = std::map<std::string, TRegKey>;

std::string FullKey(HKEY root, const std::string& key) {
    std::string k = key;
    while (!k.empty() && k.front() == '\\') {
        k.erase(0, 1);
    }
    while (!k.empty() && k.back() == '\\') {
        k.pop_back();
    }
    return k.empty() ? RootName(root) : RootName(root) + "\\" + k;
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

// Reads a quoted text starting at s[pos] == '"'; pos ends after the closing quote.
bool Unquote(const std::string& s, std::size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') {
        return false;
    }
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < s.size()) {
            c = s[++pos];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
        } else {
            out += c;
        }
    }
    return false;
}

TRegData Load(const std::string& fileName) {
    TRegData data;
    std::string text;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(fileName.c_str(), "rb"),
                                                          &std::fclose);
        if (!f) {
            if (errno == ENOENT) {
                return data;
            }
            throw ERegistryError(
                Format("Unable to read the registry file %s: %s", fileName, std::strerror(errno)));
        }
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
            text.append(buf, n);
        }
        if (std::ferror(f.get())) {
            throw ERegistryError(
                Format("Unable to read the registry file %s: %s", fileName, std::strerror(errno)));
        }
    }
    std::istringstream in(text);
    std::string line;
    TRegKey* current = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string name = line.substr(1, line.size() - 2);
            TRegKey& k = data[AnsiLowerCaseAscii(name)];
            if (k.Name.empty()) {
                k.Name = name;
            }
            current = &k;
            continue;
        }
        if (!current) {
            continue;
        }
        std::string valueName, value;
        std::size_t pos = 0;
        if (line.rfind("@=", 0) == 0) {
            pos = 2;
        } else if (!Unquote(line, pos, valueName) || pos >= line.size() || line[pos] != '=') {
            continue;
        } else {
            ++pos;
        }
        if (Unquote(line, pos, value)) {
            current->Values.emplace_back(valueName, value);
        }
    }
    return data;
}

void MakeDirs(const std::string& dir) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (!partial.empty() && mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            throw ERegistryError(
                Format("Unable to create the folder %s: %s", partial, std::strerror(errno)));
        }
    }
}

void Save(const std::string& fileName, const TRegData& data) {
    std::ostringstream out;
    out << "; Kivabook Viewer registry\n";
    for (const auto& [lower, key] : data) {
        out << "\n[" << key.Name << "]\n";
        for (const auto& [name, value] : key.Values) {
            out << (name.empty() ? std::string("@") : Quote(name)) << '=' << Quote(value) << '\n';
        }
    }
    const std::string text = out.str();

    const std::string dir = fileName.substr(0, fileName.find_last_of('/'));
    MakeDirs(dir);
    std::string temp = fileName + ".XXXXXX";
    TFileDescriptor fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        throw ERegistryError(
            Format("Unable to write the registry file %s: %s", fileName, std::strerror(errno)));
    }
    // The new text replaces the old file only once it is safely on disk, so a crash leaves one
    // or the other whole.
    const bool ok =
        WriteAll(fd.Get(), text.data(), std::ssize(text)) && fsync(fd.Get()) == 0 && fd.Close();
    if (!ok || std::rename(temp.c_str(), fileName.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw ERegistryError(
            Format("Unable to write the registry file %s: %s", fileName, std::strerror(err)));
    }
}

} // namespace

std::string RegistryFileName() {
    std::string base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && x[0] == '/') {
        base = x;
    } else {
        std::string home;
        if (const char* h = std::getenv("HOME"); h && *h) {
            home = h;
        } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
            home = pw->pw_dir;
        }
        base = home + "/.config";
    }
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    return base + "/kivabook-viewer/registry.ini";
}

void CreateRegKey(const std::string& key, const std::string& valueName, const std::string& value,
                  HKEY root) {
    const std::string fileName = RegistryFileName();
    TRegData data = Load(fileName);
    const std::string full = FullKey(root, key);
    // Parents exist as keys of their own, as they would after creating the key on the
    // Windows.
    for (std::size_t pos = full.find('\\'); pos != std::string::npos;
         pos = full.find('\\', pos + 1)) {
        const std::string parent = full.substr(0, pos);
        TRegKey& p = data[AnsiLowerCaseAscii(parent)];
        if (p.Name.empty()) {
            p.Name = parent;
        }
    }
    TRegKey& k = data[AnsiLowerCaseAscii(full)];
    if (k.Name.empty()) {
        k.Name = full;
    }
    bool replaced = false;
    for (auto& [name, v] : k.Values) {
        if (SameTextAscii(name, valueName)) {
            v = value;
            replaced = true;
        }
    }
    if (!replaced) {
        k.Values.emplace_back(valueName, value);
    }
    Save(fileName, data);
}

void DeleteRegKey(const std::string& key, HKEY root) {
    const std::string fileName = RegistryFileName();
    TRegData data = Load(fileName);
    const std::string lower = AnsiLowerCaseAscii(FullKey(root, key));
    const std::string prefix = lower + "\\";
    bool changed = false;
    for (auto it = data.begin(); it != data.end();) {
        if (it->first == lower || it->first.rfind(prefix, 0) == 0) {
            it = data.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed) {
        Save(fileName, data);
    }
}

std::optional<std::string> GetRegStringValue(const std::string& key, const std::string& valueName,
                                             HKEY root) {
    try {
        const TRegData data = Load(RegistryFileName());
        const auto it = data.find(AnsiLowerCaseAscii(FullKey(root, key)));
        if (it == data.end()) {
            return std::nullopt;
        }
        for (const auto& [name, v] : it->second.Values) {
            if (SameTextAscii(name, valueName)) {
                return v;
            }
        }
    } catch (const ERegistryError&) {
    }
    return std::nullopt;
}

bool RegKeyExists(const std::string& key, HKEY root) {
    try {
        const TRegData data = Load(RegistryFileName());
        return data.count(AnsiLowerCaseAscii(FullKey(root, key))) != 0;
    } catch (const ERegistryError&) {
        return false;
    }
}

} // namespace kiva
