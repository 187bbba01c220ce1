#include "Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "TempConfig.h"

namespace kiva {
namespace {

namespace fs = std::filesystem;

class RegistryTest : public test::TempConfigTest {};

TEST_F(RegistryTest, LivesUnderTheUsersConfigFolder) {
    EXPECT_EQ(RegistryFileName(), (dir / "kivabook-viewer/registry.ini").string());
    const char* home = std::getenv("HOME");
    const std::string homeConfig = std::string(home ? home : "") + "/.config";
    // A relative or empty setting is not a folder of the user's: the default applies.
    setenv("XDG_CONFIG_HOME", "relative/dir", 1);
    EXPECT_EQ(RegistryFileName(), homeConfig + "/kivabook-viewer/registry.ini");
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(RegistryFileName(), homeConfig + "/kivabook-viewer/registry.ini");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(RegistryFileName(), homeConfig + "/kivabook-viewer/registry.ini");
}

TEST_F(RegistryTest, KeepsValuesAcrossReadsAndIgnoresKeyCase) {
    EXPECT_FALSE(fs::exists(RegistryFileName()));
    EXPECT_FALSE(GetRegStringValue("CLSID\\{A}").has_value());

    CreateRegKey("CLSID\\{A}\\LocalServer32", "", "/opt/kiva/viewer");
    CreateRegKey("CLSID\\{A}", "", "First");
    CreateRegKey("clsid\\{a}", "", "Second"); // the same key, the value replaced
    CreateRegKey("CLSID\\{A}", "ThreadingModel", "Apartment");

    EXPECT_EQ(GetRegStringValue("CLSID\\{A}"), "Second");
    EXPECT_EQ(GetRegStringValue("Clsid\\{a}\\localserver32"), "/opt/kiva/viewer");
    EXPECT_EQ(GetRegStringValue("CLSID\\{A}", "threadingmodel"), "Apartment");
    EXPECT_FALSE(GetRegStringValue("CLSID\\{A}", "Other").has_value());
    EXPECT_TRUE(RegKeyExists("CLSID")); // parents come with their children
    EXPECT_FALSE(RegKeyExists("CLSID\\{B}"));
    // Roots are separate trees.
    EXPECT_FALSE(GetRegStringValue("CLSID\\{A}", "", HKEY_CURRENT_USER).has_value());

    // The folder is private and no temporary file of the rewrites is left behind.
    struct stat st {};
    ASSERT_EQ(stat((dir / "kivabook-viewer").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir / "kivabook-viewer")) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(RegistryTest, ValuesWithQuotesBackslashesAndLineBreaksSurvive) {
    const std::string odd = "C:\\Program Files\\\"x\"\nsecond line\r=[not a key]";
    CreateRegKey("Odd", "na\"me", odd);
    EXPECT_EQ(GetRegStringValue("Odd", "na\"me"), odd);
    EXPECT_FALSE(RegKeyExists("not a key"));
}

TEST_F(RegistryTest, DeletingAKeyTakesItsSubtreeButNotItsNeighbours) {
    CreateRegKey("CLSID\\{A}\\ProgID", "", "x.A");
    CreateRegKey("CLSID\\{A}X", "", "neighbour");
    CreateRegKey("CLSID\\{B}", "", "other");
    DeleteRegKey("clsid\\{a}");
    EXPECT_FALSE(RegKeyExists("CLSID\\{A}"));
    EXPECT_FALSE(RegKeyExists("CLSID\\{A}\\ProgID"));
    EXPECT_EQ(GetRegStringValue("CLSID\\{A}X"), "neighbour");
    EXPECT_EQ(GetRegStringValue("CLSID\\{B}"), "other");
    EXPECT_NO_THROW(DeleteRegKey("CLSID\\{missing}"));
}

TEST_F(RegistryTest, UnusableFilesRaiseRegistryErrors) {
    // A folder in the place of the file can be neither read nor replaced.
    fs::create_directories(dir / "kivabook-viewer/registry.ini");
    try {
        CreateRegKey("K", "", "v");
        FAIL() << "no error raised";
    } catch (const ERegistryError& e) {
        EXPECT_EQ(e.ErrorCode, TYPE_E_REGISTRYACCESS);
        EXPECT_NE(e.Message().find("registry.ini"), std::string::npos);
    }
    EXPECT_THROW(DeleteRegKey("K"), ERegistryError);
    EXPECT_FALSE(GetRegStringValue("K").has_value());
    EXPECT_FALSE(RegKeyExists("K"));
}

TEST_F(RegistryTest, AFolderThatCannotBeCreatedRaises) {
    std::ofstream(dir / "file") << "x";
    setenv("XDG_CONFIG_HOME", (dir / "file").c_str(), 1);
    EXPECT_THROW(CreateRegKey("K", "", "v"), ERegistryError);
}

} // namespace
} // namespace kiva
