#include "SecurityManager.h"

#include <cstring>
#include <optional>

namespace kiva {

DWORD UrlPolicyOf(TAllowDisAllowPolicyOption option) {
    return option == TAllowDisAllowPolicyOption::Allow ? URLPOLICY_ALLOW : URLPOLICY_DISALLOW;
}

DWORD UrlPolicyOf(TJavaPolicyOption option) {
    switch (option) {
    case TJavaPolicyOption::Prohibited:
        return URLPOLICY_JAVA_PROHIBIT;
    case TJavaPolicyOption::High:
        return URLPOLICY_JAVA_HIGH;
    case TJavaPolicyOption::Medium:
        return URLPOLICY_JAVA_MEDIUM;
    case TJavaPolicyOption::Low:
        return URLPOLICY_JAVA_LOW;
    case TJavaPolicyOption::Custom:
        return URLPOLICY_JAVA_CUSTOM;
    }
    return URLPOLICY_JAVA_PROHIBIT;
}

namespace {

// The policy value for an action the manager decides, nothing for one it leaves to the
// platform.
std::optional<DWORD> DecidedPolicy(const TUrlPolicyOptions& p, DWORD action) {
    if (action >= URLACTION_ACTIVEX_MIN && action <= URLACTION_ACTIVEX_MAX) {
        return UrlPolicyOf(p.ActiveX);
    }
    if ((action >= URLACTION_JAVA_MIN && action <= URLACTION_JAVA_MAX) ||
        action == URLACTION_HTML_JAVA_RUN) {
        return UrlPolicyOf(p.JavaPermissions);
    }
    if (action == URLACTION_HTML_SUBMIT_FORMS_FROM || action == URLACTION_HTML_SUBMIT_FORMS_TO) {
        return UrlPolicyOf(p.SubmitForms);
    }
    if (action == URLACTION_CROSS_DOMAIN_DATA) {
        return UrlPolicyOf(p.CrossDomainData);
    }
    if (action >= URLACTION_SCRIPT_MIN && action <= URLACTION_SCRIPT_MAX) {
        return UrlPolicyOf(p.Scripts);
    }
    return std::nullopt;
}

} // namespace

TSecurityManager::TSecurityManager(TComponent* owner)
    : TComponent(owner), urlPolicy_(std::make_unique<TUrlPolicyOptions>()) {}

TSecurityManager::~TSecurityManager() = default;

HRESULT TSecurityManager::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IInternetSecurityManager) {
        *object = static_cast<IInternetSecurityManager*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// The owner ends the component's life; references the browser holds keep nothing alive.
ULONG TSecurityManager::AddRef() {
    return static_cast<ULONG>(-1);
}

ULONG TSecurityManager::Release() {
    return static_cast<ULONG>(-1);
}

HRESULT TSecurityManager::SetSecuritySite(IInternetSecurityMgrSite* pSite) {
    return OnSetSecuritySite ? OnSetSecuritySite(pSite) : INET_E_DEFAULT_ACTION;
}

HRESULT TSecurityManager::GetSecuritySite(IInternetSecurityMgrSite** ppSite) {
    if (ppSite) {
        *ppSite = nullptr;
    }
    return OnGetSecuritySite ? OnGetSecuritySite(ppSite) : INET_E_DEFAULT_ACTION;
}

HRESULT TSecurityManager::MapUrlToZone(LPCWSTR pwszUrl, DWORD* pdwZone, DWORD dwFlags) {
    return OnMapUrlToZone ? OnMapUrlToZone(pwszUrl, pdwZone, dwFlags) : INET_E_DEFAULT_ACTION;
}

HRESULT TSecurityManager::GetSecurityId(LPCWSTR pwszUrl, BYTE* pbSecurityId, DWORD* pcbSecurityId,
                                        DWORD_PTR dwReserved) {
    return OnGetSecurityID ? OnGetSecurityID(pwszUrl, pbSecurityId, pcbSecurityId, dwReserved)
                           : INET_E_DEFAULT_ACTION;
}

HRESULT TSecurityManager::ProcessUrlAction(LPCWSTR pwszUrl, DWORD dwAction, BYTE* pPolicy,
                                           DWORD cbPolicy, BYTE* pContext, DWORD cbContext,
                                           DWORD dwFlags, DWORD dwReserved) {
    if (OnProcessUrlAction) {
        return OnProcessUrlAction(pwszUrl, dwAction, pPolicy, cbPolicy, pContext, cbContext,
                                  dwFlags, dwReserved);
    }
    const std::optional<DWORD> policy = DecidedPolicy(*urlPolicy_, dwAction);
    if (!policy) {
        return INET_E_DEFAULT_ACTION;
    }
    // A buffer without room for the value gets nothing; a missing one too.
    if (cbPolicy < sizeof(DWORD) || !pPolicy) {
        return S_FALSE;
    }
    const DWORD value = *policy;
    std::memcpy(pPolicy, &value, sizeof value);
    return S_OK;
}

HRESULT TSecurityManager::QueryCustomPolicy(LPCWSTR pwszUrl, REFGUID guidKey, BYTE** ppPolicy,
                                            DWORD* pcbPolicy, BYTE* pContext, DWORD cbContext,
                                            DWORD dwReserved) {
    return OnQueryCustomPolicy ? OnQueryCustomPolicy(pwszUrl, guidKey, ppPolicy, pcbPolicy,
                                                     pContext, cbContext, dwReserved)
                               : INET_E_DEFAULT_ACTION;
}

HRESULT TSecurityManager::SetZoneMapping(DWORD dwZone, LPCWSTR lpszPattern, DWORD dwFlags) {
    return OnSetZoneMapping ? OnSetZoneMapping(dwZone, lpszPattern, dwFlags)
                            : INET_E_DEFAULT_ACTION;
}

HRESULT TSecurityManager::GetZoneMappings(DWORD dwZone, IEnumString** ppenumString, DWORD dwFlags) {
    if (ppenumString) {
        *ppenumString = nullptr;
    }
    return OnGetZoneMappings ? OnGetZoneMappings(dwZone, ppenumString, dwFlags)
                             : INET_E_DEFAULT_ACTION;
}

} // namespace kiva
