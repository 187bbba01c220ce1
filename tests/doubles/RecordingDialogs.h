#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "Dialogs.h"

namespace kiva::test {

// Stands in for the user: records every box and dialog and answers from scripted queues
// (empty queues answer OK, No, and cancel).
class TRecordingDialogs : public IDialogs {
public:
    struct TBox {
        std::string Text;
        std::string Caption;
        TMsgDlgType Type;
        TMsgDlgButtons Buttons;
        bool DefaultNo;
    };
    struct TQuery {
        std::string Caption;
        std::string Prompt;
        int MaxLength;
    };

    TModalResult MessageBox(const std::string& text, const std::string& caption, TMsgDlgType type,
                            TMsgDlgButtons buttons, bool defaultNo) override {
        Boxes.push_back({text, caption, type, buttons, defaultNo});
        if (buttons == TMsgDlgButtons::mbOK) {
            return TModalResult::mrOk;
        }
        if (YesNoAnswers.empty()) {
            return TModalResult::mrNo;
        }
        const TModalResult r = YesNoAnswers.front();
        YesNoAnswers.pop_front();
        return r;
    }
    std::optional<std::string> InputQuery(const std::string& caption, const std::string& prompt,
                                          int maxLength) override {
        Queries.push_back({caption, prompt, maxLength});
        if (InputAnswers.empty()) {
            return std::nullopt;
        }
        std::optional<std::string> r = InputAnswers.front();
        InputAnswers.pop_front();
        return r;
    }
    std::optional<std::string> OpenFile(const std::vector<TFileFilter>& filters) override {
        OpenDialogs.push_back(filters);
        return OpenAnswer;
    }

    std::vector<TBox> Boxes;
    std::vector<TQuery> Queries;
    std::vector<std::vector<TFileFilter>> OpenDialogs;
    std::deque<TModalResult> YesNoAnswers;
    std::deque<std::optional<std::string>> InputAnswers;
    std::optional<std::string> OpenAnswer;
};

} // namespace kiva::test
