// The virtual and the LAN package on the real DLL: each creates its root-enumerated device, whose
// driver installation gives it its service, and the two removal actions take them away again.
// Runs in the "pnp" group: a fresh prefix with the newdev.dll stand-in (Wine's own
// UpdateDriverForPlugAndPlayDevicesA succeeds without a device, so no device would be created).
#include <cstring>
#include <string>

#include "support/device_tree.h"
#include "support/driver_packages.h"
#include "support/machine_probe.h"
#include "support/session_fixture.h"
#include "support/ui_capture.h"

namespace zelk::wine {
namespace {

struct RootPackage {
    const char* infName;
    DriverModel model;
};

const RootPackage kVirtual = {"zelk_virtual.inf", {"ROOT\\ZELK_VIRTUAL", "ZELK_VIRTUAL"}};
const RootPackage kLan = {"zelk_lan.inf", {"ROOT\\ZELK_LAN", "ZELK_LAN"}};

constexpr const char* kRootInstancePrefix = "ROOT\\CAN-HARDWARE\\";

class RootDeviceTest : public CustomActionTest {
  protected:
    void SetUp() override {
        CustomActionTest::SetUp();
        // Each test starts without either device, whatever an earlier test left.
        ASSERT_TRUE(RemoveDevicesAndService(kVirtual.model.hardwareId, kVirtual.model.service));
        ASSERT_TRUE(RemoveDevicesAndService(kLan.model.hardwareId, kLan.model.service));
    }

    // Lays the package down in the test's own folder and runs CA_InstallDriver on it.
    UINT Install(const RootPackage& package) {
        const PackageOnDisk files(
            CurrentTestName(), package.infName,
            CanHardwareInf(package.model, DriverFileName(package), CurrentTestName()));
        EXPECT_TRUE(files.Written());
        return RunWithData("CA_InstallDriver", files.InfPath());
    }

    static std::string DriverFileName(const RootPackage& package) {
        const std::string inf = package.infName;
        return inf.substr(0, inf.size() - 3) + "sys";
    }

    static std::string CurrentTestName() {
        return ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    // Exactly one device carries the package's ID, registered under CAN-HARDWARE and running
    // the package's service, which exists.
    static void ExpectOneDeviceRunningItsService(const RootPackage& package) {
        const auto devices = DevicesCarrying(package.model.hardwareId);
        ASSERT_EQ(devices.size(), 1u) << package.model.hardwareId;
        const DeviceEntry& device = devices[0];
        EXPECT_EQ(_strnicmp(device.instanceId.c_str(), kRootInstancePrefix,
                            std::strlen(kRootInstancePrefix)),
                  0)
            << device.instanceId;
        EXPECT_EQ(device.service, package.model.service);
        EXPECT_EQ(ReadMachineString(kEnumKey + device.instanceId, "Service"),
                  package.model.service);
        EXPECT_TRUE(ServiceExists(package.model.service)) << package.model.service;
    }

    static void ExpectNoDeviceNorService(const RootPackage& package) {
        EXPECT_TRUE(DevicesCarrying(package.model.hardwareId).empty()) << package.model.hardwareId;
        EXPECT_FALSE(ServiceExists(package.model.service)) << package.model.service;
    }
};

using RootDevicePackages = RootDeviceTest;

TEST_F(RootDevicePackages, EachCreatesOneDeviceRunningItsServiceAndNoSecondOne) {
    const ExternalUiCapture warnings(INSTALLLOGMODE_WARNING);
    for (const RootPackage& package : {kVirtual, kLan}) {
        SCOPED_TRACE(package.infName);
        EXPECT_EQ(Install(package), static_cast<UINT>(ERROR_SUCCESS));
        ExpectOneDeviceRunningItsService(package);

        // The device is found by its service and left alone.
        EXPECT_EQ(Install(package), static_cast<UINT>(ERROR_SUCCESS));
        ExpectOneDeviceRunningItsService(package);
    }
    EXPECT_TRUE(warnings.Messages().empty());
}

TEST_F(RootDevicePackages, SecondRunRecordsInstalledAsWell) {
    const std::string stateKey = "SOFTWARE\\ZelkTests\\RootState";
    ASSERT_TRUE(DeleteMachineTree(stateKey));
    const PackageOnDisk files(
        CurrentTestName(), kVirtual.infName,
        CanHardwareInf(kVirtual.model, DriverFileName(kVirtual), CurrentTestName()));
    ASSERT_TRUE(files.Written());
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_TRUE(WriteMachineDword(stateKey, "Virtual", 0xBAD));
        EXPECT_EQ(RunWithData("CA_InstallDriver", files.InfPath() + "@" + stateKey + "\\Virtual"),
                  static_cast<UINT>(ERROR_SUCCESS));
        // Created and installed (engine result 2), then found (result 1): both record 0.
        EXPECT_EQ(ReadMachineDword(stateKey, "Virtual"), 0u);
        EXPECT_FALSE(ReadMachineString(stateKey, "Virtual_Text").has_value());
    }
    ExpectOneDeviceRunningItsService(kVirtual);
    EXPECT_TRUE(DeleteMachineTree(stateKey));
}

using RootDeviceRemoval = RootDeviceTest;

TEST_F(RootDeviceRemoval, EachActionRemovesOnlyItsOwnDeviceAndService) {
    ASSERT_EQ(Install(kVirtual), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_EQ(Install(kLan), static_cast<UINT>(ERROR_SUCCESS));
    ExpectOneDeviceRunningItsService(kVirtual);
    const auto lanDevices = DevicesCarrying(kLan.model.hardwareId);
    ASSERT_EQ(lanDevices.size(), 1u);
    const std::string lanInstance = lanDevices[0].instanceId;

    EXPECT_EQ(Run("CA_UninstallVirtualDriver"), static_cast<UINT>(ERROR_SUCCESS));
    ExpectNoDeviceNorService(kVirtual);
    ExpectOneDeviceRunningItsService(kLan);

    EXPECT_EQ(Run("CA_UninstallLanDriver"), static_cast<UINT>(ERROR_SUCCESS));
    ExpectNoDeviceNorService(kLan);
    EXPECT_FALSE(MachineKeyExists(kEnumKey + lanInstance));
}

TEST_F(RootDeviceRemoval, LanRemovalLeavesTheVirtualDevice) {
    ASSERT_EQ(Install(kVirtual), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_EQ(Install(kLan), static_cast<UINT>(ERROR_SUCCESS));

    EXPECT_EQ(Run("CA_UninstallLanDriver"), static_cast<UINT>(ERROR_SUCCESS));
    ExpectNoDeviceNorService(kLan);
    ExpectOneDeviceRunningItsService(kVirtual);

    // Nothing left to remove is no failure.
    EXPECT_EQ(Run("CA_UninstallLanDriver"), static_cast<UINT>(ERROR_SUCCESS));
    ExpectOneDeviceRunningItsService(kVirtual);
}

TEST_F(RootDeviceRemoval, ReinstallAfterRemovalCreatesTheDeviceAgain) {
    ASSERT_EQ(Install(kVirtual), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_EQ(Run("CA_UninstallVirtualDriver"), static_cast<UINT>(ERROR_SUCCESS));
    ExpectNoDeviceNorService(kVirtual);

    // The instance key went with the device, so the service scan finds nothing.
    EXPECT_EQ(Install(kVirtual), static_cast<UINT>(ERROR_SUCCESS));
    ExpectOneDeviceRunningItsService(kVirtual);
}

}  // namespace
}  // namespace zelk::wine
