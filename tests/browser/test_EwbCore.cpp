#include "EwbCore.h"

#include <gtest/gtest.h>

#include "FakeWebBrowser.h"

namespace kiva {
namespace {

using test::TFakeBrowserClass;
using UI = TUserInterfaceOption;
using DL = TDownloadControlOption;

struct HostFlagsCase {
    const char* name;
    TUserInterfaceOptions options;
    std::uint32_t flags;
};

class HostInfoFlags : public ::testing::TestWithParam<HostFlagsCase> {};

TEST_P(HostInfoFlags, AreTheSumOfTheMembersFlags) {
    EXPECT_EQ(HostInfoFlagsOf(GetParam().options), GetParam().flags);
}

TUserInterfaceOptions AllUserInterfaceOptions() {
    TUserInterfaceOptions all;
    for (int i = 0; i <= static_cast<int>(UI::ForceUserActivationOnActiveXJava); ++i) {
        all.Include(static_cast<UI>(i));
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(
    Sets, HostInfoFlags,
    ::testing::Values(
        HostFlagsCase{"Empty", {}, 0},
        HostFlagsCase{"Construction", {UI::EnablesFormsAutoComplete, UI::EnableThemes}, 0x44000},
        HostFlagsCase{"ScrollBarsOff",
                      {UI::EnablesFormsAutoComplete, UI::EnableThemes, UI::DontUseScrollBars},
                      0x44008},
        HostFlagsCase{"FirstMember", {UI::DisableTextSelect}, 0x1},
        // The member after the gap at 0x8000.
        HostFlagsCase{"AfterTheGap", {UI::ForceSameWindowNavigation}, 0x10000},
        HostFlagsCase{"LastMember", {UI::ForceUserActivationOnActiveXJava}, 0x20000000},
        HostFlagsCase{"Every", AllUserInterfaceOptions(), 0x3FFF7FFF}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DownloadControlFlags, AreTheSumOfTheMembersFlags) {
    EXPECT_EQ(DownloadControlFlagsOf({}), 0u);
    EXPECT_EQ(
        DownloadControlFlagsOf({DL::DownloadImages, DL::DownloadVideos, DL::DownloadBGSounds}),
        0x70u);
    EXPECT_EQ(DownloadControlFlagsOf({DL::EnableUrlIfEncodingUTF8}), 0x40000u);
    EXPECT_EQ(DownloadControlFlagsOf({DL::ForceOfflineMode}), 0x10000000u);
    EXPECT_EQ(DownloadControlFlagsOf({DL::WorkOffline}), 0x80000000u);
}

TEST(CustomEmbeddedWB, ConstructionGivesTheViewersFlagWordsWithoutCreatingTheControl) {
    TFakeBrowserClass cls;
    TCustomEmbeddedWB wb(nullptr);
    EXPECT_EQ(wb.HostInfoFlags(), 0x44000u);
    EXPECT_EQ(wb.DownloadControlFlags(), 0x70u);
    EXPECT_EQ(cls.Created, 0);
}

TEST(CustomEmbeddedWB, AssignedOptionsReachTheControlThroughTheAmbientNotification) {
    TFakeBrowserClass cls;
    TCustomEmbeddedWB wb(nullptr);
    wb.DefaultInterface();
    // Sited, the control read the construction flags.
    EXPECT_EQ(cls.Last->HostInfo.dwFlags, 0x44000u);
    auto options = wb.UserInterfaceOptions();
    options.Include(UI::DontUseScrollBars);
    wb.SetUserInterfaceOptions(options);
    EXPECT_EQ(wb.HostInfoFlags(), 0x44008u);
    EXPECT_EQ(cls.Last->AmbientChanges, std::vector<DISPID>{DISPID_AMBIENT_DLCONTROL});
    EXPECT_EQ(cls.Last->HostInfo.dwFlags, 0x44008u);
    EXPECT_EQ(cls.Last->HostInfo.cbSize, 20u);
    EXPECT_EQ(cls.Last->HostInfo.dwDoubleClick, 0u);

    wb.SetDownloadOptions({DL::DontExecuteScripts});
    EXPECT_EQ(wb.DownloadControlFlags(), 0x80u);
    EXPECT_EQ(cls.Last->AmbientChanges,
              (std::vector<DISPID>{DISPID_AMBIENT_DLCONTROL, DISPID_AMBIENT_DLCONTROL}));
}

TEST(CustomEmbeddedWB, AFirstAssignmentCreatesTheControl) {
    TFakeBrowserClass cls;
    TCustomEmbeddedWB wb(nullptr);
    wb.SetUserInterfaceOptions({UI::DontUseScrollBars});
    EXPECT_EQ(cls.Created, 1);
    EXPECT_EQ(cls.Last->HostInfo.dwFlags, 0x8u);
}

enum class NotificationFault { NoControlClass, NoApplication, ApplicationWithoutOleControl };

class FailedNotification : public ::testing::TestWithParam<NotificationFault> {};

TEST_P(FailedNotification, RaisesToTheAssignerAfterStoringTheOptionAndItsFlags) {
    std::unique_ptr<TFakeBrowserClass> cls;
    if (GetParam() != NotificationFault::NoControlClass) {
        cls = std::make_unique<TFakeBrowserClass>();
    }
    TCustomEmbeddedWB wb(nullptr);
    if (cls) {
        wb.DefaultInterface();
        cls->Last->HasApplication = GetParam() != NotificationFault::NoApplication;
        cls->Last->ApplicationWithoutOleControl =
            GetParam() == NotificationFault::ApplicationWithoutOleControl;
    }
    const TUserInterfaceOptions wanted{UI::EnablesFormsAutoComplete, UI::EnableThemes,
                                       UI::DontUseScrollBars};
    EXPECT_THROW(wb.SetUserInterfaceOptions(wanted), Exception);
    EXPECT_EQ(wb.UserInterfaceOptions(), wanted);
    EXPECT_EQ(wb.HostInfoFlags(), 0x44008u);

    EXPECT_THROW(wb.SetDownloadOptions({DL::DownloadImages}), Exception);
    EXPECT_EQ(wb.DownloadControlFlags(), 0x10u);
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedNotification,
                         ::testing::Values(NotificationFault::NoControlClass,
                                           NotificationFault::NoApplication,
                                           NotificationFault::ApplicationWithoutOleControl),
                         [](const auto& info) {
                             switch (info.param) {
                             case NotificationFault::NoControlClass:
                                 return std::string("NoControlClass");
                             case NotificationFault::NoApplication:
                                 return std::string("NoApplication");
                             default:
                                 return std::string("ApplicationWithoutOleControl");
                             }
                         });

TEST(CustomEmbeddedWB, TheHostInfoHandlerMayChangeTheRecord) {
    TFakeBrowserClass cls;
    TCustomEmbeddedWB wb(nullptr);
    wb.OnGetHostInfo = [](TComponent*, DOCHOSTUIINFO& info) {
        info.dwFlags |= 0x1;
        info.dwDoubleClick = 2;
    };
    wb.DefaultInterface();
    EXPECT_EQ(cls.Last->HostInfo.dwFlags, 0x44001u);
    EXPECT_EQ(cls.Last->HostInfo.dwDoubleClick, 2u);
    // The stored word itself is the option set's.
    EXPECT_EQ(wb.HostInfoFlags(), 0x44000u);
}

} // namespace
} // namespace kiva
