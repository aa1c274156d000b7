// Removal of the maker's older OEM driver package through its own uninstaller.
#pragma once

#include "platform/win32.h"

namespace zelk {

// Runs the uninstaller named by the old package's uninstall entry (English name first, then
// German) and waits for it. 0 once it has run; otherwise the registry's or the process
// start's error, or ERROR_INVALID_DATA for an unusable uninstall string.
UINT UninstallOldOemPackage();

}  // namespace zelk
