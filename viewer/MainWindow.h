#pragma once

// The platform's TRUE and FALSE are constants; they must be declared before GLib's macros of
// the same names exist.
#include "MainView.h"
#include "WinTypes.h"

#include <gtkmm.h>

#include <array>
#include <memory>

namespace kiva {

class TForm1;

// A tool bar that never asks for more width than its overflow arrow: a window of a fixed size
// takes its content's natural width, and the bar's buttons and logo space must not widen it
// beyond the project's WindowWidth. Buttons that do not fit go into the arrow's menu.
class TGiveWayToolbar : public Gtk::Toolbar {
protected:
    void get_preferred_width_vfunc(int& minimum, int& natural) const override;
};

// The main window on screen: tool bar, browser area and status bar. The decisions are taken
// by TForm1; this class only shows them and passes the user's clicks on.
class TMainWindow final : public Gtk::Window, public IMainView {
public:
    TMainWindow();
    ~TMainWindow() override;

    // The form whose handlers the window's buttons and close requests call.
    // It reaches the browser through the form, and hands the browser its Ctrl+wheel steps.
    void SetForm(TForm1* form);
    bool QuitRequested() const { return quitRequested_; }

    void AttachBrowser(void* nativeWidget) override;
    void SetCaption(const std::string& caption) override;
    std::optional<TExtent> WorkArea() override;
    void SetWidth(int width) override;
    void SetHeight(int height) override;
    void CenterOnDesktop() override;
    void SetToolBarVisible(bool visible) override;
    void SetButtonCaptionsVisible(bool visible) override;
    void SetStatusBarVisible(bool visible) override;
    void SetFrameStyle(TFrameStyle style) override;
    void SetCommandEnabled(TViewCommand command, bool enabled) override;
    void SetStatusText(const std::string& text) override;
    void LoadLogoIcon(const std::vector<std::uint8_t>& iconFile) override;
    void ShowBrowserMenu(int x, int y) override;
    void RequestQuit() override;
    void RequestClose() override;
    void ProcessMessages() override;
    void Sleep(int milliseconds) override;
    void SetFontSizeMark(int level) override;
    void DropFontSizeMenu() override;
    void SetSearchFieldVisible(bool visible) override;
    void FocusSearchField() override;
    void Post(std::function<void()> call) override;

private:
    bool on_delete_event(GdkEventAny* event) override;
    void CloseNow();
    void ApplyGeometry();
    bool ToolBar1CustomDraw(const Cairo::RefPtr<Cairo::Context>& cr);
    void FontSizeItemClick(Gtk::RadioMenuItem& item, int level);
    // The window's shortcut keys, seen before the page sees them.
    bool OnShortcutKey(GdkEventKey* event);
    Gtk::ToolButton& AddButton(Gtk::ToolButton& button, const char* caption, const char* hint,
                               const char* icon);

    TForm1* form_ = nullptr;
    bool quitRequested_ = false;
    // Set while the window moves the font-size mark itself, so that no level is sent.
    bool movingFontMark_ = false;
    sigc::connection pendingClose_;
    int width_ = 0;
    int height_ = 0;
    TFrameStyle frameStyle_ = TFrameStyle::fsDesign;

    Gtk::Box layout_{Gtk::ORIENTATION_VERTICAL};
    TGiveWayToolbar ToolBar1;
    Gtk::ToolButton ButtonBack;
    Gtk::ToolButton ButtonForward;
    Gtk::ToolButton ButtonHome;
    Gtk::ToolButton ButtonSearch;
    Gtk::ToolButton ButtonPrint;
    Gtk::MenuToolButton ButtonFont;
    Gtk::ToolButton ButtonExit;
    // The free space between the buttons and the search field, and the logo's own at the end.
    Gtk::SeparatorToolItem freeSpace_;
    Gtk::SeparatorToolItem logoSpace_;
    // Searches the whole book; right of the buttons, left of the logo.
    Gtk::ToolItem searchItem_;
    Gtk::SearchEntry searchField_;
    Gtk::Box browserArea_{Gtk::ORIENTATION_VERTICAL};
    Gtk::Statusbar StatusBar1;

    // The font-size menu, largest first.
    Gtk::Menu PopupMenu1;
    Gtk::RadioMenuItem::Group fontGroup_;
    std::array<Gtk::RadioMenuItem, 5> fontItems_;

    // The browser area's context menu.
    Gtk::Menu PopupMenu2;
    Gtk::MenuItem GoBack1{"Go Back"};
    Gtk::MenuItem GoForward1{"Go Forward"};
    Gtk::SeparatorMenuItem separator1_;
    Gtk::MenuItem CopytoClipboard1{"Copy to Clipboard"};
    Gtk::MenuItem Search1{"Find..."};
    Gtk::MenuItem Print1{"Print..."};
    Gtk::SeparatorMenuItem separator2_;
    Gtk::MenuItem Exit1{"Exit"};

    Glib::RefPtr<Gdk::Pixbuf> logo_;
    // Calls posted to the window run only while it lives.
    std::shared_ptr<int> token_ = std::make_shared<int>();
};

} // namespace kiva
