// Kernel driver services that plug and play does not load.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

// CA_InstallNonePnPDriver: registers the driver named by CustomActionData, whose image the
// package has already put into the system's drivers folder, and starts it. Reads the system
// directory before CustomActionData.
UINT InstallNonePnPDriver(MSIHANDLE session);

// CA_UninstallNonePnPDriver: stops the named service and, once the stop was accepted,
// deletes it.
UINT UninstallNonePnPDriver(const std::string& serviceName);

}  // namespace zelk
