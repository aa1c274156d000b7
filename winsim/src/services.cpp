// The service control manager over a simulated service database. Service names compare without
// regard to case. A service marked for deletion stays in the database until it is stopped and
// no handle to it is open, as on Windows.
#include "machine.h"

#include <map>

namespace winsim {
namespace {

constexpr size_t kMaxServiceNameLength = 256;
constexpr DWORD kDatabaseDoesNotExist = 1065;  // ERROR_DATABASE_DOES_NOT_EXIST

struct OpenHandle {
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
    std::map<uintptr_t, OpenHandle> handles;
    uintptr_t nextHandle = 0x5C000;
};

ServiceDatabase& State() {
    static ServiceDatabase database;
    return database;
}

SC_HANDLE NewHandle(OpenHandle entry) {
    uintptr_t value = State().nextHandle++;
    State().handles[value] = std::move(entry);
    detail::CountOpen(HandleKind::ServiceHandle);
    return reinterpret_cast<SC_HANDLE>(value);
}

OpenHandle* FindHandle(SC_HANDLE handle) {
    auto found = State().handles.find(reinterpret_cast<uintptr_t>(handle));
    return found == State().handles.end() ? nullptr : &found->second;
}

Service* Lookup(const std::string& key) {
    auto found = State().services.find(key);
    return found == State().services.end() ? nullptr : &found->second;
}

bool IsDriver(DWORD serviceType) {
    return (serviceType & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER)) != 0;
}

bool IsValidName(LPCSTR name) {
    if (name == nullptr) {
        return false;
    }
    std::string text = name;
    return !text.empty() && text.size() <= kMaxServiceNameLength &&
           text.find_first_of("/\\") == std::string::npos;
}

// Removes a service whose deletion was asked for once nothing keeps it any more.
void RemoveIfUnused(const std::string& key) {
    Service* service = Lookup(key);
    if (service == nullptr || !service->markedForDelete || service->state != SERVICE_STOPPED) {
        return;
    }
    for (const auto& entry : State().handles) {
        if (!entry.second.manager && entry.second.service == key) {
            return;
        }
    }
    State().services.erase(key);
}

// Resolves a service handle that must carry `needed`; 0 or the error the call reports.
DWORD ResolveService(SC_HANDLE handle, DWORD needed, Service*& service) {
    OpenHandle* open = FindHandle(handle);
    if (open == nullptr || open->manager) {
        return ERROR_INVALID_HANDLE;
    }
    if ((open->access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    service = Lookup(open->service);
    return service ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_INVALID_HANDLE);
}

// Resolves a manager handle that must carry `needed`.
DWORD ResolveManager(SC_HANDLE handle, DWORD needed) {
    OpenHandle* open = FindHandle(handle);
    if (open == nullptr || !open->manager) {
        return ERROR_INVALID_HANDLE;
    }
    return (open->access & needed) == needed ? ERROR_SUCCESS
                                             : static_cast<DWORD>(ERROR_ACCESS_DENIED);
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

SC_HANDLE FailHandle(DWORD error) {
    SetLastError(error);
    return nullptr;
}

}  // namespace

void AddService(const Service& service) {
    State().services[detail::Upper(service.name)] = service;
}

std::optional<Service> FindService(const std::string& name) {
    Service* service = Lookup(detail::Upper(name));
    return service ? std::optional<Service>(*service) : std::nullopt;
}

std::vector<std::string> ServiceNames() {
    std::vector<std::string> names;
    for (const auto& entry : State().services) {
        names.push_back(entry.second.name);
    }
    return names;
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

namespace detail {
void ResetServices() {
    State() = ServiceDatabase{};
}
}  // namespace detail

}  // namespace winsim

using winsim::Num;
using winsim::Str;
using winsim::detail::Enter;
using winsim::detail::Fail;

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess) {
    using namespace winsim;
    auto failure =
        Enter("OpenSCManagerA", {Str(machineName), Str(databaseName), Num(desiredAccess)});
    if (failure) {
        return FailHandle(failure->error);
    }
    // "ServicesFailed" is a database name Windows knows but does not open; any other is no name.
    if (databaseName != nullptr && !detail::EqualNoCase(databaseName, SERVICES_ACTIVE_DATABASEA)) {
        return FailHandle(detail::EqualNoCase(databaseName, SERVICES_FAILED_DATABASEA)
                              ? kDatabaseDoesNotExist
                              : ERROR_INVALID_NAME);
    }
    if (Denied(desiredAccess, kFilteredManagerRights)) {
        return FailHandle(ERROR_ACCESS_DENIED);
    }
    return NewHandle(OpenHandle{true, desiredAccess, {}});
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                                DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                                LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                                LPCSTR password) {
    using namespace winsim;
    auto failure = Enter("CreateServiceA",
                         {detail::Handle(manager), Str(serviceName), Str(displayName),
                          Num(desiredAccess), Num(serviceType), Num(startType), Num(errorControl),
                          Str(binaryPathName), Str(loadOrderGroup), detail::Ptr(tagId),
                          Str(dependencies), Str(serviceStartName), detail::Ptr(password)});
    if (failure) {
        return FailHandle(failure->error);
    }
    if (DWORD error = ResolveManager(manager, SC_MANAGER_CREATE_SERVICE); error != ERROR_SUCCESS) {
        return FailHandle(error);
    }
    if (!IsValidName(serviceName)) {
        return FailHandle(ERROR_INVALID_NAME);
    }
    if (binaryPathName == nullptr) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    std::string key = detail::Upper(serviceName);
    if (Service* existing = Lookup(key)) {
        return FailHandle(existing->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                    : ERROR_SERVICE_EXISTS);
    }
    Service service;
    service.name = serviceName;
    service.displayName = displayName ? displayName : serviceName;
    service.serviceType = serviceType;
    service.startType = startType;
    service.errorControl = errorControl;
    service.binaryPath = binaryPathName;
    service.loadOrderGroup = loadOrderGroup ? loadOrderGroup : "";
    State().services[key] = service;
    return NewHandle(OpenHandle{false, desiredAccess, key});
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess) {
    using namespace winsim;
    auto failure =
        Enter("OpenServiceA", {detail::Handle(manager), Str(serviceName), Num(desiredAccess)});
    if (failure) {
        return FailHandle(failure->error);
    }
    if (DWORD error = ResolveManager(manager, SC_MANAGER_CONNECT); error != ERROR_SUCCESS) {
        return FailHandle(error);
    }
    if (serviceName == nullptr || *serviceName == '\0') {
        return FailHandle(ERROR_INVALID_NAME);
    }
    std::string key = detail::Upper(serviceName);
    if (Lookup(key) == nullptr) {
        return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    if (Denied(desiredAccess, kFilteredServiceRights)) {
        return FailHandle(ERROR_ACCESS_DENIED);
    }
    return NewHandle(OpenHandle{false, desiredAccess, key});
}

BOOL WINAPI StartServiceA(SC_HANDLE serviceHandle, DWORD argumentCount, LPCSTR* arguments) {
    using namespace winsim;
    auto failure = Enter("StartServiceA", {detail::Handle(serviceHandle), Num(argumentCount),
                                           detail::Ptr(arguments)});
    if (failure) {
        return Fail(failure->error);
    }
    Service* service = nullptr;
    if (DWORD error = ResolveService(serviceHandle, SERVICE_START, service);
        error != ERROR_SUCCESS) {
        return Fail(error);
    }
    // Deletion disables the service as well, so a marked service answers as a disabled one.
    if (service->markedForDelete || service->startType == SERVICE_DISABLED) {
        return Fail(ERROR_SERVICE_DISABLED);
    }
    if (service->state != SERVICE_STOPPED) {
        return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    }
    if (IsDriver(service->serviceType)) {
        if (!FileExists(service->binaryPath)) {
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        DWORD loadError = State().scripts[detail::Upper(service->name)].loadError;
        if (loadError != ERROR_SUCCESS) {
            return Fail(loadError);
        }
    }
    service->state = SERVICE_RUNNING;
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE serviceHandle, DWORD control, LPSERVICE_STATUS status) {
    using namespace winsim;
    auto failure =
        Enter("ControlService", {detail::Handle(serviceHandle), Num(control), detail::Ptr(status)});
    if (failure) {
        return Fail(failure->error);
    }
    // Only the stop request is modelled.
    if (control != SERVICE_CONTROL_STOP || status == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Service* service = nullptr;
    if (DWORD error = ResolveService(serviceHandle, SERVICE_STOP, service);
        error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (service->state == SERVICE_STOPPED) {
        return Fail(ERROR_SERVICE_NOT_ACTIVE);
    }
    if (service->state == SERVICE_STOP_PENDING) {
        return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    }
    std::string key = detail::Upper(service->name);
    service->state = State().scripts[key].stopPending ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
    *status = SERVICE_STATUS{};
    status->dwServiceType = service->serviceType;
    status->dwCurrentState = service->state;
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE serviceHandle) {
    using namespace winsim;
    auto failure = Enter("DeleteService", {detail::Handle(serviceHandle)});
    if (failure) {
        return Fail(failure->error);
    }
    Service* service = nullptr;
    if (DWORD error = ResolveService(serviceHandle, DELETE, service); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (service->markedForDelete) {
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    service->markedForDelete = true;
    service->startType = SERVICE_DISABLED;
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
    using namespace winsim;
    auto failure = Enter("CloseServiceHandle", {detail::Handle(handle)});
    if (failure) {
        return Fail(failure->error);
    }
    auto found = State().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == State().handles.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    std::string key = found->second.service;
    State().handles.erase(found);
    detail::CountClose(HandleKind::ServiceHandle);
    RemoveIfUnused(key);
    // Windows does not promise to keep the last error across a successful call; clearing it
    // shows callers that read it only after closing their handles.
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
