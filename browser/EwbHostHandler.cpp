// The host interfaces as the browser finds them: one object that answers every question of
// the browser by asking the host control, for as long as the control lives.
#include "EwbCore.h"

#include "Shell.h"

namespace kiva {

// The object the browser finds the host interfaces on. It may outlive the host inside the
// browser, so the host detaches it when it goes and later questions get the answers of a host
// without options.
class TCustomEmbeddedWB::THostHandler final
    : public TComObjectWith<IDocHostUIHandler2, IDocHostShowUI, IServiceProvider, IOleCommandTarget,
                            IAuthenticate, IZoomEvents, IHostBehaviorInit, IHTMLOMWindowServices,
                            IDownloadManager, IProtectFocus, INewWindowManager, IDropTarget,
                            IAmbientDispatch, IHostWindowProcedure> {
public:
    explicit THostHandler(TCustomEmbeddedWB* host) : host_(host) {}
    void Detach() { host_ = nullptr; }

    // IDocHostUIHandler2
    HRESULT GetHostInfo(DOCHOSTUIINFO& info) override {
        return Ask(E_NOTIMPL, [&](TCustomEmbeddedWB& h) {
            h.GetHostInfo(info);
            return S_OK;
        });
    }
    HRESULT ShowContextMenu(DWORD id, const POINT* pt, IUnknown* target,
                            IUnknown* object) override {
        return Ask(S_FALSE,
                   [&](TCustomEmbeddedWB& h) { return h.ShowContextMenu(id, pt, target, object); });
    }
    HRESULT ShowUI(DWORD, IUnknown*, IUnknown*, IUnknown*, IUnknown*) override {
        return ResultEvent(&TCustomEmbeddedWB::OnShowUI);
    }
    HRESULT HideUI() override { return ResultEvent(&TCustomEmbeddedWB::OnHideUI); }
    HRESULT UpdateUI() override { return ResultEvent(&TCustomEmbeddedWB::OnUpdateUI); }
    HRESULT EnableModeless(BOOL enable) override {
        return BoolEvent(&TCustomEmbeddedWB::OnEnableModeless, enable);
    }
    HRESULT OnDocWindowActivate(BOOL activate) override {
        return BoolEvent(&TCustomEmbeddedWB::OnOnDocWindowActivate, activate);
    }
    HRESULT OnFrameWindowActivate(BOOL activate) override {
        return BoolEvent(&TCustomEmbeddedWB::OnOnFrameWindowActivate, activate);
    }
    HRESULT ResizeBorder(const std::int32_t*, IUnknown*, BOOL) override {
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            if (h.OnResizeBorder) {
                h.OnResizeBorder(&h);
            }
            return S_OK;
        });
    }
    HRESULT TranslateAccelerator(const MSG* msg, const GUID* group, DWORD id) override {
        return Ask(S_FALSE,
                   [&](TCustomEmbeddedWB& h) { return h.TranslateAccelerator(msg, group, id); });
    }
    HRESULT GetOptionKeyPath(std::u16string& key, DWORD) override {
        return Ask(S_FALSE, [&](TCustomEmbeddedWB& h) { return KeyPath(h, false, key); });
    }
    HRESULT GetDropTarget(IUnknown* target, IUnknown** result) override {
        if (result) {
            *result = nullptr;
        }
        return Ask(E_NOTIMPL,
                   [&](TCustomEmbeddedWB& h) { return h.GetDropTarget(target, result); });
    }
    HRESULT GetExternal(IUnknown** dispatch) override {
        return ObjectEvent(&TCustomEmbeddedWB::OnGetExternal, dispatch);
    }
    HRESULT TranslateUrl(DWORD, const std::u16string& in, std::u16string& out) override {
        return Ask(S_FALSE, [&](TCustomEmbeddedWB& h) {
            if (!h.OnTranslateUrl) {
                return S_FALSE;
            }
            std::string result;
            h.OnTranslateUrl(&h, WideToAnsi(in), result);
            if (result.empty()) {
                return S_FALSE;
            }
            out = AnsiToWide(result);
            return S_OK;
        });
    }
    HRESULT FilterDataObject(IUnknown*, IUnknown** result) override {
        return ObjectEvent(&TCustomEmbeddedWB::OnFilterDataObject, result);
    }
    HRESULT GetOverrideKeyPath(std::u16string& key, DWORD) override {
        return Ask(S_FALSE, [&](TCustomEmbeddedWB& h) { return KeyPath(h, true, key); });
    }

    // IDocHostShowUI
    HRESULT ShowMessage(void* hwnd, const std::u16string& text, const std::u16string& caption,
                        DWORD type, const std::u16string& helpFile, DWORD helpContext,
                        LRESULT* result) override {
        return Ask(S_FALSE, [&](TCustomEmbeddedWB& h) {
            return h.ShowMessage(hwnd, text, caption, type, helpFile, helpContext, result);
        });
    }
    HRESULT ShowHelp(void* hwnd, const std::u16string& helpFile, UINT command, DWORD data,
                     POINT mouse, IUnknown*) override {
        return Ask(S_FALSE, [&](TCustomEmbeddedWB& h) {
            HRESULT r = S_FALSE;
            if (h.OnShowHelpRequest) {
                h.OnShowHelpRequest(&h, hwnd, WideToAnsi(helpFile), command, data, mouse, r);
                return r;
            }
            if (!helpFile.empty() || h.HelpFile.empty()) {
                return S_FALSE;
            }
            ShellExecuteA(nullptr, "open", h.HelpFile.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            return S_OK;
        });
    }

    // IServiceProvider
    HRESULT QueryService(REFGUID service, REFIID iid, void** object) override {
        if (object) {
            *object = nullptr;
        }
        return Ask(E_NOINTERFACE,
                   [&](TCustomEmbeddedWB& h) { return h.QueryService(service, iid, object); });
    }

    // IOleCommandTarget
    HRESULT QueryStatus(const GUID*, ULONG, OLECMD*) override { return S_OK; }
    HRESULT Exec(const GUID* group, DWORD id, DWORD option, TVariant* in, TVariant* out) override {
        return Ask(OLECMDERR_E_NOTSUPPORTED,
                   [&](TCustomEmbeddedWB& h) { return h.Exec(group, id, option, in, out); });
    }

    // IAuthenticate
    HRESULT Authenticate(void** hwnd, std::u16string* user, std::u16string* password,
                         bool* given) override {
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            return h.Authenticate(hwnd, user, password, given);
        });
    }

    // IZoomEvents
    HRESULT OnZoomPercentChanged(ULONG percent) override {
        return Ask(S_FALSE, [&](TCustomEmbeddedWB& h) {
            if (!h.OnZoomPercentChange) {
                return S_FALSE;
            }
            h.OnZoomPercentChange(&h, percent);
            return S_OK;
        });
    }

    // IHostBehaviorInit
    HRESULT PopulateNamespaceTable() override {
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            if (h.OnPopulateNSTable) {
                h.OnPopulateNSTable(&h);
            }
            return S_OK;
        });
    }

    // IHTMLOMWindowServices
    HRESULT moveTo(LONG x, LONG y) override { return PointEvent(&TCustomEmbeddedWB::OnMove, x, y); }
    HRESULT moveBy(LONG x, LONG y) override {
        return PointEvent(&TCustomEmbeddedWB::OnMoveBy, x, y);
    }
    HRESULT resizeTo(LONG x, LONG y) override {
        return PointEvent(&TCustomEmbeddedWB::OnResize, x, y);
    }
    HRESULT resizeBy(LONG x, LONG y) override {
        return PointEvent(&TCustomEmbeddedWB::OnResizeBy, x, y);
    }

    // IDownloadManager
    HRESULT Download(IUnknown* pmk, IUnknown* pbc, DWORD verb, LONG bindf, void*,
                     const std::u16string& headers, const std::u16string& redir, UINT cp) override {
        return Ask(E_NOTIMPL, [&](TCustomEmbeddedWB& h) {
            HRESULT r = E_NOTIMPL;
            if (h.OnDownload) {
                h.OnDownload(&h, pmk, pbc, verb, bindf, WideToAnsi(headers), WideToAnsi(redir), cp,
                             r);
            }
            return r;
        });
    }

    // IProtectFocus
    HRESULT AllowFocusChange(BOOL* allow) override {
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            bool allowed = h.FocusAllowed();
            if (h.OnAllowFocusChange) {
                h.OnAllowFocusChange(&h, allowed);
            }
            if (allow) {
                *allow = allowed ? TRUE : FALSE;
            }
            return S_OK;
        });
    }

    // INewWindowManager
    HRESULT EvaluateNewWindow(const std::u16string& url, const std::u16string& name,
                              const std::u16string& context, const std::u16string& features,
                              BOOL replace, DWORD flags, DWORD userActionTime) override {
        return Ask(E_FAIL, [&](TCustomEmbeddedWB& h) {
            HRESULT r = E_FAIL;
            if (h.OnEvaluateNewWindow) {
                h.OnEvaluateNewWindow(&h, WideToAnsi(url), WideToAnsi(name), WideToAnsi(context),
                                      WideToAnsi(features), replace != FALSE, flags, userActionTime,
                                      r);
            }
            return r;
        });
    }

    // IDropTarget: nothing is accepted unless a handler says so.
    HRESULT DragEnter(IUnknown*, DWORD keys, POINT pt, DWORD* effect) override {
        return DragEvent(&TCustomEmbeddedWB::OnDragEnter, keys, pt, effect);
    }
    HRESULT DragOver(DWORD keys, POINT pt, DWORD* effect) override {
        return DragEvent(&TCustomEmbeddedWB::OnDragOver2, keys, pt, effect);
    }
    HRESULT DragLeave() override {
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            if (h.OnDragLeave) {
                h.OnDragLeave(&h);
            }
            return S_OK;
        });
    }
    HRESULT Drop(IUnknown*, DWORD keys, POINT pt, DWORD* effect) override {
        return DragEvent(&TCustomEmbeddedWB::OnDropEvent, keys, pt, effect);
    }

    // IAmbientDispatch
    HRESULT Invoke(DISPID id, std::uint16_t flags, TVariant* result,
                   EXCEPINFO* excepInfo) override {
        if (!host_) {
            return DISP_E_MEMBERNOTFOUND;
        }
        return host_->AmbientInvoke(id, flags, result, excepInfo);
    }

    // IHostWindowProcedure
    HRESULT WindowProc(TMessage& message) override {
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            h.WindowProc(message);
            return S_OK;
        });
    }

