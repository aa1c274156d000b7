#include "rootdev/root_devices.h"

namespace zelk {

void RemoveRootDevices(const std::string&) {}

}  // namespace zelk
