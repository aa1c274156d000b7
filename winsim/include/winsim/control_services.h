// Test-side control of the simulated service database.
#pragma once

#include <winsim/types.h>

#include <optional>
#include <string>
#include <vector>

namespace winsim {

// One service as the database holds it.
struct Service {
    std::string name;
    std::string displayName;
    DWORD serviceType = SERVICE_KERNEL_DRIVER;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::string binaryPath;
    std::string loadOrderGroup;
    DWORD state = SERVICE_STOPPED;  // SERVICE_STOPPED, SERVICE_RUNNING or SERVICE_STOP_PENDING
    bool markedForDelete = false;
};

// Adds a service, or replaces the one of that name.
void AddService(const Service& service);

// The service of that name (compared without regard to case), if the database holds it.
std::optional<Service> FindService(const std::string& name);
std::vector<std::string> ServiceNames();

// Scripts a driver by service name, whether its service exists yet or not.
// StartServiceA fails with `error` (0: the driver loads again).
void SetDriverLoadError(const std::string& name, DWORD error);
// An accepted stop request leaves the service stop pending instead of stopped.
void SetStopPending(const std::string& name, bool pending = true);
// A stop-pending driver has unloaded: the service is stopped, and goes away if it was marked
// for deletion and no handle to it is open.
void FinishStop(const std::string& name);

}  // namespace winsim
