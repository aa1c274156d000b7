// Test-side control of the simulated service database.
#pragma once

#include <winsim/types.h>

namespace winsim {}  // namespace winsim
