// Install-state values: the recorded outcome of a package installation, below
// HKEY_LOCAL_MACHINE, for the reboot decision to read and the clearing action to remove.
#pragma once

#include <string>

namespace zelk {

// Runs the engine on the package named by `packageToken` and records its outcome as the
// REG_DWORD value `valueName` of `keyPath` below HKEY_LOCAL_MACHINE (0 for installed, else the
// engine's result), with the engine's message as "<valueName>_Text" when there is one. A key
// path that is empty less one final backslash records nothing.
void RecordInstallState(const std::string& packageToken, const std::string& keyPath,
                        const std::string& valueName);

// True when `keyPath`, less one final backslash, still names a key to record under.
bool NamesStateKey(const std::string& keyPath);

// Removes a state location ("K\V") or a whole state key without subkeys ("K\").
void ClearInstallState(const std::string& data);

}  // namespace zelk
