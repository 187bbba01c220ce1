#include "SecurityManager.h"

#include <gtest/gtest.h>

namespace kiva {
namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;
constexpr HRESULT E_ACCESSDENIED_FOR_TEST = MakeHResult(0x80070005u);

struct ActionCase {
    DWORD Action;
    HRESULT Result;
    DWORD Written;
};

// The viewer's settings, with one option changed per group so that each action shows which
// option it is answered from.
TSecurityManager& MarkedManager() {
    static TSecurityManager manager(nullptr);
    TUrlPolicyOptions& p = manager.UrlPolicy();
    p.ActiveX = TAllowDisAllowPolicyOption::Allow;
    p.CrossDomainData = TAllowDisAllowPolicyOption::Disallow;
    p.SubmitForms = TAllowDisAllowPolicyOption::Disallow;
    p.JavaPermissions = TJavaPolicyOption::Medium;
    p.Scripts = TAllowDisAllowPolicyOption::Allow;
    return manager;
}

class UrlActions : public ::testing::TestWithParam<ActionCase> {};

TEST_P(UrlActions, AreAnsweredFromTheirGroupsOptionOrLeftToThePlatform) {
    const ActionCase& c = GetParam();
    DWORD policy = kUntouched;
    EXPECT_EQ(MarkedManager().ProcessUrlAction(u"kiva://bundle/", c.Action,
                                               reinterpret_cast<BYTE*>(&policy), 4, nullptr, 0, 0,
                                               0),
              c.Result)
        << std::hex << c.Action;
    EXPECT_EQ(policy, c.Written) << std::hex << c.Action;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UrlActions,
    ::testing::Values(
        ActionCase{0x1200, S_OK, URLPOLICY_ALLOW}, ActionCase{0x13FF, S_OK, URLPOLICY_ALLOW},
        ActionCase{0x1400, S_OK, URLPOLICY_ALLOW}, ActionCase{0x15FF, S_OK, URLPOLICY_ALLOW},
        // Cross-domain data is not a script action, Java run is Java's.
        ActionCase{0x1406, S_OK, URLPOLICY_DISALLOW},
        ActionCase{0x1605, S_OK, URLPOLICY_JAVA_MEDIUM},
        ActionCase{0x1C00, S_OK, URLPOLICY_JAVA_MEDIUM},
        ActionCase{0x1CFF, S_OK, URLPOLICY_JAVA_MEDIUM},
        ActionCase{0x1602, S_OK, URLPOLICY_DISALLOW}, ActionCase{0x1603, S_OK, URLPOLICY_DISALLOW},
        // Submitting forms in general, and everything else, is the platform's.
        ActionCase{0x1601, INET_E_DEFAULT_ACTION, kUntouched},
        ActionCase{0x11FF, INET_E_DEFAULT_ACTION, kUntouched},
        ActionCase{0x1D00, INET_E_DEFAULT_ACTION, kUntouched},
        ActionCase{0x2000, INET_E_DEFAULT_ACTION, kUntouched}));

TEST(SecurityManager, TheViewersPolicyAllowsAllButJavaAndEveryValueHasItsCode) {
    TSecurityManager manager(nullptr);
    const TUrlPolicyOptions& p = manager.UrlPolicy();
    EXPECT_EQ(p.ActiveX, TAllowDisAllowPolicyOption::Allow);
    EXPECT_EQ(p.JavaPermissions, TJavaPolicyOption::Prohibited);
    DWORD policy = kUntouched;
    EXPECT_EQ(manager.ProcessUrlAction(nullptr, 0x1400, reinterpret_cast<BYTE*>(&policy), 4,
                                       nullptr, 0, 0, 0),
              S_OK);
    EXPECT_EQ(policy, 0u);
    manager.UrlPolicy().Scripts = TAllowDisAllowPolicyOption::Disallow;
    manager.ProcessUrlAction(nullptr, 0x1400, reinterpret_cast<BYTE*>(&policy), 4, nullptr, 0, 0,
                             0);
    EXPECT_EQ(policy, 3u);
    const std::pair<TJavaPolicyOption, DWORD> java[] = {
        {TJavaPolicyOption::Prohibited, 0},    {TJavaPolicyOption::High, 0x10000},
        {TJavaPolicyOption::Medium, 0x20000},  {TJavaPolicyOption::Low, 0x30000},
        {TJavaPolicyOption::Custom, 0x800000},
    };
    for (const auto& [option, value] : java) {
        EXPECT_EQ(UrlPolicyOf(option), value);
    }
}

TEST(SecurityManager, ASmallOrMissingBufferGetsNothingAndSFalse) {
    TSecurityManager manager(nullptr);
    BYTE buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(manager.ProcessUrlAction(nullptr, 0x1200, buffer, 2, nullptr, 0, 0, 0), S_FALSE);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[3], 4);
    EXPECT_EQ(manager.ProcessUrlAction(nullptr, 0x1200, nullptr, 4, nullptr, 0, 0, 0), S_FALSE);
}

