#pragma once

#include <glib-object.h>

#include <memory>

namespace kiva {

// An owned reference of a GObject, dropped with g_object_unref.
struct GObjectUnref {
    void operator()(gpointer object) const noexcept {
        if (object) {
            g_object_unref(object);
        }
    }
};
template <class T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes ownership of the reference a constructor returned. A floating reference (that of a
// new widget) is made a full one first, so the caller owns exactly one either way.
template <class T> GObjectPtr<T> AdoptGObject(T* object) {
    if (object && g_object_is_floating(object)) {
        g_object_ref_sink(object);
    }
    return GObjectPtr<T>(object);
}

struct GErrorFree {
    void operator()(GError* error) const noexcept {
        if (error) {
            g_error_free(error);
        }
    }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
    void operator()(gpointer p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

} // namespace kiva
