// The reader's commands: the tool bar's buttons, the menus and the window's keys.
#include "Unit1.h"

#include <algorithm>
#include <exception>

#include "Dialogs.h"
#include "SearchResultsPage.h"
#include "WebBrowser.h"

namespace kiva {

void TForm1::PopupMenu2Popup(TComponent*) {
    // Enabled at every opening, whatever the project allows; the command itself still asks.
    view_.SetCommandEnabled(TViewCommand::vcCopy, true);
}

void TForm1::ButtonBackClick() {
    WebBrowser1->GoBack();
}

void TForm1::ButtonForwardClick() {
    WebBrowser1->GoForward();
}

void TForm1::ButtonHomeClick() {
    try {
        WebBrowser1->Navigate(HomeUrlFromStartPage(ProjectOptions.StartPage));
    } catch (const std::exception& e) {
        ShowDefaultError(e.what());
    }
}

void TForm1::ButtonExitClick() {
    view_.RequestClose();
}

void TForm1::Exit1Click() {
    view_.RequestClose();
}

void TForm1::ExecFind(std::uint32_t option) {
    try {
        if (!WebBrowser1->Document()) {
            return;
        }
        ComPtr<IOleCommandTarget> target;
        if (FAILED(WebBrowser1->Document().As(target)) || !target) {
            return;
        }
        TVariant in;
        TVariant out;
        target->Exec(&CGID_IWebBrowser, HTMLID_FIND, option, &in, &out);
    } catch (...) {
        // Finding is a convenience; a document that cannot be searched shows nothing.
    }
}

void TForm1::ButtonSearchClick() {
    ExecFind(OLECMDEXECOPT_DODEFAULT);
}

void TForm1::FindNextClick() {
    // Without asking: the box opens only when there is no text to look for yet.
    ExecFind(OLECMDEXECOPT_DONTPROMPTUSER);
}

void TForm1::ButtonPrintClick() {
    try {
        WebBrowser1->ExecWB(OLECMDID_PRINTPREVIEW, OLECMDEXECOPT_DONTPROMPTUSER);
    } catch (const std::exception& e) {
        ShowDefaultError(e.what());
    }
}

void TForm1::ButtonFontClick() {
    view_.DropFontSizeMenu();
}

void TForm1::Largest1Click(std::int32_t Tag) {
    TVariant level = TVariant::Int32(Tag);
    try {
        WebBrowser1->ExecWB(OLECMDID_ZOOM, OLECMDEXECOPT_DONTPROMPTUSER, level);
    } catch (const std::exception& e) {
        // The mark always shows the size the pages have: a level the browser refused leaves
        // the mark where it was.
        view_.SetFontSizeMark(textSizeLevel_);
        ShowDefaultError(e.what());
        return;
    }
    textSizeLevel_ = Tag;
    view_.SetFontSizeMark(Tag);
}

void TForm1::CopytoClipboard1Click() {
    // The item is enabled whenever the menu opens; the project's choice is kept here.
    if (!ProjectOptions.AllowCopy) {
        return;
    }
    try {
        WebBrowser1->ExecWB(OLECMDID_COPY, OLECMDEXECOPT_PROMPTUSER);
    } catch (...) {
    }
}

bool TForm1::ShortcutKey(TShortcut shortcut) {
    switch (shortcut) {
    case TShortcut::scBack:
        if (canGoBack_) {
            ButtonBackClick();
        }
        return true;
    case TShortcut::scForward:
        if (canGoForward_) {
            ButtonForwardClick();
        }
        return true;
    case TShortcut::scExit:
        Exit1Click();
        return true;
    case TShortcut::scHome:
        ButtonHomeClick();
        return true;
    case TShortcut::scFind:
    case TShortcut::scFindNext:
        if (!ProjectOptions.AllowFind) {
            return false;
        }
        shortcut == TShortcut::scFind ? ButtonSearchClick() : FindNextClick();
        return true;
    case TShortcut::scSearchBook:
        if (!BookSearch) {
            return false;
        }
        view_.FocusSearchField();
        return true;
    case TShortcut::scPrint:
        if (!ProjectOptions.AllowPrint) {
            return false;
        }
        ButtonPrintClick();
        return true;
    case TShortcut::scTextLarger:
    case TShortcut::scTextSmaller:
    case TShortcut::scTextMedium: {
        if (!ProjectOptions.AllowFontSize) {
            return false;
        }
        std::int32_t level = kMediumTextSize;
        if (shortcut == TShortcut::scTextLarger) {
            level = std::min(textSizeLevel_ + 1, kLargestTextSize);
        } else if (shortcut == TShortcut::scTextSmaller) {
            level = std::max(textSizeLevel_ - 1, kSmallestTextSize);
        }
        if (level != textSizeLevel_) {
            Largest1Click(level);
        }
        return true;
    }
    }
    return false;
}

void TForm1::SearchBook(const std::string& query) {
    if (!BookSearch || Trim(query).empty()) {
        return;
    }
    try {
        WebBrowser1->Navigate(SearchResultsUrl(Trim(query)));
    } catch (const std::exception& e) {
        ShowDefaultError(e.what());
    }
}

} // namespace kiva
