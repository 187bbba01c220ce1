#include "KvbCli.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "FileDescriptor.h"

namespace kiva {

namespace {

// Every line of a message with the prefix in front.
void PrintLines(std::ostream& os, const std::string& prefix, const std::string& message) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = message.find('\n', start);
        os << prefix << message.substr(start, nl - start) << "\n";
        if (nl == std::string::npos) {
            break;
        }
        start = nl + 1;
    }
    os << std::flush;
}

const TOptionDef kQuiet = {'q', "quiet", false};
const TOptionDef kVerbose = {'v', "verbose", false};

bool IsProjectEntryName(const std::string& arg) {
    return SameTextAscii(arg, "-config-") || SameTextAscii(arg, "-logo-");
}

} // namespace

void TCli::Error(const std::string& message) const {
    // Standard output goes first, so that the two keep their order on a terminal.
    std::cout << std::flush;
    PrintLines(std::cerr, "kvb: ", ArchiveText(message));
}

void TCli::Warning(const std::string& message) const {
    if (!Quiet()) {
        std::cout << std::flush;
        PrintLines(std::cerr, "kvb: warning: ", ArchiveText(message));
    }
}

void TCli::Note(const std::string& message) const {
    if (!Quiet()) {
        std::cout << std::flush;
        PrintLines(std::cerr, "kvb: ", ArchiveText(message));
    }
}

void TCli::Detail(const std::string& line) const {
    if (Verbose()) {
        PrintLines(DataOnStdout ? std::cerr : std::cout, "", line);
    }
}

void TCli::Report(const std::string& line) const {
    if (!Quiet()) {
        PrintLines(DataOnStdout ? std::cerr : std::cout, "", line);
    }
}

void WriteStdout(const void* data, std::size_t size) {
    std::cout << std::flush;
    if (!WriteAll(STDOUT_FILENO, data, static_cast<std::int64_t>(size))) {
        throw Exception(Format("cannot write to standard output: %s", std::strerror(errno)));
    }
}

TArgs::TArgs(TCli& cli, std::vector<std::string> args, std::vector<TOptionDef> options)
    : cli_(cli), args_(std::move(args)), options_(std::move(options)) {
    options_.push_back(kQuiet);
    options_.push_back(kVerbose);
}

const TOptionDef* TArgs::FindShort(char c) const {
    for (const TOptionDef& o : options_) {
        if (o.Short != 0 && o.Short == c) {
            return &o;
        }
    }
    return nullptr;
}

const TOptionDef* TArgs::FindLong(const std::string& name) const {
    for (const TOptionDef& o : options_) {
        if (name == o.Long) {
            return &o;
        }
    }
    return nullptr;
}

bool TArgs::TakeShort() {
    const char c = group_[0];
    group_.erase(0, 1);
    option_ = FindShort(c);
    current_ = std::string("-") + c;
    if (!option_) {
        throw EUsageError(Format("unknown option %s", current_));
    }
    if (option_->TakesValue) {
        if (!group_.empty()) {
            value_ = std::exchange(group_, std::string());
        } else if (pos_ < args_.size()) {
            value_ = args_[pos_++];
        } else {
            throw EUsageError(Format("option %s needs a value", current_));
        }
    }
    return true;
}

bool TArgs::Next() {
    for (;;) {
        option_ = nullptr;
        value_.clear();
        if (!group_.empty()) {
            TakeShort();
        } else if (pos_ >= args_.size()) {
            return false;
        } else {
            std::string arg = args_[pos_++];
            if (!optionsEnded_ && arg == "--") {
                optionsEnded_ = true;
                continue;
            }
            if (optionsEnded_ || arg.size() < 2 || arg[0] != '-' || IsProjectEntryName(arg)) {
                current_ = std::move(arg);
                return true;
            }
            if (arg[1] == '-') {
                const std::size_t eq = arg.find('=');
                current_ = arg.substr(0, eq);
                option_ = FindLong(current_.substr(2));
                if (!option_) {
                    throw EUsageError(Format("unknown option %s", current_));
                }
                if (option_->TakesValue) {
                    if (eq != std::string::npos) {
                        value_ = arg.substr(eq + 1);
                    } else if (pos_ < args_.size()) {
                        value_ = args_[pos_++];
                    } else {
                        throw EUsageError(Format("option %s needs a value", current_));
                    }
                } else if (eq != std::string::npos) {
                    throw EUsageError(Format("option %s takes no value", current_));
                }
            } else {
                group_ = arg.substr(1);
                TakeShort();
            }
        }
        if (Is("quiet")) {
            cli_.Verbosity = TVerbosity::Quiet;
        } else if (Is("verbose")) {
            cli_.Verbosity = TVerbosity::Verbose;
        } else {
            return true;
        }
    }
}

bool TArgs::Is(const char* longName) const {
    return option_ != nullptr && std::strcmp(option_->Long, longName) == 0;
}

void TArgs::Unexpected() const {
    throw EUsageError(Format("unexpected argument \"%s\"", current_));
}

void RefuseDash(const std::string& operand, const char* what, const char* why) {
    if (operand == "-") {
        throw EUsageError(Format("\"-\" cannot stand for %s: %s", what, why));
    }
}

} // namespace kiva
