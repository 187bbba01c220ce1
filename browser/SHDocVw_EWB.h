#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Classes.h"
#include "WinTypes.h"

namespace kiva {

struct IUnknown;
struct IWebBrowser2;
struct IWebBrowserReader;
enum class TBrowserFocus;
struct DOCHOSTUIINFO;
struct TWebBrowserEventParams;
struct TVariant;
template <class T> class ComPtr;

// Sends the error being handled to the default error display: an error that escapes a
// handler of the control's events or questions never travels back into the control. Call it
// only inside a catch block.
void ReportHandlerError() noexcept;

// The typed wrapper of the platform's browser control. It creates the control object from its
// class id on first use, keeps the control's default interface for its own life, acts as the
// control's client site and routes the control's events by dispatch id to the event
// properties below.
//
// Texts that the control hands over as wide strings reach the events as UTF-8; URLs given to
// the commands are UTF-8 too and travel to the control as UTF-16.
class TEWB : public TComponent {
public:
    using TStatusTextChangeEvent = std::function<void(TComponent* Sender, const std::string& Text)>;
    using TCommandStateChangeEvent =
        std::function<void(TComponent* Sender, std::int32_t Command, bool Enable)>;
    using TTitleChangeEvent = std::function<void(TComponent* Sender, const std::string& Text)>;
    // URL may be changed by the handler; the browser goes on with the URL it had.
    using TBeforeNavigate2Event =
        std::function<void(TComponent* Sender, IUnknown* pDisp, std::string& URL,
                           std::int32_t Flags, const std::string& TargetFrameName,
                           const std::string& PostData, const std::string& Headers, bool& Cancel)>;
    using TNavigateComplete2Event =
        std::function<void(TComponent* Sender, IUnknown* pDisp, const std::string& URL)>;
    using TDocumentCompleteEvent =
        std::function<void(TComponent* Sender, IUnknown* pDisp, const std::string& URL)>;
    using TWindowClosingEvent =
        std::function<void(TComponent* Sender, bool IsChildWindow, bool& Cancel)>;
    using TNavigateErrorEvent =
        std::function<void(TComponent* Sender, IUnknown* pDisp, const std::string& URL,
                           const std::string& Frame, std::int32_t StatusCode, bool& Cancel)>;

    explicit TEWB(TComponent* owner);
    ~TEWB() override;

    // The control's default interface, created and cast on the first call and kept afterwards.
    // A control that cannot be created or does not offer the interface raises kiva::Exception.
    IWebBrowser2* DefaultInterface();
    // True once the control object exists.
    bool HasControl() const;

    // Commands. Navigate raises the control's failure code as an error; GoBack and GoForward
    // swallow the failure the control gives when there is no page in that direction.
    void Navigate(const std::string& URL);
    void GoBack();
    void GoForward();
    // The URL of the current document ("" before the first one).
    std::string LocationURL();

    // The toolkit's widget of the control (creating the control when needed), for the window
    // to pack; null when the control has none.
    void* NativeWidget();

    // What the reader's window needs of the control beyond automation (its IWebBrowserReader):
    // where the keyboard is, the find box (false when it was not open), whether a page's own
    // print button prints, and Ctrl+wheel's text-size steps. A control without that
    // interface has the keyboard elsewhere, no find box, and ignores the rest.
    TBrowserFocus KeyboardFocus();
    bool CloseFindBox();
    // Opens the find box with text and marks its matches; nothing without the interface.
    void FindText(const std::string& text);
    void SetPagePrintingAllowed(bool allowed);
    void SetWheelZoomHandler(std::function<bool(int steps)> handler);

    // One of the control's OLECMDID_ commands with the given option; input and output are
    // empty unless given. A failure code of the control is raised as kiva::Exception.
    void ExecWB(std::uint32_t cmdID, std::uint32_t cmdexecopt);
    void ExecWB(std::uint32_t cmdID, std::uint32_t cmdexecopt, TVariant& pvaIn);
    void ExecWB(std::uint32_t cmdID, std::uint32_t cmdexecopt, TVariant& pvaIn, TVariant& pvaOut);
    // The Document property: the current document's automation object, null before the first
    // document. The Application property: the browser's own automation object. Both raise
    // the control's failure code.
    ComPtr<IUnknown> Document();
    ComPtr<IUnknown> Application();

