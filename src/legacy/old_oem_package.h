// Removal of the maker's older OEM driver package through its own uninstaller.
#pragma once

#include "platform/win32.h"

namespace zelk {

UINT UninstallOldOemPackage();

}  // namespace zelk
