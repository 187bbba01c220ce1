#include "UrlMon.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "SysUtils.h"

namespace kiva {

namespace {

// The scheme of a URL: the text before its first ':', or empty when there is none.
std::string SchemeOf(std::u16string_view url) {
    const std::size_t colon = url.find(u':');
    return colon == std::u16string_view::npos ? std::string() : WideToAnsi(url.substr(0, colon));
}

class TInternetSession final : public TComObjectWith<IInternetSession> {
public:
    HRESULT RegisterNameSpace(IClassFactory* pCF, REFCLSID rclsid, LPCWSTR pwzProtocol,
                              ULONG /*cPatterns*/, const LPCWSTR* /*ppwzPatterns*/,
                              DWORD /*dwReserved*/) override {
        if (!pCF || WideLength(pwzProtocol) == 0) {
            return E_INVALIDARG;
        }
        try {
            entries_.push_back(
                TEntry{ComPtr<IClassFactory>(pCF), rclsid, WideToAnsi(WideView(pwzProtocol))});
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT UnregisterNameSpace(IClassFactory* pCF, LPCWSTR pszProtocol) override {
        if (!pCF || WideLength(pszProtocol) == 0) {
            return E_INVALIDARG;
        }
        const std::string scheme = WideToAnsi(WideView(pszProtocol));
        for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
            if (it->Factory.Get() == pCF && SameTextAscii(it->Scheme, scheme)) {
                // Drop the reference only after the entry has left the table.
                ComPtr<IClassFactory> factory = std::move(it->Factory);
                entries_.erase(std::next(it).base());
                return S_OK;
            }
        }
        return S_FALSE;
    }

    // The newest factory registered for the scheme, or null.
    ComPtr<IClassFactory> FactoryFor(std::string_view scheme) const {
        for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
            if (SameTextAscii(it->Scheme, scheme)) {
                return it->Factory;
            }
        }
        return nullptr;
    }

private:
    struct TEntry {
        ComPtr<IClassFactory> Factory;
        CLSID Clsid;
        std::string Scheme;
    };
    std::vector<TEntry> entries_;
};

TInternetSession& Session() {
    // One reference held for the whole process and never given back: the session outlives
    // every caller, including those that release it at program end.
    static TInternetSession* session = [] {
        auto* s = new TInternetSession;
        s->AddRef();
        return s;
    }();
    return *session;
}

// What the platform gives a protocol for one request: its bind flags, the consumer's services,
// and a sink that keeps every notification.
class TRequestBindInfo final : public TComObjectWith<IInternetBindInfo, IServiceProvider> {
public:
    TRequestBindInfo(DWORD flags, ComPtr<IServiceProvider> services)
        : flags_(flags), services_(std::move(services)) {}

    HRESULT QueryService(REFGUID service, REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        return services_ ? services_->QueryService(service, iid, object) : E_NOINTERFACE;
    }

    HRESULT GetBindInfo(DWORD* grfBINDF, BINDINFO* bindInfo) override {
        if (!grfBINDF || !bindInfo || bindInfo->cbSize == 0) {
            return E_INVALIDARG;
        }
        *grfBINDF = flags_;
        // Never more than the caller's record holds, whatever size it announces.
        const ULONG cbSize = bindInfo->cbSize;
        BINDINFO filled;
        filled.cbSize = cbSize;
        std::memcpy(bindInfo, &filled, std::min<std::size_t>(cbSize, sizeof(BINDINFO)));
        return S_OK;
    }

private:
    DWORD flags_;
    ComPtr<IServiceProvider> services_;
};

class TRequestSink final : public TComObjectWith<IInternetProtocolSink> {
public:
    HRESULT Switch(PROTOCOLDATA* /*protocolData*/) override { return E_NOTIMPL; }

    HRESULT ReportProgress(ULONG statusCode, LPCWSTR statusText) override {
        if (statusCode == BINDSTATUS_CACHEFILENAMEAVAILABLE) {
            CacheFileName = WideToAnsi(WideView(statusText));
        }
        return S_OK;
    }

