#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ComObj.h"

namespace kiva {

// Bind flags, notification flags and status codes of the pluggable-protocol layer.
inline constexpr DWORD BINDF_ASYNCHRONOUS = 0x1;
inline constexpr DWORD BINDF_NOWRITECACHE = 0x20;
inline constexpr DWORD BINDF_NEEDFILE = 0x40;
inline constexpr DWORD BINDF_PULLDATA = 0x80;
inline constexpr DWORD BINDF_FROMURLMON = 0x100000;

inline constexpr DWORD BSCF_FIRSTDATANOTIFICATION = 0x1;
inline constexpr DWORD BSCF_INTERMEDIATEDATANOTIFICATION = 0x2;
inline constexpr DWORD BSCF_LASTDATANOTIFICATION = 0x4;
inline constexpr DWORD BSCF_DATAFULLYAVAILABLE = 0x8;
inline constexpr DWORD BSCF_AVAILABLEDATASIZEUNKNOWN = 0x10;

inline constexpr ULONG BINDSTATUS_FINDINGRESOURCE = 1;
inline constexpr ULONG BINDSTATUS_CONNECTING = 2;
inline constexpr ULONG BINDSTATUS_BEGINDOWNLOADDATA = 4;
inline constexpr ULONG BINDSTATUS_ENDDOWNLOADDATA = 6;
inline constexpr ULONG BINDSTATUS_MIMETYPEAVAILABLE = 13;
inline constexpr ULONG BINDSTATUS_CACHEFILENAMEAVAILABLE = 14;

// Protocol start flags (grfPI).
inline constexpr DWORD PI_PARSE_URL = 0x1;
inline constexpr DWORD PI_FORCE_ASYNC = 0x4;

using PARSEACTION = DWORD;
inline constexpr PARSEACTION PARSE_CANONICALIZE = 1;
inline constexpr PARSEACTION PARSE_FRIENDLY = 2;
inline constexpr PARSEACTION PARSE_SECURITY_URL = 3;
inline constexpr PARSEACTION PARSE_ROOTDOCUMENT = 4;
inline constexpr PARSEACTION PARSE_DOCUMENT = 5;
inline constexpr PARSEACTION PARSE_ANCHOR = 6;
inline constexpr PARSEACTION PARSE_ENCODE = 7;
inline constexpr PARSEACTION PARSE_DECODE = 8;
inline constexpr PARSEACTION PARSE_PATH_FROM_URL = 9;
inline constexpr PARSEACTION PARSE_URL_FROM_PATH = 10;
inline constexpr PARSEACTION PARSE_MIME = 11;
inline constexpr PARSEACTION PARSE_SERVER = 12;
inline constexpr PARSEACTION PARSE_SCHEMA = 13;
inline constexpr PARSEACTION PARSE_SITE = 14;
inline constexpr PARSEACTION PARSE_DOMAIN = 15;
inline constexpr PARSEACTION PARSE_LOCATION = 16;
inline constexpr PARSEACTION PARSE_SECURITY_DOMAIN = 17;

using QUERYOPTION = DWORD;

// The size the bind-information record has on Windows; callers put it in
// cbSize, and GetBindInfo fills no more of the record than the caller's size announces.
inline constexpr ULONG kBindInfoSize = 84;

// The part of the bind information that the program reads: the caller's record size and the
// request's verb, options and code page.
struct BINDINFO {
    ULONG cbSize = 0;
    DWORD grfBindInfoF = 0;
    DWORD dwBindVerb = 0;
    DWORD dwOptions = 0;
    DWORD dwOptionsFlags = 0;
    DWORD dwCodePage = 0;
};

// Data of a protocol's switch to the GUI thread (not used: every request runs on that thread).
struct PROTOCOLDATA {
    DWORD grfFlags = 0;
    DWORD dwState = 0;
    void* pData = nullptr;
    ULONG cbData = 0;
};

struct IInternetBindInfo : IUnknown {
    static constexpr IID kIID = GuidLiteral("{79EAC9E1-BAF9-11CE-8C82-00AA004BA90B}");
    virtual HRESULT GetBindInfo(DWORD* grfBINDF, BINDINFO* bindInfo) = 0;

protected:
    ~IInternetBindInfo() = default;
};

struct IInternetProtocolSink : IUnknown {
    static constexpr IID kIID = GuidLiteral("{79EAC9E5-BAF9-11CE-8C82-00AA004BA90B}");
    virtual HRESULT Switch(PROTOCOLDATA* protocolData) = 0;
    virtual HRESULT ReportProgress(ULONG statusCode, LPCWSTR statusText) = 0;
    virtual HRESULT ReportData(DWORD grfBSCF, ULONG progress, ULONG progressMax) = 0;
    virtual HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR resultText) = 0;

protected:
    ~IInternetProtocolSink() = default;
};

