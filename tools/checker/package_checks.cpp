#include "package_checks.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <climits>
#include <cstdint>
#include <map>
#include <set>
#include <tuple>

#include "dll_image.h"
#include "formatted_text.h"
#include "installations.h"
#include "pnp/driver_package_table.h"
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
// Return="ignore": the installation goes on whatever the action returns.
constexpr int kContinue = 0x40;
constexpr int kUpgradeOnlyDetect = 0x2;

// ServiceControl events (msidbServiceControlEvent...).
constexpr int kDeleteOnInstall = 0x08;
constexpr int kDeleteOnUninstall = 0x80;

// The installations an install action belongs to, and those it must stay out of; an upgrade's
// installation may go either way, as the package's upgrade design decides.
constexpr Installations kInstalling = Only(Installation::First);
constexpr Installations kAlreadyInstalled =
    Only(Installation::Repair) | Only(Installation::Modify) | Only(Installation::Uninstall) |
    Only(Installation::UpgradeRemoval);
constexpr Installations kRemoving = Only(Installation::Uninstall);
constexpr Installations kKeeping =
    Only(Installation::First) | Only(Installation::Repair) | Only(Installation::Modify);

// The values that suppress a restart; the installer reads only the first letter.
const char* const kSuppressingReboot[] = {"ReallySuppress", "R", "Suppress", "S"};

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

// The names the DLL's version resource gives it; a renamed copy keeps them.
constexpr const char* kDllFileName = "zelk_ca.dll";
constexpr const char* kDllInternalName = "zelk_ca";
// A DLL with most of the nine exports is this DLL, whatever its name and version resource.
constexpr std::ptrdiff_t kMostExports = 5;

const ExportRule* RuleOf(const std::string& entry) {
    const auto rule = std::find_if(std::begin(kExports), std::end(kExports),
                                   [&](const ExportRule& r) { return entry == r.entry; });
    return rule == std::end(kExports) ? nullptr : &*rule;
}

const char* EntryOf(Export id) {
    for (const ExportRule& rule : kExports) {
        if (rule.id == id) {
            return rule.entry;
        }
    }
    return "";
}

// The root-device INF files whose installation the root-device removals undo.
constexpr const char* kVirtualInf = "zelk_virtual.inf";
constexpr const char* kLanInf = "zelk_lan.inf";

// A change and the rollback action that undoes it.
struct PartnerRule {
    Export undone;
    Export partner;
    // The INF file of the driver action on either side; nullptr where none matters.
    const char* inf;
    // The rule is about a driver action's recorded outcome.
    bool recording;
    // What the partner does, for the findings: "nothing <undo>".
    const char* undo;
};

const PartnerRule kPartners[] = {
    {Export::InstallDriver, Export::UninstallVirtualDriver, kVirtualInf, false,
     "removes the virtual CAN device it created"},
    {Export::InstallDriver, Export::UninstallLanDriver, kLanInf, false,
     "removes the LAN device it created"},
    {Export::InstallDriver, Export::ClearState, nullptr, true,
     "clears the outcome it recorded, which the next installation's reboot decision then reads"},
    {Export::InstallKernelService, Export::UninstallKernelService, nullptr, false,
     "stops and deletes the kernel service it registered, and every later installation fails "
     "with ERROR_SERVICE_EXISTS (1073)"},
    {Export::UninstallKernelService, Export::InstallKernelService, nullptr, false,
     "registers and starts again the kernel service it deleted"},
    {Export::UninstallVirtualDriver, Export::InstallDriver, kVirtualInf, false,
     "brings back the virtual CAN device it removed"},
    {Export::UninstallLanDriver, Export::InstallDriver, kLanInf, false,
     "brings back the LAN device it removed"},
};

// How the installer runs an action, by its type bits.
enum class Mode { Immediate, Deferred, Rollback, Commit };

Mode ModeOf(int type) {
    if ((type & kInScript) == 0) {
        return Mode::Immediate;
    }
    switch (type & (kRollback | kCommit)) {
        case 0:
            return Mode::Deferred;
        case kRollback:
            return Mode::Rollback;
        default:
            return Mode::Commit;
    }
}

