// The machines of the end-to-end run, from the one table that Wine's runner reads too
// (tests/e2e/groups.txt, carried in the program): run.cmd on Windows runs a machine's scenarios
// by its name.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelk::e2e {

struct Machine {
    std::string name;
    std::string filter;  // GoogleTest patterns joined by ":"
};

std::vector<Machine> Machines();
std::optional<std::string> FilterOf(const std::string& machine);
// Whether GoogleTest's filter (patterns with * and ?, joined by ":", a negative part after
// "-") selects the test "Suite.Name".
bool Selects(const std::string& filter, const std::string& test);

}  // namespace zelk::e2e
