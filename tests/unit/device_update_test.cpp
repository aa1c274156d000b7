#include "export_scenarios.h"
#include "pnp_test_support.h"

#include "platform/win32.h"
#include "pnp/device_update.h"

using pnp_test::AddPackage;
using pnp_test::kUsbId;
using pnp_test::MakeDevice;
using scenarios::SetRawHardwareIds;
using zelk::FindPresentDeviceHardwareIds;
using zelk::MarkAbsentDevicesForReinstall;
using zelk::UpdateDriverForHardwareId;

namespace {

class DeviceUpdateTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        inf_ = AddPackage("zelk_usb.inf");
    }

    static std::vector<std::string> UpdatedIds() {
        std::vector<std::string> ids;
        for (const auto& call : winsim::CallsTo("UpdateDriverForPlugAndPlayDevicesA")) {
            ids.push_back(call.args[1]);
        }
        return ids;
    }

    std::string inf_;
};

}  // namespace

TEST_F(DeviceUpdateTest, FindsPresentDevicesByAnyIdKeepingTheirOwnText) {
    winsim::AddDevice(
        MakeDevice("USB\\1", {"USB\\VID_3A91&PID_1C01&REV_0100", "usb\\vid_3a91&pid_1c01"}));
    winsim::AddDevice(MakeDevice("USB\\2", {"USB\\VID_3A91&PID_1C01"}, false));  // absent
    winsim::AddDevice(MakeDevice("USB\\3", {"USB\\VID_3A91&PID_1C01"}));
    winsim::AddDevice(MakeDevice("USB\\4", {"USB\\VID_3A91&PID_1C011"}));      // a longer ID
    winsim::AddDevice(MakeDevice("USB\\5", {std::string(240, 'X'), kUsbId}));  // 264 bytes
    winsim::Device noIds = MakeDevice("USB\\6", {});
    winsim::AddDevice(noIds);

    std::vector<std::string> targets{"earlier"};
    EXPECT_TRUE(FindPresentDeviceHardwareIds(kUsbId, targets));
    EXPECT_EQ(targets, (std::vector<std::string>{"earlier", "usb\\vid_3a91&pid_1c01",
                                                 "USB\\VID_3A91&PID_1C01"}));
    EXPECT_EQ(winsim::CallsTo("SetupDiGetClassDevsA")[0].args,
              (std::vector<std::string>{"null", "null", "null", "6"}));
    EXPECT_EQ(winsim::CallsTo("SetupDiGetDeviceRegistryPropertyA")[0].args,
              (std::vector<std::string>{winsim::CallsTo("SetupDiDestroyDeviceInfoList")[0].args[0],
                                        "ptr", "1", "null", "ptr", "255", "ptr"}));

    std::vector<std::string> none;
    EXPECT_FALSE(FindPresentDeviceHardwareIds("PCI\\VEN_4D2E&DEV_7001", none));
    EXPECT_TRUE(none.empty());
    winsim::FailCall("SetupDiGetClassDevsA", {ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_FALSE(FindPresentDeviceHardwareIds(kUsbId, none));
}

TEST_F(DeviceUpdateTest, UpdatesEachMatchingDeviceWithItsOwnText) {
    winsim::OfferDriver(inf_, {"zelk_usb", false});
    winsim::AddDevice(MakeDevice("USB\\1", {"usb\\vid_3a91&pid_1c01"}));
    winsim::AddDevice(MakeDevice("USB\\2", {"USB\\VID_3A91&PID_1C01"}));
    int restart = 0;
    int present = 0;
    EXPECT_TRUE(UpdateDriverForHardwareId(inf_, kUsbId, &restart, &present));
    EXPECT_EQ(UpdatedIds(),
              (std::vector<std::string>{"usb\\vid_3a91&pid_1c01", "USB\\VID_3A91&PID_1C01"}));
    EXPECT_EQ(winsim::CallsTo("UpdateDriverForPlugAndPlayDevicesA")[0].args,
              (std::vector<std::string>{"null", "usb\\vid_3a91&pid_1c01", inf_, "0", "ptr"}));
    EXPECT_EQ(restart, 0);
    EXPECT_EQ(present, 1);
    EXPECT_EQ(winsim::FindDevice("USB\\2")->service, "zelk_usb");
}

TEST_F(DeviceUpdateTest, WithoutMatchingDeviceTheIdGoesAsWrittenAndFlagsStay) {
    int restart = 0;
    int present = 0;
    EXPECT_FALSE(
        UpdateDriverForHardwareId(inf_, "USB\\VID_2b5f&PID_e103&MI_00", &restart, &present));
    EXPECT_EQ(UpdatedIds(), std::vector<std::string>{"USB\\VID_2b5f&PID_e103&MI_00"});
    EXPECT_EQ(restart, 0);
    EXPECT_EQ(present, 0);
    EXPECT_FALSE(UpdateDriverForHardwareId(inf_, kUsbId, nullptr, nullptr));
}

TEST_F(DeviceUpdateTest, NoBetterMatchRaisesOnlyThePresentFlag) {
    winsim::Device device = MakeDevice("USB\\1", {kUsbId});
    device.hasBestDriver = true;
    winsim::AddDevice(device);
    int restart = 0;
    int present = 0;
    EXPECT_FALSE(UpdateDriverForHardwareId(inf_, kUsbId, &restart, &present));
    EXPECT_EQ(present, 1);
    EXPECT_EQ(restart, 0);
    int onlyPresent = 0;  // each flag is optional on its own
    EXPECT_FALSE(UpdateDriverForHardwareId(inf_, kUsbId, nullptr, &onlyPresent));
    EXPECT_EQ(onlyPresent, 1);
}

TEST_F(DeviceUpdateTest, FlagsAreOnlyEverRaisedAndSuccessSurvivesALaterFailure) {
    winsim::OfferDriver(inf_, {"zelk_usb", true});
    winsim::AddDevice(MakeDevice("USB\\1", {kUsbId}));
    winsim::AddDevice(MakeDevice("USB\\2", {kUsbId}));
    winsim::FailCall("UpdateDriverForPlugAndPlayDevicesA", {ERROR_ACCESS_DENIED, 2});
    int restart = 0;
    int present = 0;
    EXPECT_TRUE(UpdateDriverForHardwareId(inf_, kUsbId, &restart, &present));
    EXPECT_EQ(restart, 1);
    EXPECT_EQ(present, 1);

    // A later update without restart and a failure leave raised flags raised.
    winsim::ClearFailures();
    winsim::OfferDriver(inf_, {"zelk_usb", false});
    winsim::FailCall("UpdateDriverForPlugAndPlayDevicesA", {ERROR_ACCESS_DENIED});
    EXPECT_FALSE(UpdateDriverForHardwareId(inf_, kUsbId, &restart, &present));
    EXPECT_EQ(restart, 1);
    EXPECT_EQ(present, 1);
    winsim::ClearFailures();
    winsim::AddDevice(MakeDevice("USB\\3", {"USB\\VID_3A91&PID_1C03"}));
    EXPECT_TRUE(UpdateDriverForHardwareId(inf_, "USB\\VID_3A91&PID_1C03", &restart, &present));
    EXPECT_EQ(restart, 1);
}

TEST_F(DeviceUpdateTest, MarksOnlyAbsentDevicesWhoseFirstIdMatches) {
    winsim::Device absent = MakeDevice("USB\\1", {"usb\\vid_3a91&pid_1c01", "USB\\OTHER"}, false);
    absent.configFlags = 0x400;
    winsim::AddDevice(absent);
    winsim::AddDevice(MakeDevice("USB\\2", {kUsbId}));  // present
    winsim::AddDevice(MakeDevice("USB\\3", {"USB\\VID_3A91&PID_1C01&REV_0200", kUsbId}, false));
    winsim::Device noFlags = MakeDevice("USB\\4", {kUsbId}, false);
    noFlags.configFlags.reset();
    winsim::AddDevice(noFlags);

    EXPECT_TRUE(MarkAbsentDevicesForReinstall(kUsbId));
    EXPECT_EQ(winsim::FindDevice("USB\\1")->configFlags, 0x420u);
    EXPECT_EQ(winsim::FindDevice("USB\\2")->configFlags, 0u);
    EXPECT_EQ(winsim::FindDevice("USB\\3")->configFlags, 0u);
    EXPECT_FALSE(winsim::FindDevice("USB\\4")->configFlags);

    EXPECT_EQ(winsim::CallsTo("SetupDiGetClassDevsA")[0].args[3], "4");
    EXPECT_EQ(winsim::CountCalls("CM_Get_DevNode_Status"), 3u);
    EXPECT_EQ(winsim::CallsTo("CM_Get_DevNode_Status")[0].args,
              (std::vector<std::string>{"ptr", "ptr", "1", "0"}));
    const auto setFlags = winsim::CallsTo("SetupDiSetDeviceRegistryPropertyA");
    ASSERT_EQ(setFlags.size(), 1u);
    EXPECT_EQ(setFlags[0].args[2], "10");
    EXPECT_EQ(setFlags[0].args[4], "4");
    EXPECT_EQ(winsim::CountCalls("SetupDiDestroyDeviceInfoList"), 1u);
}

TEST_F(DeviceUpdateTest, PresentDeviceIsNeverFlagged) {
    winsim::AddDevice(MakeDevice("USB\\1", {kUsbId}));
    EXPECT_FALSE(MarkAbsentDevicesForReinstall(kUsbId));
    EXPECT_EQ(winsim::CountCalls("SetupDiSetDeviceRegistryPropertyA"), 0u);
    // A status query that fails for another reason does not make the device absent.
    winsim::FailCall("CM_Get_DevNode_Status", {CR_INVALID_DEVNODE});
    EXPECT_FALSE(MarkAbsentDevicesForReinstall(kUsbId));
    winsim::ClearFailures();
    // An absent device whose flags cannot be read is not counted as flagged.
    winsim::Device noFlags = MakeDevice("USB\\2", {kUsbId}, false);
    noFlags.configFlags.reset();
    winsim::AddDevice(noFlags);
    EXPECT_FALSE(MarkAbsentDevicesForReinstall(kUsbId));
    EXPECT_EQ(winsim::CountCalls("SetupDiSetDeviceRegistryPropertyA"), 0u);
    winsim::FailCall("SetupDiGetClassDevsA", {ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_FALSE(MarkAbsentDevicesForReinstall(kUsbId));
}

TEST_F(DeviceUpdateTest, ListsWithoutTheirTerminatorsReadOnlyWhatTheDeviceHolds) {
    // Each device's list is read into the same kind of buffer after the one before it.
    winsim::AddDevice(MakeDevice("USB\\1", {"ABC", kUsbId}));
    SetRawHardwareIds(winsim::AddDevice(MakeDevice("USB\\2", {})), std::string("ABC\0", 4));
    winsim::AddDevice(MakeDevice("USB\\3", {"USB\\VID_3A91&PID_1C01&REV_0200"}, false));
    SetRawHardwareIds(winsim::AddDevice(MakeDevice("USB\\4", {}, false)), kUsbId);
    // Lists that fill the whole 255-byte buffer, with no room for any terminator.
    std::string fullId = kUsbId;
    fullId.resize(255, 'X');
    SetRawHardwareIds(winsim::AddDevice(MakeDevice("USB\\5", {})), fullId);
    SetRawHardwareIds(winsim::AddDevice(MakeDevice("USB\\6", {}, false)), fullId);

    std::vector<std::string> targets;
    EXPECT_TRUE(FindPresentDeviceHardwareIds(kUsbId, targets));
    EXPECT_EQ(targets, std::vector<std::string>{kUsbId});  // the first device alone
    EXPECT_TRUE(FindPresentDeviceHardwareIds(fullId, targets));
    EXPECT_EQ(targets.back(), fullId);

    // Without its NUL the first ID reads as the device's bytes and nothing else.
    EXPECT_TRUE(MarkAbsentDevicesForReinstall(kUsbId));
    EXPECT_EQ(winsim::FindDevice("USB\\3")->configFlags, 0u);
    EXPECT_EQ(winsim::FindDevice("USB\\4")->configFlags, 0x20u);
    EXPECT_TRUE(MarkAbsentDevicesForReinstall(fullId));
    EXPECT_EQ(winsim::FindDevice("USB\\6")->configFlags, 0x20u);
}
