// setupapi, cfgmgr32 and newdev over a simulated device tree and driver store.
#include "machine.h"

namespace winsim::detail {
void ResetDevices() {}
}  // namespace winsim::detail
