// The package as try_package.exe needs it: the custom actions that call one of the DLL's
// exports (found by their type and entry, whatever their names), the install-state key their
// data names, and the product code.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelk::trytool {

// Custom action type flags of an action that runs from the script.
constexpr int kRollback = 0x100;
constexpr int kCommit = 0x200;
constexpr int kInScript = 0x400;

struct DllAction {
    std::string name;
    int type = 0;
    std::string entry;
};

struct Package {
    std::string productCode;
    std::string productVersion;
    std::vector<DllAction> actions;
    std::string stateKey;  // below HKEY_LOCAL_MACHINE; "" when the package names none
    std::vector<std::string> features;
};

// None when the file cannot be opened as an installer database.
std::optional<Package> ReadPackage(const std::string& path);

}  // namespace zelk::trytool
