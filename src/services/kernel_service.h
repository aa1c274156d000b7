// Kernel driver services that plug and play does not load.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

// CA_InstallNonePnPDriver: registers and starts the driver named by CustomActionData.
UINT InstallNonePnPDriver(MSIHANDLE session);

// CA_UninstallNonePnPDriver: stops and deletes the named service.
UINT UninstallNonePnPDriver(const std::string& serviceName);

}  // namespace zelk
