#include "services/service_control.h"

#include "runtime/handles.h"
#include "runtime/last_error.h"

namespace zelk {
namespace {

ServiceHandle OpenLocalManager() {
    return ServiceHandle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

// The local manager and one service in it. Members close in reverse order: the service
// first, then the manager.
struct OpenedService {
    ServiceHandle manager;
    ServiceHandle service;
    DWORD error = ERROR_SUCCESS;  // of the open that failed, taken before anything is closed

    bool isOpen() const { return manager && service; }
};

OpenedService OpenLocalService(const std::string& serviceName, DWORD access) {
    OpenedService opened;
    opened.manager = OpenLocalManager();
    if (!opened.manager) {
        opened.error = FailureCode();
        return opened;
    }
    opened.service = ServiceHandle(OpenServiceA(opened.manager.get(), serviceName.c_str(), access));
    if (!opened.service) {
        opened.error = FailureCode();
    }
    return opened;
}

}  // namespace

// Each failure returns its code directly: the return value is taken before the handle owners
// close anything.
// The record is taken by value: the call works on its own copy, as the caller's stays its own.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
UINT CreateKernelService(KernelServiceConfig config) {
    ServiceHandle manager = OpenLocalManager();
    if (!manager) {
        return FailureCode();
    }
    ServiceHandle service(CreateServiceA(
        manager.get(), config.serviceName.c_str(), config.displayName.c_str(), config.desiredAccess,
        config.serviceType, config.startType, config.errorControl, config.binaryPath.c_str(),
        config.loadOrderGroup.c_str(), nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        return FailureCode();
    }
    return ERROR_SUCCESS;
}

UINT StartKernelService(const std::string& serviceName) {
    OpenedService opened = OpenLocalService(serviceName, SERVICE_ALL_ACCESS);
    if (!opened.isOpen()) {
        return opened.error;
    }
    if (!StartServiceA(opened.service.get(), 0, nullptr)) {
        return FailureCode();
    }
    return ERROR_SUCCESS;
}

UINT StopKernelService(const std::string& serviceName) {
    OpenedService opened = OpenLocalService(serviceName, SERVICE_ALL_ACCESS);
    if (!opened.isOpen()) {
        return opened.error;
    }
    SERVICE_STATUS status{};
    if (!ControlService(opened.service.get(), SERVICE_CONTROL_STOP, &status)) {
        return FailureCode();
    }
    return ERROR_SUCCESS;
}

UINT DeleteKernelService(const std::string& serviceName) {
    // Deleting needs no other right; asking for more could be refused where DELETE is granted.
    OpenedService opened = OpenLocalService(serviceName, DELETE);
    if (!opened.isOpen()) {
        return opened.error;
    }
    if (!DeleteService(opened.service.get())) {
        return FailureCode();
    }
    return ERROR_SUCCESS;
}

}  // namespace zelk
