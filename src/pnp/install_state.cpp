#include "pnp/install_state.h"

namespace zelk {

void ClearInstallState(const std::string&) {}

}  // namespace zelk
