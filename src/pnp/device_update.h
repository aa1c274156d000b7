// Moving present devices onto a package's driver, and marking absent ones for reinstall.
#pragma once

#include <string>
#include <vector>

namespace zelk {

// Appends, for each present device that carries `hardwareId` (without regard to case), the
// device's own text of it; true when something was appended.
bool FindPresentDeviceHardwareIds(const std::string& hardwareId, std::vector<std::string>& targets);

// Installs the package on the present devices that carry `hardwareId`; true when at least one
// update succeeded. Each flag is optional (null: not reported) and is only ever raised to 1,
// so that flags shared across IDs collect the union: `restartFlag` when a successful update
// asked for a restart, `presentFlag` when a matching device exists (updated, or already on a
// driver as good as the package's).
bool UpdateDriverForHardwareId(const std::string& infPath, const std::string& hardwareId,
                               int* restartFlag, int* presentFlag);

// Sets CONFIGFLAG_REINSTALL on every absent device whose first hardware ID is `hardwareId`, so
// that the system installs it afresh when it returns; true when a device was flagged.
bool MarkAbsentDevicesForReinstall(const std::string& hardwareId);

}  // namespace zelk
