// The platform's headers come before the toolkit's, whose TRUE and FALSE are macros.
#include "WebKitDocument.h"

#include "Trace.h"

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
            prgCmds[i].cmdf = OLECMDF_SUPPORTED | (finder_ ? OLECMDF_ENABLED : 0);
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
    if (!finder_) {
        return E_FAIL;
    }
    try {
        return finder_->Find(nCmdexecopt == OLECMDEXECOPT_DONTPROMPTUSER);
    } catch (...) {
        TraceCaughtError("the document's find command");
        return E_FAIL;
    }
}

} // namespace kiva
