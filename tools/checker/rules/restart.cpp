// Rules: the restart a driver asks for, under suppression too.
#include "package_model.h"

namespace zelk::checker::model {

// A restart a driver needs must survive /norestart as exit code 3010, and the decision's
// "Force" must not override the administrator's suppression.
void PackageChecker::CheckSuppression(const DllAction& decision) {
    for (const char* reboot : kSuppressingReboot) {
        ConditionSymbols symbols = SymbolsFor(Installation::First, tables_);
        symbols.properties["REBOOT"] = reboot;
        if (EvaluateCondition(decision.condition, symbols) != ConditionValue::True) {
            Error("ZCA030", decision,
                  ConditionOf(decision) +
                      " is false when restarts are suppressed (REBOOT=" + reboot +
                      ", as /norestart sets it): a restart a driver needs then "
                      "ends in neither a restart nor exit code 3010, and nobody "
                      "learns of it; let the decision run and keep the "
                      "suppression after it.");
            return;
        }
    }
    if (!SetsRebootAfter(decision)) {
        Error("ZCA031", decision,
              "sets REBOOT to Force even when the administrator suppressed restarts "
              "(/norestart, REBOOT=ReallySuppress, R or S), and no Type 51 action sets "
              "REBOOT back after it: the machine restarts against that choice; keep REBOOT "
              "in a property before the decision and give it back after it.");
        return;
    }
    const SequenceRow* schedule = Scheduled("ScheduleReboot");
    if (schedule == nullptr || schedule->sequence <= decision.sequence) {
        Error("ZCA032", decision,
              "gives a suppressed REBOOT back after deciding, but no ScheduleReboot follows "
              "it: a restart a driver needs then ends the installation with 0, not 3010, "
              "and nobody learns that it is due; schedule ScheduleReboot after the decision "
              "for when it forced a restart under suppression.");
    }
}

bool PackageChecker::SetsRebootAfter(const DllAction& decision) const {
    return std::any_of(tables_.customActions.begin(), tables_.customActions.end(),
                       [&](const CustomActionRow& row) {
                           const SequenceRow* scheduled = Scheduled(row.action);
                           return (row.type & kTypeMask) == kSetProperty &&
                                  row.source == "REBOOT" && scheduled != nullptr &&
                                  scheduled->sequence > decision.sequence;
                       });
}

void PackageChecker::CheckDecisionOrder(const DllAction& decision) {
    const std::vector<const DllAction*> drivers = Peers(decision, Export::InstallDriver);
    const auto late = std::find_if(drivers.rbegin(), drivers.rend(), [&](const DllAction* d) {
        return MomentOf(decision) < MomentOf(*d);
    });
    if (late != drivers.rend()) {
        Error("ZCA063", decision,
              "decides before " + Quoted((*late)->name) +
                  " has run: deferred actions run from the script at "
                  "InstallFinalize (or at an InstallExecute before it), so the "
                  "decision finds no outcome of it; schedule it after "
                  "InstallFinalize, or after an InstallExecute that follows the "
                  "last driver action.");
    }
    for (const DllAction* clearing : Peers(decision, Export::ClearState)) {
        if (MomentOf(*clearing) < MomentOf(decision)) {
            Error("ZCA064", decision,
                  "runs after " + Quoted(clearing->name) +
                      ", which has deleted the recorded outcomes by then: a "
                      "restart a driver asked for is never set; decide before "
                      "clearing.");
            return;
        }
    }
}

// A Type 51 value that is one property reference, "[NAME]": the administrator's REBOOT
// kept before the decision and given back after it.
bool PackageChecker::IsPropertyReference(const std::string& value) {
    return value.size() > 2 && value.front() == '[' && value.back() == ']' &&
           value.find_first_of("[]", 1) == value.size() - 1;
}

void PackageChecker::CheckRebootOverwritten() {
    for (const DllAction& decision : actions_) {
        if (decision.Id() != Export::RebootDecision || !decision.IsForward()) {
            continue;
        }
        for (const CustomActionRow& row : tables_.customActions) {
            const SequenceRow* setter = Scheduled(row.action);
            if ((row.type & kTypeMask) != kSetProperty || row.source != "REBOOT" ||
                setter == nullptr || setter->sequence <= decision.sequence ||
                !RunsBefore(decision, setter->condition) || IsPropertyReference(row.target)) {
                continue;
            }
            findings_.push_back(
                {"ZCA091", Severity::Error, row.action,
                 "sets REBOOT to " + Quoted(row.target) + " after the reboot decision " +
                     Quoted(decision.name) +
                     ": it replaces the restart the decision asked for, so a driver that "
                     "needs one gets neither a restart nor exit code 3010; set REBOOT "
                     "before the decision, or give back after it only the value kept "
                     "before it, as a reference to the property that kept it.",
                 "CustomAction", "Target"});
        }
    }
}

}  // namespace zelk::checker::model
