#pragma once

#include <functional>
#include <memory>

namespace kiva {

// Runs action from the main loop, once the signal or decision under way is over, unless the
// owner has gone by then (its token expired). An error the action raises is traced with
// where. Owners keep a std::shared_ptr<int> token for as long as such calls may reach them.
void CallFromMainLoop(std::weak_ptr<int> owner, const char* where, std::function<void()> action);

} // namespace kiva
