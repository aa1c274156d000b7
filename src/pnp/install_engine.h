// The installation engine: one driver package, given the full path of its INF file.
#pragma once

#include "platform/win32.h"
#include "pnp/driver_store_staging.h"
#include "pnp/root_device.h"

#include <cstddef>
#include <string>

namespace zelk {

// Both callers hand the engine a buffer of this size, holding "" on entry.
constexpr size_t kMessageBufferSize = 540;

constexpr DWORD kPendingInstallTimeoutMs = 10000;

// Results of InstallDriverPackage beyond those it passes on from staging (kStaged,
// kAlreadyStaged, kStagingFailed) and root-device creation (kRootDeviceExisted,
// kRootDeviceCreated, kRootDeviceFailed).
constexpr int kInstallInfMissing = -3;
constexpr int kInstallPendingTimeout = -2;
constexpr int kInstallUpdated = 2;
constexpr int kInstallUpdatedRestart = 3;

// Moves present devices onto the package; failing that, stages it or creates its root device.
// Only kStagingFailed and kRootDeviceFailed write a message into the buffer.
int InstallDriverPackage(const std::string& infPath, char* messageBuffer, size_t messageBufferSize);

}  // namespace zelk
