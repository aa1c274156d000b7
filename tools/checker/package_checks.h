// The wiring rules for packages that call zelk_ca.dll: every mistake that the actions would
// answer silently (no data, no rights, no restart, a change left behind) becomes a finding.
// The console checker prints the findings; the validation cube's evaluator posts them.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "package_tables.h"

namespace zelk::checker {

// Info says what the package holds (the DLL's version); it is no fault.
enum class Severity { Error, Warning, Info };

// How a finding's line and the rules page name a severity: "error", "warning", "info".
inline const char* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::Error:
            return "error";
        case Severity::Warning:
            return "warning";
        default:
            return "info";
    }
}

struct Finding {
    // The rule's stable ID ("ZCA021"), which docs/zelk_ca_check.md explains and which
    // --ignore and the Property ZelkCaCheckIgnore name.
    std::string rule;
    Severity severity;
    // The action that is wrong, or the table when no action is.
    std::string subject;
    std::string message;
    // Where a validation tool points: the table and column the finding is about; subject is
    // the row's key.
    std::string table;
    std::string column;
};

// The Property that lists the rules a package's author has chosen to ignore.
constexpr const char* kIgnoreProperty = "ZelkCaCheckIgnore";

// The rule IDs in a list such as "ZCA021, zca040;ZCA048": separated by commas, semicolons or
// spaces, in either case. Nothing when an entry is no rule's ID; unknown then names it.
std::optional<std::set<std::string>> ParseRuleList(const std::string& text, std::string& unknown);

// The findings, without those of the rules ignored here or in the package's Property
// ZelkCaCheckIgnore; an unknown ID there is a finding of its own.
std::vector<Finding> CheckPackage(const PackageTables& tables,
                                  const std::set<std::string>& ignored = {});

}  // namespace zelk::checker
