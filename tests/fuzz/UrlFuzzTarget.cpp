#include "UrlFuzzTarget.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "ContentUrl.h"
#include "SampleArchive.h"
#include "ZLIBArchive2.h"

namespace kiva::fuzz {

namespace {

// Longer URLs only repeat what shorter ones already reach.
constexpr std::size_t kMaxInput = 4096;

void Expect(bool ok, const char* broken) {
    if (!ok) {
        throw std::logic_error(broken);
    }
}

// Names that exercise every rule of the mapping: folders, blanks and pluses, a "#" and a "%"
// that really belong to names, letter case, and a name stored in Windows-1252.
sample::Plan MappingArchive() {
    sample::Plan plan;
    const std::pair<const char*, const char*> names[] = {
        {"", "index.html"},    {"docs\\", "a b.html"},   {"", "a+b.html"},
        {"", "page.html#top"}, {"", "100%.html"},        {"UI\\", "Common.JS"},
        {"", "caf\xE9.html"},  {"media\\", "clip.webm"}, {"", "-config-"},
    };
    for (const auto& [path, name] : names) {
        plan.entries.push_back({path, name, std::string("content of ") + name, sample::kStored});
    }
    plan.compressDirectory = false;
    return plan;
}

const TZLBArc2& Archive() {
    static const std::unique_ptr<TZLBArc2> archive = [] {
        const char* own = std::getenv("KIVA_FUZZ_TMPDIR");
        const char* tmp = std::getenv("TMPDIR");
        const std::string folder = own && *own ? own : tmp && *tmp ? tmp : "/tmp";
        const std::string file = folder + "/kiva-fuzz-url-" + std::to_string(::getpid()) + ".kvb";
        sample::WriteFile(file, sample::Build(MappingArchive()).bytes);
        auto arc = std::make_unique<TZLBArc2>(nullptr);
        arc->OpenArchive(file);
        // The reader keeps its directory and never reads the file again for a lookup.
        ::unlink(file.c_str());
        return arc;
    }();
    return *archive;
}

void CheckUrl(const std::string& url) {
    const std::string name = EntryNameFromUrl(url);
    Expect(name.find('/') == std::string::npos, "an entry name with a slash");
    Expect(name.find('?') == std::string::npos, "an entry name with a query");

    const TZLBArc2& arc = Archive();
    const TUrlEntry found = FindUrlEntry(arc, url);
    if (found.Index < 0) {
        Expect(found.Index == -1 && found.Name == name, "a miss under another name");
        return;
    }
    Expect(found.Index < arc.FileCount(), "an index beyond the directory");
    Expect(arc.IndexOfFile(found.Name) == found.Index, "an entry found under a name not its own");
}

} // namespace

void RunUrlInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), std::min(size, kMaxInput));

    const std::string decoded = UrlDecode(text);
    Expect(decoded.size() <= text.size(), "decoding made the text longer");
    if (text.find_first_of("%+") == std::string::npos) {
        Expect(decoded == text, "decoding changed a text without escapes");
    }
    CheckUrl(std::string(kContentRoot) + text);
    CheckUrl(text);
    (void)ContentTypeOfEntry(decoded);
}

} // namespace kiva::fuzz
