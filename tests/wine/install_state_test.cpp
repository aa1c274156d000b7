// Install-state values in the real registry: CA_InstallDriver's two-token form records the
// outcome, CA_ClearInstallDriverRegistryValues takes it away again. Runs in the "pnp" group;
// the code-page 932 cases run in "pnp932" (LC_ALL=ja_JP.UTF-8).
//
// Not expressible here: the recorded restart (3). Wine never asks for a reboot after a device
// installation, so the newdev.dll stand-in never reports one; the host tests cover it.
#include <string>

#include "support/driver_packages.h"
#include "support/machine_probe.h"
#include "support/session_fixture.h"

namespace zelk::wine {
namespace {

constexpr DWORD kInstalled = 0;
constexpr DWORD kStagingFailed = 0xFFFFFFFF;  // -1
constexpr DWORD kInfMissing = 0xFFFFFFFD;     // -3
constexpr DWORD kUntouched = 0xBAD;
constexpr const char* kMissingInf = "C:\\zelk-nowhere\\zelk_usb.inf";

class StateTest : public CustomActionTest {
  protected:
    // Every test works below a key of its own, removed before and after.
    void SetUp() override {
        CustomActionTest::SetUp();
        ASSERT_TRUE(DeleteMachineTree(StateRoot()));
    }
    void TearDown() override { EXPECT_TRUE(DeleteMachineTree(StateRoot())); }

    static std::string StateRoot() {
        return std::string("SOFTWARE\\ZelkTests\\") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    UINT InstallAndRecord(const std::string& infPath, const std::string& location) {
        return RunWithData("CA_InstallDriver", infPath + "@" + location);
    }
    UINT Clear(const std::string& data) {
        return RunWithData("CA_ClearInstallDriverRegistryValues", data);
    }
};

using InstallState = StateTest;

TEST_F(InstallState, StagedPackageRecordsInstalledWithoutTextBothTimes) {
    const std::string key = StateRoot() + "\\Drivers";
    const PackageOnDisk package(
        "acme-state", "acme_state.inf",
        CanHardwareInf({"ROOT\\ACME_STATE", "ACME_STATE"}, "acme_state.sys", "recorded"));
    ASSERT_TRUE(package.Written());
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));  // staged, then found in the store
        ASSERT_TRUE(WriteMachineDword(key, "Acme", kUntouched));
        EXPECT_EQ(InstallAndRecord(package.InfPath(), key + "\\Acme"),
                  static_cast<UINT>(ERROR_SUCCESS));
        EXPECT_EQ(ReadMachineDword(key, "Acme"), kInstalled);
        EXPECT_FALSE(ReadMachineString(key, "Acme_Text").has_value());
        EXPECT_EQ(StoredCopiesOf(package.InfPath()), 1);
    }
}

