// Test-side control of the simulated device tree and driver store.
#pragma once

#include <winsim/types.h>

namespace winsim {}  // namespace winsim
