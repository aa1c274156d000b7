// Removal of the old OEM package: real uninstall entries in the registry, and the recording
// stand-in as the old uninstaller they name.
#include <string>

#include "support/machine_probe.h"
#include "support/recorded_command.h"
#include "support/session_fixture.h"

namespace zelk::wine {
namespace {

const std::string kUninstallRoot = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::string kEnglishEntry = kUninstallRoot + "ZURA OEM Driver";
const std::string kGermanEntry = kUninstallRoot + "ZURA OEM-Treiber";
constexpr char kUninstallString[] = "UninstallString";

constexpr char kOldFolder[] = "C:\\Old";
constexpr char kUninstaller[] = "C:\\Old\\uninst.exe";
constexpr char kGermanUninstaller[] = "C:\\Old\\deinst.exe";

// The entry the old package wrote, naming `program`, and the command line it then receives.
std::string UninstallStringFor(const std::string& program) {
    return "\"" + program + "\" /U \"C:\\Old\\install.log\"";
}
constexpr char kExpectedCommandLine[] = "\" /U \" /S \"C:\\Old\\install.log\"";

class OldOemPackage : public CustomActionTest {
  protected:
    void SetUp() override {
        CustomActionTest::SetUp();
        CreateDirectoryA(kOldFolder, nullptr);
    }
    void TearDown() override {
        DeleteMachineTree(kEnglishEntry);
        DeleteMachineTree(kGermanEntry);
        RemoveRecorder(kUninstaller);
        RemoveRecorder(kGermanUninstaller);
        RemoveDirectoryA(kOldFolder);
    }

    UINT Uninstall() const { return Run("CA_UninstallOldZuraOem"); }
};

TEST_F(OldOemPackage, EnglishEntryRunsItsUninstallerWithTheSilentSwitch) {
    ASSERT_TRUE(PlaceRecorder(kUninstaller));
    ASSERT_TRUE(PlaceRecorder(kGermanUninstaller));
    ASSERT_TRUE(
        WriteMachineString(kEnglishEntry, kUninstallString, UninstallStringFor(kUninstaller)));
    ASSERT_TRUE(
        WriteMachineString(kGermanEntry, kUninstallString, UninstallStringFor(kGermanUninstaller)));

    EXPECT_EQ(Uninstall(), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(RecordedCommandLine(kUninstaller), kExpectedCommandLine);
    // With both entries present only the English one is read.
    EXPECT_EQ(RecordedCommandLine(kGermanUninstaller), std::nullopt);
}

TEST_F(OldOemPackage, GermanEntryIsUsedWhenTheEnglishOneIsMissing) {
    ASSERT_TRUE(PlaceRecorder(kGermanUninstaller));
    ASSERT_TRUE(
        WriteMachineString(kGermanEntry, kUninstallString, UninstallStringFor(kGermanUninstaller)));

    EXPECT_EQ(Uninstall(), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(RecordedCommandLine(kGermanUninstaller), kExpectedCommandLine);
}

TEST_F(OldOemPackage, EnglishEntryWithoutUninstallStringEndsTheSearch) {
    ASSERT_TRUE(PlaceRecorder(kGermanUninstaller));
    ASSERT_TRUE(WriteMachineString(kEnglishEntry, "DisplayName", "ZURA OEM Driver"));
    ASSERT_TRUE(
        WriteMachineString(kGermanEntry, kUninstallString, UninstallStringFor(kGermanUninstaller)));

    EXPECT_EQ(Uninstall(), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RecordedCommandLine(kGermanUninstaller), std::nullopt);
}

TEST_F(OldOemPackage, NoEntryAnswersFileNotFound) {
    ASSERT_FALSE(MachineKeyExists(kEnglishEntry));
    ASSERT_FALSE(MachineKeyExists(kGermanEntry));
    EXPECT_EQ(Uninstall(), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
}

TEST_F(OldOemPackage, MissingUninstallerAnswersFileNotFound) {
    ASSERT_TRUE(WriteMachineString(kEnglishEntry, kUninstallString,
                                   UninstallStringFor("C:\\Old\\gone.exe")));
    EXPECT_EQ(Uninstall(), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace zelk::wine
