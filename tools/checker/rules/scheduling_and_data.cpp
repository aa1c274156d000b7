// Rules: how each action runs, when, under which condition, and what data it reads.
#include "package_model.h"

namespace zelk::checker::model {

// False when the action runs immediately where it must be deferred, or the other way.
bool PackageChecker::CheckExecution(const DllAction& action) {
    if (action.Id() == Export::RebootDecision) {
        if (action.InScript()) {
            Error("ZCA010", action,
                  "the reboot decision is deferred: a deferred action cannot set REBOOT, so "
                  "a restart a driver asked for is silently lost; make it immediate "
                  "(Execute=\"immediate\") and schedule it once the driver actions have run.");
            return false;
        }
        if ((action.type & kNoImpersonate) != 0) {
            Warning("ZCA011", action,
                    std::string("the immediate reboot decision carries the "
                                "no-impersonation flag (2048), which only a deferred "
                                "action uses and validation tools flag; drop the "
                                "flag.") +
                        kWixlAdvice);
        }
        return true;
    }
    if (action.RunMode() == Mode::Commit) {
        Error("ZCA012", action,
              "is a commit action (type flag 512): the installer runs it only after "
              "InstallFinalize has succeeded, and not at all when rollback is disabled; make "
              "it deferred (type flag 1024), or a rollback action (1280) if it is to undo a "
              "failed installation.");
    }
    if (!action.InScript()) {
        Error("ZCA013", action,
              std::string("runs as an immediate action: it then has only the rights of the "
                          "user who started the installation and is not part of its "
                          "rollback; ") +
                  (LooksBuiltByBareWixl(action.type)
                       ? std::string("its type keeps the ") +
                             ((action.type & kRollback) != 0 ? "rollback" : "no-impersonation") +
                             " flag of a deferred action, as wixl writes it." + kWixlAdvice
                       : "make it deferred (Execute=\"deferred\", type flag 1024) without "
                         "impersonation."));
        return false;
    }
    if ((action.type & kNoImpersonate) == 0) {
        Error("ZCA014", action,
              "is deferred but impersonated: it runs with the user's rights and cannot "
              "change drivers, services or HKEY_LOCAL_MACHINE; add Impersonate=\"no\" (type "
              "flag 2048).");
    }
    const SequenceRow* initialize = Scheduled("InstallInitialize");
    if (std::get<0>(MomentOf(action)) == INT_MAX ||
        (initialize != nullptr && action.sequence < initialize->sequence)) {
        Error("ZCA015", action,
              "is deferred but not scheduled between InstallInitialize and InstallFinalize, "
              "where the installer writes deferred actions into its script.");
    }
    return true;
}

std::string PackageChecker::ConditionOf(const DllAction& action) {
    return action.condition.empty() ? "its empty condition"
                                    : "its condition " + Quoted(action.condition);
}

void PackageChecker::CheckCondition(const DllAction& action) {
    if (!action.conditionValid && NestsTooDeep(action.condition)) {
        return;  // reported with the nesting
    }
    if (!action.conditionValid) {
        Error("ZCA020", action,
              ConditionOf(action) +
                  " is no valid installer condition: the installer cannot evaluate "
                  "it (MSICONDITION_ERROR), so the action does not run as meant.");
        return;
    }
    // A rollback action is judged against the action it undoes; so is one meant as a
    // rollback action that wixl wrote as an immediate one.
    if (!action.IsForward() ||
        (LooksBuiltByBareWixl(action.type) && (action.type & kRollback) != 0)) {
        return;
    }
    switch (DirectionOf(action.Id())) {
        case Direction::Install:
            CheckInstallCondition(action);
            break;
        case Direction::Remove:
            CheckRemovalCondition(action);
            break;
        default:
            break;
    }
}

void PackageChecker::CheckInstallCondition(const DllAction& action) {
    if ((action.runs & kInstalling) == 0) {
        Error("ZCA021", action,
              ConditionOf(action) +
                  " is false on a first installation: the action never runs where "
                  "it is needed; NOT Installed runs it on the first installation.");
        return;
    }
    const Installations again = action.runs & kAlreadyInstalled;
    if (again != 0) {
        Error("ZCA022", action,
              ConditionOf(action) + " also holds on " + Describe(again) +
                  ", which then run it again: " + RerunEffect(action.Id()) +
                  "; NOT Installed limits it to the first installation.");
        return;
    }
    if (action.Id() == Export::RebootDecision) {
        CheckSuppression(action);
    }
}

void PackageChecker::CheckRemovalCondition(const DllAction& action) {
    if ((action.runs & kRemoving) == 0) {
        Error("ZCA023", action,
              ConditionOf(action) +
                  " is false on the uninstall: the action never runs, and what it "
                  "removes stays on the machine; REMOVE=\"ALL\" runs it on the "
                  "uninstall.");
    } else if ((action.runs & kKeeping) != 0) {
        Error("ZCA024", action,
              ConditionOf(action) + " also holds on " + Describe(action.runs & kKeeping) +
                  ", where it removes what that installation keeps; "
                  "REMOVE=\"ALL\" limits it to the uninstall.");
    }
}

void PackageChecker::CheckData(const DllAction& action) {
    const char* withoutData = action.rule->withoutData;
    if (withoutData == nullptr) {
        return;
    }
    const ActionData data = DataOf(action);
    const std::string property = DataProperty(action);
    if (!data.found) {
        Error("ZCA040", action,
              "no Type 51 action sets the property " + Quoted(property) +
                  " before it, so it receives no data and " + withoutData +
                  "; set that property with a Type 51 action scheduled before it.");
        return;
    }
    const std::string& text = data.value.text;
    const std::string set = "its data (set by " + data.origin + ")";
    if (text.size() > kMaxDataLength) {
        Error("ZCA041", action,
              set + " is " + (data.value.exact ? "" : "at least ") + std::to_string(text.size()) +
                  " characters long with the folders at their default locations; "
                  "the action reads a value of more than 259 characters as empty "
                  "and then " +
                  withoutData + ".");
        return;
    }
    if (data.value.exact && action.Id() != Export::InstallDriver && (text.empty() || text == "0")) {
        Error("ZCA042", action,
              set + " is " + (text.empty() ? "empty" : "\"0\"") +
                  ", which the action reads as no data: it " + withoutData + ".");
        return;
    }
    CheckGrammar(action, data.value);
}

void PackageChecker::CheckGrammar(const DllAction& action, const ResolvedText& value) {
    switch (action.Id()) {
        case Export::InstallDriver:
            CheckDriverData(action, value);
            break;
        case Export::ClearState:
            CheckClearingData(action, value);
            break;
        case Export::RebootDecision:
            CheckDecisionData(action, value);
            break;
        case Export::InstallKernelService:
            if (CheckServiceName(action, value.text) && value.exact && action.IsForward()) {
                CheckKernelImage(action, value.text);
            }
            break;
        case Export::UninstallKernelService:
            CheckServiceName(action, value.text);
            break;
        default:
            break;
    }
}

// False, after an error, for a registry path that names the root key itself.
bool PackageChecker::CheckRelativeToMachine(const DllAction& action, const std::string& path) {
    if (StartsWithNoCase(path, "hklm\\") || StartsWithNoCase(path, "hkey_local_machine\\")) {
        Error("ZCA043", action,
              "its registry path " + Quoted(path) +
                  " starts with the root key: the action's paths lie below "
                  "HKEY_LOCAL_MACHINE already, so give it starting at SOFTWARE.");
        return false;
    }
    return true;
}

void PackageChecker::CheckDriverData(const DllAction& action, const ResolvedText& value) {
    const std::vector<std::string> tokens = DriverTokens(value.text);
    if (tokens.size() > 2 || (value.exact && tokens.empty())) {
        Error("ZCA044", action,
              "its data holds " + std::to_string(tokens.size()) +
                  " \"@\"-separated tokens other than \"0\" where the action takes "
                  "one (the INF path) or two (INF@key path\\value name): it fails "
                  "with ERROR_INVALID_DATA (13).");
        return;
    }
    if (tokens.empty()) {
        return;
    }
    if (value.exact && !EndsWithNoCase(tokens[0], ".inf")) {
        Error("ZCA045", action,
              "its first token " + Quoted(tokens[0]) +
                  " is not the path of an INF file: no driver package is installed "
                  "and nothing tells the user.");
    } else if (value.exact) {
        CheckDriverPackageKnown(action, tokens[0]);
    }
    if (tokens.size() < 2 || !CheckRelativeToMachine(action, tokens[1])) {
        return;
    }
    const auto [key, name] = SplitAtLastBackslash(tokens[1]);
    if (WithoutFinalBackslashes(key).empty()) {
        Error("ZCA046", action,
              "its state location " + Quoted(tokens[1]) +
                  " holds no key path before its last backslash: it fails with "
                  "ERROR_INVALID_DATA (13).");
    } else if (name.empty()) {
        Error("ZCA047", action,
              "its state location " + Quoted(tokens[1]) +
                  " names no value after its last backslash: the outcome goes to "
                  "the key's default value, where the next driver action "
                  "overwrites it; write key path\\value name.");
    }
}

// The DLL updates present devices, marks absent ones and learns of a restart only for the
// INF files of its driver package table; any other INF file it only stages.
void PackageChecker::CheckDriverPackageKnown(const DllAction& action, const std::string& inf) {
    const std::string name = Lower(FileNameOfPath(inf));
    if (!HardwareIdsOfPackage(name).empty()) {
        return;
    }
    Warning("ZCA048", action,
            "its INF file " + Quoted(name) +
                " is not in the DLL's driver package table: the action only stages "
                "it in the driver store, for devices plugged in later; it never "
                "moves a device present now onto the new driver, never marks absent "
                "devices for reinstallation, and never records that a restart is "
                "needed.");
}

// Whether the Registry table writes into the key (lower-cased) or below it.
bool PackageChecker::KeepsOwnValuesIn(const std::string& key) const {
    return std::any_of(tables_.machineRegistryKeys.begin(), tables_.machineRegistryKeys.end(),
                       [&](const std::string& written) {
                           const std::string own = Lower(WithoutFinalBackslashes(written));
                           return own == key || StartsWithNoCase(own, key + "\\");
                       });
}

bool PackageChecker::RecordsInKey(const std::string& key) const {
    return std::any_of(locations_.begin(), locations_.end(),
                       [&](const StateLocation& l) { return l.key == key; });
}

void PackageChecker::CheckClearingData(const DllAction& action, const ResolvedText& value) {
    const std::string& text = value.text;
    if (!CheckRelativeToMachine(action, text) || !value.exact) {
        return;
    }
    const auto [key, name] = SplitAtLastBackslash(text);
    if (DirectoryOfPath(text).empty()) {
        Error("ZCA052", action,
              "its data " + Quoted(text) +
                  " holds no backslash, so it names no key: the action deletes "
                  "nothing.");
        return;
    }
    if (!name.empty() && RecordsInKey(Lower(text))) {
        Error("ZCA053", action,
              "its data " + Quoted(text) +
                  " is the state key without its final backslash: the action reads "
                  "it as the value " +
                  Quoted(name) +
                  " and deletes none of the recorded outcomes; end it with a "
                  "backslash to clear the whole key.");
        return;
    }
    const std::string clearedKey = Lower(WithoutFinalBackslashes(key));
    const std::string clearedValue = Lower(name);
    if (clearedValue.empty() && action.IsForward() && KeepsOwnValuesIn(clearedKey)) {
        Error("ZCA094", action,
              "it clears the key " + Quoted(text) +
                  ", where the package keeps values of its own (Registry table): every "
                  "installation that clears the recorded outcomes deletes them too; keep "
                  "the outcomes in a key of their own, such as a subkey of the product's "
                  "key.");
        return;
    }
    const bool recorded =
        clearedValue.empty()
            ? RecordsInKey(clearedKey)
            : std::any_of(locations_.begin(), locations_.end(), [&](const StateLocation& l) {
                  return l.key == clearedKey && l.value == clearedValue;
              });
    if (!locations_.empty() && !recorded) {
        Warning("ZCA054", action,
                "it clears " + Quoted(text) +
                    ", where no CA_InstallDriver action of the package records "
                    "its outcome.");
    }
}

void PackageChecker::CheckDecisionData(const DllAction& action, const ResolvedText& value) {
    const std::string& text = value.text;
    if (!CheckRelativeToMachine(action, text) || !value.exact) {
        return;
    }
    if (text.back() != '\\') {
        Error("ZCA055", action,
              "its data " + Quoted(text) +
                  " does not end in a backslash: the action then reads nothing and "
                  "never sets REBOOT; give the state key with its final backslash.");
    } else if (!locations_.empty() && !RecordsInKey(Lower(WithoutFinalBackslashes(text)))) {
        Warning("ZCA056", action,
                "it reads the key " + Quoted(text) +
                    ", where no CA_InstallDriver action of the package records its "
                    "outcome.");
    }
}

// False, after an error, for a name that holds a path.
bool PackageChecker::CheckServiceName(const DllAction& action, const std::string& name) {
    if (name.find_first_of("\\/") != std::string::npos) {
        Error("ZCA057", action,
              "its service name " + Quoted(name) +
                  " holds a path: the action uses the name as it stands for the "
                  "service and for <system folder>\\drivers\\<name>.sys; give the "
                  "bare name of the driver.");
        return false;
    }
    if (EndsWithNoCase(name, ".sys")) {
        // The image it would load is one no package means to install.
        Error("ZCA058", action,
              "its service name " + Quoted(name) +
                  " ends in .sys: the action adds .sys itself, so it registers the service "
                  "with " +
                  Quoted(StandardFolder("System64Folder") + "drivers\\" + name + ".sys") +
                  ", which does not exist: the driver does not start and every "
                  "installation fails; give the name without .sys.");
        return false;
    }
    return true;
}

void PackageChecker::CheckOrder(const DllAction& action) {
    if (action.IsRollback()) {
        CheckRollbackOrder(action);
        return;
    }
    const SequenceRow* files = Scheduled("InstallFiles");
    // An immediate action is reported for that alone: its moment changes with the fix.
    const bool beforeFiles =
        action.InScript() && files != nullptr && MomentOf(action) < MomentOf(files->sequence, true);
    if (beforeFiles && action.Id() == Export::InstallDriver) {
        Error("ZCA060", action,
              "runs before InstallFiles: its INF file is not on the disk yet, so no "
              "driver package is installed; schedule it after InstallFiles.");
    }
    if (beforeFiles && action.Id() == Export::InstallCertificate) {
        Error("ZCA061", action,
              "runs before InstallFiles: the certificate file is not on the disk yet, so "
              "the certificate utility adds nothing and the drivers' publisher stays "
              "untrusted; schedule it after InstallFiles.");
    }
    if (action.Id() == Export::RebootDecision) {
        CheckDecisionOrder(action);
    }
    if (action.Id() == Export::InstallCertificate && action.InScript()) {
        CheckCertificateFirst(action);
    }
}

// The system trusts the drivers' publisher only once the certificate is in its store.
void PackageChecker::CheckCertificateFirst(const DllAction& certificate) {
    for (const DllAction* driver : Peers(certificate, Export::InstallDriver)) {
        if (driver->InScript() && MomentOf(*driver) < MomentOf(certificate)) {
            Error("ZCA062", certificate,
                  "runs after " + Quoted(driver->name) +
                      ", which installs its driver package while the publisher is not yet "
                      "trusted: Windows then asks whoever installs whether to trust it, and "
                      "where nobody can answer (a quiet installation) the driver is not "
                      "installed; schedule it before the first CA_InstallDriver action.");
            return;
        }
    }
}

// Outcomes recorded with nothing to read or to clear them.
void PackageChecker::CheckCounterparts() {
    const auto recorder = std::find_if(actions_.begin(), actions_.end(), [](const DllAction& a) {
        return a.Id() == Export::InstallDriver && a.IsForward();
    });
    if (locations_.empty() || recorder == actions_.end()) {
        return;
    }
    if (Peers(*recorder, Export::RebootDecision).empty()) {
        Warning("ZCA081", *recorder,
                "it records its outcome, but no CA_CheckAndSetRebootStatus action reads it: "
                "a restart the driver asks for is lost.");
    }
    if (Peers(*recorder, Export::ClearState).empty()) {
        Warning("ZCA082", *recorder,
                "it records its outcome, but no CA_ClearInstallDriverRegistryValues action "
                "clears it: it stays for the next installation's reboot decision.");
    }
}

// What an install action puts on the machine is what the product needs: its failure must
// fail the installation.
void PackageChecker::CheckReturnIgnored(const DllAction& action) {
    const bool installs = action.Id() == Export::InstallDriver ||
                          action.Id() == Export::InstallKernelService ||
                          action.Id() == Export::InstallCertificate;
    if (!installs || !action.IsForward() || (action.type & kContinue) == 0) {
        return;
    }
    Error("ZCA090", action,
          "its return is ignored (Return=\"ignore\", type flag 64): when it fails, the "
          "installation goes on and reports success, and the product is installed without "
          "what this action puts in place; let it fail the installation "
          "(Return=\"check\").");
}

// Two driver actions of one installation recording in one value: the second outcome
// replaces the first, and with it a restart the first asked for.
void PackageChecker::CheckSharedStateValues() {
    std::map<std::pair<std::string, std::string>, const DllAction*> recorded;
    for (const DllAction& action : actions_) {
        if (action.Id() != Export::InstallDriver || !action.IsForward()) {
            continue;
        }
        const ActionData data = DataOf(action);
        const std::vector<std::string> tokens = DriverTokens(data.value.text);
        if (!data.found || !data.value.exact || tokens.size() != 2) {
            continue;
        }
        const auto [key, value] = SplitAtLastBackslash(tokens[1]);
        const auto location = std::make_pair(Lower(WithoutFinalBackslashes(key)), Lower(value));
        const auto earlier = recorded.find(location);
        if (earlier != recorded.end() && RunTogether(earlier->second->runs, action.runs)) {
            Error("ZCA092", action,
                  "records its outcome in " + Quoted(tokens[1]) + ", as " +
                      Quoted(earlier->second->name) +
                      " does: its outcome replaces the other's, and a restart the other "
                      "driver asked for is lost; give each driver action a value name of "
                      "its own.");
            continue;
        }
        recorded.emplace(location, &action);
    }
}

}  // namespace zelk::checker::model
