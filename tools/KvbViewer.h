#pragma once

#include <string>

namespace kiva {

// The viewer that kvb pack --viewer puts in front of a book. A name without a slash is
// looked up on PATH as the shell looks up a command. The file is taken only when it is the
// Kivabook viewer, recognised by the marker built into it (it is never run), and carries no
// book yet. Returns the file's path; raises EPackError naming what was given and why not.
std::string FindViewer(const std::string& name);

// True when the file open as fd holds the viewer's marker anywhere.
bool CarriesViewerMarker(int fd);

} // namespace kiva
