#include "UrlMon.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "ComServer.h"

namespace kiva {
namespace {

constexpr CLSID kScriptedClass = GuidLiteral("{6A1E2B3C-00D0-4000-8000-0000000000D0}");

// How a scripted protocol behaves in one request.
struct TScript {
    HRESULT StartResult = S_OK;
    bool ReportData = true;
    HRESULT ReportedResult = S_OK;
    bool ReportResult = true;
    std::string Body = "hello";
    std::string CacheFile;
    bool ReadsForever = false;
    bool StartThrows = false;
    HRESULT ReadFailure = S_OK;
};

// What the scripted protocol saw.
struct TSeen {
    std::u16string Url;
    DWORD BindFlags = 0;
    ULONG BindInfoSize = 0;
    int Starts = 0;
    int Terminates = 0;
};

class TScriptedProtocol final : public TComObjectWith<IInternetProtocol> {
public:
    TScriptedProtocol(const TScript& script, TSeen& seen) : script_(script), seen_(seen) {}

    HRESULT Start(LPCWSTR url, IInternetProtocolSink* sink, IInternetBindInfo* bindInfo, DWORD,
                  HANDLE_PTR) override {
        ++seen_.Starts;
        seen_.Url = WideView(url);
        BINDINFO info;
        info.cbSize = sizeof(BINDINFO);
        bindInfo->GetBindInfo(&seen_.BindFlags, &info);
        seen_.BindInfoSize = info.cbSize;
        if (script_.StartThrows) {
            throw std::runtime_error("scripted failure");
        }
        if (!script_.CacheFile.empty()) {
            const std::u16string path = AnsiToWide(script_.CacheFile);
            sink->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, path.c_str());
        }
        if (script_.ReportData) {
            sink->ReportData(13, 5, 5);
        }
        if (script_.ReportResult) {
            sink->ReportResult(script_.ReportedResult, SUCCEEDED(script_.ReportedResult) ? 200 : 0,
                               nullptr);
        }
        return script_.StartResult;
    }
    HRESULT Continue(PROTOCOLDATA*) override { return S_OK; }
    HRESULT Abort(HRESULT, DWORD) override { return S_OK; }
    HRESULT Terminate(DWORD) override {
        ++seen_.Terminates;
        return S_OK;
    }
    HRESULT Suspend() override { return E_NOTIMPL; }
    HRESULT Resume() override { return E_NOTIMPL; }
    HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        *pcbRead = 0;
        if (script_.ReadsForever) {
            return S_OK;
        }
        if (FAILED(script_.ReadFailure)) {
            return script_.ReadFailure;
        }
        // Two bytes at a time, so the driver must loop.
        const ULONG n = std::min<ULONG>({cb, 2u, static_cast<ULONG>(script_.Body.size() - pos_)});
        std::copy_n(script_.Body.data() + pos_, n, static_cast<char*>(pv));
        pos_ += n;
        *pcbRead = n;
        return n == 0 ? S_FALSE : S_OK;
    }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT LockRequest(DWORD) override { return S_OK; }
    HRESULT UnlockRequest() override { return S_OK; }

protected:
    bool GetInterface(REFIID iid, void** object) override {
        // The listed interface answers for its base too.
        if (iid == IID_IInternetProtocolRoot) {
            *object = static_cast<IInternetProtocol*>(this);
            return true;
        }
        return TComObjectWith::GetInterface(iid, object);
    }

private:
    const TScript& script_;
    TSeen& seen_;
    std::size_t pos_ = 0;
};

class NameSpaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        factory = TComObjectFactory::Create(
            server, [this] { return new TScriptedProtocol(script, seen); }, kScriptedClass,
            "Scripted", "Scripted", ciMultiInstance, tmApartment);
        ASSERT_EQ(CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0), S_OK);
        ASSERT_EQ(session->RegisterNameSpace(factory, kScriptedClass, u"test", 0, nullptr, 0),
                  S_OK);
    }
    void TearDown() override {
        session->UnregisterNameSpace(factory, u"test");
        EXPECT_EQ(server.ObjectCount(), 0) << "a protocol object was not released";
    }

    TComServer server;
    TComObjectFactory* factory = nullptr;
    ComPtr<IInternetSession> session;
    TScript script;
    TSeen seen;
};

TEST_F(NameSpaceTest, DrivesTheProtocolThroughAWholeRequest) {
    EXPECT_TRUE(IsNameSpaceRegistered("test"));
    EXPECT_TRUE(IsNameSpaceRegistered("TEST"));
    EXPECT_FALSE(IsNameSpaceRegistered("tes"));
    EXPECT_FALSE(IsNameSpaceRegistered(""));

    script.CacheFile = "/tmp/x/clip.swf";
    const TNameSpaceResponse r = RunNameSpaceRequest(u"TeSt://host/p%20q.html", BINDF_NEEDFILE);
    EXPECT_EQ(r.Result, S_OK);
    EXPECT_EQ(r.Data, "hello");
    EXPECT_EQ(r.HttpStatus, 200);
    EXPECT_EQ(r.CacheFileName, "/tmp/x/clip.swf");
    EXPECT_EQ(seen.Url, u"TeSt://host/p%20q.html");
    EXPECT_EQ(seen.BindFlags, BINDF_NEEDFILE);
    EXPECT_EQ(seen.BindInfoSize, sizeof(BINDINFO));
    EXPECT_EQ(seen.Starts, 1);
    EXPECT_EQ(seen.Terminates, 1);
}

struct FailureCase {
    const char* Name;
    TScript Script;
    HRESULT Expected;
};

