// The device tree as SetupAPI shows it: which devices carry a hardware ID, under which
// instance and service. Test code only; it also clears the tree for a test's starting point.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "support/machine_probe.h"

namespace zelk::wine {

struct DeviceEntry {
    std::string instanceId;  // e.g. "ROOT\CAN-HARDWARE\0000"
    std::string service;     // SPDRP_SERVICE, "" when the device has none
};

constexpr const char* kEnumKey = "SYSTEM\\CurrentControlSet\\Enum\\";

namespace detail {

class DeviceSet {
  public:
    // Every device the system knows, present or not.
    DeviceSet() : set_(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES)) {}

    HDEVINFO get() const { return set_.get(); }

    bool Next(DWORD index, SP_DEVINFO_DATA& device) const {
        device = {};
        device.cbSize = sizeof(device);
        return set_.valid() && SetupDiEnumDeviceInfo(set_.get(), index, &device);
    }

  private:
    zelk::DeviceList set_;
};

inline std::string ReadDeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    char value[2048] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(value), sizeof(value) - 2,
                                           nullptr)) {
        return "";
    }
    return std::string(value, sizeof(value));  // a multi-string keeps its inner NULs
}

inline bool ListHolds(const std::string& multiString, const std::string& hardwareId) {
    for (const char* id = multiString.c_str(); *id != '\0'; id += lstrlenA(id) + 1) {
        if (lstrcmpiA(id, hardwareId.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace detail

// The devices whose hardware-ID list holds `hardwareId` (without regard to case), in order.
inline std::vector<DeviceEntry> DevicesCarrying(const std::string& hardwareId) {
    std::vector<DeviceEntry> devices;
    const detail::DeviceSet set;
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; set.Next(index, device); ++index) {
        if (!detail::ListHolds(detail::ReadDeviceText(set.get(), device, SPDRP_HARDWAREID),
                               hardwareId)) {
            continue;
        }
        char instanceId[MAX_DEVICE_ID_LEN] = {};
        SetupDiGetDeviceInstanceIdA(set.get(), &device, instanceId, MAX_DEVICE_ID_LEN, nullptr);
        devices.push_back(
            {instanceId, detail::ReadDeviceText(set.get(), device, SPDRP_SERVICE).c_str()});
    }
    return devices;
}

// Registers a root-enumerated device of the INF's setup class carrying `hardwareId`, with no
// driver yet, as an installer does before it installs one. True when it was registered.
inline bool RegisterRootDevice(const std::string& infPath, const std::string& hardwareId) {
    GUID classGuid = {};
    char className[MAX_CLASS_NAME_LEN] = {};
    if (!SetupDiGetINFClassA(infPath.c_str(), &classGuid, className, MAX_CLASS_NAME_LEN, nullptr)) {
        return false;
    }
    const zelk::DeviceList list(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    const HDEVINFO set = list.get();
    if (!list.valid()) {
        return false;
    }
    const std::string ids = hardwareId + '\0';  // a multi-string: one ID and the closing NUL
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    const bool registered =
        SetupDiCreateDeviceInfoA(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                 &device) &&
        SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                          reinterpret_cast<const BYTE*>(ids.c_str()),
                                          static_cast<DWORD>(ids.size() + 1)) &&
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    return registered;
}

inline bool DeleteServiceNamed(const std::string& name) {
    const detail::Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const detail::Service service(manager ? OpenServiceA(manager.get(), name.c_str(), DELETE)
                                          : nullptr);
    return service && DeleteService(service.get());
}

// A starting point without the device: removes every device carrying `hardwareId` and the
// service `service`. True when neither is left.
inline bool RemoveDevicesAndService(const std::string& hardwareId, const std::string& service) {
    {
        const detail::DeviceSet set;
        SP_DEVINFO_DATA device;
        for (DWORD index = 0; set.Next(index, device); ++index) {
            if (detail::ListHolds(detail::ReadDeviceText(set.get(), device, SPDRP_HARDWAREID),
                                  hardwareId)) {
                SetupDiRemoveDevice(set.get(), &device);
            }
        }
    }
    DeleteServiceNamed(service);
    return DevicesCarrying(hardwareId).empty() && !ServiceExists(service);
}

}  // namespace zelk::wine
