// The table of machines, read from the copy of groups.txt the build puts into the program, and
// the check that every scenario is on one machine of it.
#include "machines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "machines_table.h"

namespace zelk::e2e {
namespace {

// GoogleTest's pattern rules: * any run of characters, ? one character.
bool Matches(const char* pattern, const char* text) {
    if (*pattern == '\0') {
        return *text == '\0';
    }
    if (*pattern == '*') {
        return Matches(pattern + 1, text) || (*text != '\0' && Matches(pattern, text + 1));
    }
    return *text != '\0' && (*pattern == '?' || *pattern == *text) &&
           Matches(pattern + 1, text + 1);
}

bool AnyMatches(const std::string& patterns, const std::string& test) {
    std::istringstream list(patterns);
    for (std::string pattern; std::getline(list, pattern, ':');) {
        if (!pattern.empty() && Matches(pattern.c_str(), test.c_str())) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<Machine> Machines() {
    std::vector<Machine> machines;
    std::istringstream table(kMachinesTable);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        Machine machine;
        std::string prefix;
        if (line.empty() || line[0] == '#' ||
            !(fields >> machine.name >> prefix >> machine.filter)) {
            continue;
        }
        machines.push_back(machine);
    }
    return machines;
}

std::optional<std::string> FilterOf(const std::string& machine) {
    for (const auto& each : Machines()) {
        if (each.name == machine) {
            return each.filter;
        }
    }
    return std::nullopt;
}

bool Selects(const std::string& filter, const std::string& test) {
    const auto negative = filter.find('-');
    const std::string positive = filter.substr(0, negative);
    const bool selected = positive.empty() ? true : AnyMatches(positive, test);
    return selected &&
           (negative == std::string::npos || !AnyMatches(filter.substr(negative + 1), test));
}

namespace {

TEST(Machines, FilterRulesAreGoogleTests) {
    const struct {
        const char* filter;
        const char* test;
        bool selected;
    } rows[] = {
        {"Sample/Package.Scenario/Install", "Sample/Package.Scenario/Install", true},
        {"Sample/Package.Scenario/Install", "Sample/Package.Scenario/InstallLater", false},
        {"*/Rollback:*/FailedStart", "Sample/Package.Scenario/FailedStart", true},
        {"Machines.*", "Sample/Package.Scenario/Install", false},
        {"*-*/Install", "Sample/Package.Scenario/Install", false},
        {"Sample/Package.Scenario/Re?air", "Sample/Package.Scenario/Repair", true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Selects(row.filter, row.test), row.selected) << row.filter << " " << row.test;
    }
}

// A scenario on no machine never runs on Windows; one on two runs twice, the second time on a
// machine an earlier scenario left the product on.
TEST(Machines, EachScenarioOnOneMachine) {
    const auto machines = Machines();
    ASSERT_FALSE(machines.empty()) << "the program carries no table of machines";
    const auto& tests = *testing::UnitTest::GetInstance();
    int scenarios = 0;
    for (int suite = 0; suite < tests.total_test_suite_count(); ++suite) {
        const auto& each = *tests.GetTestSuite(suite);
        const std::string suiteName = each.name();
        if (suiteName.size() < 8 || suiteName.compare(suiteName.size() - 8, 8, "/Package") != 0) {
            continue;
        }
        for (int test = 0; test < each.total_test_count(); ++test) {
            const std::string name = suiteName + "." + each.GetTestInfo(test)->name();
            std::string on;
            for (const auto& machine : machines) {
                on += Selects(machine.filter, name) ? " " + machine.name : "";
            }
            EXPECT_EQ(std::count(on.begin(), on.end(), ' '), 1)
                << name << " is on the machines:" << (on.empty() ? " none" : on);
            ++scenarios;
        }
    }
    EXPECT_GT(scenarios, 0) << "no scenario was found";
}

}  // namespace
}  // namespace zelk::e2e
