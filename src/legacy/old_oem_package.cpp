#include "legacy/old_oem_package.h"

namespace zelk {

UINT UninstallOldOemPackage() {
    return ERROR_FILE_NOT_FOUND;
}

}  // namespace zelk