struct IInternetProtocolRoot : IUnknown {
    static constexpr IID kIID = GuidLiteral("{79EAC9E3-BAF9-11CE-8C82-00AA004BA90B}");
    virtual HRESULT Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                          IInternetBindInfo* pOIBindInfo, DWORD grfPI, HANDLE_PTR dwReserved) = 0;
    virtual HRESULT Continue(PROTOCOLDATA* pProtocolData) = 0;
    virtual HRESULT Abort(HRESULT hrReason, DWORD dwOptions) = 0;
    virtual HRESULT Terminate(DWORD dwOptions) = 0;
    virtual HRESULT Suspend() = 0;
    virtual HRESULT Resume() = 0;

protected:
    ~IInternetProtocolRoot() = default;
};

struct IInternetProtocol : IInternetProtocolRoot {
    static constexpr IID kIID = GuidLiteral("{79EAC9E4-BAF9-11CE-8C82-00AA004BA90B}");
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                         ULARGE_INTEGER* plibNewPosition) = 0;
    virtual HRESULT LockRequest(DWORD dwOptions) = 0;
    virtual HRESULT UnlockRequest() = 0;

protected:
    ~IInternetProtocol() = default;
};

struct IInternetProtocolInfo : IUnknown {
    static constexpr IID kIID = GuidLiteral("{79EAC9EC-BAF9-11CE-8C82-00AA004BA90B}");
    virtual HRESULT ParseUrl(LPCWSTR pwzUrl, PARSEACTION ParseAction, DWORD dwParseFlags,
                             LPWSTR pwzResult, DWORD cchResult, DWORD* pcchResult,
                             DWORD dwReserved) = 0;
    virtual HRESULT CombineUrl(LPCWSTR pwzBaseUrl, LPCWSTR pwzRelativeUrl, DWORD dwCombineFlags,
                               LPWSTR pwzResult, DWORD cchResult, DWORD* pcchResult,
                               DWORD dwReserved) = 0;
    virtual HRESULT CompareUrl(LPCWSTR pwzUrl1, LPCWSTR pwzUrl2, DWORD dwCompareFlags) = 0;
    virtual HRESULT QueryInfo(LPCWSTR pwzUrl, QUERYOPTION QueryOption, DWORD dwQueryFlags,
                              LPVOID pBuffer, DWORD cbBuffer, DWORD* pcbBuf, DWORD dwReserved) = 0;

protected:
    ~IInternetProtocolInfo() = default;
};

// The process's URL session: its name-space table maps schemes to protocol factories.
struct IInternetSession : IUnknown {
    static constexpr IID kIID = GuidLiteral("{79EAC9E7-BAF9-11CE-8C82-00AA004BA90B}");
    // The newest registration of a scheme wins; schemes compare without regard to ASCII case.
    virtual HRESULT RegisterNameSpace(IClassFactory* pCF, REFCLSID rclsid, LPCWSTR pwzProtocol,
                                      ULONG cPatterns, const LPCWSTR* ppwzPatterns,
                                      DWORD dwReserved) = 0;
    virtual HRESULT UnregisterNameSpace(IClassFactory* pCF, LPCWSTR pszProtocol) = 0;

protected:
    ~IInternetSession() = default;
};

inline constexpr IID IID_IInternetBindInfo = IInternetBindInfo::kIID;
inline constexpr IID IID_IInternetProtocolSink = IInternetProtocolSink::kIID;
inline constexpr IID IID_IInternetProtocolRoot = IInternetProtocolRoot::kIID;
inline constexpr IID IID_IInternetProtocol = IInternetProtocol::kIID;
inline constexpr IID IID_IInternetProtocolInfo = IInternetProtocolInfo::kIID;
inline constexpr IID IID_IInternetSession = IInternetSession::kIID;

// The process's one session (a new reference each call). Mode and reserved must be 0.
HRESULT CoInternetGetSession(DWORD dwSessionMode, IInternetSession** ppIInternetSession,
                             DWORD dwReserved);

inline constexpr DWORD URLMON_OPTION_USERAGENT = 0x10000001;
inline constexpr DWORD URLMON_OPTION_USERAGENT_REFRESH = 0x10000002;

// A user agent fit for request headers: the text up to a terminator, made valid UTF-8, with
// control characters (which could start a header of their own) turned into spaces. Empty when
// nothing is left.
std::string CleanUserAgent(std::string_view text);

// What the browser needs from one request of a registered scheme.
struct TNameSpaceResponse {
    HRESULT Result = E_FAIL;   // S_OK: Data holds the whole body; anything else: the request failed
    std::string Data;          // the bytes (no content type: the browser sniffs it)
    std::string CacheFileName; // set when the handler reported BINDSTATUS_CACHEFILENAMEAVAILABLE
    int HttpStatus = 0;        // dwError of ReportResult (200 on success)
};

