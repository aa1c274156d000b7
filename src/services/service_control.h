// One request to the service control manager each. Every operation opens the manager afresh
// and answers 0 or the error of the call that failed, taken before any handle is closed.
#pragma once

#include "platform/win32.h"
#include "services/kernel_service_config.h"

#include <string>

namespace zelk {

// Registers the service; the new service handle is closed at once. The record is the call's
// own copy: nothing of the caller's outlives or changes with it.
UINT CreateKernelService(KernelServiceConfig config);

// Starts the service without arguments; does not wait for it to run.
UINT StartKernelService(const std::string& serviceName);

// Asks the service to stop; an accepted request is success, whatever state follows.
UINT StopKernelService(const std::string& serviceName);

// Deletes the service, or marks it for deletion while its driver is still unloading.
UINT DeleteKernelService(const std::string& serviceName);

}  // namespace zelk
