// CA_InstallDriver's work: cut CustomActionData at "@" and install the named package.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

// `data` is the non-empty CustomActionData. Returns 0, or 13 for a malformed value.
UINT RunInstallDriver(MSIHANDLE session, const std::string& data);

}  // namespace zelk
