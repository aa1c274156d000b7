// The error of a platform call that has just failed.
#pragma once

#include "platform/win32.h"

namespace zelk {

// GetLastError() of the call that failed. A failure is never reported as success, even should
// the system leave no error behind: that case reads as ERROR_GEN_FAILURE.
inline DWORD FailureCode() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

}  // namespace zelk
