#include "pnp_test_support.h"

#include "platform/win32.h"
#include "pnp/root_device_creation.h"

using pnp_test::AddPackage;
using pnp_test::kRootInstances;
using pnp_test::MessageBuffer;
using zelk::CreateRootDevice;
using zelk::RootDeviceExists;

namespace {

class RootDeviceTest : public SimTest {
  protected:
    static std::string Instance(const std::string& number) {
        return std::string(kRootInstances) + "\\" + number;
    }
};

}  // namespace

TEST_F(RootDeviceTest, OnlyTheTwoRootServicesAreLookedFor) {
    EXPECT_EQ(RootDeviceExists("USB\\ZELK_VIRTUAL"), zelk::kNotARootDeviceId);
    EXPECT_EQ(RootDeviceExists("ROOT\\ZELK_OTHER"), zelk::kUnknownRootService);
    EXPECT_EQ(RootDeviceExists("ROOT\\zelk_lan"), zelk::kUnknownRootService);
    EXPECT_TRUE(winsim::Calls().empty());
    EXPECT_EQ(RootDeviceExists("ROOT\\ZELK_LAN"), zelk::kRootDeviceNotFound);  // no key
    EXPECT_EQ(winsim::CallsTo("RegOpenKeyExA")[0].args,
              (std::vector<std::string>{"HKLM", kRootInstances, "0", "131097", "ptr"}));
}

TEST_F(RootDeviceTest, OnlyAnExactTerminatedServiceStringCounts) {
    winsim::SetString(Instance("0000"), "Service", "zelk_virtual");
    winsim::SetString(Instance("0001"), "Service", "ZELK_VIRTUAL", REG_MULTI_SZ);
    winsim::SetValue(Instance("0002"), "Service", REG_SZ,
                     std::vector<BYTE>{'Z', 'E', 'L', 'K', '_', 'V', 'I', 'R', 'T', 'U', 'A', 'L'});
    winsim::CreateKey(Instance("0003"));
    winsim::SetString(Instance("0004"), "Service", "ZELK_LAN");
    EXPECT_EQ(RootDeviceExists("ROOT\\ZELK_VIRTUAL"), zelk::kRootDeviceNotFound);
    EXPECT_EQ(winsim::CountCalls("RegEnumKeyExA"), 6u);
    EXPECT_EQ(winsim::CallsTo("RegEnumKeyExA")[0].args[3], "260");

    winsim::SetString(Instance("0005"), "Service", "ZELK_VIRTUAL", REG_EXPAND_SZ);
    EXPECT_EQ(RootDeviceExists("ROOT\\ZELK_VIRTUAL"), zelk::kRootDeviceFound);
    EXPECT_EQ(RootDeviceExists("ROOT\\ZELK_LAN"), zelk::kRootDeviceFound);
}

TEST_F(RootDeviceTest, ExistingDeviceIsLeftAloneWithoutLookingAtFiles) {
    winsim::SetString(Instance("0000"), "Service", "ZELK_LAN");
    MessageBuffer message;
    EXPECT_EQ(CreateRootDevice("C:\\missing\\zelk_lan.inf", "ROOT\\ZELK_LAN", message.data(),
                               message.size()),
              zelk::kRootDeviceExisted);
    EXPECT_TRUE(message.untouched());
    EXPECT_EQ(winsim::CountCalls("_stat64"), 0u);
    EXPECT_EQ(winsim::CountCalls("SetupDiGetINFClassA"), 0u);
}

TEST_F(RootDeviceTest, CreatesAndRegistersTheDeviceUnderTheInfClass) {
    const std::string inf = AddPackage("zelk_virtual.inf");
    winsim::CreateKey(Instance("0000"));  // an instance without a service is not the device
    MessageBuffer message;
    EXPECT_EQ(CreateRootDevice(inf, "ROOT\\ZELK_VIRTUAL", message.data(), message.size()),
              zelk::kRootDeviceCreated);
    EXPECT_TRUE(message.untouched());

    auto device = winsim::FindDevice("ROOT\\CAN-HARDWARE\\0001");
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->present);
    EXPECT_EQ(winsim::DeviceHardwareIdData("ROOT\\CAN-HARDWARE\\0001"),
              (std::vector<BYTE>{'R', 'O', 'O', 'T', '\\', 'Z', 'E', 'L', 'K', '_', 'V', 'I', 'R',
                                 'T', 'U', 'A', 'L', 0, 0}));

    auto setup = [](const char* name) { return winsim::CallsTo(name).at(0).args; };
    EXPECT_EQ(setup("SetupDiGetINFClassA"),
              (std::vector<std::string>{inf, "ptr", "ptr", "32", "null"}));
    const std::string list = setup("SetupDiDestroyDeviceInfoList")[0];
    EXPECT_EQ(setup("SetupDiCreateDeviceInfoList"), (std::vector<std::string>{"ptr", "null"}));
    EXPECT_EQ(setup("SetupDiCreateDeviceInfoA"),
              (std::vector<std::string>{list, "CAN-HARDWARE", "ptr", "null", "null", "1", "ptr"}));
    EXPECT_EQ(setup("SetupDiSetDeviceRegistryPropertyA"),
              (std::vector<std::string>{list, "ptr", "1", std::string("ROOT\\ZELK_VIRTUAL\0\0", 19),
                                        "19"}));
    EXPECT_EQ(setup("SetupDiCallClassInstaller"), (std::vector<std::string>{"25", list, "ptr"}));
}

