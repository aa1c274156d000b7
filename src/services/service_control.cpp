#include "services/service_control.h"

#include "runtime/handles.h"

namespace zelk {
namespace {

ServiceHandle OpenLocalManager() {
    return ServiceHandle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

}  // namespace

UINT CreateKernelService(KernelServiceConfig config) {
    ServiceHandle manager = OpenLocalManager();
    if (!manager) {
        const DWORD error = GetLastError();
        return error;
    }
    ServiceHandle service(CreateServiceA(
        manager.get(), config.serviceName.c_str(), config.displayName.c_str(), config.desiredAccess,
        config.serviceType, config.startType, config.errorControl, config.binaryPath.c_str(),
        config.loadOrderGroup.c_str(), nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        return error;
    }
    return ERROR_SUCCESS;
}

UINT StartKernelService(const std::string& serviceName) {
    ServiceHandle manager = OpenLocalManager();
    if (!manager) {
        const DWORD error = GetLastError();
        return error;
    }
    ServiceHandle service(OpenServiceA(manager.get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = GetLastError();
        return error;
    }
    if (!StartServiceA(service.get(), 0, nullptr)) {
        const DWORD error = GetLastError();
        return error;
    }
    return ERROR_SUCCESS;
}

UINT StopKernelService(const std::string& serviceName) {
    ServiceHandle manager = OpenLocalManager();
    if (!manager) {
        const DWORD error = GetLastError();
        return error;
    }
    ServiceHandle service(OpenServiceA(manager.get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = GetLastError();
        return error;
    }
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = GetLastError();
        return error;
    }
    return ERROR_SUCCESS;
}

UINT DeleteKernelService(const std::string& serviceName) {
    ServiceHandle manager = OpenLocalManager();
    if (!manager) {
        const DWORD error = GetLastError();
        return error;
    }
    // Deleting needs no other right; asking for more could be refused where DELETE is granted.
    ServiceHandle service(OpenServiceA(manager.get(), serviceName.c_str(), DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        return error;
    }
    if (!DeleteService(service.get())) {
        const DWORD error = GetLastError();
        return error;
    }
    return ERROR_SUCCESS;
}

}  // namespace zelk
