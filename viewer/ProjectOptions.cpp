#include "ProjectOptions.h"

#include "SysUtils.h"

namespace kiva {

namespace {

constexpr const char* kHomeUrlRoot = "kiva://bundle/";

} // namespace

TProjectOptions TProjectOptions::Decode(const std::uint8_t* data, std::size_t size) {
    TProjectOptions o;
    static_cast<TProjectOptionsRecord&>(o) = TProjectOptionsRecord::Decode(data, size);
    // Archives made on Windows hold their texts in Windows-1252. The password is compared in
    // either encoding, so it keeps its bytes.
    for (std::string* text : {&o.StartPage, &o.LogoFile, &o.ExternalMasks, &o.UserAgentText}) {
        *text = ArchiveText(*text);
    }
    return o;
}

bool ViewPasswordMatches(std::string_view stored, std::string_view typed) {
    // Bytes that read as UTF-8 may still have been written as Windows-1252 ("Ã©" is the same
    // two bytes as "é"), so either reading opens.
    return typed == stored || typed == Cp1252ToUtf8(stored);
}

std::string HomeUrlFromStartPage(std::string_view startPage) {
    return std::string(kHomeUrlRoot) + ExtractFileName(startPage);
}

} // namespace kiva
