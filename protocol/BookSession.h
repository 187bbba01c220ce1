#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ComObj.h"
#include "EntryStore.h"
#include "LoopbackServer.h"
#include "WebSession.h"
#include "ZLIBArchive2.h"

namespace kiva {

class TBookSession;

// How a request of the scheme reaches its book: the services of the request's bind info answer
// SID_SKivaBook with this interface. The browser's engine hands the book's services to every
// request it starts, so nothing about the book is process-wide.
struct IKivaBook : IUnknown {
    static constexpr IID kIID = GuidLiteral("{9C1F3B52-64D7-4E0A-8B2E-3A5D7F19C640}");
    // The open book, or null once it has closed. Only on the thread that drives requests.
    virtual TBookSession* Book() = 0;

protected:
    ~IKivaBook() = default;
};
inline constexpr IID IID_IKivaBook = IKivaBook::kIID;
inline constexpr GUID SID_SKivaBook = IKivaBook::kIID;

// Everything that belongs to one open book: the archive reader, the entry store, the media
// server, and what the web engine keeps for the book (storage, agent, its context). The main
// window makes one and hands it down; the browser and the scheme's handlers reach it through
// its services (SID_SKivaBook, SID_SKivaWebSession), never through process-wide settings.
//
// It ends in a fixed order: StopServing stops the media server and every extraction (their
// threads are joined); then the window destroys the browser; then the session's destruction
// lets the engine's context go, detaches its services and closes the store and the reader.
class TBookSession {
public:
    TBookSession();
    ~TBookSession();
    TBookSession(const TBookSession&) = delete;
    TBookSession& operator=(const TBookSession&) = delete;

    // The book's reader; the window opens the archive with it.
    TZLBArc2& Archive() { return *archive_; }

    // Once the archive is open: names the book's storage, makes its entry store and starts its
    // media server (without which media and large entries still come through the scheme). A
    // book that keeps secrets (a view password, or encrypted entries) writes none of its
    // content to disk: its entry files live in memory. Its pages' own web data (storage,
    // cookies) is kept as for any book, since readers rely on it.
    void Prepare(bool viewPassword);
    // The agent the book's pages and requests see; an empty or unusable text keeps the
    // engine's own.
    void SetUserAgent(std::string_view agent);

    // Whether the book keeps secrets, as Prepare decided it.
    bool KeepsSecrets() const { return keepsSecrets_; }
    const std::string& StorageKey() const { return storageKey_; }
    // The book's folders for data kept for good and for caches; empty when nothing is kept.
    const std::string& DataFolder() const { return dataFolder_; }
    const std::string& CacheFolder() const { return cacheFolder_; }
    TEntryStore* Entries() { return entries_.get(); }
    TLoopbackServer* MediaServer() { return server_.get(); }
    TWebSession& Web() { return web_; }
    // The book's services: IKivaBook and IWebSessionProvider.
    IServiceProvider* Services();

    // Stops the media server and every extraction, and waits for their threads.
    void StopServing();

private:
    class TServices;

    std::unique_ptr<TZLBArc2> archive_;
    std::unique_ptr<TEntryStore> entries_;
    std::unique_ptr<TLoopbackServer> server_;
    TWebSession web_;
    ComPtr<TServices> services_;
    bool keepsSecrets_ = false;
    std::string storageKey_;
    std::string dataFolder_;
    std::string cacheFolder_;
};

} // namespace kiva
