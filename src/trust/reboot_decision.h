// Forcing a restart when a recorded install state asks for one.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

void CheckAndSetRebootStatus(MSIHANDLE session, const std::string& keyPath);

}  // namespace zelk
