#include "EmbeddedWB.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>

#include "FakeWebBrowser.h"

namespace kiva {
namespace {

using test::TFakeBrowserClass;

TEST(EmbeddedWB, ConstructionGivesTheOptionGroupsTheirDefaults) {
    TEmbeddedWB wb(nullptr);
    EXPECT_TRUE(wb.DisableErrors.EnableDDE);
    EXPECT_TRUE(wb.DisableErrors.fpExceptions);
    EXPECT_TRUE(wb.DisableErrors.ScriptErrorsSuppressed);
    EXPECT_FALSE(wb.DialogBoxes.DisableAll);
    EXPECT_TRUE(wb.DialogBoxes.ReplaceCaption);
    EXPECT_TRUE(wb.DialogBoxes.ReplaceIcon);
    EXPECT_FALSE(wb.PrintOptions.Enabled);
    EXPECT_EQ(wb.ScriptErrorAction, TScriptErrorAction::eaContinue);
    EXPECT_EQ(wb.DisableCtrlShortcuts, "N");
    EXPECT_EQ(wb.DropHandlingType, TDragDropHandlingType::ddtMS);
    EXPECT_TRUE(wb.DisabledPopupMenus.Empty());
    EXPECT_TRUE(wb.EnableMessageHandler);
    EXPECT_EQ(wb.UserAgentMode, TUserAgentMode::uaDefault);
}

struct LoadedCase {
    bool suppressed;
    TScriptErrorAction stored;
    TScriptErrorAction afterLoad;
};

class EmbeddedWBLoaded : public ::testing::TestWithParam<LoadedCase> {};

TEST_P(EmbeddedWBLoaded, SuppressedScriptErrorsMeanTheBrowserGoesOn) {
    TEmbeddedWB wb(nullptr);
    wb.DisableErrors.ScriptErrorsSuppressed = GetParam().suppressed;
    wb.ScriptErrorAction = GetParam().stored;
    wb.EnableMessageHandler = false;
    wb.Loaded();
    EXPECT_EQ(wb.ScriptErrorAction, GetParam().afterLoad);
    EXPECT_TRUE(wb.EnableMessageHandler);
}

INSTANTIATE_TEST_SUITE_P(Settings, EmbeddedWBLoaded,
                         ::testing::Values(LoadedCase{true, TScriptErrorAction::eaAskUser,
                                                      TScriptErrorAction::eaContinue},
                                           LoadedCase{true, TScriptErrorAction::eaCancel,
                                                      TScriptErrorAction::eaContinue},
                                           LoadedCase{false, TScriptErrorAction::eaAskUser,
                                                      TScriptErrorAction::eaAskUser}));

TEST(EmbeddedWB, WithoutFloatingPointExceptionsLoadingMasksThemAllAndNoFaultRaises) {
    std::fenv_t saved;
    std::fegetenv(&saved);
    feenableexcept(FE_DIVBYZERO | FE_INVALID);
    TEmbeddedWB wb(nullptr);
    wb.DisableErrors.fpExceptions = false;
    wb.Loaded();
    EXPECT_EQ(fegetexcept(), 0);
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
    volatile double zero = 0.0;
    EXPECT_TRUE(std::isinf(1.0 / zero));
    std::fesetenv(&saved);
}

TEST(EmbeddedWB, TheHostStyleSheetAndNamespaceGoToTheBrowserUnlessAHandlerGaveThem) {
    TFakeBrowserClass cls;
    TEmbeddedWB wb(nullptr);
    wb.HostCSS = "body{color:#123}";
    wb.HostNS = "kv";
    wb.DefaultInterface();
    EXPECT_EQ(cls.Last->HostInfo.pchHostCss, u"body{color:#123}");
    EXPECT_EQ(cls.Last->HostInfo.pchHostNS, u"kv");

    wb.OnGetHostInfo = [](TComponent*, DOCHOSTUIINFO& info) { info.pchHostCss = u"p{}"; };
    cls.Last->ReadHostInfo();
    EXPECT_EQ(cls.Last->HostInfo.pchHostCss, u"p{}");
    EXPECT_EQ(cls.Last->HostInfo.pchHostNS, u"kv");
}

TEST(EmbeddedWB, TheCreditTextCannotBeAssigned) {
    TEmbeddedWB wb(nullptr);
    const std::string about = wb.About();
    wb.SetAbout("something else");
    EXPECT_EQ(wb.About(), about);
    EXPECT_FALSE(about.empty());
}

TEST(EmbeddedWB, ScrollBarsOffAsTheViewerSetsThemBeforeTheFirstPage) {
    TFakeBrowserClass cls;
    TEmbeddedWB wb(nullptr);
    auto options = wb.UserInterfaceOptions();
    options.Include(TUserInterfaceOption::DontUseScrollBars);
    wb.SetUserInterfaceOptions(options);
    wb.Navigate("kiva://bundle/index.html");
    EXPECT_EQ(cls.Last->HostInfo.dwFlags & DOCHOSTUIFLAG_SCROLL_NO, DOCHOSTUIFLAG_SCROLL_NO);
    EXPECT_EQ(cls.Last->Navigated.size(), 1u);
}

} // namespace
} // namespace kiva
