// Starting a program and waiting for it.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

// Starts `program` (as the application name, not searched for along the path) with
// `commandLine` exactly as given, waits up to `timeoutMs` and returns 0, or the system's error
// when the program could not be started (13 for an empty program name). The program's own
// exit code is not read.
UINT RunProcessAndWait(const std::string& program, const std::string& commandLine, DWORD timeoutMs,
                       bool hideWindow);

}  // namespace zelk
