#include "package_checks.h"

#include <algorithm>
#include <cctype>

#include "package_model.h"

namespace zelk::checker {
namespace {

using model::PackageChecker;
using model::Quoted;

// Every rule the checker has; docs/zelk_ca_check.md has a section for each.
const char* const kRuleIds[] = {
    "ZCA001", "ZCA002", "ZCA003", "ZCA004", "ZCA005", "ZCA006", "ZCA007", "ZCA008", "ZCA010",
    "ZCA011", "ZCA012", "ZCA013", "ZCA014", "ZCA015", "ZCA020", "ZCA021", "ZCA022", "ZCA023",
    "ZCA024", "ZCA030", "ZCA031", "ZCA032", "ZCA040", "ZCA041", "ZCA042", "ZCA043", "ZCA044",
    "ZCA045", "ZCA046", "ZCA047", "ZCA048", "ZCA050", "ZCA051", "ZCA052", "ZCA053", "ZCA054",
    "ZCA055", "ZCA056", "ZCA057", "ZCA058", "ZCA060", "ZCA061", "ZCA062", "ZCA063", "ZCA064",
    "ZCA070", "ZCA071", "ZCA072", "ZCA073", "ZCA074", "ZCA080", "ZCA081", "ZCA082", "ZCA090",
    "ZCA091", "ZCA092", "ZCA093", "ZCA094", "ZCA095", "ZCA096", "ZCA097", "ZCA098",
};

// A rule list longer than this is no author's list.
constexpr std::size_t kMaxRuleList = 4096;

bool IsRuleId(const std::string& id) {
    return std::any_of(std::begin(kRuleIds), std::end(kRuleIds),
                       [&](const char* known) { return id == known; });
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
    return findings;
}

}  // namespace zelk::checker
