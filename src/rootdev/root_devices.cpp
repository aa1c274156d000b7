#include "rootdev/root_devices.h"

namespace zelk {

void RemoveRootDevices(const std::string&) {}

bool DeleteDeviceService(const std::string&) { return false; }

}  // namespace zelk
