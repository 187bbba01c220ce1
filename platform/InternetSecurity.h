#pragma once

#include <cstdint>

#include "ComObj.h"
#include "WinTypes.h"

namespace kiva {

using DWORD_PTR = std::uintptr_t;

inline constexpr HRESULT INET_E_DEFAULT_ACTION = INET_E_USE_DEFAULT_PROTOCOLHANDLER;

// The URL-action questions the browser control puts to a security manager it obtained from
// its host. INET_E_DEFAULT_ACTION leaves a question to the platform's own answer.

struct IInternetSecurityMgrSite : IUnknown {
    static constexpr IID kIID = GuidLiteral("{79EAC9ED-BAF9-11CE-8C82-00AA004BA90B}");

protected:
    ~IInternetSecurityMgrSite() = default;
};

struct IEnumString : IUnknown {
    static constexpr IID kIID = GuidLiteral("{00000101-0000-0000-C000-000000000046}");

protected:
    ~IEnumString() = default;
};

struct IInternetSecurityManager : IUnknown {
    static constexpr IID kIID = GuidLiteral("{79EAC9EE-BAF9-11CE-8C82-00AA004BA90B}");
    virtual HRESULT SetSecuritySite(IInternetSecurityMgrSite* pSite) = 0;
    virtual HRESULT GetSecuritySite(IInternetSecurityMgrSite** ppSite) = 0;
    virtual HRESULT MapUrlToZone(LPCWSTR pwszUrl, DWORD* pdwZone, DWORD dwFlags) = 0;
    virtual HRESULT GetSecurityId(LPCWSTR pwszUrl, BYTE* pbSecurityId, DWORD* pcbSecurityId,
                                  DWORD_PTR dwReserved) = 0;
    virtual HRESULT ProcessUrlAction(LPCWSTR pwszUrl, DWORD dwAction, BYTE* pPolicy, DWORD cbPolicy,
                                     BYTE* pContext, DWORD cbContext, DWORD dwFlags,
                                     DWORD dwReserved) = 0;
    virtual HRESULT QueryCustomPolicy(LPCWSTR pwszUrl, REFGUID guidKey, BYTE** ppPolicy,
                                      DWORD* pcbPolicy, BYTE* pContext, DWORD cbContext,
                                      DWORD dwReserved) = 0;
    virtual HRESULT SetZoneMapping(DWORD dwZone, LPCWSTR lpszPattern, DWORD dwFlags) = 0;
    virtual HRESULT GetZoneMappings(DWORD dwZone, IEnumString** ppenumString, DWORD dwFlags) = 0;

protected:
    ~IInternetSecurityManager() = default;
};

inline constexpr IID IID_IInternetSecurityManager = IInternetSecurityManager::kIID;

// URL actions the browser asks about.
inline constexpr DWORD URLACTION_ACTIVEX_MIN = 0x1200;
inline constexpr DWORD URLACTION_ACTIVEX_MAX = 0x13FF;
inline constexpr DWORD URLACTION_SCRIPT_MIN = 0x1400;
inline constexpr DWORD URLACTION_SCRIPT_RUN = 0x1400;
inline constexpr DWORD URLACTION_CROSS_DOMAIN_DATA = 0x1406;
inline constexpr DWORD URLACTION_SCRIPT_MAX = 0x15FF;
inline constexpr DWORD URLACTION_HTML_SUBMIT_FORMS = 0x1601;
inline constexpr DWORD URLACTION_HTML_SUBMIT_FORMS_FROM = 0x1602;
inline constexpr DWORD URLACTION_HTML_SUBMIT_FORMS_TO = 0x1603;
inline constexpr DWORD URLACTION_HTML_JAVA_RUN = 0x1605;
inline constexpr DWORD URLACTION_JAVA_MIN = 0x1C00;
inline constexpr DWORD URLACTION_JAVA_MAX = 0x1CFF;

inline constexpr DWORD URLPOLICY_ALLOW = 0x00;
inline constexpr DWORD URLPOLICY_DISALLOW = 0x03;
inline constexpr DWORD URLPOLICY_JAVA_PROHIBIT = 0x0;
inline constexpr DWORD URLPOLICY_JAVA_HIGH = 0x00010000;
inline constexpr DWORD URLPOLICY_JAVA_MEDIUM = 0x00020000;
inline constexpr DWORD URLPOLICY_JAVA_LOW = 0x00030000;
inline constexpr DWORD URLPOLICY_JAVA_CUSTOM = 0x00800000;

} // namespace kiva
