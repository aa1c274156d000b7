// Shared plumbing of the simulated machine: logging, failure checks, handle counting and the
// per-area reset hooks. Internal to winsim.
#pragma once

#include <winsim/control.h>
#include <winsim/win32.h>

#include "names.h"

#include <initializer_list>
#include <optional>
#include <string>

namespace winsim::detail {

// Marks simulator work in progress, so that a test can tell its allocations from the product's.
class PlatformScope {
  public:
    PlatformScope();
    ~PlatformScope();
    PlatformScope(const PlatformScope&) = delete;
    PlatformScope& operator=(const PlatformScope&) = delete;
};

// What Enter found: the injected failure that hits the call, if any. The call counts as in
// progress for as long as this lives, that is, to the end of the simulated function.
class Entered {
  public:
    explicit Entered(std::optional<Failure> failure) : failure_(std::move(failure)) {}
    explicit operator bool() const { return failure_.has_value(); }
    const Failure* operator->() const { return &*failure_; }

  private:
    PlatformScope scope_;
    std::optional<Failure> failure_;
};

// Logs the call and tells whether an injected failure hits it.
Entered Enter(const char* name, std::initializer_list<std::string> args);

std::string Handle(const void* handle);  // "null" or "h<N>"
std::string Ptr(const void* pointer);    // "null" or "ptr"
std::string Key(HKEY key);               // "HKLM" for the predefined key, else Handle()

// Fails a BOOL call the Windows way: FALSE, with the reason left for GetLastError.
inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Whether the caller holds a full (elevated) token; see SetElevated().
bool Elevated();

void CountOpen(HandleKind kind);
void CountClose(HandleKind kind);

// Equality without regard to case (see names.h), as the registry and file system compare.
bool EqualNoCase(const std::string& a, const std::string& b);

// The text of a simulated file; nullopt when no file is there.
std::optional<std::string> FileText(const std::string& path);

// Per-area state, reset by winsim::Reset().
void ResetKernel();
void ResetRegistry();
void ResetMsi();
void ResetDevices();
void ResetServices();

}  // namespace winsim::detail
