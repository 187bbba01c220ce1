#pragma once

#include <string_view>

namespace kiva {

// Leaves a line on the standard error stream for an error that was caught where it could not
// be passed on: at a C callback, a COM-style method or a worker thread, where the program must
// go on. Call it only inside a catch block; where names the place ("the scheme's read"). The
// line carries the error's message. Never throws.
void TraceCaughtError(std::string_view where) noexcept;

// The same for a failure known by its text rather than an exception.
void TraceError(std::string_view where, std::string_view message) noexcept;

} // namespace kiva
