#include "WebKitSite.h"

#include "SysUtils.h"

namespace kiva {

void TWebKitSite::SetClientSite(IUnknown* site) {
    host_ = nullptr;
    site_ = ComPtr<IUnknown>(site);
    if (site) {
        site->QueryInterface(IDocHostUIHandler::kIID, host_.ReleaseAndGetVoidAddress());
    }
}

void TWebKitSite::Fire(DISPID dispId, TWebBrowserEventParams& params) {
    ComPtr<IWebBrowser2> keepAlive(control_);
    ComPtr<DWebBrowserEvents2> sink = sink_;
    if (sink) {
        params.pDisp = control_;
        sink->Invoke(dispId, params);
    }
}

DOCHOSTUIINFO TWebKitSite::HostInfo() const {
    DOCHOSTUIINFO info;
    if (host_ && FAILED(host_->GetHostInfo(info))) {
        info = DOCHOSTUIINFO();
    }
    return info;
}

bool TWebKitSite::UrlActionAllowed(const std::string& url, DWORD action) const {
    ComPtr<IInternetSecurityManager> manager;
    if (ComPtr<IServiceProvider> services = As<IServiceProvider>()) {
        services->QueryService(IID_IInternetSecurityManager, IID_IInternetSecurityManager,
                               manager.ReleaseAndGetVoidAddress());
    }
    if (!manager) {
        return true;
    }
    DWORD policy = URLPOLICY_ALLOW;
    const std::u16string wide = AnsiToWide(url);
    const HRESULT hr = manager->ProcessUrlAction(
        wide.c_str(), action, reinterpret_cast<BYTE*>(&policy), sizeof policy, nullptr, 0, 0, 0);
    return hr != S_OK || policy == URLPOLICY_ALLOW;
}

DWORD TWebKitSite::AmbientDownloadControl() const {
    constexpr DWORD kDefaultDownloadControl = DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS;
    if (ComPtr<IAmbientDispatch> ambient = As<IAmbientDispatch>()) {
        TVariant value;
        if (ambient->Invoke(DISPID_AMBIENT_DLCONTROL, DISPATCH_PROPERTYGET, &value, nullptr) ==
                S_OK &&
            value.Kind == TVariant::TKind::vkInt32) {
            return static_cast<DWORD>(value.Int);
        }
    }
    return kDefaultDownloadControl;
}

std::string TWebKitSite::AmbientUserAgent() const {
    std::string text;
    if (ComPtr<IAmbientDispatch> ambient = As<IAmbientDispatch>()) {
        TVariant agent;
        if (ambient->Invoke(DISPID_AMBIENT_USERAGENT, DISPATCH_PROPERTYGET, &agent, nullptr) ==
                S_OK &&
            agent.Kind == TVariant::TKind::vkText) {
            text = WideToAnsi(agent.Text);
        }
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

} // namespace kiva
