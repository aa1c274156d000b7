#include "pnp_test_support.h"

#include "exports/entry_points.h"

using pnp_test::AddPackage;
using pnp_test::MakeDevice;

namespace {

using setup::kStateKey;
constexpr int kWarning = 0x02000030;

const std::vector<std::string> kUsbIds = {
    "USB\\VID_3A91&PID_1C01",       "USB\\VID_3A91&PID_1C02&MI_00", "USB\\VID_3A91&PID_1C03",
    "USB\\VID_3A91&PID_1C04&MI_00", "USB\\VID_3A91&PID_1C05",       "USB\\VID_3A91&PID_1C06",
    "USB\\VID_2B5F&PID_E101",       "USB\\VID_2B5F&PID_E102",       "USB\\VID_2b5f&PID_e103&MI_00"};

class InstallDriverActionTest : public SimTest {
  protected:
    UINT Run(const std::string& data) {
        SetActionData(data);
        return CA_InstallDriver(session_);
    }
    const std::vector<winsim::PostedMessage>& Posted() const { return winsim::Messages(session_); }
    static bool EngineRan() { return winsim::CountCalls("_stat64") > 0; }
};

}  // namespace

// The road of one typical request: a USB package with a recorded outcome, no device connected
// and one earlier device now absent.
TEST_F(InstallDriverActionTest, UsbPackageWithRecordedOutcomeRunsTheWholeRoad) {
    const std::string inf = AddPackage("zelk_usb.inf");
    winsim::AddDevice(MakeDevice("USB\\VID_3A91&PID_1C01\\7&1A&0&2", {kUsbIds[0]}, false));
    const std::string location = std::string(kStateKey) + "\\usb";

    EXPECT_EQ(Run(inf + "@" + location), 0u);

    std::vector<std::string> expected = {"MsiGetPropertyA", "_stat64",
                                         "CMP_WaitNoPendingInstallEvents"};
    for (size_t i = 0; i < kUsbIds.size(); ++i) {
        expected.insert(expected.end(),
                        {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo",
                         "SetupDiDestroyDeviceInfoList", "UpdateDriverForPlugAndPlayDevicesA"});
    }
    expected.insert(expected.end(), {"_stat64", "_stat64", "SetupCopyOEMInfA"});
    for (size_t i = 0; i < kUsbIds.size(); ++i) {
        expected.insert(expected.end(), {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo",
                                         "SetupDiGetDeviceRegistryPropertyA"});
        if (i == 0) {
            expected.insert(expected.end(),
                            {"CM_Get_DevNode_Status", "SetupDiGetDeviceRegistryPropertyA",
                             "SetupDiSetDeviceRegistryPropertyA"});
        }
        expected.insert(expected.end(), {"SetupDiEnumDeviceInfo", "SetupDiDestroyDeviceInfoList"});
    }
    expected.insert(expected.end(), {"RegCreateKeyExA", "RegSetValueExA", "RegCloseKey"});
    // Case mapping (the package name, hardware-ID comparisons) is left out of the sequence.
    std::vector<std::string> calls = winsim::CallNames();
    std::erase(calls, "LCMapStringA");
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(winsim::CallsTo("LCMapStringA")[0].args[2], "zelk_usb.inf");

    EXPECT_EQ(winsim::CallsTo("MsiGetPropertyA")[0].args,
              (std::vector<std::string>{winsim::Num(session_), "CustomActionData", "ptr", "260"}));
    const auto updates = winsim::CallsTo("UpdateDriverForPlugAndPlayDevicesA");
    ASSERT_EQ(updates.size(), kUsbIds.size());
    for (size_t i = 0; i < kUsbIds.size(); ++i) {
        EXPECT_EQ(updates[i].args, (std::vector<std::string>{"null", kUsbIds[i], inf, "0", "ptr"}));
    }
    for (const auto& list : winsim::CallsTo("SetupDiGetClassDevsA")) {
        EXPECT_TRUE(list.args[3] == "6" || list.args[3] == "4");
    }
    EXPECT_EQ(winsim::CallsTo("SetupCopyOEMInfA")[0].args,
              (std::vector<std::string>{inf, "null", "1", "8", "ptr", "260", "null", "null"}));
    EXPECT_EQ(winsim::CallsTo("RegCreateKeyExA")[0].args[1], kStateKey);

    EXPECT_EQ(winsim::StagedPackages().size(), 1u);
    EXPECT_EQ(winsim::FindDevice("USB\\VID_3A91&PID_1C01\\7&1A&0&2")->configFlags,
              static_cast<DWORD>(CONFIGFLAG_REINSTALL));
    EXPECT_EQ(winsim::DwordValue(kStateKey, "usb"), 0u);
    EXPECT_FALSE(winsim::Value(kStateKey, "usb_Text"));
    EXPECT_TRUE(Posted().empty());

    SetActionData(location);
    EXPECT_EQ(CA_ClearInstallDriverRegistryValues(session_), 0u);
    EXPECT_TRUE(winsim::ValueNames(kStateKey).empty());
}

