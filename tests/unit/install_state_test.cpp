#include "pnp_test_support.h"

#include "exports/entry_points.h"
#include "pnp/install_state.h"

#include <cstring>

using pnp_test::AddPackage;
using pnp_test::MakeDevice;
using zelk::ClearInstallState;
using zelk::RecordInstallState;

namespace {

constexpr const char* kStateKey = "SOFTWARE\\Zelk\\InstallState";

class InstallStateTest : public SimTest {
  protected:
    static std::vector<BYTE> Dword(DWORD value) {
        std::vector<BYTE> bytes(4);
        std::memcpy(bytes.data(), &value, 4);
        return bytes;
    }
};

}  // namespace

TEST_F(InstallStateTest, InstalledPackageIsRecordedAsZeroWithoutText) {
    const std::string inf = AddPackage("zelk_usb.inf");
    RecordInstallState(inf, kStateKey, "usb");
    EXPECT_EQ(winsim::DwordValue(kStateKey, "usb"), 0u);
    EXPECT_EQ(winsim::ValueNames(kStateKey), std::vector<std::string>{"usb"});
    EXPECT_EQ(winsim::CallsTo("RegCreateKeyExA")[0].args,
              (std::vector<std::string>{"HKLM", kStateKey, "0", "null", "0", "131103", "null",
                                        "ptr", "ptr"}));
    const auto write = winsim::CallsTo("RegSetValueExA")[0].args;
    EXPECT_EQ(write[1], "usb");
    EXPECT_EQ(write[3], "4");
    EXPECT_EQ(write[4], std::string(4, '\0'));
    EXPECT_EQ(write[5], "4");
    EXPECT_EQ(winsim::CallNames().back(), "RegCloseKey");
}

TEST_F(InstallStateTest, UpdatedPackageIsRecordedAsZeroAndAnOldTextSurvives) {
    const std::string inf = AddPackage("zelk_usb.inf");
    winsim::SetString(kStateKey, "usb_Text", "earlier failure");
    winsim::AddDevice(MakeDevice("USB\\1", {pnp_test::kUsbId}));
    RecordInstallState(inf, std::string(kStateKey) + "\\", "usb");  // final backslash dropped
    EXPECT_EQ(winsim::DwordValue(kStateKey, "usb"), 0u);
    EXPECT_EQ(winsim::StringValue(kStateKey, "usb_Text"), "earlier failure");
}

TEST_F(InstallStateTest, RestartRequestIsRecordedAsThree) {
    const std::string inf = AddPackage("zelk_usb.inf");
    winsim::OfferDriver(inf, {"zelk_usb", true});
    winsim::AddDevice(MakeDevice("USB\\1", {pnp_test::kUsbId}));
    RecordInstallState(inf, kStateKey, "usb");
    EXPECT_EQ(winsim::DwordValue(kStateKey, "usb"), 3u);
    EXPECT_FALSE(winsim::Value(kStateKey, "usb_Text"));
}

TEST_F(InstallStateTest, FailuresAreRecordedAsTwosComplementWithTheMessageOnlyForMinusOne) {
    const std::string inf = AddPackage("zelk_pcc.inf");
    winsim::RemoveFile(std::string(pnp_test::kPackageFolder) + "zelk_pcc.sys");
    RecordInstallState(inf, kStateKey, "pcc");
    EXPECT_EQ(winsim::DwordValue(kStateKey, "pcc"), 0xFFFFFFFFu);
    const std::string message =
        "Driver file " + std::string(pnp_test::kPackageFolder) + "zelk_pcc.sys not found";
    EXPECT_EQ(winsim::StringValue(kStateKey, "pcc_Text"), message);
    EXPECT_EQ(winsim::Value(kStateKey, "pcc_Text")->data.size(), message.size() + 1);

    winsim::SetPendingInstallWait(WAIT_TIMEOUT);
    RecordInstallState(inf, kStateKey, "pending");
    EXPECT_EQ(winsim::DwordValue(kStateKey, "pending"), 0xFFFFFFFEu);
    RecordInstallState("C:\\nowhere.inf", kStateKey, "missing");
    EXPECT_EQ(winsim::DwordValue(kStateKey, "missing"), 0xFFFFFFFDu);
    EXPECT_EQ(winsim::ValueNames(kStateKey),
              (std::vector<std::string>{"pcc", "pcc_Text", "pending", "missing"}));
}

