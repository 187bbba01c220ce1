#pragma once

#include <string>
#include <vector>

namespace kiva {

// kvb search BOOK QUERY [--limit N]: the book's best pages for the query, one a line as
// RANK<TAB>PATH<TAB>TITLE. The arguments are those after the command's name. Returns the exit
// status: 0 with results, 1 with none, 2 for a book that cannot be read or wrong usage.
int RunSearchCommand(const std::vector<std::string>& args);

extern const char* const kSearchUsage;

} // namespace kiva
