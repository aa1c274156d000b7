// The newdev.dll stand-in itself (tests/wine/standins/newdev): that the "pnp" group really runs
// the DLL against it, and that it answers as its source promises. Runs in the "pnp" group.
#include <gtest/gtest.h>

#include <windows.h>
#include <newdev.h>

#include <string>

#include "support/device_tree.h"
#include "support/driver_packages.h"
#include "support/test_files.h"

namespace zelk::wine {
namespace {

using UpdateDriverA = BOOL(WINAPI*)(HWND, LPCSTR, LPCSTR, DWORD, PBOOL);

const DriverModel kModel = {"ROOT\\ZELK_STANDIN", "ZELK_STANDIN"};

class NewdevStandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        // By name, as the DLL under test imports it: the override decides which one loads.
        module_ = LoadLibraryA("newdev.dll");
        ASSERT_NE(module_, nullptr);
        const auto generic = reinterpret_cast<void (*)()>(
            GetProcAddress(module_, "UpdateDriverForPlugAndPlayDevicesA"));
        update_ = reinterpret_cast<UpdateDriverA>(generic);
        ASSERT_NE(update_, nullptr);
        ASSERT_TRUE(package_.Written());
        ASSERT_TRUE(RemoveDevicesAndService(kModel.hardwareId, kModel.service));
    }
    void TearDown() override {
        EXPECT_TRUE(RemoveDevicesAndService(kModel.hardwareId, kModel.service));
        FreeLibrary(module_);
    }

    // The call's result and GetLastError when it failed (0 when it succeeded).
    struct Answer {
        BOOL result;
        DWORD error;
        BOOL reboot;
    };
    Answer Update(const std::string& hardwareId, DWORD flags = 0) const {
        BOOL reboot = 2;  // neither TRUE nor FALSE: shows whether it was written
        SetLastError(ERROR_SUCCESS);
        const BOOL result =
            update_(nullptr, hardwareId.c_str(), package_.InfPath().c_str(), flags, &reboot);
        return {result, result ? ERROR_SUCCESS : GetLastError(), reboot};
    }

    HMODULE module_ = nullptr;
    UpdateDriverA update_ = nullptr;
    const PackageOnDisk package_{"standin", "zelk_standin.inf",
                                 CanHardwareInf(kModel, "zelk_standin.sys", "newdev stand-in")};
};

TEST_F(NewdevStandIn, IsTheNewdevThisProcessLoads) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module_, path, MAX_PATH);
    EXPECT_EQ(lstrcmpiA(path, BesideProgram("newdev.dll").c_str()), 0)
        << path << ": run this group with WINEDLLOVERRIDES=newdev=n";
}

TEST_F(NewdevStandIn, AnswersNoSuchDevinstWhenNoDeviceCarriesTheId) {
    const Answer answer = Update(kModel.hardwareId);
    EXPECT_FALSE(answer.result);
    EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(answer.reboot, FALSE);
}

TEST_F(NewdevStandIn, InstallsOnceThenAnswersNoMoreItemsUnlessForced) {
    ASSERT_TRUE(RegisterRootDevice(package_.InfPath(), kModel.hardwareId));
    ASSERT_EQ(DevicesCarrying(kModel.hardwareId).size(), 1u);
    ASSERT_EQ(DevicesCarrying(kModel.hardwareId)[0].service, "");

    // Matched without regard to case.
    const Answer first = Update("root\\zelk_standin");
    EXPECT_TRUE(first.result) << first.error;
    EXPECT_EQ(first.reboot, FALSE);
    const auto devices = DevicesCarrying(kModel.hardwareId);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].service, kModel.service);

    const Answer again = Update(kModel.hardwareId);
    EXPECT_FALSE(again.result);
    EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    EXPECT_TRUE(Update(kModel.hardwareId, INSTALLFLAG_FORCE).result);
    EXPECT_EQ(DevicesCarrying(kModel.hardwareId).size(), 1u);
}

TEST_F(NewdevStandIn, RefusesUnknownFlagsAndMissingInf) {
    EXPECT_EQ(Update(kModel.hardwareId, 0x100).error, static_cast<DWORD>(ERROR_INVALID_FLAGS));
    BOOL reboot = FALSE;
    EXPECT_FALSE(
        update_(nullptr, kModel.hardwareId.c_str(), "C:\\zelk-nowhere\\none.inf", 0, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace zelk::wine
