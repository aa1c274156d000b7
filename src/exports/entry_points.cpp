// The nine custom actions. Each is a thin frame: read CustomActionData where the action takes
// input, answer the no-data case, hand the work to its subsystem, keep exceptions inside.
#include "exports/entry_points.h"

#include "legacy/old_oem_package.h"
#include "pnp/install_driver_action.h"
#include "pnp/install_state.h"
#include "rootdev/root_device_removal.h"
#include "runtime/action_frame.h"
#include "runtime/session.h"
#include "services/kernel_service.h"
#include "trust/certificate.h"
#include "trust/reboot_decision.h"

// Exported by name through the .def file.
#define ZELK_EXPORT extern "C"

using zelk::ReadActionData;
using zelk::RunGuarded;

namespace {

constexpr bool kNeverFails = true;
constexpr bool kReportsFailure = false;

}  // namespace

ZELK_EXPORT UINT WINAPI CA_InstallDriver(MSIHANDLE session) {
    return RunGuarded(kNeverFails, [&]() -> UINT {
        std::string data;
        if (!zelk::GetSessionProperty(session, "CustomActionData", data)) {
            return ERROR_INVALID_DATA;
        }
        return zelk::RunInstallDriver(session, data);
    });
}

ZELK_EXPORT UINT WINAPI CA_UninstallVirtualDriver(MSIHANDLE) {
    return RunGuarded(kNeverFails, []() -> UINT {
        zelk::RemoveRootDevices(zelk::kVirtualDeviceId);
        return ERROR_SUCCESS;
    });
}

ZELK_EXPORT UINT WINAPI CA_ClearInstallDriverRegistryValues(MSIHANDLE session) {
    return RunGuarded(kNeverFails, [&]() -> UINT {
        std::string data;
        if (ReadActionData(session, data)) {
            zelk::ClearInstallState(data);
        }
        return ERROR_SUCCESS;
    });
}

ZELK_EXPORT UINT WINAPI CA_UninstallLanDriver(MSIHANDLE) {
    return RunGuarded(kNeverFails, []() -> UINT {
        zelk::RemoveRootDevices(zelk::kLanDeviceId);
        return ERROR_SUCCESS;
    });
}

ZELK_EXPORT UINT WINAPI CA_InstallCertificate(MSIHANDLE session) {
    return RunGuarded(kNeverFails, [&]() -> UINT {
        std::string data;
        if (ReadActionData(session, data)) {
            zelk::InstallCertificate(data);
        }
        return ERROR_SUCCESS;
    });
}

ZELK_EXPORT UINT WINAPI CA_UninstallOldZuraOem(MSIHANDLE) {
    return RunGuarded(kReportsFailure, []() -> UINT { return zelk::UninstallOldOemPackage(); });
}

ZELK_EXPORT UINT WINAPI CA_InstallNonePnPDriver(MSIHANDLE session) {
    return RunGuarded(kReportsFailure,
                      [&]() -> UINT { return zelk::InstallNonePnPDriver(session); });
}

ZELK_EXPORT UINT WINAPI CA_UninstallNonePnPDriver(MSIHANDLE session) {
    return RunGuarded(kReportsFailure, [&]() -> UINT {
        std::string data;
        if (!ReadActionData(session, data)) {
            return ERROR_INVALID_DATA;
        }
        return zelk::UninstallNonePnPDriver(data);
    });
}

ZELK_EXPORT UINT WINAPI CA_CheckAndSetRebootStatus(MSIHANDLE session) {
    return RunGuarded(kNeverFails, [&]() -> UINT {
        std::string data;
        if (ReadActionData(session, data)) {
            zelk::CheckAndSetRebootStatus(session, data);
        }
        return ERROR_SUCCESS;
    });
}