    TStatusTextChangeEvent OnStatusTextChange;
    TCommandStateChangeEvent OnCommandStateChange;
    TTitleChangeEvent OnTitleChange;
    TBeforeNavigate2Event OnBeforeNavigate2;
    TNavigateComplete2Event OnNavigateComplete2;
    TDocumentCompleteEvent OnDocumentComplete;
    TWindowClosingEvent OnWindowClosing;
    TNavigateErrorEvent OnNavigateError;

    // The rest of the control's events, in the order of its event table.
    using TNotifyEvent = std::function<void(TComponent* Sender)>;
    using TProgressChangeEvent =
        std::function<void(TComponent* Sender, std::int32_t Progress, std::int32_t ProgressMax)>;
    using TPropertyChangeEvent =
        std::function<void(TComponent* Sender, const std::string& szProperty)>;
    // The handler may supply the new window's automation object or cancel the window.
    using TNewWindow2Event =
        std::function<void(TComponent* Sender, IUnknown*& ppDisp, bool& Cancel)>;
    using TBoolEvent = std::function<void(TComponent* Sender, bool Value)>;
    using TIntegerEvent = std::function<void(TComponent* Sender, std::int32_t Value)>;
    using TClientToHostWindowEvent =
        std::function<void(TComponent* Sender, std::int32_t& CX, std::int32_t& CY)>;
    using TFileDownloadEvent =
        std::function<void(TComponent* Sender, bool ActiveDocument, bool& Cancel)>;
    using TDispEvent = std::function<void(TComponent* Sender, IUnknown* pDisp)>;
    using TUpdatePageStatusEvent =
        std::function<void(TComponent* Sender, IUnknown* pDisp, std::int32_t nPage, bool fDone)>;
    using TNewWindow3Event = std::function<void(
        TComponent* Sender, IUnknown*& ppDisp, bool& Cancel, std::uint32_t dwFlags,
        const std::string& bstrUrlContext, const std::string& bstrUrl)>;
    // The browser asks its host for a service; the handler may put an object into Obj, with
    // a reference for the caller as QueryInterface gives one.
    using TQueryServiceEvent =
        std::function<void(TComponent* Sender, const GUID& rsid, const GUID& iid, IUnknown*& Obj)>;

    TProgressChangeEvent OnProgressChange;
    TNotifyEvent OnDownloadBegin;
    TNotifyEvent OnDownloadComplete;
    TPropertyChangeEvent OnPropertyChange;
    TNewWindow2Event OnNewWindow2;
    TNotifyEvent OnQuit;
    TBoolEvent OnVisible;
    TBoolEvent OnToolBar;
    TBoolEvent OnMenuBar;
    TBoolEvent OnStatusBar;
    TBoolEvent OnFullScreen;
    TBoolEvent OnTheaterMode;
    TBoolEvent OnAddressBar;
    TBoolEvent OnWindowSetResizable;
    TIntegerEvent OnWindowSetLeft;
    TIntegerEvent OnWindowSetTop;
    TIntegerEvent OnWindowSetWidth;
    TIntegerEvent OnWindowSetHeight;
    TClientToHostWindowEvent OnClientToHostWindow;
    TIntegerEvent OnSetSecureLockIcon;
    TFileDownloadEvent OnFileDownload;
    TDispEvent OnPrintTemplateInstantiation;
    TDispEvent OnPrintTemplateTeardown;
    TUpdatePageStatusEvent OnUpdatePageStatus;
    TBoolEvent OnPrivacyImpactedStateChange;
    TNewWindow3Event OnNewWindow3;
    TQueryServiceEvent OnQueryService;

    // The dispatch ids of the event table, in its order.
    static const std::int32_t* EventDispIds(int& count);

protected:
    // The object that answers the host interfaces beyond the events and the host-info record
    // (context menus, keys, commands, services...), asked whenever the control looks for one
    // of them on the client site; the bare wrapper has none.
    virtual IUnknown* HostInterfaces();

    // Tells the browser that an ambient property changed, through its Application object's
    // IOleControl. Raises when the control cannot be created, has no Application object or
    // that object offers no IOleControl.
    void AmbientPropertyChanged(std::int32_t dispId);

    // The host-info answer of the client site; the base gives the record as it came.
    virtual void GetHostInfo(DOCHOSTUIINFO& info);
    // Routes one event of the control to its event property. Unknown ids are ignored.
    virtual void InvokeEvent(std::int32_t dispId, TWebBrowserEventParams& params);

private:
    ComPtr<IWebBrowserReader> Reader();

    class TSite;
    struct TState;
    std::unique_ptr<TState> state_;
};

} // namespace kiva
