#include "sim_fixture.h"

#include "exports/entry_points.h"
#include "rootdev/root_device_removal.h"

namespace {

winsim::Device RootDevice(const std::string& instanceId, std::vector<std::string> hardwareIds,
                          const std::string& service, bool present = true) {
    winsim::Device device;
    device.instanceId = instanceId;
    device.hardwareIds = std::move(hardwareIds);
    device.service = service;
    device.present = present;
    return device;
}

void AddDriverService(const std::string& name) {
    winsim::Service service;
    service.name = name;
    service.state = SERVICE_RUNNING;
    winsim::AddService(service);
}

bool HasDevice(const std::string& instanceId) {
    return winsim::FindDevice(instanceId).has_value();
}

bool HasLiveService(const std::string& name) {
    auto service = winsim::FindService(name);
    return service && !service->markedForDelete;
}

}  // namespace

class RootDeviceRemovalTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        AddDriverService("ZELK_VIRTUAL");
        AddDriverService("ZELK_LAN");
    }
};

TEST_F(RootDeviceRemovalTest, RemovesEveryMatchingDevicePresentOrNotWithItsService) {
    winsim::AddDevice(
        RootDevice("ROOT\\CAN-HARDWARE\\0000", {"ROOT\\ZELK_VIRTUAL"}, "ZELK_VIRTUAL"));
    winsim::AddDevice(
        RootDevice("ROOT\\CAN-HARDWARE\\0001", {"root\\zelk_virtual"}, "ZELK_VIRTUAL", false));
    winsim::AddDevice(
        RootDevice("ROOT\\CAN-HARDWARE\\0002", {"ROOT\\OTHER", "ROOT\\ZELK_Virtual"}, ""));
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0003", {"ROOT\\ZELK_LAN"}, "ZELK_LAN"));

    EXPECT_EQ(CA_UninstallVirtualDriver(session_), 0u);
    // The device without a service is removed without asking the service manager.
    EXPECT_EQ(winsim::CountCalls("OpenSCManagerA"), 2u);

    EXPECT_FALSE(HasDevice("ROOT\\CAN-HARDWARE\\0000"));
    EXPECT_FALSE(HasDevice("ROOT\\CAN-HARDWARE\\0001"));  // a phantom goes too
    EXPECT_FALSE(HasDevice("ROOT\\CAN-HARDWARE\\0002"));  // the ID in second place matches
    EXPECT_TRUE(HasDevice("ROOT\\CAN-HARDWARE\\0003"));   // the LAN device is not touched
    EXPECT_FALSE(HasLiveService("ZELK_VIRTUAL"));
    EXPECT_TRUE(HasLiveService("ZELK_LAN"));
    EXPECT_EQ(winsim::CountCalls("SetupDiRemoveDevice"), 3u);
    // The second removal finds the service already marked; that changes nothing.
    EXPECT_EQ(winsim::CountCalls("DeleteService"), 2u);
}

TEST_F(RootDeviceRemovalTest, LanActionTouchesOnlyLanDevices) {
    winsim::AddDevice(
        RootDevice("ROOT\\CAN-HARDWARE\\0000", {"ROOT\\ZELK_VIRTUAL"}, "ZELK_VIRTUAL"));
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0001", {"ROOT\\ZELK_LAN"}, "ZELK_LAN"));
    EXPECT_EQ(CA_UninstallLanDriver(session_), 0u);
    EXPECT_TRUE(HasDevice("ROOT\\CAN-HARDWARE\\0000"));
    EXPECT_FALSE(HasDevice("ROOT\\CAN-HARDWARE\\0001"));
    EXPECT_TRUE(HasLiveService("ZELK_VIRTUAL"));
    EXPECT_FALSE(HasLiveService("ZELK_LAN"));
}

TEST_F(RootDeviceRemovalTest, APrefixOrLongerIdIsNoMatch) {
    winsim::AddDevice(
        RootDevice("ROOT\\CAN-HARDWARE\\0000", {"ROOT\\ZELK_VIRTUAL2"}, "ZELK_VIRTUAL"));
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0001", {"ROOT\\ZELK_VIRT"}, "ZELK_VIRTUAL"));
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0002", {}, "ZELK_VIRTUAL"));
    EXPECT_EQ(CA_UninstallVirtualDriver(session_), 0u);
    EXPECT_EQ(winsim::DeviceInstanceIds().size(), 3u);
    EXPECT_EQ(winsim::CountCalls("SetupDiRemoveDevice"), 0u);
    EXPECT_TRUE(HasLiveService("ZELK_VIRTUAL"));
}

