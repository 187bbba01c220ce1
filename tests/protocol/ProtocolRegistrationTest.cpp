#include "ProtocolRegistration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ComServer.h"
#include "OurNSHandler.h"
#include "ProtocolFixture.h"
#include "Registry.h"

namespace kiva {
namespace {

namespace fs = std::filesystem;

// The life of the process around the protocol: the class object registered at start, the name
// space while the main window exists, and the end in the program's order.
class RegistrationTest : public test::ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        ASSERT_TRUE(ComServer().Initialize({}));
    }
    void TearDown() override {
        UnregisterKivaNameSpace(protocolFactory, internetSession);
        protocolFactory.Reset();
        internetSession.Reset();
        ComServer().Finalize();
        ProtocolTest::TearDown();
    }

    ComPtr<IClassFactory> protocolFactory;
    ComPtr<IInternetSession> internetSession;
};

TEST_F(RegistrationTest, ServesTheSchemeFromRegistrationToWithdrawal) {
    EXPECT_FALSE(IsNameSpaceRegistered("kiva"));
    RegisterKivaNameSpace(protocolFactory, internetSession);
    ASSERT_TRUE(protocolFactory);
    ASSERT_TRUE(internetSession);
    EXPECT_EQ(protocolFactory.Get(), static_cast<IClassFactory*>(OurNSHandlerFactory()));
    EXPECT_TRUE(IsNameSpaceRegistered("kiva"));
    EXPECT_TRUE(IsNameSpaceRegistered("KIVA"));

    TNameSpaceResponse r = RunNameSpaceRequest(u"kiva://bundle/index.html", 0, Services());
    EXPECT_EQ(r.Result, S_OK);
    EXPECT_EQ(r.Data, "<html><title>Index</title></html>");
    EXPECT_EQ(r.HttpStatus, 200);
    EXPECT_TRUE(r.CacheFileName.empty());
    EXPECT_EQ(ComObjectCount(), 0);

    r = RunNameSpaceRequest(u"kiva://bundle/empty.bin", 0, Services());
    EXPECT_EQ(r.Result, S_OK);
    EXPECT_TRUE(r.Data.empty());

    r = RunNameSpaceRequest(u"kiva://bundle/media/clip.swf", BINDF_NEEDFILE, Services());
    EXPECT_EQ(r.Result, S_OK);
    EXPECT_EQ(r.Data, "first clip");
    EXPECT_EQ(fs::path(r.CacheFileName).filename(), "clip.swf");
    EXPECT_TRUE(fs::exists(r.CacheFileName));

    UnregisterKivaNameSpace(protocolFactory, internetSession);
    EXPECT_FALSE(IsNameSpaceRegistered("kiva"));
    EXPECT_EQ(RunNameSpaceRequest(u"kiva://bundle/index.html", 0, Services()).Result,
              INET_E_UNKNOWN_PROTOCOL);
}

struct FailureCase {
    const char16_t* Url;
    HRESULT Result;
};

