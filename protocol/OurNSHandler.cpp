#include "OurNSHandler.h"

#include <algorithm>

#include "BookSession.h"
#include "ComServer.h"
#include "SysUtils.h"
#include "Trace.h"
#include "ZLIBArchive2.h"

namespace kiva {

namespace {

void CopyWide(std::u16string_view text, LPWSTR target) {
    std::copy(text.begin(), text.end(), target);
    target[text.size()] = 0;
}

} // namespace

// ---- Unit state

void OurNSHandlerInit() {
    if (!ComServer().FindFactory(CLSID_OurNSHandler)) {
        TComObjectFactory::Create(
            ComServer(), [] { return new TOurNSHandler; }, CLSID_OurNSHandler, "OurNSHandler",
            "OurNSHandler", ciMultiInstance, tmApartment);
    }
    HandlerStateInit();
}

void OurNSHandlerFinal() {
    HandlerStateFinal();
}

TComObjectFactory* OurNSHandlerFactory() {
    return ComServer().FindFactory(CLSID_OurNSHandler);
}

// ---- TOurNSHandler

TOurNSHandler::TOurNSHandler() = default;

TOurNSHandler::~TOurNSHandler() {
    StopStreaming();
}

bool TOurNSHandler::GetInterface(REFIID iid, void** object) {
    // The listed interfaces answer for themselves; the protocol also answers for its base.
    if (iid == IID_IInternetProtocolRoot) {
        *object = static_cast<IInternetProtocol*>(this);
        return true;
    }
    return TComObjectWith::GetInterface(iid, object);
}

HRESULT TOurNSHandler::Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                             IInternetBindInfo* pOIBindInfo, DWORD /*grfPI*/,
                             HANDLE_PTR /*dwReserved*/) {
    std::string message;
    try {
        return StartRequest(szUrl, pOIProtSink, pOIBindInfo);
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unknown error";
    }
    // An entry that cannot be delivered fails the request: the sink hears it like any other
    // result, and no half-made data is ever handed out.
    try {
        HandlerTrace("Failed: " + message);
        StopStreaming();
        FDataWriter.reset();
        FData.Reset();
        FSize = 0;
        FPosition = 0;
        if (FSink) {
            FSink->ReportResult(kEntryFailure, 0, AnsiToWide(message).c_str());
        }
    } catch (...) {
        TraceCaughtError("failing a request");
    }
    return kEntryFailure;
}

HRESULT TOurNSHandler::StartRequest(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                                    IInternetBindInfo* pOIBindInfo) {
    FNeedFile = false;
    FAsync = false;
    FStreamEnd = S_OK;
    if (!szUrl || !pOIProtSink) {
        return E_INVALIDARG;
    }
    if (pOIBindInfo) {
        // Room for the whole record of the announced size, whatever part of it this side reads.
        struct {
            BINDINFO Info;
            BYTE Rest[kBindInfoSize - sizeof(BINDINFO)];
        } bindInfo{};
        static_assert(sizeof(bindInfo) >= kBindInfoSize);
        bindInfo.Info.cbSize = kBindInfoSize;
        DWORD grfBINDF = 0;
        if (pOIBindInfo->GetBindInfo(&grfBINDF, &bindInfo.Info) == S_OK) {
            FNeedFile = (grfBINDF & BINDF_NEEDFILE) != 0;
            FAsync = (grfBINDF & BINDF_ASYNCHRONOUS) != 0;
        }
        // The request's consumer says which book it reads.
        ComPtr<IServiceProvider> services;
        if (pOIBindInfo->QueryInterface(IID_IServiceProvider,
                                        services.ReleaseAndGetVoidAddress()) == S_OK &&
            services) {
            services->QueryService(SID_SKivaBook, IID_IKivaBook, FBook.ReleaseAndGetVoidAddress());
        }
    }
    const std::string url = WideToAnsi(WideView(szUrl));
    HandlerTrace("Start widechar: " + url);
    HandlerTrace("Start ansistring: " + url);
    if (AnsiLowerCaseAscii(url.substr(0, kContentRoot.size())) != kContentRoot) {
        HandlerTrace("Default handler for: " + url);
        return INET_E_USE_DEFAULT_PROTOCOLHANDLER;
    }
    FUrl = url;
    FSink = ComPtr<IInternetProtocolSink>(pOIProtSink);
    if (!LoadEntry(FUrl)) {
        return S_FALSE;
    }
    if (FFile) {
        FListener = FFile->AddListener([this] { EntryProgressed(); });
        ReportStreamed(true);
        return S_OK;
    }
    if (FNeedFile) {
        std::u16string path = AnsiToWide(SaveEntryToTempFile(FUrl));
        if (path.size() > 1023) {
            path.resize(1023);
        }
        FSink->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, path.c_str());
    }
    const auto size = static_cast<ULONG>(FSize);
    FSink->ReportData(BSCF_FIRSTDATANOTIFICATION | BSCF_LASTDATANOTIFICATION |
                          BSCF_DATAFULLYAVAILABLE,
                      size, size);
    FSink->ReportResult(S_OK, 200, nullptr);
    FResultReported = true;
    return S_OK;
}

