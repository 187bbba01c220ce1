// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitDocument.h"

#include "WebKitCommands.h"

namespace kiva {

HRESULT TWebKitDocument::QueryStatus(const GUID* pguidCmdGroup, ULONG cCmds, OLECMD* prgCmds) {
    if (!prgCmds) {
        return E_POINTER;
    }
    if (!pguidCmdGroup || *pguidCmdGroup != CGID_IWebBrowser) {
        return OLECMDERR_E_UNKNOWNGROUP;
    }
    for (ULONG i = 0; i < cCmds; ++i) {
        prgCmds[i].cmdf = 0;
        if (prgCmds[i].cmdID == HTMLID_FIND) {
            prgCmds[i].cmdf = OLECMDF_SUPPORTED | (commands_ ? OLECMDF_ENABLED : 0);
        }
    }
    return S_OK;
}

HRESULT TWebKitDocument::Exec(const GUID* pguidCmdGroup, DWORD nCmdID, DWORD nCmdexecopt, TVariant*,
                              TVariant*) {
    if (!pguidCmdGroup || *pguidCmdGroup != CGID_IWebBrowser) {
        return OLECMDERR_E_UNKNOWNGROUP;
    }
    if (nCmdID != HTMLID_FIND) {
        return OLECMDERR_E_NOTSUPPORTED;
    }
    if (!commands_) {
        return E_FAIL;
    }
    try {
        return commands_->Find(nCmdexecopt == OLECMDEXECOPT_DONTPROMPTUSER);
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace kiva
