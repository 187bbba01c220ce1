#include "EmbeddedWB.h"

#include "WebBrowser.h"

namespace kiva {

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
