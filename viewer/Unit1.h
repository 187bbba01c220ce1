#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BookSearch.h"
#include "BookSession.h"
#include "Classes.h"
#include "EmbeddedWB.h"
#include "MainView.h"
#include "NavigationPolicy.h"
#include "ProjectOptions.h"
#include "SecurityManager.h"
#include "WindowOptions.h"
#include "ZLIBArchive2.h"

namespace kiva {

// What the process was started with: the full path of its own executable (empty when unknown)
// and the command-line arguments after the program name.
struct TStartupParams {
    std::string ExeName;
    std::vector<std::string> Params;
};

inline constexpr const char* kApplicationTitle = "Kivabook Viewer";
inline constexpr const char* kPasswordCaption = "Password Required";
inline constexpr const char* kPasswordPrompt =
    "Please provide a password to view content of this file ";
inline constexpr const char* kOpenDialogFilter = "Kivabook Files|*.kvb";
inline constexpr const char* kConfigEntry = "-config-";
inline constexpr const char* kLogoEntry = "-logo-";

// The text-size levels of the font-size menu, as the browser's zoom command takes them.
inline constexpr std::int32_t kSmallestTextSize = 0;
inline constexpr std::int32_t kMediumTextSize = 2;
inline constexpr std::int32_t kLargestTextSize = 4;

// The close waits this many rounds of 100 ms for the blank page; a browser that never reports
// it complete must not keep the window open for ever.
inline constexpr int kCloseWaitRounds = 50;
inline constexpr int kCloseWaitSleepMs = 100;

// The main window: it owns the archive reader and the browser, takes the project's options
// from the archive, and decides everything the window on screen shows. The window on screen
// is reached only through IMainView.
class TForm1 : public TComponent {
public:
    TForm1(IMainView& view, TStartupParams startup);
    ~TForm1() override;

    // Everything that belongs to the open book, handed down to the browser and the content
    // protocol through its services. It outlives the form's components: the browser goes
    // first.
    std::unique_ptr<TBookSession> Book;
    // Components of the design, owned by the form; the reader is the book's.
    TZLBArc2* Arc = nullptr;
    TEmbeddedWB* WebBrowser1 = nullptr;
    // The browser area's context menu.
    TPopupMenu* PopupMenu2 = nullptr;
    std::unique_ptr<TMemoryStream> OptionsStream;
    // Searching the whole book; only while the book allows Find.
    std::unique_ptr<TBookSearch> BookSearch;

    TProjectOptions ProjectOptions;
    std::string HomeUrl;
    bool DocumentLoaded = false;
    std::string PasswordCaption;
    std::string PasswordPrompt;

    // Live objects of the program's class factories at the time of the close; replaceable so
    // that the close can be checked without real objects.
    std::function<int()> LiveObjectCount;

    // The create handler. Errors that escape it are left to the caller (see Create).
    void FormCreate();
    // Parks the browser on the blank page and waits for it. A failing navigation raises and
    // the close must not go on.
    void FormClose();
    void FormDestroy();

    // Runs FormCreate as the framework does: an escaping error goes to the default error
    // display and the window opens as far as it was shaped.
    void Create();
    // A close request from the close box, Exit or the page: true when the application may end.
    bool CloseQuery();
    // Runs FormDestroy, its errors going to the default error display.
    void Destroy();

    // True once FormCreate asked the application to end without a message.
    bool QuitRequested() const { return quitRequested_; }

    // Handlers of the design.
    void ArcErrorLogged(const std::string& Msg);
    void WebBrowser1DocumentComplete(TComponent* Sender, IUnknown* pDisp, const std::string& URL);
    void WebBrowser1TitleChange(TComponent* Sender, const std::string& Text);
    void WebBrowser1StatusTextChange(TComponent* Sender, const std::string& Text);
    void WebBrowser1CommandStateChange(TComponent* Sender, std::int32_t Command, bool Enable);
    void WebBrowser1WindowClosing(TComponent* Sender, bool IsChildWindow, bool& Cancel);
    void PopupMenu2Popup(TComponent* Sender);
    void ButtonBackClick();
    void ButtonForwardClick();
    void ButtonHomeClick();
    void ButtonExitClick();

    // The reader's commands, from their buttons, menu items and keys.
    void ButtonSearchClick();
    // The tool bar's search field: shows the pages of the whole book that match query.
    void SearchBook(const std::string& query);
    void ButtonPrintClick();
    void ButtonFontClick();
    // A font-size item was picked; Tag is its text-size level.
    void Largest1Click(std::int32_t Tag);
    void CopytoClipboard1Click();
    void Exit1Click();
    // Finds the next match of the text last looked for, or opens the find box when there is
    // none yet.
    void FindNextClick();
    // A shortcut key of the window. False when the key's command is not offered (the project
    // does not allow it), so the key is left to the page; true when it was the window's, even
    // if there was nothing to do.
    bool ShortcutKey(TShortcut shortcut);
    // The text-size level the browser applies, as far as the window knows.
    std::int32_t TextSizeLevel() const { return textSizeLevel_; }
    // The navigation policy and the browser's service requests.
    TSecurityManager* SecurityManager1 = nullptr;
    void WebBrowser1BeforeNavigate2(TComponent* Sender, IUnknown* pDisp, std::string& URL,
                                    std::int32_t Flags, const std::string& TargetFrameName,
                                    const std::string& PostData, const std::string& Headers,
                                    bool& Cancel);
    void WebBrowser1NavigateError(TComponent* Sender, IUnknown* pDisp, const std::string& URL,
                                  const std::string& Frame, std::int32_t StatusCode, bool& Cancel);
    void WebBrowser1QueryService(TComponent* Sender, const GUID& rsid, const GUID& iid,
                                 IUnknown*& Obj);

private:
    // Hands a masked link's file to the desktop, unless its path leaves the current folder.
    void OpenExternalFile(const std::string& url);
    // Step 5 of the create handler: false when the application is to quit.
    bool OpenProjectArchive();
    void ReadProjectOptions();
    bool CheckViewPassword();
    void ApplyWindowOptions();
    void Quit();
    // The status bar's panel: the browser's and the window's own texts, and when nothing else
    // is shown there, the progress of the book's index.
    void ShowStatus(const std::string& text);
    void ShowIndexProgress(const std::string& text);
    // The viewer's own pages (search results), made for the browser.
    std::optional<std::string> ViewerPage(const std::string& uri);
    // Executes the find command of the current document's command target with the option;
    // nothing happens without a document, and every error is swallowed.
    void ExecFind(std::uint32_t option);

    IMainView& view_;
    TStartupParams startup_;
    bool quitRequested_ = false;
    std::int32_t textSizeLevel_ = kMediumTextSize;
    // Back and Forward are possible until the browser first says otherwise.
    bool canGoBack_ = true;
    bool canGoForward_ = true;
    std::string statusText_;
    std::string indexStatus_;
    // A page opened from the search results, and the words to mark there once it is shown.
    std::string markEntry_;
    std::string markText_;
    // The browser's calls for the viewer's own pages find the form gone through this.
    std::shared_ptr<int> alive_ = std::make_shared<int>();
};

// The references the name-space registration holds until the process ends; released by the
// program's last steps (see ReleaseProtocolReferences).
void ReleaseProtocolReferences();

} // namespace kiva
