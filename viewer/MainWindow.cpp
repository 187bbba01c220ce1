#include "MainWindow.h"

#include "BuiltInLogo.h"
#include "GtkText.h"
#include "ShortcutKeys.h"

#include <memory>

#include "MainLoopCall.h"
#include "SysUtils.h"
#include "Unit1.h"
#include "WebBrowser.h"

namespace kiva {

namespace {

constexpr int kDesignClientWidth = 667;
constexpr int kDesignClientHeight = 461;
constexpr int kButtonWidth = 57;
constexpr int kButtonHeight = 60;
// The program's icon in the icon theme, installed beside its desktop entry.
constexpr const char* kProgramIcon = "org.kivabook.Viewer";

// The first of the names the icon theme knows; themes differ in which names they carry.
Glib::ustring ThemeIcon(std::initializer_list<const char*> names) {
    Glib::RefPtr<Gtk::IconTheme> theme = Gtk::IconTheme::get_default();
    for (const char* n : names) {
        if (theme && theme->has_icon(n)) {
            return n;
        }
    }
    return "image-missing";
}

// Shows a key beside a menu item's caption; the window carries the key out itself.
void ShowAccelerator(Gtk::MenuItem& item, guint key, Gdk::ModifierType modifiers) {
    if (auto* label = dynamic_cast<Gtk::AccelLabel*>(item.get_child())) {
        label->set_accel(key, modifiers);
    }
}

} // namespace

void TGiveWayToolbar::get_preferred_width_vfunc(int& minimum, int& natural) const {
    Gtk::Toolbar::get_preferred_width_vfunc(minimum, natural);
    natural = minimum;
}

TMainWindow::TMainWindow() {
    set_title(kApplicationTitle);
    set_position(Gtk::WIN_POS_CENTER);
    width_ = kDesignClientWidth;
    height_ = kDesignClientHeight;

    ToolBar1.set_toolbar_style(Gtk::TOOLBAR_BOTH);
    ToolBar1.set_show_arrow(true);
    AddButton(ButtonBack, "Back", "Go Back", "go-previous").signal_clicked().connect([this] {
        if (form_) {
            form_->ButtonBackClick();
        }
    });
    AddButton(ButtonForward, "Forward", "Go Forward", "go-next").signal_clicked().connect([this] {
        if (form_) {
            form_->ButtonForwardClick();
        }
    });
    AddButton(ButtonHome, "Home", "Return to HomePage", "go-home").signal_clicked().connect([this] {
        if (form_) {
            form_->ButtonHomeClick();
        }
    });
    AddButton(ButtonSearch, "Find", "Find on This Page", "edit-find")
        .signal_clicked()
        .connect([this] {
            if (form_) {
                form_->ButtonSearchClick();
            }
        });
    AddButton(ButtonPrint, "Print", "Print...", "document-print").signal_clicked().connect([this] {
        if (form_) {
            form_->ButtonPrintClick();
        }
    });
    AddButton(ButtonFont, "Font Size", "Font Size", "preferences-desktop-font");
    // The font button sizes itself to its content: the arrow sits beside it.
    ButtonFont.set_size_request(-1, kButtonHeight);
    ButtonFont.set_arrow_tooltip_text("Font Size");
    ButtonFont.signal_clicked().connect([this] {
        if (form_) {
            form_->ButtonFontClick();
        }
    });
    AddButton(ButtonExit, "Exit", "Close the viewer", "application-exit")
        .signal_clicked()
        .connect([this] {
            if (form_) {
                form_->ButtonExitClick();
            }
        });
    // Keeps the right end of the bar free for the logo, after the field that searches the book.
    searchField_.set_placeholder_text("Search the book");
    searchField_.set_width_chars(18);
    searchField_.set_tooltip_text("Search all pages of the book (Ctrl+K)");
    searchField_.get_accessible()->set_name("Search");
    searchField_.signal_activate().connect([this] {
        if (form_) {
            form_->SearchBook(searchField_.get_text());
        }
    });
    searchItem_.add(searchField_);
    searchItem_.set_valign(Gtk::ALIGN_CENTER);
    searchItem_.set_margin_start(8);
    searchItem_.set_no_show_all(true);
    searchField_.show();
    freeSpace_.set_draw(false);
    freeSpace_.set_expand(true);
    logoSpace_.set_draw(false);
    logoSpace_.set_size_request(kLogoSize + 8, -1);
    ToolBar1.append(freeSpace_);
    ToolBar1.append(searchItem_);
    ToolBar1.append(logoSpace_);
    ToolBar1.signal_draw().connect(sigc::mem_fun(*this, &TMainWindow::ToolBar1CustomDraw), true);

    static const char* const fontCaptions[] = {"Largest", "Larger", "Medium", "Smaller",
                                               "Smallest"};
    for (std::size_t i = 0; i < fontItems_.size(); ++i) {
        Gtk::RadioMenuItem& item = fontItems_[i];
        // Largest first: the item's tag is its text-size level.
        const int level = kLargestTextSize - static_cast<int>(i);
        item.set_group(fontGroup_);
        item.set_label(fontCaptions[i]);
        item.set_active(level == kMediumTextSize);
        item.signal_activate().connect([this, &item, level] { FontSizeItemClick(item, level); });
        PopupMenu1.append(item);
    }
    PopupMenu1.show_all();
    ButtonFont.set_menu(PopupMenu1);

    GoBack1.signal_activate().connect([this] {
        if (form_) {
            form_->ButtonBackClick();
        }
    });
    GoForward1.signal_activate().connect([this] {
        if (form_) {
            form_->ButtonForwardClick();
        }
    });
    CopytoClipboard1.signal_activate().connect([this] {
        if (form_) {
            form_->CopytoClipboard1Click();
        }
    });
    Search1.signal_activate().connect([this] {
        if (form_) {
            form_->ButtonSearchClick();
        }
    });
    Print1.signal_activate().connect([this] {
        if (form_) {
            form_->ButtonPrintClick();
        }
    });
    Exit1.signal_activate().connect([this] {
        if (form_) {
            form_->Exit1Click();
        } else {
            RequestClose();
        }
    });
    ShowAccelerator(GoBack1, GDK_KEY_Left, Gdk::MOD1_MASK);
    ShowAccelerator(GoForward1, GDK_KEY_Right, Gdk::MOD1_MASK);
    ShowAccelerator(Search1, GDK_KEY_f, Gdk::CONTROL_MASK);
    ShowAccelerator(Print1, GDK_KEY_p, Gdk::CONTROL_MASK);
    ShowAccelerator(Exit1, GDK_KEY_Escape, Gdk::ModifierType(0));
    // Before the focused widget: the page never sees the window's keys.
    signal_key_press_event().connect(sigc::mem_fun(*this, &TMainWindow::OnShortcutKey), false);
    for (Gtk::MenuItem* item :
         {&GoBack1, &GoForward1, static_cast<Gtk::MenuItem*>(&separator1_), &CopytoClipboard1,
          &Search1, &Print1, static_cast<Gtk::MenuItem*>(&separator2_), &Exit1}) {
        PopupMenu2.append(*item);
    }
    PopupMenu2.show_all();

    StatusBar1.set_margin_top(0);
    StatusBar1.set_margin_bottom(0);

    layout_.pack_start(ToolBar1, Gtk::PACK_SHRINK);
    layout_.pack_start(browserArea_, Gtk::PACK_EXPAND_WIDGET);
    layout_.pack_start(StatusBar1, Gtk::PACK_SHRINK);
    add(layout_);

    logo_ = BuiltInLogo();
    // Every window of the program, dialogs included, carries its icon; run from a build folder,
    // where the theme does not know it, the drawn logo stands in.
    if (Gtk::IconTheme::get_default()->has_icon(kProgramIcon)) {
        Gtk::Window::set_default_icon_name(kProgramIcon);
    } else {
        Gtk::Window::set_default_icon(logo_);
    }
    ApplyGeometry();
    layout_.show_all();
}

TMainWindow::~TMainWindow() {
    pendingClose_.disconnect();
}

Gtk::ToolButton& TMainWindow::AddButton(Gtk::ToolButton& button, const char* caption,
                                        const char* hint, const char* icon) {
    const std::string symbolic = std::string(icon) + "-symbolic";
    auto* image = Gtk::manage(new Gtk::Image());
    image->set_from_icon_name(ThemeIcon({icon, symbolic.c_str()}), Gtk::ICON_SIZE_DND);
    image->set_pixel_size(kLogoSize);
    button.set_icon_widget(*image);
    button.set_label(caption);
    button.set_tooltip_text(hint);
    button.set_size_request(kButtonWidth, kButtonHeight);
    // Each button keeps its own width instead of that of the widest caption.
    button.set_homogeneous(false);
    ToolBar1.append(button);
    return button;
}

void TMainWindow::AttachBrowser(void* nativeWidget) {
    if (nativeWidget == nullptr) {
        return;
    }
    Gtk::Widget* widget = Glib::wrap(static_cast<GtkWidget*>(nativeWidget));
    browserArea_.pack_start(*widget, Gtk::PACK_EXPAND_WIDGET);
    widget->show();
}

void TMainWindow::SetForm(TForm1* form) {
    form_ = form;
    if (form_ && form_->WebBrowser1) {
        form_->WebBrowser1->SetWheelZoomHandler([this](int steps) {
            return form_ && form_->ShortcutKey(steps > 0 ? TShortcut::scTextLarger
                                                         : TShortcut::scTextSmaller);
        });
    }
}

void TMainWindow::SetCaption(const std::string& caption) {
    set_title(Utf8(caption));
}

std::optional<TExtent> TMainWindow::WorkArea() {
    Glib::RefPtr<Gdk::Display> display = get_display();
    if (!display) {
        return std::nullopt;
    }
    // The monitor the window is on once it has been shown; before that, the primary one.
    Glib::RefPtr<Gdk::Monitor> monitor;
    if (Glib::RefPtr<Gdk::Window> own = get_window()) {
        monitor = display->get_monitor_at_window(own);
    }
    if (!monitor) {
        monitor = display->get_primary_monitor();
    }
    if (!monitor && display->get_n_monitors() > 0) {
        monitor = display->get_monitor(0);
    }
    if (!monitor) {
        return std::nullopt;
    }
    Gdk::Rectangle area;
    monitor->get_workarea(area);
    return TExtent{area.get_width(), area.get_height()};
}

void TMainWindow::SetWidth(int width) {
    width_ = width;
    ApplyGeometry();
}

void TMainWindow::SetHeight(int height) {
    height_ = height;
    ApplyGeometry();
}

void TMainWindow::CenterOnDesktop() {
    set_position(Gtk::WIN_POS_CENTER);
}

void TMainWindow::SetToolBarVisible(bool visible) {
    ToolBar1.set_visible(visible);
}

void TMainWindow::SetButtonCaptionsVisible(bool visible) {
    ToolBar1.set_toolbar_style(visible ? Gtk::TOOLBAR_BOTH : Gtk::TOOLBAR_ICONS);
}

void TMainWindow::SetStatusBarVisible(bool visible) {
    StatusBar1.set_visible(visible);
}

void TMainWindow::SetFrameStyle(TFrameStyle style) {
    frameStyle_ = style;
    ApplyGeometry();
}

// GTK fixes the size of a window that cannot be resized at its size request, and takes the
// size of a sizeable one from resize(); the minimum width holds for both.
void TMainWindow::ApplyGeometry() {
    const bool decorated =
        frameStyle_ != TFrameStyle::fsNone && frameStyle_ != TFrameStyle::fsNoneMaximised;
    const bool resizable =
        frameStyle_ == TFrameStyle::fsSizeable || frameStyle_ == TFrameStyle::fsNoneMaximised;
    const int w = std::max(width_, kMinWindowWidth);
    const int h = std::max(height_, 1);
    set_decorated(decorated);
    set_resizable(resizable);
    if (resizable) {
        set_size_request(kMinWindowWidth, -1);
        set_default_size(w, h);
        resize(w, h);
    } else {
        set_size_request(w, h);
        set_default_size(w, h);
        resize(w, h);
    }
    if (frameStyle_ == TFrameStyle::fsNoneMaximised) {
        maximize();
        fullscreen();
    }
}

void TMainWindow::SetSearchFieldVisible(bool visible) {
    searchItem_.set_visible(visible);
}

void TMainWindow::FocusSearchField() {
    if (searchItem_.get_visible()) {
        searchField_.grab_focus();
    }
}

void TMainWindow::Post(std::function<void()> call) {
    // Never run at once, which a worker's post could do while nobody owns the context; behind
    // redraws, since what is posted (the index's progress) can wait for them.
    CallFromMainLoop(token_, "a call brought to the window", std::move(call),
                     G_PRIORITY_DEFAULT_IDLE);
}

void TMainWindow::SetCommandEnabled(TViewCommand command, bool enabled) {
    switch (command) {
    case TViewCommand::vcBack:
        ButtonBack.set_sensitive(enabled);
        GoBack1.set_sensitive(enabled);
        break;
    case TViewCommand::vcForward:
        ButtonForward.set_sensitive(enabled);
        GoForward1.set_sensitive(enabled);
        break;
    case TViewCommand::vcCopy:
        CopytoClipboard1.set_sensitive(enabled);
        break;
    case TViewCommand::vcFind:
        ButtonSearch.set_sensitive(enabled);
        Search1.set_sensitive(enabled);
        break;
    case TViewCommand::vcPrint:
        ButtonPrint.set_sensitive(enabled);
        Print1.set_sensitive(enabled);
        // A page's own print button follows the project as the window's does.
        if (form_ && form_->WebBrowser1) {
            form_->WebBrowser1->SetPagePrintingAllowed(enabled);
        }
        break;
    case TViewCommand::vcFontSize:
        ButtonFont.set_sensitive(enabled);
        break;
    }
}

void TMainWindow::SetStatusText(const std::string& text) {
    StatusBar1.remove_all_messages();
    StatusBar1.push(Utf8(text));
}

void TMainWindow::LoadLogoIcon(const std::vector<std::uint8_t>& iconFile) {
    Glib::RefPtr<Gdk::Pixbuf> icon;
    try {
        Glib::RefPtr<Gdk::PixbufLoader> loader = Gdk::PixbufLoader::create("ico");
        loader->write(iconFile.data(), iconFile.size());
        loader->close();
        icon = loader->get_pixbuf();
    } catch (const Glib::Error& e) {
        throw Exception(Format("Invalid icon: %s", std::string(e.what())));
    }
    if (!icon) {
        throw Exception("Invalid icon");
    }
    // The project's logo is also the window's icon, at its own size.
    set_icon(icon);
    // The bar has room for a 32 by 32 picture; icons of other sizes are fitted into it.
    if (icon->get_width() != kLogoSize || icon->get_height() != kLogoSize) {
        icon = icon->scale_simple(kLogoSize, kLogoSize, Gdk::INTERP_BILINEAR);
    }
    logo_ = icon;
    ToolBar1.queue_draw();
}

bool TMainWindow::ToolBar1CustomDraw(const Cairo::RefPtr<Cairo::Context>& cr) {
    // On a bar too narrow for its buttons the logo's space has gone into the overflow menu,
    // and the overflow arrow takes the right end.
    if (!logo_ || !logoSpace_.get_mapped()) {
        return false;
    }
    const int x = ToolBar1.get_allocated_width() - 40;
    const int y = (ToolBar1.get_allocated_height() - kLogoSize) / 2;
    Gdk::Cairo::set_source_pixbuf(cr, logo_, x, y);
    cr->paint();
    return false;
}

void TMainWindow::DropFontSizeMenu() {
    PopupMenu1.popup_at_widget(&ButtonFont, Gdk::GRAVITY_SOUTH_WEST, Gdk::GRAVITY_NORTH_WEST,
                               nullptr);
}

void TMainWindow::FontSizeItemClick(Gtk::RadioMenuItem& item, int level) {
    // The toolkit also activates an item when the window moves the mark, and the item that
    // loses it; only the user's pick is sent.
    if (movingFontMark_ || !item.get_active() || !form_) {
        return;
    }
    form_->Largest1Click(level);
}

void TMainWindow::SetFontSizeMark(int level) {
    const int index = kLargestTextSize - level;
    if (index < 0 || index >= static_cast<int>(fontItems_.size())) {
        return;
    }
    movingFontMark_ = true;
    fontItems_[static_cast<std::size_t>(index)].set_active(true);
    movingFontMark_ = false;
}

bool TMainWindow::OnShortcutKey(GdkEventKey* event) {
    const std::optional<TShortcut> shortcut = ShortcutOf(event);
    if (!shortcut || !form_) {
        return false;
    }
    // The search field edits text too: the keys that also edit text are its own there.
    if (searchField_.has_focus() &&
        (*shortcut == TShortcut::scBack || *shortcut == TShortcut::scForward ||
         *shortcut == TShortcut::scExit)) {
        return false;
    }
    TEmbeddedWB& browser = *form_->WebBrowser1;
    const TBrowserFocus focus = browser.KeyboardFocus();
    const bool editing =
        focus == TBrowserFocus::bfPageTextField || focus == TBrowserFocus::bfFindBox;
    // The keys that also edit text belong to the field being edited; Esc in the find box
    // closes the box.
    if (editing && (*shortcut == TShortcut::scBack || *shortcut == TShortcut::scForward ||
                    *shortcut == TShortcut::scExit)) {
        return false;
    }
    // Esc ends a search before it ends the viewer.
    if (*shortcut == TShortcut::scExit && browser.CloseFindBox()) {
        return true;
    }
    return form_->ShortcutKey(*shortcut);
}

void TMainWindow::ShowBrowserMenu(int x, int y) {
    // The toolkit places a menu at the pointer itself; on some displays a window cannot place
    // anything at absolute screen coordinates.
    if (GdkEvent* current = gtk_get_current_event()) {
        gdk_event_free(current);
        PopupMenu2.popup_at_pointer(nullptr);
        return;
    }
    // The browser's engine reports a right-click after the click's event is over; the menu
    // then goes to the point it names, taken relative to this window.
    Glib::RefPtr<Gdk::Window> window = get_window();
    if (!window) {
        return;
    }
    int originX = 0;
    int originY = 0;
    window->get_origin(originX, originY);
    const Gdk::Rectangle at(x - originX, y - originY, 1, 1);
    // A menu takes the pointer and keyboard only for a click it can name; this one stands
    // for the right-click the engine reported.
    std::unique_ptr<GdkEvent, decltype(&gdk_event_free)> trigger(gdk_event_new(GDK_BUTTON_PRESS),
                                                                 gdk_event_free);
    trigger->button.window = GDK_WINDOW(g_object_ref(window->gobj()));
    trigger->button.time = GDK_CURRENT_TIME;
    trigger->button.button = GDK_BUTTON_SECONDARY;
    trigger->button.x = at.get_x();
    trigger->button.y = at.get_y();
    trigger->button.x_root = x;
    trigger->button.y_root = y;
    if (GdkSeat* seat = gdk_display_get_default_seat(window->get_display()->gobj())) {
        gdk_event_set_device(trigger.get(), gdk_seat_get_pointer(seat));
    }
    PopupMenu2.popup_at_rect(window, at, Gdk::GRAVITY_NORTH_WEST, Gdk::GRAVITY_NORTH_WEST,
                             trigger.get());
}

void TMainWindow::RequestQuit() {
    quitRequested_ = true;
    if (gtk_main_level() > 0) {
        gtk_main_quit();
    }
}

void TMainWindow::RequestClose() {
    // The close runs from the main loop, never inside the browser's or a button's callback.
    if (!pendingClose_.connected()) {
        pendingClose_ = Glib::signal_idle().connect([this] {
            CloseNow();
            return false;
        });
    }
}

bool TMainWindow::on_delete_event(GdkEventAny*) {
    CloseNow();
    // The window is destroyed by the program's end, after the form's destroy handler.
    return true;
}

void TMainWindow::CloseNow() {
    if (quitRequested_) {
        return;
    }
    if (form_ == nullptr || form_->CloseQuery()) {
        RequestQuit();
    }
}

void TMainWindow::ProcessMessages() {
    while (gtk_events_pending()) {
        gtk_main_iteration_do(FALSE);
    }
}

void TMainWindow::Sleep(int milliseconds) {
    g_usleep(static_cast<gulong>(milliseconds) * 1000);
}

} // namespace kiva
