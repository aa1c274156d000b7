// Removal of the root-enumerated virtual and LAN devices with their services.
#pragma once

#include <string>

namespace zelk {

constexpr const char* kVirtualDeviceId = "ROOT\\ZELK_VIRTUAL";
constexpr const char* kLanDeviceId = "ROOT\\ZELK_LAN";

// Removes every device, present or not, that carries `hardwareId` anywhere in its hardware-ID
// list (whole string, without regard to case), and deletes the service each removed device
// named. Failures along the way skip that device or service; nothing is reported.
void RemoveRootDevices(const std::string& hardwareId);

// Deletes one service without stopping it first; true when DeleteService succeeded.
bool DeleteDeviceService(const std::string& serviceName);

}  // namespace zelk
