#include "GtkDialogs.h"

#include <gtkmm.h>

#include <memory>

namespace kiva {

namespace {

// Texts reach GTK as UTF-8; anything else would be refused by the labels, so invalid bytes
// are shown as replacement characters instead of disappearing.
Glib::ustring Utf8(const std::string& s) {
    if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
        return Glib::ustring(s);
    }
    std::unique_ptr<gchar, decltype(&g_free)> fixed(
        g_utf8_make_valid(s.data(), static_cast<gssize>(s.size())), &g_free);
    return Glib::ustring(fixed.get());
}

// Patterns match file names without regard to ASCII letter case, as on the desktop the
// filters were written for: "*.kvb" also shows "SITE.KVB".
std::string CaseInsensitivePattern(const std::string& pattern) {
    std::string out;
    for (char c : pattern) {
        if (g_ascii_isalpha(c)) {
            out += '[';
            out += g_ascii_tolower(c);
            out += g_ascii_toupper(c);
            out += ']';
        } else {
            out += c;
        }
    }
    return out;
}

void KeepAbove(Gtk::Window& dialog, void* parent) {
    if (parent != nullptr) {
        dialog.set_transient_for(*Glib::wrap(static_cast<GtkWindow*>(parent)));
    } else {
        dialog.set_position(Gtk::WIN_POS_CENTER);
    }
}

} // namespace

TModalResult TGtkDialogs::MessageBox(const std::string& text, const std::string& caption,
                                     TMsgDlgType type, TMsgDlgButtons buttons, bool defaultNo) {
    Gtk::MessageType kind = Gtk::MESSAGE_INFO;
    if (type == TMsgDlgType::mtWarning) {
        kind = Gtk::MESSAGE_WARNING;
    } else if (type == TMsgDlgType::mtError) {
        kind = Gtk::MESSAGE_ERROR;
    }
    Gtk::MessageDialog dialog(Utf8(text), false, kind, Gtk::BUTTONS_NONE, true);
    dialog.set_title(Utf8(caption));
    KeepAbove(dialog, parent_);
    if (buttons == TMsgDlgButtons::mbYesNo) {
        dialog.add_button("_Yes", Gtk::RESPONSE_YES);
        dialog.add_button("_No", Gtk::RESPONSE_NO);
        dialog.set_default_response(defaultNo ? Gtk::RESPONSE_NO : Gtk::RESPONSE_YES);
        return dialog.run() == Gtk::RESPONSE_YES ? TModalResult::mrYes : TModalResult::mrNo;
    }
    dialog.add_button("OK", Gtk::RESPONSE_OK);
    dialog.set_default_response(Gtk::RESPONSE_OK);
    dialog.run();
    return TModalResult::mrOk;
}

std::optional<std::string> TGtkDialogs::InputQuery(const std::string& caption,
                                                   const std::string& prompt, int maxLength) {
    Gtk::Dialog dialog(Utf8(caption), true);
    KeepAbove(dialog, parent_);
    dialog.set_resizable(false);
    Gtk::Label label(Utf8(prompt));
    label.set_xalign(0.0f);
    Gtk::Entry entry;
    entry.set_max_length(maxLength);
    entry.set_visibility(true);
    entry.set_activates_default(true);
    Gtk::Box* area = dialog.get_content_area();
    area->set_spacing(6);
    area->set_border_width(8);
    area->pack_start(label, Gtk::PACK_SHRINK);
    area->pack_start(entry, Gtk::PACK_SHRINK);
    dialog.add_button("OK", Gtk::RESPONSE_OK);
    dialog.add_button("Cancel", Gtk::RESPONSE_CANCEL);
    dialog.set_default_response(Gtk::RESPONSE_OK);
    dialog.show_all();
    entry.grab_focus();
    if (dialog.run() != Gtk::RESPONSE_OK) {
        return std::nullopt;
    }
    return std::string(entry.get_text());
}

std::optional<std::string> TGtkDialogs::OpenFile(const std::vector<TFileFilter>& filters) {
    Gtk::FileChooserDialog dialog("Open", Gtk::FILE_CHOOSER_ACTION_OPEN);
    KeepAbove(dialog, parent_);
    dialog.add_button("_Cancel", Gtk::RESPONSE_CANCEL);
    dialog.add_button("_Open", Gtk::RESPONSE_ACCEPT);
    dialog.set_default_response(Gtk::RESPONSE_ACCEPT);
    dialog.set_local_only(true);
    for (const TFileFilter& f : filters) {
        Glib::RefPtr<Gtk::FileFilter> filter = Gtk::FileFilter::create();
        filter->set_name(Utf8(f.Name));
        for (const std::string& pattern : f.Patterns) {
            filter->add_pattern(Utf8(CaseInsensitivePattern(pattern)));
        }
        dialog.add_filter(filter);
    }
    if (dialog.run() != Gtk::RESPONSE_ACCEPT) {
        return std::nullopt;
    }
    const std::string path = dialog.get_filename();
    if (path.empty()) {
        return std::nullopt;
    }
    return path;
}

} // namespace kiva
