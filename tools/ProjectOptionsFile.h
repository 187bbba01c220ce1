#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ProjectOptionsRecord.h"
#include "SysUtils.h"

namespace kiva {

// A bad options file or --set argument: every problem found, each on a line of its own that
// names the key, the file and the line (or the argument).
class EOptionsError : public Exception {
public:
    explicit EOptionsError(std::vector<std::string> problems);
    const std::vector<std::string>& Problems() const { return problems_; }

private:
    std::vector<std::string> problems_;
};

// The options of a book whose author gave none: the start page, a sizeable 1024 by 768
// window in the middle of the screen with tool bar, button captions and status bar, and
// Find, Print, Copy and the text size allowed.
TProjectOptionsRecord DefaultProjectOptions(const std::string& startPage);

// The project options kvb writes as "-config-", read from an options file and --set
// arguments. A key left out stays zero or empty, which the viewer reads as "off", "empty" or
// 0, unless FillDefaults is asked for.
struct TProjectOptionsFile : TProjectOptionsRecord {
    // Which fields, by their index in OptionFields(), a file or --set gave.
    std::vector<bool> Given = std::vector<bool>(OptionFields().size(), false);
    // Values that are kept but deserve a word (a WindowStyle outside 0 to 3), each naming
    // where it came from.
    std::vector<std::string> Warnings;

    // Reads "Key=Value" lines, optionally under an [Options] heading. Keys ignore case; lines
    // starting with '#' or ';' are comments. A value may be put in double quotes to keep
    // leading or trailing blanks. Yes/no keys take 0 or 1, numbers are whole numbers (window
    // sizes 0 to 32767), texts hold at most 255 bytes. Raises EOptionsError listing every bad
    // line, each naming sourceName and its line number.
    static TProjectOptionsFile ParseIni(std::string_view text, const std::string& sourceName);
    static TProjectOptionsFile LoadIni(const std::string& fileName);

    // Sets one option from "KEY=VALUE", checked as a line of a file is; raises EOptionsError
    // naming the argument.
    void Set(std::string_view keyValue);

    // True when a file or --set gave the key.
    bool IsGiven(std::string_view key) const;

    // Gives every field that no file or --set gave the value it has in defaults.
    void FillDefaults(const TProjectOptionsRecord& defaults);

    // What makes the book hard to use, as warnings: no start page, a window 0 pixels wide or
    // high (unless it is shown full screen).
    std::vector<std::string> Usability() const;
};

// Each option's name and its value as text, in record order (flags as 0 or 1).
std::vector<std::pair<std::string, std::string>> OptionTexts(const TProjectOptionsRecord& o);

// The known option key nearest to an unknown one, or empty when none is near enough to be
// what was meant.
std::string NearestOptionKey(std::string_view key);

} // namespace kiva
