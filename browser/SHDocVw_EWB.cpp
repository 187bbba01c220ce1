#include "SHDocVw_EWB.h"

#include <array>
#include <cstdio>
#include <exception>

#include "ComObj.h"
#include "Dialogs.h"
#include "WebBrowser.h"

namespace kiva {

namespace {

// The system's text for the failure codes the control's creation and commands give.
std::string OleErrorMessage(HRESULT hr) {
    switch (hr) {
    case REGDB_E_CLASSNOTREG:
        return "Class not registered";
    case CLASS_E_CLASSNOTAVAILABLE:
        return "ClassFactory cannot supply requested class";
    case E_NOINTERFACE:
        return "Interface not supported";
    case E_NOTIMPL:
        return "Not implemented";
    case E_INVALIDARG:
        return "The parameter is incorrect";
    case E_OUTOFMEMORY:
        return "Not enough memory is available to complete this operation";
    case E_FAIL:
        return "Unspecified error";
    default:
        break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "OLE error %08X", static_cast<unsigned>(hr));
    return text;
}

void OleCheck(HRESULT hr) {
    if (FAILED(hr)) {
        throw Exception(OleErrorMessage(hr));
    }
}

} // namespace

void ReportHandlerError() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        ShowDefaultError(e.what());
    } catch (...) {
        ShowDefaultError("Unknown error");
    }
}

// The client site and event sink the control talks to. The control may hold it longer than
// the host lives, so the host detaches it when it goes and later calls find nobody.
class TEWB::TSite final : public TComObjectWith<DWebBrowserEvents2, IDocHostUIHandler> {
public:
    explicit TSite(TEWB* host) : host_(host) {}
    void Detach() { host_ = nullptr; }

    // The host interfaces beyond these two come from the host's own object, which counts its
    // references itself.
    HRESULT QueryInterface(REFIID iid, void** object) override {
        const HRESULT hr = TComObjectWith::QueryInterface(iid, object);
        if (hr != E_NOINTERFACE || !host_) {
            return hr;
        }
        IUnknown* more = host_->HostInterfaces();
        return more ? more->QueryInterface(iid, object) : hr;
    }

    HRESULT Invoke(DISPID dispIdMember, TWebBrowserEventParams& params) override {
        if (!host_ || host_->IsDestroying()) {
            return S_OK;
        }
        try {
            host_->InvokeEvent(dispIdMember, params);
        } catch (...) {
            ReportHandlerError();
        }
        return S_OK;
    }

    HRESULT GetHostInfo(DOCHOSTUIINFO& info) override {
        if (!host_) {
            return E_NOTIMPL;
        }
        try {
            host_->GetHostInfo(info);
        } catch (...) {
            ReportHandlerError();
        }
        return S_OK;
    }

private:
    TEWB* host_;
};

struct TEWB::TState {
    ComPtr<TSite> site;
    ComPtr<IUnknown> control;
    ComPtr<IWebBrowser2> intf;
};

TEWB::TEWB(TComponent* owner) : TComponent(owner), state_(std::make_unique<TState>()) {
    state_->site = ComPtr<TSite>(new TSite(this));
}

TEWB::~TEWB() {
    Destroying();
    if (state_->intf) {
        state_->intf->Advise(nullptr);
        state_->intf->SetClientSite(nullptr);
    }
    state_->site->Detach();
}

bool TEWB::HasControl() const {
    return static_cast<bool>(state_->control);
}

IWebBrowser2* TEWB::DefaultInterface() {
    if (state_->intf) {
        return state_->intf.Get();
    }
    if (!state_->control) {
        ComPtr<IUnknown> control;
        OleCheck(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  control.ReleaseAndGetVoidAddress()));
        if (!control) {
            throw Exception(OleErrorMessage(E_POINTER));
        }
        state_->control = std::move(control);
    }
    ComPtr<IWebBrowser2> intf;
    if (FAILED(state_->control.As(intf)) || !intf) {
        throw Exception("Interface not supported");
    }
    // Events and host questions can only reach a sited, advised control.
    OleCheck(intf->SetClientSite(static_cast<IDocHostUIHandler*>(state_->site.Get())));
    OleCheck(intf->Advise(state_->site.Get()));
    state_->intf = std::move(intf);
    return state_->intf.Get();
}

