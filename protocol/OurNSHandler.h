#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Classes.h"
#include "ComObj.h"
#include "ObjIdl.h"
#include "UrlMon.h"

namespace kiva {

class TZLBArc2;

inline constexpr CLSID CLSID_OurNSHandler = GuidLiteral("{DAF70F47-915C-46A9-913B-7C5484A16173}");
// The content root: every URL under it is served from the archive.
inline constexpr std::string_view kContentRoot = "kiva://bundle/";

// Serves one request of the "kiva" scheme from the open archive: the entry is extracted whole
// during Start, reported as fully available, and handed out by Read. The platform creates one
// object per request through the class factory and releases it when the request is done.
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
    bool LoadEntry(const std::string& url);
    std::string SaveEntryToTempFile(const std::string& url);
    HRESULT StartRequest(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                         IInternetBindInfo* pOIBindInfo);

    bool FNeedFile = false;
    std::string FUrl;
    std::unique_ptr<TMemoryStream> FExtractStream;
    std::int64_t FPosition = 0;
    std::int64_t FSize = 0;
    ComPtr<IInternetProtocolSink> FSink;
    ComPtr<IStream> FData;
    std::unique_ptr<TOleStream> FDataWriter;
};

// The failure that Start answers (and reports to the sink) when the entry exists but cannot be
// delivered: damaged data, no open archive, or a temporary file that cannot be written.
inline constexpr HRESULT kEntryFailure = INET_E_DOWNLOAD_FAILURE;

// The entry name of a content URL: the root's 14 characters dropped (whatever their case), the
// escapes decoded, "/" turned into "\", and everything from the first "?" cut off.
std::string EntryNameFromUrl(std::string_view url);
// Decodes %XX escapes and "+" of an 8-bit text; see the tests for cut-short escapes.
std::string UrlDecode(std::string_view s);
// The value of one hexadecimal digit; other characters give whatever the formula yields.
BYTE HexDigitValue(char c);
// The system's folder for temporary files, ending with "/": TMPDIR, TMP or TEMP when it names
// an existing folder, else /tmp; made absolute.
std::string SystemTempDir();

// The archive that requests are served from: the main window's reader, set when the window
// creates it and cleared (null) before the window destroys it. Without one every request fails.
void SetHandlerArchive(TZLBArc2* archive);
TZLBArc2* HandlerArchive();

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
// The trace of the requests, oldest first. Only the newest kHandlerLogLimit lines are kept, so
// a long session does not grow without end. Empty outside Init and Final.
inline constexpr int kHandlerLogLimit = 10000;
const TStringList& HandlerLog();
// The temporary files written for requests that need a file, in the order they were written.
const TStringList& TempFileList();
// The process's private folder for those files (mode 0700), or empty until the first one.
std::string HandlerTempFolder();

} // namespace kiva
