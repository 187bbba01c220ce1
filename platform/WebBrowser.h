#pragma once

#include <cstdint>
#include <functional>
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

// Dispatch ids of the browser's events.
inline constexpr DISPID DISPID_STATUSTEXTCHANGE = 102;
inline constexpr DISPID DISPID_DOWNLOADCOMPLETE = 104;
inline constexpr DISPID DISPID_COMMANDSTATECHANGE = 105;
inline constexpr DISPID DISPID_DOWNLOADBEGIN = 106;
inline constexpr DISPID DISPID_PROGRESSCHANGE = 108;
inline constexpr DISPID DISPID_PROPERTYCHANGE = 112;
inline constexpr DISPID DISPID_TITLECHANGE = 113;
inline constexpr DISPID DISPID_PRINTTEMPLATEINSTANTIATION = 225;
inline constexpr DISPID DISPID_PRINTTEMPLATETEARDOWN = 226;
inline constexpr DISPID DISPID_UPDATEPAGESTATUS = 227;
inline constexpr DISPID DISPID_BEFORENAVIGATE2 = 250;
inline constexpr DISPID DISPID_NEWWINDOW2 = 251;
inline constexpr DISPID DISPID_NAVIGATECOMPLETE2 = 252;
inline constexpr DISPID DISPID_ONQUIT = 253;
inline constexpr DISPID DISPID_ONVISIBLE = 254;
inline constexpr DISPID DISPID_ONTOOLBAR = 255;
inline constexpr DISPID DISPID_ONMENUBAR = 256;
inline constexpr DISPID DISPID_ONSTATUSBAR = 257;
inline constexpr DISPID DISPID_ONFULLSCREEN = 258;
inline constexpr DISPID DISPID_DOCUMENTCOMPLETE = 259;
inline constexpr DISPID DISPID_ONTHEATERMODE = 260;
inline constexpr DISPID DISPID_ONADDRESSBAR = 261;
inline constexpr DISPID DISPID_WINDOWSETRESIZABLE = 262;
inline constexpr DISPID DISPID_WINDOWCLOSING = 263;
inline constexpr DISPID DISPID_WINDOWSETLEFT = 264;
inline constexpr DISPID DISPID_WINDOWSETTOP = 265;
inline constexpr DISPID DISPID_WINDOWSETWIDTH = 266;
inline constexpr DISPID DISPID_WINDOWSETHEIGHT = 267;
inline constexpr DISPID DISPID_CLIENTTOHOSTWINDOW = 268;
inline constexpr DISPID DISPID_SETSECURELOCKICON = 269;
inline constexpr DISPID DISPID_FILEDOWNLOAD = 270;
inline constexpr DISPID DISPID_NAVIGATEERROR = 271;
inline constexpr DISPID DISPID_PRIVACYIMPACTEDSTATECHANGE = 272;
inline constexpr DISPID DISPID_NEWWINDOW3 = 273;

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

// An automation argument: not given (the error value automation passes for an omitted
// optional argument), empty, a 32-bit integer, a boolean, a text or an object.
struct TVariant {
    enum class TKind { vkNotGiven, vkEmpty, vkInt32, vkBool, vkText, vkObject };
    TKind Kind = TKind::vkEmpty;
    std::int32_t Int = 0;
    bool Bool = false;
    std::u16string Text;
    ComPtr<IUnknown> Object;

    static TVariant NotGiven() {
        TVariant r;
        r.Kind = TKind::vkNotGiven;
        return r;
    }
    static TVariant Int32(std::int32_t v) {
        TVariant r;
        r.Kind = TKind::vkInt32;
        r.Int = v;
        return r;
    }
    static TVariant Boolean(bool v) {
        TVariant r;
        r.Kind = TKind::vkBool;
        r.Bool = v;
        return r;
    }
};

// Command ids and options of ExecWB and of a command target's Exec.
inline constexpr DWORD OLECMDID_PRINTPREVIEW = 7;
inline constexpr DWORD OLECMDID_COPY = 12;
inline constexpr DWORD OLECMDID_ZOOM = 19;
inline constexpr DWORD OLECMDEXECOPT_DODEFAULT = 0;
inline constexpr DWORD OLECMDEXECOPT_PROMPTUSER = 1;
inline constexpr DWORD OLECMDEXECOPT_DONTPROMPTUSER = 2;
inline constexpr HRESULT OLECMDERR_E_NOTSUPPORTED = static_cast<HRESULT>(0x80040100);

