// Installer conditions with Windows' answers, judged by the package checker's evaluator on the
// host (tests/unit/condition_test.cpp) and by MsiEvaluateConditionA in an installer session
// (tests/conformance/msi_test.cpp), both with the properties below set.
//
// Evidence: rows marked [W] are among those Wine's conformance test asserts on Windows
// (dlls/msi/tests/package.c, test_condition); [D] rows follow Microsoft's "Conditional
// Statement Syntax" page; unmarked rows are the plain reading of that page, run under Wine: an
// integer against text that is no integer holds only for "<>", the bitwise "><", "<<", ">>" between
// integers, and "operators and precedence are the same as in the BASIC and SQL languages", in BASIC
// NOT, AND, OR, XOR, EQV, IMP from the tightest. Where Wine answers otherwise, the row carries
// Wine's answer and the Wine version it was seen on.
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

struct ConditionRow {
    const char* condition;
    // 'T' MSICONDITION_TRUE, 'F' MSICONDITION_FALSE, 'E' MSICONDITION_ERROR.
    char windows;
    // Wine's answer where it differs, else 0.
    char wine;
};

inline constexpr ConditionRow kConditionRows[] = {
    // Integers and their comparisons.
    {"1", 'T', 0},
    {"0", 'F', 0},
    {"-1", 'T', 0},
    {"0 = 0", 'T', 0},
    {"0 <> 0", 'F', 0},
    {"0 = 1", 'F', 0},
    {"0 > 1", 'F', 0},
    {"0 ~> 1", 'F', 0},
    {"1 > 1", 'F', 0},
    {"0 >= 1", 'F', 0},
    {"1 >= 1", 'T', 0},
    {"0 < 1", 'T', 0},
    {"1 < 1", 'F', 0},
    {"1 <= 1", 'T', 0},
    {"2 <= 1", 'F', 0},
    {"-1 < 0", 'T', 0},
    // Grouping and logic.
    {"not 0", 'T', 0},
    {"not 1", 'F', 0},
    {"NOT NOT 1", 'T', 0},
    {"(0)", 'F', 0},
    {"(1)", 'T', 0},
    {"((1))", 'T', 0},
    {"(1", 'E', 0},
    {"1 and", 'E', 0},
    {"1 1", 'E', 0},
    {"1 and 1", 'T', 0},
    {"1 and 0", 'F', 0},
    {"0 or 1", 'T', 0},
    {"0 or 0", 'F', 0},
    {"1 xor 1", 'F', 0},
    {"1 xor 0", 'T', 0},
    {"1 imp 0", 'F', 0},
    {"0 imp 0", 'T', 0},
    {"0 imp 1", 'T', 0},
    {"1 eqv 0", 'F', 0},
    {"0 eqv 0", 'T', 0},
    {"1 EQV 1 EQV 0", 'F', 0},
    {"1 IMP 0 IMP 0", 'T', 0},
    // Precedence [D]: AND binds tighter than OR on both; BASIC puts OR above XOR above EQV
    // above IMP, where Wine reads OR, XOR, EQV and IMP on one level from the left.
    {"1 or 0 and 0", 'T', 0},
    {"0 and 0 or 1", 'T', 0},
    {"1 xor 1 or 1", 'F', 'T'},
    {"0 imp 0 eqv 0", 'T', 'F'},
    {"1 eqv 0 xor 1", 'T', 0},
    // Literals: a non-empty text is true.
    {"\"0\"", 'T', 0},
    {"\"\"", 'F', 0},
    {"\"a\" < \"b\"", 'T', 0},
    {"\"A\" = \"a\"", 'F', 0},
    {"\"A\" ~= \"a\"", 'T', 0},
    {"\"abc\" >< \"b\"", 'T', 0},
    {"\"abc\" << \"ab\"", 'T', 0},
    {"\"abc\" >> \"bc\"", 'T', 0},
    {"\"abc\" << \"c\"", 'F', 0},
    {"\"ABC\" ~>> \"bc\"", 'T', 0},
    {"\"10\" < \"9\"", 'T', 0},
    // An integer against a quoted literal holds only for "<>" [W].
    {"1 = \"1\"", 'F', 0},
    {"1 <> \"1\"", 'T', 0},
    {"100 > \"0\"", 'F', 0},
    {"\"1\" = 1", 'F', 0},
    // A property's value is converted [W].
    {"mm = \"5\"", 'T', 0},
    {"mm = 5", 'T', 0},
    {"mm < 6", 'T', 0},
    {"5 = mm", 'T', 0},
    {"mm >= 6", 'F', 0},
    // A property that reads as no integer against an integer: only "<>" holds [D].
    {"REMOVE = 1", 'F', 0},
    {"REMOVE <> 1", 'T', 0},
    {"Missing", 'F', 0},
    {"NOT Missing", 'T', 0},
    {"Missing = \"\"", 'T', 0},
    {"REMOVE = \"ALL\"", 'T', 0},
    {"REMOVE = \"All\"", 'F', 0},
    {"REMOVE ~= \"all\"", 'T', 0},
    {"REBOOT << \"R\" AND REBOOT >> \"Suppress\" AND REBOOT >< \"allyS\"", 'T', 0},
    // Bitwise between integers [W] [D]: "><" any bit in common, "<<" the high 16 bits,
    // ">>" the low 16 bits.
    {"3 >< 1", 'T', 0},
    {"one >< two", 'F', 0},
    {"one << two", 'F', 0},
    {"one >> two", 'F', 0},
    {"one >< four", 'F', 0},
    {"one >> 1234", 'T', 0},
    {"big << 1", 'T', 0},
    {"big >> 0", 'T', 0},
    {"big >< 65536", 'T', 0},
};

}  // namespace conformance
