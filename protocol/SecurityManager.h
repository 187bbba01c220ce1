#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "Classes.h"
#include "InternetSecurity.h"

namespace kiva {

enum class TAllowDisAllowPolicyOption : std::uint8_t { Allow, Disallow };
enum class TJavaPolicyOption : std::uint8_t { Prohibited, High, Medium, Low, Custom };

// The fixed answers of the security manager, one per group of URL actions. A new object has
// every option at the first value of its type.
class TUrlPolicyOptions {
public:
    TAllowDisAllowPolicyOption ActiveX = TAllowDisAllowPolicyOption::Allow;
    TAllowDisAllowPolicyOption CrossDomainData = TAllowDisAllowPolicyOption::Allow;
    TJavaPolicyOption JavaPermissions = TJavaPolicyOption::Prohibited;
    TAllowDisAllowPolicyOption SubmitForms = TAllowDisAllowPolicyOption::Allow;
    TAllowDisAllowPolicyOption Scripts = TAllowDisAllowPolicyOption::Allow;
};

// The policy value the browser receives for an option.
DWORD UrlPolicyOf(TAllowDisAllowPolicyOption option);
DWORD UrlPolicyOf(TJavaPolicyOption option);

// The browser's security manager: a fixed policy for ActiveX, scripts, cross-domain data,
// form submission and Java, the same for every URL; every other question goes to the
// platform's defaults. Each method may be answered by its event instead. The component's life
// is its owner's: AddRef and Release count nothing.
class TSecurityManager : public TComponent, public IInternetSecurityManager {
public:
    using TSetSecuritySiteEvent = std::function<HRESULT(IInternetSecurityMgrSite* Site)>;
    using TGetSecuritySiteEvent = std::function<HRESULT(IInternetSecurityMgrSite** Site)>;
    using TMapUrlToZoneEvent =
        std::function<HRESULT(LPCWSTR pwszUrl, DWORD* dwZone, DWORD dwFlags)>;
    using TGetSecurityIdEvent = std::function<HRESULT(LPCWSTR pwszUrl, BYTE* pbSecurityId,
                                                      DWORD* cbSecurityId, DWORD_PTR dwReserved)>;
    using TProcessUrlActionEvent =
        std::function<HRESULT(LPCWSTR pwszUrl, DWORD dwAction, BYTE* pPolicy, DWORD cbPolicy,
                              BYTE* pContext, DWORD cbContext, DWORD dwFlags, DWORD dwReserved)>;
    using TQueryCustomPolicyEvent =
        std::function<HRESULT(LPCWSTR pwszUrl, REFGUID guidKey, BYTE** pPolicy, DWORD* cbPolicy,
                              BYTE* pContext, DWORD cbContext, DWORD dwReserved)>;
    using TSetZoneMappingEvent =
        std::function<HRESULT(DWORD dwZone, LPCWSTR lpszPattern, DWORD dwFlags)>;
    using TGetZoneMappingsEvent =
        std::function<HRESULT(DWORD dwZone, IEnumString** enumString, DWORD dwFlags)>;

    explicit TSecurityManager(TComponent* owner);
    ~TSecurityManager() override;

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT SetSecuritySite(IInternetSecurityMgrSite* pSite) override;
    HRESULT GetSecuritySite(IInternetSecurityMgrSite** ppSite) override;
    HRESULT MapUrlToZone(LPCWSTR pwszUrl, DWORD* pdwZone, DWORD dwFlags) override;
    HRESULT GetSecurityId(LPCWSTR pwszUrl, BYTE* pbSecurityId, DWORD* pcbSecurityId,
                          DWORD_PTR dwReserved) override;
    HRESULT ProcessUrlAction(LPCWSTR pwszUrl, DWORD dwAction, BYTE* pPolicy, DWORD cbPolicy,
                             BYTE* pContext, DWORD cbContext, DWORD dwFlags,
                             DWORD dwReserved) override;
    HRESULT QueryCustomPolicy(LPCWSTR pwszUrl, REFGUID guidKey, BYTE** ppPolicy, DWORD* pcbPolicy,
                              BYTE* pContext, DWORD cbContext, DWORD dwReserved) override;
    HRESULT SetZoneMapping(DWORD dwZone, LPCWSTR lpszPattern, DWORD dwFlags) override;
    HRESULT GetZoneMappings(DWORD dwZone, IEnumString** ppenumString, DWORD dwFlags) override;

    TSetSecuritySiteEvent OnSetSecuritySite;
    TGetSecuritySiteEvent OnGetSecuritySite;
    TMapUrlToZoneEvent OnMapUrlToZone;
    TGetSecurityIdEvent OnGetSecurityID;
    TProcessUrlActionEvent OnProcessUrlAction;
    TQueryCustomPolicyEvent OnQueryCustomPolicy;
    TSetZoneMappingEvent OnSetZoneMapping;
    TGetZoneMappingsEvent OnGetZoneMappings;

    TUrlPolicyOptions& UrlPolicy() { return *urlPolicy_; }
    const TUrlPolicyOptions& UrlPolicy() const { return *urlPolicy_; }

private:
    std::unique_ptr<TUrlPolicyOptions> urlPolicy_;
};

} // namespace kiva
