#include "machine.h"

#include <map>

namespace winsim {
namespace {

struct Core {
    std::vector<Call> calls;
    std::map<HandleKind, int> open;
    struct Armed {
        Failure failure;
        int seen = 0;
    };
    std::map<std::string, Armed> failures;
    bool elevated = true;
};

Core& State() {
    static Core core;
    return core;
}

// Simulated calls in progress; kept apart from Core, which Reset() replaces.
int platformDepth = 0;

}  // namespace

void Reset() {
    State() = Core{};
    detail::ResetKernel();
    detail::ResetRegistry();
    detail::ResetMsi();
    detail::ResetDevices();
    detail::ResetServices();
}

const std::vector<Call>& Calls() {
    return State().calls;
}

std::vector<Call> CallsTo(const std::string& name) {
    std::vector<Call> found;
    for (const Call& call : State().calls) {
        if (call.name == name) {
            found.push_back(call);
        }
    }
    return found;
}

size_t CountCalls(const std::string& name) {
    return CallsTo(name).size();
}

std::vector<std::string> CallNames() {
    std::vector<std::string> names;
    for (const Call& call : State().calls) {
        names.push_back(call.name);
    }
    return names;
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
    int total = 0;
    for (const auto& entry : State().open) {
        total += entry.second;
    }
    return total;
}

int OpenHandles(HandleKind kind) {
    return State().open[kind];
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

PlatformScope::PlatformScope() {
    ++platformDepth;
}

PlatformScope::~PlatformScope() {
    --platformDepth;
}

Entered Enter(const char* name, std::initializer_list<std::string> args) {
    const PlatformScope logging;
    Core& core = State();
    core.calls.push_back(Call{name, std::vector<std::string>(args)});
    auto armed = core.failures.find(name);
    if (armed == core.failures.end()) {
        return Entered(std::nullopt);
    }
    Core::Armed& entry = armed->second;
    ++entry.seen;
    if (entry.failure.nth == 0 || entry.failure.nth == entry.seen) {
        return Entered(entry.failure);
    }
    return Entered(std::nullopt);
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
    const PlatformScope rendering;
    return key == HKEY_LOCAL_MACHINE ? "HKLM" : Handle(key);
}

bool Elevated() {
    return State().elevated;
}

void CountOpen(HandleKind kind) {
    ++State().open[kind];
}

void CountClose(HandleKind kind) {
    --State().open[kind];
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return Upper(a) == Upper(b);
}

}  // namespace detail
}  // namespace winsim
