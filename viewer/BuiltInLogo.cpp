#include "BuiltInLogo.h"

#include <cmath>

namespace kiva {

Glib::RefPtr<Gdk::Pixbuf> BuiltInLogo() {
    auto surface = Cairo::ImageSurface::create(Cairo::FORMAT_ARGB32, kLogoSize, kLogoSize);
    auto cr = Cairo::Context::create(surface);
    // The page, with a folded corner.
    cr->move_to(9, 2);
    cr->line_to(24, 2);
    cr->line_to(30, 8);
    cr->line_to(30, 30);
    cr->line_to(9, 30);
    cr->close_path();
    cr->set_source_rgb(1, 1, 1);
    cr->fill_preserve();
    cr->set_source_rgb(0.35, 0.35, 0.35);
    cr->set_line_width(1);
    cr->stroke();
    cr->move_to(24, 2);
    cr->line_to(24, 8);
    cr->line_to(30, 8);
    cr->stroke();
    // The globe.
    cr->arc(12, 19, 10, 0, 2 * M_PI);
    cr->set_source_rgb(0.16, 0.48, 0.69);
    cr->fill_preserve();
    cr->set_source_rgb(0.05, 0.25, 0.4);
    cr->stroke();
    cr->set_source_rgb(0.45, 0.75, 0.35);
    cr->arc(9, 16, 4, 0, 2 * M_PI);
    cr->fill();
    cr->arc(16, 23, 3.5, 0, 2 * M_PI);
    cr->fill();
    // The question mark.
    cr->set_source_rgb(0.8, 0.1, 0.1);
    cr->select_font_face("Sans", Cairo::FONT_SLANT_NORMAL, Cairo::FONT_WEIGHT_BOLD);
    cr->set_font_size(14);
    cr->move_to(21, 27);
    cr->show_text("?");
    return Gdk::Pixbuf::create(surface, 0, 0, kLogoSize, kLogoSize);
}

} // namespace kiva
