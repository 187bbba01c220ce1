#include "SHDocVw_EWB.h"

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

// An error that escapes an event handler goes to the default error display, as it would from
// any other handler; it never travels back into the control.
void ReportHandlerError() noexcept {
    try {
        throw;
    } catch (const Exception& e) {
        ShowDefaultError(e.Message());
    } catch (const std::exception& e) {
        ShowDefaultError(e.what());
    } catch (...) {
        ShowDefaultError("Unknown error");
    }
}

} // namespace

// The client site and event sink the control talks to. The control may hold it longer than
// the host lives, so the host detaches it when it goes and later calls find nobody.
class TEWB::TSite final : public TComObjectWith<DWebBrowserEvents2, IDocHostUIHandler> {
public:
    explicit TSite(TEWB* host) : host_(host) {}
    void Detach() { host_ = nullptr; }

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

void TEWB::InvokeEvent(std::int32_t dispId, TWebBrowserEventParams& p) {
    switch (dispId) {
    case DISPID_STATUSTEXTCHANGE:
        if (OnStatusTextChange) {
            OnStatusTextChange(this, WideToAnsi(p.Text));
        }
        break;
    case DISPID_COMMANDSTATECHANGE:
        if (OnCommandStateChange) {
            OnCommandStateChange(this, p.Command, p.Enable);
        }
        break;
    case DISPID_TITLECHANGE:
        if (OnTitleChange) {
            OnTitleChange(this, WideToAnsi(p.Text));
        }
        break;
    case DISPID_BEFORENAVIGATE2:
        if (OnBeforeNavigate2) {
            std::string url = WideToAnsi(p.URL);
            OnBeforeNavigate2(this, p.pDisp, url, p.Flags, WideToAnsi(p.TargetFrameName),
                              p.PostData, WideToAnsi(p.Headers), p.Cancel);
        }
        break;
    case DISPID_NAVIGATECOMPLETE2:
        if (OnNavigateComplete2) {
            OnNavigateComplete2(this, p.pDisp, WideToAnsi(p.URL));
        }
        break;
    case DISPID_DOCUMENTCOMPLETE:
        if (OnDocumentComplete) {
            OnDocumentComplete(this, p.pDisp, WideToAnsi(p.URL));
        }
        break;
    case DISPID_WINDOWCLOSING:
        if (OnWindowClosing) {
            OnWindowClosing(this, p.IsChildWindow, p.Cancel);
        }
        break;
    case DISPID_NAVIGATEERROR:
        if (OnNavigateError) {
            OnNavigateError(this, p.pDisp, WideToAnsi(p.URL), WideToAnsi(p.TargetFrameName),
                            p.StatusCode, p.Cancel);
        }
        break;
    default:
        break;
    }
}

} // namespace kiva
