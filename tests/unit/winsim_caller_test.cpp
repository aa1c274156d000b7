// A filtered (non-elevated) caller: HKEY_LOCAL_MACHINE readable only, the service control manager
// and device installation refused, launching allowed.
#include "pnp_test_support.h"

#include "platform/win32.h"

using pnp_test::AddPackage;
using pnp_test::MakeDevice;

namespace {

constexpr DWORD kDenied = ERROR_ACCESS_DENIED;

class WinsimCallerTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        winsim::CreateKey("SOFTWARE\\Zelk\\Leaf");
        winsim::AddService(winsim::Service{"zdrv", "zdrv"});
        winsim::SetElevated(false);
    }
};

}  // namespace

TEST_F(WinsimCallerTest, RegistryBelowTheMachineRootIsReadOnly) {
    struct Case {
        REGSAM access;
        LSTATUS expected;
    };
    for (const Case& c :
         {Case{KEY_READ, ERROR_SUCCESS}, Case{KEY_QUERY_VALUE, ERROR_SUCCESS},
          Case{KEY_WRITE, kDenied}, Case{KEY_SET_VALUE, kDenied}, Case{KEY_CREATE_SUB_KEY, kDenied},
          Case{DELETE, kDenied}, Case{KEY_ALL_ACCESS, kDenied}}) {
        HKEY opened = nullptr;
        HKEY created = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk", 0, c.access, &opened),
                  c.expected)
            << c.access;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk", 0, nullptr, 0, c.access,
                                  nullptr, &created, nullptr),
                  c.expected)
            << c.access;
        for (HKEY key : {opened, created}) {
            if (key) {
                RegCloseKey(key);
            }
        }
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk\\New", 0, nullptr, 0, KEY_READ,
                              nullptr, &key, nullptr),
              kDenied);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk\\Leaf"), kDenied);
    EXPECT_EQ(RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk\\Leaf", 0, 0), kDenied);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(winsim::KeyExists("SOFTWARE\\Zelk\\Leaf"));
    EXPECT_FALSE(winsim::KeyExists("SOFTWARE\\Zelk\\New"));

    winsim::Reset();  // elevated again
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(WinsimCallerTest, ServiceControlManagerAllowsConnectingAndQueryingOnly) {
    struct Case {
        DWORD managerAccess;
        DWORD serviceAccess;
        bool managerOpens;
        bool serviceOpens;
    };
    for (const Case& c : {Case{SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS, true, true},
                          Case{SC_MANAGER_CONNECT, DELETE, true, false},
                          Case{SC_MANAGER_CONNECT, SERVICE_START, true, false},
                          Case{SC_MANAGER_CONNECT, SERVICE_STOP, true, false},
                          Case{SC_MANAGER_CONNECT, SERVICE_CHANGE_CONFIG, true, false},
                          Case{SC_MANAGER_CREATE_SERVICE, 0, false, false},
                          Case{SC_MANAGER_ALL_ACCESS, 0, false, false}}) {
        SetLastError(0xdeadbeef);
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, c.managerAccess);
        ASSERT_EQ(manager != nullptr, c.managerOpens) << c.managerAccess;
        if (!manager) {
            EXPECT_EQ(GetLastError(), kDenied);
            continue;
        }
        SC_HANDLE service = OpenServiceA(manager, "zdrv", c.serviceAccess);
        EXPECT_EQ(service != nullptr, c.serviceOpens) << c.serviceAccess;
        if (service) {
            CloseServiceHandle(service);
        } else {
            EXPECT_EQ(GetLastError(), kDenied);
        }
        CloseServiceHandle(manager);
    }
}

TEST_F(WinsimCallerTest, DeviceInstallationIsRefusedAndLaunchingAllowed) {
    const std::string inf = AddPackage("zelk_usb.inf");
    winsim::AddDevice(MakeDevice("USB\\A\\1", {pnp_test::kUsbId}));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), kDenied);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        UpdateDriverForPlugAndPlayDevicesA(nullptr, pnp_test::kUsbId, inf.c_str(), 0, nullptr));
    EXPECT_EQ(GetLastError(), kDenied);

    HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA present{sizeof(SP_DEVINFO_DATA)};
    ASSERT_TRUE(SetupDiEnumDeviceInfo(list, 0, &present));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiRemoveDevice(list, &present));
    EXPECT_EQ(GetLastError(), kDenied);
    SP_DEVINFO_DATA created{sizeof(SP_DEVINFO_DATA)};
    const GUID guid = pnp_test::PackageClassGuid();
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(list, "ZELK_VIRTUAL", &guid, nullptr, nullptr,
                                         DICD_GENERATE_ID, &created));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list, &created));
    EXPECT_EQ(GetLastError(), kDenied);
    SetupDiDestroyDeviceInfoList(list);
    EXPECT_EQ(winsim::DeviceInstanceIds().size(), 1u);

    winsim::AddFile("C:\\Windows\\system32\\certutil.exe");
    STARTUPINFOA startup{sizeof(startup)};
    PROCESS_INFORMATION process{};
    char commandLine[] = "certutil.exe";
    ASSERT_TRUE(CreateProcessA("C:\\Windows\\system32\\certutil.exe", commandLine, nullptr, nullptr,
                               FALSE, 0, nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}