    HRESULT ReportData(DWORD /*grfBSCF*/, ULONG /*progress*/, ULONG /*progressMax*/) override {
        DataReported = true;
        return S_OK;
    }

    HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR /*resultText*/) override {
        ResultReported = true;
        Result = result;
        Error = error;
        return S_OK;
    }

    std::string CacheFileName;
    bool DataReported = false;
    bool ResultReported = false;
    HRESULT Result = S_OK;
    DWORD Error = 0;
};

// A call into a protocol that lets an exception escape counts as a plain failure, so that the
// request still ends with Terminate.
template <class F> HRESULT Guarded(F&& call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

constexpr ULONG kReadChunk = 64 * 1024;
// A protocol that keeps answering "more data" without delivering any is given up on.
constexpr int kMaxEmptyReads = 64;

// Reads the whole body; S_OK, or the failure that ended the reading.
HRESULT ReadAll(IInternetProtocol& protocol, std::string& data) {
    std::vector<char> buffer(kReadChunk);
    int emptyReads = 0;
    for (;;) {
        ULONG n = 0;
        const HRESULT hr = Guarded([&] { return protocol.Read(buffer.data(), kReadChunk, &n); });
        if (n > kReadChunk) {
            return INET_E_DOWNLOAD_FAILURE;
        }
        data.append(buffer.data(), n);
        if (hr == S_FALSE) {
            return S_OK;
        }
        if (hr == E_PENDING) {
            // Nothing else runs while the request is driven, so pending data never arrives.
            return INET_E_DATA_NOT_AVAILABLE;
        }
        if (FAILED(hr)) {
            return hr;
        }
        if (n == 0 && ++emptyReads > kMaxEmptyReads) {
            return INET_E_DOWNLOAD_FAILURE;
        }
        if (n > 0) {
            emptyReads = 0;
        }
    }
}

TNameSpaceResponse RunRequest(std::u16string_view url, DWORD bindFlags,
                              IServiceProvider* services) {
    TNameSpaceResponse r;
    ComPtr<IClassFactory> factory = Session().FactoryFor(SchemeOf(url));
    if (!factory) {
        r.Result = INET_E_UNKNOWN_PROTOCOL;
        return r;
    }
    ComPtr<IInternetProtocol> protocol;
    HRESULT hr = Guarded([&] {
        return factory->CreateInstance(nullptr, IID_IInternetProtocol,
                                       protocol.ReleaseAndGetVoidAddress());
    });
    if (FAILED(hr) || !protocol) {
        r.Result = FAILED(hr) ? hr : E_NOINTERFACE;
        return r;
    }
    ComPtr<TRequestSink> sink(new TRequestSink);
    ComPtr<TRequestBindInfo> bindInfo(
        new TRequestBindInfo(bindFlags, ComPtr<IServiceProvider>(services)));
    const std::u16string text(url);

    hr = Guarded([&] { return protocol->Start(text.c_str(), sink.Get(), bindInfo.Get(), 0, 0); });
    if (hr == S_FALSE) {
        r.Result = INET_E_RESOURCE_NOT_FOUND;
    } else if (FAILED(hr) && hr != E_PENDING) {
        r.Result = hr;
    } else if (sink->ResultReported && FAILED(sink->Result)) {
        r.Result = sink->Result;
    } else if (!sink->DataReported) {
        r.Result = INET_E_DATA_NOT_AVAILABLE;
    } else {
        r.Result = ReadAll(*protocol, r.Data);
        if (SUCCEEDED(r.Result) && sink->ResultReported && FAILED(sink->Result)) {
            r.Result = sink->Result;
        }
    }
    Guarded([&] { return protocol->Terminate(0); });

    r.CacheFileName = sink->CacheFileName;
    if (sink->ResultReported) {
        r.HttpStatus = static_cast<int>(sink->Error);
    }
    if (FAILED(r.Result)) {
        r.Data.clear();
    } else {
        r.Result = S_OK;
        if (!sink->ResultReported) {
            r.HttpStatus = 200;
        }
    }
    return r;
}

} // namespace

// The sink of a streaming request. It refers to its request weakly: a notification that
// arrives after the request was closed finds nobody and is dropped.
class TNameSpaceRequest::TSink final : public TComObjectWith<IInternetProtocolSink> {
public:
    TSink(std::weak_ptr<TNameSpaceRequest> request, TRequestDispatcher dispatcher)
        : request_(std::move(request)), dispatcher_(std::move(dispatcher)) {}

