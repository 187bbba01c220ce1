#include "KvbSearch.h"

#include "KvbCommands.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "ArchiveStorageKey.h"
#include "BookIndexer.h"
#include "IndexCache.h"
#include "KvbExtract.h"
#include "SearchIndex.h"
#include "ZLIBArchive2.h"

namespace kiva {

const char* const kSearchUsage = "kvb search BOOK QUERY [--limit N]";

namespace {

constexpr int kFound = 0;
constexpr int kNothingFound = 1;
constexpr int kCannotRun = 2;
constexpr int kDefaultLimit = 20;

const char* const kHelp =
    "Searches the book's pages for QUERY and prints the best, one a line:\n"
    "RANK<TAB>PATH<TAB>TITLE, paths with \"/\" between folders.\n"
    "\n"
    "All words of the query must occur on a page, in any order; \"quoted words\" must\n"
    "occur as a phrase, and word* finds the words that begin so. Letter case and accents\n"
    "do not matter. A hit in a page's title ranks it above one in a heading, and that\n"
    "above one in the text. The index that the viewer keeps for the book is used when it\n"
    "is complete; otherwise the book is indexed in memory first.\n"
    "\n"
    "Options:\n"
    "  --limit N   print at most N pages (default 20)\n"
    "\n"
    "Exit status: 0 with results, 1 with none, 2 when the book cannot be read or on wrong\n"
    "usage.\n";

struct TUsageError {
    std::string Message;
};

int ParseLimit(const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1) {
        throw TUsageError{"--limit takes a whole number above 0, not " + text};
    }
    return value;
}

// The viewer's index of the book, when it holds every page.
std::unique_ptr<TSearchIndex> CachedIndex(const TZLBArc2& arc) {
    const std::string key = ArchiveStorageKey(arc);
    const std::string file = IndexFileOf(DefaultBooksCacheRoot(), key);
    std::error_code ec;
    if (key.empty() || !std::filesystem::is_regular_file(file, ec)) {
        return nullptr;
    }
    try {
        auto index = TSearchIndex::OpenReadOnly(file);
        if (index->Meta("format") == std::to_string(TSearchIndex::kFormat) &&
            index->Meta("key") == key && index->Meta("complete") == "1") {
            return index;
        }
    } catch (const Exception&) {
        // A damaged or busy index: the book is indexed afresh.
    }
    return nullptr;
}

std::string OneLine(const std::string& text) {
    std::string out = Printable(text);
    for (char& c : out) {
        c = c == '\t' ? ' ' : c;
    }
    return out;
}

} // namespace

int RunSearchCommand(const std::vector<std::string>& args) {
    std::string book;
    std::string query;
    int limit = kDefaultLimit;
    try {
        bool optionsEnded = false;
        std::vector<std::string> operands;
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (!optionsEnded && a == "--") {
                optionsEnded = true;
            } else if (!optionsEnded && (a == "--help" || a == "-h")) {
                std::cout << "Usage: " << kSearchUsage << "\n\n" << kHelp;
                return kFound;
            } else if (!optionsEnded && a == "--limit") {
                if (i + 1 >= args.size()) {
                    throw TUsageError{"option --limit needs a value"};
                }
                limit = ParseLimit(args[++i]);
            } else if (!optionsEnded && a.starts_with("--limit=")) {
                limit = ParseLimit(a.substr(8));
            } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
                throw TUsageError{"unknown option " + a};
            } else {
                operands.push_back(a);
            }
        }
        if (operands.size() < 2) {
            throw TUsageError{operands.empty() ? "no book given" : "no query given"};
        }
        book = operands[0];
        // The words of a query may come as separate arguments.
        for (std::size_t i = 1; i < operands.size(); ++i) {
            query += (i > 1 ? " " : "") + operands[i];
        }
    } catch (const TUsageError& e) {
        std::cerr << "kvb: " << e.Message << "\nUsage: " << kSearchUsage
                  << "\nTry 'kvb search --help'.\n";
        return kCannotRun;
    }

    TZLBArc2 arc(nullptr);
    arc.VerifyArchiveCRC = false;
    try {
        if (!arc.OpenArchive(book)) {
            throw Exception("no book named");
        }
    } catch (const Exception& e) {
        std::cerr << "kvb: cannot read " << Printable(book) << ": " << Printable(e.Message())
                  << "\n";
        return kCannotRun;
    }

    TSearchResults results;
    if (std::unique_ptr<TSearchIndex> cached = CachedIndex(arc)) {
        results = cached->Search(query, limit);
    } else {
        TIndexSettings settings;
        settings.InMemory = true;
        TBookIndexer indexer(arc, settings);
        indexer.Start();
        indexer.Join();
        if (!indexer.Problem().empty()) {
            std::cerr << "kvb: cannot index " << Printable(book) << ": "
                      << Printable(indexer.Problem()) << "\n";
            return kCannotRun;
        }
        results = indexer.Search(query, limit);
    }
    if (!results.Message.empty()) {
        std::cerr << "kvb: " << results.Message << "\n";
        return kCannotRun;
    }
    for (const TSearchHit& hit : results.Hits) {
        std::cout << hit.Rank << '\t' << OneLine(hit.Path) << '\t' << OneLine(hit.Title) << '\n';
    }
    std::cout.flush();
    return results.Hits.empty() ? kNothingFound : kFound;
}

const TKvbCommand kSearchCommand = {
    "search", kSearchUsage, "list the pages of the book that match QUERY, best first", kHelp,
    [](TCli&, std::vector<std::string> args) {
        // -q and -v change nothing here: the results are the output, and errors always show.
        std::erase_if(args, [](const std::string& a) {
            return a == "-q" || a == "-v" || a == "--quiet" || a == "--verbose";
        });
        return RunSearchCommand(args);
    }};

} // namespace kiva
