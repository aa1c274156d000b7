// Removal of the root-enumerated virtual and LAN devices with their services.
#pragma once

#include <string>

namespace zelk {

constexpr const char* kVirtualDeviceId = "ROOT\\ZELK_VIRTUAL";
constexpr const char* kLanDeviceId = "ROOT\\ZELK_LAN";

// Removes every device, present or not, that carries `hardwareId`, and its service.
void RemoveRootDevices(const std::string& hardwareId);

}  // namespace zelk