class RegisteredFailures : public RegistrationTest,
                           public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RegisteredFailures, AreFailingResponses) {
    RegisterKivaNameSpace(protocolFactory, internetSession);
    const TNameSpaceResponse r = RunNameSpaceRequest(GetParam().Url, 0, Services());
    EXPECT_EQ(r.Result, GetParam().Result);
    EXPECT_TRUE(r.Data.empty());
    EXPECT_EQ(ComObjectCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, RegisteredFailures,
    ::testing::Values(FailureCase{u"kiva://bundle/missing.html", INET_E_RESOURCE_NOT_FOUND},
                      FailureCase{u"kiva://bundle/broken.html", kEntryFailure},
                      FailureCase{u"kiva://other/index.html", INET_E_USE_DEFAULT_PROTOCOLHANDLER}));

TEST_F(RegistrationTest, WithoutTheClassObjectNothingRaisesAndNothingIsServed) {
    ComServer().Finalize();
    EXPECT_NO_THROW(RegisterKivaNameSpace(protocolFactory, internetSession));
    EXPECT_FALSE(protocolFactory);
    EXPECT_TRUE(internetSession);
    EXPECT_FALSE(IsNameSpaceRegistered("kiva"));
    EXPECT_EQ(RunNameSpaceRequest(u"kiva://bundle/index.html", 0, Services()).Result,
              INET_E_UNKNOWN_PROTOCOL);
}

TEST_F(RegistrationTest, WithdrawingWithoutASessionDoesNothing) {
    EXPECT_NO_THROW(UnregisterKivaNameSpace(nullptr, nullptr));
    RegisterKivaNameSpace(protocolFactory, internetSession);
    // Registering again drops the previous factory reference first.
    RegisterKivaNameSpace(protocolFactory, internetSession);
    UnregisterKivaNameSpace(protocolFactory, internetSession);
    EXPECT_TRUE(IsNameSpaceRegistered("kiva"));
    UnregisterKivaNameSpace(protocolFactory, internetSession);
    EXPECT_FALSE(IsNameSpaceRegistered("kiva"));
}

TEST_F(RegistrationTest, TheProcessEndRemovesFilesAndThenTheClassObject) {
    RegisterKivaNameSpace(protocolFactory, internetSession);
    const TNameSpaceResponse r =
        RunNameSpaceRequest(u"kiva://bundle/ten.bin", BINDF_NEEDFILE, Services());
    ASSERT_TRUE(fs::exists(r.CacheFileName));
    const std::string folder = HandlerTempFolder();

    // Main window destroyed, then the units finalised in the program's order.
    book.reset();
    UnregisterKivaNameSpace(protocolFactory, internetSession);
    OleUninitialize();
    protocolFactory.Reset();
    internetSession.Reset();
    OurNSHandlerFinal();
    EXPECT_FALSE(fs::exists(r.CacheFileName));
    EXPECT_FALSE(fs::exists(folder));
    ComPtr<IClassFactory> cf;
    EXPECT_EQ(CoGetClassObject(CLSID_OurNSHandler, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               cf.ReleaseAndGetVoidAddress()),
              S_OK);
    cf.Reset();
    ComServer().Finalize();
    EXPECT_EQ(CoGetClassObject(CLSID_OurNSHandler, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               cf.ReleaseAndGetVoidAddress()),
              REGDB_E_CLASSNOTREG);
}

class RegistryEntriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kiva-registry-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            saved = old;
        }
        setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
        OurNSHandlerInit();
        ComServer().SetServerFileName("/opt/kiva books/kivabook-viewer");
    }
    void TearDown() override {
        ComServer().SetServerFileName("");
        ComServer().Finalize();
        OurNSHandlerFinal();
        if (saved.empty()) {
            unsetenv("XDG_CONFIG_HOME");
        } else {
            setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
        }
        fs::remove_all(dir);
    }
    fs::path dir;
    std::string saved;
};

TEST_F(RegistryEntriesTest, RegServerWritesTheHandlersEntriesAndUnregServerRemovesThem) {
    EXPECT_FALSE(ComServer().Initialize({"/regserver"}));
    const std::string key = "CLSID\\{DAF70F47-915C-46A9-913B-7C5484A16173}";
    EXPECT_EQ(GetRegStringValue(key), "OurNSHandler");
    EXPECT_EQ(GetRegStringValue(key + "\\LocalServer32"), "/opt/kiva books/kivabook-viewer");
    EXPECT_EQ(GetRegStringValue(key + "\\ProgID"), "kivabook-viewer.OurNSHandler");
    EXPECT_EQ(GetRegStringValue("kivabook-viewer.OurNSHandler"), "OurNSHandler");
    EXPECT_EQ(GetRegStringValue("kivabook-viewer.OurNSHandler\\Clsid"),
              "{DAF70F47-915C-46A9-913B-7C5484A16173}");

    EXPECT_FALSE(ComServer().Initialize({"-UnRegServer"}));
    EXPECT_FALSE(RegKeyExists(key));
    EXPECT_FALSE(RegKeyExists("kivabook-viewer.OurNSHandler"));
}

} // namespace
} // namespace kiva
