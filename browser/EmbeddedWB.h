#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "EwbCore.h"

namespace kiva {

// Floating-point, DDE and script-error behaviour while pages load.
struct TDisableErrors {
    bool EnableDDE = true;
    bool fpExceptions = true;
    bool ScriptErrorsSuppressed = true;
};

// Post-processing of the browser's own dialog boxes.
struct TDialogBoxes {
    bool DisableAll = false;
    bool ReplaceCaption = true;
    bool ReplaceIcon = true;
    std::u16string NewCaption;
};

enum class TPrintOrientation { poPortrait, poLandScape };

struct TMargins {
    double Left = 0;
    double Right = 0;
    double Top = 0;
    double Bottom = 0;
};

// Page setup kept with the window; nothing in the program reads it while it is not enabled.
struct TPrintOptions {
    bool Enabled = false;
    TMargins Margins;
    std::string Header;
    std::string Footer;
    TStringList HTMLHeader;
    TPrintOrientation Orientation = TPrintOrientation::poPortrait;
};

struct TProxySettings {
    bool AutoLoadProxy = false;
    std::string Address;
    int Port = 0;
};

struct TVisualEffects {
    bool DisableSounds = false;
    bool TextSize = false;
};

enum class TUserAgentMode { uaDefault, uaInternal, uaRegistry };

enum class TShiftStateMember { ssShift, ssAlt, ssCtrl };
using TShiftState = TOptionSet<TShiftStateMember>;

// The browser host control the main window shows its pages in. It adds the option groups to
// the host, the credit text and the ambient user agent.
class TEmbeddedWB : public TCustomEmbeddedWB {
public:
    explicit TEmbeddedWB(TComponent* owner);
    ~TEmbeddedWB() override;

    // The steps that run once the stored settings have been applied: the message handler is
    // switched on again, suppressed script errors mean the browser goes on after them, and the
    // floating-point environment follows fpExceptions (masked, so that faults inside the
    // browser never raise in the program's thread, or as the program found it).
    void Loaded();

    // A key on its way to the page: Key may be changed, and a key set to 0 is swallowed.
    using TKeyEvent = std::function<void(TComponent* Sender, std::uint16_t& Key, int ScanCode,
                                         TShiftState Shift)>;
    using TMessageEvent = std::function<void(TComponent* Sender, TMessage& Message)>;
    TKeyEvent OnKeyDown;
    TKeyEvent OnKeyUp;
    TMessageEvent OnMessage;

    void WindowProc(TMessage& message) override;

    const std::string& About() const { return about_; }
    // The credit text is fixed; assigning it changes nothing.
    void SetAbout(const std::string&) {}

    TDisableErrors DisableErrors;
    TDialogBoxes DialogBoxes;
    TPrintOptions PrintOptions;
    TProxySettings ProxySettings;
    TVisualEffects VisualEffects;
    std::string UserAgent;
    TUserAgentMode UserAgentMode = TUserAgentMode::uaDefault;
    bool EnableMessageHandler = true;
    TStringList HTMLCode;

protected:
    // Adds the host style sheet and namespace when nobody supplied them.
    void GetHostInfo(DOCHOSTUIINFO& info) override;
    bool AmbientUserAgent(std::u16string& agent) override;

private:
    std::string about_;
};

} // namespace kiva
