// The frame every export shares, seen through real installer sessions: what counts as no data,
// where the property buffer ends, and the exports that need no data on a clean machine.
#include <string>

#include "support/machine_probe.h"
#include "support/session_fixture.h"
#include "support/ui_capture.h"

namespace zelk::wine {
namespace {

struct NoDataResult {
    const char* exportName;
    UINT result;
};

// Every export that reads CustomActionData, with its answer when there is none.
constexpr NoDataResult kNoDataResults[] = {
    {"CA_InstallDriver", ERROR_INVALID_DATA},
    {"CA_ClearInstallDriverRegistryValues", ERROR_SUCCESS},
    {"CA_InstallCertificate", ERROR_SUCCESS},
    {"CA_UninstallNonePnPDriver", ERROR_INVALID_DATA},
    {"CA_InstallNonePnPDriver", ERROR_INVALID_DATA},
    {"CA_CheckAndSetRebootStatus", ERROR_SUCCESS},
};

using NoData = CustomActionTest;

TEST_F(NoData, MissingPropertyGetsEachExportsNoDataResult) {
    const ExternalUiCapture warnings(INSTALLLOGMODE_WARNING);
    for (const auto& expected : kNoDataResults) {
        EXPECT_EQ(Run(expected.exportName), expected.result) << expected.exportName;
    }
    EXPECT_TRUE(warnings.Messages().empty());
    EXPECT_EQ(session_.Property("REBOOT"), "");
}

TEST_F(NoData, EmptyAndZeroValuesGetEachExportsNoDataResult) {
    const ExternalUiCapture warnings(INSTALLLOGMODE_WARNING);
    for (const char* value : {"", "0"}) {
        for (const auto& expected : kNoDataResults) {
            EXPECT_EQ(RunWithData(expected.exportName, value), expected.result)
                << expected.exportName << " with \"" << value << "\"";
        }
    }
    EXPECT_TRUE(warnings.Messages().empty());
    EXPECT_EQ(session_.Property("REBOOT"), "");
}

TEST_F(NoData, InstallDriverNeedsOneOrTwoTokens) {
    EXPECT_EQ(RunWithData("CA_InstallDriver", "@@@"), static_cast<UINT>(ERROR_INVALID_DATA));
    EXPECT_EQ(RunWithData("CA_InstallDriver", "C:\\a.inf@SOFTWARE\\Zelk\\State@third"),
              static_cast<UINT>(ERROR_INVALID_DATA));
    // "0" tokens are dropped before counting, leaving none here.
    EXPECT_EQ(RunWithData("CA_InstallDriver", "0@0"), static_cast<UINT>(ERROR_INVALID_DATA));
}

using PropertyBuffer = CustomActionTest;

TEST_F(PropertyBuffer, ValueOf260CharactersReadsAsNoData) {
    const std::string tooLong(260, 'z');
    EXPECT_EQ(RunWithData("CA_InstallDriver", tooLong), static_cast<UINT>(ERROR_INVALID_DATA));
    EXPECT_EQ(RunWithData("CA_UninstallNonePnPDriver", tooLong),
              static_cast<UINT>(ERROR_INVALID_DATA));
}

TEST_F(PropertyBuffer, ValueOf259CharactersIsReadWhole) {
    // No such service exists, so the removal stops at opening it and answers with what the
    // service manager says about that name (Wine: 1060 for any length; Windows may refuse a
    // name this long as invalid). Either way the value reached the manager.
    const std::string name(259, 'z');
    const DWORD managerSays = OpenServiceError(name, SERVICE_ALL_ACCESS);
    ASSERT_NE(managerSays, static_cast<DWORD>(ERROR_SUCCESS));
    const UINT result = RunWithData("CA_UninstallNonePnPDriver", name);
    EXPECT_NE(result, static_cast<UINT>(ERROR_INVALID_DATA));
    EXPECT_EQ(result, managerSays);
}

using CleanMachine = CustomActionTest;

TEST_F(CleanMachine, RootDeviceRemovalsSucceedWithNothingToRemove) {
    EXPECT_EQ(Run("CA_UninstallVirtualDriver"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(Run("CA_UninstallLanDriver"), static_cast<UINT>(ERROR_SUCCESS));
}

}  // namespace
}  // namespace zelk::wine
