// kvb: builds books for the viewer and looks into them.

#include <iostream>
#include <new>

#include "KvbCommands.h"

#ifndef KVB_VERSION
#define KVB_VERSION "0.0.0"
#endif

namespace kiva {
namespace {

// Every subcommand, in the order the help lists them. A new one is declared in
// KvbCommands.h and added here.
const TKvbCommand* const kCommands[] = {
    &kPackCommand,   &kListCommand, &kCatCommand,    &kExtractCommand,
    &kVerifyCommand, &kInfoCommand, &kSearchCommand,
};

const char* const kTopHelpHead = "Usage: kvb COMMAND [ARGS...]\n"
                                 "Builds books for the Kivabook viewer and looks into them.\n"
                                 "\n"
                                 "Commands:\n";

const char* const kTopHelpTail =
    "\n"
    "Run 'kvb COMMAND --help' for the options of a command; every command takes -q (quiet)\n"
    "and -v (verbose). Entry names are shown with '/' between folders and in UTF-8; those\n"
    "of books made in Windows-1252 are shown, extracted and found by their UTF-8 form.\n"
    "\n"
    "The shortest way from a folder of HTML to an open book:\n"
    "  kvb pack site -o site.kvb && kivabook-viewer site.kvb\n"
    "\n"
    "Exit status: 0 on success, 1 for a bad book or a failed entry, 2 for wrong usage.\n";

std::string TopHelp() {
    std::string help = kTopHelpHead;
    for (const TKvbCommand* c : kCommands) {
        // The usage line without "kvb ".
        help += Format("  %s\n      %s\n", std::string(c->Usage).substr(4), c->Summary);
    }
    return help + kTopHelpTail;
}

const TKvbCommand* FindCommand(const std::string& name) {
    for (const TKvbCommand* c : kCommands) {
        if (name == c->Name) {
            return c;
        }
    }
    return nullptr;
}

void PrintCommandHelp(const TKvbCommand& c) {
    std::cout << "Usage: " << c.Usage << "\n\n" << c.Help;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--") {
            return false;
        }
        if (a == "--help" || a == "-h") {
            return true;
        }
    }
    return false;
}

int Run(int argc, char** argv) {
    std::vector<std::string> all(argv + 1, argv + argc);
    TCli cli;
    if (all.empty()) {
        std::cerr << TopHelp();
        return kExitUsage;
    }
    const std::string name = all[0];
    if (name == "--help" || name == "-h" || name == "help") {
        const TKvbCommand* c = all.size() > 1 && name == "help" ? FindCommand(all[1]) : nullptr;
        if (c) {
            PrintCommandHelp(*c);
        } else {
            std::cout << TopHelp();
        }
        return kExitOk;
    }
    if (name == "--version" || name == "-V") {
        std::cout << "kvb " KVB_VERSION "\n";
        return kExitOk;
    }
    const TKvbCommand* cmd = FindCommand(name);
    std::vector<std::string> args(all.begin() + 1, all.end());
    try {
        if (!cmd) {
            throw EUsageError(Format("unknown command \"%s\"", name));
        }
        if (WantsHelp(args)) {
            PrintCommandHelp(*cmd);
            return kExitOk;
        }
        return cmd->Run(cli, std::move(args));
    } catch (const EUsageError& u) {
        cli.Error(u.Message());
        if (cmd) {
            std::cerr << "Usage: " << cmd->Usage << "\nTry 'kvb " << cmd->Name << " --help'.\n";
        } else {
            std::cerr << "Try 'kvb --help'.\n";
        }
        return kExitUsage;
    } catch (const Exception& e) {
        cli.Error(e.Message());
        return kExitFailure;
    } catch (const std::bad_alloc&) {
        cli.Error("out of memory");
        return kExitFailure;
    } catch (const std::exception& e) {
        cli.Error(e.what());
        return kExitFailure;
    }
}

} // namespace
} // namespace kiva

int main(int argc, char** argv) {
    return kiva::Run(argc, argv);
}
