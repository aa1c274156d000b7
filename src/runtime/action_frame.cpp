#include "runtime/action_frame.h"

#include "runtime/session.h"

namespace zelk {

bool ReadActionData(MSIHANDLE session, std::string& data) {
    return GetSessionProperty(session, "CustomActionData", data) && data != "0";
}

}  // namespace zelk
