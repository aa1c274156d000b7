// Forcing a restart when a recorded install state asks for one.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

// Sets REBOOT to "Force" when a REG_DWORD value of 3 (a driver package that needs a restart)
// sits directly under `keyPath` below HKEY_LOCAL_MACHINE. The path must end with a backslash;
// any failure leaves REBOOT as it was.
void CheckAndSetRebootStatus(MSIHANDLE session, const std::string& keyPath);

}  // namespace zelk