TEST_F(RootDeviceRemovalTest, ADeviceThatCannotBeRemovedKeepsItsService) {
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0000", {"ROOT\\ZELK_LAN"}, "ZELK_LAN"));
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0001", {"ROOT\\ZELK_LAN"}, "ZELK_LAN"));
    winsim::FailCall("SetupDiRemoveDevice", {ERROR_ACCESS_DENIED, 1});
    EXPECT_EQ(CA_UninstallLanDriver(session_), 0u);
    EXPECT_TRUE(HasDevice("ROOT\\CAN-HARDWARE\\0000"));
    EXPECT_FALSE(HasDevice("ROOT\\CAN-HARDWARE\\0001"));  // the walk goes on
    EXPECT_EQ(winsim::CountCalls("DeleteService"), 1u);
}

TEST_F(RootDeviceRemovalTest, AsksForExactArgumentsAndReadsTheServiceBeforeRemoving) {
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0000", {"ROOT\\ZELK_LAN"}, "ZELK_LAN"));
    zelk::RemoveRootDevices(zelk::kLanDeviceId);

    auto lists = winsim::CallsTo("SetupDiGetClassDevsA");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].args, (std::vector<std::string>{"null", "null", "null", "4"}));
    auto reads = winsim::CallsTo("SetupDiGetDeviceRegistryPropertyA");
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].args[2], winsim::Num(SPDRP_HARDWAREID));
    EXPECT_EQ(reads[0].args[5], "1024");
    EXPECT_EQ(reads[1].args[2], winsim::Num(SPDRP_SERVICE));
    EXPECT_EQ(reads[1].args[5], "255");
    EXPECT_EQ(reads[1].args[6], "null");

    std::vector<std::string> order;
    for (const std::string& name : winsim::CallNames()) {
        if (name == "SetupDiRemoveDevice" || name == "OpenSCManagerA" || name == "OpenServiceA" ||
            name == "DeleteService") {
            order.push_back(name);
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"SetupDiRemoveDevice", "OpenSCManagerA",
                                               "OpenServiceA", "DeleteService"}));
    EXPECT_EQ(winsim::CallsTo("OpenSCManagerA")[0].args,
              (std::vector<std::string>{"null", "ServicesActive", winsim::Num(0xF003F)}));
    EXPECT_EQ(winsim::CallsTo("OpenServiceA")[0].args[2], winsim::Num(0xF003F));
    EXPECT_EQ(winsim::CountCalls("ControlService"), 0u);  // no stop before the deletion
}

TEST_F(RootDeviceRemovalTest, ServiceDeletionReportsWhetherTheServiceWasDeleted) {
    EXPECT_TRUE(zelk::DeleteDeviceService("ZELK_LAN"));
    EXPECT_FALSE(zelk::DeleteDeviceService("ZELK_NONE"));
    winsim::FailCall("DeleteService", {ERROR_ACCESS_DENIED});
    EXPECT_FALSE(zelk::DeleteDeviceService("ZELK_VIRTUAL"));
    EXPECT_TRUE(HasLiveService("ZELK_VIRTUAL"));
}

TEST_F(RootDeviceRemovalTest, FailuresAlongTheWayChangeNothingAndReturnZero) {
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0000", {"ROOT\\ZELK_LAN"}, "ZELK_LAN"));
    winsim::FailCall("OpenSCManagerA", {ERROR_ACCESS_DENIED});
    EXPECT_EQ(CA_UninstallLanDriver(session_), 0u);
    EXPECT_FALSE(HasDevice("ROOT\\CAN-HARDWARE\\0000"));
    EXPECT_TRUE(HasLiveService("ZELK_LAN"));

    winsim::ClearFailures();
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0001", {"ROOT\\ZELK_LAN"}, "ZELK_LAN"));
    winsim::FailCall("SetupDiGetDeviceRegistryPropertyA", {ERROR_INVALID_DATA});
    EXPECT_EQ(CA_UninstallLanDriver(session_), 0u);
    EXPECT_TRUE(HasDevice("ROOT\\CAN-HARDWARE\\0001"));
}

TEST_F(RootDeviceRemovalTest, HardwareIdListLongerThanTheBufferIsSkipped) {
    std::vector<std::string> ids(60, "ROOT\\PADDING_ID_0");
    ids.push_back("ROOT\\ZELK_LAN");
    winsim::AddDevice(RootDevice("ROOT\\CAN-HARDWARE\\0000", ids, "ZELK_LAN"));
    EXPECT_EQ(CA_UninstallLanDriver(session_), 0u);
    EXPECT_TRUE(HasDevice("ROOT\\CAN-HARDWARE\\0000"));
}
