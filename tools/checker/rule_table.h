// Every rule of the checker, registered once: its ID, the file of its family (below
// tools/checker), its severity and the title of its section in docs/zelk_ca_check.md. The
// console checker and the cube report only these; --ignore and ZelkCaCheckIgnore accept only
// these; a test holds the sources and the page to this table.
#pragma once

#include <algorithm>
#include <iterator>
#include <string>

#include "package_checks.h"

namespace zelk::checker {

struct RuleEntry {
    const char* id;
    const char* family;
    Severity severity;
    const char* title;
};

inline constexpr RuleEntry kRules[] = {
    {"ZCA001", "rules/package_wide.cpp", Severity::Error, "No action calls the DLL"},
    {"ZCA002", "rules/package_wide.cpp", Severity::Error, "Condition nested too deep"},
    {"ZCA003", "rules/package_wide.cpp", Severity::Error, "Formatted value nested too deep"},
    {"ZCA004", "rules/dll_identity.cpp", Severity::Info, "DLL version"},
    {"ZCA005", "rules/dll_identity.cpp", Severity::Error, "Entry point is no export"},
    {"ZCA006", "rules/dll_identity.cpp", Severity::Error, "Binary row holds no DLL"},
    {"ZCA007", "rules/dll_identity.cpp", Severity::Warning, "DLL file not at hand"},
    {"ZCA008", "package_checks.cpp", Severity::Warning, "Unknown rule in ZelkCaCheckIgnore"},
    {"ZCA010", "rules/scheduling_and_data.cpp", Severity::Error, "Reboot decision deferred"},
    {"ZCA011", "rules/scheduling_and_data.cpp", Severity::Warning,
     "Immediate decision with the no-impersonation flag"},
    {"ZCA012", "rules/scheduling_and_data.cpp", Severity::Error, "Commit action"},
    {"ZCA013", "rules/scheduling_and_data.cpp", Severity::Error, "Immediate action"},
    {"ZCA014", "rules/scheduling_and_data.cpp", Severity::Error, "Deferred but impersonated"},
    {"ZCA015", "rules/scheduling_and_data.cpp", Severity::Error, "Deferred outside the script"},
    {"ZCA020", "rules/scheduling_and_data.cpp", Severity::Error, "Invalid condition"},
    {"ZCA021", "rules/scheduling_and_data.cpp", Severity::Error,
     "Install action false on the first installation"},
    {"ZCA022", "rules/scheduling_and_data.cpp", Severity::Error, "Install action runs again"},
    {"ZCA023", "rules/scheduling_and_data.cpp", Severity::Error, "Removal false on the uninstall"},
    {"ZCA024", "rules/scheduling_and_data.cpp", Severity::Error,
     "Removal on an installation that keeps"},
    {"ZCA030", "rules/restart.cpp", Severity::Error, "Decision skipped under suppression"},
    {"ZCA031", "rules/restart.cpp", Severity::Error, "Force overrides the suppression"},
    {"ZCA032", "rules/restart.cpp", Severity::Error, "No ScheduleReboot after the decision"},
    {"ZCA040", "rules/scheduling_and_data.cpp", Severity::Error, "No data"},
    {"ZCA041", "rules/scheduling_and_data.cpp", Severity::Error, "Data too long"},
    {"ZCA042", "rules/scheduling_and_data.cpp", Severity::Error, "Data empty"},
    {"ZCA043", "rules/scheduling_and_data.cpp", Severity::Error, "Registry path with the root key"},
    {"ZCA044", "rules/scheduling_and_data.cpp", Severity::Error, "Wrong number of driver tokens"},
    {"ZCA045", "rules/scheduling_and_data.cpp", Severity::Error, "No INF path"},
    {"ZCA046", "rules/scheduling_and_data.cpp", Severity::Error, "State location without a key"},
    {"ZCA047", "rules/scheduling_and_data.cpp", Severity::Error,
     "State location without a value name"},
    {"ZCA048", "rules/scheduling_and_data.cpp", Severity::Warning,
     "INF not in the driver package table"},
    {"ZCA050", "rules/files_and_images.cpp", Severity::Warning, "No kernel image in the package"},
    {"ZCA051", "rules/files_and_images.cpp", Severity::Error, "Kernel image elsewhere"},
    {"ZCA052", "rules/scheduling_and_data.cpp", Severity::Error, "Clearing names no key"},
    {"ZCA053", "rules/scheduling_and_data.cpp", Severity::Error,
     "Clearing misses the final backslash"},
    {"ZCA054", "rules/scheduling_and_data.cpp", Severity::Warning,
     "Clearing where nothing records"},
    {"ZCA055", "rules/scheduling_and_data.cpp", Severity::Error,
     "Decision key without the final backslash"},
    {"ZCA056", "rules/scheduling_and_data.cpp", Severity::Warning,
     "Decision reads where nothing records"},
    {"ZCA057", "rules/scheduling_and_data.cpp", Severity::Error, "Service name with a path"},
    {"ZCA058", "rules/scheduling_and_data.cpp", Severity::Error, "Service name ending in .sys"},
    {"ZCA060", "rules/scheduling_and_data.cpp", Severity::Error, "Driver before InstallFiles"},
    {"ZCA061", "rules/scheduling_and_data.cpp", Severity::Error, "Certificate before InstallFiles"},
    {"ZCA062", "rules/scheduling_and_data.cpp", Severity::Error, "Certificate after a driver"},
    {"ZCA063", "rules/restart.cpp", Severity::Error, "Decision before a driver ran"},
    {"ZCA064", "rules/restart.cpp", Severity::Error, "Decision after the clearing"},
    {"ZCA070", "rules/rollback_partners.cpp", Severity::Error, "No rollback partner"},
    {"ZCA071", "rules/rollback_partners.cpp", Severity::Error,
     "Rollback partner under another condition"},
    {"ZCA072", "rules/rollback_partners.cpp", Severity::Error, "Rollback partner after its action"},
    {"ZCA073", "rules/rollback_partners.cpp", Severity::Error, "Service deleted on installation"},
    {"ZCA074", "rules/rollback_partners.cpp", Severity::Error, "Service not deleted on uninstall"},
    {"ZCA080", "rules/upgrade.cpp", Severity::Error, "RemoveExistingProducts misplaced"},
    {"ZCA081", "rules/scheduling_and_data.cpp", Severity::Warning, "Outcomes nobody reads"},
    {"ZCA082", "rules/scheduling_and_data.cpp", Severity::Warning, "Outcomes nobody clears"},
    {"ZCA090", "rules/scheduling_and_data.cpp", Severity::Error, "Install failure ignored"},
    {"ZCA091", "rules/restart.cpp", Severity::Error, "REBOOT overwritten after the decision"},
    {"ZCA092", "rules/scheduling_and_data.cpp", Severity::Error, "Two drivers record in one value"},
    {"ZCA093", "rules/files_and_images.cpp", Severity::Error, "INF in an optional feature"},
    {"ZCA094", "rules/scheduling_and_data.cpp", Severity::Error,
     "State key holds the package's own values"},
    {"ZCA095", "rules/files_and_images.cpp", Severity::Error, "INF without its driver beside it"},
    {"ZCA096", "rules/upgrade.cpp", Severity::Error, "Upgrade finds no older version"},
    {"ZCA097", "rules/package_wide.cpp", Severity::Error, "Per-user package"},
    {"ZCA098", "rules/rollback_partners.cpp", Severity::Error,
     "No rollback for a service that never started"},
    {"ZCA100", "rules/end_states.cpp", Severity::Error, "Action fails on a path"},
    {"ZCA101", "rules/end_states.cpp", Severity::Error, "Action runs without its data"},
    {"ZCA102", "rules/end_states.cpp", Severity::Error, "INF on the machine but not staged"},
    {"ZCA103", "rules/end_states.cpp", Severity::Error, "Root device without its component"},
    {"ZCA104", "rules/end_states.cpp", Severity::Error, "Kernel service without its component"},
    {"ZCA105", "rules/end_states.cpp", Severity::Error, "Restart lost on a path"},
    {"ZCA106", "rules/end_states.cpp", Severity::Warning, "Outcomes left on a path"},
    {"ZCA107", "rules/end_states.cpp", Severity::Error, "Drivers left after the uninstall"},
    {"ZCA108", "rules/end_states.cpp", Severity::Error, "Rollback leaves a change"},
    {"ZCA109", "rules/end_states.cpp", Severity::Error, "Driver before its publisher is trusted"},
    {"ZCA110", "rules/end_states.cpp", Severity::Error, "Older version kept by the upgrade"},
    {"ZCA111", "rules/package_wide.cpp", Severity::Error, "Component state without its operator"},
    {"ZCA112", "rules/upgrade.cpp", Severity::Error, "Upgrade without MigrateFeatures"},
};

inline const RuleEntry* FindRule(const std::string& id) {
    const auto rule = std::find_if(std::begin(kRules), std::end(kRules),
                                   [&](const RuleEntry& entry) { return id == entry.id; });
    return rule == std::end(kRules) ? nullptr : &*rule;
}

}  // namespace zelk::checker
