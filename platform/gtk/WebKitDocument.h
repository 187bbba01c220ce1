#pragma once

#include "ComObj.h"
#include "WebBrowser.h"

namespace kiva {

// What a document's find command reaches: the find box of the browser that shows it. Opens
// the box, or with next finds the next match of its text (opening the box when it has none).
class IWebKitFinder {
public:
    virtual HRESULT Find(bool next) = 0;

protected:
    ~IWebKitFinder() = default;
};

// The automation object of one document shown by the WebKit browser. Its command target
// answers the browser group's find command: the default option opens the find box, "don't
// prompt" finds the next match of the text last looked for (or opens the box when there is
// none). A document that has been replaced by the next one answers nothing any more.
class TWebKitDocument final : public TComObjectWith<IOleCommandTarget> {
public:
    explicit TWebKitDocument(IWebKitFinder* finder) : finder_(finder) {}

    // The document is gone: a later page replaced it, or the browser went.
    void Detach() { finder_ = nullptr; }

    HRESULT QueryStatus(const GUID* pguidCmdGroup, ULONG cCmds, OLECMD* prgCmds) override;
    HRESULT Exec(const GUID* pguidCmdGroup, DWORD nCmdID, DWORD nCmdexecopt, TVariant* pvaIn,
                 TVariant* pvaOut) override;

protected:
    ~TWebKitDocument() override = default;

private:
    IWebKitFinder* finder_;
};

// The command-target answers for a group the document does not know and for one it has no
// command of.
inline constexpr HRESULT OLECMDERR_E_UNKNOWNGROUP = static_cast<HRESULT>(0x80040104);
inline constexpr DWORD OLECMDF_SUPPORTED = 0x1;
inline constexpr DWORD OLECMDF_ENABLED = 0x2;

} // namespace kiva
