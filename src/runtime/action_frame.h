// What every export shares: reading CustomActionData and keeping exceptions inside.
#pragma once

#include "platform/win32.h"

#include <new>
#include <string>

namespace zelk {

// Reads CustomActionData; false when it is missing, empty, too long or exactly "0".
bool ReadActionData(MSIHANDLE session, std::string& data);

// Result of an export whose own work failed unexpectedly (an exception inside it).
constexpr UINT kOutOfMemory = ERROR_NOT_ENOUGH_MEMORY;
constexpr UINT kInternalFailure = ERROR_FUNCTION_FAILED;

// Runs an export's body so that no exception reaches the installer. Actions that never fail
// the installation pass `neverFails`: they then answer 0 as on any other path; the others
// answer ERROR_NOT_ENOUGH_MEMORY or ERROR_FUNCTION_FAILED.
// In the DLL the string and container limits do not throw std::length_error, std::out_of_range
// or std::logic_error but the lean runtime's own exception type (src/link/lean_runtime.cpp),
// so no code may catch those by name: only bad_alloc and everything else are told apart here.
template <typename Body>
UINT RunGuarded(bool neverFails, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return neverFails ? ERROR_SUCCESS : kOutOfMemory;
    } catch (...) {
        return neverFails ? ERROR_SUCCESS : kInternalFailure;
    }
}

}  // namespace zelk
