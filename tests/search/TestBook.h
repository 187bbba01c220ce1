#pragma once

// Books for the search tests: archives of HTML pages written with the archive tests' builder.

#include <string>
#include <utility>
#include <vector>

#include "TestArchive.h"

namespace kivatest {

// An entry by its full name (folders separated by backslashes), deflated unless told otherwise.
inline FEntry Page(const std::string& fullName, Bytes content, std::uint8_t method = 0) {
    FEntry e;
    const std::size_t slash = fullName.rfind('\\');
    e.path = slash == std::string::npos ? std::string() : fullName.substr(0, slash + 1);
    e.name = slash == std::string::npos ? fullName : fullName.substr(slash + 1);
    e.content = std::move(content);
    e.method = method;
    return e;
}

// A small page with a title, a heading and a paragraph.
inline Bytes Html(const std::string& title, const std::string& heading, const std::string& body,
                  const std::string& lang = "en") {
    return "<!DOCTYPE html><html lang=\"" + lang + "\"><head><meta charset=\"utf-8\"><title>" +
           title + "</title></head><body><h1>" + heading + "</h1><p>" + body + "</p></body></html>";
}

} // namespace kivatest
