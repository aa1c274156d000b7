#include "machine_setup.h"
#include "sim_fixture.h"

#include "exports/entry_points.h"

using winsim::Num;
using Names = std::vector<std::string>;

namespace {

constexpr const char* kDriver = setup::kKernelDriver;
constexpr const char* kImage = setup::kKernelImage;

class KernelServiceTest : public SimTest {
  protected:
    winsim::Service Running() {
        winsim::Service service;
        service.name = kDriver;
        service.binaryPath = kImage;
        service.state = SERVICE_RUNNING;
        return service;
    }
};

TEST_F(KernelServiceTest, InstallRegistersAndStartsTheDriver) {
    winsim::AddFile(kImage);
    SetActionData(kDriver);
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), 0u);

    auto service = winsim::FindService(kDriver);
    ASSERT_TRUE(service);
    EXPECT_EQ(service->serviceType, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_EQ(service->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(service->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(service->binaryPath, kImage);
    EXPECT_EQ(service->loadOrderGroup, "Extended Base");
    EXPECT_EQ(service->state, static_cast<DWORD>(SERVICE_RUNNING));

    EXPECT_EQ(winsim::CallNames(),
              (Names{"GetSystemDirectoryA", "MsiGetPropertyA", "OpenSCManagerA", "CreateServiceA",
                     "CloseServiceHandle", "CloseServiceHandle", "OpenSCManagerA", "OpenServiceA",
                     "StartServiceA", "CloseServiceHandle", "CloseServiceHandle"}));
    EXPECT_EQ(winsim::CallsTo("GetSystemDirectoryA")[0].args, (Names{"ptr", "260"}));
    for (const auto& open : winsim::CallsTo("OpenSCManagerA")) {
        EXPECT_EQ(open.args, (Names{"null", "null", Num(0xF003F)}));
    }
    auto create = winsim::CallsTo("CreateServiceA")[0].args;
    // The display name is an empty string, not a null pointer; no tag, dependencies or account.
    EXPECT_EQ(Names(create.begin() + 1, create.end()),
              (Names{kDriver, "", Num(0xF01FF), "1", "2", "1", kImage, "Extended Base", "null",
                     "null", "null", "null"}));
    EXPECT_EQ(winsim::CallsTo("OpenServiceA")[0].args[2], Num(0xF01FF));
    EXPECT_EQ(winsim::CallsTo("StartServiceA")[0].args[1], "0");
    EXPECT_EQ(winsim::CallsTo("StartServiceA")[0].args[2], "null");
    // The new service's handle is closed before the manager's.
    auto closes = winsim::CallsTo("CloseServiceHandle");
    EXPECT_NE(closes[0].args[0], create[0]);
    EXPECT_EQ(closes[1].args[0], create[0]);
}

TEST_F(KernelServiceTest, NoDataOrNoSystemDirectoryReturns13WithoutTheManager) {
    for (const std::string& data : Names{"0", "", std::string(260, 'a')}) {
        SetActionData(data);
        EXPECT_EQ(CA_InstallNonePnPDriver(session_), 13u) << data;
        EXPECT_EQ(CA_UninstallNonePnPDriver(session_), 13u) << data;
    }
    SetActionData(kDriver);
    winsim::FailCall("GetSystemDirectoryA", {ERROR_ACCESS_DENIED});
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), 13u);
    winsim::ClearFailures();
    // 260 characters and the NUL do not fit the 260-byte buffer: the answer is a size, not a path.
    winsim::SetSystemDirectory("C:\\" + std::string(257, 's'));
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), 13u);
    EXPECT_EQ(winsim::CountCalls("OpenSCManagerA"), 0u);
    EXPECT_EQ(winsim::CountCalls("MsiGetPropertyA"), 6u);  // not read after the directory failed
    EXPECT_TRUE(winsim::ServiceNames().empty());
}

TEST_F(KernelServiceTest, ValueIsUsedWholeAsNameAndFileName) {
    SetActionData("a@b.sys");
    winsim::AddFile("C:\\Windows\\system32\\drivers\\a@b.sys.sys");
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), 0u);
    EXPECT_EQ(winsim::FindService("a@b.sys")->binaryPath,
              "C:\\Windows\\system32\\drivers\\a@b.sys.sys");
}

TEST_F(KernelServiceTest, InstallFailuresReturnTheFailingCallsCode) {
    SetActionData(kDriver);
    winsim::FailCall("OpenSCManagerA", {ERROR_ACCESS_DENIED});
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), 5u);
    EXPECT_TRUE(winsim::ServiceNames().empty());
    winsim::ClearFailures();

    winsim::FailCall("CreateServiceA", {ERROR_INVALID_PARAMETER});
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), 87u);
    EXPECT_EQ(winsim::CountCalls("StartServiceA"), 0u);
    winsim::ClearFailures();

    // Created, but the start fails: the service stays registered, set to start automatically.
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), static_cast<UINT>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(winsim::FindService(kDriver)->state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(winsim::FindService(kDriver)->startType, static_cast<DWORD>(SERVICE_AUTO_START));
}

// A failed call is never taken for success, even without an error code behind it.
TEST_F(KernelServiceTest, FailedCallsWithoutErrorCodeStillFail) {
    SetActionData(kDriver);
    winsim::FailCall("CreateServiceA", {ERROR_SUCCESS});
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), static_cast<UINT>(ERROR_GEN_FAILURE));
    winsim::ClearFailures();

    winsim::AddService(Running());
    winsim::FailCall("OpenServiceA", {ERROR_SUCCESS});
    EXPECT_EQ(CA_UninstallNonePnPDriver(session_), static_cast<UINT>(ERROR_GEN_FAILURE));
    EXPECT_EQ(winsim::CountCalls("ControlService"), 0u);
}

