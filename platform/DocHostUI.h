#pragma once

#include <cstdint>
#include <string>

#include "ComObj.h"
#include "InternetSecurity.h"
#include "WebBrowser.h"
#include "WinTypes.h"

namespace kiva {

// The questions the browser control puts to its host beyond the host-info record: context
// menus, keys, commands such as script errors, services, message boxes, drops, credentials
// and ambient properties. The host's client site answers them; the control asks through
// QueryInterface on the site, and for services through the site's IServiceProvider.

using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONG = std::int32_t;

inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHResult(0x80020003u);
inline constexpr HRESULT DISP_E_EXCEPTION = MakeHResult(0x80020009u);

struct POINT {
    LONG x = 0;
    LONG y = 0;
};

inline constexpr UINT WM_KEYDOWN = 0x0100;
inline constexpr UINT WM_KEYUP = 0x0101;
inline constexpr UINT WM_SYSKEYDOWN = 0x0104;
// The host's own notifications of key messages aimed at the browser's windows.
inline constexpr UINT CN_BASE = 0xBC00;
inline constexpr UINT CN_KEYDOWN = CN_BASE + WM_KEYDOWN;
inline constexpr UINT CN_KEYUP = CN_BASE + WM_KEYUP;

// Virtual-key codes that the host treats specially; letters and digits are their upper-case
// ASCII codes.
inline constexpr WPARAM VK_RETURN = 13;

// The modifier keys held down, as the keyboard stood when the key message was made.
inline constexpr DWORD KS_SHIFT = 0x1;
inline constexpr DWORD KS_ALT = 0x2;
inline constexpr DWORD KS_CTRL = 0x4;

// A key message: wParam is the virtual-key code, bits 16 to 23 of lParam the scan code, and
// KeyState the modifiers at that moment (the toolkit has no global keyboard to read later).
struct MSG {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DWORD time = 0;
    POINT pt;
    DWORD KeyState = 0;
};

// A message to the host control's window procedure; Result is what the sender gets back.
// KeyState holds the modifiers of a key message as the keyboard stood when it was made.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
    DWORD KeyState = 0;
};

// Context-menu ids the browser passes to ShowContextMenu.
inline constexpr DWORD CONTEXT_MENU_DEFAULT = 0;
inline constexpr DWORD CONTEXT_MENU_IMAGE = 1;
inline constexpr DWORD CONTEXT_MENU_CONTROL = 2;
inline constexpr DWORD CONTEXT_MENU_TABLE = 3;
inline constexpr DWORD CONTEXT_MENU_TEXTSELECT = 4;
inline constexpr DWORD CONTEXT_MENU_ANCHOR = 5;

// The rest of the document host's method table, after the host-info record.
struct IDocHostUIHandler2 : IDocHostUIHandler {
    static constexpr IID kIID = GuidLiteral("{3050F6D0-98B5-11CF-BB82-00AA00BDCE0B}");
    // S_OK: the host showed its own menu or none; S_FALSE: the browser shows its own.
    virtual HRESULT ShowContextMenu(DWORD dwID, const POINT* ppt, IUnknown* pcmdtReserved,
                                    IUnknown* pdispReserved) = 0;
    virtual HRESULT ShowUI(DWORD dwID, IUnknown* pActiveObject, IUnknown* pCommandTarget,
                           IUnknown* pFrame, IUnknown* pDoc) = 0;
    virtual HRESULT HideUI() = 0;
    virtual HRESULT UpdateUI() = 0;
    virtual HRESULT EnableModeless(BOOL fEnable) = 0;
    virtual HRESULT OnDocWindowActivate(BOOL fActivate) = 0;
    virtual HRESULT OnFrameWindowActivate(BOOL fActivate) = 0;
    virtual HRESULT ResizeBorder(const std::int32_t* prcBorder, IUnknown* pUIWindow,
                                 BOOL fRameWindow) = 0;
    // S_OK: the key was handled and the browser does nothing with it; S_FALSE: it goes on.
    virtual HRESULT TranslateAccelerator(const MSG* lpMsg, const GUID* pguidCmdGroup,
                                         DWORD nCmdID) = 0;
    virtual HRESULT GetOptionKeyPath(std::u16string& pchKey, DWORD dw) = 0;
    // E_NOTIMPL with a null out-value: the browser keeps its own drop target.
    virtual HRESULT GetDropTarget(IUnknown* pDropTarget, IUnknown** ppDropTarget) = 0;
    virtual HRESULT GetExternal(IUnknown** ppDispatch) = 0;
    virtual HRESULT TranslateUrl(DWORD dwTranslate, const std::u16string& pchURLIn,
                                 std::u16string& ppchURLOut) = 0;
    virtual HRESULT FilterDataObject(IUnknown* pDO, IUnknown** ppDORet) = 0;
    virtual HRESULT GetOverrideKeyPath(std::u16string& pchKey, DWORD dw) = 0;

protected:
    ~IDocHostUIHandler2() = default;
};

inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_OKCANCEL = 0x1;
inline constexpr UINT IDOK = 1;
inline constexpr UINT IDCANCEL = 2;

// Message boxes and help of the page. S_FALSE lets the browser show its own.
struct IDocHostShowUI : IUnknown {
    static constexpr IID kIID = GuidLiteral("{C4D244B0-D43E-11CF-893B-00AA00BDCE1A}");
    virtual HRESULT ShowMessage(void* hwnd, const std::u16string& lpstrText,
                                const std::u16string& lpstrCaption, DWORD dwType,
                                const std::u16string& lpstrHelpFile, DWORD dwHelpContext,
                                LRESULT* plResult) = 0;
    virtual HRESULT ShowHelp(void* hwnd, const std::u16string& pszHelpFile, UINT uCommand,
                             DWORD dwData, POINT ptMouse, IUnknown* pDispatchObjectHit) = 0;

protected:
    ~IDocHostShowUI() = default;
};

// Credentials for a server that asks for them; null texts leave the question to the user.
struct IAuthenticate : IUnknown {
    static constexpr IID kIID = GuidLiteral("{79EAC9D0-BAF9-11CE-8C82-00AA004BA90B}");
    virtual HRESULT Authenticate(void** phwnd, std::u16string* pszUsername,
                                 std::u16string* pszPassword, bool* pGiven) = 0;

protected:
    ~IAuthenticate() = default;
};

// Whether a page may take the keyboard focus.
struct IProtectFocus : IUnknown {
    static constexpr IID kIID = GuidLiteral("{D81F90A3-8156-44F7-AD28-5ABB87003274}");
    virtual HRESULT AllowFocusChange(BOOL* pfAllow) = 0;

protected:
    ~IProtectFocus() = default;
};

// A download the host takes over; E_NOTIMPL leaves it to the platform.
struct IDownloadManager : IUnknown {
    static constexpr IID kIID = GuidLiteral("{988934A4-064B-11D3-BB80-00104B35E7F9}");
    virtual HRESULT Download(IUnknown* pmk, IUnknown* pbc, DWORD dwBindVerb, LONG grfBINDF,
                             void* pBindInfo, const std::u16string& pszHeaders,
                             const std::u16string& pszRedir, UINT uiCP) = 0;

protected:
    ~IDownloadManager() = default;
};

struct INewWindowManager : IUnknown {
    static constexpr IID kIID = GuidLiteral("{D2BC4C84-3F72-4A52-A604-7BCBF3982CBB}");
    virtual HRESULT EvaluateNewWindow(const std::u16string& pszUrl, const std::u16string& pszName,
                                      const std::u16string& pszUrlContext,
                                      const std::u16string& pszFeatures, BOOL fReplace,
                                      DWORD dwFlags, DWORD dwUserActionTime) = 0;

protected:
    ~INewWindowManager() = default;
};

struct IZoomEvents : IUnknown {
    static constexpr IID kIID = GuidLiteral("{41B68150-904C-4E17-A0BA-A438182E359D}");
    virtual HRESULT OnZoomPercentChanged(ULONG ulZoomPercent) = 0;

protected:
    ~IZoomEvents() = default;
};

struct IHostBehaviorInit : IUnknown {
    static constexpr IID kIID = GuidLiteral("{3050F842-98B5-11CF-BB82-00AA00BDCE0B}");
    virtual HRESULT PopulateNamespaceTable() = 0;

protected:
    ~IHostBehaviorInit() = default;
};

