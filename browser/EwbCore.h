#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "ComObj.h"

#include "DocHostUI.h"
#include "Menus.h"
#include "SHDocVw_EWB.h"

namespace kiva {

// A set of the members of an enumeration with at most 64 members, stored as one bit per
// ordinal.
template <class E> class TOptionSet {
public:
    constexpr TOptionSet() = default;
    constexpr TOptionSet(std::initializer_list<E> members) {
        for (E m : members)
            bits_ |= Bit(m);
    }
    constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
    constexpr TOptionSet& Include(E m) {
        bits_ |= Bit(m);
        return *this;
    }
    constexpr TOptionSet& Exclude(E m) {
        bits_ &= ~Bit(m);
        return *this;
    }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr std::uint64_t Bits() const { return bits_; }
    friend constexpr bool operator==(TOptionSet, TOptionSet) = default;

private:
    static constexpr std::uint64_t Bit(E m) { return std::uint64_t{1} << static_cast<int>(m); }
    std::uint64_t bits_ = 0;
};

// The host-UI options, in the order of their flag values (0x8000 has no member).
enum class TUserInterfaceOption {
    DisableTextSelect,
    DisableHelpMenu,
    DontUse3DBorders,
    DontUseScrollBars,
    PostponeScriptUntilActive,
    ForceOpenNewWindow,
    Reserved_OFFSCREEN,
    ForceFlatScrollBars,
    InsertDivTagOnEditMode,
    ActivateUIOnlyOnDocClick,
    ConsultBeforeRetrievingBehavior,
    CheckFontSupportsCodePage,
    DisableSubmitUrlInUTF8,
    EnableSubmitUrlInUTF8,
    EnablesFormsAutoComplete,
    ForceSameWindowNavigation,
    EmableImeLocalLanguages,
    EnableThemes,
    DisableThemes,
    DisablePicsRatings,
    DisableFrameSetBorder,
    DisablesAutoNameSpaceCorrection,
    DisableLocalFileAccess,
    DisableUntrustedProtocol,
    CheckNavigationDelegatedToHost,
    EnableRedirectNotification,
    EnableDomWindlessControls,
    EnableWindowedControls,
    ForceUserActivationOnActiveXJava,
};
using TUserInterfaceOptions = TOptionSet<TUserInterfaceOption>;

// The download-control options, in the order of their flag values.
enum class TDownloadControlOption {
    DownloadImages,
    DownloadVideos,
    DownloadBGSounds,
    DontExecuteScripts,
    DontExecuteJava,
    DontExecuteActiveX,
    DontDownloadActiveX,
    DownloadButDontDisplay,
    DontDownloadFrame,
    CheckPageResynchronize,
    DownloadAndIgnoreCache,
    DontDownloadBehaviors,
    SuppressedMetaCharset,
    DisableUrlIfEncodingUTF8,
    EnableUrlIfEncodingUTF8,
    ForceOfflineMode,
    DontPerformClientPull,
    DownloadInSilentMode,
    WorkOffline,
};
using TDownloadControlOptions = TOptionSet<TDownloadControlOption>;

// Context-menu kinds: ordinals 0 to 9 stand for the browser's menu id of the same value,
// rcmAll for every id.
enum class TIEPopupMenu {
    rcmDefault,
    rcmImage,
    rcmControl,
    rcmTable,
    rcmSelText,
    rcmAnchor,
    rcmUnKnown,
    rcmImageArt,
    rcmImgDynSrc,
    rcmDebug,
    rcmAll,
};
using TIEPopupMenus = TOptionSet<TIEPopupMenu>;

enum class TScriptErrorAction { eaContinue, eaCancel, eaAskUser };
enum class TDragDropHandlingType { ddtMS, ddtMy, ddtCustom, ddtNo };

// The flag word of a set: the sum of its members' flag values.
std::uint32_t HostInfoFlagsOf(TUserInterfaceOptions options);
std::uint32_t DownloadControlFlagsOf(TDownloadControlOptions options);

// The browser host with the options that steer its answers to the browser.
class TCustomEmbeddedWB : public TEWB {
public:
    using TGetHostInfoEvent = std::function<void(TComponent* Sender, DOCHOSTUIINFO& Info)>;

    explicit TCustomEmbeddedWB(TComponent* owner);
    ~TCustomEmbeddedWB() override;

    // Assigning a set stores it, recomputes its flag word and then tells the browser. A
    // browser that cannot be told raises kiva::Exception to the assigner; the set and its
    // flag word stay stored.
    TUserInterfaceOptions UserInterfaceOptions() const { return userInterfaceOptions_; }
    void SetUserInterfaceOptions(TUserInterfaceOptions options);
    std::uint32_t HostInfoFlags() const { return hostInfoFlags_; }

