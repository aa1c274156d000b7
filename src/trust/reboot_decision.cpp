#include "trust/reboot_decision.h"

namespace zelk {

void CheckAndSetRebootStatus(MSIHANDLE, const std::string&) {}

}  // namespace zelk