private:
    template <class F> HRESULT Ask(HRESULT unhosted, F&& question) {
        if (!host_ || host_->IsDestroying()) {
            return unhosted;
        }
        try {
            return question(*host_);
        } catch (...) {
            ReportHandlerError();
            return unhosted;
        }
    }
    HRESULT ResultEvent(TResultEvent TCustomEmbeddedWB::*event) {
        return Ask(S_FALSE, [&](TCustomEmbeddedWB& h) {
            HRESULT r = S_FALSE;
            if (h.*event) {
                (h.*event)(&h, r);
            }
            return r;
        });
    }
    HRESULT BoolEvent(TBoolNotifyEvent TCustomEmbeddedWB::*event, BOOL value) {
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            if (h.*event) {
                (h.*event)(&h, value != FALSE);
            }
            return S_OK;
        });
    }
    HRESULT ObjectEvent(TObjectEvent TCustomEmbeddedWB::*event, IUnknown** out) {
        if (out) {
            *out = nullptr;
        }
        return Ask(S_FALSE, [&](TCustomEmbeddedWB& h) {
            IUnknown* object = nullptr;
            if (h.*event) {
                (h.*event)(&h, object);
            }
            if (!object) {
                return S_FALSE;
            }
            if (out) {
                object->AddRef();
                *out = object;
            }
            return S_OK;
        });
    }
    HRESULT PointEvent(TWindowPointEvent TCustomEmbeddedWB::*event, LONG x, LONG y) {
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            if (h.*event) {
                (h.*event)(&h, x, y);
            }
            return S_OK;
        });
    }
    HRESULT DragEvent(TDragEvent TCustomEmbeddedWB::*event, DWORD keys, POINT pt, DWORD* effect) {
        if (effect) {
            *effect = DROPEFFECT_NONE;
        }
        return Ask(S_OK, [&](TCustomEmbeddedWB& h) {
            DWORD e = DROPEFFECT_NONE;
            if (h.*event) {
                (h.*event)(&h, keys, pt, e);
            }
            if (effect) {
                *effect = e;
            }
            return S_OK;
        });
    }
    static HRESULT KeyPath(TCustomEmbeddedWB& h, bool override, std::u16string& key) {
        key.clear();
        if (h.OptionKeyPath.empty() || h.OverrideOptionKeyPath != override) {
            return S_FALSE;
        }
        key = AnsiToWide(h.OptionKeyPath);
        return S_OK;
    }

    TCustomEmbeddedWB* host_;
};

TCustomEmbeddedWB::~TCustomEmbeddedWB() {
    Destroying();
    if (hostHandler_) {
        hostHandler_->Detach();
    }
}

TCustomEmbeddedWB::THostHandler* TCustomEmbeddedWB::Handler() {
    if (!hostHandler_) {
        hostHandler_ = new THostHandler(this);
        handler_ = ComPtr<IServiceProvider>(hostHandler_);
    }
    return hostHandler_;
}

IUnknown* TCustomEmbeddedWB::HostInterfaces() {
    return static_cast<IServiceProvider*>(Handler());
}

} // namespace kiva
