#include "ContentUrl.h"

#include <algorithm>
#include <optional>

#include "SysUtils.h"
#include "ZLIBArchive2.h"

namespace kiva {

BYTE HexDigitValue(char c) {
    const auto n = static_cast<unsigned char>(c);
    if (n <= 0x40) {
        return static_cast<BYTE>(n - 0x30);
    }
    if (n <= 0x60) {
        return static_cast<BYTE>(n - 0x41 + 10);
    }
    return static_cast<BYTE>(n - 0x61 + 10);
}

std::string UrlDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '%') {
            if (i + 2 < s.size()) {
                out += static_cast<char>(
                    static_cast<BYTE>(16 * HexDigitValue(s[i + 1]) + HexDigitValue(s[i + 2])));
                i += 3;
            } else {
                // Cut short by the end: the "%" stays, the one character after it goes.
                out += '%';
                break;
            }
        } else {
            out += c == '+' ? ' ' : c;
            ++i;
        }
    }
    return out;
}

std::string EntryNameFromUrl(std::string_view url) {
    std::string name = UrlDecode(url.substr(std::min(url.size(), kContentRoot.size())));
    std::replace(name.begin(), name.end(), '/', '\\');
    const std::size_t q = name.find('?');
    if (q != std::string::npos) {
        name.erase(q);
    }
    return name;
}

namespace {

// The index of name, or of its Windows-1252 form; name becomes the form that was found.
int IndexWithFallback(const TZLBArc2& archive, std::string& name) {
    int index = archive.IndexOfFile(name);
    if (index < 0) {
        std::optional<std::string> cp1252 = Utf8ToCp1252(name);
        if (cp1252 && *cp1252 != name) {
            index = archive.IndexOfFile(*cp1252);
            if (index >= 0) {
                name = std::move(*cp1252);
            }
        }
    }
    return index;
}

} // namespace

TUrlEntry FindUrlEntry(const TZLBArc2& archive, std::string_view url) {
    TUrlEntry found;
    found.Name = EntryNameFromUrl(url);
    found.Index = IndexWithFallback(archive, found.Name);
    const std::size_t hash = url.find('#');
    if (found.Index < 0 && hash != std::string_view::npos) {
        std::string name = EntryNameFromUrl(url.substr(0, hash));
        const int index = IndexWithFallback(archive, name);
        if (index >= 0) {
            found = TUrlEntry{index, std::move(name)};
        }
    }
    return found;
}

std::string ContentTypeOfEntry(std::string_view entryName) {
    static const struct {
        const char* Extension;
        const char* Type;
    } kTypes[] = {
        {".webm", "video/webm"}, {".mp4", "video/mp4"},   {".m4v", "video/mp4"},
        {".ogv", "video/ogg"},   {".ogg", "audio/ogg"},   {".oga", "audio/ogg"},
        {".opus", "audio/ogg"},  {".mp3", "audio/mpeg"},  {".m4a", "audio/mp4"},
        {".wav", "audio/wav"},   {".flac", "audio/flac"}, {".wasm", "application/wasm"},
    };
    const std::string ext = AnsiLowerCaseAscii(ExtractFileExt(entryName));
    for (const auto& t : kTypes) {
        if (ext == t.Extension) {
            return t.Type;
        }
    }
    return std::string();
}

} // namespace kiva
