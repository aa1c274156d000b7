#include "rootdev/root_device_removal.h"

#include "platform/win32.h"
#include "runtime/handles.h"
#include "runtime/multi_string.h"

namespace zelk {
namespace {

constexpr DWORD kHardwareIdBufferSize = 1024;
constexpr DWORD kServiceBufferSize = 256;
// STANDARD_RIGHTS_REQUIRED with query, change, status, dependents, start and stop: enough to
// delete the service, short of SERVICE_ALL_ACCESS.
constexpr DWORD kServiceAccess = STANDARD_RIGHTS_REQUIRED | SERVICE_QUERY_CONFIG |
                                 SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS |
                                 SERVICE_ENUMERATE_DEPENDENTS | SERVICE_START | SERVICE_STOP;
static_assert(kServiceAccess == 0xF003F, "service access mask");

// True when one string of the device's hardware-ID list equals `hardwareId` as a whole.
bool CarriesHardwareId(HDEVINFO list, SP_DEVINFO_DATA& device, const std::string& hardwareId) {
    char ids[kHardwareIdBufferSize];
    ids[0] = '\0';
    DWORD type = 0;
    DWORD size = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, &type,
                                           reinterpret_cast<BYTE*>(ids), sizeof(ids), &size) ||
        size <= 1) {
        return false;
    }
    const size_t readable = size < sizeof(ids) ? size : sizeof(ids);
    return FindInMultiString(ids, readable, hardwareId).has_value();
}

// The service the device's driver runs under, read while the device still exists.
std::string ReadDeviceService(HDEVINFO list, SP_DEVINFO_DATA& device) {
    char service[kServiceBufferSize];
    service[0] = '\0';
    DWORD type = 0;
    SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_SERVICE, &type,
                                      reinterpret_cast<BYTE*>(service), kServiceBufferSize - 1,
                                      nullptr);
    service[kServiceBufferSize - 1] = '\0';
    return service;
}

}  // namespace

void RemoveRootDevices(const std::string& hardwareId) {
    // Without DIGCF_PRESENT, so that phantoms of earlier installations go as well.
    DeviceList devices(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!devices.valid()) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        if (!CarriesHardwareId(devices.get(), device, hardwareId)) {
            continue;
        }
        const std::string service = ReadDeviceService(devices.get(), device);
        if (SetupDiRemoveDevice(devices.get(), &device) && !service.empty()) {
            DeleteDeviceService(service);
        }
    }
}

bool DeleteDeviceService(const std::string& serviceName) {
    ServiceHandle manager(
        OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return false;
    }
    ServiceHandle service(OpenServiceA(manager.get(), serviceName.c_str(), kServiceAccess));
    return service && DeleteService(service.get());
}

}  // namespace zelk
