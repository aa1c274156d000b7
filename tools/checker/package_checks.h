// The wiring rules for packages that call zelk_ca.dll: every mistake that the actions would
// answer silently (no data, no rights, no restart, a change left behind) becomes a finding.
#pragma once

#include <string>
#include <vector>

#include "package_tables.h"

namespace zelk::checker {

enum class Severity { Error, Warning };

struct Finding {
    Severity severity;
    std::string action;
    std::string message;
};

std::vector<Finding> CheckPackage(const PackageTables& tables);

}  // namespace zelk::checker
