// Finds a package's custom actions that call the DLL in the tables the checker reads.
#include "package_actions.h"
#include "package_tables.h"
#include "zelk_exports.h"

namespace zelk::trytool {
namespace {

// Custom action types: the low six bits give the kind and the source.
constexpr int kKindMask = 0x3F;
constexpr int kDllFromBinary = 1;
constexpr int kDllFromFile = 17;
constexpr int kPropertyFromText = 51;

bool IsExportName(const std::string& entry) {
    for (const char* name : kExportNames) {
        if (entry == name) {
            return true;
        }
    }
    return false;
}

bool CallsTheDll(int type, const std::string& entry) {
    const int kind = type & kKindMask;
    return (kind == kDllFromBinary || kind == kDllFromFile) && IsExportName(entry);
}

// The key of a state location "K\V" after the package token, or of a state key "K\".
std::string StateKeyIn(const std::string& data) {
    const auto at = data.find('@');
    const std::string location = at == std::string::npos ? data : data.substr(at + 1);
    const auto slash = location.rfind('\\');
    if (slash == std::string::npos || location.find('[') != std::string::npos) {
        return "";
    }
    if (at == std::string::npos && slash + 1 != location.size()) {
        return "";
    }
    return location.substr(0, slash);
}

// The first state key that the data of one of the DLL's actions names.
std::string FindStateKey(const std::vector<checker::CustomActionRow>& customActions,
                         const std::vector<DllAction>& actions) {
    for (const auto& row : customActions) {
        if ((row.type & kKindMask) != kPropertyFromText) {
            continue;
        }
        bool feedsOurs = row.source == "CustomActionData";
        for (const auto& action : actions) {
            feedsOurs = feedsOurs || row.source == action.name;
        }
        if (const auto key = StateKeyIn(row.target); feedsOurs && !key.empty()) {
            return key;
        }
    }
    return "";
}

}  // namespace

std::optional<Package> ReadPackage(const std::string& path) {
    std::string why;
    const auto tables = checker::ReadPackageTables(path, why);
    if (!tables) {
        return std::nullopt;
    }
    Package package;
    const auto code = tables->properties.find("ProductCode");
    package.productCode = code == tables->properties.end() ? "" : code->second;
    const auto version = tables->properties.find("ProductVersion");
    package.productVersion = version == tables->properties.end() ? "" : version->second;
    for (const auto& row : tables->customActions) {
        if (CallsTheDll(row.type, row.target)) {
            package.actions.push_back({row.action, row.type, row.target});
        }
    }
    package.stateKey = FindStateKey(tables->customActions, package.actions);
    package.features = tables->features;
    return package;
}

}  // namespace zelk::trytool