    TDownloadControlOptions DownloadOptions() const { return downloadOptions_; }
    void SetDownloadOptions(TDownloadControlOptions options);
    std::uint32_t DownloadControlFlags() const { return downloadControlFlags_; }

    std::string DisableCtrlShortcuts = "N";
    TIEPopupMenus DisabledPopupMenus;
    // The menu shown in place of every suppressed context menu of the browser; not owned.
    TPopupMenu* PopupMenu = nullptr;
    TScriptErrorAction ScriptErrorAction = TScriptErrorAction::eaContinue;
    TDragDropHandlingType DropHandlingType = TDragDropHandlingType::ddtMS;
    std::string OptionKeyPath;
    bool OverrideOptionKeyPath = false;
    std::string HostCSS;
    std::string HostNS;

    // Raised with the host-info record before it goes to the browser; the handler may change
    // it.
    TGetHostInfoEvent OnGetHostInfo;

    // --- The host interfaces: what the browser asks of its host, and their events.

    // Raised first for every context menu; Result starts at E_NOTIMPL, and any other value
    // the handler leaves is the answer.
    using TShowContextMenuEvent =
        std::function<void(TComponent* Sender, DWORD dwID, const POINT* ppt,
                           IUnknown* pcmdtReserved, IUnknown* pdispReserved, HRESULT& Result)>;
    using TMaskedCtrlCharEvent = std::function<void(TComponent* Sender, char MaskedChar)>;
    using TTranslateAcceleratorEvent = std::function<void(
        TComponent* Sender, const MSG* lpMsg, const GUID* pguidCmdGroup, DWORD nCmdID, bool& Done)>;
    using TCommandExecEvent =
        std::function<void(TComponent* Sender, const GUID* CmdGroup, DWORD nCmdID,
                           DWORD nCmdexecopt, TVariant* vaIn, TVariant* vaOut, HRESULT& Result)>;
    using TRefreshEvent = std::function<void(TComponent* Sender, DWORD CmdID, bool& Cancel)>;
    using TScriptErrorEvent = std::function<void(
        TComponent* Sender, const std::string& ErrorLine, const std::string& ErrorCharacter,
        const std::string& ErrorCode, const std::string& ErrorMessage, const std::string& ErrorUrl,
        TScriptErrorAction& ScriptErrorAction)>;
    using TShowMessageEvent = std::function<void(
        TComponent* Sender, void* hwnd, const std::string& lpstrText,
        const std::string& lpstrCaption, DWORD dwType, const std::string& lpstrHelpFile,
        DWORD dwHelpContext, LRESULT& plResult, HRESULT& Result)>;
    using TShowHelpEvent =
        std::function<void(TComponent* Sender, void* hwnd, const std::string& pszHelpFile,
                           UINT uCommand, DWORD dwData, POINT ptMouse, HRESULT& Result)>;
    using TAuthenticateEvent =
        std::function<void(TComponent* Sender, void*& hwnd, std::string& szUserName,
                           std::string& szPassWord, HRESULT& Result)>;
    using TResultEvent = std::function<void(TComponent* Sender, HRESULT& Result)>;
    using TBoolNotifyEvent = std::function<void(TComponent* Sender, bool Value)>;
    using TZoomPercentChangeEvent = std::function<void(TComponent* Sender, ULONG ZoomPercent)>;
    using TWindowPointEvent = std::function<void(TComponent* Sender, LONG cx, LONG cy)>;
    using TDownloadEvent = std::function<void(
        TComponent* Sender, IUnknown* pmk, IUnknown* pbc, DWORD dwBindVerb, LONG grfBINDF,
        const std::string& pszHeaders, const std::string& pszRedir, UINT uiCP, HRESULT& Result)>;
    using TAllowFocusChangeEvent = std::function<void(TComponent* Sender, bool& pfAllow)>;
    using TEvaluateNewWindowEvent = std::function<void(
        TComponent* Sender, const std::string& pszUrl, const std::string& pszName,
        const std::string& pszUrlContext, const std::string& pszFeatures, bool fReplace,
        DWORD dwFlags, DWORD dwUserActionTime, HRESULT& Result)>;
    using TObjectEvent = std::function<void(TComponent* Sender, IUnknown*& Obj)>;
    using TTranslateUrlEvent = std::function<void(TComponent* Sender, const std::string& pchURLIn,
                                                  std::string& ppchURLOut)>;
    using TDragEvent =
        std::function<void(TComponent* Sender, DWORD grfKeyState, POINT pt, DWORD& pdwEffect)>;
    using TInvokeEvent = std::function<void(TComponent* Sender, DISPID DispID, std::uint16_t Flags,
                                            TVariant* VarResult, HRESULT& Result)>;

