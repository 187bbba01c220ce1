#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

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

protected:
    void GetHostInfo(DOCHOSTUIINFO& info) override;
    bool FocusAllowed() const { return focusAllowed_; }

private:
    TUserInterfaceOptions userInterfaceOptions_;
    std::uint32_t hostInfoFlags_ = 0;
    TDownloadControlOptions downloadOptions_;
    std::uint32_t downloadControlFlags_ = 0;
    bool focusAllowed_ = true;
};

} // namespace kiva
