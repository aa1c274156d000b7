// The wiring rules for packages that call zelk_ca.dll: every mistake that the actions would
// answer silently (no data, no rights, no restart, a change left behind) becomes a finding.
// The console checker prints the findings; the validation cube's evaluator posts them.
#pragma once

#include <string>
#include <vector>

#include "package_tables.h"

namespace zelk::checker {

// Info says what the package holds (the DLL's version); it is no fault.
enum class Severity { Error, Warning, Info };

struct Finding {
    Severity severity;
    // The action that is wrong, or the table when no action is.
    std::string subject;
    std::string message;
    // Where a validation tool points: the table and column the finding is about; subject is
    // the row's key.
    std::string table;
    std::string column;
};

std::vector<Finding> CheckPackage(const PackageTables& tables);

}  // namespace zelk::checker