// wixl writes the rollback flag (which without the in-script flag asks for the first sequence)
// and the no-impersonation flag, but not the in-script flag, for rollback and immediate
// actions: a package built with it needs its types set right after.
bool LooksBuiltByBareWixl(int type) {
    return (type & kInScript) == 0 && (type & (kRollback | kNoImpersonate)) != 0;
}

constexpr const char* kWixlAdvice =
    " Built with wixl? Build it with scripts/build-package.sh, which sets the types wixl writes "
    "wrong.";

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
    // The installations the condition lets it run in; all of them for a condition the
    // installer cannot evaluate, which is reported once.
    Installations runs;
    bool conditionValid;

    Export Id() const { return rule->id; }
    Mode RunMode() const { return ModeOf(type); }
    bool InScript() const { return (type & kInScript) != 0; }
    bool IsRollback() const { return RunMode() == Mode::Rollback; }
    // An action that runs as the installation goes: neither a rollback nor a commit action.
    bool IsForward() const { return RunMode() == Mode::Immediate || RunMode() == Mode::Deferred; }
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

bool Exports(const DllImage& image, const std::string& entry) {
    return std::find(image.exports.begin(), image.exports.end(), entry) != image.exports.end();
}

bool IsThisDll(const DllImage& image) {
    const auto known = std::count_if(std::begin(kExports), std::end(kExports),
                                     [&](const ExportRule& r) { return Exports(image, r.entry); });
    return known >= kMostExports || Lower(image.originalFilename) == kDllFileName ||
           Lower(image.internalName) == kDllInternalName;
}

// The number of single-character edits that turn a into b.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Names are cut to this length before they are compared: a package's entry of any length
// against thousands of exports costs at most exports x this squared.
constexpr std::size_t kMaxComparedName = 64;

std::string NearestExport(const DllImage& image, const std::string& entry) {
    std::string nearest;
    std::size_t best = SIZE_MAX;
    const std::string wanted = Lower(entry.substr(0, kMaxComparedName));
    for (const std::string& name : image.exports) {
        const std::size_t distance = EditDistance(wanted, Lower(name.substr(0, kMaxComparedName)));
        if (distance < best) {
            best = distance;
            nearest = name;
        }
    }
    return nearest;
}

// What the checker learned of the DLL an action calls.
enum class DllKind { ThisDll, OtherDll, Unread };

struct CalledDll {
    DllKind kind = DllKind::Unread;
    std::optional<DllImage> image;
    // For an unread DLL: what is wrong with it.
    std::string why;
};

bool RunTogether(Installations a, Installations b) {
    return (a & b) != 0;
}

// Whether an action's job is to install or to remove, which fixes the installations it
// belongs to; nothing for the actions that serve both.
enum class Direction { Install, Remove, Either };

Direction DirectionOf(Export id) {
    switch (id) {
        case Export::UninstallVirtualDriver:
        case Export::UninstallLanDriver:
        case Export::UninstallKernelService:
            return Direction::Remove;
        case Export::ClearState:
            return Direction::Either;
        default:
            return Direction::Install;
    }
}

