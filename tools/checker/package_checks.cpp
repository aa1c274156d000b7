#include "package_checks.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <regex>
#include <tuple>

#include "formatted_text.h"
#include "runtime/paths.h"
#include "runtime/tokenizer.h"

namespace zelk::checker {
namespace {

// Custom action type bits (msidbCustomActionType...).
constexpr int kBaseAndSourceMask = 0x37;
constexpr int kDllInBinary = 0x01;
constexpr int kDllInFile = 0x11;
constexpr int kTypeMask = 0x3F;
constexpr int kSetProperty = 0x33;  // Type 51
constexpr int kRollback = 0x100;
constexpr int kCommit = 0x200;
constexpr int kInScript = 0x400;
constexpr int kNoImpersonate = 0x800;

// The actions read their data through a 260-byte buffer.
constexpr std::size_t kMaxDataLength = 259;

enum class Export {
    InstallDriver,
    UninstallVirtualDriver,
    ClearState,
    UninstallLanDriver,
    InstallCertificate,
    UninstallOldOem,
    InstallKernelService,
    UninstallKernelService,
    RebootDecision,
};

struct ExportRule {
    Export id;
    const char* entry;
    // What the action does when it reads no data; nullptr for the actions that read none.
    const char* withoutData;
};

const ExportRule kExports[] = {
    {Export::InstallDriver, "CA_InstallDriver", "fails with ERROR_INVALID_DATA (13)"},
    {Export::UninstallVirtualDriver, "CA_UninstallVirtualDriver", nullptr},
    {Export::ClearState, "CA_ClearInstallDriverRegistryValues", "deletes nothing"},
    {Export::UninstallLanDriver, "CA_UninstallLanDriver", nullptr},
    {Export::InstallCertificate, "CA_InstallCertificate", "adds no certificate"},
    {Export::UninstallOldOem, "CA_UninstallOldZuraOem", nullptr},
    {Export::InstallKernelService, "CA_InstallNonePnPDriver", "fails with ERROR_INVALID_DATA (13)"},
    {Export::UninstallKernelService, "CA_UninstallNonePnPDriver",
     "fails with ERROR_INVALID_DATA (13)"},
    {Export::RebootDecision, "CA_CheckAndSetRebootStatus", "never sets REBOOT"},
};

// The root-device INF files whose installation the root-device removals undo.
constexpr const char* kVirtualInf = "zelk_virtual.inf";
constexpr const char* kLanInf = "zelk_lan.inf";

// Which installations an action runs in, as its condition tells.
enum class Path { Install, Uninstall, Any };

// When an action takes effect: an immediate one at its place in the sequence, a deferred one
// when the script runs, at the first InstallExecute, InstallExecuteAgain or InstallFinalize
// after it.
using Moment = std::tuple<int, int, int>;

struct DllAction {
    std::string name;
    const ExportRule* rule;
    int type;
    int sequence;
    std::string condition;

