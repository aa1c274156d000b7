// The one handle table: a handle of another kind, one already closed, or memory the system did
// not hand out is no handle, and an injected failure answers through the call's convention.
#include "sim_fixture.h"

#include "platform/win32.h"

using HandleTableTest = SimTest;

TEST_F(HandleTableTest, WrongKindClosedOrForeignHandlesFail) {
    HKEY key = nullptr;
    winsim::CreateKey("SOFTWARE\\Zelk");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk", 0, KEY_READ, &key), 0);
    EXPECT_EQ(winsim::OpenHandles(winsim::HandleKind::RegistryKey), 1);
    EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(key)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    char foreign[8] = {};
    EXPECT_EQ(LocalFree(foreign), static_cast<HLOCAL>(foreign));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST_F(HandleTableTest, InjectedResultIsWhatTheCallReturns) {
    winsim::FailCall("CM_Get_DevNode_Status", {ERROR_GEN_FAILURE, 0, CR_INVALID_DEVNODE});
    ULONG status = 0;
    ULONG problem = 0;
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, 1, 0), CONFIGRET{CR_INVALID_DEVNODE});
    winsim::FailCall("SetupDiGetClassDevsA", {ERROR_NOT_ENOUGH_MEMORY, 0, 0});
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    winsim::FailCall("SetupDiEnumDeviceInfo", {ERROR_NO_MORE_ITEMS, 0, TRUE});
    EXPECT_EQ(SetupDiEnumDeviceInfo(nullptr, 0, nullptr), TRUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}