TBookSession& TOurNSHandler::Book() const {
    TBookSession* book = FBook ? FBook->Book() : nullptr;
    if (!book || book->Archive().ArchiveFileName().empty()) {
        throw Exception("No archive is currently open");
    }
    return *book;
}

bool TOurNSHandler::LoadEntry(const std::string& url) {
    const std::string name = EntryNameFromUrl(url);
    HandlerTrace("Get data for: " + name);
    TBookSession& book = Book();
    TZLBArc2* arc = &book.Archive();
    const TUrlEntry found = FindUrlEntry(*arc, url);
    if (found.Index < 0) {
        HandlerTrace("Not found : " + name);
        FSize = 0;
        return false;
    }
    HandlerTrace("Send data for: " + name);
    const TArchiveEntry entry = arc->GetFileEntry(found.Index);
    const std::string type = ContentTypeOfEntry(found.Name);
    if (!type.empty()) {
        FSink->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, AnsiToWide(type).c_str());
    }

    FDataWriter.reset();
    FData.Reset();
    FPosition = 0;
    // A large entry for a caller that pulls asynchronously inflates in the background, so
    // the browser's thread never waits for it and it is never held in memory whole.
    // Encrypted entries need the window's decryption handler and stay on this thread.
    const bool plain = entry.Method == emCompressed || entry.Method == emStored;
    if (FAsync && !FNeedFile && plain && entry.UncompressedSize >= kStreamedEntryMinSize &&
        book.Entries()) {
        FFile = book.Entries()->Open(found.Index);
        FSize = entry.UncompressedSize;
        return true;
    }

    const HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, FData.ReleaseAndGetAddressOf());
    if (FAILED(hr) || !FData) {
        throw Exception("Out of memory");
    }
    FDataWriter = std::make_unique<TOleStream>(FData.Get());
    // The entry inflates straight into the data stream, sized once up front, so that serving
    // it costs its size once rather than twice.
    constexpr std::int64_t kMaxPresize = std::int64_t(256) << 20;
    if (entry.UncompressedSize > 0 && entry.UncompressedSize <= kMaxPresize) {
        FDataWriter->SetSize(entry.UncompressedSize);
    }
    arc->ExtractToStream(*FDataWriter, found.Name);
    FDataWriter->SetSize(FDataWriter->Position());

    ULARGE_INTEGER end = 0;
    FData->Seek(0, STREAM_SEEK_END, &end);
    FSize = static_cast<std::int64_t>(end);
    FData->Seek(0, STREAM_SEEK_SET, nullptr);
    FPosition = 0;
    return true;
}

void TOurNSHandler::EntryProgressed() {
    // Called on the extraction's thread: only the platform's Switch may be used here, which
    // brings the Continue to the thread the request runs on.
    const TEntryFile::TProgress p = FFile->Progress();
    if (FWaiting.exchange(false) || p.Done) {
        FSink->Switch(&FSwitchData);
    }
}

