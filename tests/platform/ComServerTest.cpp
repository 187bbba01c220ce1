#include "ComServer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "Registry.h"
#include "TempConfig.h"
#include "TestObjects.h"

namespace kiva {
namespace {

constexpr CLSID kClass = GuidLiteral("{6A1E2B3C-00C0-4000-8000-0000000000C0}");

struct SwitchCase {
    std::vector<std::string> Args;
    TStartMode Mode;
};

class ComServerSwitches : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(ComServerSwitches, SelectTheStartMode) {
    EXPECT_EQ(ParseComServerSwitches(GetParam().Args).StartMode(), GetParam().Mode);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ComServerSwitches,
                         ::testing::Values(SwitchCase{{}, smStandalone},
                                           SwitchCase{{"/regserver"}, smRegServer},
                                           SwitchCase{{"-UNREGSERVER"}, smUnregServer},
                                           SwitchCase{{"/Automation"}, smAutomation},
                                           SwitchCase{{"-embedding"}, smAutomation},
                                           SwitchCase{{"site.kvb", "/RegServer"}, smRegServer},
                                           SwitchCase{{"/unregserver", "/regserver"}, smRegServer},
                                           // Unknown switches and near misses are ignored.
                                           SwitchCase{{"/regserverx"}, smStandalone},
                                           SwitchCase{{"regserver"}, smStandalone},
                                           SwitchCase{{"--regserver"}, smStandalone},
                                           SwitchCase{{"\\regserver"}, smStandalone},
                                           SwitchCase{{"/", "-"}, smStandalone},
                                           SwitchCase{{"/help", "-x"}, smStandalone}));

class ComServerTest : public test::TempConfigTest {
protected:
    void SetUp() override {
        TempConfigTest::SetUp();
        server.SetServerFileName("/opt/kiva/kivabook-viewer");
        factory = TComObjectFactory::Create(
            server, [] { return new test::TFoo; }, kClass, "TestClass", "Test class",
            ciMultiInstance, tmApartment);
    }

    HRESULT LookUp() {
        ComPtr<IClassFactory> cf;
        return CoGetClassObject(kClass, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                cf.ReleaseAndGetVoidAddress());
    }

    TComServer server;
    TComObjectFactory* factory = nullptr;
};

TEST_F(ComServerTest, RegServerWritesTheFiveEntriesAndEndsTheProgram) {
    EXPECT_FALSE(server.Initialize({"/regserver"}));
    EXPECT_EQ(server.StartMode(), smRegServer);
    const std::string key = "CLSID\\{6A1E2B3C-00C0-4000-8000-0000000000C0}";
    EXPECT_EQ(GetRegStringValue(key), "Test class");
    EXPECT_EQ(GetRegStringValue(key + "\\LocalServer32"), "/opt/kiva/kivabook-viewer");
    EXPECT_EQ(GetRegStringValue(key + "\\ProgID"), "kivabook-viewer.TestClass");
    EXPECT_EQ(GetRegStringValue("kivabook-viewer.TestClass"), "Test class");
    EXPECT_EQ(GetRegStringValue("kivabook-viewer.TestClass\\Clsid"),
              "{6A1E2B3C-00C0-4000-8000-0000000000C0}");
    // Registering is all it does: no class object is offered.
    EXPECT_EQ(LookUp(), REGDB_E_CLASSNOTREG);

    CreateRegKey("Unrelated", "", "kept");
    EXPECT_FALSE(server.Initialize({"-UNREGSERVER"}));
    EXPECT_FALSE(RegKeyExists(key));
    EXPECT_FALSE(RegKeyExists("kivabook-viewer.TestClass"));
    EXPECT_EQ(GetRegStringValue("Unrelated"), "kept");
}

TEST_F(ComServerTest, WritingFailuresRaiseButRemovalFailuresAreIgnored) {
    std::filesystem::create_directories(dir / "kivabook-viewer/registry.ini");
    EXPECT_THROW(server.Initialize({"/regserver"}), ERegistryError);
    EXPECT_FALSE(server.Initialize({"/unregserver"}));
}

TEST_F(ComServerTest, ANormalStartOffersTheClassObjectUntilFinalized) {
    EXPECT_TRUE(server.Initialize({"site.kvb"}));
    EXPECT_EQ(server.StartMode(), smStandalone);
    EXPECT_EQ(LookUp(), S_OK);
    EXPECT_FALSE(RegKeyExists("CLSID"));
    EXPECT_EQ(server.FindFactory(kClass), factory);
    server.Finalize();
    EXPECT_EQ(server.FactoryCount(), 0);
    EXPECT_EQ(LookUp(), REGDB_E_CLASSNOTREG);
}

TEST_F(ComServerTest, AStartByComEndsWhenTheLastServedObjectGoes) {
    int lastReleases = 0;
    server.OnLastRelease = [&] { ++lastReleases; };
    ASSERT_TRUE(server.Initialize({"-Embedding"}));
    EXPECT_EQ(server.StartMode(), smAutomation);
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, a.ReleaseAndGetVoidAddress()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, b.ReleaseAndGetVoidAddress()), S_OK);
    a.Reset();
    EXPECT_EQ(lastReleases, 0);
    b.Reset();
    EXPECT_EQ(lastReleases, 1);
}

TEST_F(ComServerTest, AStandaloneStartIgnoresTheLastRelease) {
    int lastReleases = 0;
    server.OnLastRelease = [&] { ++lastReleases; };
    ASSERT_TRUE(server.Initialize({}));
    ComPtr<IUnknown> a;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, a.ReleaseAndGetVoidAddress()), S_OK);
    a.Reset();
    EXPECT_EQ(lastReleases, 0);
}

TEST(ComServerFile, IsThisExecutable) {
    TComServer server;
    const std::string name = server.ServerFileName();
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.front(), '/');
    EXPECT_TRUE(std::filesystem::equivalent(name, "/proc/self/exe"));
}

} // namespace
} // namespace kiva
