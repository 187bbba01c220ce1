#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ComObj.h"
#include "DocHostUI.h"
#include "UrlMon.h"

namespace kiva {

// The engine's own objects for one book (its web context, website data and what hangs on
// them). The browser makes them when it shows the book's first page and keeps them in the
// book's web session, which ends them after the browser has gone.
class IWebEngineContext {
public:
    virtual ~IWebEngineContext() = default;
};

// The scheme of the viewer's own pages (the book's search results): neither a page of the book
// nor a file, they get none of the book's rights and run no scripts.
inline constexpr std::string_view kViewerPagesScheme = "kiva-viewer";

// What the web engine needs of the one book its views show. The book's session fills it in
// before the first page, the browser reads it when it makes its engine context, and nothing of
// it is process-wide: two books never share storage, agent or mirror.
struct TWebSession {
    // The book's private folders for web data kept for good (storage, cookies) and for
    // caches; empty keeps nothing beyond the session.
    std::string DataFolder;
    std::string CacheFolder;
    // The agent the book's requests and scripts see; empty for the engine's own.
    std::string UserAgent;
    // The plain-HTTP mirror of the book's content root, when there is one.
    TNameSpaceMirror Mirror;
    // What the scheme's handlers reach the book through: the bind info of each request the
    // engine starts answers IServiceProvider with these services.
    ComPtr<IServiceProvider> RequestServices;
    // The viewer's own pages, made by the host for an address of kViewerPagesScheme: their
    // HTML, or nothing for an address the host does not know (it is then not found). Called on
    // the GUI thread; empty when the host has none.
    std::function<std::optional<std::string>(const std::string& uri)> ViewerPages;
    // The engine's objects for the book, held by the browser while it lives and let go by the
    // session after it.
    std::shared_ptr<IWebEngineContext> Engine;
};

// How the browser control finds its book's web session: it asks its site's service provider
// for SID_SKivaWebSession with this interface.
struct IWebSessionProvider : IUnknown {
    static constexpr IID kIID = GuidLiteral("{5E0B7C4A-2F61-4C39-9A0D-7B8E41C2D6F3}");
    // The session, or null once the book has closed.
    virtual TWebSession* WebSession() = 0;

protected:
    ~IWebSessionProvider() = default;
};
inline constexpr IID IID_IWebSessionProvider = IWebSessionProvider::kIID;
inline constexpr GUID SID_SKivaWebSession = IWebSessionProvider::kIID;

} // namespace kiva
