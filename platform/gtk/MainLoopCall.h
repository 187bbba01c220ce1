#pragma once

#include <functional>
#include <memory>

namespace kiva {

// Runs action from the main loop, once the signal or decision under way is over, unless the
// owner has gone by then (its token expired). An error the action raises is traced with
// where. Owners keep a std::shared_ptr<int> token for as long as such calls may reach them.
// Safe from any thread: only the GUI thread runs the default main context. The priority is
// GLib's (G_PRIORITY_DEFAULT unless given).
void CallFromMainLoop(std::weak_ptr<int> owner, const char* where, std::function<void()> action,
                      int priority = 0);

} // namespace kiva