TEST_F(InstallStateTest, EmptyValueNameAddressesTheDefaultValue) {
    RecordInstallState("", kStateKey, "");
    EXPECT_EQ(winsim::Value(kStateKey, "")->data, Dword(0xFFFFFFFD));

    const std::string inf = AddPackage("zelk_pcc.inf", "");
    winsim::RefusePackage(inf, ERROR_ACCESS_DENIED);
    RecordInstallState(inf, kStateKey, "");
    EXPECT_EQ(
        winsim::StringValue(kStateKey, "_Text"),
        "Error while installing " + inf + ".\nSetupCopyOEMInf returned 5:\nAccess is denied.\r\n");
}

TEST_F(InstallStateTest, NoKeyNoRecordButTheEngineStillRuns) {
    const std::string inf = AddPackage("zelk_usb.inf");
    RecordInstallState(inf, "\\", "usb");
    EXPECT_EQ(winsim::StagedPackages().size(), 1u);
    EXPECT_EQ(winsim::CountCalls("RegCreateKeyExA"), 0u);

    winsim::FailCall("RegCreateKeyExA", {ERROR_ACCESS_DENIED});
    RecordInstallState(inf, kStateKey, "usb");
    EXPECT_EQ(winsim::CountCalls("RegSetValueExA"), 0u);
    EXPECT_FALSE(winsim::KeyExists(kStateKey));
}

TEST_F(InstallStateTest, ClearingALocationDeletesTextThenValue) {
    winsim::SetDword(kStateKey, "usb", 0xFFFFFFFF);
    winsim::SetString(kStateKey, "usb_Text", "message");
    winsim::SetDword(kStateKey, "pci", 3);
    ClearInstallState(std::string(kStateKey) + "\\usb");
    EXPECT_EQ(winsim::ValueNames(kStateKey), std::vector<std::string>{"pci"});
    EXPECT_EQ(winsim::CallsTo("RegOpenKeyExA")[0].args,
              (std::vector<std::string>{"HKLM", kStateKey, "0", "131103", "ptr"}));
    const auto deletes = winsim::CallsTo("RegDeleteValueA");
    ASSERT_EQ(deletes.size(), 2u);
    EXPECT_EQ(deletes[0].args[1], "usb_Text");
    EXPECT_EQ(deletes[1].args[1], "usb");

    ClearInstallState("SOFTWARE\\Absent\\usb");  // no key: nothing happens
    EXPECT_EQ(winsim::CountCalls("RegDeleteValueA"), 2u);
}

TEST_F(InstallStateTest, ClearingAKeyDeletesOnlyItsLastComponentAndOnlyWithoutSubkeys) {
    winsim::SetDword(kStateKey, "usb", 0);
    winsim::SetDword("SOFTWARE\\Zelk", "kept", 1);
    ClearInstallState(std::string(kStateKey) + "\\");
    EXPECT_FALSE(winsim::KeyExists(kStateKey));
    EXPECT_EQ(winsim::DwordValue("SOFTWARE\\Zelk", "kept"), 1u);
    EXPECT_EQ(winsim::CallsTo("RegOpenKeyExA")[0].args[1], "SOFTWARE\\Zelk\\");

    winsim::CreateKey("SOFTWARE\\Zelk\\Nested\\Child");
    ClearInstallState("SOFTWARE\\Zelk\\Nested\\");
    EXPECT_TRUE(winsim::KeyExists("SOFTWARE\\Zelk\\Nested\\Child"));

    winsim::CreateKey("ZelkTop");
    ClearInstallState("ZelkTop\\");  // the parent is HKEY_LOCAL_MACHINE itself
    EXPECT_FALSE(winsim::KeyExists("ZelkTop"));

    // A path that names no last component deletes nothing, least of all the opened parent.
    ClearInstallState("\\");
    ClearInstallState("SOFTWARE\\Zelk\\\\");
    EXPECT_EQ(winsim::CountCalls("RegDeleteKeyExA") + winsim::CountCalls("RegDeleteKeyA"), 3u);
    EXPECT_TRUE(winsim::KeyExists("SOFTWARE\\Zelk"));
}

TEST_F(InstallStateTest, ExportClearsWhatTheValueNames) {
    winsim::SetDword(kStateKey, "usb", 3);
    SetActionData("0");
    EXPECT_EQ(CA_ClearInstallDriverRegistryValues(session_), 0u);
    SetActionData("usb");  // no backslash names no key
    EXPECT_EQ(CA_ClearInstallDriverRegistryValues(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 0u);

    SetActionData(std::string(kStateKey) + "\\usb");
    EXPECT_EQ(CA_ClearInstallDriverRegistryValues(session_), 0u);
    EXPECT_FALSE(winsim::Value(kStateKey, "usb"));
}
