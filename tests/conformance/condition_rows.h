// Installer conditions with Windows' answers, judged by the package checker's evaluator on the
// host (tests/unit/condition_test.cpp) and by MsiEvaluateConditionA in an installer session
// (tests/conformance/msi_test.cpp), both with the properties below set.
//
// Every row names its evidence:
// - Source::WineTest: Wine's conformance test asserts this condition on Windows with the same
//   operands and answer (dlls/msi/tests/package.c, test_condition; operators written in another
//   case count as the same, since "Operators are not case sensitive"; a property may have
//   another name where its value is the one Wine's test sets).
// - Source::MsPage: the reading of Microsoft's page "Conditional Statement Syntax" (Windows
//   Installer), run under Wine but measured on no Windows. The page says an integer compared with
//   text that is no integer is false except for "<>", that "><", "<<" and ">>" between integers
//   are bitwise, and lists the logical operators "in order of high-to-low precedence": Not, And,
//   Or, Xor, Eqv, Imp.
// Where Wine answers otherwise, the row carries Wine's answer, marked with the Wine version it was
// seen on.
#pragma once

namespace conformance {

struct ConditionProperty {
    const char* name;
    const char* value;
};

inline constexpr ConditionProperty kConditionProperties[] = {
    {"one", "1234"},
    {"two", "1"},
    {"four", "4"},
    {"mm", "5"},
    {"big", "65536"},
    {"REMOVE", "ALL"},
    {"REBOOT", "ReallySuppress"},
};

// Where a row's Windows answer comes from (see the top of this file).
enum class Source { WineTest, MsPage };

struct ConditionRow {
    const char* condition;
    // 'T' MSICONDITION_TRUE, 'F' MSICONDITION_FALSE, 'E' MSICONDITION_ERROR.
    char windows;
    // Wine's answer where it differs, else 0.
    char wine;
    Source source;
};

constexpr Source kWineTest = Source::WineTest;
constexpr Source kMsPage = Source::MsPage;

inline constexpr ConditionRow kConditionRows[] = {
    // Integers and their comparisons.
    {"1", 'T', 0, kWineTest},
    {"0", 'F', 0, kWineTest},
    {"-1", 'T', 0, kWineTest},
    {"0 = 0", 'T', 0, kWineTest},
    {"0 <> 0", 'F', 0, kWineTest},
    {"0 = 1", 'F', 0, kWineTest},
    {"0 > 1", 'F', 0, kWineTest},
    {"0 ~> 1", 'F', 0, kWineTest},
    {"1 > 1", 'F', 0, kWineTest},
    {"0 >= 1", 'F', 0, kWineTest},
    {"1 >= 1", 'T', 0, kWineTest},
    {"0 < 1", 'T', 0, kWineTest},
    {"1 < 1", 'F', 0, kWineTest},
    {"1 <= 1", 'T', 0, kWineTest},
    {"2 <= 1", 'F', 0, kMsPage},
    {"-1 < 0", 'T', 0, kMsPage},
    // Grouping and logic.
    {"not 0", 'T', 0, kWineTest},
    {"not 1", 'F', 0, kMsPage},
    {"NOT NOT 1", 'T', 0, kMsPage},
    {"(0)", 'F', 0, kWineTest},
    {"(1)", 'T', 0, kMsPage},
    {"((1))", 'T', 0, kMsPage},
    {"(1", 'E', 0, kMsPage},
    {"1 and", 'E', 0, kMsPage},
    {"1 1", 'E', 0, kMsPage},
    {"1 and 1", 'T', 0, kMsPage},
    {"1 and 0", 'F', 0, kMsPage},
    {"0 or 1", 'T', 0, kMsPage},
    {"0 or 0", 'F', 0, kMsPage},
    {"1 xor 1", 'F', 0, kWineTest},
    {"1 xor 0", 'T', 0, kMsPage},
    {"1 IMP 1", 'T', 0, kWineTest},
    {"1 imp 0", 'F', 0, kWineTest},
    {"0 imp 0", 'T', 0, kWineTest},
    {"0 imp 1", 'T', 0, kMsPage},
    {"1 eqv 0", 'F', 0, kMsPage},
    {"0 EQV 1", 'F', 0, kWineTest},
    {"0 eqv 0", 'T', 0, kWineTest},
    {"1 EQV 1 EQV 0", 'F', 0, kMsPage},
    {"1 IMP 0 IMP 0", 'T', 0, kMsPage},
    // Precedence, pair by pair, as the page lists it. A row marked "tells" answers one way under
    // the page's order and the other way were its two operators bound the other way round. Wine
    // reads OR, XOR, EQV and IMP on one level from the left, so where that differs the row
    // carries Wine's answer.
    {"1 or 0 and 0", 'T', 0, kMsPage},     // tells AND above OR
    {"0 and 0 or 1", 'T', 0, kWineTest},   // tells AND above OR
    {"1 xor 1 or 1", 'F', 'T', kMsPage},   // tells OR above XOR: 1 xor (1 or 1)
    {"1 or 1 xor 1", 'F', 0, kMsPage},     // tells OR above XOR: (1 or 1) xor 1
    {"0 EQV 0 OR 1", 'F', 'T', kMsPage},   // tells OR above EQV: 0 eqv (0 or 1)
    {"0 imp 0 eqv 0", 'T', 'F', kMsPage},  // tells EQV above IMP: 0 imp (0 eqv 0)
    {"1 IMP 1 OR 0", 'T', 0, kWineTest},   // T under any order: only that both parse
    // Proves only that XOR and EQV parse side by side: (a EQV b) XOR c equals a EQV (b XOR c)
    // for every a, b, c, so no row can tell their order.
    {"1 eqv 0 xor 1", 'T', 0, kMsPage},
    // Literals: a non-empty text is true.
    {"\"0\"", 'T', 0, kWineTest},
    {"\"\"", 'F', 0, kMsPage},
    {"\"a\" < \"b\"", 'T', 0, kMsPage},
    {"\"A\" = \"a\"", 'F', 0, kWineTest},
    {"\"A\" ~= \"a\"", 'T', 0, kWineTest},
    {"\"abc\" >< \"b\"", 'T', 0, kMsPage},
    {"\"abc\" << \"ab\"", 'T', 0, kMsPage},
    {"\"abc\" >> \"bc\"", 'T', 0, kMsPage},
    {"\"abc\" << \"c\"", 'F', 0, kMsPage},
    {"\"ABC\" ~>> \"bc\"", 'T', 0, kMsPage},
    {"\"10\" < \"9\"", 'T', 0, kMsPage},
    // An integer against a quoted literal holds only for "<>".
    {"1 = \"1\"", 'F', 0, kWineTest},
    {"1 <> \"1\"", 'T', 0, kMsPage},
    {"100 > \"0\"", 'F', 0, kWineTest},
    {"\"1\" = 1", 'F', 0, kMsPage},
    // A property's value is converted.
    {"mm = \"5\"", 'T', 0, kWineTest},
    {"mm = 5", 'T', 0, kWineTest},
    {"mm < 6", 'T', 0, kWineTest},
    {"5 = mm", 'T', 0, kMsPage},
    {"mm >= 6", 'F', 0, kMsPage},
    // A property that reads as no integer against an integer: only "<>" holds.
    {"REMOVE = 1", 'F', 0, kMsPage},
    {"REMOVE <> 1", 'T', 0, kMsPage},
    {"Missing", 'F', 0, kMsPage},
    {"NOT Missing", 'T', 0, kMsPage},
    {"Missing = \"\"", 'T', 0, kMsPage},
    {"REMOVE = \"ALL\"", 'T', 0, kMsPage},
    {"REMOVE = \"All\"", 'F', 0, kMsPage},
    {"REMOVE ~= \"all\"", 'T', 0, kMsPage},
    {"REBOOT << \"R\" AND REBOOT >> \"Suppress\" AND REBOOT >< \"allyS\"", 'T', 0, kMsPage},
    // Bitwise between integers: "><" any bit in common, "<<" the high 16 bits, ">>" the low 16
    // bits. Wine's test has one = 1234 against two = 1 for "><" and "<<", against 4 for ">>".
    {"3 >< 1", 'T', 0, kWineTest},
    {"3 >< 4", 'F', 0, kWineTest},
    {"one >< two", 'F', 0, kWineTest},
    {"one << two", 'F', 0, kWineTest},
    {"one >> four", 'F', 0, kWineTest},
    {"one >> two", 'F', 0, kMsPage},
    {"one >< four", 'F', 0, kMsPage},
    {"one >> 1234", 'T', 0, kMsPage},
    {"big << 1", 'T', 0, kMsPage},
    {"big >> 0", 'T', 0, kMsPage},
    {"big >< 65536", 'T', 0, kMsPage},
};

}  // namespace conformance
