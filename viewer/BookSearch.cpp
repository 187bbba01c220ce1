#include "BookSearch.h"

#include "BookSession.h"
#include "ContentUrl.h"
#include "SearchResultsPage.h"
#include "SysUtils.h"

namespace kiva {

namespace {

std::string ProgressText(const TIndexProgress& p) {
    if (p.Complete) {
        return std::string();
    }
    return "Indexing the book: " + std::to_string(p.Done) + " of " + std::to_string(p.Total) +
           " pages";
}

} // namespace

std::string TBookSearch::PageKey(const std::string& url) {
    return AnsiLowerCaseAscii(EntryNameFromUrl(url));
}

TBookSearch::TBookSearch(TBookSession& book, std::string firstPage, TPost post, TProgress progress)
    : book_(book), post_(std::move(post)), progress_(std::move(progress)) {
    settings_.InMemory = book.KeepsSecrets();
    settings_.FirstPage = std::move(firstPage);
    if (!book.CacheFolder().empty()) {
        // The folder that holds the book's own cache folder, as the web data's.
        const std::string& folder = book.CacheFolder();
        settings_.CacheRoot = folder.substr(0, folder.rfind('/'));
    } else {
        settings_.InMemory = true;
    }
}

TBookSearch::~TBookSearch() {
    alive_.reset();
    indexer_.reset();
}

void TBookSearch::Start() {
    if (indexer_) {
        return;
    }
    indexer_ = std::make_unique<TBookIndexer>(book_.Archive(), settings_);
    indexer_->OnProgress = [post = post_, alive = std::weak_ptr<int>(alive_),
                            self = this](const TIndexProgress& p) {
        post([alive, self, text = ProgressText(p)] {
            if (alive.lock() && self->progress_) {
                self->progress_(text);
            }
        });
    };
    indexer_->Start();
}

std::optional<std::string> TBookSearch::Page(const std::string& uri) {
    const std::optional<std::string> query = QueryOfSearchResultsUrl(uri);
    if (!query) {
        return std::nullopt;
    }
    Start();
    const TSearchResults results = indexer_->Search(*query, kResultsShown);
    marks_.clear();
    for (const TSearchHit& hit : results.Hits) {
        for (const TExcerptPart& part : hit.Excerpt) {
            if (part.Marked && !part.Text.empty()) {
                marks_.emplace(PageKey(BookPageUrl(hit.Path)), part.Text);
                break;
            }
        }
    }
    return SearchResultsHtml(*query, results);
}

std::optional<std::string> TBookSearch::TextToMark(const std::string& url) const {
    const auto it = marks_.find(PageKey(url));
    if (it == marks_.end()) {
        return std::nullopt;
    }
    return it->second;
}

} // namespace kiva
