#pragma once

#include <glibmm/ustring.h>

#include <memory>
#include <string>

namespace kiva {

// Texts reach GTK as UTF-8; anything else would be refused by the widgets, so invalid bytes
// are shown as replacement characters instead of disappearing.
inline Glib::ustring Utf8(const std::string& s) {
    if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
        return Glib::ustring(s);
    }
    std::unique_ptr<gchar, decltype(&g_free)> fixed(
        g_utf8_make_valid(s.data(), static_cast<gssize>(s.size())), &g_free);
    return Glib::ustring(fixed.get());
}

} // namespace kiva
