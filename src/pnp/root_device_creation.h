// The root-enumerated devices of the virtual and the LAN package.
#pragma once

#include <cstddef>
#include <string>

namespace zelk {

// Results of RootDeviceExists.
constexpr int kRootDeviceFound = 1;
constexpr int kRootDeviceNotFound = 0;
constexpr int kNotARootDeviceId = -1;
constexpr int kUnknownRootService = -2;

// Results of CreateRootDevice.
constexpr int kRootDeviceExisted = 1;
constexpr int kRootDeviceCreated = 0;
constexpr int kRootDeviceFailed = -1;

// Whether an instance of the device is registered, judged by the "Service" value of the
// instances below Enum\ROOT\CAN-HARDWARE.
int RootDeviceExists(const std::string& deviceId);

// Creates and registers the device with `deviceId` as its hardware ID, unless it exists. On
// kRootDeviceFailed the buffer holds the message; otherwise it is left as it was.
int CreateRootDevice(const std::string& infPath, const std::string& deviceId, char* messageBuffer,
                     size_t messageBufferSize);

}  // namespace zelk
