#pragma once

#include <string>
#include <vector>

#include "ComObj.h"
#include "WebBrowser.h"

namespace kiva::test {

// A browser control without a display: it records the host's calls, reads the host
// information when sited and when told of an ambient change, and raises events on demand.
class TFakeWebBrowser final : public TComObjectWith<IWebBrowser2, IOleControl> {
public:
    HRESULT Navigate(std::u16string_view url) override {
        Navigated.emplace_back(url);
        return NavigateResult;
    }
    HRESULT GoBack() override {
        ++BackCalls;
        return BackResult;
    }
    HRESULT GoForward() override {
        ++ForwardCalls;
        return ForwardResult;
    }
    HRESULT Stop() override { return S_OK; }
    HRESULT get_LocationURL(std::u16string& url) override {
        url = Location;
        return S_OK;
    }
    HRESULT get_Application(IUnknown** application) override {
        *application = nullptr;
        if (!HasApplication) {
            return S_OK;
        }
        if (ApplicationWithoutOleControl) {
            foreignApplication_.AddRef();
            *application = static_cast<ISupportErrorInfo*>(&foreignApplication_);
            return S_OK;
        }
        *application = static_cast<IWebBrowser2*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT get_Document(IUnknown** document) override {
        if (!document) {
            return E_POINTER;
        }
        *document = nullptr;
        if (SUCCEEDED(DocumentResult) && Document) {
            *document = Document.Get();
            Document->AddRef();
        }
        return DocumentResult;
    }
    HRESULT ExecWB(DWORD cmdID, DWORD option, TVariant* in, TVariant* out) override {
        Commands.push_back({cmdID, option, in ? *in : TVariant::NotGiven(),
                            out ? out->Kind : TVariant::TKind::vkNotGiven});
        if (out && SUCCEEDED(ExecWBResult)) {
            *out = ExecWBOutput;
        }
        return ExecWBResult;
    }
    HRESULT SetClientSite(IUnknown* site) override {
        Site = nullptr;
        if (site) {
            site->QueryInterface(IDocHostUIHandler::kIID, Site.ReleaseAndGetVoidAddress());
            ReadHostInfo();
        }
        return S_OK;
    }
    HRESULT Advise(DWebBrowserEvents2* sink) override {
        Sink = ComPtr<DWebBrowserEvents2>(sink);
        if (sink) {
            LastSink = Sink;
        }
        return S_OK;
    }
    void* NativeWidget() override { return this; }
    HRESULT OnAmbientPropertyChange(DISPID dispId) override {
        AmbientChanges.push_back(dispId);
        ReadHostInfo();
        return S_OK;
    }

    void ReadHostInfo() {
        HostInfo = DOCHOSTUIINFO();
        if (Site) {
            Site->GetHostInfo(HostInfo);
        }
    }
    // Raises an event on the advised sink and returns its parameters as the host left them.
    TWebBrowserEventParams Fire(DISPID dispId, TWebBrowserEventParams params = {}) {
        params.pDisp = static_cast<IWebBrowser2*>(this);
        if (Sink) {
            LastInvokeResult = Sink->Invoke(dispId, params);
        }
        return params;
    }

    // One ExecWB call as the control saw it.
    struct TCommand {
        DWORD ID;
        DWORD Option;
        TVariant In;
        TVariant::TKind OutKind;
    };
    std::vector<TCommand> Commands;
    HRESULT ExecWBResult = S_OK;
    TVariant ExecWBOutput;
    ComPtr<IUnknown> Document;
    HRESULT DocumentResult = S_OK;

    std::vector<std::u16string> Navigated;
    HRESULT NavigateResult = S_OK;
    int BackCalls = 0;
    int ForwardCalls = 0;
    HRESULT BackResult = S_OK;
    HRESULT ForwardResult = S_OK;
    std::u16string Location;
    bool HasApplication = true;
    bool ApplicationWithoutOleControl = false;
    std::vector<DISPID> AmbientChanges;
    ComPtr<IDocHostUIHandler> Site;
    ComPtr<DWebBrowserEvents2> Sink;
    ComPtr<DWebBrowserEvents2> LastSink;
    DOCHOSTUIINFO HostInfo;
    HRESULT LastInvokeResult = S_OK;

private:
    // An application object that answers nothing but IUnknown.
    class TForeign final : public TComObject {
    public:
        TForeign() { AddRef(); }
        ~TForeign() override = default;
    };
    TForeign foreignApplication_;
};

// An object of the browser's class that is no browser.
class TNotABrowser final : public TComObject {};

// Registers a class object for the browser's class id for the life of the object. Each
// created object is kept, so tests can look at the control the host made.
class TFakeBrowserClass final : public TComObjectWith<IClassFactory> {
public:
    explicit TFakeBrowserClass(bool realBrowser = true) : realBrowser_(realBrowser) {
        AddRef();
        CoRegisterClassObject(CLSID_WebBrowser, static_cast<IClassFactory*>(this),
                              CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    }
    ~TFakeBrowserClass() override { CoRevokeClassObject(cookie_); }

    HRESULT CreateInstance(IUnknown*, REFIID iid, void** object) override {
        ++Created;
        if (!realBrowser_) {
            ComPtr<TNotABrowser> other(new TNotABrowser());
            return other->QueryInterface(iid, object);
        }
        Last = ComPtr<TFakeWebBrowser>(new TFakeWebBrowser());
        return Last->QueryInterface(iid, object);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

    int Created = 0;
    ComPtr<TFakeWebBrowser> Last;

private:
    bool realBrowser_;
    DWORD cookie_ = 0;
};

} // namespace kiva::test
