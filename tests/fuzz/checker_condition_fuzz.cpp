// The package checker's condition evaluator over any text a package can hold: it ends, gives the
// same answer twice, stops at its nesting limit, and NOT inverts what it can judge.
#include <map>
#include <string>

#include "condition.h"
#include "fuzz_support.h"

using zelk::checker::ConditionSymbols;
using zelk::checker::ConditionValue;
using zelk::checker::EvaluateCondition;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    ConditionSymbols symbols;
    symbols.properties["P"] = input.ConsumeRandomLengthString(32);
    symbols.properties["Q"] = input.ConsumeRandomLengthString(32);
    symbols.states["$C"] = input.ConsumeIntegralInRange(-1, 4);
    symbols.states["?C"] = input.ConsumeIntegralInRange(-1, 4);
    const std::string condition = input.ConsumeRemainingBytesAsString();

    const ConditionValue value = EvaluateCondition(condition, symbols);
    fuzz::Require(EvaluateCondition(condition, symbols) == value, "the same answer twice");
    if (zelk::checker::NestsTooDeep(condition)) {
        fuzz::Require(value == ConditionValue::Error, "past the nesting limit an error");
    }
    if (value != ConditionValue::Error && !condition.empty()) {
        const ConditionValue negated = EvaluateCondition("NOT (" + condition + ")", symbols);
        fuzz::Require(negated == ConditionValue::Error ||
                          (negated == ConditionValue::True) == (value == ConditionValue::False),
                      "NOT inverts the answer");
    }
    return 0;
}
