#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "Classes.h"

namespace kiva {

// The process-wide state of the handler's unit: the trace of the requests and the temporary
// files written for requests that need a file. Init creates both lists, Final deletes the
// files and their private folder and frees the lists; both may run again.
void HandlerStateInit();
void HandlerStateFinal();

// Adds a line to the trace of the requests.
void HandlerTrace(std::string line);

// The trace of the requests, oldest first. Only the newest lines are kept, at most
// kHandlerLogLimit of them and about kHandlerLogByteLimit bytes, each cut to
// kHandlerLogLineLimit bytes, so a long session with long URLs does not grow without end.
// Empty outside Init and Final.
inline constexpr int kHandlerLogLimit = 10000;
inline constexpr std::size_t kHandlerLogByteLimit = 1 << 20;
inline constexpr std::size_t kHandlerLogLineLimit = 1024;
const TStringList& HandlerLog();
// The temporary files written for requests that need a file, in the order they were written.
const TStringList& TempFileList();
// The process's private folder for those files (mode 0700), or empty until the first one.
std::string HandlerTempFolder();

// The system's folder for temporary files, ending with "/": TMPDIR, TMP or TEMP when it names
// an existing folder, else /tmp; made absolute.
std::string SystemTempDir();

// The temporary file that holds the entry of that name: the one written for it before when it
// is still there, else a new file in the private folder, written with what extract delivers.
// Nothing that stands at a path is ever followed, reused for another entry or overwritten.
std::string TempFileOfEntry(const std::string& name,
                            const std::function<void(TMemoryStream&)>& extract);

} // namespace kiva