TEST_F(KernelServiceTest, StartFailuresKeepTheNewServiceRegistered) {
    SetActionData(kDriver);
    winsim::AddFile(kImage);
    winsim::SetDriverLoadError(kDriver, ERROR_BAD_EXE_FORMAT);
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), static_cast<UINT>(ERROR_BAD_EXE_FORMAT));
    ASSERT_TRUE(winsim::FindService(kDriver));

    winsim::Reset();
    session_ = winsim::OpenSession();
    SetActionData(kDriver);
    winsim::FailCall("OpenServiceA", {ERROR_ACCESS_DENIED});
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), static_cast<UINT>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(winsim::FindService(kDriver));
}

TEST_F(KernelServiceTest, ExistingServiceIsNeitherReconfiguredNorStarted) {
    winsim::Service existing = Running();
    existing.binaryPath = "C:\\elsewhere\\zelkdrv.sys";
    winsim::AddService(existing);
    SetActionData("ZELKDRV");
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), static_cast<UINT>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(winsim::FindService(kDriver)->binaryPath, existing.binaryPath);
    EXPECT_EQ(winsim::CountCalls("StartServiceA"), 0u);

    existing.markedForDelete = true;
    winsim::AddService(existing);
    EXPECT_EQ(CA_InstallNonePnPDriver(session_),
              static_cast<UINT>(ERROR_SERVICE_MARKED_FOR_DELETE));
}

TEST_F(KernelServiceTest, UninstallStopsThenDeletesWithOnlyTheDeleteRight) {
    winsim::AddService(Running());
    SetActionData(kDriver);
    EXPECT_EQ(CA_UninstallNonePnPDriver(session_), 0u);
    EXPECT_FALSE(winsim::FindService(kDriver));
    EXPECT_EQ(winsim::CallNames(),
              (Names{"MsiGetPropertyA", "OpenSCManagerA", "OpenServiceA", "ControlService",
                     "CloseServiceHandle", "CloseServiceHandle", "OpenSCManagerA", "OpenServiceA",
                     "DeleteService", "CloseServiceHandle", "CloseServiceHandle"}));
    auto opens = winsim::CallsTo("OpenServiceA");
    EXPECT_EQ(opens[0].args[2], Num(0xF01FF));
    EXPECT_EQ(opens[1].args[2], Num(0x10000));
    EXPECT_EQ(winsim::CallsTo("ControlService")[0].args[1], "1");
}

TEST_F(KernelServiceTest, DeletionFollowsAnAcceptedStopWithoutWaiting) {
    winsim::AddService(Running());
    winsim::SetStopPending(kDriver);
    SetActionData(kDriver);
    EXPECT_EQ(CA_UninstallNonePnPDriver(session_), 0u);
    auto service = winsim::FindService(kDriver);
    ASSERT_TRUE(service);
    EXPECT_TRUE(service->markedForDelete);
    winsim::FinishStop(kDriver);
    EXPECT_FALSE(winsim::FindService(kDriver));
}

TEST_F(KernelServiceTest, UninstallFailuresLeaveTheServiceRegistered) {
    SetActionData(kDriver);
    EXPECT_EQ(CA_UninstallNonePnPDriver(session_), static_cast<UINT>(ERROR_SERVICE_DOES_NOT_EXIST));

    winsim::Service stopped = Running();
    stopped.state = SERVICE_STOPPED;
    winsim::AddService(stopped);
    EXPECT_EQ(CA_UninstallNonePnPDriver(session_), static_cast<UINT>(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_EQ(winsim::CountCalls("DeleteService"), 0u);

    winsim::AddService(Running());
    winsim::FailCall("ControlService", {ERROR_DEPENDENT_SERVICES_RUNNING});
    EXPECT_EQ(CA_UninstallNonePnPDriver(session_),
              static_cast<UINT>(ERROR_DEPENDENT_SERVICES_RUNNING));
    EXPECT_EQ(winsim::FindService(kDriver)->state, static_cast<DWORD>(SERVICE_RUNNING));
    winsim::ClearFailures();

    winsim::FailCall("DeleteService", {ERROR_ACCESS_DENIED});
    EXPECT_EQ(CA_UninstallNonePnPDriver(session_), static_cast<UINT>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(winsim::FindService(kDriver)->state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(winsim::FindService(kDriver)->markedForDelete);
    winsim::ClearFailures();

    winsim::AddService(Running());
    winsim::FailCall("OpenSCManagerA", {ERROR_ACCESS_DENIED, 2});
    EXPECT_EQ(CA_UninstallNonePnPDriver(session_), static_cast<UINT>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(winsim::FindService(kDriver)->state, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(KernelServiceTest, InstallAgainAfterUninstallRegistersAFreshService) {
    winsim::AddFile(kImage);
    SetActionData(kDriver);
    ASSERT_EQ(CA_InstallNonePnPDriver(session_), 0u);
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), static_cast<UINT>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(winsim::FindService(kDriver)->state, static_cast<DWORD>(SERVICE_RUNNING));
    ASSERT_EQ(CA_UninstallNonePnPDriver(session_), 0u);
    EXPECT_EQ(CA_InstallNonePnPDriver(session_), 0u);
}

}  // namespace