TEST(SecurityManager, UnboundQuestionsGoToThePlatformAndNullTheirOutValues) {
    TSecurityManager manager(nullptr);
    DWORD zone = 7;
    EXPECT_EQ(manager.MapUrlToZone(u"x", &zone, 0), INET_E_DEFAULT_ACTION);
    auto* site = reinterpret_cast<IInternetSecurityMgrSite*>(&zone);
    EXPECT_EQ(manager.GetSecuritySite(&site), INET_E_DEFAULT_ACTION);
    EXPECT_EQ(site, nullptr);
    EXPECT_EQ(manager.GetSecuritySite(nullptr), INET_E_DEFAULT_ACTION);
    auto* list = reinterpret_cast<IEnumString*>(&zone);
    EXPECT_EQ(manager.GetZoneMappings(0, &list, 0), INET_E_DEFAULT_ACTION);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(manager.SetSecuritySite(nullptr), INET_E_DEFAULT_ACTION);
    EXPECT_EQ(manager.GetSecurityId(u"x", nullptr, nullptr, 0), INET_E_DEFAULT_ACTION);
    EXPECT_EQ(manager.QueryCustomPolicy(u"x", GUID_NULL, nullptr, nullptr, nullptr, 0, 0),
              INET_E_DEFAULT_ACTION);
    EXPECT_EQ(manager.SetZoneMapping(0, u"x", 0), INET_E_DEFAULT_ACTION);
}

TEST(SecurityManager, BoundEventsAnswerInsteadWithTheMethodsArguments) {
    TSecurityManager manager(nullptr);
    DWORD seenAction = 0;
    manager.OnProcessUrlAction = [&](LPCWSTR, DWORD action, BYTE*, DWORD, BYTE*, DWORD, DWORD,
                                     DWORD) {
        seenAction = action;
        return E_ACCESSDENIED_FOR_TEST;
    };
    manager.OnMapUrlToZone = [](LPCWSTR, DWORD* zone, DWORD) {
        *zone = 3;
        return S_OK;
    };
    DWORD policy = kUntouched;
    EXPECT_EQ(manager.ProcessUrlAction(nullptr, 0x2000, reinterpret_cast<BYTE*>(&policy), 4,
                                       nullptr, 0, 0, 0),
              E_ACCESSDENIED_FOR_TEST);
    EXPECT_EQ(seenAction, 0x2000u);
    EXPECT_EQ(policy, kUntouched);
    DWORD zone = 0;
    EXPECT_EQ(manager.MapUrlToZone(u"x", &zone, 0), S_OK);
    EXPECT_EQ(zone, 3u);
}

TEST(SecurityManager, IsAnUncountedComponentThatAnswersOnlyItsInterface) {
    TSecurityManager manager(nullptr);
    EXPECT_EQ(manager.AddRef(), static_cast<ULONG>(-1));
    EXPECT_EQ(manager.Release(), static_cast<ULONG>(-1));
    void* object = nullptr;
    EXPECT_EQ(manager.QueryInterface(IID_IInternetSecurityManager, &object), S_OK);
    EXPECT_EQ(object, static_cast<IInternetSecurityManager*>(&manager));
    EXPECT_EQ(manager.QueryInterface(IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
}

} // namespace
} // namespace kiva