    TShowContextMenuEvent OnShowContextMenu;
    TMaskedCtrlCharEvent OnMaskedCtrlChar;
    TTranslateAcceleratorEvent OnTranslateAccelerator;
    TCommandExecEvent OnCommandExec;
    TNotifyEvent OnUnload;
    TRefreshEvent OnRefresh;
    TScriptErrorEvent OnScriptError;
    TShowMessageEvent OnShowMessage;
    TShowHelpEvent OnShowHelpRequest;
    TAuthenticateEvent OnAuthenticate;
    TZoomPercentChangeEvent OnZoomPercentChange;
    TNotifyEvent OnPopulateNSTable;
    TWindowPointEvent OnMove;
    TWindowPointEvent OnMoveBy;
    TWindowPointEvent OnResize;
    TWindowPointEvent OnResizeBy;
    // Takes a download over from the platform when bound (the download manager).
    TDownloadEvent OnDownload;
    TAllowFocusChangeEvent OnAllowFocusChange;
    TEvaluateNewWindowEvent OnEvaluateNewWindow;
    TResultEvent OnShowUI;
    TResultEvent OnHideUI;
    TResultEvent OnUpdateUI;
    TBoolNotifyEvent OnEnableModeless;
    TBoolNotifyEvent OnOnDocWindowActivate;
    TBoolNotifyEvent OnOnFrameWindowActivate;
    TNotifyEvent OnResizeBorder;
    TObjectEvent OnGetExternal;
    TTranslateUrlEvent OnTranslateUrl;
    TObjectEvent OnFilterDataObject;
    TObjectEvent OnGetDropTarget;
    TDragEvent OnDragEnter;
    TDragEvent OnDragOver2;
    TNotifyEvent OnDragLeave;
    TDragEvent OnDropEvent;
    TInvokeEvent OnInvoke;

    // Moves or sizes the owner's window first when a page's script asks for it.
    bool FloatingHosting = false;
    // An open help file for the browser's help requests; none in the viewer.
    std::string HelpFile;

    HRESULT ShowContextMenu(DWORD dwID, const POINT* ppt, IUnknown* pcmdtReserved,
                            IUnknown* pdispReserved);
    HRESULT TranslateAccelerator(const MSG* lpMsg, const GUID* pguidCmdGroup, DWORD nCmdID);
    HRESULT Exec(const GUID* pguidCmdGroup, DWORD nCmdID, DWORD nCmdexecopt, TVariant* pvaIn,
                 TVariant* pvaOut);
    HRESULT QueryService(const GUID& guidService, const GUID& riid, void** ppvObject);
    HRESULT GetDropTarget(IUnknown* pDropTarget, IUnknown** ppDropTarget);
    HRESULT ShowMessage(void* hwnd, const std::u16string& text, const std::u16string& caption,
                        DWORD type, const std::u16string& helpFile, DWORD helpContext,
                        LRESULT* result);
    HRESULT AmbientInvoke(DISPID dispId, std::uint16_t flags, TVariant* result,
                          EXCEPINFO* excepInfo);
    HRESULT Authenticate(void** phwnd, std::u16string* userName, std::u16string* password,
                         bool* given);
    // The control's native window, handed out where the browser asks for a parent window.
    void* WindowHandle();

    // Key messages of the browser's windows; the base passes them all (Result 0).
    virtual void WindowProc(TMessage& message);

protected:
    void GetHostInfo(DOCHOSTUIINFO& info) override;
    IUnknown* HostInterfaces() override;
    // The ambient user agent, when the host gives one; the base gives none.
    virtual bool AmbientUserAgent(std::u16string& agent);
    bool FocusAllowed() const { return focusAllowed_; }

private:
    class THostHandler;
    friend class THostHandler;
    // The host interfaces' object (EwbHostHandler.cpp), made on first use.
    THostHandler* Handler();
    ComPtr<IServiceProvider> handler_;
    THostHandler* hostHandler_ = nullptr;
    TUserInterfaceOptions userInterfaceOptions_;
    std::uint32_t hostInfoFlags_ = 0;
    TDownloadControlOptions downloadOptions_;
    std::uint32_t downloadControlFlags_ = 0;
    bool focusAllowed_ = true;
};

} // namespace kiva
