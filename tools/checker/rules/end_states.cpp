// Rules: the machine at the end of each maintenance path the path player plays. A finding
// names the path, the action and what is wrong on the machine.
#include "path_player.h"

namespace zelk::checker::model {
namespace {

// A version below this one: the last of the three fields that is not 0 lowered by one.
std::string EarlierVersion(const std::string& version) {
    int fields[3] = {0, 0, 0};
    std::size_t at = 0;
    for (int& field : fields) {
        const auto [end, error] =
            std::from_chars(version.data() + at, version.data() + version.size(), field);
        at = static_cast<std::size_t>(end - version.data()) + 1;
        if (error != std::errc() || at > version.size()) {
            break;
        }
    }
    for (int i = 2; i >= 0; --i) {
        if (fields[i] > 0) {
            --fields[i];
            break;
        }
    }
    return std::to_string(fields[0]) + "." + std::to_string(fields[1]) + "." +
           std::to_string(fields[2]);
}

// The machine as an earlier version of this package left it.
Machine AsEarlierVersion(const Machine& machine, const std::string& version) {
    Machine earlier = machine;
    for (auto& [component, clients] : earlier.clients) {
        if (clients.erase(kThisProduct) != 0) {
            clients.insert(kEarlierProduct);
        }
    }
    earlier.products.clear();
    earlier.versions.clear();
    const auto installed = machine.products.find(kThisProduct);
    if (installed != machine.products.end()) {
        earlier.products[kEarlierProduct] = installed->second;
        earlier.versions[kEarlierProduct] = version;
    }
    return earlier;
}

// What a rollback left different from the machine before the path; "" when nothing.
std::string Difference(const Machine& before, const Machine& after) {
    std::vector<std::string> changes;
    for (const auto& [id, count] : after.devices) {
        const auto was = before.devices.find(id);
        if (count > 0 && (was == before.devices.end() || was->second == 0)) {
            changes.push_back("the device " + id + " stays");
        }
    }
    for (const auto& [id, count] : before.devices) {
        const auto is = after.devices.find(id);
        if (count > 0 && (is == after.devices.end() || is->second == 0)) {
            changes.push_back("the device " + id + " is gone");
        }
    }
    for (const auto& [name, service] : after.services) {
        const auto was = before.services.find(name);
        if (was == before.services.end()) {
            changes.push_back("the service " + Quoted(name) +
                              (service.marked ? " stays, marked for deletion until a restart"
                                              : " stays registered"));
        } else if (was->second.running && !service.running) {
            changes.push_back("the service " + Quoted(name) + " is left stopped");
        }
    }
    for (const auto& [name, service] : before.services) {
        if (after.services.count(name) == 0) {
            changes.push_back("the service " + Quoted(name) + " is gone");
        }
    }
    for (const auto& [product, features] : before.products) {
        if (after.products.count(product) == 0) {
            changes.emplace_back(product == kEarlierProduct ? "the earlier version is gone"
                                                            : "the product is gone");
        }
    }
    if (after.stateValues != before.stateValues) {
        changes.emplace_back("recorded outcomes stay in the state key");
    }
    std::string text;
    for (std::size_t i = 0; i < changes.size() && i < 3; ++i) {
        text += (i == 0 ? "" : ", ") + changes[i];
    }
    return text;
}

// A package of hundreds of features or switches is played on the first of them only, so that
// none can make the checker run for hours.
constexpr std::size_t kMaxFeaturePaths = 32;
constexpr std::size_t kMaxSwitchPaths = 8;

bool Suppresses(const std::string& reboot) {
    return !reboot.empty() &&
           (reboot[0] == 'R' || reboot[0] == 'r' || reboot[0] == 'S' || reboot[0] == 's');
}

bool Forces(const std::string& reboot) {
    return !reboot.empty() && (reboot[0] == 'F' || reboot[0] == 'f');
}

}  // namespace

// Why the action of this export did or did not do its work on the path: its condition, or
// that it ran.
std::string PackageChecker::WhyNotRun(const SessionResult& result, Export id,
                                      const std::string& inf) const {
    const DllAction* named = nullptr;
    for (const DllAction& action : actions_) {
        if (action.Id() != id || !action.IsForward() || (!inf.empty() && InfOf(action) != inf)) {
            continue;
        }
        named = &action;
        if (result.ran.count(action.name) != 0) {
            return Quoted(action.name) + " runs, but does not do it";
        }
    }
    if (named == nullptr) {
        return std::string("no action calls ") + EntryOf(id) + " for it";
    }
    return Quoted(named->name) + " does not run: " + ConditionOf(*named) + " is false on this path";
}

// The forward action of the export that ran on the path; "" for none.
std::string PackageChecker::RanOnPath(const SessionResult& result, Export id) const {
    for (const DllAction& action : actions_) {
        if (action.Id() == id && action.IsForward() && result.ran.count(action.name) != 0) {
            return action.name;
        }
    }
    return "";
}

void PackageChecker::PathError(const char* rule, const std::string& subject,
                               const std::string& message, Severity severity) {
    const std::string key = std::string(rule) + "|" + subject;
    ++pathViolations_;
    if (!pathReported_.insert(key).second) {
        return;
    }
    const bool isAction =
        std::any_of(tables_.customActions.begin(), tables_.customActions.end(),
                    [&](const CustomActionRow& row) { return row.action == subject; });
    findings_.push_back({rule, severity, subject, message, isAction ? "CustomAction" : "Component",
                         isAction ? "Action" : "Component"});
}

// An Upgrade row of the product's own UpgradeCode that does more than detect: the author
// means a new version to replace the older one.
bool PackageChecker::MeantToRemoveOlderVersions() const {
    const auto code = tables_.properties.find("UpgradeCode");
    return code != tables_.properties.end() &&
           std::any_of(tables_.upgrades.begin(), tables_.upgrades.end(),
                       [&](const UpgradeRow& row) {
                           return Lower(row.upgradeCode) == Lower(code->second) &&
                                  (row.attributes & kUpgradeOnlyDetect) == 0;
                       });
}

// Not an action's finding: the older product is still registered after the upgrade.
void PackageChecker::ReportOlderVersionKept(const std::string& path) {
    ++pathViolations_;
    if (!pathReported_.insert("ZCA110|RemoveExistingProducts").second) {
        return;
    }
    findings_.push_back(
        {"ZCA110", Severity::Error, "RemoveExistingProducts",
         path + ": the older version stays installed beside this one: no RemoveExistingProducts "
                "runs, or no Upgrade row finds it; its entry stays in Programs and Features and "
                "its removal later takes away what the two versions share. Schedule "
                "RemoveExistingProducts between InstallExecute and InstallFinalize, with an "
                "Upgrade row of this UpgradeCode that finds the older versions.",
         "InstallExecuteSequence", "Action"});
}

std::string PackageChecker::SubjectFor(Export id, const std::string& inf) const {
    for (const DllAction& action : actions_) {
        if (action.Id() == id && action.IsForward() && (inf.empty() || InfOf(action) == inf)) {
            return action.name;
        }
    }
    return "InstallExecuteSequence";
}

void PackageChecker::JudgePath(const PathPlayer& player, const Played& played) {
    const SessionResult& result = played.result;
    const std::string& path = played.path;
    if (result.refused) {
        return;
    }
    // A path that fails by itself is reported as that failure; its rollbacks say it again.
    for (const auto& [failure, machine] :
         result.failure ? std::vector<std::pair<Failure, Machine>>{} : result.failures) {
        const std::string left = Difference(played.before, machine);
        if (left.empty()) {
            continue;
        }
        if (!result.rollbackDisabledBy.empty()) {
            PathError("ZCA108", result.rollbackDisabledBy,
                      Text(path, ", ", Quoted(failure.action), " failing: ",
                           Quoted(result.rollbackDisabledBy), " has turned rollback off, so ", left,
                           "; leave rollback on (the include refuses to install without it)."));
            continue;
        }
        PathError("ZCA108", failure.action,
                  Text(path, ", ", Quoted(failure.action), " failing: after the rollback ", left,
                       "; every change needs a rollback action scheduled before it, under the "
                       "same condition, that can undo it with the installer's rights."));
    }
    std::set<std::string> withoutData;
    for (const RunNote& note : result.notes) {
        if (note.problem.rfind("runs without data", 0) == 0) {
            withoutData.insert(note.action);
            PathError("ZCA101", note.action,
                      path + ": it " + note.problem +
                          "; its Type 51 action must run wherever it runs (the same condition).");
        } else if (note.problem.rfind("puts the publisher's", 0) == 0) {
            PathError("ZCA109", note.action,
                      path + ": it " + note.problem +
                          ", whose publisher Windows did not trust yet; run the certificate "
                          "action synchronously (Return=\"check\") before the driver actions.");
        }
    }
    if (result.failure && withoutData.count(result.failure->action) != 0) {
        return;  // reported as the missing data
    }
    if (result.failure) {
        PathError(
            "ZCA100", result.failure->action,
            path + ": it " +
                (result.failure->why.empty() ? "fails with " + std::to_string(result.failure->code)
                                             : result.failure->why) +
                ", and the installation fails and rolls back.");
        return;
    }
    const Machine& machine = played.after;
    if (played.spec.upgrade && machine.products.size() > 1 && MeantToRemoveOlderVersions()) {
        ReportOlderVersionKept(path);
    }
    for (const auto& [component, inf] : player.InfComponents()) {
        if (machine.Holds(component) && machine.staged.count(inf) == 0) {
            PathError("ZCA102", SubjectFor(Export::InstallDriver, inf),
                      Text(path, ": ", Quoted(inf), " of component ", Quoted(component),
                           " is on the machine but never staged: ",
                           WhyNotRun(result, Export::InstallDriver, inf),
                           "; condition the driver action and its data on the component ($",
                           component, "=3 AND NOT ?", component, "=3)."));
        }
    }
    for (const auto& [component, hardwareId] : player.RootDevices()) {
        const bool owned = machine.Holds(component);
        const auto device = machine.devices.find(hardwareId);
        const bool exists = device != machine.devices.end() && device->second > 0;
        const std::string inf = player.InfComponents().at(component);
        const Export removal =
            inf == kVirtualInf ? Export::UninstallVirtualDriver : Export::UninstallLanDriver;
        const std::string remover = RanOnPath(result, removal);
        const bool installRan =
            std::any_of(actions_.begin(), actions_.end(), [&](const DllAction& action) {
                return action.Id() == Export::InstallDriver && action.IsForward() &&
                       InfOf(action) == inf && result.ran.count(action.name) != 0;
            });
        if (owned && !exists && installRan && !remover.empty()) {
            // Typically the older version's removal inside an upgrade, after this version took
            // the device over, run on a condition that is not the component's.
            PathError("ZCA103", remover,
                      Text(path, ": ", hardwareId, " is missing while component ",
                           Quoted(component), " is installed: ", Quoted(remover),
                           " runs on this path and takes it away; condition it on the component (?",
                           component, "=3 AND $", component, "=2)."));
        } else if (owned && !exists) {
            PathError(
                "ZCA103", SubjectFor(Export::InstallDriver, inf),
                Text(path, ": ", hardwareId, " is missing while component ", Quoted(component),
                     " is installed: ", WhyNotRun(result, Export::InstallDriver, inf), "."));
        } else if (!owned && exists) {
            PathError("ZCA103", SubjectFor(removal, ""),
                      Text(path, ": ", hardwareId, " stays although no installed product holds ",
                           "component ", Quoted(component), ": ", WhyNotRun(result, removal, ""),
                           "; condition it on the component (?", component, "=3 AND $", component,
                           "=2)."));
        }
    }
    for (const auto& [service, component] : player.KernelServices()) {
        if (component.empty()) {
            continue;
        }
        const bool owned = machine.Holds(component);
        const auto found = machine.services.find(service);
        const std::string removedBy = RanOnPath(result, Export::UninstallKernelService);
        if (owned && found == machine.services.end() && !removedBy.empty()) {
            PathError(
                "ZCA104", removedBy,
                Text(path, ": the kernel service ", Quoted(service), " is removed while component ",
                     Quoted(component), " stays installed: ", Quoted(removedBy),
                     " runs on this path; condition it on the component (?", component, "=3 AND $",
                     component, "=2)."));
        } else if (owned && found != machine.services.end() && found->second.marked) {
            PathError("ZCA104", "ServiceControl",
                      path + ": the kernel service " + Quoted(service) +
                          " is marked for deletion while component " + Quoted(component) +
                          " is installed: the installer deleted it while its driver ran, so it "
                          "is gone after the next restart and nothing registers it again; "
                          "delete it on uninstall only.");
        } else if (owned && (found == machine.services.end() || !found->second.running)) {
            const bool registered = found != machine.services.end();
            PathError("ZCA104",
                      registered ? "ServiceControl" : SubjectFor(Export::InstallKernelService, ""),
                      path + ": the kernel service " + Quoted(service) +
                          (registered ? " is left stopped while component " + Quoted(component) +
                                            " is installed: nothing starts it again after the "
                                            "installer stopped it; stop it on uninstall only"
                                      : " is missing while component " + Quoted(component) +
                                            " is installed: " +
                                            WhyNotRun(result, Export::InstallKernelService, "")) +
                          ".");
        } else if (!owned && found != machine.services.end()) {
            PathError("ZCA104", SubjectFor(Export::UninstallKernelService, ""),
                      path + ": the kernel service " + Quoted(service) +
                          " stays registered although component " + Quoted(component) +
                          " and its image are gone: " +
                          WhyNotRun(result, Export::UninstallKernelService, "") +
                          ", and the next installation fails with ERROR_SERVICE_EXISTS (1073).");
        }
    }
    if (result.outcomesRecorded > 0) {
        const std::string initial =
            played.spec.commandLine.count("REBOOT") ? played.spec.commandLine.at("REBOOT") : "";
        const bool asked = Suppresses(initial) ? result.rebootScheduled && Suppresses(result.reboot)
                                               : Forces(result.reboot) || result.rebootScheduled;
        if (!asked && Suppresses(initial) && Forces(result.reboot)) {
            PathError("ZCA105", SubjectFor(Export::RebootDecision, ""),
                      path +
                          ": the installation ends with REBOOT \"Force\": the machine "
                          "restarts although the administrator suppressed restarts, since "
                          "the suppression is not given back after the decision.");
        } else if (!asked) {
            std::string why = WhyNotRun(result, Export::RebootDecision, "");
            for (const RunNote& note : result.notes) {
                if (note.problem == "sets REBOOT" &&
                    result.ran.count(SubjectFor(Export::RebootDecision, "")) != 0) {
                    why = Quoted(note.action) + " sets REBOOT to " + Quoted(result.reboot) +
                          " after the decision";
                }
            }
            PathError("ZCA105", SubjectFor(Export::RebootDecision, ""),
                      path +
                          ": a driver action records that a restart is needed, but the "
                          "installation ends with REBOOT " +
                          Quoted(result.reboot) +
                          (result.rebootScheduled ? "" : " and no ScheduleReboot") + ": " + why +
                          "; the restart is lost.");
        }
    }
    if (!machine.stateValues.empty()) {
        PathError("ZCA106", SubjectFor(Export::ClearState, ""),
                  path + ": outcomes stay in the state key (" + *machine.stateValues.begin() +
                      "): " + WhyNotRun(result, Export::ClearState, "") +
                      ", and the next installation's decision forces a restart for them.",
                  Severity::Warning);
    }
    if (played.spec.request == Request::Uninstall && !played.spec.removedByUpgrade) {
        for (const std::string& component : player.DriverComponents()) {
            if (result.kept.count(component) != 0) {
                PathError("ZCA107", component,
                          path + ": component " + Quoted(component) +
                              " stays on the machine with its drivers: its feature is disabled "
                              "on this run (its Condition rows give it level 0 without the "
                              "properties of the installation), so the uninstall keeps it; "
                              "condition the feature on what the machine tells, or keep the "
                              "property (a registry search).");
            }
        }
    }
}

// The first property a condition reads that neither the package nor Windows sets: one only
// the command line can give.
std::string PackageChecker::CommandLineProperty(const std::string& condition,
                                                const PathPlayer& player) {
    static const std::set<std::string> kInstallerSets = {
        "Installed", "REMOVE", "REINSTALL", "ADDLOCAL", "UPGRADINGPRODUCTCODE", "REBOOT"};
    const Properties known = player.BaseProperties();
    for (const PropertyRead& read : PropertiesRead(condition)) {
        if (known.count(read.name) == 0 && kInstallerSets.count(read.name) == 0) {
            return read.name;
        }
    }
    return "";
}

void PackageChecker::CheckPaths() {
    if (actions_.empty()) {
        return;
    }
    const PathPlayer player(tables_, actions_);
    std::vector<Played> played;
    const auto play = [&](const std::string& path, const SessionSpec& spec, const Machine& from) {
        Played one{path, spec, from, from, {}, true};
        one.result = player.Play(spec, one.after);
        const int known = pathViolations_;
        JudgePath(player, one);
        one.clean = pathViolations_ == known && !one.result.failure && !one.result.refused;
        return one;
    };
    // With failures at each point of the script where an action can fail, and at its end.
    const auto failing = [&](const std::string& path, SessionSpec spec, const Machine& from) {
        spec.failures = true;
        return play(path, spec, from);
    };
    const Machine empty;
    const Played first = failing("first installation", {}, empty);
    SessionSpec every;
    every.request = Request::FirstEvery;
    const Played all =
        failing("first installation with every feature (ADDLOCAL=ALL)", every, empty);
    SessionSpec quiet;
    quiet.commandLine["REBOOT"] = "ReallySuppress";
    play("first installation with REBOOT=ReallySuppress", quiet, empty);
    if (first.result.failure || first.result.refused) {
        return;
    }
    SessionSpec repair;
    repair.request = Request::Repair;
    play("repair", repair, first.after);
    SessionSpec uninstall;
    uninstall.request = Request::Uninstall;
    failing("uninstall", uninstall, first.after);
    if (all.clean && all.after.products != first.after.products) {
        play("uninstall after every feature", uninstall, all.after);
    }
    // Each feature that holds a driver, added to or removed from the first installation.
    std::set<std::string> features;
    for (const std::string& component : player.DriverComponents()) {
        const auto [from, to] = tables_.componentFeatures.equal_range(component);
        for (auto feature = from; feature != to && features.size() < kMaxFeaturePaths; ++feature) {
            features.insert(feature->second);
        }
    }
    const auto registered = first.after.products.find(kThisProduct);
    if (registered == first.after.products.end()) {
        return;  // no InstallFinalize: nothing was installed
    }
    const std::set<std::string>& installed = registered->second;
    for (const std::string& feature : features) {
        if (installed.count(feature) == 0) {
            SessionSpec change;
            change.feature = feature;
            change.request = Request::Add;
            failing("feature " + feature + " added", change, first.after);
        }
    }
    for (const std::string& feature : features) {
        SessionSpec change;
        change.feature = feature;
        if (installed.count(feature) == 0) {
            continue;
        }
        // Without another feature, removing this one or leaving it out leaves no product.
        if (tables_.features.size() < 2) {
            continue;
        }
        change.request = Request::Remove;
        const Played removed = failing("feature " + feature + " removed", change, first.after);
        if (removed.clean) {
            change.request = Request::Add;
            play("feature " + feature + " added again", change, removed.after);
        }
        // Left out of the first installation by the user, added later.
        SessionSpec without;
        without.feature = feature;
        const Played partial =
            play("first installation without feature " + feature, without, empty);
        if (partial.clean) {
            change.request = Request::Add;
            play("feature " + feature + " added after a first installation without it", change,
                 partial.after);
        }
    }
    // A feature a command-line property enables, installed with it and removed without it
    // (from Programs and Features); a component a property leaves out.
    std::vector<std::pair<std::string, bool>> switches;
    for (const FeatureCondition& row : tables_.featureConditions) {
        if (row.level > 0) {
            switches.emplace_back(CommandLineProperty(row.condition, player), true);
        }
    }
    for (const auto& [component, condition] : tables_.componentConditions) {
        switches.emplace_back(CommandLineProperty(condition, player), false);
    }
    std::set<std::string> tried;
    for (const auto& [property, enablesFeature] : switches) {
        if (property.empty() || tried.size() == kMaxSwitchPaths || !tried.insert(property).second) {
            continue;
        }
        SessionSpec switched;
        switched.commandLine[property] = "1";
        const Played with = play("first installation with " + property + "=1", switched, empty);
        if (enablesFeature && with.clean) {
            play("uninstall from Programs and Features after an installation with " + property +
                     "=1",
                 uninstall, with.after);
        }
    }
    // A major upgrade from an earlier version, and from a rebuild of this one.
    const auto version = tables_.properties.find("ProductVersion");
    if (version == tables_.properties.end()) {
        return;
    }
    SessionSpec upgrade;
    upgrade.upgrade = true;
    const std::string earlier = EarlierVersion(version->second);
    const Played upgraded = failing("major upgrade from version " + earlier, upgrade,
                                    AsEarlierVersion(first.after, earlier));
    if (upgraded.clean) {
        failing("major upgrade from version " + earlier + ", then the uninstall", uninstall,
                upgraded.after);
    }
    play("major upgrade from a rebuild of version " + version->second, upgrade,
         AsEarlierVersion(first.after, version->second));
}

}  // namespace zelk::checker::model