// True when a factory is registered for the URL's scheme in the process's session.
bool IsNameSpaceRegistered(std::string_view scheme);

// Drives the registered handler as the platform does: CreateInstance of the factory
// (IID_IInternetProtocol), Start(url, sink, bindInfo, 0, 0) with a sink and bind info of the
// platform's own (bind flags as given, e.g. 0 or BINDF_NEEDFILE; the bind info answers
// IServiceProvider with services, when given), Read in chunks until S_FALSE, Terminate,
// Release. Never throws.
// Results: S_OK with the body; INET_E_UNKNOWN_PROTOCOL when no factory serves the scheme;
// INET_E_RESOURCE_NOT_FOUND when Start answers S_FALSE (no such entry); the handler's own
// failure code otherwise (INET_E_USE_DEFAULT_PROTOCOLHANDLER passes through; a failure that
// the handler reports through ReportResult wins over a successful Start); and
// INET_E_DATA_NOT_AVAILABLE when Start succeeds but no data was ever reported, so that a broken
// handler never looks like an empty page.
TNameSpaceResponse RunNameSpaceRequest(std::u16string_view url, DWORD bindFlags = 0,
                                       IServiceProvider* services = nullptr);

// Brings a call to the thread that drives requests. Protocols that work on other threads
// announce progress through their sink's Switch; the call that follows (the protocol's
// Continue) must run where the request runs: the toolkit's main loop, or a test's queue.
using TRequestDispatcher = std::function<void(std::function<void()>)>;

// What the consumer of a streaming request brings to it.
struct TRequestContext {
    // Where the protocol's Switch is brought. A request without one refuses Switch: a call
    // made on a worker thread never runs there.
    TRequestDispatcher Dispatcher;
    // What the protocol may ask for through the bind info's IServiceProvider; may be null.
    ComPtr<IServiceProvider> Services;
};

// One request of a registered scheme driven as a streaming consumer drives it: Start with
// BINDF_ASYNCHRONOUS | BINDF_PULLDATA, the data pulled with Read whenever the consumer wants
// more, and notifications that a protocol raises on other threads brought back through Switch
// and Continue. Everything but Switch happens on the driving thread. Close (or the last
// holder letting go) ends the request with Terminate.
class TNameSpaceRequest : public std::enable_shared_from_this<TNameSpaceRequest> {
public:
    // Called on the driving thread after each data or result notification that follows Start.
    using TNotify = std::function<void()>;

    // Never throws. Status() tells how the start went.
    static std::shared_ptr<TNameSpaceRequest>
    Start(std::u16string_view url, TNotify onNotify, TRequestContext context,
          DWORD bindFlags = BINDF_ASYNCHRONOUS | BINDF_PULLDATA);
    ~TNameSpaceRequest();
    TNameSpaceRequest(const TNameSpaceRequest&) = delete;
    TNameSpaceRequest& operator=(const TNameSpaceRequest&) = delete;

    // S_OK while the request stands; otherwise its failure, with the codes of
    // RunNameSpaceRequest (INET_E_RESOURCE_NOT_FOUND, INET_E_UNKNOWN_PROTOCOL, the handler's
    // own failure).
    HRESULT Status() const { return status_; }
    // The protocol has reported data, so Size and ContentType are known.
    bool HasData() const { return dataReported_; }
    // The size the protocol announced, or -1 when it did not say.
    std::int64_t Size() const { return size_; }
    // The type the protocol reported, empty when it left it to the consumer.
    const std::string& ContentType() const { return contentType_; }
    // S_OK with at least one byte, S_FALSE at the end (0 bytes), E_PENDING when more will come
    // after the next notification, or the request's failure.
    HRESULT Read(void* buffer, ULONG cb, ULONG* read);
    // Terminates the request and lets the protocol go; later calls find it closed.
    void Close();

private:
    class TSink;
    TNameSpaceRequest() = default;
    void Begin(std::u16string_view url, DWORD bindFlags);
    void Continue(const PROTOCOLDATA& data);
    void Notify();

    ComPtr<IInternetProtocol> protocol_;
    TNotify onNotify_;
    TRequestContext context_;
    HRESULT status_ = E_FAIL;
    bool started_ = false;
    bool dataReported_ = false;
    bool resultReported_ = false;
    bool ended_ = false;
    std::int64_t size_ = -1;
    std::string contentType_;
};

// A plain-HTTP mirror of a scheme's content root on the loopback interface, for the browser's
// parts that cannot read a registered scheme (its media player) or read it slowly (bulk
// data). Root is the content root ("kiva://bundle/"), Address the mirror's base URL with its
// private prefix, BulkPaths the lower-cased, decoded paths below the root that are large
// enough to be fetched from the mirror. An empty Address means no mirror.
struct TNameSpaceMirror {
    std::string Root;
    std::string Address;
    std::vector<std::string> BulkPaths;
};

} // namespace kiva
