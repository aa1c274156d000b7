// The simulated device tree, driver store and device installation answer as Windows documents.
#include "pnp_test_support.h"

#include "platform/win32.h"
#include "runtime/handles.h"

#include <cstring>

using pnp_test::AddPackage;
using pnp_test::MakeDevice;

namespace {

class WinsimDevicesTest : public SimTest {
  protected:
    static SP_DEVINFO_DATA Record() {
        SP_DEVINFO_DATA record{};
        record.cbSize = sizeof(record);
        return record;
    }
};

}  // namespace

TEST_F(WinsimDevicesTest, PropertiesFollowWindowsBufferRules) {
    winsim::Device device = MakeDevice("USB\\A\\1", {"USB\\A&REV_01", "USB\\A"});
    device.service = "usbcan";
    device.configFlags.reset();
    winsim::AddDevice(device);
    const zelk::DeviceList list(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA record = Record();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(list.get(), 0, &record));

    const std::string expected("USB\\A&REV_01\0USB\\A\0\0", 20);
    BYTE buffer[64] = {};
    DWORD type = 0;
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(list.get(), &record, SPDRP_HARDWAREID, &type,
                                                   buffer, 10, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 20u);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(list.get(), &record, SPDRP_HARDWAREID, &type,
                                                  buffer, sizeof(buffer), &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), required), expected);

    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(list.get(), &record, SPDRP_SERVICE, &type, buffer,
                                                  sizeof(buffer), nullptr));
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "usbcan");

    DWORD flags = 7;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(list.get(), &record, SPDRP_CONFIGFLAGS, nullptr,
                                                   reinterpret_cast<PBYTE>(&flags), 4, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(flags, 7u);

    flags = CONFIGFLAG_REINSTALL | 0x1;
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyA(list.get(), &record, SPDRP_CONFIGFLAGS,
                                                  reinterpret_cast<BYTE*>(&flags), 4));
    EXPECT_EQ(winsim::FindDevice("usb\\a\\1")->configFlags, flags);
    EXPECT_EQ(winsim::DwordValue("SYSTEM\\CurrentControlSet\\Enum\\USB\\A\\1", "ConfigFlags"),
              flags);
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(list.get(), &record, SPDRP_SERVICE, buffer, 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
}

