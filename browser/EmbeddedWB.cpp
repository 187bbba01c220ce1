#include "EmbeddedWB.h"

#include <cfenv>
#if defined(__x86_64__) || defined(__i386__)
#include <fpu_control.h>
#endif

#include "WebBrowser.h"

namespace kiva {

namespace {

// The floating-point environment in force when the program started.
struct TStartFloatingPoint {
    std::fenv_t Env{};
    TStartFloatingPoint() { std::fegetenv(&Env); }
};
const TStartFloatingPoint kStartFloatingPoint;

// Every floating-point exception masked, extended precision, rounding to nearest.
void MaskFloatingPointExceptions() {
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
#if defined(__x86_64__) || defined(__i386__)
    fpu_control_t word = 0x133F;
    _FPU_SETCW(word);
    // The SSE unit does the program's arithmetic on this processor; its exceptions too.
    unsigned int mxcsr = 0;
    __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
    mxcsr |= 0x1F80u;
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
#endif
}

TShiftState ShiftStateOf(DWORD keyState) {
    TShiftState shift;
    if (keyState & KS_SHIFT) {
        shift.Include(TShiftStateMember::ssShift);
    }
    if (keyState & KS_ALT) {
        shift.Include(TShiftStateMember::ssAlt);
    }
    if (keyState & KS_CTRL) {
        shift.Include(TShiftStateMember::ssCtrl);
    }
    return shift;
}

} // namespace

TEmbeddedWB::TEmbeddedWB(TComponent* owner)
    : TCustomEmbeddedWB(owner), about_("Embedded Web Browser host control for Kivabook Viewer") {}

TEmbeddedWB::~TEmbeddedWB() {
    Destroying();
}

void TEmbeddedWB::Loaded() {
    EnableMessageHandler = true;
    if (DisableErrors.ScriptErrorsSuppressed) {
        ScriptErrorAction = TScriptErrorAction::eaContinue;
    }
    if (DisableErrors.fpExceptions) {
        std::fesetenv(&kStartFloatingPoint.Env);
    } else {
        MaskFloatingPointExceptions();
    }
}

void TEmbeddedWB::WindowProc(TMessage& message) {
    bool swallowed = false;
    if (message.Msg == CN_KEYDOWN || message.Msg == CN_KEYUP) {
        const TKeyEvent& event = message.Msg == CN_KEYDOWN ? OnKeyDown : OnKeyUp;
        if (event) {
            auto key = static_cast<std::uint16_t>(message.WParam);
            const int scanCode = static_cast<int>((message.LParam >> 16) & 0xFF);
            event(this, key, scanCode, ShiftStateOf(message.KeyState));
            message.WParam = key;
            swallowed = key == 0;
        }
    }
    if (swallowed) {
        message.Result = 1;
        return;
    }
    // The page gets Enter: forms submit and text areas take new lines.
    if (EnableMessageHandler && message.Msg == CN_KEYDOWN && message.WParam == VK_RETURN) {
        message.Result = 0;
    }
    if (OnMessage) {
        OnMessage(this, message);
    }
}

bool TEmbeddedWB::AmbientUserAgent(std::u16string& agent) {
    if (UserAgentMode != TUserAgentMode::uaInternal || UserAgent.empty()) {
        return false;
    }
    agent = AnsiToWide(UserAgent);
    return true;
}

void TEmbeddedWB::GetHostInfo(DOCHOSTUIINFO& info) {
    TCustomEmbeddedWB::GetHostInfo(info);
    if (info.pchHostCss.empty() && !HostCSS.empty()) {
        info.pchHostCss = AnsiToWide(HostCSS);
    }
    if (info.pchHostNS.empty() && !HostNS.empty()) {
        info.pchHostNS = AnsiToWide(HostNS);
    }
}

} // namespace kiva
