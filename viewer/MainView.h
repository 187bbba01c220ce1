#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kiva {

// The frames the main window can take.
enum class TFrameStyle {
    fsNone,          // no frame and no title bar
    fsFixed,         // fixed size, minimise only
    fsSizeable,      // sizeable, with the usual title-bar buttons
    fsNoneMaximised, // no frame, maximised over the whole screen
    fsDesign,        // fixed size with minimise and maximise, as the window was designed
};

// A width and a height in pixels.
struct TExtent {
    int Width = 0;
    int Height = 0;
};

// The commands whose availability the project options decide.
enum class TViewCommand { vcBack, vcForward, vcCopy, vcFind, vcPrint, vcFontSize };

// What the window's shortcut keys ask for: Alt+Left, Alt+Right, Esc, Ctrl+F, F3 or Ctrl+G,
// Ctrl+P, Ctrl+plus, Ctrl+minus, Ctrl+0 and Alt+Home (Ctrl+wheel steps the text size too).
enum class TShortcut {
    scBack,
    scForward,
    scExit,
    scFind,
    scFindNext,
    scPrint,
    scTextLarger,
    scTextSmaller,
    scTextMedium,
    scHome,
    scSearchBook, // Ctrl+K: the tool bar's field that searches the whole book
};

// What the main window's logic asks of the window on screen. The GTK window implements it;
// tests record the calls.
class IMainView {
public:
    virtual ~IMainView() = default;

    // Packs the browser control's native widget into the browser area.
    virtual void AttachBrowser(void* nativeWidget) = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    // The part of the screen that windows may take (the monitor's work area, without panels),
    // nothing when the window system does not tell.
    virtual std::optional<TExtent> WorkArea() = 0;
    virtual void SetWidth(int width) = 0;
    virtual void SetHeight(int height) = 0;
    virtual void CenterOnDesktop() = 0;
    virtual void SetToolBarVisible(bool visible) = 0;
    virtual void SetButtonCaptionsVisible(bool visible) = 0;
    virtual void SetStatusBarVisible(bool visible) = 0;
    virtual void SetFrameStyle(TFrameStyle style) = 0;
    virtual void SetCommandEnabled(TViewCommand command, bool enabled) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    // Replaces the built-in logo with a Windows icon file; raises kiva::Exception with a
    // message for the user when the bytes are not an icon.
    virtual void LoadLogoIcon(const std::vector<std::uint8_t>& iconFile) = 0;
    // Shows the browser area's context menu at the mouse pointer.
    virtual void ShowBrowserMenu(int x, int y) = 0;
    // Asks the message loop to end; the window may never be shown.
    virtual void RequestQuit() = 0;
    // Asks the window to close, as the close box does.
    virtual void RequestClose() = 0;
    // Handles every pending event, then returns.
    virtual void ProcessMessages() = 0;
    virtual void Sleep(int milliseconds) = 0;

    // Marks the font-size item of a text-size level (0 Smallest to 4 Largest); the others of
    // the group lose their mark.
    virtual void SetFontSizeMark(int level) = 0;
    // Drops the font-size menu down under its button.
    virtual void DropFontSizeMenu() = 0;

    // The tool bar's field that searches the whole book: shown or gone (it exists only while
    // the book allows Find), and given the keyboard.
    virtual void SetSearchFieldVisible(bool visible) = 0;
    virtual void FocusSearchField() = 0;
    // Runs call on the GUI thread once the current event is over; callable from any thread.
    virtual void Post(std::function<void()> call) = 0;
};

} // namespace kiva
