#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Classes.h"
#include "ComObj.h"
#include "ContentUrl.h"
#include "EntryFile.h"
#include "HandlerState.h"
#include "ObjIdl.h"
#include "UrlMon.h"

namespace kiva {

class TBookSession;
struct IKivaBook;

inline constexpr CLSID CLSID_OurNSHandler = GuidLiteral("{DAF70F47-915C-46A9-913B-7C5484A16173}");

// Serves one request of the "kiva" scheme from the open archive: the entry is extracted whole
// during Start, reported as fully available, and handed out by Read. The platform creates one
// object per request through the class factory and releases it when the request is done. The
// book comes with the request: the bind info's services answer SID_SKivaBook (BookSession.h).
class TOurNSHandler final : public TComObjectWith<IInternetProtocolInfo, IInternetProtocol> {
public:
    TOurNSHandler();

    // IInternetProtocolInfo
    HRESULT ParseUrl(LPCWSTR pwzUrl, PARSEACTION ParseAction, DWORD dwParseFlags, LPWSTR pwzResult,
                     DWORD cchResult, DWORD* pcchResult, DWORD dwReserved) override;
    HRESULT CombineUrl(LPCWSTR pwzBaseUrl, LPCWSTR pwzRelativeUrl, DWORD dwCombineFlags,
                       LPWSTR pwzResult, DWORD cchResult, DWORD* pcchResult,
                       DWORD dwReserved) override;
    HRESULT CompareUrl(LPCWSTR pwzUrl1, LPCWSTR pwzUrl2, DWORD dwCompareFlags) override;
    HRESULT QueryInfo(LPCWSTR pwzUrl, QUERYOPTION QueryOption, DWORD dwQueryFlags, LPVOID pBuffer,
                      DWORD cbBuffer, DWORD* pcbBuf, DWORD dwReserved) override;

    // IInternetProtocolRoot and IInternetProtocol
    HRESULT Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink, IInternetBindInfo* pOIBindInfo,
                  DWORD grfPI, HANDLE_PTR dwReserved) override;
    HRESULT Continue(PROTOCOLDATA* pProtocolData) override;
    HRESULT Abort(HRESULT hrReason, DWORD dwOptions) override;
    HRESULT Terminate(DWORD dwOptions) override;
    HRESULT Suspend() override;
    HRESULT Resume() override;
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
    HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
    HRESULT LockRequest(DWORD dwOptions) override;
    HRESULT UnlockRequest() override;

protected:
    ~TOurNSHandler() override;
    bool GetInterface(REFIID iid, void** object) override;

private:
    // The request's book; raises when the request brought none or the book has closed.
    TBookSession& Book() const;
    bool LoadEntry(const std::string& url);
    // Entries served while they inflate in the background: the notifications of progress,
    // brought to the platform's thread through the sink's Switch, and what they report.
    void EntryProgressed();
    void ReportStreamed(bool first);
    void ReleaseFinishedEntry();
    void StopStreaming();
    std::string SaveEntryToTempFile(const std::string& url);
    HRESULT StartRequest(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                         IInternetBindInfo* pOIBindInfo);

    bool FNeedFile = false;
    std::string FUrl;
    std::int64_t FPosition = 0;
    std::int64_t FSize = 0;
    ComPtr<IInternetProtocolSink> FSink;
    ComPtr<IKivaBook> FBook;
    ComPtr<IStream> FData;
    std::unique_ptr<TOleStream> FDataWriter;

    // The caller pulls data asynchronously (BINDF_ASYNCHRONOUS): large entries are then
    // streamed from an entry file instead of being extracted inside Start.
    bool FAsync = false;
    std::shared_ptr<TEntryFile> FFile;
    int FListener = 0;
    // A Read found no bytes yet; the next arrival asks the platform for a Continue.
    std::atomic<bool> FWaiting{false};
    bool FResultReported = false;
    // How reading a streamed entry ended (S_FALSE at its end, or its failure); S_OK before.
    HRESULT FStreamEnd = S_OK;
    PROTOCOLDATA FSwitchData;
};

// The failure that Start answers (and reports to the sink) when the entry exists but cannot be
// delivered: damaged data, no open archive, or a temporary file that cannot be written.
inline constexpr HRESULT kEntryFailure = INET_E_DOWNLOAD_FAILURE;

// Unit life. Init creates the class factory (owned by the COM server), then HandlerLog and
// TempFileList; Final deletes the temporary files and their private folder and frees both
// lists. Both may run again; the factory lives until the COM server is finalised.
void OurNSHandlerInit();
void OurNSHandlerFinal();
// Init and Final bound to the life of one object, for program entries and tests.
class TOurNSHandlerUnit {
public:
    TOurNSHandlerUnit() { OurNSHandlerInit(); }
    ~TOurNSHandlerUnit() { OurNSHandlerFinal(); }
    TOurNSHandlerUnit(const TOurNSHandlerUnit&) = delete;
    TOurNSHandlerUnit& operator=(const TOurNSHandlerUnit&) = delete;
};

TComObjectFactory* OurNSHandlerFactory();

} // namespace kiva
