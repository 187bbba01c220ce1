#include "Dialogs.h"

#include "SysUtils.h"

namespace kiva {

namespace {

// Answers like a user who dismisses every box at once.
class TSilentDialogs final : public IDialogs {
public:
    TModalResult MessageBox(const std::string&, const std::string&, TMsgDlgType,
                            TMsgDlgButtons buttons, bool) override {
        return buttons == TMsgDlgButtons::mbYesNo ? TModalResult::mrNo : TModalResult::mrOk;
    }
    std::optional<std::string> InputQuery(const std::string&, const std::string&, int) override {
        return std::nullopt;
    }
    std::optional<std::string> OpenFile(const std::vector<TFileFilter>&) override {
        return std::nullopt;
    }
};

TSilentDialogs& SilentDialogs() {
    static TSilentDialogs silent;
    return silent;
}

IDialogs* current = nullptr;

std::string& TitleStorage() {
    static std::string title;
    return title;
}

} // namespace

IDialogs& Dialogs() {
    return current ? *current : SilentDialogs();
}

IDialogs* SetDialogs(IDialogs* impl) {
    IDialogs* previous = current;
    current = impl;
    return previous;
}

const std::string& ApplicationTitle() {
    return TitleStorage();
}
void SetApplicationTitle(std::string title) {
    TitleStorage() = std::move(title);
}

void ShowInformationBox(const std::string& text) {
    Dialogs().MessageBox(text, kInformationCaption, TMsgDlgType::mtInformation,
                         TMsgDlgButtons::mbOK, false);
}

void ShowErrorBox(const std::string& text) {
    Dialogs().MessageBox(text, kErrorCaption, TMsgDlgType::mtError, TMsgDlgButtons::mbOK, false);
}

void ShowDefaultError(const std::string& message) {
    Dialogs().MessageBox(WithFullStop(message), ApplicationTitle(), TMsgDlgType::mtError,
                         TMsgDlgButtons::mbOK, false);
}

std::string PasswordQuery(const std::string& caption, const std::string& prompt) {
    // The entry is compared whatever button closed the dialog, so Cancel reads as empty.
    std::optional<std::string> entry = Dialogs().InputQuery(caption, prompt, kInputQueryMaxLength);
    if (!entry) {
        return std::string();
    }
    // The limit counts characters, as the box does: a password of an archive made in
    // Windows-1252 has one byte per character there and up to three here.
    int characters = 0;
    for (std::size_t i = 0; i < entry->size(); ++i) {
        const bool startsCharacter = (static_cast<unsigned char>((*entry)[i]) & 0xC0) != 0x80;
        if (startsCharacter && ++characters > kInputQueryMaxLength) {
            entry->resize(i);
            break;
        }
    }
    return *entry;
}

std::vector<TFileFilter> ParseFileFilter(std::string_view filter) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= filter.size()) {
        std::size_t bar = filter.find('|', start);
        if (bar == std::string_view::npos) {
            bar = filter.size();
        }
        parts.push_back(filter.substr(start, bar - start));
        start = bar + 1;
    }
    std::vector<TFileFilter> result;
    // A name without a pattern list names nothing the dialog could show, so it is dropped.
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        TFileFilter f;
        f.Name = std::string(parts[i]);
        std::string_view patterns = parts[i + 1];
        std::size_t p = 0;
        while (p <= patterns.size()) {
            std::size_t semi = patterns.find(';', p);
            if (semi == std::string_view::npos) {
                semi = patterns.size();
            }
            std::string one = Trim(patterns.substr(p, semi - p));
            if (!one.empty()) {
                f.Patterns.push_back(std::move(one));
            }
            p = semi + 1;
        }
        if (!f.Patterns.empty()) {
            result.push_back(std::move(f));
        }
    }
    return result;
}

std::optional<std::string> ExecuteOpenDialog(std::string_view filter) {
    return Dialogs().OpenFile(ParseFileFilter(filter));
}

bool ConfirmCloseWithLiveComObjects() {
    return Dialogs().MessageBox(kComServerWarningText, kComServerWarningCaption,
                                TMsgDlgType::mtWarning, TMsgDlgButtons::mbYesNo,
                                true) == TModalResult::mrYes;
}

} // namespace kiva
