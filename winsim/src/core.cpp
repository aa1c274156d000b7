// The machinery every simulated call shares (core.h): the call log, failure injection, the
// handle table, the caller's token and the reset of every area.
#include "core.h"

#include <cstring>
#include <map>
#include <memory>

namespace winsim {
namespace {

struct OpenEntry {
    HandleKind kind;
    std::shared_ptr<void> object;
};

struct Core {
    std::vector<Call> calls;
    std::map<uintptr_t, OpenEntry> handles;
    uintptr_t nextHandle = 0x100;
    DWORD lastError = 0;
    struct Armed {
        Failure failure;
        int seen = 0;
    };
    std::map<std::string, Armed, std::less<>> failures;
    bool elevated = true;
};

constexpr auto State = detail::AreaState<Core>;

// Simulated calls in progress; kept apart from Core, which Reset() replaces.
int platformDepth = 0;

// The resets of every area, Core's among them; kept apart from the areas they reset.
std::vector<void (*)()>& Resets() {
    static std::vector<void (*)()> resets;
    return resets;
}

}  // namespace

void Reset() {
    for (void (*reset)() : Resets()) {
        reset();
    }
}

const std::vector<Call>& Calls() {
    return State().calls;
}

std::vector<Call> CallsTo(const std::string& name) {
    std::vector<Call> found = State().calls;
    std::erase_if(found, [&](const Call& call) { return call.name != name; });
    return found;
}

size_t CountCalls(const std::string& name) {
    return CallsTo(name).size();
}

std::vector<std::string> CallNames() {
    std::vector<Call> work = State().calls;
    std::erase_if(work, [](const Call& call) { return !call.canFail; });
    return detail::Collect(work, [](const Call& call) { return call.name; });
}

void ClearCalls() {
    State().calls.clear();
}

std::string Num(uint64_t value) {
    const detail::PlatformScope rendering;
    return std::to_string(value);
}

std::string Str(const char* text) {
    const detail::PlatformScope rendering;
    return text ? std::string(text) : std::string("null");
}

void SetElevated(bool elevated) {
    State().elevated = elevated;
}

int OpenHandles() {
    return static_cast<int>(State().handles.size());
}

int OpenHandles(HandleKind kind) {
    return static_cast<int>(detail::OpenObjects(kind).size());
}

void FailCall(const std::string& name, Failure failure) {
    State().failures[name] = Core::Armed{failure, 0};
}

void ClearFailures() {
    State().failures.clear();
}

bool InPlatformCall() {
    return platformDepth > 0;
}

namespace detail {

void OnReset(void (*reset)()) {
    Resets().push_back(reset);
}

PlatformScope::PlatformScope() {
    ++platformDepth;
}

PlatformScope::~PlatformScope() {
    --platformDepth;
}

void Log(const char* name, std::initializer_list<std::string> args, bool canFail) {
    const PlatformScope logging;
    State().calls.push_back(Call{name, std::vector<std::string>(args), canFail});
}

std::optional<Failure> Enter(const char* name, std::initializer_list<std::string> args) {
    Log(name, args, true);
    const PlatformScope looking;
    Core::Armed* armed = FindIn(State().failures, name);
    if (armed == nullptr || (armed->failure.nth != 0 && armed->failure.nth != ++armed->seen)) {
        return std::nullopt;
    }
    return armed->failure;
}

std::string Handle(const void* handle) {
    const PlatformScope rendering;
    if (handle == nullptr) {
        return "null";
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return "INVALID_HANDLE_VALUE";
    }
    return "h" + std::to_string(reinterpret_cast<uintptr_t>(handle));
}

std::string Ptr(const void* pointer) {
    const PlatformScope rendering;
    return pointer ? "ptr" : "null";
}

std::string Key(HKEY key) {
    return key == HKEY_LOCAL_MACHINE ? "HKLM" : Handle(key);
}

bool Elevated() {
    return State().elevated;
}

std::string Bytes(const void* data, size_t size) {
    const PlatformScope rendering;
    return data ? std::string(static_cast<const char*>(data), size) : "null";
}

void SetError(DWORD error) {
    State().lastError = error;
}

uintptr_t NewHandleValue() {
    return State().nextHandle++;
}

uintptr_t OpenHandle(HandleKind kind, std::shared_ptr<void> object, uintptr_t value) {
    const PlatformScope opening;
    value = value != 0 ? value : NewHandleValue();
    State().handles[value] = OpenEntry{kind, std::move(object)};
    return value;
}

void* FindHandle(uintptr_t value, HandleKind kind) {
    const OpenEntry* entry = FindIn(State().handles, value);
    return entry != nullptr && entry->kind == kind ? entry->object.get() : nullptr;
}

bool ReleaseHandle(uintptr_t value, HandleKind kind) {
    const PlatformScope closing;
    return FindHandle(value, kind) != nullptr && State().handles.erase(value) == 1;
}

std::vector<void*> OpenObjects(HandleKind kind) {
    const PlatformScope listing;
    std::vector<void*> objects;
    for (const auto& entry : State().handles) {
        if (entry.second.kind == kind) {
            objects.push_back(entry.second.object.get());
        }
    }
    return objects;
}

DWORD CopyOut(const void* data, size_t size, void* buffer, DWORD capacity, DWORD* required) {
    Put(required, size);
    if (capacity < size || (buffer == nullptr && size > 0)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (size > 0) {
        std::memcpy(buffer, data, size);
    }
    return ERROR_SUCCESS;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return Upper(a) == Upper(b);
}

}  // namespace detail
}  // namespace winsim

DWORD WINAPI GetLastError() {
    return winsim::detail::Infallible("GetLastError", {}, [] { return winsim::State().lastError; });
}

void WINAPI SetLastError(DWORD error) {
    winsim::detail::Infallible("SetLastError", {winsim::Num(error)},
                               [&] { winsim::State().lastError = error; });
}
