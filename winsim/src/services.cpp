// The service control manager over a simulated service database. Service names compare without
// regard to case. A service marked for deletion stays in the database until it is stopped and
// no handle to it is open, as on Windows.
#include "core.h"

#include <map>
#include <memory>

namespace winsim {
namespace {

constexpr size_t kMaxServiceNameLength = 256;
constexpr DWORD kDatabaseDoesNotExist = 1065;  // ERROR_DATABASE_DOES_NOT_EXIST

struct ServiceHandle {
    bool manager = false;
    DWORD access = 0;
    std::string service;  // upper-cased name, for a service handle
};

struct DriverScript {
    DWORD loadError = 0;
    bool stopPending = false;
};

struct ServiceDatabase {
    std::map<std::string, Service> services;      // keyed by upper-cased name
    std::map<std::string, DriverScript> scripts;  // keyed by upper-cased name
};

constexpr auto State = detail::AreaState<ServiceDatabase>;

SC_HANDLE NewHandle(ServiceHandle entry) {
    return detail::Open<SC_HANDLE>(HandleKind::ServiceHandle,
                                   std::make_shared<ServiceHandle>(std::move(entry)));
}

Service* Lookup(const std::string& key) {
    return detail::FindIn(State().services, key);
}

bool IsDriver(DWORD serviceType) {
    return (serviceType & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0;
}

bool IsValidName(LPCSTR name) {
    const std::string text = name ? name : "";
    return !text.empty() && text.size() <= kMaxServiceNameLength &&
           text.find_first_of("/\\") == std::string::npos;
}

// Removes a service whose deletion was asked for once nothing keeps it any more.
void RemoveIfUnused(const std::string& key) {
    Service* service = Lookup(key);
    if (service == nullptr || !service->markedForDelete || service->state != SERVICE_STOPPED) {
        return;
    }
    for (void* object : detail::OpenObjects(HandleKind::ServiceHandle)) {
        if (static_cast<ServiceHandle*>(object)->service == key) {
            return;
        }
    }
    State().services.erase(key);
}

// Resolves a manager handle, or with `service` a service handle, that must carry `needed`; 0 or
// the error the call reports.
DWORD Resolve(SC_HANDLE handle, DWORD needed, Service** service = nullptr) {
    const auto* open = detail::Get<ServiceHandle>(handle, HandleKind::ServiceHandle);
    if (open == nullptr || open->manager != (service == nullptr)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((open->access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    if (service != nullptr && (*service = Lookup(open->service)) == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

// What a filtered token may ask of the manager and of a service: connect, enumerate and query
// (GENERIC_READ maps onto them); everything that changes the database or a service is refused.
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kFilteredManagerRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                         SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL | kGenericRead;
constexpr DWORD kFilteredServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                         SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                         SERVICE_USER_DEFINED_CONTROL | READ_CONTROL | kGenericRead;

bool Denied(DWORD access, DWORD allowed) {
    return !detail::Elevated() && (access & ~allowed) != 0;
}

constexpr detail::ValueCall<SC_HANDLE> kHandleCall{nullptr};

}  // namespace

void AddService(const Service& service) {
    State().services[detail::Upper(service.name)] = service;
}

std::optional<Service> FindService(const std::string& name) {
    Service* service = Lookup(detail::Upper(name));
    return service ? std::optional<Service>(*service) : std::nullopt;
}

std::vector<std::string> ServiceNames() {
    return detail::Collect(State().services, [](const auto& entry) { return entry.second.name; });
}

void SetDriverLoadError(const std::string& name, DWORD error) {
    State().scripts[detail::Upper(name)].loadError = error;
}

void SetStopPending(const std::string& name, bool pending) {
    State().scripts[detail::Upper(name)].stopPending = pending;
}

void FinishStop(const std::string& name) {
    std::string key = detail::Upper(name);
    Service* service = Lookup(key);
    if (service != nullptr && service->state == SERVICE_STOP_PENDING) {
        service->state = SERVICE_STOPPED;
        RemoveIfUnused(key);
    }
}

}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess) {
    return Simulate(
        kHandleCall, "OpenSCManagerA", {Str(machineName), Str(databaseName), Num(desiredAccess)},
        [&]() -> Result<SC_HANDLE> {
            // "ServicesFailed" is a database name Windows knows but does not open; any other is no
            // name.
            if (databaseName != nullptr && !EqualNoCase(databaseName, SERVICES_ACTIVE_DATABASEA)) {
                return Error{EqualNoCase(databaseName, SERVICES_FAILED_DATABASEA)
                                 ? kDatabaseDoesNotExist
                                 : ERROR_INVALID_NAME};
            }
            if (Denied(desiredAccess, kFilteredManagerRights)) {
                return Error{ERROR_ACCESS_DENIED};
            }
            return NewHandle(ServiceHandle{true, desiredAccess, {}});
        });
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                                DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                                LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                                LPCSTR password) {
    return Simulate(
        kHandleCall, "CreateServiceA",
        {Handle(manager), Str(serviceName), Str(displayName), Num(desiredAccess), Num(serviceType),
         Num(startType), Num(errorControl), Str(binaryPathName), Str(loadOrderGroup), Ptr(tagId),
         Str(dependencies), Str(serviceStartName), Ptr(password)},
        [&]() -> Result<SC_HANDLE> {
            if (DWORD error = Resolve(manager, SC_MANAGER_CREATE_SERVICE); error != 0) {
                return Error{error};
            }
            if (!IsValidName(serviceName)) {
                return Error{ERROR_INVALID_NAME};
            }
            if (binaryPathName == nullptr) {
                return Error{ERROR_INVALID_PARAMETER};
            }
            std::string key = Upper(serviceName);
            if (Service* existing = Lookup(key)) {
                return Error{existing->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                       : ERROR_SERVICE_EXISTS};
            }
            State().services[key] = Service{serviceName,
                                            displayName ? displayName : serviceName,
                                            serviceType,
                                            startType,
                                            errorControl,
                                            binaryPathName,
                                            loadOrderGroup ? loadOrderGroup : ""};
            return NewHandle(ServiceHandle{false, desiredAccess, key});
        });
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess) {
    return Simulate(
        kHandleCall, "OpenServiceA", {Handle(manager), Str(serviceName), Num(desiredAccess)},
        [&]() -> Result<SC_HANDLE> {
            if (DWORD error = Resolve(manager, SC_MANAGER_CONNECT); error != ERROR_SUCCESS) {
                return Error{error};
            }
            if (serviceName == nullptr || *serviceName == '\0') {
                return Error{ERROR_INVALID_NAME};
            }
            std::string key = Upper(serviceName);
            if (Lookup(key) == nullptr) {
                return Error{ERROR_SERVICE_DOES_NOT_EXIST};
            }
            if (Denied(desiredAccess, kFilteredServiceRights)) {
                return Error{ERROR_ACCESS_DENIED};
            }
            return NewHandle(ServiceHandle{false, desiredAccess, key});
        });
}

BOOL WINAPI StartServiceA(SC_HANDLE serviceHandle, DWORD argumentCount, LPCSTR* arguments) {
    return Simulate(kBool, "StartServiceA",
                    {Handle(serviceHandle), Num(argumentCount), Ptr(arguments)}, [&]() -> DWORD {
                        Service* service = nullptr;
                        if (DWORD error = Resolve(serviceHandle, SERVICE_START, &service);
                            error != 0) {
                            return error;
                        }
                        // Deletion disables the service as well, so a marked service answers as a
                        // disabled one.
                        if (service->markedForDelete || service->startType == SERVICE_DISABLED) {
                            return ERROR_SERVICE_DISABLED;
                        }
                        if (service->state != SERVICE_STOPPED) {
                            return ERROR_SERVICE_ALREADY_RUNNING;
                        }
                        if (IsDriver(service->serviceType)) {
                            if (!FileExists(service->binaryPath)) {
                                return ERROR_FILE_NOT_FOUND;
                            }
                            if (DWORD loadError = State().scripts[Upper(service->name)].loadError;
                                loadError != 0) {
                                return loadError;
                            }
                        }
                        service->state = SERVICE_RUNNING;
                        return ERROR_SUCCESS;
                    });
}

BOOL WINAPI ControlService(SC_HANDLE serviceHandle, DWORD control, LPSERVICE_STATUS status) {
    return Simulate(kBool, "ControlService", {Handle(serviceHandle), Num(control), Ptr(status)},
                    [&]() -> DWORD {
                        // Only the stop request is modelled.
                        if (control != SERVICE_CONTROL_STOP || status == nullptr) {
                            return ERROR_INVALID_PARAMETER;
                        }
                        Service* service = nullptr;
                        if (DWORD error = Resolve(serviceHandle, SERVICE_STOP, &service);
                            error != 0) {
                            return error;
                        }
                        if (service->state == SERVICE_STOPPED) {
                            return ERROR_SERVICE_NOT_ACTIVE;
                        }
                        if (service->state == SERVICE_STOP_PENDING) {
                            return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
                        }
                        const bool pending = State().scripts[Upper(service->name)].stopPending;
                        service->state = pending ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
                        *status = SERVICE_STATUS{};
                        status->dwServiceType = service->serviceType;
                        status->dwCurrentState = service->state;
                        return ERROR_SUCCESS;
                    });
}

BOOL WINAPI DeleteService(SC_HANDLE serviceHandle) {
    return Simulate(kBool, "DeleteService", {Handle(serviceHandle)}, [&]() -> DWORD {
        Service* service = nullptr;
        if (DWORD error = Resolve(serviceHandle, DELETE, &service); error != 0) {
            return error;
        }
        if (service->markedForDelete) {
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        }
        service->markedForDelete = true;
        service->startType = SERVICE_DISABLED;
        return ERROR_SUCCESS;
    });
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
    // Windows does not promise to keep the last error across a successful call; clearing it
    // shows callers that read it only after closing their handles.
    return Simulate(kClearingBool, "CloseServiceHandle", {Handle(handle)}, [&]() -> DWORD {
        const auto* open = Get<ServiceHandle>(handle, HandleKind::ServiceHandle);
        if (open == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        const std::string key = open->service;
        ReleaseHandle(reinterpret_cast<uintptr_t>(handle), HandleKind::ServiceHandle);
        RemoveIfUnused(key);
        return ERROR_SUCCESS;
    });
}
