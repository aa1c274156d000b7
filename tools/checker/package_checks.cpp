#include "package_checks.h"

#include <algorithm>
#include <cctype>

#include "package_model.h"
#include "rule_table.h"

namespace zelk::checker {
namespace {

using model::PackageChecker;
using model::Quoted;

// A rule list longer than this is no author's list.
constexpr std::size_t kMaxRuleList = 4096;

bool IsRuleId(const std::string& id) {
    return FindRule(id) != nullptr;
}

// The findings of the end states speak where no rule names the precise mistake: in a package
// that such a rule holds in error they would mostly say its consequences again, so they wait
// until it is fixed (or ignored).
bool IsPathRule(const std::string& id) {
    const RuleEntry* rule = FindRule(id);
    return rule != nullptr && std::string(rule->family) == "rules/end_states.cpp";
}

std::vector<Finding> WithoutRepeats(std::vector<Finding> findings) {
    const bool named = std::any_of(findings.begin(), findings.end(), [](const Finding& finding) {
        return finding.severity == Severity::Error && !IsPathRule(finding.rule);
    });
    if (named) {
        findings.erase(
            std::remove_if(findings.begin(), findings.end(),
                           [](const Finding& finding) { return IsPathRule(finding.rule); }),
            findings.end());
    }
    return findings;
}

}  // namespace

std::optional<std::set<std::string>> ParseRuleList(const std::string& text, std::string& unknown) {
    std::set<std::string> rules;
    std::string id;
    const std::string bounded = text.substr(0, kMaxRuleList);
    for (std::size_t at = 0; at <= bounded.size(); ++at) {
        const char c = at < bounded.size() ? bounded[at] : ',';
        if (c != ',' && c != ';' && std::isspace(static_cast<unsigned char>(c)) == 0) {
            id += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            continue;
        }
        if (id.empty()) {
            continue;
        }
        if (!IsRuleId(id)) {
            unknown = id;
            return std::nullopt;
        }
        rules.insert(id);
        id.clear();
    }
    return rules;
}

std::vector<Finding> CheckPackage(const PackageTables& tables,
                                  const std::set<std::string>& ignored) {
    std::set<std::string> skipped = ignored;
    std::vector<Finding> findings;
    const auto listed = tables.properties.find(kIgnoreProperty);
    if (listed != tables.properties.end()) {
        std::string unknown;
        const auto rules = ParseRuleList(listed->second, unknown);
        if (rules) {
            skipped.insert(rules->begin(), rules->end());
        } else {
            findings.push_back({"ZCA008", Severity::Warning, kIgnoreProperty,
                                "names " + Quoted(unknown.substr(0, 64)) +
                                    ", which is no rule of this checker: no rule is ignored; "
                                    "list rule IDs such as ZCA048, separated by commas.",
                                "Property", "Value"});
        }
    }
    for (Finding& finding : PackageChecker(tables).Run()) {
        if (skipped.count(finding.rule) == 0) {
            findings.push_back(std::move(finding));
        }
    }
    return WithoutRepeats(std::move(findings));
}

}  // namespace zelk::checker