void TEWB::Navigate(const std::string& URL) {
    OleCheck(DefaultInterface()->Navigate(AnsiToWide(URL)));
}

void TEWB::GoBack() {
    // Without a page behind the current one the control fails; that is no error to the user.
    try {
        DefaultInterface()->GoBack();
    } catch (const Exception&) {
    }
}

void TEWB::GoForward() {
    try {
        DefaultInterface()->GoForward();
    } catch (const Exception&) {
    }
}

std::string TEWB::LocationURL() {
    std::u16string url;
    OleCheck(DefaultInterface()->get_LocationURL(url));
    return WideToAnsi(url);
}

void* TEWB::NativeWidget() {
    return DefaultInterface()->NativeWidget();
}

ComPtr<IWebBrowserReader> TEWB::Reader() {
    ComPtr<IWebBrowserReader> reader;
    DefaultInterface()->QueryInterface(IWebBrowserReader::kIID, reader.ReleaseAndGetVoidAddress());
    return reader;
}

TBrowserFocus TEWB::KeyboardFocus() {
    TBrowserFocus focus = TBrowserFocus::bfElsewhere;
    if (ComPtr<IWebBrowserReader> reader = Reader()) {
        OleCheck(reader->get_KeyboardFocus(focus));
    }
    return focus;
}

void TEWB::FindText(const std::string& text) {
    if (ComPtr<IWebBrowserReader> reader = Reader()) {
        reader->FindText(AnsiToWide(text));
    }
}

bool TEWB::CloseFindBox() {
    ComPtr<IWebBrowserReader> reader = Reader();
    return reader && reader->CloseFindBox() == S_OK;
}

void TEWB::SetPagePrintingAllowed(bool allowed) {
    if (ComPtr<IWebBrowserReader> reader = Reader()) {
        OleCheck(reader->put_PagePrintingAllowed(allowed ? TRUE : FALSE));
    }
}

void TEWB::SetWheelZoomHandler(std::function<bool(int steps)> handler) {
    if (ComPtr<IWebBrowserReader> reader = Reader()) {
        OleCheck(reader->put_WheelZoomHandler(std::move(handler)));
    }
}

void TEWB::ExecWB(std::uint32_t cmdID, std::uint32_t cmdexecopt) {
    TVariant in;
    TVariant out;
    ExecWB(cmdID, cmdexecopt, in, out);
}

void TEWB::ExecWB(std::uint32_t cmdID, std::uint32_t cmdexecopt, TVariant& pvaIn) {
    TVariant out;
    ExecWB(cmdID, cmdexecopt, pvaIn, out);
}

void TEWB::ExecWB(std::uint32_t cmdID, std::uint32_t cmdexecopt, TVariant& pvaIn,
                  TVariant& pvaOut) {
    OleCheck(DefaultInterface()->ExecWB(cmdID, cmdexecopt, &pvaIn, &pvaOut));
}

ComPtr<IUnknown> TEWB::Document() {
    ComPtr<IUnknown> document;
    OleCheck(DefaultInterface()->get_Document(document.ReleaseAndGetAddressOf()));
    return document;
}

ComPtr<IUnknown> TEWB::Application() {
    ComPtr<IUnknown> application;
    OleCheck(DefaultInterface()->get_Application(application.ReleaseAndGetAddressOf()));
    return application;
}

void TEWB::AmbientPropertyChanged(std::int32_t dispId) {
    ComPtr<IUnknown> application;
    const HRESULT hr = DefaultInterface()->get_Application(application.ReleaseAndGetAddressOf());
    ComPtr<IOleControl> control;
    if (FAILED(hr) || !application || FAILED(application.As(control)) || !control) {
        throw Exception("Interface not supported");
    }
    // The control answers in its own time; what it returns here is of no consequence.
    control->OnAmbientPropertyChange(dispId);
}

void TEWB::GetHostInfo(DOCHOSTUIINFO&) {}

