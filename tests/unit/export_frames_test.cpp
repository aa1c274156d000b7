#include "sim_fixture.h"

#include "exports/entry_points.h"

#include <functional>

namespace {

struct Export {
    const char* name;
    std::function<UINT(MSIHANDLE)> call;
    UINT noDataResult;
};

const Export kExportsWithInput[] = {
    {"CA_InstallDriver", CA_InstallDriver, ERROR_INVALID_DATA},
    {"CA_ClearInstallDriverRegistryValues", CA_ClearInstallDriverRegistryValues, 0},
    {"CA_InstallCertificate", CA_InstallCertificate, 0},
    {"CA_UninstallNonePnPDriver", CA_UninstallNonePnPDriver, ERROR_INVALID_DATA},
    {"CA_InstallNonePnPDriver", CA_InstallNonePnPDriver, ERROR_INVALID_DATA},
    {"CA_CheckAndSetRebootStatus", CA_CheckAndSetRebootStatus, 0},
};

// Calls that show an action did touch the machine.
bool TouchedTheSystem() {
    for (const char* call :
         {"RegOpenKeyExA", "RegCreateKeyExA", "OpenSCManagerA", "CreateProcessA",
          "SetupDiGetClassDevsA", "_stat64", "MsiSetPropertyA", "MsiProcessMessage"}) {
        if (winsim::CountCalls(call) > 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

class ExportFrameTest : public SimTest {};

TEST_F(ExportFrameTest, MissingEmptyOverlongAndZeroDataAreNoData) {
    const std::vector<std::optional<std::string>> noData = {
        std::nullopt, std::string(), std::string("0"), std::string(260, 'x')};
    for (const Export& action : kExportsWithInput) {
        for (const auto& value : noData) {
            winsim::Reset();
            session_ = winsim::OpenSession();
            if (value) {
                SetActionData(*value);
            }
            EXPECT_EQ(action.call(session_), action.noDataResult)
                << action.name << " with " << (value ? "'" + value->substr(0, 8) + "'" : "none");
            EXPECT_FALSE(TouchedTheSystem()) << action.name;
            EXPECT_TRUE(winsim::Messages(session_).empty()) << action.name;
            EXPECT_EQ(winsim::OpenHandles(), 0) << action.name;
        }
    }
}

TEST_F(ExportFrameTest, InstallDriverNeedsOneOrTwoTokensThatAreNotZero) {
    for (const char* value : {"@", "@@@", "0@0", "a@b@c", "@a@@b@c@"}) {
        SetActionData(value);
        EXPECT_EQ(CA_InstallDriver(session_), static_cast<UINT>(ERROR_INVALID_DATA)) << value;
    }
    EXPECT_FALSE(TouchedTheSystem());
}

TEST_F(ExportFrameTest, RootDeviceRemovalsAlwaysSucceed) {
    EXPECT_EQ(CA_UninstallVirtualDriver(session_), 0u);
    EXPECT_EQ(CA_UninstallLanDriver(session_), 0u);
    winsim::FailCall("SetupDiGetClassDevsA", {ERROR_NOT_ENOUGH_MEMORY, 0, -1});
    EXPECT_EQ(CA_UninstallVirtualDriver(0), 0u);
    EXPECT_EQ(CA_UninstallLanDriver(0), 0u);
}

TEST_F(ExportFrameTest, NoExportReadsAPropertyItDoesNotNeed) {
    SetActionData("C:\\x.inf");
    CA_UninstallVirtualDriver(session_);
    CA_UninstallLanDriver(session_);
    CA_UninstallOldZuraOem(session_);
    EXPECT_EQ(winsim::CountCalls("MsiGetPropertyA"), 0u);
}
