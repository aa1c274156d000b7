#include "pnp/install_engine.h"

#include "pnp/device_update.h"
#include "pnp/driver_package_table.h"
#include "pnp/driver_store_staging.h"
#include "pnp/root_device.h"
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
    int restart = 0;
    int present = 0;
    if (UpdateDriverForHardwareId(infPath, deviceId, &restart, &present)) {
        return restart != 0 ? kInstallUpdatedRestart : kInstallUpdated;
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
    // asks for a restart. Whether a device is present decides nothing here.
    bool updated = false;
    int restart = 0;
    int present = 0;
    for (const std::string& hardwareId : hardwareIds) {
        updated = UpdateDriverForHardwareId(infPath, hardwareId, &restart, &present) || updated;
    }
    if (updated) {
        if (!IsRootPackage(packageName)) {
            MarkAbsentDevices(hardwareIds);
        }
        return restart != 0 ? kInstallUpdatedRestart : kInstallUpdated;
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