TEST_F(InstallState, RefusedPackageRecordsMinusOneAndTheMessage) {
    const std::string key = StateRoot() + "\\Drivers";
    const PackageOnDisk package("acme-state-refused", "acme_bad.inf",
                                MalformedInf("recorded refusal"));
    ASSERT_TRUE(package.Written());
    const DWORD refusal = StagingRefusalOf(package.InfPath());

    // A doubled last backslash leaves a final one on the key path: the same key.
    EXPECT_EQ(InstallAndRecord(package.InfPath(), key + "\\\\Acme"),
              static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(ReadMachineDword(key, "Acme"), kStagingFailed);
    const auto text = ReadMachineString(key, "Acme_Text");
    ASSERT_TRUE(text.has_value());
    const std::string expectedStart = StagingRefusalMessageStart(package.InfPath(), refusal);
    EXPECT_EQ(text->substr(0, expectedStart.size()), expectedStart) << *text;
}

TEST_F(InstallState, MissingInfRecordsMinusThreeAndKeepsAnEarlierText) {
    const std::string key = StateRoot() + "\\Drivers";
    ASSERT_TRUE(WriteMachineString(key, "Usb_Text", "from an earlier run"));
    EXPECT_EQ(InstallAndRecord(kMissingInf, key + "\\Usb"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(ReadMachineDword(key, "Usb"), kInfMissing);
    EXPECT_EQ(ReadMachineString(key, "Usb_Text"), "from an earlier run");
}

TEST_F(InstallState, ClearingALocationDeletesItsValuePairOnly) {
    const std::string key = StateRoot() + "\\Drivers";
    ASSERT_EQ(InstallAndRecord(kMissingInf, key + "\\Usb"), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_TRUE(WriteMachineString(key, "Usb_Text", "message"));
    ASSERT_TRUE(WriteMachineDword(key, "Pci", kInstalled));
    ASSERT_TRUE(ReadMachineDword(key, "Usb").has_value());

    EXPECT_EQ(Clear(key + "\\Usb"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_FALSE(ReadMachineDword(key, "Usb").has_value());
    EXPECT_FALSE(ReadMachineString(key, "Usb_Text").has_value());
    EXPECT_EQ(ReadMachineDword(key, "Pci"), kInstalled);

    // A location whose key does not exist is no failure and creates nothing.
    EXPECT_EQ(Clear(StateRoot() + "\\Nowhere\\Usb"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_FALSE(MachineKeyExists(StateRoot() + "\\Nowhere"));
}

TEST_F(InstallState, ClearingAKeyPathWithFinalBackslashDeletesThatKeyOnly) {
    const std::string key = StateRoot() + "\\Drivers";
    ASSERT_EQ(InstallAndRecord(kMissingInf, key + "\\Usb"), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_TRUE(WriteMachineDword(key, "Pci", kInstalled));
    ASSERT_TRUE(WriteMachineDword(StateRoot() + "\\Sibling", "Usb", kInstalled));

    EXPECT_EQ(Clear(key + "\\"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_FALSE(MachineKeyExists(key));
    EXPECT_TRUE(MachineKeyExists(StateRoot()));
    EXPECT_EQ(ReadMachineDword(StateRoot() + "\\Sibling", "Usb"), kInstalled);
}

TEST_F(InstallState, KeyWithSubkeysStays) {
    const std::string key = StateRoot() + "\\Drivers";
    ASSERT_EQ(InstallAndRecord(kMissingInf, key + "\\Usb"), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_TRUE(WriteMachineDword(key + "\\Nested", "Pci", kInstalled));

    EXPECT_EQ(Clear(key + "\\"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(ReadMachineDword(key, "Usb"), kInfMissing);
    EXPECT_EQ(ReadMachineDword(key + "\\Nested", "Pci"), kInstalled);
}

// Code page 932: 0x95 0x5C is one double-byte character whose trail byte is a backslash. A key
// path split at that byte would name a different key.
const std::string kTrailBackslashChar = "\x95\x5C";

using InstallStateCodePage932 = StateTest;

TEST_F(InstallStateCodePage932, RecordsAndClearsAValueNamedWithTheCharacter) {
    ASSERT_EQ(GetACP(), 932u) << "run this group with LC_ALL=ja_JP.UTF-8";
    const std::string key = StateRoot() + "\\" + kTrailBackslashChar;
    const std::string location = key + "\\" + kTrailBackslashChar;

    EXPECT_EQ(InstallAndRecord(kMissingInf, location), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(ReadMachineDword(key, kTrailBackslashChar), kInfMissing);
    ASSERT_TRUE(WriteMachineString(key, kTrailBackslashChar + "_Text", "message"));
    ASSERT_TRUE(WriteMachineDword(key, "Other", kInstalled));

    EXPECT_EQ(Clear(location), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_FALSE(ReadMachineDword(key, kTrailBackslashChar).has_value());
    EXPECT_FALSE(ReadMachineString(key, kTrailBackslashChar + "_Text").has_value());
    EXPECT_EQ(ReadMachineDword(key, "Other"), kInstalled);
}

TEST_F(InstallStateCodePage932, DeletesTheKeyNamedWithTheCharacter) {
    ASSERT_EQ(GetACP(), 932u) << "run this group with LC_ALL=ja_JP.UTF-8";
    const std::string key = StateRoot() + "\\" + kTrailBackslashChar;
    ASSERT_EQ(InstallAndRecord(kMissingInf, key + "\\Usb"), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_EQ(ReadMachineDword(key, "Usb"), kInfMissing);
    ASSERT_TRUE(WriteMachineDword(StateRoot() + "\\Sibling", "Usb", kInstalled));

    EXPECT_EQ(Clear(key + "\\"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_FALSE(MachineKeyExists(key));
    EXPECT_TRUE(MachineKeyExists(StateRoot()));
    EXPECT_EQ(ReadMachineDword(StateRoot() + "\\Sibling", "Usb"), kInstalled);
}

}  // namespace
}  // namespace zelk::wine
