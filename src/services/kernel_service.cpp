#include "services/kernel_service.h"

namespace zelk {

UINT InstallNonePnPDriver(MSIHANDLE) {
    return ERROR_INVALID_DATA;
}

UINT UninstallNonePnPDriver(const std::string&) {
    return ERROR_SUCCESS;
}

}  // namespace zelk
