// The package checker's reading of installer conditions, as the installer reads them.
#include <gtest/gtest.h>

#include "condition.h"

using zelk::checker::ConditionSymbols;
using zelk::checker::ConditionValue;
using zelk::checker::EvaluateCondition;

namespace {

constexpr auto T = ConditionValue::True;
constexpr auto F = ConditionValue::False;
constexpr auto E = ConditionValue::Error;

struct ConditionRow {
    const char* condition;
    ConditionValue expected;
};

// Installed on the machine, being removed: what an uninstall sees.
ConditionSymbols Uninstalling() {
    ConditionSymbols symbols;
    symbols.properties = {{"Installed", "00:00:00"},
                          {"REMOVE", "ALL"},
                          {"VersionNT", "601"},
                          {"REBOOT", "ReallySuppress"},
                          {"Empty", ""}};
    symbols.states = {{"$Bus", 2}, {"?Bus", 3}, {"&Drivers", 2}, {"!Drivers", 3}};
    return symbols;
}

const ConditionRow kRows[] = {
    {"", T},
    {"Installed", T},
    {"NOT Installed", F},
    {"not (Installed)", F},
    // Names and values are case-sensitive; operators are not.
    {"NOT INSTALLED", T},
    {"REMOVE=\"All\"", F},
    {"REMOVE~=\"all\"", T},
    {"REMOVE<>\"ALL\"", F},
    {"$Bus=2 AND &Drivers=2 AND ?Bus=3 AND !Drivers=3", T},
    {"$Bus=3 OR $Missing=2", F},
    // NOT, AND, OR, XOR, EQV, IMP from the tightest to the loosest.
    {"Installed OR Empty AND Empty", T},
    {"NOT Empty AND Empty", F},
    {"Installed XOR Installed OR Installed", F},
    {"Empty IMP Empty EQV Installed", T},
    {"(Empty IMP Empty) EQV Empty", F},
    // An integer against a text that reads as none: only "<>" holds.
    {"VersionNT >= 600 AND VersionNT < 602", T},
    {"REMOVE = 1", F},
    {"REMOVE <> 1", T},
    {"REBOOT << \"R\" AND REBOOT >> \"Suppress\" AND REBOOT >< \"allyS\"", T},
    {"REBOOT ~<< \"r\" AND NOT REBOOT << \"r\"", T},
    {"(Installed", E},
    {"REMOVE =", E},
    {"REMOVE = \"ALL", E},
    {"Installed Installed", E},
};

TEST(ConditionTest, EvaluatesAsTheInstaller) {
    const ConditionSymbols symbols = Uninstalling();
    for (const ConditionRow& row : kRows) {
        EXPECT_EQ(EvaluateCondition(row.condition, symbols), row.expected) << row.condition;
    }
}

}  // namespace
