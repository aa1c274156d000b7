#include "services/kernel_service.h"

#include "runtime/action_frame.h"
#include "runtime/paths.h"
#include "services/kernel_service_config.h"
#include "services/service_control.h"

namespace zelk {
namespace {

constexpr char kDriversFolder[] = "\\drivers\\";
constexpr char kDriverExtension[] = ".sys";
constexpr char kLoadOrderGroup[] = "Extended Base";

}  // namespace

UINT InstallNonePnPDriver(MSIHANDLE session) {
    KernelServiceConfig config;
    const std::optional<std::string> systemDirectory = SystemDirectory();
    if (!systemDirectory) {
        return ERROR_INVALID_DATA;
    }
    config.binaryPath = *systemDirectory + kDriversFolder;

    std::string driverName;
    if (!ReadActionData(session, driverName)) {
        return ERROR_INVALID_DATA;
    }
    config.serviceType = SERVICE_KERNEL_DRIVER;
    config.serviceName = driverName;
    config.binaryPath += driverName + kDriverExtension;
    config.loadOrderGroup = kLoadOrderGroup;

    if (UINT status = CreateKernelService(config); status != ERROR_SUCCESS) {
        return status;
    }
    return StartKernelService(config.serviceName);
}

UINT UninstallNonePnPDriver(const std::string& serviceName) {
    // A service that will not stop is left registered rather than deleted under a live driver.
    if (UINT status = StopKernelService(serviceName); status != ERROR_SUCCESS) {
        return status;
    }
    return DeleteKernelService(serviceName);
}

}  // namespace zelk
