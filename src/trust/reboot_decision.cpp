#include "trust/reboot_decision.h"

#include "runtime/ansi_text.h"
#include "runtime/registry_key.h"
#include "runtime/session.h"

namespace zelk {
namespace {

// The install state recorded for a driver package that needs a restart.
constexpr DWORD kRestartRequiredState = 3;
constexpr DWORD kValueNameBufferSize = MAX_PATH;
constexpr char kRebootProperty[] = "REBOOT";
constexpr char kForceReboot[] = "Force";

bool EndsWithBackslash(const std::string& path) {
    return !path.empty() && FindLastChar(path, '\\') == path.size() - 1;
}

// A value that cannot be read whole (a long name, data over four bytes) does not decide.
bool ValueRequestsRestart(HKEY key, DWORD index) {
    char name[kValueNameBufferSize] = {};
    DWORD nameSize = kValueNameBufferSize;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD dataSize = sizeof(data);
    LONG result = RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                                reinterpret_cast<BYTE*>(&data), &dataSize);
    return result == ERROR_SUCCESS && type == REG_DWORD && data == kRestartRequiredState;
}

bool AnyValueRequestsRestart(const RegistryKey& key) {
    DWORD valueCount = 0;
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &valueCount, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    for (DWORD index = 0; index < valueCount; ++index) {
        if (ValueRequestsRestart(key.get(), index)) {
            return true;
        }
    }
    return false;
}

}  // namespace

void CheckAndSetRebootStatus(MSIHANDLE session, const std::string& keyPath) {
    if (!EndsWithBackslash(keyPath)) {
        return;
    }
    RegistryKey key;
    // Write rights as well, as every user of the install-state key asks for them. The immediate
    // actions of a per-machine package started without elevation run with the user's filtered
    // token, which is refused them below HKLM\SOFTWARE; the decision only reads, so it asks
    // again for reading rather than lose a restart that a driver asked for.
    LONG opened = key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ | KEY_WRITE);
    if (opened == ERROR_ACCESS_DENIED) {
        opened = key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ);
    }
    if (opened != ERROR_SUCCESS) {
        return;
    }
    const bool restartNeeded = AnyValueRequestsRestart(key);
    key.Close();
    if (restartNeeded) {
        SetSessionProperty(session, kRebootProperty, kForceReboot);
    }
}

}  // namespace zelk