void TOurNSHandler::ReportStreamed(bool first) {
    if (!FFile || !FSink || FResultReported) {
        return;
    }
    const TEntryFile::TProgress p = FFile->Progress();
    if (p.Failed) {
        FResultReported = true;
        FSink->ReportResult(kEntryFailure, 0, AnsiToWide(FFile->Error()).c_str());
        return;
    }
    DWORD flags = first ? BSCF_FIRSTDATANOTIFICATION : BSCF_INTERMEDIATEDATANOTIFICATION;
    if (p.Done) {
        FSize = p.Available;
        flags |= BSCF_LASTDATANOTIFICATION | BSCF_DATAFULLYAVAILABLE;
    }
    FSink->ReportData(flags, static_cast<ULONG>(p.Available), static_cast<ULONG>(FSize));
    if (p.Done) {
        FResultReported = true;
        FSink->ReportResult(S_OK, 200, nullptr);
    }
}

void TOurNSHandler::ReleaseFinishedEntry() {
    // The entry's file is held while it is served, which keeps the store from closing it. Once
    // the result is out and the reader has had the last byte, nothing needs it any more: the
    // browser may keep a finished request for long, and the store must not wait for it.
    if (FFile && FResultReported && FStreamEnd != S_OK) {
        StopStreaming();
    }
}

void TOurNSHandler::StopStreaming() {
    if (FFile) {
        FFile->RemoveListener(FListener);
        FFile.reset();
    }
}

std::string TOurNSHandler::SaveEntryToTempFile(const std::string& url) {
    TZLBArc2* arc = &Book().Archive();
    const TUrlEntry found = FindUrlEntry(*arc, url);
    if (found.Index < 0) {
        return std::string();
    }
    return TempFileOfEntry(
        found.Name, [&](TMemoryStream& stream) { arc->ExtractToStream(stream, found.Name); });
}

HRESULT TOurNSHandler::Continue(PROTOCOLDATA* /*pProtocolData*/) {
    try {
        ReportStreamed(false);
        ReleaseFinishedEntry();
    } catch (...) {
        TraceCaughtError("a streamed entry's progress");
    }
    return S_OK;
}

HRESULT TOurNSHandler::Abort(HRESULT /*hrReason*/, DWORD /*dwOptions*/) {
    return S_OK;
}

HRESULT TOurNSHandler::Terminate(DWORD /*dwOptions*/) {
    try {
        // No notification may reach the sink once it is let go.
        StopStreaming();
        FDataWriter.reset();
        FSink.Reset();
        FBook.Reset();
    } catch (...) {
        TraceCaughtError("ending a request");
    }
    return S_OK;
}

HRESULT TOurNSHandler::Suspend() {
    return E_NOTIMPL;
}

HRESULT TOurNSHandler::Resume() {
    return E_NOTIMPL;
}

HRESULT TOurNSHandler::Read(void* pv, ULONG cb, ULONG* pcbRead) {
    if (pcbRead) {
        *pcbRead = 0;
    }
    if (!pv && cb > 0) {
        return E_INVALIDARG;
    }
    try {
        if (FFile) {
            // Armed before looking, so bytes that land meanwhile still bring a Continue.
            FWaiting = true;
            const TEntryFile::TProgress p = FFile->Progress();
            if (FPosition < p.Available) {
                FWaiting = false;
                const std::int64_t n = FFile->ReadAvailable(FPosition, pv, cb);
                FPosition += n;
                if (pcbRead) {
                    *pcbRead = static_cast<ULONG>(n);
                }
                return S_OK;
            }
            if (p.Done) {
                FWaiting = false;
                FStreamEnd = p.Failed ? kEntryFailure : S_FALSE;
                ReleaseFinishedEntry();
                return FStreamEnd;
            }
            return E_PENDING;
        }
        if (FStreamEnd != S_OK) {
            return FStreamEnd;
        }
        if (FPosition < FSize && FData) {
            ULONG n = 0;
            FData->Read(pv, cb, &n);
            FPosition += n;
            if (pcbRead) {
                *pcbRead = n;
            }
            // A data stream that stops short ends the response instead of promising more.
            return n == 0 && cb > 0 ? S_FALSE : S_OK;
        }
        return S_FALSE;
    } catch (...) {
        TraceCaughtError("reading a request");
        return E_FAIL;
    }
}

