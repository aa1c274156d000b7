// The simulated service control manager, where the product's tests lean on its rules.
#include "sim_fixture.h"

#include "platform/win32.h"
#include "runtime/handles.h"

namespace {

class ServiceDatabaseTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        winsim::Service service;
        service.name = "ZelkDrv";
        service.state = SERVICE_RUNNING;
        winsim::AddService(service);
        manager_.reset(OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT));
    }
    void TearDown() override {
        manager_.reset();
        SimTest::TearDown();
    }

    zelk::ServiceHandle manager_;
};

TEST_F(ServiceDatabaseTest, AMarkedServiceGoesOnlyWhenStoppedAndNoHandleIsOpen) {
    winsim::SetStopPending("ZelkDrv");
    zelk::ServiceHandle service(OpenServiceA(manager_.get(), "ZelkDrv", SERVICE_ALL_ACCESS));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    ASSERT_TRUE(DeleteService(service.get()));
    EXPECT_FALSE(DeleteService(service.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));

    winsim::FinishStop("ZelkDrv");
    EXPECT_TRUE(winsim::FindService("ZelkDrv"));  // our handle still holds it
    service.reset();
    EXPECT_FALSE(winsim::FindService("ZelkDrv"));
    EXPECT_EQ(OpenServiceA(manager_.get(), "ZelkDrv", DELETE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceDatabaseTest, ADriverStartsOnceAndOnlyFromAnExistingImage) {
    zelk::ServiceHandle service(OpenServiceA(manager_.get(), "ZelkDrv", SERVICE_START));
    EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

    winsim::Service stopped;
    stopped.name = "Second";
    stopped.binaryPath = "C:\\Windows\\system32\\drivers\\second.sys";
    winsim::AddService(stopped);
    service.reset(OpenServiceA(manager_.get(), "Second", SERVICE_START));
    EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    winsim::AddFile(stopped.binaryPath);
    EXPECT_TRUE(StartServiceA(service.get(), 0, nullptr));
}

}  // namespace
