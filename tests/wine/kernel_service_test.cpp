// The kernel driver service actions on Wine's real service control manager, with a real
// driver image that Wine loads into winedevice.exe.
#include <optional>
#include <string>

#include "support/machine_probe.h"
#include "support/session_fixture.h"
#include "support/test_files.h"

namespace zelk::wine {
namespace {

constexpr DWORD kPollMs = 50;
constexpr DWORD kServiceSettleMs = 10000;

struct ServiceConfig {
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::string binaryPath;
    std::string loadOrderGroup;
};

std::string SystemDirectory() {
    char path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    return std::string(path, length);
}

// Where the action registers the image of driver `name`.
std::string DriverImagePath(const std::string& name) {
    return SystemDirectory() + "\\drivers\\" + name + ".sys";
}

bool QueryConfig(const std::string& name, ServiceConfig& config) {
    const detail::Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const detail::Service service(
        manager ? OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) {
        return false;
    }
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::string buffer(needed, '\0');
    auto* raw = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigA(service.get(), raw, needed, &needed)) {
        return false;
    }
    config.serviceType = raw->dwServiceType;
    config.startType = raw->dwStartType;
    config.errorControl = raw->dwErrorControl;
    config.binaryPath = raw->lpBinaryPathName ? raw->lpBinaryPathName : "";
    config.loadOrderGroup = raw->lpLoadOrderGroup ? raw->lpLoadOrderGroup : "";
    return true;
}

// Polls until the service reports `state` or the time is up; the last state seen, if any.
std::optional<DWORD> WaitForState(const std::string& name, DWORD state) {
    std::optional<DWORD> seen = ServiceState(name);
    for (DWORD waited = 0; seen != state && waited < kServiceSettleMs; waited += kPollMs) {
        Sleep(kPollMs);
        seen = ServiceState(name);
    }
    return seen;
}

// A deleted service may linger, marked for deletion, until its driver has unloaded.
bool WaitUntilGone(const std::string& name) {
    for (DWORD waited = 0; ServiceExists(name); waited += kPollMs) {
        if (waited >= kServiceSettleMs) {
            return false;
        }
        Sleep(kPollMs);
    }
    return true;
}

// Test cleanup: stops and deletes the service whatever state a failed test left it in.
void RemoveService(const std::string& name) {
    const detail::Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const detail::Service service(
        manager ? OpenServiceA(manager.get(), name.c_str(), SERVICE_ALL_ACCESS) : nullptr);
    if (!service) {
        return;
    }
    SERVICE_STATUS status = {};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        WaitForState(name, SERVICE_STOPPED);
    }
    DeleteService(service.get());
}

class KernelDriverService : public CustomActionTest {
  protected:
    void TearDown() override {
        RemoveService(name_);
        WaitUntilGone(name_);
        DeleteFileA(DriverImagePath(name_).c_str());
    }

    // Each test its own name, so that no test meets a service an earlier one marked for deletion.
    // Every test also removes its service: Wine keeps the empty display name the action passes as
    // a name of its own, so while one such service exists, creating a second answers 1078
    // (ERROR_DUPLICATE_SERVICE_NAME).
    void UseName(const std::string& name) { name_ = name; }

    bool PlaceDriverImage() const {
        return CopyFileA(BesideProgram("zelk_testdrv.sys").c_str(), DriverImagePath(name_).c_str(),
                         FALSE) != FALSE;
    }

    UINT Install() const { return RunWithData("CA_InstallNonePnPDriver", name_); }
    UINT Uninstall() const { return RunWithData("CA_UninstallNonePnPDriver", name_); }

    std::string name_;
};

TEST_F(KernelDriverService, InstallRegistersAndStartsTheDriverAndUninstallRemovesIt) {
    UseName("zelk_kd_cycle");
    ASSERT_TRUE(PlaceDriverImage());

    ASSERT_EQ(Install(), static_cast<UINT>(ERROR_SUCCESS));
    ServiceConfig config;
    ASSERT_TRUE(QueryConfig(name_, config));
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.loadOrderGroup, "Extended Base");
    EXPECT_EQ(config.binaryPath, DriverImagePath(name_));
    EXPECT_EQ(ServiceState(name_), SERVICE_RUNNING);

    EXPECT_EQ(Uninstall(), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_TRUE(WaitUntilGone(name_));
}

TEST_F(KernelDriverService, SecondInstallAnswersServiceExistsAndLeavesTheDriverRunning) {
    UseName("zelk_kd_twice");
    ASSERT_TRUE(PlaceDriverImage());
    ASSERT_EQ(Install(), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_EQ(ServiceState(name_), SERVICE_RUNNING);

    EXPECT_EQ(Install(), static_cast<UINT>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(ServiceState(name_), SERVICE_RUNNING);
}

// Windows answers 2 for a missing image and 193 for a bad one; Wine answers 1114 for both. Only
// the platform knows, so the tests ask for a failure and a service left registered.
TEST_F(KernelDriverService, MissingImageFailsTheStartAndLeavesTheServiceRegistered) {
    UseName("zelk_kd_missing");
    const UINT result = Install();
    EXPECT_NE(result, static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_NE(result, static_cast<UINT>(ERROR_SERVICE_EXISTS));
    EXPECT_TRUE(ServiceExists(name_));
    EXPECT_NE(ServiceState(name_), SERVICE_RUNNING);
}

TEST_F(KernelDriverService, BadImageFailsTheStartAndLeavesTheServiceRegistered) {
    UseName("zelk_kd_bad");
    ASSERT_TRUE(WriteTextFile(DriverImagePath(name_), "not a driver image\r\n"));
    const UINT result = Install();
    EXPECT_NE(result, static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_NE(result, static_cast<UINT>(ERROR_SERVICE_EXISTS));
    EXPECT_TRUE(ServiceExists(name_));
}

TEST_F(KernelDriverService, UninstallOfAStoppedServiceAnswersNotActiveAndKeepsIt) {
    UseName("zelk_kd_stopped");
    // A driver that could not start leaves a registered, stopped service behind.
    ASSERT_NE(Install(), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_EQ(ServiceState(name_), SERVICE_STOPPED);

    EXPECT_EQ(Uninstall(), static_cast<UINT>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_TRUE(ServiceExists(name_));
}

TEST_F(KernelDriverService, UninstallOfAMissingServiceAnswersDoesNotExist) {
    UseName("zelk_kd_never");
    EXPECT_EQ(Uninstall(), static_cast<UINT>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(ServiceExists(name_));
}

}  // namespace
}  // namespace zelk::wine
