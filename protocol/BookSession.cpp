#include "BookSession.h"

#include "ArchiveStorageKey.h"
#include "ContentUrl.h"
#include "SysUtils.h"
#include "Trace.h"

namespace kiva {

namespace {

std::string BookFolder(const std::string& base, const std::string& key) {
    return base + "/kivabook-viewer/books/" + key;
}

} // namespace

// The session as the browser and the scheme's requests see it. They may hold it longer than
// the book is open, so the session detaches it when it ends, and later calls find nobody.
class TBookSession::TServices final
    : public TComObjectWith<IServiceProvider, IKivaBook, IWebSessionProvider> {
public:
    explicit TServices(TBookSession* book) : book_(book) {}
    void Detach() { book_ = nullptr; }

    HRESULT QueryService(REFGUID service, REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (!book_ || (service != SID_SKivaBook && service != SID_SKivaWebSession)) {
            return E_NOINTERFACE;
        }
        return QueryInterface(iid, object);
    }
    TBookSession* Book() override { return book_; }
    TWebSession* WebSession() override { return book_ ? &book_->web_ : nullptr; }

private:
    TBookSession* book_;
};

TBookSession::TBookSession()
    : archive_(std::make_unique<TZLBArc2>(nullptr)), services_(new TServices(this)) {
    web_.RequestServices = ComPtr<IServiceProvider>(services_.Get());
}

TBookSession::~TBookSession() {
    StopServing();
    // The browser has gone; its context goes next, then what it read from.
    web_.Engine.reset();
    web_.RequestServices = nullptr;
    services_->Detach();
    entries_.reset();
    archive_->CloseArchive();
}

IServiceProvider* TBookSession::Services() {
    return services_.Get();
}

void TBookSession::Prepare(bool viewPassword) {
    keepsSecrets_ = viewPassword || archive_->HasEncryptedEntries();
    storageKey_ = ArchiveStorageKey(*archive_);
    if (!storageKey_.empty()) {
        dataFolder_ = BookFolder(UserDataDir(), storageKey_);
        cacheFolder_ = BookFolder(UserCacheDir(), storageKey_);
    }
    web_.DataFolder = dataFolder_;
    web_.CacheFolder = cacheFolder_;
    TEntryStoreOptions store;
    store.Folder = cacheFolder_.empty() ? std::string() : cacheFolder_ + "/entries";
    store.InMemory = keepsSecrets_ || store.Folder.empty();
    entries_ = std::make_unique<TEntryStore>(*archive_, store);
    try {
        server_ = std::make_unique<TLoopbackServer>(*entries_);
        web_.Mirror = TNameSpaceMirror{std::string(kContentRoot), server_->BaseUrl(),
                                       TLoopbackServer::BulkPaths(*archive_)};
    } catch (const std::exception&) {
        // Without the server, media and large entries still come through the scheme.
        TraceCaughtError("the media server");
        server_.reset();
    }
}

void TBookSession::SetUserAgent(std::string_view agent) {
    web_.UserAgent = CleanUserAgent(agent);
}

void TBookSession::StopServing() {
    if (server_) {
        web_.Mirror = TNameSpaceMirror{};
        server_.reset();
    }
    if (entries_) {
        entries_->Stop();
    }
}

} // namespace kiva
