#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiva {

enum class TMsgDlgType { mtInformation, mtWarning, mtError };
enum class TMsgDlgButtons { mbOK, mbYesNo };
enum class TModalResult { mrOk, mrYes, mrNo };

// One "Name|Pattern;Pattern" pair of an open-file dialog's filter.
struct TFileFilter {
    std::string Name;
    std::vector<std::string> Patterns;
};

// The modal dialogs and message boxes the program shows. The process holds one
// implementation; the GUI installs its own at start and tests install doubles, so that every
// decision that leads to a dialog can be checked without a display.
class IDialogs {
public:
    virtual ~IDialogs() = default;

    // A message box; with mbYesNo, defaultNo makes "No" the default button.
    virtual TModalResult MessageBox(const std::string& text, const std::string& caption,
                                    TMsgDlgType type, TMsgDlgButtons buttons, bool defaultNo) = 0;
    // A one-line input dialog with "OK" (default) and "Cancel"; the text is shown as typed and
    // holds at most maxLength characters. Returns the entry, or nothing when cancelled.
    virtual std::optional<std::string> InputQuery(const std::string& caption,
                                                  const std::string& prompt, int maxLength) = 0;
    // The open-file dialog; returns the chosen path, or nothing when cancelled.
    virtual std::optional<std::string> OpenFile(const std::vector<TFileFilter>& filters) = 0;
};

// The implementation in use; until one is installed, every box answers as if dismissed at
// once (OK, No, cancelled), so that a program without a user interface never blocks.
IDialogs& Dialogs();
// Installs impl for the process and returns the one it replaces; nullptr restores the silent
// default. The caller keeps ownership.
IDialogs* SetDialogs(IDialogs* impl);

// The application title: the caption of the default error display and, on the desktop, the
// task-bar text.
const std::string& ApplicationTitle();
void SetApplicationTitle(std::string title);

inline constexpr const char* kInformationCaption = "Information";
inline constexpr const char* kErrorCaption = "Error";
inline constexpr const char* kComServerWarningCaption = "COM Server Warning";
inline constexpr const char* kComServerWarningText =
    "There are still active COM objects in this application.  One or more clients may have "
    "references to these objects, so manually closing "
    "this application may cause those client application(s) to fail.\r\n\r\n"
    "Are you sure you want to close this application?";
inline constexpr int kInputQueryMaxLength = 255;

// Start-up problems after which the program goes on.
void ShowInformationBox(const std::string& text);
// Errors reported by a component's error event.
void ShowErrorBox(const std::string& text);
// Errors that escape an event handler: captioned with the application title, with a full
// stop appended when the message's last character sorts after '.'.
void ShowDefaultError(const std::string& message);
// The password dialog: the entry as typed, empty when the user cancelled.
std::string PasswordQuery(const std::string& caption, const std::string& prompt);
// Parses a filter such as "Kivabook Files|*.kvb" (pairs of name and ';'-separated patterns).
std::vector<TFileFilter> ParseFileFilter(std::string_view filter);
std::optional<std::string> ExecuteOpenDialog(std::string_view filter);
// Asks whether to close although COM objects are still alive; true for Yes.
bool ConfirmCloseWithLiveComObjects();

// Installs an implementation for a scope and restores the previous one at its end.
class TDialogsScope {
public:
    explicit TDialogsScope(IDialogs& impl) : previous_(SetDialogs(&impl)) {}
    TDialogsScope(const TDialogsScope&) = delete;
    TDialogsScope& operator=(const TDialogsScope&) = delete;
    ~TDialogsScope() { SetDialogs(previous_); }

private:
    IDialogs* previous_;
};

} // namespace kiva
