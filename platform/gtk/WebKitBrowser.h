#pragma once

// The platform's types come before the toolkit's headers, whose TRUE and FALSE are macros.
#include "ComObj.h"
#include "DocHostUI.h"
#include "WebBrowser.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <string>

#include "GObjectPtr.h"
#include "WebKitSite.h"

namespace kiva {

class TPageScripts;
class TWebKitCommands;
class TWebKitContext;
class TWebKitCrossOrigin;
class TWebKitDownloads;
class TWebKitEvents;
class TWebKitKeys;
class TWebKitPolicy;
class TWebKitPopups;
struct TNameSpaceMirror;

// The platform's browser control on WebKitGTK: a widget holding one view (made when the first
// page is asked for) and the find box, with its parts: the event table (WebKitEvents), the
// navigation and response policy (WebKitPolicy), the windows pages open (WebKitPopups),
// downloads (WebKitDownloads), keys (WebKitKeys), the cross-origin grant of the book's pages
// (WebKitCrossOrigin), the reader's commands (WebKitCommands) and the page scripts
// (PageScripts).
class TWebKitBrowser final : public TComObjectWith<IWebBrowser2, IOleControl,
                                                   IWebBrowserDropRegistration, IWebBrowserReader> {
public:
    TWebKitBrowser();

    HRESULT Navigate(std::u16string_view url) override;
    HRESULT GoBack() override;
    HRESULT GoForward() override;
    HRESULT Stop() override;
    HRESULT get_LocationURL(std::u16string& url) override;
    HRESULT get_Application(IUnknown** application) override;
    HRESULT get_Document(IUnknown** document) override;
    HRESULT ExecWB(DWORD cmdID, DWORD cmdexecopt, TVariant* pvaIn, TVariant* pvaOut) override;
    HRESULT SetClientSite(IUnknown* site) override;
    HRESULT Advise(DWebBrowserEvents2* sink) override;
    void* NativeWidget() override { return container_.get(); }
    HRESULT OnAmbientPropertyChange(DISPID dispId) override;
    HRESULT put_RegisterAsDropTarget(BOOL value) override;

    HRESULT get_KeyboardFocus(TBrowserFocus& focus) override;
    HRESULT CloseFindBox() override;
    HRESULT FindText(const std::u16string& text) override;
    HRESULT put_PagePrintingAllowed(BOOL allowed) override;
    HRESULT put_WheelZoomHandler(std::function<bool(int steps)> handler) override;

    // The names of the message handlers the viewer's page scripts talk to.
    std::vector<std::string> PageMessageHandlers() const;

protected:
    ~TWebKitBrowser() override;

private:
    IUnknown* Self() { return static_cast<IWebBrowser2*>(this); }
    // The view is made when the first page is asked for: by then the session knows whose
    // storage the pages use, which the web context fixes for its whole life.
    WebKitWebView* View();
    void ApplyMirror(const TNameSpaceMirror& mirror);
    // Reads the host's flags and style sheet and sets the view's user style sheets after them.
    void ApplyHostInfo();
    // The ambient download control decides whether images and media load; the ambient user
    // agent, when the host gives one, replaces the session's.
    void ApplyAmbientOptions();
    // Scripts on or off for the view by the security manager's answer for the address.
    void ApplyScriptPolicy(const std::string& url);

    TWebKitSite site_{this};
    std::shared_ptr<TWebKitContext> context_;
    GObjectPtr<WebKitUserContentManager> content_;
    GObjectPtr<GtkWidget> container_;
    GObjectPtr<WebKitWebView> view_;
    std::unique_ptr<TPageScripts> scripts_;
    WebKitUserScript* mirrorScript_ = nullptr;
    // What the view's style sheets were made from; a view starts with none.
    std::string styleSource_ = "\n";
    bool dropsAllowed_ = true;
    // The parts, each of which may use those declared before it; they go before the view.
    std::unique_ptr<TWebKitCommands> commands_;
    std::unique_ptr<TWebKitDownloads> downloads_;
    std::unique_ptr<TWebKitPopups> popups_;
    std::unique_ptr<TWebKitPolicy> policy_;
    std::unique_ptr<TWebKitCrossOrigin> crossOrigin_;
    std::unique_ptr<TWebKitEvents> events_;
    std::unique_ptr<TWebKitKeys> keys_;
};

// Makes the WebKitGTK browser the class object of CLSID_WebBrowser for as long as the returned
// object lives, so that the browser host creates it through CoCreateInstance. The program
// registers it once at start, after the toolkit is initialised, and keeps it to the end.
// Objects it creates are not counted as objects the program serves to other clients.
class TWebKitBrowserRegistration {
public:
    TWebKitBrowserRegistration() = default;
    TWebKitBrowserRegistration(TWebKitBrowserRegistration&& other) noexcept;
    TWebKitBrowserRegistration& operator=(TWebKitBrowserRegistration&& other) noexcept;
    ~TWebKitBrowserRegistration();

    bool Registered() const { return cookie_ != 0; }

private:
    friend TWebKitBrowserRegistration RegisterWebKitBrowserClass();
    DWORD cookie_ = 0;
};

// Raises kiva::Exception when the class object cannot be registered.
[[nodiscard]] TWebKitBrowserRegistration RegisterWebKitBrowserClass();

} // namespace kiva
