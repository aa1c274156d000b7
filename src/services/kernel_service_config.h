// What CreateServiceA is told about a kernel driver service.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

// Fields in the order CreateServiceA takes them; the defaults are those of a fresh record,
// before the install action fills it in.
struct KernelServiceConfig {
    std::string serviceName;
    std::string displayName;  // passed as "", never as a null pointer
    DWORD desiredAccess = SERVICE_ALL_ACCESS;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_AUTO_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::string binaryPath;
    std::string loadOrderGroup;
};

}  // namespace zelk
