#include "EwbCore.h"

#include <array>
#include <exception>

#include "Dialogs.h"
#include "Shell.h"
#include "WebBrowser.h"

namespace kiva {

namespace {

// Flag values by member ordinal; the gap at 0x8000 has no member.
constexpr std::array<std::uint32_t, 29> kHostInfoFlagValues = {
    0x1,       0x2,       0x4,       0x8,        0x10,       0x20,     0x40,     0x80,
    0x100,     0x200,     0x400,     0x800,      0x1000,     0x2000,   0x4000,   0x10000,
    0x20000,   0x40000,   0x80000,   0x100000,   0x200000,   0x400000, 0x800000, 0x1000000,
    0x2000000, 0x4000000, 0x8000000, 0x10000000, 0x20000000,
};

constexpr std::array<std::uint32_t, 19> kDownloadControlFlagValues = {
    0x10,    0x20,       0x40,       0x80,       0x100,      0x200,   0x400,
    0x800,   0x1000,     0x2000,     0x4000,     0x8000,     0x10000, 0x20000,
    0x40000, 0x10000000, 0x20000000, 0x40000000, 0x80000000,
};

template <std::size_t N>
std::uint32_t SumOfFlags(std::uint64_t bits, const std::array<std::uint32_t, N>& values) {
    std::uint32_t flags = 0;
    for (std::size_t i = 0; i < N; ++i) {
        if (bits & (std::uint64_t{1} << i)) {
            flags += values[i];
        }
    }
    return flags;
}

} // namespace

std::uint32_t HostInfoFlagsOf(TUserInterfaceOptions options) {
    return SumOfFlags(options.Bits(), kHostInfoFlagValues);
}

std::uint32_t DownloadControlFlagsOf(TDownloadControlOptions options) {
    return SumOfFlags(options.Bits(), kDownloadControlFlagValues);
}

TCustomEmbeddedWB::TCustomEmbeddedWB(TComponent* owner) : TEWB(owner) {
    // The control is created on first use and reads the host information then, so the
    // defaults need no notification here.
    downloadOptions_ = {TDownloadControlOption::DownloadImages,
                        TDownloadControlOption::DownloadVideos,
                        TDownloadControlOption::DownloadBGSounds};
    downloadControlFlags_ = DownloadControlFlagsOf(downloadOptions_);
    userInterfaceOptions_ = {TUserInterfaceOption::EnablesFormsAutoComplete,
                             TUserInterfaceOption::EnableThemes};
    hostInfoFlags_ = HostInfoFlagsOf(userInterfaceOptions_);
}

void TCustomEmbeddedWB::SetUserInterfaceOptions(TUserInterfaceOptions options) {
    userInterfaceOptions_ = options;
    hostInfoFlags_ = HostInfoFlagsOf(options);
    AmbientPropertyChanged(DISPID_AMBIENT_DLCONTROL);
}

void TCustomEmbeddedWB::SetDownloadOptions(TDownloadControlOptions options) {
    downloadOptions_ = options;
    downloadControlFlags_ = DownloadControlFlagsOf(options);
    AmbientPropertyChanged(DISPID_AMBIENT_DLCONTROL);
}

void TCustomEmbeddedWB::GetHostInfo(DOCHOSTUIINFO& info) {
    info.cbSize = 20;
    info.dwFlags = hostInfoFlags_;
    info.dwDoubleClick = 0;
    info.pchHostCss.clear();
    info.pchHostNS.clear();
    if (OnGetHostInfo) {
        OnGetHostInfo(this, info);
    }
}

namespace {

constexpr DWORD kExplorerUnload = 37;
constexpr DWORD kRefreshCommands[] = {2300, 6041, 6042};

// One property of a script error's event object, as text.
std::string ScriptErrorProperty(IScriptErrorEvent* event, const char* name) {
    TVariant value;
    if (!event || FAILED(event->GetProperty(AnsiToWide(name), value))) {
        throw Exception::CreateFmt("'%s' is not supported.", name);
    }
    switch (value.Kind) {
    case TVariant::TKind::vkInt32:
        return std::to_string(value.Int);
    case TVariant::TKind::vkBool:
        return value.Bool ? "True" : "False";
    case TVariant::TKind::vkText:
        return WideToAnsi(value.Text);
    default:
        return std::string();
    }
}

} // namespace

bool TCustomEmbeddedWB::AmbientUserAgent(std::u16string&) {
    return false;
}

void TCustomEmbeddedWB::WindowProc(TMessage&) {}

void* TCustomEmbeddedWB::WindowHandle() {
    return HasControl() ? NativeWidget() : nullptr;
}

HRESULT TCustomEmbeddedWB::ShowContextMenu(DWORD dwID, const POINT* ppt, IUnknown* pcmdtReserved,
                                           IUnknown* pdispReserved) {
    HRESULT result = E_NOTIMPL;
    if (OnShowContextMenu) {
        OnShowContextMenu(this, dwID, ppt, pcmdtReserved, pdispReserved, result);
    }
    if (result != E_NOTIMPL) {
        return result;
    }
    const bool suppressed =
        DisabledPopupMenus.Contains(TIEPopupMenu::rcmAll) ||
        (dwID < 10 && DisabledPopupMenus.Contains(static_cast<TIEPopupMenu>(dwID)));
    if (suppressed) {
        if (PopupMenu) {
            // The browser passes where the pointer is; no toolkit can be asked for a global
            // cursor position on every display.
            const POINT at = ppt ? *ppt : POINT{};
            PopupMenu->Popup(at.x, at.y);
        }
        return S_OK;
    }
    // A filtered copy of the browser's own menu would need its items; the browser shows them.
    return S_FALSE;
}

HRESULT TCustomEmbeddedWB::TranslateAccelerator(const MSG* lpMsg, const GUID* pguidCmdGroup,
                                                DWORD nCmdID) {
    if (lpMsg && !DisableCtrlShortcuts.empty() && lpMsg->message == WM_KEYDOWN &&
        (lpMsg->KeyState & KS_CTRL) && !(lpMsg->KeyState & KS_SHIFT)) {
        const char key = static_cast<char>(lpMsg->wParam & 0xFF);
        if (key != '\0' && DisableCtrlShortcuts.find(key) != std::string::npos) {
            if (OnMaskedCtrlChar) {
                OnMaskedCtrlChar(this, key);
            }
            return S_OK;
        }
    }
    bool done = false;
    if (OnTranslateAccelerator) {
        OnTranslateAccelerator(this, lpMsg, pguidCmdGroup, nCmdID, done);
    }
    return done ? S_OK : S_FALSE;
}

HRESULT TCustomEmbeddedWB::Exec(const GUID* pguidCmdGroup, DWORD nCmdID, DWORD nCmdexecopt,
                                TVariant* pvaIn, TVariant* pvaOut) {
    HRESULT result = OLECMDERR_E_NOTSUPPORTED;
    if (pguidCmdGroup && *pguidCmdGroup == CGID_Explorer) {
        if (nCmdID == kExplorerUnload && OnUnload) {
            OnUnload(this);
            return S_OK;
        }
        // Command 39 installs keyboard hooks for shell folder views, which never show
        // inside this browser.
    } else if (pguidCmdGroup && *pguidCmdGroup == CGID_DocHostCommandHandler) {
        if (nCmdID == OLECMDID_SHOWSCRIPTERROR) {
            switch (ScriptErrorAction) {
            case TScriptErrorAction::eaContinue:
                result = S_OK;
                if (pvaOut) {
                    *pvaOut = TVariant::Boolean(true);
                }
                break;
            case TScriptErrorAction::eaCancel:
                result = S_OK;
                if (pvaOut) {
                    *pvaOut = TVariant::Boolean(false);
                }
                break;
            case TScriptErrorAction::eaAskUser:
                result = S_FALSE;
                break;
            }
            if (OnScriptError) {
                // The answer is fixed; the handler's choice applies to later errors.
                try {
                    ComPtr<IScriptErrorEvent> event;
                    if (pvaIn && pvaIn->Object) {
                        pvaIn->Object.As(event);
                    }
                    const std::string line = ScriptErrorProperty(event.Get(), "errorline");
                    const std::string character =
                        ScriptErrorProperty(event.Get(), "errorCharacter");
                    const std::string code = ScriptErrorProperty(event.Get(), "errorCode");
                    const std::string message = ScriptErrorProperty(event.Get(), "errorMessage");
                    const std::string url = ScriptErrorProperty(event.Get(), "errorUrl");
                    OnScriptError(this, line, character, code, message, url, ScriptErrorAction);
                } catch (...) {
                    ReportHandlerError();
                }
            }
            return result;
        }
        for (const DWORD refresh : kRefreshCommands) {
            if (nCmdID == refresh) {
                bool cancel = false;
                if (OnRefresh) {
                    OnRefresh(this, nCmdID, cancel);
                }
                return cancel ? S_OK : result;
            }
        }
    }
    if (OnCommandExec) {
        OnCommandExec(this, pguidCmdGroup, nCmdID, nCmdexecopt, pvaIn, pvaOut, result);
    }
    return result;
}

HRESULT TCustomEmbeddedWB::QueryService(const GUID& guidService, const GUID& riid,
                                        void** ppvObject) {
    if (!ppvObject) {
        return E_POINTER;
    }
    *ppvObject = nullptr;
    const bool windowServices = FloatingHosting || OnMove || OnMoveBy || OnResize || OnResizeBy;
    const bool own = (guidService == IID_INewWindowManager && OnEvaluateNewWindow) ||
                     guidService == IID_IProtectFocus ||
                     (guidService == IID_IDownloadManager && OnDownload) ||
                     (guidService == IID_IHostBehaviorInit && OnPopulateNSTable) ||
                     (guidService == IID_IHTMLOMWindowServices && windowServices) ||
                     (riid == IID_IAuthenticate && OnAuthenticate);
    if (own) {
        HostInterfaces()->QueryInterface(riid, ppvObject);
    }
    if (!*ppvObject && OnQueryService) {
        IUnknown* object = nullptr;
        OnQueryService(this, guidService, riid, object);
        *ppvObject = object;
    }
    return *ppvObject ? S_OK : E_NOINTERFACE;
}

HRESULT TCustomEmbeddedWB::GetDropTarget(IUnknown*, IUnknown** ppDropTarget) {
    if (ppDropTarget) {
        *ppDropTarget = nullptr;
    }
    auto registerAsDropTarget = [this](bool value) {
        ComPtr<IWebBrowserDropRegistration> registration;
        ComPtr<IUnknown> control(static_cast<IUnknown*>(DefaultInterface()));
        if (SUCCEEDED(control.As(registration)) && registration) {
            registration->put_RegisterAsDropTarget(value ? TRUE : FALSE);
        }
    };
    switch (DropHandlingType) {
    case TDragDropHandlingType::ddtMS:
        // The browser keeps its own drop target: dropped files and links navigate it.
        registerAsDropTarget(true);
        return E_NOTIMPL;
    case TDragDropHandlingType::ddtMy:
    case TDragDropHandlingType::ddtCustom: {
        IUnknown* target = nullptr;
        HostInterfaces()->QueryInterface(IDropTarget::kIID, reinterpret_cast<void**>(&target));
        if (target) {
            // The handler lives as long as the control holds it; the reference goes to the
            // caller below.
            target->Release();
        }
        if (DropHandlingType == TDragDropHandlingType::ddtCustom && OnGetDropTarget) {
            OnGetDropTarget(this, target);
        }
        if (target && ppDropTarget) {
            target->AddRef();
            *ppDropTarget = target;
        }
        return S_OK;
    }
    case TDragDropHandlingType::ddtNo:
        registerAsDropTarget(false);
        return S_OK;
    }
    return E_NOTIMPL;
}

HRESULT TCustomEmbeddedWB::ShowMessage(void* hwnd, const std::u16string& text,
                                       const std::u16string& caption, DWORD type,
                                       const std::u16string& helpFile, DWORD helpContext,
                                       LRESULT* result) {
    if (!OnShowMessage) {
        return S_FALSE;
    }
    HRESULT answer = S_FALSE;
    LRESULT choice = result ? *result : 0;
    OnShowMessage(this, hwnd, WideToAnsi(text), WideToAnsi(caption), type, WideToAnsi(helpFile),
                  helpContext, choice, answer);
    if (result) {
        *result = choice;
    }
    return answer;
}

HRESULT TCustomEmbeddedWB::AmbientInvoke(DISPID dispId, std::uint16_t flags, TVariant* result,
                                         EXCEPINFO* excepInfo) {
    try {
        if ((flags & DISPATCH_PROPERTYGET) && result) {
            switch (dispId) {
            case DISPID_AMBIENT_USERAGENT: {
                std::u16string agent;
                if (AmbientUserAgent(agent)) {
                    *result = TVariant();
                    result->Kind = TVariant::TKind::vkText;
                    result->Text = agent + u"\r\n";
                    return S_OK;
                }
                break;
            }
            case DISPID_AMBIENT_DLCONTROL:
                *result = TVariant::Int32(static_cast<std::int32_t>(downloadControlFlags_));
                return S_OK;
            case DISPID_AMBIENT_USERMODE:
                *result = TVariant::Boolean(true);
                return S_OK;
            default:
                break;
            }
        }
        // A plain container knows no further ambient properties.
        HRESULT answer = DISP_E_MEMBERNOTFOUND;
        if (OnInvoke) {
            OnInvoke(this, dispId, flags, result, answer);
        }
        return answer;
    } catch (const std::exception& e) {
        if (excepInfo) {
            *excepInfo = EXCEPINFO();
            excepInfo->wCode = 9999;
            excepInfo->bstrSource = u"Exception";
            excepInfo->bstrDescription = AnsiToWide(e.what());
        }
        return DISP_E_EXCEPTION;
    } catch (...) {
        if (excepInfo) {
            *excepInfo = EXCEPINFO();
            excepInfo->wCode = 9999;
        }
        return DISP_E_EXCEPTION;
    }
}

HRESULT TCustomEmbeddedWB::Authenticate(void** phwnd, std::u16string* userName,
                                        std::u16string* password, bool* given) {
    void* window = WindowHandle();
    std::string user;
    std::string pass;
    HRESULT result = S_OK;
    if (OnAuthenticate) {
        OnAuthenticate(this, window, user, pass, result);
    }
    if (phwnd) {
        *phwnd = window;
    }
    if (userName) {
        *userName = AnsiToWide(user);
    }
    if (password) {
        *password = AnsiToWide(pass);
    }
    if (given) {
        // Empty texts are no credentials: the user is asked instead.
        *given = !user.empty() || !pass.empty();
    }
    return result;
}

} // namespace kiva
