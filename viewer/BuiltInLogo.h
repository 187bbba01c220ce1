#pragma once

#include <gtkmm.h>

namespace kiva {

// The side of the logo on the tool bar, in pixels.
inline constexpr int kLogoSize = 32;

// The built-in logo: a globe in front of a page, with a question mark.
Glib::RefPtr<Gdk::Pixbuf> BuiltInLogo();

} // namespace kiva
