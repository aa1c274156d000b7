// Install-state values: the recorded outcome of a package installation, below
// HKEY_LOCAL_MACHINE, for the reboot decision to read and the clearing action to remove.
#pragma once

#include <string>

namespace zelk {

// Where an outcome is recorded: a value below HKEY_LOCAL_MACHINE.
struct StateLocation {
    std::string keyPath;
    std::string valueName;
};

// Runs the engine on `packagePath` and records its outcome as the REG_DWORD value
// `location.valueName` of `location.keyPath` (0 for installed, else the engine's result), with
// the engine's message as "<valueName>_Text" when there is one. An empty key path records
// nothing.
void RecordInstallState(const std::string& packagePath, const StateLocation& location);

// True when `keyPath`, less one final backslash, still names a key to record under.
bool NamesStateKey(const std::string& keyPath);

// Removes a state location ("K\V") or a whole state key without subkeys ("K\").
void ClearInstallState(const std::string& data);

}  // namespace zelk
