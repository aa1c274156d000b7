#include "pnp/install_engine.h"

#include "pnp/device_update.h"
#include "pnp/driver_package_table.h"
#include "pnp/driver_store_staging.h"
#include "pnp/root_device_creation.h"
#include "runtime/ansi_text.h"
#include "runtime/paths.h"

#include <vector>

namespace zelk {
namespace {

constexpr DWORD kPendingInstallsTimedOut = WAIT_TIMEOUT;

void MarkAbsentDevices(const std::vector<std::string>& hardwareIds) {
    for (const std::string& hardwareId : hardwareIds) {
        MarkAbsentDevicesForReinstall(hardwareId);
    }
}

// A freshly created root device gets its driver at once; one that existed is left alone.
int InstallRootPackage(const std::string& infPath, const std::string& deviceId, char* messageBuffer,
                       size_t messageBufferSize) {
    const int created = CreateRootDevice(infPath, deviceId, messageBuffer, messageBufferSize);
    if (created != kRootDeviceCreated) {
        return created;
    }
    DeviceUpdateFlags flags;
    if (UpdateDriverForHardwareId(infPath, deviceId, &flags)) {
        return flags.restartNeeded ? kInstallUpdatedRestart : kInstallUpdated;
    }
    return created;
}

}  // namespace

int InstallDriverPackage(const std::string& infPath, char* messageBuffer,
                         size_t messageBufferSize) {
    if (infPath.empty() || !PathExists(infPath)) {
        return kInstallInfMissing;
    }
    const std::string packageName = ToLowerAnsi(FileNameOfPath(infPath));
    if (CMP_WaitNoPendingInstallEvents(kPendingInstallTimeoutMs) == kPendingInstallsTimedOut) {
        return kInstallPendingTimeout;
    }
    const std::vector<std::string> hardwareIds = HardwareIdsOfPackage(packageName);

    // The flags are shared by all IDs: each update only raises them, and only a successful one
    // asks for a restart.
    bool updated = false;
    DeviceUpdateFlags flags;
    for (const std::string& hardwareId : hardwareIds) {
        updated = UpdateDriverForHardwareId(infPath, hardwareId, &flags) || updated;
    }
    if (updated) {
        if (!IsRootPackage(packageName)) {
            MarkAbsentDevices(hardwareIds);
        }
        return flags.restartNeeded ? kInstallUpdatedRestart : kInstallUpdated;
    }

    if (packageName == kVirtualPackageName) {
        return InstallRootPackage(infPath, kVirtualRootDeviceId, messageBuffer, messageBufferSize);
    }
    if (packageName == kLanPackageName) {
        return InstallRootPackage(infPath, kLanRootDeviceId, messageBuffer, messageBufferSize);
    }
    const int staged = StageDriverPackage(infPath, messageBuffer, messageBufferSize);
    if (staged == kStaged) {
        MarkAbsentDevices(hardwareIds);
    }
    return staged;
}

}  // namespace zelk
