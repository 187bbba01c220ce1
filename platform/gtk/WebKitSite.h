#pragma once

#include <string>

#include "ComObj.h"
#include "DocHostUI.h"
#include "InternetSecurity.h"
#include "WebBrowser.h"

namespace kiva {

// The WebKit browser's side of its host, shared by the parts of the browser: the client site
// it asks its questions of and the sink it raises its events on. Nothing here knows the
// toolkit.
class TWebKitSite {
public:
    // The control is the browser's automation object: events carry it as their pDisp, and it
    // stays alive while an event handler runs.
    explicit TWebKitSite(IWebBrowser2* control) : control_(control) {}
    TWebKitSite(const TWebKitSite&) = delete;
    TWebKitSite& operator=(const TWebKitSite&) = delete;

    void SetClientSite(IUnknown* site);
    void Advise(DWebBrowserEvents2* sink) { sink_ = ComPtr<DWebBrowserEvents2>(sink); }

    // Raises one event on the advised sink.
    void Fire(DISPID dispId, TWebBrowserEventParams& params);

    // One of the host's interfaces beyond the host-info record, or null.
    template <class I> ComPtr<I> As() const {
        ComPtr<I> intf;
        if (site_) {
            site_->QueryInterface(I::kIID, intf.ReleaseAndGetVoidAddress());
        }
        return intf;
    }

    // The host-info record; an empty one when the host gives none.
    DOCHOSTUIINFO HostInfo() const;
    // False when the host's security manager answers the action with a policy other than
    // allow; questions it leaves to the platform, or a host without one, allow.
    bool UrlActionAllowed(const std::string& url, DWORD action) const;
    // The host's ambient download control; 0x70 (images and media) when it gives none.
    DWORD AmbientDownloadControl() const;
    // The host's ambient user agent without its line end; empty when it gives none.
    std::string AmbientUserAgent() const;

private:
    IWebBrowser2* control_;
    ComPtr<IUnknown> site_;
    ComPtr<IDocHostUIHandler> host_;
    ComPtr<DWebBrowserEvents2> sink_;
};

// The ambient download-control flags the browser acts on.
inline constexpr DWORD DLCTL_DLIMAGES = 0x10;
inline constexpr DWORD DLCTL_VIDEOS = 0x20;
inline constexpr DWORD DLCTL_BGSOUNDS = 0x40;
inline constexpr DWORD DLCTL_NO_SCRIPTS = 0x80;

} // namespace kiva
