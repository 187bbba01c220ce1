#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ComObj.h"
#include "WinTypes.h"

namespace kiva {

// The platform's HTML browser control as the host sees it: an automation interface for the
// commands, an event interface whose events carry dispatch ids, a host-info query the control
// makes of its client site, and the ambient-property notification. Nothing here knows the
// toolkit; the control's implementation registers itself as the class object of
// CLSID_WebBrowser and the host creates it through CoCreateInstance.

using DISPID = std::int32_t;

inline constexpr CLSID CLSID_WebBrowser = GuidLiteral("{8856F961-340A-11D0-A96B-00C04FD705A2}");

// Dispatch ids of the events the host routes.
inline constexpr DISPID DISPID_STATUSTEXTCHANGE = 102;
inline constexpr DISPID DISPID_DOWNLOADCOMPLETE = 104;
inline constexpr DISPID DISPID_COMMANDSTATECHANGE = 105;
inline constexpr DISPID DISPID_DOWNLOADBEGIN = 106;
inline constexpr DISPID DISPID_PROGRESSCHANGE = 108;
inline constexpr DISPID DISPID_TITLECHANGE = 113;
inline constexpr DISPID DISPID_BEFORENAVIGATE2 = 250;
inline constexpr DISPID DISPID_NEWWINDOW2 = 251;
inline constexpr DISPID DISPID_NAVIGATECOMPLETE2 = 252;
inline constexpr DISPID DISPID_DOCUMENTCOMPLETE = 259;
inline constexpr DISPID DISPID_WINDOWCLOSING = 263;
inline constexpr DISPID DISPID_NAVIGATEERROR = 271;

// Dispatch ids of properties and ambient properties.
inline constexpr DISPID DISPID_APPLICATION = 200;
inline constexpr DISPID DISPID_DOCUMENT = 203;
inline constexpr DISPID DISPID_AMBIENT_DLCONTROL = -5512;
inline constexpr DISPID DISPID_AMBIENT_USERAGENT = -5513;

// The Command argument of the command-state event.
inline constexpr std::int32_t CSC_NAVIGATEFORWARD = 1;
inline constexpr std::int32_t CSC_NAVIGATEBACK = 2;

// Host-UI flags the control reads from the host-info record.
inline constexpr DWORD DOCHOSTUIFLAG_DIALOG = 0x1;
inline constexpr DWORD DOCHOSTUIFLAG_DISABLE_HELP_MENU = 0x2;
inline constexpr DWORD DOCHOSTUIFLAG_NO3DBORDER = 0x4;
inline constexpr DWORD DOCHOSTUIFLAG_SCROLL_NO = 0x8;
inline constexpr DWORD DOCHOSTUIFLAG_OPENNEWWIN = 0x20;
inline constexpr DWORD DOCHOSTUIFLAG_FLAT_SCROLLBAR = 0x80;
inline constexpr DWORD DOCHOSTUIFLAG_ENABLE_FORMS_AUTOCOMPLETE = 0x4000;
inline constexpr DWORD DOCHOSTUIFLAG_THEME = 0x40000;

// The host-info record. The style-sheet and namespace texts are owned copies; empty means
// none was given.
struct DOCHOSTUIINFO {
    ULONG cbSize = 20;
    DWORD dwFlags = 0;
    DWORD dwDoubleClick = 0;
    std::u16string pchHostCss;
    std::u16string pchHostNS;
};

// The arguments of one event. Each event reads the members it declares and leaves the rest
// alone; Cancel is the in/out flag of the events that can be cancelled, pDisp is the
// automation object of the frame concerned, and TargetFrameName is also the Frame argument of
// the navigate-error event.
struct TWebBrowserEventParams {
    IUnknown* pDisp = nullptr;
    std::u16string URL;
    std::u16string Text;
    std::u16string TargetFrameName;
    std::u16string Headers;
    std::string PostData;
    std::int32_t Flags = 0;
    std::int32_t Command = 0;
    bool Enable = false;
    bool IsChildWindow = false;
    std::int32_t StatusCode = 0;
    bool Cancel = false;
};

// The control's outgoing events. The control calls Invoke on the sink it was advised of,
// synchronously, with the event's dispatch id.
struct DWebBrowserEvents2 : IUnknown {
    static constexpr IID kIID = GuidLiteral("{34A715A0-6587-11D0-924A-0020AFC7AC4D}");
    virtual HRESULT Invoke(DISPID dispIdMember, TWebBrowserEventParams& params) = 0;

protected:
    ~DWebBrowserEvents2() = default;
};

// What the control asks of its client site. The control queries the site for this interface
// when it is sited and calls GetHostInfo whenever it creates a document.
struct IDocHostUIHandler : IUnknown {
    static constexpr IID kIID = GuidLiteral("{BD3F23C0-D43E-11CF-893B-00AA00BDCE1A}");
    virtual HRESULT GetHostInfo(DOCHOSTUIINFO& info) = 0;

protected:
    ~IDocHostUIHandler() = default;
};

// The control's side of ambient properties: the host calls it when one of them changed.
struct IOleControl : IUnknown {
    static constexpr IID kIID = GuidLiteral("{B196B288-BAB4-101A-B69C-00AA00341D07}");
    virtual HRESULT OnAmbientPropertyChange(DISPID dispId) = 0;

protected:
    ~IOleControl() = default;
};

// The automation interface of the browser control.
struct IWebBrowser2 : IUnknown {
    static constexpr IID kIID = GuidLiteral("{D30C1661-CDAF-11D0-8A3E-00C04FC9E26E}");

    // Starts a navigation; the page then arrives through the events. Fails for an empty URL.
    virtual HRESULT Navigate(std::u16string_view url) = 0;
    // Fail with E_FAIL when there is no page in that direction.
    virtual HRESULT GoBack() = 0;
    virtual HRESULT GoForward() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT get_LocationURL(std::u16string& url) = 0;
    // The browser's own automation object; it answers IOleControl.
    virtual HRESULT get_Application(IUnknown** application) = 0;

    // The site the control consults (IDocHostUIHandler); null detaches it.
    virtual HRESULT SetClientSite(IUnknown* site) = 0;
    // The one sink that receives the events; null stops them.
    virtual HRESULT Advise(DWebBrowserEvents2* sink) = 0;

    // The toolkit's widget that shows the pages, to be packed into the host's window; null
    // when the control has no visible part.
    virtual void* NativeWidget() = 0;

protected:
    ~IWebBrowser2() = default;
};

inline constexpr IID IID_IWebBrowser2 = IWebBrowser2::kIID;
inline constexpr IID DIID_DWebBrowserEvents2 = DWebBrowserEvents2::kIID;
inline constexpr IID IID_IDocHostUIHandler = IDocHostUIHandler::kIID;
inline constexpr IID IID_IOleControl = IOleControl::kIID;

} // namespace kiva
