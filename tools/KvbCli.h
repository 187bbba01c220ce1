#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SysUtils.h"

namespace kiva {

// Exit statuses, the same for every subcommand.
inline constexpr int kExitOk = 0;
// A bad book, an entry that failed, a file that could not be read or written.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

class TCli;

// One subcommand: its name, its usage line, what it does in a few words (for kvb --help), its
// help and the function that runs it with the arguments that follow its name.
struct TKvbCommand {
    const char* Name;
    const char* Usage;
    const char* Summary;
    const char* Help;
    int (*Run)(TCli& cli, std::vector<std::string> args);
};

// Wrong usage: reported with the command's usage line and exit status 2.
class EUsageError : public Exception {
public:
    using Exception::Exception;
};

enum class TVerbosity { Quiet, Normal, Verbose };

// What kvb tells its user. Errors always go to standard error; warnings and notes only
// without -q; the lines of -v only with it.
class TCli {
public:
    TVerbosity Verbosity = TVerbosity::Normal;
    // Set by commands that write data to standard output, whose -v lines then go to
    // standard error instead.
    bool DataOnStdout = false;

    bool Quiet() const { return Verbosity == TVerbosity::Quiet; }
    bool Verbose() const { return Verbosity == TVerbosity::Verbose; }

    // Each line of the message gets the program's name in front. Messages may carry entry
    // names as a book stores them, which are shown in UTF-8.
    void Error(const std::string& message) const;
    void Warning(const std::string& message) const;
    void Note(const std::string& message) const;
    // One line of -v output.
    void Detail(const std::string& line) const;
    // A line of the command's own output on standard output (a summary), left out with -q.
    void Report(const std::string& line) const;
};

// Writes all of data to standard output; raises when it cannot.
void WriteStdout(const void* data, std::size_t size);
inline void WriteStdout(const std::string& text) {
    WriteStdout(text.data(), text.size());
}

// An option a command takes; Short is 0 for a long option only.
struct TOptionDef {
    char Short;
    const char* Long;
    bool TakesValue;
};

// Walks a command's arguments. Short options may be grouped (-lv) and take their value in
// the same argument (-Cout) or the next; long ones take it after '=' or in the next
// argument. "--" ends the options. -q, --quiet, -v and --verbose, which every command
// takes, set the verbosity of cli. A lone "-" and the project entries' names ("-config-",
// "-logo-") are operands. An unknown option is wrong usage.
class TArgs {
public:
    TArgs(TCli& cli, std::vector<std::string> args, std::vector<TOptionDef> options);

    // Moves to the next option or operand; false when none is left.
    bool Next();
    bool IsOption() const { return option_ != nullptr; }
    // True when the current argument is the option of that long name.
    bool Is(const char* longName) const;
    // The current operand, or the option as given.
    const std::string& Current() const { return current_; }
    // The current option's value.
    const std::string& Value() const { return value_; }
    // Wrong usage: an operand where none fits.
    [[noreturn]] void Unexpected() const;

private:
    TCli& cli_;
    std::vector<std::string> args_;
    std::vector<TOptionDef> options_;
    std::size_t pos_ = 0;
    // The rest of a group of short options still to be read ("v" of "-lv").
    std::string group_;
    bool optionsEnded_ = false;
    const TOptionDef* option_ = nullptr;
    std::string current_;
    std::string value_;

    const TOptionDef* FindShort(char c) const;
    const TOptionDef* FindLong(const std::string& name) const;
    bool TakeShort();
};

// Refuses "-" where standard input or output cannot stand for a file, saying why.
void RefuseDash(const std::string& operand, const char* what, const char* why);

} // namespace kiva