TEST_F(InstallDriverActionTest, ValuesWithoutUsableTokensAreInvalidData) {
    winsim::FailCall("MsiGetPropertyA", {ERROR_INVALID_HANDLE});
    EXPECT_EQ(CA_InstallDriver(session_), 13u);
    winsim::ClearFailures();
    EXPECT_EQ(CA_InstallDriver(session_), 13u);  // no property at all
    const std::string inf = AddPackage("zelk_usb.inf");
    for (const std::string& data : std::vector<std::string>{
             "", "0", "@", "@@0@", std::string(260, 'a'), inf + "@SOFTWARE\\A\\v@SOFTWARE\\B\\v"}) {
        SCOPED_TRACE(data);
        EXPECT_EQ(Run(data), 13u);
    }
    EXPECT_FALSE(EngineRan());
    EXPECT_TRUE(Posted().empty());
}

TEST_F(InstallDriverActionTest, OneTokenFormsInstallThePackageAlone) {
    const std::string inf = AddPackage("zelk_usb.inf");
    for (const std::string& data :
         std::vector<std::string>{inf, "@@" + inf + "@", inf + "@0", "0@" + inf}) {
        SCOPED_TRACE(data);
        winsim::ClearCalls();
        EXPECT_EQ(Run(data), 0u);
        ASSERT_TRUE(EngineRan());
        EXPECT_EQ(winsim::CallsTo("_stat64")[0].args[0], inf);
        EXPECT_EQ(winsim::CountCalls("RegCreateKeyExA"), 0u);
    }
    EXPECT_TRUE(Posted().empty());  // staged, then already staged: no failure
}

TEST_F(InstallDriverActionTest, OneTokenFailureIsPostedAsWarning) {
    const std::string inf = AddPackage("zelk_pcc.inf");
    winsim::RefusePackage(inf, ERROR_GENERAL_SYNTAX);
    EXPECT_EQ(Run(inf), 0u);
    ASSERT_EQ(Posted().size(), 1u);
    EXPECT_EQ(Posted()[0].type, kWarning);
    EXPECT_EQ(Posted()[0].text, "Error while installing " + inf +
                                    ".\nSetupCopyOEMInf returned 3758096387:\n"
                                    "The syntax of the INF is invalid.\r\n");

    EXPECT_EQ(Run("C:\\nowhere\\zelk_pcc.inf"), 0u);  // -3
    winsim::SetPendingInstallWait(WAIT_TIMEOUT);
    EXPECT_EQ(Run(inf), 0u);  // -2
    ASSERT_EQ(Posted().size(), 3u);
    EXPECT_EQ(Posted()[1].text, "");
    EXPECT_EQ(Posted()[2].text, "");
    EXPECT_EQ(Posted()[2].type, kWarning);
    EXPECT_EQ(winsim::OpenHandles(winsim::HandleKind::MsiRecord), 0);
}

TEST_F(InstallDriverActionTest, TwoTokenFormRecordsInsteadOfWarning) {
    const std::string inf = AddPackage("zelk_pcc.inf");
    winsim::RefusePackage(inf, ERROR_GENERAL_SYNTAX);
    EXPECT_EQ(Run("0@" + inf + "@@" + kStateKey + "\\\\pcc@"), 0u);  // doubled last backslash
    EXPECT_TRUE(Posted().empty());
    EXPECT_EQ(winsim::DwordValue(kStateKey, "pcc"), 0xFFFFFFFFu);
    EXPECT_TRUE(winsim::StringValue(kStateKey, "pcc_Text"));

    EXPECT_EQ(Run(inf + "@" + kStateKey + "\\"), 0u);  // the key's default value
    EXPECT_EQ(winsim::DwordValue(kStateKey, ""), 0xFFFFFFFFu);
}

TEST_F(InstallDriverActionTest, StateLocationWithoutKeyPathIsInvalidData) {
    const std::string inf = AddPackage("zelk_usb.inf");
    EXPECT_EQ(Run(inf + "@usb"), 13u);
    EXPECT_EQ(Run(inf + "@\\usb"), 13u);
    // A key path made only of a backslash would be cut to nothing by the writer.
    EXPECT_EQ(Run(inf + "@\\\\usb"), 13u);
    EXPECT_FALSE(EngineRan());
}