    Export Id() const { return rule->id; }
    bool InScript() const { return (type & kInScript) != 0; }
    bool IsRollback() const { return InScript() && (type & (kRollback | kCommit)) == kRollback; }
};

struct ActionData {
    bool found = false;
    std::string origin;
    ResolvedText value;
};

// A state location of CA_InstallDriver's two-token form, lower-cased.
struct StateLocation {
    std::string key;
    std::string value;
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool EndsWithNoCase(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && Lower(text.substr(text.size() - end.size())) == end;
}

bool StartsWithNoCase(const std::string& text, const std::string& start) {
    return Lower(text.substr(0, start.size())) == start;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The condition without blanks, upper-cased, for the patterns below.
std::string Squeezed(const std::string& condition) {
    std::string out;
    for (const unsigned char c : condition) {
        if (!std::isspace(c)) {
            out += static_cast<char>(std::toupper(c));
        }
    }
    return out;
}

// True when the squeezed condition holds the pattern not negated by a NOT right before it.
bool HoldsUnnegated(const std::string& squeezed, const std::regex& pattern) {
    for (auto it = std::sregex_iterator(squeezed.begin(), squeezed.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        std::string before = squeezed.substr(0, static_cast<std::size_t>(it->position()));
        while (!before.empty() && before.back() == '(') {
            before.pop_back();
        }
        if (before.size() < 3 || before.compare(before.size() - 3, 3, "NOT") != 0) {
            return true;
        }
    }
    return false;
}

Path PathOfCondition(const std::string& condition) {
    static const std::regex installing(R"(NOTINSTALLED|[$&][A-Z0-9_.]+=3\b)");
    static const std::regex removing(R"(REMOVE~?="ALL"|[$&][A-Z0-9_.]+=2\b)");
    const std::string squeezed = Squeezed(condition);
    if (std::regex_search(squeezed, installing)) {
        return Path::Install;
    }
    if (HoldsUnnegated(squeezed, removing)) {
        return Path::Uninstall;
    }
    return Path::Any;
}

bool CanRunTogether(Path a, Path b) {
    return !((a == Path::Install && b == Path::Uninstall) ||
             (a == Path::Uninstall && b == Path::Install));
}

// The installations an action belongs to by what it does. A rollback action undoes the other
// path's work: a removal's on a failed installation, an installation's on a failed removal.
Path ExpectedPath(const DllAction& action) {
    switch (action.Id()) {
        case Export::UninstallVirtualDriver:
        case Export::UninstallLanDriver:
        case Export::UninstallKernelService:
            return action.IsRollback() ? Path::Install : Path::Uninstall;
        case Export::ClearState:
            return action.IsRollback() ? Path::Install : Path::Any;
        case Export::InstallDriver:
        case Export::InstallKernelService:
            return action.IsRollback() ? Path::Uninstall : Path::Install;
        default:
            return Path::Install;
    }
}

// The text before the last backslash (without it) and the text after it, cut where the
// actions cut paths: a trail byte of a double-byte character is no backslash.
std::pair<std::string, std::string> SplitAtLastBackslash(const std::string& path) {
    return {FolderOfPath(path), FileNameOfPath(path)};
}

std::string WithoutFinalBackslashes(std::string key) {
    while (!key.empty() && key.back() == '\\') {
        key.pop_back();
    }
    return key;
}

// CA_InstallDriver's tokens, cut by the action's own tokenizer, the "0" tokens dropped.
std::vector<std::string> DriverTokens(const std::string& data) {
    std::vector<std::string> tokens;
    int position = 0;
    for (std::string token = NextToken(data, "@", position); !token.empty();
         token = NextToken(data, "@", position)) {
        if (token != "0") {
            tokens.push_back(token);
        }
    }
    return tokens;
}

class PackageChecker {
  public:
    explicit PackageChecker(const PackageTables& tables) : tables_(tables) {
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

    std::vector<Finding> Run() {
        for (const DllAction& action : actions_) {
            // The data check follows the execution: an action run in the wrong way reads
            // another property, and fixing that comes first.
            if (CheckExecution(action)) {
                CheckData(action);
            }
            CheckCondition(action);
            CheckOrder(action);
        }
        CheckCounterparts();
        CheckRemovalRollback();
        return std::move(findings_);
    }

  private:
    void Error(const DllAction& action, const std::string& message) {
        findings_.push_back({Severity::Error, action.name, message});
    }
    void Warning(const DllAction& action, const std::string& message) {
        findings_.push_back({Severity::Warning, action.name, message});
    }

    const SequenceRow* Scheduled(const std::string& action) const {
        const auto row = sequence_.find(action);
        return row == sequence_.end() ? nullptr : row->second;
    }

    void CollectDllActions() {
        for (const CustomActionRow& row : tables_.customActions) {
            const int kind = row.type & kBaseAndSourceMask;
            if (kind != kDllInBinary && kind != kDllInFile) {
                continue;
            }
            const auto rule =
                std::find_if(std::begin(kExports), std::end(kExports),
                             [&](const ExportRule& r) { return row.target == r.entry; });
            const SequenceRow* scheduled = Scheduled(row.action);
            if (rule == std::end(kExports) || scheduled == nullptr || scheduled->sequence <= 0) {
                continue;
            }
            actions_.push_back(
                {row.action, &*rule, row.type, scheduled->sequence, scheduled->condition});
        }
        std::sort(actions_.begin(), actions_.end(),
                  [](const DllAction& a, const DllAction& b) { return a.sequence < b.sequence; });
    }

    void CollectStateLocations() {
        for (const DllAction& action : actions_) {
            if (action.Id() != Export::InstallDriver || action.IsRollback()) {
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

    Moment MomentOf(int sequence, bool inScript) const {
        if (!inScript) {
            return {sequence, 1, 0};
        }
        const auto next = std::upper_bound(runPoints_.begin(), runPoints_.end(), sequence);
        return {next == runPoints_.end() ? INT_MAX : *next, 0, sequence};
    }
    Moment MomentOf(const DllAction& action) const {
        return MomentOf(action.sequence, action.InScript());
    }

    // The property the action reads its data from: a deferred action's is named after it.
    static std::string DataProperty(const DllAction& action) {
        return action.InScript() ? action.name : "CustomActionData";
    }

    // The value the nearest Type 51 action before it gives the action's property, or the
    // Property table's.
    ActionData DataOf(const DllAction& action) const {
        const std::string property = DataProperty(action);
        const Path path = PathOfCondition(action.condition);
        ActionData data;
        int nearest = INT_MIN;
        for (const CustomActionRow& row : tables_.customActions) {
            const SequenceRow* setter = Scheduled(row.action);
            if ((row.type & kTypeMask) != kSetProperty || row.source != property ||
                setter == nullptr || setter->sequence >= action.sequence ||
                setter->sequence <= nearest ||
                !CanRunTogether(path, PathOfCondition(setter->condition))) {
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

    // False when the action runs immediately where it must be deferred, or the other way.
    bool CheckExecution(const DllAction& action) {
        if (action.Id() == Export::RebootDecision) {
            if (action.InScript()) {
                Error(action,
                      "the reboot decision is deferred: a deferred action cannot set REBOOT, so "
                      "a restart a driver asked for is silently lost; make it immediate "
                      "(Execute=\"immediate\") and schedule it once the driver actions have run.");
                return false;
            }
            if ((action.type & kNoImpersonate) != 0) {
                Warning(action,
                        "the immediate reboot decision carries the no-impersonation flag (2048), "
                        "which only a deferred action uses and validation tools flag; drop the "
                        "flag.");
            }
            return true;
        }
        if (!action.InScript()) {
            Error(action,
                  "runs as an immediate action: it then has only the rights of the user who "
                  "started the installation and is not part of its rollback; make it deferred "
                  "(Execute=\"deferred\", type flag 1024) without impersonation.");
            return false;
        }
        if ((action.type & kNoImpersonate) == 0) {
            Error(action,
                  "is deferred but impersonated: it runs with the user's rights and cannot "
                  "change drivers, services or HKEY_LOCAL_MACHINE; add Impersonate=\"no\" (type "
                  "flag 2048).");
        }
        const SequenceRow* initialize = Scheduled("InstallInitialize");
        if (std::get<0>(MomentOf(action)) == INT_MAX ||
            (initialize != nullptr && action.sequence < initialize->sequence)) {
            Error(action,
                  "is deferred but not scheduled between InstallInitialize and InstallFinalize, "
                  "where the installer writes deferred actions into its script.");
        }
        return true;
    }

    void CheckCondition(const DllAction& action) {
        const Path expected = ExpectedPath(action);
        const Path actual = PathOfCondition(action.condition);
        if (expected == Path::Install && actual != Path::Install) {
            if (Squeezed(action.condition).find("NOTREMOVE") != std::string::npos) {
                Warning(action,
                        "its condition NOT REMOVE also holds on a repair or a feature change, "
                        "which then run it again; NOT Installed limits it to the first "
                        "installation.");
            } else {
                Error(action,
                      "has no install-only condition (such as NOT Installed): it also runs on a "
                      "repair, a feature change or the uninstall.");
            }
        } else if (expected == Path::Uninstall && actual != Path::Uninstall) {
            Error(action,
                  "has no REMOVE=\"ALL\" in its condition: it also runs when the product is "
                  "installed, repaired or changed, and removes what that installation keeps.");
        }
    }

    void CheckData(const DllAction& action) {
        const char* withoutData = action.rule->withoutData;
        if (withoutData == nullptr) {
            return;
        }
        const ActionData data = DataOf(action);
        const std::string property = DataProperty(action);
        if (!data.found) {
            Error(action, "no Type 51 action sets the property " + Quoted(property) +
                              " before it, so it receives no data and " + withoutData +
                              "; set that property with a Type 51 action scheduled before it.");
            return;
        }
        const std::string& text = data.value.text;
        const std::string set = "its data (set by " + data.origin + ")";
        if (text.size() > kMaxDataLength) {
            Error(action, set + " is " + (data.value.exact ? "" : "at least ") +
                              std::to_string(text.size()) +
                              " characters long with the folders at their default locations; "
                              "the action reads a value of more than 259 characters as empty "
                              "and then " +
                              withoutData + ".");
            return;
        }
        if (data.value.exact && action.Id() != Export::InstallDriver &&
            (text.empty() || text == "0")) {
            Error(action, set + " is " + (text.empty() ? "empty" : "\"0\"") +
                              ", which the action reads as no data: it " + withoutData + ".");
            return;
        }
        CheckGrammar(action, data.value);
    }

    void CheckGrammar(const DllAction& action, const ResolvedText& value) {
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
            case Export::UninstallKernelService:
                CheckServiceName(action, value.text);
                break;
            default:
                break;
        }
    }

    // False, after an error, for a registry path that names the root key itself.
    bool CheckRelativeToMachine(const DllAction& action, const std::string& path) {
        if (StartsWithNoCase(path, "hklm\\") || StartsWithNoCase(path, "hkey_local_machine\\")) {
            Error(action, "its registry path " + Quoted(path) +
                              " starts with the root key: the action's paths lie below "
                              "HKEY_LOCAL_MACHINE already, so give it starting at SOFTWARE.");
            return false;
        }
        return true;
    }

    void CheckDriverData(const DllAction& action, const ResolvedText& value) {
        const std::vector<std::string> tokens = DriverTokens(value.text);
        if (tokens.size() > 2 || (value.exact && tokens.empty())) {
            Error(action, "its data holds " + std::to_string(tokens.size()) +
                              " \"@\"-separated tokens other than \"0\" where the action takes "
                              "one (the INF path) or two (INF@key path\\value name): it fails "
                              "with ERROR_INVALID_DATA (13).");
            return;
        }
        if (tokens.empty()) {
            return;
        }
        if (value.exact && !EndsWithNoCase(tokens[0], ".inf")) {
            Error(action, "its first token " + Quoted(tokens[0]) +
                              " is not the path of an INF file: no driver package is installed "
                              "and nothing tells the user.");
        }
        if (tokens.size() < 2 || !CheckRelativeToMachine(action, tokens[1])) {
            return;
        }
        const auto [key, name] = SplitAtLastBackslash(tokens[1]);
        if (WithoutFinalBackslashes(key).empty()) {
            Error(action, "its state location " + Quoted(tokens[1]) +
                              " holds no key path before its last backslash: it fails with "
                              "ERROR_INVALID_DATA (13).");
        } else if (name.empty()) {
            Error(action, "its state location " + Quoted(tokens[1]) +
                              " names no value after its last backslash: the outcome goes to "
                              "the key's default value, where the next driver action "
                              "overwrites it; write key path\\value name.");
        }
    }

    bool RecordsInKey(const std::string& key) const {
        return std::any_of(locations_.begin(), locations_.end(),
                           [&](const StateLocation& l) { return l.key == key; });
    }

    void CheckClearingData(const DllAction& action, const ResolvedText& value) {
        const std::string& text = value.text;
        if (!CheckRelativeToMachine(action, text) || !value.exact) {
            return;
        }
        const auto [key, name] = SplitAtLastBackslash(text);
        if (DirectoryOfPath(text).empty()) {
            Error(action, "its data " + Quoted(text) +
                              " holds no backslash, so it names no key: the action deletes "
                              "nothing.");
            return;
        }
        if (!name.empty() && RecordsInKey(Lower(text))) {
            Error(action, "its data " + Quoted(text) +
                              " is the state key without its final backslash: the action reads "
                              "it as the value " +
                              Quoted(name) +
                              " and deletes none of the recorded outcomes; end it with a "
                              "backslash to clear the whole key.");
            return;
        }
        const std::string clearedKey = Lower(WithoutFinalBackslashes(key));
        const std::string clearedValue = Lower(name);
        const bool recorded =
            clearedValue.empty()
                ? RecordsInKey(clearedKey)
                : std::any_of(locations_.begin(), locations_.end(), [&](const StateLocation& l) {
                      return l.key == clearedKey && l.value == clearedValue;
                  });
        if (!locations_.empty() && !recorded) {
            Warning(action, "it clears " + Quoted(text) +
                                ", where no CA_InstallDriver action of the package records "
                                "its outcome.");
        }
    }

    void CheckDecisionData(const DllAction& action, const ResolvedText& value) {
        const std::string& text = value.text;
        if (!CheckRelativeToMachine(action, text) || !value.exact) {
            return;
        }
        if (text.back() != '\\') {
            Error(action, "its data " + Quoted(text) +
                              " does not end in a backslash: the action then reads nothing and "
                              "never sets REBOOT; give the state key with its final backslash.");
        } else if (!locations_.empty() && !RecordsInKey(Lower(WithoutFinalBackslashes(text)))) {
            Warning(action, "it reads the key " + Quoted(text) +
                                ", where no CA_InstallDriver action of the package records its "
                                "outcome.");
        }
    }

    void CheckServiceName(const DllAction& action, const std::string& name) {
        if (name.find_first_of("\\/") != std::string::npos) {
            Error(action, "its service name " + Quoted(name) +
                              " holds a path: the action uses the name as it stands for the "
                              "service and for <system folder>\\drivers\\<name>.sys; give the "
                              "bare name of the driver.");
        } else if (EndsWithNoCase(name, ".sys")) {
            Warning(action, "its service name " + Quoted(name) +
                                " ends in .sys: the action adds .sys itself, so it would "
                                "register " +
                                name + ".sys.");
        }
    }

    // The non-rollback actions of the export that can run in the same installation.
    std::vector<const DllAction*> Peers(const DllAction& action, Export id) const {
        std::vector<const DllAction*> peers;
        const Path path = PathOfCondition(action.condition);
        for (const DllAction& other : actions_) {
            if (other.Id() == id && !other.IsRollback() &&
                CanRunTogether(path, PathOfCondition(other.condition))) {
                peers.push_back(&other);
            }
        }
        return peers;
    }

    std::string InfOf(const DllAction& driver) const {
        const std::vector<std::string> tokens = DriverTokens(DataOf(driver).value.text);
        return tokens.empty() ? "" : Lower(SplitAtLastBackslash(tokens[0]).second);
    }

    void CheckOrder(const DllAction& action) {
        if (action.IsRollback()) {
            CheckRollbackOrder(action);
            return;
        }
        if (action.Id() == Export::InstallDriver) {
            const SequenceRow* files = Scheduled("InstallFiles");
            if (files != nullptr && MomentOf(action) < MomentOf(files->sequence, true)) {
                Error(action,
                      "runs before InstallFiles: its INF file is not on the disk yet, so no "
                      "driver package is installed; schedule it after InstallFiles.");
            }
        }
        if (action.Id() == Export::RebootDecision) {
            CheckDecisionOrder(action);
        }
    }

    void CheckDecisionOrder(const DllAction& decision) {
        const std::vector<const DllAction*> drivers = Peers(decision, Export::InstallDriver);
        const auto late = std::find_if(drivers.rbegin(), drivers.rend(), [&](const DllAction* d) {
            return MomentOf(decision) < MomentOf(*d);
        });
        if (late != drivers.rend()) {
            Error(decision, "decides before " + Quoted((*late)->name) +
                                " has run: deferred actions run from the script at "
                                "InstallFinalize (or at an InstallExecute before it), so the "
                                "decision finds no outcome of it; schedule it after "
                                "InstallFinalize, or after an InstallExecute that follows the "
                                "last driver action.");
        }
        for (const DllAction* clearing : Peers(decision, Export::ClearState)) {
            if (MomentOf(*clearing) < MomentOf(decision)) {
                Error(decision, "runs after " + Quoted(clearing->name) +
                                    ", which has deleted the recorded outcomes by then: a "
                                    "restart a driver asked for is never set; decide before "
                                    "clearing.");
                return;
            }
        }
    }

    void CheckRollbackOrder(const DllAction& rollback) {
        std::vector<const DllAction*> undone;
        switch (rollback.Id()) {
            case Export::ClearState:
                undone = Peers(rollback, Export::InstallDriver);
                break;
            case Export::UninstallVirtualDriver:
            case Export::UninstallLanDriver: {
                const std::string inf =
                    rollback.Id() == Export::UninstallVirtualDriver ? kVirtualInf : kLanInf;
                for (const DllAction* driver : Peers(rollback, Export::InstallDriver)) {
                    if (InfOf(*driver) == inf) {
                        undone.push_back(driver);
                    }
                }
                break;
            }
            case Export::UninstallKernelService:
                undone = Peers(rollback, Export::InstallKernelService);
                break;
            case Export::InstallDriver: {
                const std::string inf = InfOf(rollback);
                if (inf == kVirtualInf || inf == kLanInf) {
                    undone = Peers(rollback, inf == kVirtualInf ? Export::UninstallVirtualDriver
                                                                : Export::UninstallLanDriver);
                }
                break;
            }
            case Export::InstallKernelService:
                undone = Peers(rollback, Export::UninstallKernelService);
                break;
            default:
                break;
        }
        for (const DllAction* action : undone) {
            if (action->sequence < rollback.sequence) {
                Error(rollback, "is scheduled after " + Quoted(action->name) +
                                    ", the action it undoes: should that action or one between "
                                    "them fail, the rollback does not run it and the change "
                                    "stays; schedule it just before " +
                                    Quoted(action->name) + ".");
                return;
            }
        }
    }

    // Outcomes recorded with nothing to read or to clear them.
    void CheckCounterparts() {
        const auto recorder = std::find_if(
            actions_.begin(), actions_.end(),
            [](const DllAction& a) { return a.Id() == Export::InstallDriver && !a.IsRollback(); });
        if (locations_.empty() || recorder == actions_.end()) {
            return;
        }
        if (Peers(*recorder, Export::RebootDecision).empty()) {
            Warning(*recorder,
                    "it records its outcome, but no CA_CheckAndSetRebootStatus action reads it: "
                    "a restart the driver asks for is lost.");
        }
        if (Peers(*recorder, Export::ClearState).empty()) {
            Warning(*recorder,
                    "it records its outcome, but no CA_ClearInstallDriverRegistryValues action "
                    "clears it: it stays for the next installation's reboot decision.");
        }
    }

    // A removal that cannot be undone: the older version's removal in a transaction of its
    // own, or a removal action without a rollback partner (where it stands is CheckOrder's).
    void CheckRemovalRollback() {
        const auto removal = std::find_if(actions_.begin(), actions_.end(), [](const DllAction& a) {
            return !a.IsRollback() && ExpectedPath(a) == Path::Uninstall;
        });
        if (removal == actions_.end()) {
            return;
        }
        const SequenceRow* remove = Scheduled("RemoveExistingProducts");
        const SequenceRow* initialize = Scheduled("InstallInitialize");
        if (remove != nullptr && initialize != nullptr && remove->sequence < initialize->sequence) {
            findings_.push_back(
                {Severity::Warning, "RemoveExistingProducts",
                 "runs before InstallInitialize: the older version is removed in a transaction "
                 "of its own, so when this installation fails neither version stays; schedule "
                 "it right after InstallInitialize, where a failure brings the older version "
                 "back."});
        }
        for (const DllAction& action : actions_) {
            if (action.IsRollback() || ExpectedPath(action) != Path::Uninstall) {
                continue;
            }
            const bool kernel = action.Id() == Export::UninstallKernelService;
            const std::string inf =
                action.Id() == Export::UninstallVirtualDriver ? kVirtualInf : kLanInf;
            const bool partnered =
                std::any_of(actions_.begin(), actions_.end(), [&](const DllAction& other) {
                    const bool undoes =
                        kernel ? other.Id() == Export::InstallKernelService
                               : other.Id() == Export::InstallDriver && InfOf(other) == inf;
                    return other.IsRollback() && undoes &&
                           CanRunTogether(PathOfCondition(other.condition),
                                          PathOfCondition(action.condition));
                });
            if (!partnered) {
                Warning(action,
                        std::string("has no rollback ") +
                            (kernel ? "CA_InstallNonePnPDriver" : "CA_InstallDriver of " + inf) +
                            " before it: when the removal, or an upgrade that removes "
                            "this version, fails, what it removed stays removed.");
            }
        }
    }

    const PackageTables& tables_;
    std::map<std::string, const SequenceRow*> sequence_;
    std::vector<int> runPoints_;
    std::vector<DllAction> actions_;
    std::vector<StateLocation> locations_;
    std::vector<Finding> findings_;
};

}  // namespace

std::vector<Finding> CheckPackage(const PackageTables& tables) {
    return PackageChecker(tables).Run();
}

}  // namespace zelk::checker
