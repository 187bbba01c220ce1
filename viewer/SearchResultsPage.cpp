#include "SearchResultsPage.h"

#include "ContentUrl.h"
#include "WebSession.h"

namespace kiva {

namespace {

const std::string kResultsPrefix = std::string(kViewerPagesScheme) + ":search?q=";

// Escapes every byte but the unreserved characters (and "/" where it separates folders).
std::string PercentEncode(std::string_view text, bool keepSlash) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') ||
                           (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' || b == '~' ||
                           (keepSlash && b == '/');
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

std::string Html(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

constexpr const char* kStyle =
    "body{font:15px/1.45 sans-serif;margin:1.5em auto;max-width:48em;padding:0 1em}"
    "h1{font-size:1.4em;font-weight:normal}.count,.note{color:#555}"
    ".note{border-left:3px solid #c90;padding-left:.6em}ol{padding-left:1.4em}"
    "li{margin:0 0 1.1em}li a{font-size:1.1em}.path{color:#176b2c;font-size:.9em}"
    ".excerpt{margin:.2em 0 0}mark{background:#fe6;padding:0 .1em}";

} // namespace

std::string SearchResultsUrl(std::string_view query) {
    return kResultsPrefix + PercentEncode(query, false);
}

std::optional<std::string> QueryOfSearchResultsUrl(std::string_view uri) {
    if (uri.substr(0, kResultsPrefix.size()) != kResultsPrefix) {
        return std::nullopt;
    }
    std::string_view rest = uri.substr(kResultsPrefix.size());
    rest = rest.substr(0, rest.find_first_of("&#"));
    return UrlDecode(rest);
}

std::string BookPageUrl(std::string_view path) {
    return std::string(kContentRoot) + PercentEncode(path, true);
}

std::string SearchResultsHtml(std::string_view query, const TSearchResults& results) {
    const std::string q = Html(query);
    std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Search: " + q +
                       "</title><style>" + kStyle + "</style></head><body><h1>Search: " + q +
                       "</h1>";
    if (!results.Message.empty()) {
        page += "<p class=\"count\">" + Html(results.Message) + "</p>";
    } else {
        page += "<p class=\"count\">";
        page += results.Found == 0   ? std::string("No pages found")
                : results.Found == 1 ? std::string("1 page found")
                                     : std::to_string(results.Found) + " pages found";
        if (results.Found > static_cast<int>(results.Hits.size()) && !results.Hits.empty()) {
            page += ", the best " + std::to_string(results.Hits.size()) + " shown";
        }
        page += "</p>";
    }
    if (!results.Complete) {
        page += "<p class=\"note\">The book is still being indexed: " +
                std::to_string(results.PagesIndexed) + " of " + std::to_string(results.PagesTotal) +
                " pages searched so far. Search again later for the whole book.</p>";
    }
    if (!results.Hits.empty()) {
        page += "<ol>";
        for (const TSearchHit& hit : results.Hits) {
            page += "<li><a href=\"" + Html(BookPageUrl(hit.Path)) + "\">" + Html(hit.Title) +
                    "</a><div class=\"path\">" + Html(hit.Path) + "</div><p class=\"excerpt\">";
            for (const TExcerptPart& part : hit.Excerpt) {
                page += part.Marked ? "<mark>" + Html(part.Text) + "</mark>" : Html(part.Text);
            }
            page += "</p></li>";
        }
        page += "</ol>";
    }
    return page + "</body></html>";
}

} // namespace kiva
