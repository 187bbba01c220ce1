#pragma once

#include "Dialogs.h"

namespace kiva {

// The program's dialogs and message boxes as GTK dialogs. Each runs modally in a nested main
// loop; a main window, once set, becomes their parent.
class TGtkDialogs final : public IDialogs {
public:
    TModalResult MessageBox(const std::string& text, const std::string& caption, TMsgDlgType type,
                            TMsgDlgButtons buttons, bool defaultNo) override;
    std::optional<std::string> InputQuery(const std::string& caption, const std::string& prompt,
                                          int maxLength) override;
    std::optional<std::string> OpenFile(const std::vector<TFileFilter>& filters) override;

    // The GtkWindow* the dialogs are kept above; null for none.
    void SetParentWindow(void* gtkWindow) { parent_ = gtkWindow; }

private:
    void* parent_ = nullptr;
};

} // namespace kiva
