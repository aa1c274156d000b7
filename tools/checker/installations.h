// The kinds of installation a package meets, each with what the installer sets for it: the
// properties (Installed, REINSTALL, REMOVE, UPGRADINGPRODUCTCODE, an upgrade's action
// properties) and the action and installed states of every component and feature. A condition
// is judged by evaluating it in each of them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "condition.h"
#include "package_tables.h"

namespace zelk::checker {

enum class Installation {
    First,           // the product is not on the machine
    UpgradeInstall,  // the same, with an older version found that this one replaces
    Repair,          // msiexec /f, REINSTALL=ALL: every component and feature reinstalled
    Modify,          // a feature change: the installed components keep their state
    Uninstall,       // REMOVE=ALL
    UpgradeRemoval,  // a newer version removes this one: REMOVE=ALL with UPGRADINGPRODUCTCODE
};

// A set of installations, one bit each.
using Installations = unsigned;

constexpr Installations Only(Installation installation) {
    return 1U << static_cast<unsigned>(installation);
}

constexpr Installations kEveryInstallation = (1U << 6) - 1;

ConditionSymbols SymbolsFor(Installation installation, const PackageTables& tables);

// What each kind of installation sets, made once for a package: every condition is judged
// against the same six.
struct InstallationSymbols {
    explicit InstallationSymbols(const PackageTables& tables);
    const ConditionSymbols& Of(Installation installation) const;

  private:
    std::vector<ConditionSymbols> symbols_;
};

std::optional<Installations> InstallationsOf(const std::string& condition,
                                             const InstallationSymbols& symbols);

// The installations in which the condition holds; nothing when the installer cannot evaluate
// it.
std::optional<Installations> InstallationsOf(const std::string& condition,
                                             const PackageTables& tables);

// "a repair, a feature change and the uninstall".
std::string Describe(Installations installations);

}  // namespace zelk::checker