class NameSpaceFailure : public NameSpaceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(NameSpaceFailure, NeverLooksLikeALoadedPage) {
    script = GetParam().Script;
    const TNameSpaceResponse r = RunNameSpaceRequest(u"test://x/y");
    EXPECT_EQ(r.Result, GetParam().Expected);
    EXPECT_TRUE(r.Data.empty());
    EXPECT_EQ(seen.Terminates, seen.Starts);
}

TScript With(void (*change)(TScript&)) {
    TScript s;
    change(s);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, NameSpaceFailure,
    ::testing::Values(
        FailureCase{"NoSuchEntry", With([](TScript& s) {
                        s.StartResult = S_FALSE;
                        s.ReportData = s.ReportResult = false;
                    }),
                    INET_E_RESOURCE_NOT_FOUND},
        FailureCase{"DefaultHandler", With([](TScript& s) {
                        s.StartResult = INET_E_USE_DEFAULT_PROTOCOLHANDLER;
                        s.ReportData = s.ReportResult = false;
                    }),
                    INET_E_USE_DEFAULT_PROTOCOLHANDLER},
        FailureCase{"StartOkButSilent",
                    With([](TScript& s) { s.ReportData = s.ReportResult = false; }),
                    INET_E_DATA_NOT_AVAILABLE},
        FailureCase{"ResultReportedAsFailure", With([](TScript& s) {
                        s.ReportData = false;
                        s.ReportedResult = INET_E_DOWNLOAD_FAILURE;
                    }),
                    INET_E_DOWNLOAD_FAILURE},
        FailureCase{"StartFailsAfterReportingData",
                    With([](TScript& s) { s.StartResult = E_ABORT; }), E_ABORT},
        FailureCase{"ReadKeepsPromisingData", With([](TScript& s) { s.ReadsForever = true; }),
                    INET_E_DOWNLOAD_FAILURE},
        FailureCase{"ReadFails", With([](TScript& s) { s.ReadFailure = E_OUTOFMEMORY; }),
                    E_OUTOFMEMORY},
        FailureCase{"StartThrows", With([](TScript& s) { s.StartThrows = true; }), E_FAIL}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(NameSpaceTest, WithdrawnOrUnknownSchemesAreNotServed) {
    EXPECT_EQ(RunNameSpaceRequest(u"other://x/y").Result, INET_E_UNKNOWN_PROTOCOL);
    EXPECT_EQ(RunNameSpaceRequest(u"no scheme at all").Result, INET_E_UNKNOWN_PROTOCOL);

    // Withdrawing with another factory leaves the registration in place.
    TComServer otherServer;
    TComObjectFactory* other = TComObjectFactory::Create(
        otherServer, [] { return nullptr; }, kScriptedClass, "Other", "Other", ciMultiInstance);
    EXPECT_EQ(session->UnregisterNameSpace(other, u"test"), S_FALSE);
    EXPECT_TRUE(IsNameSpaceRegistered("test"));

    EXPECT_EQ(session->UnregisterNameSpace(factory, u"TEST"), S_OK);
    EXPECT_FALSE(IsNameSpaceRegistered("test"));
    EXPECT_EQ(RunNameSpaceRequest(u"test://x/y").Result, INET_E_UNKNOWN_PROTOCOL);
    EXPECT_EQ(seen.Starts, 0);
}

TEST_F(NameSpaceTest, TheNewestRegistrationWinsUntilItIsWithdrawn) {
    TComServer otherServer;
    TComObjectFactory* failing = TComObjectFactory::Create(
        otherServer, []() -> TComObject* { throw std::bad_alloc(); }, kScriptedClass, "Failing",
        "Failing", ciMultiInstance);
    ASSERT_EQ(session->RegisterNameSpace(failing, kScriptedClass, u"Test", 0, nullptr, 0), S_OK);
    EXPECT_EQ(RunNameSpaceRequest(u"test://x/y").Result, E_OUTOFMEMORY);
    ASSERT_EQ(session->UnregisterNameSpace(failing, u"test"), S_OK);
    EXPECT_EQ(RunNameSpaceRequest(u"test://x/y").Result, S_OK);
}

TEST(InternetSession, IsOneObjectAndRejectsBadArguments) {
    ComPtr<IInternetSession> a, b;
    ASSERT_EQ(CoInternetGetSession(0, a.ReleaseAndGetAddressOf(), 0), S_OK);
    ASSERT_EQ(CoInternetGetSession(0, b.ReleaseAndGetAddressOf(), 0), S_OK);
    EXPECT_EQ(a.Get(), b.Get());
    EXPECT_EQ(CoInternetGetSession(0, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(CoInternetGetSession(1, b.ReleaseAndGetAddressOf(), 0), E_INVALIDARG);
    EXPECT_FALSE(b);
    EXPECT_EQ(a->RegisterNameSpace(nullptr, kScriptedClass, u"x", 0, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(a->UnregisterNameSpace(nullptr, u"x"), E_INVALIDARG);
}

// The agent goes into request headers and into the browser, which needs valid UTF-8.
TEST(CleanUserAgent, NeverCarriesHeaderBreaksTerminatorsOrBrokenText) {
    const struct {
        std::string In;
        std::string Out;
    } cases[] = {
        {"KivaAgent/1.0", "KivaAgent/1.0"},
        {std::string("Other/2\0junk", 12), "Other/2"},
        {"Agent\r\nX-Injected: 1", "Agent  X-Injected: 1"},
        {"Agent \xE9t\xE9", "Agent \xEF\xBF\xBDt\xEF\xBF\xBD"},
        {std::string("\0x", 2), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CleanUserAgent(c.In), c.Out) << c.In;
    }
}

} // namespace
} // namespace kiva
