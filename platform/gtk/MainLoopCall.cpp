#include "MainLoopCall.h"

#include <glib.h>

#include <string>

#include "Trace.h"

namespace kiva {

void CallFromMainLoop(std::weak_ptr<int> owner, const char* where, std::function<void()> action,
                      int priority) {
    struct TCall {
        std::weak_ptr<int> Owner;
        std::string Where;
        std::function<void()> Action;
    };
    g_idle_add_full(
        priority,
        [](gpointer data) -> gboolean {
            auto* call = static_cast<TCall*>(data);
            try {
                if (!call->Owner.expired()) {
                    call->Action();
                }
            } catch (...) {
                TraceCaughtError(call->Where);
            }
            return G_SOURCE_REMOVE;
        },
        new TCall{std::move(owner), where, std::move(action)},
        [](gpointer data) { delete static_cast<TCall*>(data); });
}

} // namespace kiva