// Window geometry a page's script asks for (window.moveTo and friends).
struct IHTMLOMWindowServices : IUnknown {
    static constexpr IID kIID = GuidLiteral("{3050F5FC-98B5-11CF-BB82-00AA00BDCE0B}");
    virtual HRESULT moveTo(LONG x, LONG y) = 0;
    virtual HRESULT moveBy(LONG x, LONG y) = 0;
    virtual HRESULT resizeTo(LONG x, LONG y) = 0;
    virtual HRESULT resizeBy(LONG x, LONG y) = 0;

protected:
    ~IHTMLOMWindowServices() = default;
};

inline constexpr DWORD DROPEFFECT_NONE = 0;

struct IDropTarget : IUnknown {
    static constexpr IID kIID = GuidLiteral("{00000122-0000-0000-C000-000000000046}");
    virtual HRESULT DragEnter(IUnknown* pDataObj, DWORD grfKeyState, POINT pt,
                              DWORD* pdwEffect) = 0;
    virtual HRESULT DragOver(DWORD grfKeyState, POINT pt, DWORD* pdwEffect) = 0;
    virtual HRESULT DragLeave() = 0;
    virtual HRESULT Drop(IUnknown* pDataObj, DWORD grfKeyState, POINT pt, DWORD* pdwEffect) = 0;

protected:
    ~IDropTarget() = default;
};

inline constexpr DISPID DISPID_AMBIENT_USERMODE = -709;
inline constexpr std::uint16_t DISPATCH_PROPERTYGET = 0x2;

// What Invoke reports when it fails with DISP_E_EXCEPTION.
struct EXCEPINFO {
    std::uint16_t wCode = 0;
    std::u16string bstrSource;
    std::u16string bstrDescription;
    std::u16string bstrHelpFile;
    DWORD dwHelpContext = 0;
    HRESULT scode = S_OK;
};

// The host's ambient properties, read by dispatch id.
struct IAmbientDispatch : IUnknown {
    static constexpr IID kIID = GuidLiteral("{00020400-0000-0000-C000-000000000046}");
    virtual HRESULT Invoke(DISPID dispIdMember, std::uint16_t wFlags, TVariant* pVarResult,
                           EXCEPINFO* pExcepInfo) = 0;

protected:
    ~IAmbientDispatch() = default;
};

// Messages for the host control's window procedure: the browser's key messages reach the
// host as CN_KEYDOWN and CN_KEYUP before the page sees them. Result 1 means swallowed.
struct IHostWindowProcedure : IUnknown {
    static constexpr IID kIID = GuidLiteral("{6B0E2D1A-5C3F-4E8B-9A71-2F4D8C6E0B13}");
    virtual HRESULT WindowProc(TMessage& message) = 0;

protected:
    ~IHostWindowProcedure() = default;
};

inline constexpr IID IID_IProtectFocus = IProtectFocus::kIID;
inline constexpr IID IID_IAuthenticate = IAuthenticate::kIID;
inline constexpr IID IID_IDownloadManager = IDownloadManager::kIID;
inline constexpr IID IID_INewWindowManager = INewWindowManager::kIID;
inline constexpr IID IID_IHostBehaviorInit = IHostBehaviorInit::kIID;
inline constexpr IID IID_IHTMLOMWindowServices = IHTMLOMWindowServices::kIID;

// The event object of a script error: its properties read by name ("errorMessage",
// "errorline", "errorCharacter", "errorCode", "errorUrl"). E_INVALIDARG for a name it lacks.
struct IScriptErrorEvent : IUnknown {
    static constexpr IID kIID = GuidLiteral("{A3C1F7E2-8D54-4B6A-9E20-71C5D3B8F0A4}");
    virtual HRESULT GetProperty(const std::u16string& name, TVariant& value) = 0;

protected:
    ~IScriptErrorEvent() = default;
};

// The browser's drop registration: whether dropped files and links reach the browser.
struct IWebBrowserDropRegistration : IUnknown {
    static constexpr IID kIID = GuidLiteral("{C0D7A2E5-1B39-4F6E-8A0D-5E2F9B4C7D61}");
    virtual HRESULT put_RegisterAsDropTarget(BOOL value) = 0;

protected:
    ~IWebBrowserDropRegistration() = default;
};

} // namespace kiva
