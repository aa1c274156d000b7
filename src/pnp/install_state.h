// Install-state values: the recorded outcome of a package installation.
#pragma once

#include <string>

namespace zelk {

// Removes a state location ("K\V") or a whole state key ("K\").
void ClearInstallState(const std::string& data);

}  // namespace zelk