TEST_F(WinsimDevicesTest, CreatedElementIsRegisteredAsRootDeviceWithItsInstanceKey) {
    const GUID classGuid = pnp_test::PackageClassGuid();
    winsim::CreateKey(std::string(pnp_test::kRootInstances) + "\\0000");  // a leftover instance
    HDEVINFO list = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA record = Record();
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(list, "can-hardware", &classGuid, nullptr, nullptr,
                                         DICD_GENERATE_ID, &record));
    EXPECT_EQ(winsim::UnregisteredDeviceElements(), 1);
    EXPECT_TRUE(winsim::DeviceInstanceIds().empty());

    const char ids[] = "ROOT\\ZELK_LAN\0";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(list, &record, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(ids), sizeof(ids)));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list, &record));
    EXPECT_EQ(winsim::DeviceInstanceIds(), std::vector<std::string>{"ROOT\\CAN-HARDWARE\\0001"});
    auto device = winsim::FindDevice("ROOT\\CAN-HARDWARE\\0001");
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->present);
    EXPECT_EQ(device->hardwareIds, std::vector<std::string>{"ROOT\\ZELK_LAN"});
    EXPECT_TRUE(winsim::KeyExists(std::string(pnp_test::kRootInstances) + "\\0001"));

    GUID other = classGuid;
    other.Data1 ^= 1;
    EXPECT_FALSE(
        SetupDiCreateDeviceInfoA(list, "X", &other, nullptr, nullptr, DICD_GENERATE_ID, &record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
    SetupDiDestroyDeviceInfoList(list);
    EXPECT_EQ(winsim::DeviceInstanceIds().size(), 1u);
    EXPECT_EQ(winsim::UnregisteredDeviceElements(), 0);
}

TEST_F(WinsimDevicesTest, RemovedDeviceKeepsItsPlaceInTheList) {
    winsim::AddDevice(MakeDevice("ROOT\\CAN-HARDWARE\\0000", {"ROOT\\ZELK_VIRTUAL"}));
    winsim::AddDevice(MakeDevice("ROOT\\CAN-HARDWARE\\0001", {"ROOT\\ZELK_LAN"}, false));
    const zelk::DeviceList list(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA record = Record();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(list.get(), 0, &record));
    EXPECT_TRUE(SetupDiRemoveDevice(list.get(), &record));
    EXPECT_FALSE(winsim::KeyExists(std::string(pnp_test::kRootInstances) + "\\0000"));

    ASSERT_TRUE(SetupDiEnumDeviceInfo(list.get(), 1, &record));
    EXPECT_TRUE(SetupDiRemoveDevice(list.get(), &record));
    EXPECT_TRUE(winsim::DeviceInstanceIds().empty());
}

TEST_F(WinsimDevicesTest, InfClassComesFromTheVersionSection) {
    const std::string inf = AddPackage("zelk_virtual.inf");
    GUID guid{};
    char name[MAX_CLASS_NAME_LEN] = {};
    DWORD required = 0;
    ASSERT_TRUE(SetupDiGetINFClassA(inf.c_str(), &guid, name, sizeof(name), &required));
    EXPECT_STREQ(name, "CAN-HARDWARE");
    EXPECT_EQ(required, 13u);
    const GUID expected = pnp_test::PackageClassGuid();
    EXPECT_EQ(std::memcmp(&guid, &expected, sizeof(GUID)), 0);

    EXPECT_FALSE(SetupDiGetINFClassA(inf.c_str(), &guid, name, 5, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(SetupDiGetINFClassA("C:\\x\\missing.inf", &guid, name, sizeof(name), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(WinsimDevicesTest, DriverStoreCopiesOnceAndRefusesWhatItIsTold) {
    const std::string inf = AddPackage("zelk_usb.inf");
    char stored[MAX_PATH] = {};
    ASSERT_TRUE(SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, stored,
                                 MAX_PATH, nullptr, nullptr));
    EXPECT_STREQ(stored, "C:\\Windows\\INF\\oem0.inf");
    EXPECT_TRUE(winsim::FileExists("C:\\Windows\\INF\\oem0.inf"));

    stored[0] = '\0';
    EXPECT_FALSE(SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, stored,
                                  MAX_PATH, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_STREQ(stored, "C:\\Windows\\INF\\oem0.inf");

    // Another version of the package is a new package.
    winsim::WriteFile(inf, pnp_test::InfText() + "; v2\r\n");
    ASSERT_TRUE(SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, stored,
                                 MAX_PATH, nullptr, nullptr));
    EXPECT_STREQ(stored, "C:\\Windows\\INF\\oem1.inf");
    EXPECT_EQ(winsim::StagedPackages().size(), 2u);

    winsim::RefusePackage(inf, ERROR_GENERAL_SYNTAX);
    EXPECT_FALSE(SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, stored,
                                  MAX_PATH, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GENERAL_SYNTAX));
    EXPECT_FALSE(SetupCopyOEMInfA("C:\\none.inf", nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, stored,
                                  MAX_PATH, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(WinsimDevicesTest, DriverUpdateAnswersAsDocumented) {
    const std::string inf = AddPackage("zelk_usb.inf");
    winsim::OfferDriver(inf, {"zelk_usb", true});
    winsim::AddDevice(MakeDevice("USB\\VID_3A91&PID_1C01\\1", {"usb\\vid_3a91&pid_1c01"}));
    winsim::AddDevice(MakeDevice("USB\\VID_3A91&PID_1C01\\2", {"USB\\VID_3A91&PID_1C01"}, false));
    BOOL restart = FALSE;

    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "USB\\VID_3A91&PID_1C09", inf.c_str(),
                                                    0, &restart));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));

    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "USB\\VID_3A91&PID_1C01", inf.c_str(),
                                                   0, &restart));
    EXPECT_TRUE(restart);
    EXPECT_EQ(winsim::FindDevice("USB\\VID_3A91&PID_1C01\\1")->service, "zelk_usb");
    EXPECT_EQ(winsim::FindDevice("USB\\VID_3A91&PID_1C01\\2")->service, "");  // absent

    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "USB\\VID_3A91&PID_1C01", inf.c_str(),
                                                    0, &restart));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "USB\\VID_3A91&PID_1C01", inf.c_str(),
                                                   INSTALLFLAG_FORCE, &restart));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "USB\\VID_3A91&PID_1C01",
                                                    "C:\\none.inf", 0, &restart));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
