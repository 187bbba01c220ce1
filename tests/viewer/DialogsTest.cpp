#include "Dialogs.h"

#include <gtest/gtest.h>

#include "RecordingDialogs.h"

namespace kiva {
namespace {

using test::TRecordingDialogs;

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override { SetApplicationTitle("Kivabook Viewer"); }
    TRecordingDialogs user;
    TDialogsScope scope{user};
};

TEST_F(DialogsTest, InformationAndErrorBoxesCarryTheirCaptionsAndOneOkButton) {
    ShowInformationBox("Error reading project options");
    ShowErrorBox("something failed");
    ASSERT_EQ(user.Boxes.size(), 2u);
    EXPECT_EQ(user.Boxes[0].Text, "Error reading project options");
    EXPECT_EQ(user.Boxes[0].Caption, "Information");
    EXPECT_EQ(user.Boxes[0].Type, TMsgDlgType::mtInformation);
    EXPECT_EQ(user.Boxes[0].Buttons, TMsgDlgButtons::mbOK);
    EXPECT_EQ(user.Boxes[1].Caption, "Error");
    EXPECT_EQ(user.Boxes[1].Type, TMsgDlgType::mtError);
    EXPECT_EQ(user.Boxes[1].Buttons, TMsgDlgButtons::mbOK);
}

struct TFullStopCase {
    const char* Message;
    const char* Shown;
};

class DefaultErrorTest : public DialogsTest, public ::testing::WithParamInterface<TFullStopCase> {};

TEST_P(DefaultErrorTest, AppendsAFullStopOnlyAfterCharactersSortingAfterIt) {
    ShowDefaultError(GetParam().Message);
    ASSERT_EQ(user.Boxes.size(), 1u);
    EXPECT_EQ(user.Boxes[0].Text, GetParam().Shown);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DefaultErrorTest,
    ::testing::Values(TFullStopCase{"Archive file not found", "Archive file not found."},
                      TFullStopCase{"Already ends.", "Already ends."},
                      TFullStopCase{"Question?", "Question?."},
                      TFullStopCase{"Ends with a bang!", "Ends with a bang!"},
                      TFullStopCase{"Code 7", "Code 7."}, TFullStopCase{"Dash -", "Dash -"},
                      TFullStopCase{"", ""}));

TEST_F(DialogsTest, DefaultErrorIsCaptionedWithTheCurrentApplicationTitle) {
    SetApplicationTitle("Kivabook Sample");
    ShowDefaultError("boom");
    SetApplicationTitle("");
    ShowDefaultError("boom");
    ASSERT_EQ(user.Boxes.size(), 2u);
    EXPECT_EQ(user.Boxes[0].Caption, "Kivabook Sample");
    EXPECT_EQ(user.Boxes[0].Type, TMsgDlgType::mtError);
    EXPECT_EQ(user.Boxes[0].Buttons, TMsgDlgButtons::mbOK);
    EXPECT_EQ(user.Boxes[1].Caption, "");
}

TEST_F(DialogsTest, PasswordQueryReadsCancelAsAnEmptyEntryAndKeepsAtMost255Characters) {
    std::string accents;
    for (int i = 0; i < 300; ++i) {
        accents += "\xC3\xA9";
    }
    user.InputAnswers = {std::string("secret"), std::nullopt, std::string(300, 'x'),
                         std::string(""), accents};
    EXPECT_EQ(PasswordQuery("Password Required", "Prompt "), "secret");
    EXPECT_EQ(PasswordQuery("Password Required", "Prompt "), "");
    EXPECT_EQ(PasswordQuery("Password Required", "Prompt "), std::string(255, 'x'));
    EXPECT_EQ(PasswordQuery("Password Required", "Prompt "), "");
    // Characters, not bytes: 255 accented letters are 510 bytes, none cut in two.
    EXPECT_EQ(PasswordQuery("Password Required", "Prompt "), accents.substr(0, 510));
    ASSERT_EQ(user.Queries.size(), 5u);
    EXPECT_EQ(user.Queries[0].Caption, "Password Required");
    EXPECT_EQ(user.Queries[0].Prompt, "Prompt ");
    EXPECT_EQ(user.Queries[0].MaxLength, 255);
}

TEST_F(DialogsTest, ComServerWarningIsAYesNoWarningWithNoAsDefault) {
    user.YesNoAnswers = {TModalResult::mrYes, TModalResult::mrNo};
    EXPECT_TRUE(ConfirmCloseWithLiveComObjects());
    EXPECT_FALSE(ConfirmCloseWithLiveComObjects());
    ASSERT_EQ(user.Boxes.size(), 2u);
    const auto& box = user.Boxes[0];
    EXPECT_EQ(box.Caption, "COM Server Warning");
    EXPECT_EQ(box.Type, TMsgDlgType::mtWarning);
    EXPECT_EQ(box.Buttons, TMsgDlgButtons::mbYesNo);
    EXPECT_TRUE(box.DefaultNo);
    EXPECT_EQ(box.Text,
              "There are still active COM objects in this application.  One or more clients may "
              "have references to these objects, so manually closing this application may cause "
              "those client application(s) to fail.\r\n\r\nAre you sure you want to close this "
              "application?");
}

TEST(FileFilterTest, SplitsNamesAndPatternLists) {
    auto f = ParseFileFilter("Kivabook Files|*.kvb");
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].Name, "Kivabook Files");
    EXPECT_EQ(f[0].Patterns, std::vector<std::string>{"*.kvb"});

    f = ParseFileFilter("Pages|*.htm; *.html|All|*");
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].Patterns, (std::vector<std::string>{"*.htm", "*.html"}));
    EXPECT_EQ(f[1].Name, "All");

    // Names without patterns are dropped; an empty filter offers nothing.
    EXPECT_EQ(ParseFileFilter("Dangling").size(), 0u);
    EXPECT_EQ(ParseFileFilter("").size(), 0u);
    EXPECT_EQ(ParseFileFilter("Empty||Kvb|*.kvb").size(), 1u);
}

TEST_F(DialogsTest, OpenDialogGetsTheParsedFilterAndPassesTheAnswerOn) {
    user.OpenAnswer = "/tmp/any.name";
    EXPECT_EQ(ExecuteOpenDialog("Kivabook Files|*.kvb"),
              std::optional<std::string>("/tmp/any.name"));
    ASSERT_EQ(user.OpenDialogs.size(), 1u);
    EXPECT_EQ(user.OpenDialogs[0][0].Name, "Kivabook Files");
}

TEST(SilentDialogsTest, WithoutAnImplementationEveryBoxIsDismissed) {
    IDialogs* previous = SetDialogs(nullptr);
    EXPECT_FALSE(ConfirmCloseWithLiveComObjects());
    EXPECT_EQ(PasswordQuery("c", "p"), "");
    EXPECT_FALSE(ExecuteOpenDialog("Kivabook Files|*.kvb").has_value());
    ShowInformationBox("nobody sees this");
    SetDialogs(previous);
}

} // namespace
} // namespace kiva
