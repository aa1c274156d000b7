// The service control manager over a simulated service database.
#include "machine.h"

namespace winsim::detail {
void ResetServices() {}
}  // namespace winsim::detail
