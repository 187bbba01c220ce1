#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "SearchIndex.h"

namespace kiva {

// The address of the results page for a query; the viewer's own page, of the scheme that
// gets none of the book's rights.
std::string SearchResultsUrl(std::string_view query);
// The query of a results page's address; nothing for any other address.
std::optional<std::string> QueryOfSearchResultsUrl(std::string_view uri);
// The address of a book page by its path in the index ("/" between folders, UTF-8).
std::string BookPageUrl(std::string_view path);

// The results page: titled "Search: " and the query, the number of pages found, a word when
// the index does not hold the whole book yet, and for each page its title as a link, its path
// and an excerpt with the matched words marked. Every text of the book or the reader is
// escaped; the page holds no script.
std::string SearchResultsHtml(std::string_view query, const TSearchResults& results);

} // namespace kiva
