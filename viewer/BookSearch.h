#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "BookIndexer.h"

namespace kiva {

class TBookSession;

// Searching the open book from the tool bar: the book's index, built in the background once
// its first page is shown, the results pages the viewer makes for a query, and what to mark
// on a page opened from them.
class TBookSearch {
public:
    // Calls a call on the GUI thread, later, from any thread.
    using TPost = std::function<void(std::function<void()>)>;
    // Hears the index's progress for the status bar on the GUI thread: "Indexing the book: 340
    // of 530 pages", and "" once the index holds the whole book.
    using TProgress = std::function<void(const std::string& text)>;

    // firstPage is the start page's entry name: its language chooses the stemming. The index
    // stays in memory when the book keeps secrets, and in the book's cache folder otherwise.
    TBookSearch(TBookSession& book, std::string firstPage, TPost post, TProgress progress);
    // Stops the indexing and waits for it.
    ~TBookSearch();
    TBookSearch(const TBookSearch&) = delete;
    TBookSearch& operator=(const TBookSearch&) = delete;

    // Starts indexing the book; later calls do nothing. Nothing of the index is made before:
    // the book's first page must not wait for it.
    void Start();
    // The results page of a results page's address (SearchResultsUrl); nothing for any other.
    // The page's links are remembered with the words they should mark.
    std::optional<std::string> Page(const std::string& uri);
    // The text to mark on the book page at url when it is opened from the results page last
    // made; nothing when the page was not among its results.
    std::optional<std::string> TextToMark(const std::string& url) const;
    // What names a page for TextToMark, the same whatever the link's escapes and letter case.
    static std::string PageKey(const std::string& url);

    // How many results a page shows.
    static constexpr int kResultsShown = 50;

private:
    TBookSession& book_;
    TIndexSettings settings_;
    std::unique_ptr<TBookIndexer> indexer_;
    TPost post_;
    TProgress progress_;
    // The pages of the results page last made, by lower-cased entry name, with their first
    // marked words.
    std::map<std::string, std::string> marks_;
    // Progress that arrives after this object has gone finds the token expired.
    std::shared_ptr<int> alive_ = std::make_shared<int>();
};

} // namespace kiva