    // The one method a protocol may call from any thread. It never touches the request here:
    // the request lives on the driving thread, and only the dispatched call goes there.
    HRESULT Switch(PROTOCOLDATA* protocolData) override {
        if (!protocolData) {
            return E_INVALIDARG;
        }
        if (!dispatcher_) {
            return E_UNEXPECTED;
        }
        try {
            dispatcher_([request = request_, data = *protocolData] {
                if (auto r = request.lock()) {
                    r->Continue(data);
                }
            });
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT ReportProgress(ULONG statusCode, LPCWSTR statusText) override {
        if (auto r = request_.lock(); r && statusCode == BINDSTATUS_MIMETYPEAVAILABLE) {
            r->contentType_ = WideToAnsi(WideView(statusText));
        }
        return S_OK;
    }

    HRESULT ReportData(DWORD grfBSCF, ULONG /*progress*/, ULONG progressMax) override {
        if (auto r = request_.lock()) {
            if (!r->dataReported_) {
                r->dataReported_ = true;
                if ((grfBSCF & BSCF_AVAILABLEDATASIZEUNKNOWN) == 0 &&
                    (progressMax > 0 || (grfBSCF & BSCF_DATAFULLYAVAILABLE) != 0)) {
                    r->size_ = progressMax;
                }
            }
            r->Notify();
        }
        return S_OK;
    }

    HRESULT ReportResult(HRESULT result, DWORD /*error*/, LPCWSTR /*resultText*/) override {
        if (auto r = request_.lock(); r && !r->resultReported_) {
            r->resultReported_ = true;
            if (FAILED(result) && SUCCEEDED(r->status_)) {
                r->status_ = result;
            }
            r->Notify();
        }
        return S_OK;
    }

private:
    const std::weak_ptr<TNameSpaceRequest> request_;
    const TRequestDispatcher dispatcher_;
};

std::shared_ptr<TNameSpaceRequest> TNameSpaceRequest::Start(std::u16string_view url,
                                                            TNotify onNotify,
                                                            TRequestContext context,
                                                            DWORD bindFlags) {
    std::shared_ptr<TNameSpaceRequest> request;
    try {
        request.reset(new TNameSpaceRequest());
        request->onNotify_ = std::move(onNotify);
        request->context_ = std::move(context);
        request->Begin(url, bindFlags);
    } catch (...) {
        if (request) {
            request->status_ = E_OUTOFMEMORY;
            request->Close();
        }
    }
    return request;
}

void TNameSpaceRequest::Begin(std::u16string_view url, DWORD bindFlags) {
    ComPtr<IClassFactory> factory = Session().FactoryFor(SchemeOf(url));
    if (!factory) {
        status_ = INET_E_UNKNOWN_PROTOCOL;
        return;
    }
    HRESULT hr = Guarded([&] {
        return factory->CreateInstance(nullptr, IID_IInternetProtocol,
                                       protocol_.ReleaseAndGetVoidAddress());
    });
    if (FAILED(hr) || !protocol_) {
        status_ = FAILED(hr) ? hr : E_NOINTERFACE;
        protocol_ = nullptr;
        return;
    }
    ComPtr<TSink> sink(new TSink(weak_from_this(), context_.Dispatcher));
    ComPtr<TRequestBindInfo> bindInfo(new TRequestBindInfo(bindFlags, context_.Services));
    const std::u16string text(url);
    status_ = S_OK;
    hr = Guarded([&] { return protocol_->Start(text.c_str(), sink.Get(), bindInfo.Get(), 0, 0); });
    started_ = true;
    if (hr == S_FALSE) {
        status_ = INET_E_RESOURCE_NOT_FOUND;
    } else if (FAILED(hr) && hr != E_PENDING && SUCCEEDED(status_)) {
        status_ = hr;
    }
    if (FAILED(status_)) {
        Close();
    }
}

TNameSpaceRequest::~TNameSpaceRequest() {
    Close();
}

void TNameSpaceRequest::Notify() {
    // Notifications raised inside Start are read by the caller from the state afterwards.
    if (started_ && onNotify_) {
        onNotify_();
    }
}

void TNameSpaceRequest::Continue(const PROTOCOLDATA& data) {
    if (protocol_) {
        PROTOCOLDATA copy = data;
        Guarded([&] { return protocol_->Continue(&copy); });
    }
}

HRESULT TNameSpaceRequest::Read(void* buffer, ULONG cb, ULONG* read) {
    if (read) {
        *read = 0;
    }
    if (FAILED(status_)) {
        return status_;
    }
    if (ended_) {
        return S_FALSE;
    }
    if (!protocol_ || !buffer || !read) {
        return E_UNEXPECTED;
    }
    ULONG n = 0;
    const HRESULT hr = Guarded([&] { return protocol_->Read(buffer, cb, &n); });
    if (n > cb) {
        status_ = INET_E_DOWNLOAD_FAILURE;
        return status_;
    }
    if (FAILED(status_)) {
        // The protocol reported a failure while reading.
        return status_;
    }
    if (hr == E_PENDING) {
        if (n > 0) {
            *read = n;
            return S_OK;
        }
        return E_PENDING;
    }
    if (FAILED(hr)) {
        status_ = hr;
        return status_;
    }
    *read = n;
    if (hr == S_FALSE) {
        ended_ = true;
        return n > 0 ? S_OK : S_FALSE;
    }
    if (n == 0 && cb > 0) {
        // A protocol that answers "more" with nothing is treated as waiting for more.
        return E_PENDING;
    }
    return S_OK;
}

void TNameSpaceRequest::Close() {
    if (protocol_) {
        ComPtr<IInternetProtocol> protocol = std::move(protocol_);
        Guarded([&] { return protocol->Terminate(0); });
    }
    onNotify_ = nullptr;
}

HRESULT CoInternetGetSession(DWORD dwSessionMode, IInternetSession** ppIInternetSession,
                             DWORD dwReserved) {
    if (!ppIInternetSession) {
        return E_INVALIDARG;
    }
    *ppIInternetSession = nullptr;
    if (dwSessionMode != 0 || dwReserved != 0) {
        return E_INVALIDARG;
    }
    TInternetSession& s = Session();
    s.AddRef();
    *ppIInternetSession = &s;
    return S_OK;
}

std::string CleanUserAgent(std::string_view text) {
    // A terminator counted into the length is not part of the agent.
    std::string agent(text.substr(0, text.find('\0')));
    agent = WideToAnsi(AnsiToWide(agent));
    for (char& c : agent) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return agent;
}

bool IsNameSpaceRegistered(std::string_view scheme) {
    return !scheme.empty() && Session().FactoryFor(scheme);
}

TNameSpaceResponse RunNameSpaceRequest(std::u16string_view url, DWORD bindFlags,
                                       IServiceProvider* services) {
    try {
        return RunRequest(url, bindFlags, services);
    } catch (const std::bad_alloc&) {
        TNameSpaceResponse r;
        r.Result = E_OUTOFMEMORY;
        return r;
    } catch (...) {
        TNameSpaceResponse r;
        r.Result = E_FAIL;
        return r;
    }
}

} // namespace kiva
