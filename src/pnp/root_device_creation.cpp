#include "pnp/root_device_creation.h"

#include "platform/win32.h"
#include "pnp/driver_package_table.h"
#include "pnp/driver_store_staging.h"
#include "runtime/format_text.h"
#include "runtime/handles.h"
#include "runtime/registry_key.h"

namespace zelk {
namespace {

constexpr const char* kRootPrefix = "ROOT\\";
constexpr size_t kRootPrefixLength = 5;
// The instances of devices whose INF declares the setup class CAN-HARDWARE.
constexpr const char* kRootInstancesKey = "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\CAN-HARDWARE";
constexpr DWORD kSubKeyNameSize = MAX_PATH;
constexpr DWORD kServiceValueSize = MAX_PATH;
constexpr size_t kHardwareIdBufferSize = MAX_PATH;
constexpr size_t kMaxHardwareIdLength = 255;

bool IsRootService(const std::string& service) {
    return service == kVirtualServiceName || service == kLanServiceName;
}

// A "Service" value counts only as a string that fits the buffer with its terminator. The two
// texts cannot be swapped unnoticed: a service name opens no instance key.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool InstanceRunsService(const std::string& instancePath, const std::string& service) {
    RegistryKey instance;
    if (instance.Open(HKEY_LOCAL_MACHINE, instancePath, KEY_READ) != ERROR_SUCCESS) {
        return false;
    }
    BYTE value[kServiceValueSize] = {};
    DWORD type = REG_NONE;
    DWORD size = kServiceValueSize;
    if (RegQueryValueExA(instance.get(), "Service", nullptr, &type, value, &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size == 0 || value[size - 1] != '\0') {
        return false;
    }
    return service == reinterpret_cast<const char*>(value);
}

// Every creation step's message ends with the thread's last error as a signed number.
int FailCreation(char* messageBuffer, size_t messageBufferSize, const char* what) {
    const auto error = static_cast<int>(GetLastError());
    FormatText(messageBuffer, messageBufferSize, "%s. Error %d", what, error);
    return kRootDeviceFailed;
}

}  // namespace

int RootDeviceExists(const std::string& deviceId) {
    if (deviceId.find(kRootPrefix) == std::string::npos) {
        return kNotARootDeviceId;
    }
    const std::string service = deviceId.substr(kRootPrefixLength);
    if (!IsRootService(service)) {
        return kUnknownRootService;
    }
    RegistryKey instances;
    if (instances.Open(HKEY_LOCAL_MACHINE, kRootInstancesKey, KEY_READ) != ERROR_SUCCESS) {
        return kRootDeviceNotFound;
    }
    for (DWORD index = 0;; ++index) {
        char name[kSubKeyNameSize] = {};
        DWORD nameLength = kSubKeyNameSize;
        FILETIME lastWrite{};
        if (RegEnumKeyExA(instances.get(), index, name, &nameLength, nullptr, nullptr, nullptr,
                          &lastWrite) != ERROR_SUCCESS) {
            return kRootDeviceNotFound;
        }
        if (InstanceRunsService(std::string(kRootInstancesKey) + "\\" + name, service)) {
            return kRootDeviceFound;
        }
    }
}

// An INF path and a device ID cannot be mistaken for each other unnoticed: a device ID names
// no file, and a path is no root device ID.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
int CreateRootDevice(const std::string& infPath, const std::string& deviceId, char* messageBuffer,
                     size_t messageBufferSize) {
    if (RootDeviceExists(deviceId) == kRootDeviceFound) {
        return kRootDeviceExisted;
    }
    if (!CheckPackageFiles(infPath, messageBuffer, messageBufferSize)) {
        return kRootDeviceFailed;
    }
    GUID classGuid{};
    char className[MAX_CLASS_NAME_LEN] = {};
    if (!SetupDiGetINFClassA(infPath.c_str(), &classGuid, className, MAX_CLASS_NAME_LEN, nullptr)) {
        const auto error = static_cast<int>(GetLastError());
        FormatText(messageBuffer, messageBufferSize,
                   "Class-GUID could not be extracted from %s. Error %d", infPath.c_str(), error);
        return kRootDeviceFailed;
    }
    DeviceList devices(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!devices.valid()) {
        return FailCreation(messageBuffer, messageBufferSize,
                            "An empty device information set could not be created");
    }
    // The property is a multi-string: the ID, its terminator and the list's closing NUL.
    BYTE hardwareIds[kHardwareIdBufferSize] = {};
    if (deviceId.size() > kMaxHardwareIdLength) {
        return FailCreation(messageBuffer, messageBufferSize,
                            "An error occurred while copying an array");
    }
    deviceId.copy(reinterpret_cast<char*>(hardwareIds), deviceId.size());
    const auto hardwareIdsSize = static_cast<DWORD>(deviceId.size() + 2);

    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (SetupDiCreateDeviceInfoA(devices.get(), className, &classGuid, nullptr, nullptr,
                                 DICD_GENERATE_ID, &device) &&
        SetupDiSetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID, hardwareIds,
                                          hardwareIdsSize) &&
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices.get(), &device)) {
        return kRootDeviceCreated;
    }
    return FailCreation(messageBuffer, messageBufferSize,
                        "It was not possible to create and install the new device");
}

}  // namespace zelk
