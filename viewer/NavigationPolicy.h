#pragma once

#include <optional>
#include <string>

namespace kiva {

// True when URL matches one of the ";"-separated masks, tried from the left; a list that
// does not end with ";" gets one, unless it is at the option's 255 characters. An invalid
// mask that is reached raises its error.
bool MatchesExternalMasks(const std::string& url, const std::string& masks);

// The local file a masked link names: the URL without the content root, "\" turned into "/",
// escapes, query and fragment kept, below dir. Nothing when the name would leave dir: an
// absolute name or a ".." segment.
std::optional<std::string> ExternalFilePath(const std::string& url, const std::string& dir);

} // namespace kiva