namespace {

// The events that carry a new window's automation object in and out.
IUnknown* NewWindowIn(TWebBrowserEventParams& p) {
    return p.NewWindow.Get();
}

void NewWindowOut(TWebBrowserEventParams& p, IUnknown* disp) {
    if (disp != p.NewWindow.Get()) {
        p.NewWindow = ComPtr<IUnknown>(disp);
    }
}

struct TEventEntry {
    DISPID DispId;
    void (*Raise)(TEWB& wb, TWebBrowserEventParams& p);
};

// The event table: each dispatch id raises the event of the same position.
const TEventEntry kEventTable[] = {
    {DISPID_STATUSTEXTCHANGE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnStatusTextChange) {
             wb.OnStatusTextChange(&wb, WideToAnsi(p.Text));
         }
     }},
    {DISPID_PROGRESSCHANGE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnProgressChange) {
             wb.OnProgressChange(&wb, p.Progress, p.ProgressMax);
         }
     }},
    {DISPID_COMMANDSTATECHANGE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnCommandStateChange) {
             wb.OnCommandStateChange(&wb, p.Command, p.Enable);
         }
     }},
    {DISPID_DOWNLOADBEGIN,
     [](TEWB& wb, TWebBrowserEventParams&) {
         if (wb.OnDownloadBegin) {
             wb.OnDownloadBegin(&wb);
         }
     }},
    {DISPID_DOWNLOADCOMPLETE,
     [](TEWB& wb, TWebBrowserEventParams&) {
         if (wb.OnDownloadComplete) {
             wb.OnDownloadComplete(&wb);
         }
     }},
    {DISPID_TITLECHANGE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnTitleChange) {
             wb.OnTitleChange(&wb, WideToAnsi(p.Text));
         }
     }},
    {DISPID_PROPERTYCHANGE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnPropertyChange) {
             wb.OnPropertyChange(&wb, WideToAnsi(p.Text));
         }
     }},
    {DISPID_BEFORENAVIGATE2,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnBeforeNavigate2) {
             std::string url = WideToAnsi(p.URL);
             wb.OnBeforeNavigate2(&wb, p.pDisp, url, p.Flags, WideToAnsi(p.TargetFrameName),
                                  p.PostData, WideToAnsi(p.Headers), p.Cancel);
         }
     }},
    {DISPID_NEWWINDOW2,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnNewWindow2) {
             IUnknown* disp = NewWindowIn(p);
             wb.OnNewWindow2(&wb, disp, p.Cancel);
             NewWindowOut(p, disp);
         }
     }},
    {DISPID_NAVIGATECOMPLETE2,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnNavigateComplete2) {
             wb.OnNavigateComplete2(&wb, p.pDisp, WideToAnsi(p.URL));
         }
     }},
    {DISPID_DOCUMENTCOMPLETE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnDocumentComplete) {
             wb.OnDocumentComplete(&wb, p.pDisp, WideToAnsi(p.URL));
         }
     }},
    {DISPID_ONQUIT,
     [](TEWB& wb, TWebBrowserEventParams&) {
         if (wb.OnQuit) {
             wb.OnQuit(&wb);
         }
     }},
    {DISPID_ONVISIBLE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnVisible) {
             wb.OnVisible(&wb, p.Flag);
         }
     }},
    {DISPID_ONTOOLBAR,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnToolBar) {
             wb.OnToolBar(&wb, p.Flag);
         }
     }},
    {DISPID_ONMENUBAR,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnMenuBar) {
             wb.OnMenuBar(&wb, p.Flag);
         }
     }},
    {DISPID_ONSTATUSBAR,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnStatusBar) {
             wb.OnStatusBar(&wb, p.Flag);
         }
     }},
    {DISPID_ONFULLSCREEN,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnFullScreen) {
             wb.OnFullScreen(&wb, p.Flag);
         }
     }},
    {DISPID_ONTHEATERMODE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnTheaterMode) {
             wb.OnTheaterMode(&wb, p.Flag);
         }
     }},
    {DISPID_ONADDRESSBAR,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnAddressBar) {
             wb.OnAddressBar(&wb, p.Flag);
         }
     }},
    {DISPID_WINDOWSETRESIZABLE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnWindowSetResizable) {
             wb.OnWindowSetResizable(&wb, p.Flag);
         }
     }},
    {DISPID_WINDOWSETLEFT,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnWindowSetLeft) {
             wb.OnWindowSetLeft(&wb, p.Number);
         }
     }},
    {DISPID_WINDOWSETTOP,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnWindowSetTop) {
             wb.OnWindowSetTop(&wb, p.Number);
         }
     }},
    {DISPID_WINDOWSETWIDTH,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnWindowSetWidth) {
             wb.OnWindowSetWidth(&wb, p.Number);
         }
     }},
    {DISPID_WINDOWSETHEIGHT,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnWindowSetHeight) {
             wb.OnWindowSetHeight(&wb, p.Number);
         }
     }},
    {DISPID_WINDOWCLOSING,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnWindowClosing) {
             wb.OnWindowClosing(&wb, p.IsChildWindow, p.Cancel);
         }
     }},
    {DISPID_CLIENTTOHOSTWINDOW,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnClientToHostWindow) {
             wb.OnClientToHostWindow(&wb, p.CX, p.CY);
         }
     }},
    {DISPID_SETSECURELOCKICON,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnSetSecureLockIcon) {
             wb.OnSetSecureLockIcon(&wb, p.Number);
         }
     }},
    {DISPID_FILEDOWNLOAD,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnFileDownload) {
             wb.OnFileDownload(&wb, p.Flag, p.Cancel);
         }
     }},
    {DISPID_NAVIGATEERROR,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnNavigateError) {
             wb.OnNavigateError(&wb, p.pDisp, WideToAnsi(p.URL), WideToAnsi(p.TargetFrameName),
                                p.StatusCode, p.Cancel);
         }
     }},
    {DISPID_PRINTTEMPLATEINSTANTIATION,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnPrintTemplateInstantiation) {
             wb.OnPrintTemplateInstantiation(&wb, p.pDisp);
         }
     }},
    {DISPID_PRINTTEMPLATETEARDOWN,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnPrintTemplateTeardown) {
             wb.OnPrintTemplateTeardown(&wb, p.pDisp);
         }
     }},
    {DISPID_UPDATEPAGESTATUS,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnUpdatePageStatus) {
             wb.OnUpdatePageStatus(&wb, p.pDisp, p.Number, p.Flag);
         }
     }},
    {DISPID_PRIVACYIMPACTEDSTATECHANGE,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnPrivacyImpactedStateChange) {
             wb.OnPrivacyImpactedStateChange(&wb, p.Flag);
         }
     }},
    {DISPID_NEWWINDOW3,
     [](TEWB& wb, TWebBrowserEventParams& p) {
         if (wb.OnNewWindow3) {
             IUnknown* disp = NewWindowIn(p);
             wb.OnNewWindow3(&wb, disp, p.Cancel, static_cast<std::uint32_t>(p.Flags),
                             WideToAnsi(p.UrlContext), WideToAnsi(p.URL));
             NewWindowOut(p, disp);
         }
     }},
};

constexpr int kEventCount = static_cast<int>(sizeof kEventTable / sizeof kEventTable[0]);
static_assert(kEventCount == 34);

const std::array<DISPID, kEventCount>& EventIds() {
    static const std::array<DISPID, kEventCount> ids = [] {
        std::array<DISPID, kEventCount> r{};
        for (int i = 0; i < kEventCount; ++i) {
            r[static_cast<std::size_t>(i)] = kEventTable[i].DispId;
        }
        return r;
    }();
    return ids;
}

} // namespace

const std::int32_t* TEWB::EventDispIds(int& count) {
    count = kEventCount;
    return EventIds().data();
}

IUnknown* TEWB::HostInterfaces() {
    return nullptr;
}

void TEWB::InvokeEvent(std::int32_t dispId, TWebBrowserEventParams& p) {
    for (const TEventEntry& entry : kEventTable) {
        if (entry.DispId == dispId) {
            entry.Raise(*this, p);
            return;
        }
    }
}

} // namespace kiva
