// Rules: every change with a rollback partner, and the kernel service removable.
#include "package_model.h"

namespace zelk::checker::model {

// Whether action is one a partner rule is about: its export and, for a driver action, the
// INF file or the state location the rule needs.
bool PackageChecker::Fits(const DllAction& action, Export id, const char* inf,
                          bool recording) const {
    if (action.Id() != id) {
        return false;
    }
    if (recording) {
        return action.IsForward() && HasStateLocation(action);
    }
    return inf == nullptr || id != Export::InstallDriver || InfOf(action) == inf;
}

bool PackageChecker::HasStateLocation(const DllAction& driver) const {
    return DriverTokens(DataOf(driver).value.text).size() == 2;
}

// False only for two kernel-service actions whose data name different services.
bool PackageChecker::SameService(const DllAction& a, const DllAction& b) const {
    const auto isService = [](const DllAction& x) {
        return x.Id() == Export::InstallKernelService || x.Id() == Export::UninstallKernelService;
    };
    if (!isService(a) || !isService(b)) {
        return true;
    }
    const ActionData first = DataOf(a);
    const ActionData second = DataOf(b);
    return !first.found || !second.found || !first.value.exact || !second.value.exact ||
           Lower(first.value.text) == Lower(second.value.text);
}

bool PackageChecker::FitsUndone(const DllAction& action, const PartnerRule& rule) const {
    return action.IsForward() && action.InScript() &&
           Fits(action, rule.undone, rule.inf, rule.recording);
}

bool PackageChecker::FitsPartner(const DllAction& action, const PartnerRule& rule) const {
    return action.IsRollback() && Fits(action, rule.partner, rule.inf, false);
}

// The installations an action is meant for: its own condition's faults are reported on
// their own, not again through its rollback partner.
Installations PackageChecker::Intended(const DllAction& action) {
    switch (DirectionOf(action.Id())) {
        case Direction::Install:
            return action.runs & (Only(Installation::First) | Only(Installation::UpgradeInstall));
        case Direction::Remove:
            return action.runs &
                   (Only(Installation::Uninstall) | Only(Installation::UpgradeRemoval));
        default:
            return action.runs;
    }
}

// A change needs a rollback action that undoes it, scheduled before it and running
// wherever it runs: otherwise a failure after it leaves the change behind.
void PackageChecker::CheckRollbackPartner(const DllAction& action) {
    const Installations runs = Intended(action);
    for (const PartnerRule& rule : kPartners) {
        if (runs == 0 || !FitsUndone(action, rule)) {
            continue;
        }
        std::vector<const DllAction*> partners;
        for (const DllAction& other : actions_) {
            if (FitsPartner(other, rule) && SameService(other, action)) {
                partners.push_back(&other);
            }
        }
        const char* failing = DirectionOf(action.Id()) == Direction::Remove
                                  ? "should the uninstall, or an upgrade that removes this "
                                    "version, fail after it has run"
                                  : "should the installation fail after it has run";
        if (partners.empty()) {
            Error("ZCA070", action,
                  std::string("has no rollback partner: ") + failing + ", nothing " + rule.undo +
                      "; schedule a rollback action calling " + EntryOf(rule.partner) +
                      " just before it, under the same condition.");
            continue;
        }
        const auto covering =
            std::find_if(partners.begin(), partners.end(),
                         [&](const DllAction* p) { return (p->runs & runs) == runs; });
        if (covering == partners.end()) {
            const DllAction& partner = *partners.front();
            Error("ZCA071", partner,
                  ConditionOf(partner) + " does not hold on " + Describe(runs & ~partner.runs) +
                      ", where " + Quoted(action.name) + " runs: " + failing + " there, nothing " +
                      rule.undo + "; give it the condition of the action it undoes.");
        }
    }
}

void PackageChecker::CheckRollbackOrder(const DllAction& rollback) {
    for (const PartnerRule& rule : kPartners) {
        if (!FitsPartner(rollback, rule)) {
            continue;
        }
        for (const DllAction& action : actions_) {
            if (FitsUndone(action, rule) && RunTogether(action.runs, rollback.runs) &&
                action.sequence < rollback.sequence) {
                Error("ZCA072", rollback,
                      "is scheduled after " + Quoted(action.name) +
                          ", the action it undoes: should that action or one "
                          "between them fail, the rollback does not run it and "
                          "the change stays; schedule it just before " +
                          Quoted(action.name) + ".");
                return;
            }
        }
    }
}

// The kernel service needs the installer's own removal beside the action's: the action
// deletes only a running service.
void PackageChecker::CheckServiceControl() {
    std::vector<std::string> checked;
    for (const DllAction& action : actions_) {
        if (action.Id() != Export::InstallKernelService || !action.IsForward()) {
            continue;
        }
        const ActionData data = DataOf(action);
        const std::string service = Lower(data.value.text);
        if (!data.found || !data.value.exact || service.empty() ||
            std::find(checked.begin(), checked.end(), service) != checked.end()) {
            continue;
        }
        checked.push_back(service);
        CheckServiceControlRows(action, data.value.text);
        CheckNeverStartedServiceRollback(action, data.value.text);
    }
}

// CA_UninstallNonePnPDriver deletes only a running service: when the install fails after
// registering a service whose driver never started, only a rollback action of another kind
// (the system's service utility: "delete NAME") takes it away.
void PackageChecker::CheckNeverStartedServiceRollback(const DllAction& action,
                                                      const std::string& service) {
    const Installations runs = Intended(action);
    if (runs == 0) {
        return;  // its condition is the fault
    }
    const std::string deletion = "delete " + Lower(service);
    const bool undone =
        std::any_of(tables_.customActions.begin(), tables_.customActions.end(),
                    [&](const CustomActionRow& row) {
                        const SequenceRow* scheduled = Scheduled(row.action);
                        const int kind = row.type & kBaseAndSourceMask;
                        return ModeOf(row.type) == Mode::Rollback && kind != kDllInBinary &&
                               kind != kDllInFile && scheduled != nullptr &&
                               scheduled->sequence > 0 && scheduled->sequence < action.sequence &&
                               (scheduled->condition == action.condition ||
                                (RunsIn(scheduled->condition) & runs) == runs) &&
                               Lower(row.target).find(deletion) != std::string::npos;
                    });
    if (!undone) {
        Error("ZCA098", action,
              "no rollback action before it deletes the service " + Quoted(service) +
                  " when its driver never started (the service utility's \"delete " + service +
                  "\"): CA_UninstallNonePnPDriver deletes only a running service, so "
                  "after a failed installation the service stays and the next "
                  "installation fails with ERROR_SERVICE_EXISTS (1073); schedule such a "
                  "rollback action before it, under the same condition.");
    }
}

void PackageChecker::CheckServiceControlRows(const DllAction& action, const std::string& service) {
    bool deletedOnUninstall = false;
    bool found = false;
    for (const ServiceControlRow& row : tables_.serviceControls) {
        // The Name column is Formatted: "[BUS_SERVICE]" names the service the property holds.
        if (Lower(ResolveFormatted(tables_, row.name).text) != Lower(service)) {
            continue;
        }
        found = true;
        deletedOnUninstall = deletedOnUninstall || (row.event & kDeleteOnUninstall) != 0;
        if ((row.event & kDeleteOnInstall) != 0) {
            findings_.push_back(
                {"ZCA073", Severity::Error, row.id,
                 "the ServiceControl row deletes the kernel service " + Quoted(service) +
                     " on installation too (event flag 8): a repair then deletes the service "
                     "that " +
                     Quoted(action.name) +
                     " registered on the first installation, and nothing registers it "
                     "again; delete it on uninstall only (Remove=\"uninstall\").",
                 "ServiceControl", "Event"});
        }
    }
    if (!deletedOnUninstall) {
        findings_.push_back(
            {"ZCA074", Severity::Error, "ServiceControl",
             std::string(found ? "the ServiceControl rows of the kernel service "
                               : "no ServiceControl row names the kernel service ") +
                 Quoted(service) + (found ? " do not delete it" : ", which deletes it") +
                 " on uninstall: CA_UninstallNonePnPDriver deletes only a running service, "
                 "so a driver that was stopped keeps its service and the next installation "
                 "fails with ERROR_SERVICE_EXISTS (1073); add a row for it with "
                 "Stop=\"uninstall\" Remove=\"uninstall\" (event flags 32 and 128).",
             "ServiceControl", ""});
    }
}

}  // namespace zelk::checker::model