// Command groups: the browser's (find is its command 1), the document host's (script errors
// are its command 40) and the shell's.
inline constexpr GUID CGID_IWebBrowser = GuidLiteral("{ED016940-BD5B-11CF-BA4E-00C04FD70816}");
inline constexpr DWORD HTMLID_FIND = 1;
inline constexpr GUID CGID_DocHostCommandHandler =
    GuidLiteral("{F38BC242-B950-11D1-8918-00C04FC2C836}");
inline constexpr DWORD OLECMDID_SHOWSCRIPTERROR = 40;
inline constexpr GUID CGID_Explorer = GuidLiteral("{000214D0-0000-0000-C000-000000000046}");

// One command of a QueryStatus request.
struct OLECMD {
    ULONG cmdID = 0;
    DWORD cmdf = 0;
};

// Commands addressed by group and id: the document answers the browser group's find, the
// host answers the document host's script-error command.
struct IOleCommandTarget : IUnknown {
    static constexpr IID kIID = GuidLiteral("{B722BCCB-4E68-101B-A2BC-00AA00404770}");
    virtual HRESULT QueryStatus(const GUID* pguidCmdGroup, ULONG cCmds, OLECMD* prgCmds) = 0;
    virtual HRESULT Exec(const GUID* pguidCmdGroup, DWORD nCmdID, DWORD nCmdexecopt,
                         TVariant* pvaIn, TVariant* pvaOut) = 0;

protected:
    ~IOleCommandTarget() = default;
};

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

    // The further arguments of the other events: the progress pair, a number (window left,
    // top, width or height, the page of a page-status change, the secure-lock icon), a flag
    // (visible, a bar shown, full screen, resizable, an active document, done, privacy
    // impacted), the client size in/out, the new window's automation object (in/out) and the
    // URL of the page that opens a new window. Text is also the changed property's name.
    std::int32_t Progress = 0;
    std::int32_t ProgressMax = 0;
    std::int32_t Number = 0;
    bool Flag = false;
    std::int32_t CX = 0;
    std::int32_t CY = 0;
    ComPtr<IUnknown> NewWindow;
    std::u16string UrlContext;
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
    // The current document's automation object (it answers IOleCommandTarget), or null (with
    // S_OK) when there is no document yet.
    virtual HRESULT get_Document(IUnknown** document) = 0;
    // Carries out one of the OLECMDID_ commands with the given option and arguments.
    virtual HRESULT ExecWB(DWORD cmdID, DWORD cmdexecopt, TVariant* pvaIn, TVariant* pvaOut) = 0;

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

// Where the keyboard is in the window, as far as the browser's widget knows: in the page, in
// a text field of the page that is being edited, in the find box, or elsewhere.
enum class TBrowserFocus { bfElsewhere, bfPage, bfPageTextField, bfFindBox };

// What the reader's window needs of the browser beyond automation: where the keyboard is, for
// the window's keys that also edit text; the find box, which Esc closes before it ends the
// viewer; whether a page's own print button prints; and the text-size steps of Ctrl+wheel.
struct IWebBrowserReader : IUnknown {
    static constexpr IID kIID = GuidLiteral("{6B0E3C5A-94D1-4F0B-8E27-3A5C1D9E7B42}");
    virtual HRESULT get_KeyboardFocus(TBrowserFocus& focus) = 0;
    // S_OK when the find box was open and is closed now, S_FALSE when it was not open.
    virtual HRESULT CloseFindBox() = 0;
    // Opens the find box on the current document with text and marks its matches, the first
    // one shown; the keyboard stays where it is.
    virtual HRESULT FindText(const std::u16string& text) = 0;
    virtual HRESULT put_PagePrintingAllowed(BOOL allowed) = 0;
    // Ctrl+wheel over the page: steps (+1 larger, -1 smaller) go to the handler, which answers
    // whether it took them; turns it does not take scroll the page. Null drops it.
    virtual HRESULT put_WheelZoomHandler(std::function<bool(int steps)> handler) = 0;

protected:
    ~IWebBrowserReader() = default;
};

inline constexpr IID IID_IWebBrowser2 = IWebBrowser2::kIID;
inline constexpr IID DIID_DWebBrowserEvents2 = DWebBrowserEvents2::kIID;
inline constexpr IID IID_IDocHostUIHandler = IDocHostUIHandler::kIID;
inline constexpr IID IID_IOleControl = IOleControl::kIID;

} // namespace kiva
