#include "installations.h"

#include <vector>

namespace zelk::checker {
namespace {

constexpr Installation kAll[] = {
    Installation::First,  Installation::UpgradeInstall, Installation::Repair,
    Installation::Modify, Installation::Uninstall,      Installation::UpgradeRemoval,
};

const char* NameOf(Installation installation) {
    switch (installation) {
        case Installation::First:
            return "a first installation";
        case Installation::UpgradeInstall:
            return "an upgrade's installation";
        case Installation::Repair:
            return "a repair";
        case Installation::Modify:
            return "a feature change";
        case Installation::Uninstall:
            return "the uninstall";
        default:
            return "the removal by an upgrade";
    }
}

struct States {
    int action;
    int installed;
};

States ComponentStates(Installation installation) {
    switch (installation) {
        case Installation::First:
        case Installation::UpgradeInstall:
            return {kStateLocal, kStateAbsent};
        case Installation::Repair:
            return {kStateLocal, kStateLocal};
        case Installation::Modify:
            return {kStateNoAction, kStateLocal};
        default:
            return {kStateAbsent, kStateLocal};
    }
}

// Any product code serves: conditions test these properties for being set.
constexpr const char* kSomeProductCode = "{6F1C2D3E-0000-4000-8000-00000000A001}";

}  // namespace

ConditionSymbols SymbolsFor(Installation installation, const PackageTables& tables) {
    ConditionSymbols symbols;
    symbols.properties = tables.properties;
    // A 64-bit package on 64-bit Windows 10, run by an administrator.
    symbols.properties["VersionNT"] = "603";
    symbols.properties["VersionNT64"] = "603";
    symbols.properties["Privileged"] = "1";
    const bool installed =
        installation != Installation::First && installation != Installation::UpgradeInstall;
    if (installed) {
        symbols.properties["Installed"] = "2026/01/01 00:00:00";
    }
    switch (installation) {
        case Installation::UpgradeInstall:
            for (const std::string& property : tables.upgradeProperties) {
                symbols.properties[property] = kSomeProductCode;
            }
            break;
        case Installation::Repair:
            symbols.properties["REINSTALL"] = "ALL";
            symbols.properties["REINSTALLMODE"] = "omus";
            break;
        case Installation::Uninstall:
            symbols.properties["REMOVE"] = "ALL";
            break;
        case Installation::UpgradeRemoval:
            symbols.properties["REMOVE"] = "ALL";
            symbols.properties["UPGRADINGPRODUCTCODE"] = kSomeProductCode;
            break;
        default:
            break;
    }
    const States states = ComponentStates(installation);
    for (const auto& component : tables.componentDirectories) {
        symbols.states["$" + component.first] = states.action;
        symbols.states["?" + component.first] = states.installed;
    }
    for (const std::string& feature : tables.features) {
        symbols.states["&" + feature] = states.action;
        symbols.states["!" + feature] = states.installed;
    }
    return symbols;
}

InstallationSymbols::InstallationSymbols(const PackageTables& tables) {
    for (const Installation installation : kAll) {
        symbols_.push_back(SymbolsFor(installation, tables));
    }
}

const ConditionSymbols& InstallationSymbols::Of(Installation installation) const {
    return symbols_[static_cast<std::size_t>(installation)];
}

std::optional<Installations> InstallationsOf(const std::string& condition,
                                             const PackageTables& tables) {
    return InstallationsOf(condition, InstallationSymbols(tables));
}

std::optional<Installations> InstallationsOf(const std::string& condition,
                                             const InstallationSymbols& symbols) {
    Installations holds = 0;
    for (const Installation installation : kAll) {
        switch (EvaluateCondition(condition, symbols.Of(installation))) {
            case ConditionValue::True:
                holds |= Only(installation);
                break;
            case ConditionValue::Error:
                return std::nullopt;
            default:
                break;
        }
    }
    return holds;
}

std::string Describe(Installations installations) {
    std::vector<const char*> names;
    for (const Installation installation : kAll) {
        if ((installations & Only(installation)) != 0) {
            names.push_back(NameOf(installation));
        }
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += i == 0 ? "" : i + 1 == names.size() ? " and " : ", ";
        text += names[i];
    }
    return text;
}

}  // namespace zelk::checker