TEST_F(RootDeviceTest, MissingDriverFileStopsBeforeTheSetupApi) {
    const std::string inf = std::string(pnp_test::kPackageFolder) + "zelk_lan.inf";
    winsim::WriteFile(inf, pnp_test::InfText());
    MessageBuffer message;
    EXPECT_EQ(CreateRootDevice(inf, "ROOT\\ZELK_LAN", message.data(), message.size()),
              zelk::kRootDeviceFailed);
    EXPECT_EQ(message.text(),
              "Driver file " + std::string(pnp_test::kPackageFolder) + "zelk_lan.sys not found");
    EXPECT_EQ(winsim::CountCalls("SetupDiGetINFClassA"), 0u);
}

TEST_F(RootDeviceTest, ClassAndListFailuresReportSignedCodes) {
    const std::string inf = AddPackage("zelk_lan.inf");
    winsim::WriteFile(inf, pnp_test::ClasslessInfText());
    MessageBuffer message;
    EXPECT_EQ(CreateRootDevice(inf, "ROOT\\ZELK_LAN", message.data(), message.size()),
              zelk::kRootDeviceFailed);
    EXPECT_EQ(message.text(),
              "Class-GUID could not be extracted from " + inf + ". Error -536870394");
    EXPECT_EQ(winsim::CountCalls("SetupDiCreateDeviceInfoList"), 0u);

    winsim::WriteFile(inf, pnp_test::InfText());
    winsim::FailCall("SetupDiCreateDeviceInfoList", {ERROR_NOT_ENOUGH_MEMORY});
    MessageBuffer second;
    EXPECT_EQ(CreateRootDevice(inf, "ROOT\\ZELK_LAN", second.data(), second.size()),
              zelk::kRootDeviceFailed);
    EXPECT_EQ(second.text(), "An empty device information set could not be created. Error 8");
    EXPECT_EQ(winsim::CountCalls("SetupDiDestroyDeviceInfoList"), 0u);
}

TEST_F(RootDeviceTest, EachFailedCreationStepDestroysTheListAndLeavesNoDevice) {
    const std::string inf = AddPackage("zelk_virtual.inf");
    const char* steps[] = {"SetupDiCreateDeviceInfoA", "SetupDiSetDeviceRegistryPropertyA",
                           "SetupDiCallClassInstaller"};
    for (const char* step : steps) {
        SCOPED_TRACE(step);
        winsim::ClearFailures();
        winsim::ClearCalls();
        winsim::FailCall(step, {ERROR_DEVINST_ALREADY_EXISTS});
        MessageBuffer message;
        EXPECT_EQ(CreateRootDevice(inf, "ROOT\\ZELK_VIRTUAL", message.data(), message.size()),
                  zelk::kRootDeviceFailed);
        EXPECT_EQ(message.text(),
                  "It was not possible to create and install the new device. Error -536870393");
        EXPECT_EQ(winsim::CallNames().back(), "SetupDiDestroyDeviceInfoList");
        EXPECT_EQ(winsim::OpenHandles(winsim::HandleKind::DeviceList), 0);
        EXPECT_EQ(winsim::UnregisteredDeviceElements(), 0);
        EXPECT_TRUE(winsim::DeviceInstanceIds().empty());
    }
}

TEST_F(RootDeviceTest, OverlongIdIsRefusedAndTheListDestroyed) {
    const std::string inf = AddPackage("zelk_virtual.inf");
    SetLastError(ERROR_INVALID_PARAMETER);
    MessageBuffer message;
    EXPECT_EQ(
        CreateRootDevice(inf, "ROOT\\" + std::string(251, 'X'), message.data(), message.size()),
        zelk::kRootDeviceFailed);
    // The last error is the successful list creation's.
    EXPECT_EQ(message.text(), "An error occurred while copying an array. Error 0");
    EXPECT_EQ(winsim::CountCalls("SetupDiDestroyDeviceInfoList"), 1u);
    EXPECT_EQ(winsim::CountCalls("SetupDiCreateDeviceInfoA"), 0u);

    // 255 characters still fit, with both terminators.
    EXPECT_EQ(
        CreateRootDevice(inf, "ROOT\\" + std::string(250, 'X'), message.data(), message.size()),
        zelk::kRootDeviceCreated);
}