HRESULT TOurNSHandler::Seek(LARGE_INTEGER /*dlibMove*/, DWORD /*dwOrigin*/,
                            ULARGE_INTEGER* /*plibNewPosition*/) {
    return S_OK;
}

HRESULT TOurNSHandler::LockRequest(DWORD /*dwOptions*/) {
    return S_OK;
}

HRESULT TOurNSHandler::UnlockRequest() {
    return S_OK;
}

HRESULT TOurNSHandler::ParseUrl(LPCWSTR /*pwzUrl*/, PARSEACTION ParseAction, DWORD /*dwParseFlags*/,
                                LPWSTR pwzResult, DWORD cchResult, DWORD* pcchResult,
                                DWORD /*dwReserved*/) {
    if (ParseAction != PARSE_SECURITY_URL) {
        return E_NOTIMPL;
    }
    if (!pcchResult) {
        return E_POINTER;
    }
    // Every content URL has the same security URL, so all pages share one origin. The size
    // asked for is twice the root's length, as callers of this handler have always seen it.
    constexpr std::u16string_view root = u"kiva://bundle/";
    const auto needed = static_cast<DWORD>(2 * root.size());
    *pcchResult = needed;
    if (needed > cchResult) {
        return S_FALSE;
    }
    if (!pwzResult) {
        return E_POINTER;
    }
    CopyWide(root, pwzResult);
    return S_OK;
}

HRESULT TOurNSHandler::CombineUrl(LPCWSTR /*pwzBaseUrl*/, LPCWSTR pwzRelativeUrl,
                                  DWORD /*dwCombineFlags*/, LPWSTR pwzResult, DWORD cchResult,
                                  DWORD* pcchResult, DWORD /*dwReserved*/) {
    if (!pwzRelativeUrl) {
        return E_INVALIDARG;
    }
    try {
        const std::string rel = UrlDecode(WideToAnsi(WideView(pwzRelativeUrl)));
        if (rel.rfind("file:///", 0) != 0 || rel.find("kiva") == std::string::npos) {
            return INET_E_USE_DEFAULT_PROTOCOLHANDLER;
        }
        // A relative link that the platform turned into a file URL, with the scheme's colon
        // written as "|", becomes a content URL again.
        std::string result = rel.substr(8);
        std::replace(result.begin(), result.end(), '|', ':');
        if (!pcchResult) {
            return E_POINTER;
        }
        const auto needed = static_cast<DWORD>(2 * result.size());
        *pcchResult = needed;
        const std::u16string wide = AnsiToWide(result);
        if (needed > cchResult || wide.size() + 1 > cchResult) {
            return S_FALSE;
        }
        if (!pwzResult) {
            return E_POINTER;
        }
        CopyWide(wide, pwzResult);
        return S_OK;
    } catch (...) {
        // Only the conversions of the texts can fail, for want of memory.
        TraceCaughtError("combining addresses");
        return E_OUTOFMEMORY;
    }
}

HRESULT TOurNSHandler::CompareUrl(LPCWSTR /*pwzUrl1*/, LPCWSTR /*pwzUrl2*/,
                                  DWORD /*dwCompareFlags*/) {
    return E_NOTIMPL;
}

HRESULT TOurNSHandler::QueryInfo(LPCWSTR /*pwzUrl*/, QUERYOPTION /*QueryOption*/,
                                 DWORD /*dwQueryFlags*/, LPVOID /*pBuffer*/, DWORD /*cbBuffer*/,
                                 DWORD* /*pcbBuf*/, DWORD /*dwReserved*/) {
    return E_NOTIMPL;
}

} // namespace kiva