// What running an install action again does, for the findings about its condition.
const char* RerunEffect(Export id) {
    switch (id) {
        case Export::InstallKernelService:
            return "the service exists by then, so the action fails with ERROR_SERVICE_EXISTS "
                   "(1073) and so does that installation";
        case Export::RebootDecision:
            return "a restart is forced for outcomes no driver action of that installation "
                   "recorded";
        case Export::InstallDriver:
            return "the driver package is installed again, and on the uninstall its devices are "
                   "brought back";
        default:
            return "the action runs again where nothing asks for it";
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
        CheckNesting();
        if (actions_.empty()) {
            findings_.push_back(
                {"ZCA001", Severity::Error, "InstallExecuteSequence",
                 "no scheduled custom action calls one of the nine exports of zelk_ca.dll (a "
                 "DLL action, type 1 or 17, whose entry point is CA_InstallDriver, "
                 "CA_InstallNonePnPDriver or another of them): the package never runs the DLL, "
                 "so there is nothing to check.",
                 "InstallExecuteSequence", ""});
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
        return std::move(findings_);
    }

  private:
    // Nesting past the evaluators' limits is reported for every row, whatever it calls: the
    // checker judges no such row, and no installer needs one.
    void CheckNesting() {
        for (const SequenceRow& row : tables_.installExecuteSequence) {
            if (NestsTooDeep(row.condition)) {
                findings_.push_back({"ZCA002", Severity::Error, row.action,
                                     "its condition nests parentheses or NOTs more than " +
                                         std::to_string(kMaxConditionNesting) +
                                         " deep: the checker does not judge it; write it flat.",
                                     "InstallExecuteSequence", "Condition"});
            }
        }
        for (const CustomActionRow& row : tables_.customActions) {
            if ((row.type & kTypeMask) == kSetProperty &&
                ResolveFormatted(tables_, row.target).tooDeep) {
                findings_.push_back({"ZCA003", Severity::Error, row.action,
                                     "its formatted value nests brackets more than " +
                                         std::to_string(kMaxFormattedNesting) +
                                         " deep: the checker does not resolve it; write it flat.",
                                     "CustomAction", "Target"});
            }
        }
    }

    void Error(const char* rule, const DllAction& action, const std::string& message) {
        findings_.push_back(
            {rule, Severity::Error, action.name, message, "CustomAction", "Action"});
    }
    void Warning(const char* rule, const DllAction& action, const std::string& message) {
        findings_.push_back(
            {rule, Severity::Warning, action.name, message, "CustomAction", "Action"});
    }

    // Where an action runs: an empty condition holds everywhere, an invalid one is reported
    // where the action's condition is checked and counts as holding everywhere.
    // Judged once per condition text: every rule asks again.
    Installations RunsIn(const std::string& condition) const {
        const auto known = runsIn_.find(condition);
        if (known != runsIn_.end()) {
            return known->second;
        }
        const Installations runs = InstallationsOf(condition, tables_).value_or(kEveryInstallation);
        runsIn_.emplace(condition, runs);
        return runs;
    }

    const SequenceRow* Scheduled(const std::string& action) const {
        const auto row = sequence_.find(action);
        return row == sequence_.end() ? nullptr : row->second;
    }

    // The DLL's actions are known by their source: the entry of an action of this DLL must be
    // one of its exports. Where the DLL cannot be read, by their entry as before.
    void CollectDllActions() {
        for (const CustomActionRow& row : tables_.customActions) {
            const int kind = row.type & kBaseAndSourceMask;
            const SequenceRow* scheduled = Scheduled(row.action);
            if ((kind != kDllInBinary && kind != kDllInFile) || scheduled == nullptr ||
                scheduled->sequence <= 0) {
                continue;
            }
            const ExportRule* rule = RuleOf(row.target);
            const CalledDll& dll = DllOf(row);
            if (dll.kind == DllKind::OtherDll || (dll.kind == DllKind::Unread && rule == nullptr)) {
                continue;
            }
            if (dll.kind == DllKind::Unread) {
                ReportUnread(row, dll);
            } else if (!Exports(*dll.image, row.target)) {
                ReportNoExport(row, *dll.image);
                continue;
            }
            if (rule == nullptr) {
                continue;
            }
            const std::optional<Installations> runs =
                InstallationsOf(scheduled->condition, tables_);
            actions_.push_back({row.action, rule, row.type, scheduled->sequence,
                                scheduled->condition, runs.value_or(kEveryInstallation),
                                runs.has_value()});
        }
        std::sort(actions_.begin(), actions_.end(),
                  [](const DllAction& a, const DllAction& b) { return a.sequence < b.sequence; });
    }

    static bool InBinary(const CustomActionRow& row) {
        return (row.type & kBaseAndSourceMask) == kDllInBinary;
    }

    // Read once per Binary row or file, with its version said once.
    const CalledDll& DllOf(const CustomActionRow& row) {
        const std::string key = (InBinary(row) ? "Binary:" : "File:") + row.source;
        const auto known = called_.find(key);
        if (known != called_.end()) {
            return known->second;
        }
        const CalledDll& dll = called_[key] = ReadCalledDll(row);
        if (dll.kind == DllKind::ThisDll) {
            ReportVersion(row, *dll.image);
        }
        return dll;
    }

    CalledDll ReadCalledDll(const CustomActionRow& row) const {
        const auto& stored = InBinary(row) ? tables_.binaries : tables_.installedDlls;
        const auto bytes = stored.find(row.source);
        if (bytes == stored.end()) {
            return {DllKind::Unread, std::nullopt,
                    InBinary(row) ? "there is no such row"
                                  : "the file is neither beside the package nor where the "
                                    "package installs it"};
        }
        std::string why;
        std::optional<DllImage> image = ReadDllImage(bytes->second, why);
        if (!image) {
            return {DllKind::Unread, std::nullopt, why};
        }
        const DllKind kind = IsThisDll(*image) ? DllKind::ThisDll : DllKind::OtherDll;
        return {kind, std::move(image), ""};
    }

    void ReportVersion(const CustomActionRow& row, const DllImage& image) {
        const std::string version = image.fileVersion.empty() ? "without a version resource"
                                                              : "version " + image.fileVersion;
        findings_.push_back({"ZCA004", Severity::Info, row.source,
                             std::string("holds ") + kDllFileName + " " + version + ".",
                             InBinary(row) ? "Binary" : "File", InBinary(row) ? "Name" : "File"});
    }

    void ReportNoExport(const CustomActionRow& row, const DllImage& image) {
        findings_.push_back(
            {"ZCA005", Severity::Error, row.action,
             "its entry point " + Quoted(row.target) + " is not an export of " + kDllFileName +
                 " (" + (InBinary(row) ? "Binary row " : "file ") + Quoted(row.source) +
                 "): the installer finds nothing to call and the action never does its job "
                 "(Windows Installer fails it with error 1723); did you mean " +
                 Quoted(NearestExport(image, row.target)) + "?",
             "CustomAction", "Target"});
    }

    // A DLL in the Binary table the installer cannot load fails every action; a file the
    // checker cannot reach may be fine on the machine.
    void ReportUnread(const CustomActionRow& row, const CalledDll& dll) {
        if (!unreadReported_.insert(InBinary(row) ? "Binary:" + row.source : row.source).second) {
            return;
        }
        if (InBinary(row)) {
            findings_.push_back({"ZCA006", Severity::Error, row.action,
                                 "its Binary row " + Quoted(row.source) +
                                     " holds no DLL that can be read: " + dll.why +
                                     "; the installer cannot load it, so the action never runs.",
                                 "CustomAction", "Source"});
            return;
        }
        findings_.push_back({"ZCA007", Severity::Warning, row.action,
                             "the DLL it calls (File row " + Quoted(row.source) +
                                 ") cannot be read: " + dll.why +
                                 "; the checker takes its entry point for the export of that "
                                 "name without seeing the DLL's exports.",
                             "CustomAction", "Source"});
    }

    void CollectStateLocations() {
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

    // Whether a setter with this condition runs where the action does; one that shares the
    // action's condition does, even where that condition never holds.
    bool RunsBefore(const DllAction& action, const std::string& setterCondition) const {
        return setterCondition == action.condition ||
               RunTogether(action.runs, RunsIn(setterCondition));
    }

    // The value the nearest Type 51 action before it gives the action's property, or the
    // Property table's.
    // Found once per action: every rule about its data asks again.
    ActionData DataOf(const DllAction& action) const {
        const auto known = dataOf_.find(action.name);
        if (known != dataOf_.end()) {
            return known->second;
        }
        return dataOf_.emplace(action.name, FindDataOf(action)).first->second;
    }

    ActionData FindDataOf(const DllAction& action) const {
        const std::string property = DataProperty(action);
        ActionData data;
        int nearest = INT_MIN;
        for (const CustomActionRow& row : tables_.customActions) {
            const SequenceRow* setter = Scheduled(row.action);
            if ((row.type & kTypeMask) != kSetProperty || row.source != property ||
                setter == nullptr || setter->sequence <= 0 || setter->sequence >= action.sequence ||
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

    // False when the action runs immediately where it must be deferred, or the other way.
    bool CheckExecution(const DllAction& action) {
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
            Error(
                "ZCA013", action,
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

    static std::string ConditionOf(const DllAction& action) {
        return action.condition.empty() ? "its empty condition"
                                        : "its condition " + Quoted(action.condition);
    }

    void CheckCondition(const DllAction& action) {
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

    void CheckInstallCondition(const DllAction& action) {
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

    void CheckRemovalCondition(const DllAction& action) {
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

    // A restart a driver needs must survive /norestart as exit code 3010, and the decision's
    // "Force" must not override the administrator's suppression.
    void CheckSuppression(const DllAction& decision) {
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

    bool SetsRebootAfter(const DllAction& decision) const {
        return std::any_of(tables_.customActions.begin(), tables_.customActions.end(),
                           [&](const CustomActionRow& row) {
                               const SequenceRow* scheduled = Scheduled(row.action);
                               return (row.type & kTypeMask) == kSetProperty &&
                                      row.source == "REBOOT" && scheduled != nullptr &&
                                      scheduled->sequence > decision.sequence;
                           });
    }

    void CheckData(const DllAction& action) {
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
                  set + " is " + (data.value.exact ? "" : "at least ") +
                      std::to_string(text.size()) +
                      " characters long with the folders at their default locations; "
                      "the action reads a value of more than 259 characters as empty "
                      "and then " +
                      withoutData + ".");
            return;
        }
        if (data.value.exact && action.Id() != Export::InstallDriver &&
            (text.empty() || text == "0")) {
            Error("ZCA042", action,
                  set + " is " + (text.empty() ? "empty" : "\"0\"") +
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
    bool CheckRelativeToMachine(const DllAction& action, const std::string& path) {
        if (StartsWithNoCase(path, "hklm\\") || StartsWithNoCase(path, "hkey_local_machine\\")) {
            Error("ZCA043", action,
                  "its registry path " + Quoted(path) +
                      " starts with the root key: the action's paths lie below "
                      "HKEY_LOCAL_MACHINE already, so give it starting at SOFTWARE.");
            return false;
        }
        return true;
    }

    void CheckDriverData(const DllAction& action, const ResolvedText& value) {
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
    void CheckDriverPackageKnown(const DllAction& action, const std::string& inf) {
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

    // The action registers <system folder>\drivers\<name>.sys; the package must put the image
    // there. A folder the checker cannot resolve gives no finding.
    void CheckKernelImage(const DllAction& action, const std::string& service) {
        const std::string image = service + ".sys";
        const std::string expected = StandardFolder("System64Folder") + "drivers\\" + image;
        std::vector<std::string> elsewhere;
        for (const auto& [key, file] : tables_.files) {
            const ResolvedText path = ResolveFormatted(tables_, "[#" + key + "]");
            if (Lower(FileNameOfPath(path.text)) != Lower(image)) {
                continue;
            }
            if (!path.exact || Lower(path.text) == Lower(expected)) {
                return;
            }
            elsewhere.push_back(path.text);
        }
        if (elsewhere.empty()) {
            Warning("ZCA050", action,
                    "the package installs no file " + Quoted(image) +
                        ", which the service it registers loads from " + Quoted(expected) +
                        ": unless the machine has it there already, the driver does not "
                        "start and the action fails.");
            return;
        }
        Error("ZCA051", action,
              "the package installs the service's image at " + Quoted(elsewhere.front()) +
                  ", but the action registers the service with " + Quoted(expected) +
                  ": the driver does not start (ERROR_FILE_NOT_FOUND, 2), so the action "
                  "fails and with it the installation; install the file into "
                  "System64Folder\\drivers.");
    }

    // Whether the Registry table writes into the key (lower-cased) or below it.
    bool KeepsOwnValuesIn(const std::string& key) const {
        return std::any_of(tables_.machineRegistryKeys.begin(), tables_.machineRegistryKeys.end(),
                           [&](const std::string& written) {
                               const std::string own = Lower(WithoutFinalBackslashes(written));
                               return own == key || StartsWithNoCase(own, key + "\\");
                           });
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

    void CheckDecisionData(const DllAction& action, const ResolvedText& value) {
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
    bool CheckServiceName(const DllAction& action, const std::string& name) {
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

    // The non-rollback actions of the export that can run in the same installation.
    std::vector<const DllAction*> Peers(const DllAction& action, Export id) const {
        std::vector<const DllAction*> peers;
        for (const DllAction& other : actions_) {
            if (other.Id() == id && other.IsForward() && RunTogether(action.runs, other.runs)) {
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
        const SequenceRow* files = Scheduled("InstallFiles");
        // An immediate action is reported for that alone: its moment changes with the fix.
        const bool beforeFiles = action.InScript() && files != nullptr &&
                                 MomentOf(action) < MomentOf(files->sequence, true);
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
    void CheckCertificateFirst(const DllAction& certificate) {
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

    void CheckDecisionOrder(const DllAction& decision) {
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

    // Whether action is one a partner rule is about: its export and, for a driver action, the
    // INF file or the state location the rule needs.
    bool Fits(const DllAction& action, Export id, const char* inf, bool recording) const {
        if (action.Id() != id) {
            return false;
        }
        if (recording) {
            return action.IsForward() && HasStateLocation(action);
        }
        return inf == nullptr || id != Export::InstallDriver || InfOf(action) == inf;
    }

    bool HasStateLocation(const DllAction& driver) const {
        return DriverTokens(DataOf(driver).value.text).size() == 2;
    }

    // False only for two kernel-service actions whose data name different services.
    bool SameService(const DllAction& a, const DllAction& b) const {
        const auto isService = [](const DllAction& x) {
            return x.Id() == Export::InstallKernelService ||
                   x.Id() == Export::UninstallKernelService;
        };
        if (!isService(a) || !isService(b)) {
            return true;
        }
        const ActionData first = DataOf(a);
        const ActionData second = DataOf(b);
        return !first.found || !second.found || !first.value.exact || !second.value.exact ||
               Lower(first.value.text) == Lower(second.value.text);
    }

    bool FitsUndone(const DllAction& action, const PartnerRule& rule) const {
        return action.IsForward() && action.InScript() &&
               Fits(action, rule.undone, rule.inf, rule.recording);
    }

    bool FitsPartner(const DllAction& action, const PartnerRule& rule) const {
        return action.IsRollback() && Fits(action, rule.partner, rule.inf, false);
    }

    // The installations an action is meant for: its own condition's faults are reported on
    // their own, not again through its rollback partner.
    static Installations Intended(const DllAction& action) {
        switch (DirectionOf(action.Id())) {
            case Direction::Install:
                return action.runs &
                       (Only(Installation::First) | Only(Installation::UpgradeInstall));
            case Direction::Remove:
                return action.runs &
                       (Only(Installation::Uninstall) | Only(Installation::UpgradeRemoval));
            default:
                return action.runs;
        }
    }

    // A change needs a rollback action that undoes it, scheduled before it and running
    // wherever it runs: otherwise a failure after it leaves the change behind.
    void CheckRollbackPartner(const DllAction& action) {
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
                      std::string("has no rollback partner: ") + failing + ", nothing " +
                          rule.undo + "; schedule a rollback action calling " +
                          EntryOf(rule.partner) + " just before it, under the same condition.");
                continue;
            }
            const auto covering =
                std::find_if(partners.begin(), partners.end(),
                             [&](const DllAction* p) { return (p->runs & runs) == runs; });
            if (covering == partners.end()) {
                const DllAction& partner = *partners.front();
                Error("ZCA071", partner,
                      ConditionOf(partner) + " does not hold on " + Describe(runs & ~partner.runs) +
                          ", where " + Quoted(action.name) + " runs: " + failing +
                          " there, nothing " + rule.undo +
                          "; give it the condition of the action it undoes.");
            }
        }
    }

    void CheckRollbackOrder(const DllAction& rollback) {
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
    void CheckServiceControl() {
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
    void CheckNeverStartedServiceRollback(const DllAction& action, const std::string& service) {
        const Installations runs = Intended(action);
        if (runs == 0) {
            return;  // its condition is the fault
        }
        const std::string deletion = "delete " + Lower(service);
        const bool undone = std::any_of(
            tables_.customActions.begin(), tables_.customActions.end(),
            [&](const CustomActionRow& row) {
                const SequenceRow* scheduled = Scheduled(row.action);
                const int kind = row.type & kBaseAndSourceMask;
                return ModeOf(row.type) == Mode::Rollback && kind != kDllInBinary &&
                       kind != kDllInFile && scheduled != nullptr && scheduled->sequence > 0 &&
                       scheduled->sequence < action.sequence &&
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

    void CheckServiceControlRows(const DllAction& action, const std::string& service) {
        bool deletedOnUninstall = false;
        bool found = false;
        for (const ServiceControlRow& row : tables_.serviceControls) {
            if (Lower(row.name) != Lower(service)) {
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

    // An upgrade removes the older version inside this installation's transaction, before
    // this version installs anything: a failed upgrade then restores the older version, and
    // its removal actions cannot take away what this version has installed.
    void CheckRemoveExistingProducts() {
        const SequenceRow* removal = Scheduled("RemoveExistingProducts");
        const SequenceRow* initialize = Scheduled("InstallInitialize");
        if (removal == nullptr || removal->sequence <= 0 || initialize == nullptr) {
            return;
        }
        const auto firstInstall = std::find_if(actions_.begin(), actions_.end(), [](auto& a) {
            return a.IsForward() && a.InScript() && DirectionOf(a.Id()) == Direction::Install;
        });
        std::string why;
        if (removal->sequence < initialize->sequence) {
            why =
                "before InstallInitialize, outside the installation's transaction: the older "
                "version is removed in a transaction of its own, so when this installation "
                "then fails the older version is not restored, and the machine keeps "
                "neither";
        } else if (firstInstall != actions_.end() && removal->sequence > firstInstall->sequence) {
            why = "after " + Quoted(firstInstall->name) +
                  ": the older version's removal actions run after this version's install "
                  "actions and take away the devices and the kernel service it has just put in "
                  "place";
        } else {
            return;
        }
        findings_.push_back({"ZCA080", Severity::Error, "RemoveExistingProducts",
                             "is scheduled at " + std::to_string(removal->sequence) + ", " + why +
                                 "; schedule it right after InstallInitialize.",
                             "InstallExecuteSequence", "Sequence"});
    }

    // Outcomes recorded with nothing to read or to clear them.
    void CheckCounterparts() {
        const auto recorder = std::find_if(
            actions_.begin(), actions_.end(),
            [](const DllAction& a) { return a.Id() == Export::InstallDriver && a.IsForward(); });
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
    void CheckReturnIgnored(const DllAction& action) {
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
    void CheckSharedStateValues() {
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

    // A Type 51 value that is one property reference, "[NAME]": the administrator's REBOOT
    // kept before the decision and given back after it.
    static bool IsPropertyReference(const std::string& value) {
        return value.size() > 2 && value.front() == '[' && value.back() == ']' &&
               value.find_first_of("[]", 1) == value.size() - 1;
    }

    void CheckRebootOverwritten() {
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

    // Where each file of the package goes by default, lower-cased.
    std::set<std::string> InstalledPaths() const {
        std::set<std::string> paths;
        for (const auto& [key, file] : tables_.files) {
            const ResolvedText path = ResolveFormatted(tables_, "[#" + key + "]");
            if (path.exact) {
                paths.insert(Lower(path.text));
            }
        }
        return paths;
    }

    // The component of the package file at path (lower-cased); "" for none.
    std::string ComponentAt(const std::string& path) const {
        for (const auto& [key, file] : tables_.files) {
            const ResolvedText installed = ResolveFormatted(tables_, "[#" + key + "]");
            if (installed.exact && Lower(installed.text) == path) {
                return file.component;
            }
        }
        return "";
    }

    // An INF in features a first installation leaves out is neither there for the action nor
    // installed when the feature is added later, unless the action follows its component.
    void CheckInfInstalledByDefault(const DllAction& action, const std::string& inf) {
        const std::string component = ComponentAt(Lower(inf));
        if (component.empty() || action.condition.find("$" + component) != std::string::npos) {
            return;
        }
        // Features up to INSTALLLEVEL (1 unless the package says otherwise) install by default.
        long long threshold = 1;
        const auto level = tables_.properties.find("INSTALLLEVEL");
        if (level != tables_.properties.end()) {
            const std::string& text = level->second;
            std::from_chars(text.data(), text.data() + text.size(), threshold);
        }
        std::string optional;
        const auto [first, last] = tables_.componentFeatures.equal_range(component);
        for (auto feature = first; feature != last; ++feature) {
            const auto found = tables_.featureLevels.find(feature->second);
            if (found == tables_.featureLevels.end() ||
                (found->second > 0 && found->second <= threshold)) {
                return;
            }
            optional = feature->second;
        }
        if (optional.empty()) {
            return;
        }
        Error("ZCA093", action,
              "its INF file " + Quoted(FileNameOfPath(inf)) +
                  " belongs only to the optional "
                  "feature " +
                  Quoted(optional) +
                  ": a first installation without the feature does not install the file, so "
                  "the action gets an empty path and fails, and adding the feature later runs "
                  "no install action; put the component in a feature installed by default, or "
                  "condition the action and its data on the component ($" +
                  component + "=3 AND NOT ?" + component + "=3).");
    }

    // An INF the package installs finds its driver beside it under its own name.
    void CheckDriverImagesBesideInfs() {
        std::set<std::string> paths;
        bool resolved = false;
        for (const DllAction& action : actions_) {
            if (action.Id() != Export::InstallDriver || !action.IsForward()) {
                continue;
            }
            const ActionData data = DataOf(action);
            const std::vector<std::string> tokens = DriverTokens(data.value.text);
            if (!data.found || !data.value.exact || tokens.empty() ||
                !EndsWithNoCase(tokens[0], ".inf")) {
                continue;
            }
            if (!resolved) {
                paths = InstalledPaths();
                resolved = true;
            }
            const std::string inf = Lower(tokens[0]);
            CheckInfInstalledByDefault(action, tokens[0]);
            const std::string image = inf.substr(0, inf.size() - 4) + ".sys";
            if (paths.count(inf) == 0 || paths.count(image) != 0) {
                continue;
            }
            Error("ZCA095", action,
                  "the package installs its INF file " + Quoted(tokens[0]) + " but no " +
                      Quoted(FileNameOfPath(image)) +
                      " beside it: the driver package is staged without its driver, and the "
                      "devices get no working driver; install the .sys file, named as the INF "
                      "file, into the INF file's folder.");
        }
    }

    // Drivers and services serve the machine: the package must install per machine.
    void CheckPerMachine() {
        const auto value = [&](const char* name) {
            const auto property = tables_.properties.find(name);
            return property == tables_.properties.end() ? std::string() : property->second;
        };
        const std::string allUsers = value("ALLUSERS");
        if (allUsers == "1" || (allUsers == "2" && value("MSIINSTALLPERUSER") != "1")) {
            return;
        }
        findings_.push_back(
            {"ZCA097", Severity::Error, "ALLUSERS",
             "the package installs per user (ALLUSERS is " +
                 (allUsers.empty() ? std::string("not set") : Quoted(allUsers)) +
                 "): the installer does not ask for administrator rights, so the actions that "
                 "change drivers and services fail, and the product is registered for one user "
                 "while its drivers serve every user; set ALLUSERS to 1 (WiX: "
                 "InstallScope=\"perMachine\").",
             "Property", "Value"});
    }

    // An upgrade removes the older version only through an Upgrade row of this product's
    // UpgradeCode that does more than detect.
    void CheckUpgradeFindsOlderVersions() {
        const SequenceRow* removal = Scheduled("RemoveExistingProducts");
        const auto code = tables_.properties.find("UpgradeCode");
        if (removal == nullptr || removal->sequence <= 0 || code == tables_.properties.end()) {
            return;
        }
        const std::string own = Lower(code->second);
        bool detectsOnly = false;
        for (const UpgradeRow& row : tables_.upgrades) {
            if (Lower(row.upgradeCode) != own) {
                continue;
            }
            if ((row.attributes & kUpgradeOnlyDetect) == 0) {
                return;
            }
            detectsOnly = true;
        }
        findings_.push_back(
            {"ZCA096", Severity::Error, "Upgrade",
             std::string(detectsOnly ? "every Upgrade row of this product's UpgradeCode "
                                     : "no Upgrade row carries this product's UpgradeCode ") +
                 Quoted(code->second) +
                 (detectsOnly ? " only detects (OnlyDetect, attribute 2)" : "") +
                 ": RemoveExistingProducts removes no older version, so an upgrade installs "
                 "beside it, meets its kernel service and devices, and fails with "
                 "ERROR_SERVICE_EXISTS (1073); add a row of this UpgradeCode for the older "
                 "versions without OnlyDetect.",
             "Upgrade", ""});
    }

    const PackageTables& tables_;
    std::map<std::string, const SequenceRow*> sequence_;
    std::vector<int> runPoints_;
    std::vector<DllAction> actions_;
    std::vector<StateLocation> locations_;
    std::map<std::string, CalledDll> called_;
    std::set<std::string> unreadReported_;
    std::vector<Finding> findings_;
    mutable std::map<std::string, Installations> runsIn_;
    mutable std::map<std::string, ActionData> dataOf_;
};

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
