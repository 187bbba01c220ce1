#include "GtkDialogs.h"

#include "GtkText.h"

#include <gtkmm.h>

#include <memory>

namespace kiva {

namespace {

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
    // A plain dialog rather than GtkMessageDialog, which no longer shows the kind's icon.
    const char* icon = "dialog-information";
    if (type == TMsgDlgType::mtWarning) {
        icon = "dialog-warning";
    } else if (type == TMsgDlgType::mtError) {
        icon = "dialog-error";
    }
    Gtk::Dialog dialog(Utf8(caption), true);
    KeepAbove(dialog, parent_);
    dialog.set_resizable(false);
    Gtk::Box row(Gtk::ORIENTATION_HORIZONTAL, 12);
    row.set_border_width(12);
    Gtk::Image image;
    image.set_from_icon_name(icon, Gtk::ICON_SIZE_DIALOG);
    image.set_valign(Gtk::ALIGN_START);
    Gtk::Label label(Utf8(text));
    label.set_line_wrap(true);
    label.set_max_width_chars(60);
    label.set_xalign(0.0f);
    label.set_selectable(false);
    row.pack_start(image, Gtk::PACK_SHRINK);
    row.pack_start(label, Gtk::PACK_EXPAND_WIDGET);
    dialog.get_content_area()->pack_start(row, Gtk::PACK_EXPAND_WIDGET);
    if (buttons == TMsgDlgButtons::mbYesNo) {
        dialog.add_button("_Yes", Gtk::RESPONSE_YES);
        dialog.add_button("_No", Gtk::RESPONSE_NO);
        dialog.set_default_response(defaultNo ? Gtk::RESPONSE_NO : Gtk::RESPONSE_YES);
    } else {
        dialog.add_button("OK", Gtk::RESPONSE_OK);
        dialog.set_default_response(Gtk::RESPONSE_OK);
    }
    dialog.show_all();
    // Return and Space act on the focused button, so the default one starts with the focus.
    const int defaultResponse = buttons != TMsgDlgButtons::mbYesNo ? Gtk::RESPONSE_OK
                                : defaultNo                        ? Gtk::RESPONSE_NO
                                                                   : Gtk::RESPONSE_YES;
    if (Gtk::Widget* button = dialog.get_widget_for_response(defaultResponse)) {
        button->grab_focus();
    }
    const int response = dialog.run();
    if (buttons == TMsgDlgButtons::mbYesNo) {
        return response == Gtk::RESPONSE_YES ? TModalResult::mrYes : TModalResult::mrNo;
    }
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
    dialog.set_default_size(700, 480);
    // The dialog starts where a relative path on the command line would have been looked for.
    dialog.set_current_folder(Glib::get_current_dir());
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
