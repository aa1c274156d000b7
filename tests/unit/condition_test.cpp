// The package checker's reading of installer conditions, as the installer reads them.
#include <gtest/gtest.h>

#include <string>

#include "../conformance/condition_rows.h"
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
    {"VersionNT < 601", F},
    {"VersionNT <= 601", T},
    {"VersionNT > 601", F},
    {"$Bus >< 2 AND ?Bus << 0 AND ?Bus >> 3", T},
    {"$Missing << 0", F},
    // Past the nesting limit an error, never a stack exhausted.
    // Beyond 18 digits a literal is no integer the checker reads.
    {"12345678901234567890 = 1", E},
    {"1234567890123456789 = 1", E},
    {"123456789012345678 <> 1", T},
    {"-", E},
    {"REMOVE = 1", F},
    {"REMOVE <> 1", T},
    {"REBOOT << \"R\" AND REBOOT >> \"Suppress\" AND REBOOT >< \"allyS\"", T},
    {"REBOOT ~<< \"r\" AND NOT REBOOT << \"r\"", T},
    {"(Installed", E},
    {"REMOVE =", E},
    {"REMOVE = \"ALL", E},
    {"Installed Installed", E},
};

ConditionValue Answer(char answer) {
    return answer == 'T' ? T : answer == 'F' ? F : E;
}

// The table the conformance suite holds against MsiEvaluateCondition: Windows' answers.
TEST(ConditionTest, AnswersAsWindowsOnTheConformanceTable) {
    ConditionSymbols symbols;
    for (const auto& property : conformance::kConditionProperties) {
        symbols.properties[property.name] = property.value;
    }
    for (const auto& row : conformance::kConditionRows) {
        EXPECT_EQ(EvaluateCondition(row.condition, symbols), Answer(row.windows)) << row.condition;
    }
}

TEST(ConditionTest, StopsAtTheNestingLimit) {
    const ConditionSymbols symbols = Uninstalling();
    for (const std::size_t depth : {std::size_t{64}, std::size_t{65}, std::size_t{100000}}) {
        const std::string parenthesised =
            std::string(depth, '(') + "Installed" + std::string(depth, ')');
        std::string negated;
        for (std::size_t i = 0; i < depth; ++i) {
            negated += "NOT ";
        }
        negated += "Installed";
        const bool within = depth <= zelk::checker::kMaxConditionNesting;
        for (const std::string& condition : {parenthesised, negated}) {
            EXPECT_EQ(EvaluateCondition(condition, symbols), within ? T : E) << depth;
            EXPECT_EQ(zelk::checker::NestsTooDeep(condition), !within) << depth;
        }
    }
}

TEST(ConditionTest, EvaluatesAsTheInstaller) {
    const ConditionSymbols symbols = Uninstalling();
    for (const ConditionRow& row : kRows) {
        EXPECT_EQ(EvaluateCondition(row.condition, symbols), row.expected) << row.condition;
    }
}

}  // namespace
