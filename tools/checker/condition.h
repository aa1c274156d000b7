// Windows Installer conditions, judged as the installer judges them: names and values are
// case-sensitive, a property that is not set reads as empty, the "~" operators compare without
// regard to case, NOT binds tighter than AND, OR, XOR, EQV and IMP, in that order (the order in
// which "Conditional Statement Syntax" lists the logical operators, "high-to-low precedence").
// An integer compared with a quoted literal holds only for "<>"; a property's value is
// converted. Between two integers "><", "<<" and ">>" test bits.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace zelk::checker {

// MsiEvaluateCondition's answers; an empty condition is true, as in a sequence table.
enum class ConditionValue { False, True, Error };

// Installation states of components and features (INSTALLSTATE_...).
constexpr int kStateNoAction = -1;
constexpr int kStateAbsent = 2;
constexpr int kStateLocal = 3;

// What a condition can see. Environment variables (%NAME) depend on the machine and read as
// empty.
struct ConditionSymbols {
    std::map<std::string, std::string> properties;
    // Keyed by prefix and name: "$Component", "?Component", "&Feature", "!Feature".
    std::map<std::string, int> states;
};

// Parentheses and NOTs nested deeper than this are not followed: the condition evaluates as an
// error, so that no package can exhaust the checker's stack.
constexpr int kMaxConditionNesting = 64;

ConditionValue EvaluateCondition(const std::string& condition, const ConditionSymbols& symbols);

// Whether the condition nests past kMaxConditionNesting (and so evaluates as an error).
bool NestsTooDeep(const std::string& condition);

// A property the condition reads by its bare name (no $ ? & ! or %), and whether a comparison
// follows it.
struct PropertyRead {
    std::string name;
    bool compared = false;
};

// The properties a condition reads, in its order, as the installer's lexer sees them (keywords
// in any case, quoted literals skipped); none for a text that is no sequence of tokens.
std::vector<PropertyRead> PropertiesRead(const std::string& condition);

}  // namespace zelk::checker
