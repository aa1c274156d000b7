// The call machinery every simulated function goes through: the one entry that logs a call and
// applies an injected failure, the conventions by which calls report failure, and the one table
// of the handles the simulator hands out. Internal to winsim.
#pragma once

#include <winsim/control.h>
#include <winsim/win32.h>

#include "code_page.h"

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace winsim::detail {

// Marks simulator work in progress, so that a test can tell its allocations from the product's.
class PlatformScope {
  public:
    PlatformScope();
    ~PlatformScope();
    PlatformScope(const PlatformScope&) = delete;
    PlatformScope& operator=(const PlatformScope&) = delete;
};

// Logs a call; Enter also answers the injected failure that hits it, if any.
void Log(const char* name, std::initializer_list<std::string> args, bool canFail);
std::optional<Failure> Enter(const char* name, std::initializer_list<std::string> args);

// Renderings of arguments for the log.
std::string Handle(const void* handle);            // "null", "INVALID_HANDLE_VALUE" or "h<N>"
std::string Ptr(const void* pointer);              // "null" or "ptr"
std::string Key(HKEY key);                         // "HKLM" for the predefined key, else Handle()
std::string Bytes(const void* data, size_t size);  // the raw bytes, "null" for none

// The last error as the simulator sets it, without logging a call.
void SetError(DWORD error);

// ---- Call conventions -----------------------------------------------------------------------
// How a call reports that it failed. A body answers through its convention: a BOOL call with the
// error code (ERROR_SUCCESS for success), a status call with its status, a value call with its
// value or an Error. An injected failure is answered the same way; its `result`, when given,
// replaces the value the call returns.
struct Error {
    template <class Code>
    constexpr explicit Error(Code error) : code(static_cast<DWORD>(error)) {}
    DWORD code;
};

template <class T>
struct Result {
    Result(T answer) : value(answer) {}
    Result(Error failure) : value(), error(failure.code) {}
    T value;
    DWORD error = ERROR_SUCCESS;
};

// BOOL, with the reason left for GetLastError; some calls also clear it on success.
struct BoolCall {
    using Type = BOOL;
    bool clearsOnSuccess = false;
    BOOL Fail(const Failure& failure) const {
        SetError(failure.error);
        return static_cast<BOOL>(failure.result.value_or(FALSE));
    }
    BOOL Answer(DWORD error) const {
        if (error != ERROR_SUCCESS || clearsOnSuccess) {
            SetError(error);
        }
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    }
};

// A status that is itself the result: LSTATUS, the installer's UINT, CONFIGRET.
template <class T>
struct StatusCall {
    using Type = T;
    T Fail(const Failure& failure) const {
        return static_cast<T>(failure.result.value_or(failure.error));
    }
    T Answer(T status) const { return status; }
};

// A value, or on failure the call's failure value (a null or invalid handle, 0, -1), with the
// reason left for GetLastError unless the call has none.
template <class T>
struct ValueCall {
    using Type = T;
    T failed;
    bool setsLastError = true;
    bool clearsOnSuccess = false;  // SetupAPI's way

    T Fail(const Failure& failure) const {
        if (setsLastError) {
            SetError(failure.error);
        }
        if constexpr (std::is_pointer_v<T>) {
            return failure.result ? reinterpret_cast<T>(*failure.result) : failed;
        } else {
            return failure.result ? static_cast<T>(*failure.result) : failed;
        }
    }
    T Answer(const Result<T>& result) const {
        if (result.error != ERROR_SUCCESS) {
            return Fail(Failure{result.error, 0, {}});
        }
        if (clearsOnSuccess) {
            SetError(ERROR_SUCCESS);
        }
        return result.value;
    }
};

// The one entry of every simulated call: logs it, answers an injected failure through the
// call's convention, or runs the body. The call counts as in progress until it returns.
template <class Convention, class Body>
auto Simulate(const Convention& convention, const char* name,
              std::initializer_list<std::string> args, Body body) -> typename Convention::Type {
    const PlatformScope inCall;
    if (std::optional<Failure> failure = Enter(name, args)) {
        return convention.Fail(*failure);
    }
    return convention.Answer(body());
}

// The entry of a call that cannot fail on Windows: logged, but no failure is injected into it.
template <class Body>
auto Infallible(const char* name, std::initializer_list<std::string> args, Body body) {
    const PlatformScope inCall;
    Log(name, args, false);
    return body();
}

inline constexpr BoolCall kBool;
inline constexpr BoolCall kClearingBool{true};  // SetupAPI's, and a few others'
inline constexpr StatusCall<LSTATUS> kRegistry;
inline constexpr StatusCall<UINT> kInstaller;
inline constexpr StatusCall<CONFIGRET> kConfig;

// ---- Handle table ---------------------------------------------------------------------------
// Every handle the simulator hands out, with its kind and the object behind it. A handle of
// another kind, or one already closed, is no handle: the call fails as Windows fails it.
// Opens a handle to `object` (never null); `value` 0 takes the next free number.
uintptr_t OpenHandle(HandleKind kind, std::shared_ptr<void> object, uintptr_t value = 0);
void* FindHandle(uintptr_t value, HandleKind kind);    // null for no open handle of that kind
bool ReleaseHandle(uintptr_t value, HandleKind kind);  // false for no open handle of that kind
std::vector<void*> OpenObjects(HandleKind kind);       // the objects behind open handles
uintptr_t NewHandleValue();                            // a number no handle has had

template <class T>
T* Get(const void* handle, HandleKind kind) {
    return static_cast<T*>(FindHandle(reinterpret_cast<uintptr_t>(handle), kind));
}

template <class H, class T>
H Open(HandleKind kind, std::shared_ptr<T> object) {
    return reinterpret_cast<H>(OpenHandle(kind, std::move(object)));
}

// ---- Shared helpers -------------------------------------------------------------------------
// The value stored under `key`, or null.
template <class Map, class K>
auto* FindIn(Map& map, const K& key) {
    auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

// `project` applied to each element of `range`, in order.
template <class Range, class Project>
auto Collect(const Range& range, Project project) {
    std::vector<std::decay_t<decltype(project(*std::begin(range)))>> collected;
    for (const auto& element : range) {
        collected.push_back(project(element));
    }
    return collected;
}

// Writes an optional out-parameter.
template <class T, class V>
void Put(T* out, V value) {
    if (out != nullptr) {
        *out = static_cast<T>(value);
    }
}

// Copies `size` bytes to a buffer of `capacity` bytes as the calls that report the size they need
// do: the size goes to `required`, a short (or missing) buffer is ERROR_INSUFFICIENT_BUFFER.
DWORD CopyOut(const void* data, size_t size, void* buffer, DWORD capacity, DWORD* required);

// Whether the caller holds a full (elevated) token; see SetElevated().
bool Elevated();

// Equality without regard to case (see code_page.h), as the registry and file system compare.
bool EqualNoCase(const std::string& a, const std::string& b);

// The text of a simulated file; nullopt when no file is there.
std::optional<std::string> FileText(const std::string& path);

// Registers how an area of the machine is made fresh; winsim::Reset() runs them all.
void OnReset(void (*reset)());

// The state of one area of the machine, made fresh by winsim::Reset().
template <class T>
T& AreaState() {
    static T state;
    static const bool registered = (OnReset([] { AreaState<T>() = T{}; }), true);
    (void)registered;
    return state;
}

}  // namespace winsim::detail
