// The package checker's rules over any tables a package can hold (as its table reader hands
// them over): they end, every finding names a rule, and ignoring a rule removes its findings.
#include <set>
#include <string>

#include "fuzz_support.h"
#include "package_checks.h"

using zelk::checker::Finding;
using zelk::checker::PackageTables;

namespace {

const char* const kEntries[] = {
    "CA_InstallDriver",        "CA_UninstallVirtualDriver", "CA_ClearInstallDriverRegistryValues",
    "CA_UninstallLanDriver",   "CA_InstallCertificate",     "CA_UninstallOldZuraOem",
    "CA_InstallNonePnPDriver", "CA_UninstallNonePnPDriver", "CA_CheckAndSetRebootStatus"};

const char* const kStandardActions[] = {"InstallInitialize",      "InstallFiles",
                                        "InstallExecute",         "InstallFinalize",
                                        "RemoveExistingProducts", "ScheduleReboot"};

PackageTables FuzzedTables(FuzzedDataProvider& input) {
    PackageTables tables;
    const int actions = input.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < actions; ++i) {
        const std::string name = "A" + std::to_string(i);
        const bool setter = input.ConsumeBool();
        const std::string target =
            setter ? input.ConsumeRandomLengthString(96)
                   : kEntries[input.ConsumeIntegralInRange<size_t>(0, std::size(kEntries) - 1)];
        const std::string source =
            setter ? "A" + std::to_string(input.ConsumeIntegralInRange(0, actions)) : "ZelkCa";
        tables.customActions.push_back({name, input.ConsumeIntegral<int>(), source, target});
        tables.installExecuteSequence.push_back(
            {name, input.ConsumeRandomLengthString(48), input.ConsumeIntegralInRange(-2, 7000)});
    }
    for (const char* action : kStandardActions) {
        if (input.ConsumeBool()) {
            tables.installExecuteSequence.push_back(
                {action, "", input.ConsumeIntegralInRange(-2, 7000)});
        }
    }
    tables.properties[input.ConsumeRandomLengthString(12)] = input.ConsumeRandomLengthString(48);
    tables.directories["D"] = {input.ConsumeRandomLengthString(16),
                               input.ConsumeRandomLengthString(16)};
    tables.componentDirectories["C"] = input.ConsumeBool() ? "D" : "System64Folder";
    tables.files["F"] = {"C", input.ConsumeRandomLengthString(24)};
    tables.serviceControls.push_back(
        {"S", input.ConsumeRandomLengthString(16), input.ConsumeIntegral<int>()});
    tables.upgrades.push_back({input.ConsumeRandomLengthString(38), input.ConsumeIntegral<int>()});
    tables.machineRegistryKeys.push_back(input.ConsumeRandomLengthString(48));
    return tables;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const PackageTables tables = FuzzedTables(input);
    const std::vector<Finding> findings = zelk::checker::CheckPackage(tables);
    std::set<std::string> rules;
    for (const Finding& finding : findings) {
        std::string unknown;
        fuzz::Require(zelk::checker::ParseRuleList(finding.rule, unknown).has_value(),
                      "every finding names a rule");
        rules.insert(finding.rule);
    }
    if (!rules.empty()) {
        const auto ignored = *rules.begin();
        for (const Finding& finding : zelk::checker::CheckPackage(tables, {ignored})) {
            fuzz::Require(finding.rule != ignored, "an ignored rule adds no finding");
        }
    }
    return 0;
}
