// The package model: the actions, their data and the installations each runs in.
#include "package_model.h"

namespace zelk::checker::model {

PackageChecker::PackageChecker(const PackageTables& tables) : tables_(tables), symbols_(tables) {
    for (const SequenceRow& row : tables.installExecuteSequence) {
        sequence_[row.action] = &row;
        if (row.action == "InstallExecute" || row.action == "InstallExecuteAgain" ||
            row.action == "InstallFinalize") {
            runPoints_.push_back(row.sequence);
        }
    }
    std::sort(runPoints_.begin(), runPoints_.end());
    CollectDllActions();
    CollectStateLocations();
}

std::vector<Finding> PackageChecker::Run() {
    CheckNesting();
    if (actions_.empty()) {
        ReportNoAction();
        return std::move(findings_);
    }
    for (const DllAction& action : actions_) {
        // The data check follows the execution: an action run in the wrong way reads
        // another property, and fixing that comes first.
        if (CheckExecution(action)) {
            CheckData(action);
        }
        CheckCondition(action);
        CheckOrder(action);
        CheckRollbackPartner(action);
        CheckReturnIgnored(action);
    }
    CheckCounterparts();
    CheckSharedStateValues();
    CheckRebootOverwritten();
    CheckDriverImagesBesideInfs();
    CheckPerMachine();
    CheckUpgradeFindsOlderVersions();
    CheckServiceControl();
    CheckRemoveExistingProducts();
    CheckLostActionState();
    CheckMigrateFeatures();
    CheckPaths();
    return std::move(findings_);
}

void PackageChecker::Error(const char* rule, const DllAction& action, const std::string& message) {
    findings_.push_back({rule, Severity::Error, action.name, message, "CustomAction", "Action"});
}

void PackageChecker::Warning(const char* rule, const DllAction& action,
                             const std::string& message) {
    findings_.push_back({rule, Severity::Warning, action.name, message, "CustomAction", "Action"});
}

// Where an action runs: an empty condition holds everywhere, an invalid one is reported
// where the action's condition is checked and counts as holding everywhere.
// Judged once per condition text: every rule asks again.
Installations PackageChecker::RunsIn(const std::string& condition) const {
    const auto known = runsIn_.find(condition);
    if (known != runsIn_.end()) {
        return known->second;
    }
    const Installations runs = InstallationsOf(condition, symbols_).value_or(kEveryInstallation);
    runsIn_.emplace(condition, runs);
    return runs;
}

const SequenceRow* PackageChecker::Scheduled(const std::string& action) const {
    const auto row = sequence_.find(action);
    return row == sequence_.end() ? nullptr : row->second;
}

void PackageChecker::CollectStateLocations() {
    for (const DllAction& action : actions_) {
        if (action.Id() != Export::InstallDriver || !action.IsForward()) {
            continue;
        }
        const ActionData data = DataOf(action);
        const std::vector<std::string> tokens = DriverTokens(data.value.text);
        if (data.found && data.value.exact && tokens.size() == 2) {
            const auto [key, value] = SplitAtLastBackslash(tokens[1]);
            locations_.push_back({Lower(WithoutFinalBackslashes(key)), Lower(value)});
        }
    }
}

Moment PackageChecker::MomentOf(int sequence, bool inScript) const {
    if (!inScript) {
        return {sequence, 1, 0};
    }
    const auto next = std::upper_bound(runPoints_.begin(), runPoints_.end(), sequence);
    return {next == runPoints_.end() ? INT_MAX : *next, 0, sequence};
}

Moment PackageChecker::MomentOf(const DllAction& action) const {
    return MomentOf(action.sequence, action.InScript());
}

// The property the action reads its data from: a deferred action's is named after it.
std::string PackageChecker::DataProperty(const DllAction& action) {
    return action.InScript() ? action.name : "CustomActionData";
}

// Whether a setter with this condition runs where the action does; one that shares the
// action's condition does, even where that condition never holds.
bool PackageChecker::RunsBefore(const DllAction& action, const std::string& setterCondition) const {
    return setterCondition == action.condition || RunTogether(action.runs, RunsIn(setterCondition));
}

// The value the nearest Type 51 action before it gives the action's property, or the
// Property table's.
// Found once per action: every rule about its data asks again.
ActionData PackageChecker::DataOf(const DllAction& action) const {
    const auto known = dataOf_.find(action.name);
    if (known != dataOf_.end()) {
        return known->second;
    }
    return dataOf_.emplace(action.name, FindDataOf(action)).first->second;
}

ActionData PackageChecker::FindDataOf(const DllAction& action) const {
    const std::string property = DataProperty(action);
    ActionData data;
    int nearest = INT_MIN;
    for (const CustomActionRow& row : tables_.customActions) {
        const SequenceRow* setter = Scheduled(row.action);
        if ((row.type & kTypeMask) != kSetProperty || row.source != property || setter == nullptr ||
            setter->sequence <= 0 || setter->sequence >= action.sequence ||
            setter->sequence <= nearest || !RunsBefore(action, setter->condition)) {
            continue;
        }
        nearest = setter->sequence;
        data = {true, "the Type 51 action " + Quoted(row.action),
                ResolveFormatted(tables_, row.target)};
    }
    const auto fixed = tables_.properties.find(property);
    if (!data.found && fixed != tables_.properties.end()) {
        data = {true, "the Property table", {fixed->second, true}};
    }
    return data;
}

// The non-rollback actions of the export that can run in the same installation.
std::vector<const DllAction*> PackageChecker::Peers(const DllAction& action, Export id) const {
    std::vector<const DllAction*> peers;
    for (const DllAction& other : actions_) {
        if (other.Id() == id && other.IsForward() && RunTogether(action.runs, other.runs)) {
            peers.push_back(&other);
        }
    }
    return peers;
}

std::string PackageChecker::InfOf(const DllAction& driver) const {
    const std::vector<std::string> tokens = DriverTokens(DataOf(driver).value.text);
    return tokens.empty() ? "" : Lower(SplitAtLastBackslash(tokens[0]).second);
}

}  // namespace zelk::checker::model
