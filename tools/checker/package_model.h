// The package model the checker's rules share: the actions of zelk_ca.dll a package schedules,
// the data each reads and the installations each runs in, computed once; and the rules, one
// family to a file in rules/ (dll identity, scheduling and data, restart, rollback partners,
// upgrade, files and images), each a member of PackageChecker so that it reads the model
// without copying it.
#pragma once

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

namespace zelk::checker::model {

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

inline const ExportRule* RuleOf(const std::string& entry) {
    const auto rule = std::find_if(std::begin(kExports), std::end(kExports),
                                   [&](const ExportRule& r) { return entry == r.entry; });
    return rule == std::end(kExports) ? nullptr : &*rule;
}

inline const char* EntryOf(Export id) {
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

inline Mode ModeOf(int type) {
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
inline bool LooksBuiltByBareWixl(int type) {
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

inline std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

inline bool EndsWithNoCase(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && Lower(text.substr(text.size() - end.size())) == end;
}

inline bool StartsWithNoCase(const std::string& text, const std::string& start) {
    return Lower(text.substr(0, start.size())) == start;
}

// A message from its parts, appended into one string: findings are made in loops over paths.
template <typename... Parts>
std::string Text(const Parts&... parts) {
    std::string text;
    (text.append(parts), ...);
    return text;
}

inline std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

inline bool Exports(const DllImage& image, const std::string& entry) {
    return std::find(image.exports.begin(), image.exports.end(), entry) != image.exports.end();
}

inline bool IsThisDll(const DllImage& image) {
    const auto known = std::count_if(std::begin(kExports), std::end(kExports),
                                     [&](const ExportRule& r) { return Exports(image, r.entry); });
    return known >= kMostExports || Lower(image.originalFilename) == kDllFileName ||
           Lower(image.internalName) == kDllInternalName;
}

// The number of single-character edits that turn a into b.
inline std::size_t EditDistance(const std::string& a, const std::string& b) {
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

inline std::string NearestExport(const DllImage& image, const std::string& entry) {
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

inline bool RunTogether(Installations a, Installations b) {
    return (a & b) != 0;
}

// Whether an action's job is to install or to remove, which fixes the installations it
// belongs to; nothing for the actions that serve both.
enum class Direction { Install, Remove, Either };

inline Direction DirectionOf(Export id) {
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
inline const char* RerunEffect(Export id) {
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
inline std::pair<std::string, std::string> SplitAtLastBackslash(const std::string& path) {
    return {FolderOfPath(path), FileNameOfPath(path)};
}

inline std::string WithoutFinalBackslashes(std::string key) {
    while (!key.empty() && key.back() == '\\') {
        key.pop_back();
    }
    return key;
}

// CA_InstallDriver's tokens, cut by the action's own tokenizer, the "0" tokens dropped.
inline std::vector<std::string> DriverTokens(const std::string& data) {
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

class PathPlayer;
struct Played;
struct SessionResult;

class PackageChecker {
  public:
    explicit PackageChecker(const PackageTables& tables);

    std::vector<Finding> Run();

  private:
    // Nesting past the evaluators' limits is reported for every row, whatever it calls: the
    // checker judges no such row, and no installer needs one.
    void CheckNesting();

    void ReportNoAction();

    void Error(const char* rule, const DllAction& action, const std::string& message);
    void Warning(const char* rule, const DllAction& action, const std::string& message);

    // Where an action runs: an empty condition holds everywhere, an invalid one is reported
    // where the action's condition is checked and counts as holding everywhere.
    // Judged once per condition text: every rule asks again.
    Installations RunsIn(const std::string& condition) const;

    const SequenceRow* Scheduled(const std::string& action) const;

    // The DLL's actions are known by their source: the entry of an action of this DLL must be
    // one of its exports. Where the DLL cannot be read, by their entry as before.
    void CollectDllActions();

    static bool InBinary(const CustomActionRow& row);

    // Read once per Binary row or file, with its version said once.
    const CalledDll& DllOf(const CustomActionRow& row);

    CalledDll ReadCalledDll(const CustomActionRow& row) const;

    void ReportVersion(const CustomActionRow& row, const DllImage& image);

    void ReportNoExport(const CustomActionRow& row, const DllImage& image);

    // A DLL in the Binary table the installer cannot load fails every action; a file the
    // checker cannot reach may be fine on the machine.
    void ReportUnread(const CustomActionRow& row, const CalledDll& dll);

    void CollectStateLocations();

    Moment MomentOf(int sequence, bool inScript) const;
    Moment MomentOf(const DllAction& action) const;

    // The property the action reads its data from: a deferred action's is named after it.
    static std::string DataProperty(const DllAction& action);

    // Whether a setter with this condition runs where the action does; one that shares the
    // action's condition does, even where that condition never holds.
    bool RunsBefore(const DllAction& action, const std::string& setterCondition) const;

    // The value the nearest Type 51 action before it gives the action's property, or the
    // Property table's.
    // Found once per action: every rule about its data asks again.
    ActionData DataOf(const DllAction& action) const;

    ActionData FindDataOf(const DllAction& action) const;

    // False when the action runs immediately where it must be deferred, or the other way.
    bool CheckExecution(const DllAction& action);

    static std::string ConditionOf(const DllAction& action);

    void CheckCondition(const DllAction& action);

    void CheckInstallCondition(const DllAction& action);

    void CheckRemovalCondition(const DllAction& action);

    // A restart a driver needs must survive /norestart as exit code 3010, and the decision's
    // "Force" must not override the administrator's suppression.
    void CheckSuppression(const DllAction& decision);

    bool SetsRebootAfter(const DllAction& decision) const;

    void CheckData(const DllAction& action);

    void CheckGrammar(const DllAction& action, const ResolvedText& value);

    // False, after an error, for a registry path that names the root key itself.
    bool CheckRelativeToMachine(const DllAction& action, const std::string& path);

    void CheckDriverData(const DllAction& action, const ResolvedText& value);

    // The DLL updates present devices, marks absent ones and learns of a restart only for the
    // INF files of its driver package table; any other INF file it only stages.
    void CheckDriverPackageKnown(const DllAction& action, const std::string& inf);

    // The action registers <system folder>\drivers\<name>.sys; the package must put the image
    // there. A folder the checker cannot resolve gives no finding.
    void CheckKernelImage(const DllAction& action, const std::string& service);

    // Whether the Registry table writes into the key (lower-cased) or below it.
    bool KeepsOwnValuesIn(const std::string& key) const;

    bool RecordsInKey(const std::string& key) const;

    void CheckClearingData(const DllAction& action, const ResolvedText& value);

    void CheckDecisionData(const DllAction& action, const ResolvedText& value);

    // False, after an error, for a name that holds a path.
    bool CheckServiceName(const DllAction& action, const std::string& name);

    // The non-rollback actions of the export that can run in the same installation.
    std::vector<const DllAction*> Peers(const DllAction& action, Export id) const;

    std::string InfOf(const DllAction& driver) const;

    void CheckOrder(const DllAction& action);

    // The system trusts the drivers' publisher only once the certificate is in its store.
    void CheckCertificateFirst(const DllAction& certificate);

    void CheckDecisionOrder(const DllAction& decision);

    // Whether action is one a partner rule is about: its export and, for a driver action, the
    // INF file or the state location the rule needs.
    bool Fits(const DllAction& action, Export id, const char* inf, bool recording) const;

    bool HasStateLocation(const DllAction& driver) const;

    // False only for two kernel-service actions whose data name different services.
    bool SameService(const DllAction& a, const DllAction& b) const;

    bool FitsUndone(const DllAction& action, const PartnerRule& rule) const;

    bool FitsPartner(const DllAction& action, const PartnerRule& rule) const;

    // The installations an action is meant for: its own condition's faults are reported on
    // their own, not again through its rollback partner.
    static Installations Intended(const DllAction& action);

    // A change needs a rollback action that undoes it, scheduled before it and running
    // wherever it runs: otherwise a failure after it leaves the change behind.
    void CheckRollbackPartner(const DllAction& action);

    void CheckRollbackOrder(const DllAction& rollback);

    // The kernel service needs the installer's own removal beside the action's: the action
    // deletes only a running service.
    void CheckServiceControl();

    // CA_UninstallNonePnPDriver deletes only a running service: when the install fails after
    // registering a service whose driver never started, only a rollback action of another kind
    // (the system's service utility: "delete NAME") takes it away.
    void CheckNeverStartedServiceRollback(const DllAction& action, const std::string& service);

    void CheckServiceControlRows(const DllAction& action, const std::string& service);

    // An upgrade removes the older version inside this installation's transaction, before
    // this version installs anything: a failed upgrade then restores the older version, and
    // its removal actions cannot take away what this version has installed.
    void CheckRemoveExistingProducts();

    // Outcomes recorded with nothing to read or to clear them.
    void CheckCounterparts();

    // What an install action puts on the machine is what the product needs: its failure must
    // fail the installation.
    void CheckReturnIgnored(const DllAction& action);

    // Two driver actions of one installation recording in one value: the second outcome
    // replaces the first, and with it a restart the first asked for.
    void CheckSharedStateValues();

    // A Type 51 value that is one property reference, "[NAME]": the administrator's REBOOT
    // kept before the decision and given back after it.
    static bool IsPropertyReference(const std::string& value);

    void CheckRebootOverwritten();

    // Where each file of the package goes by default, lower-cased.
    std::set<std::string> InstalledPaths() const;

    // The component of the package file at path (lower-cased); "" for none.
    std::string ComponentAt(const std::string& path) const;

    const std::map<std::string, std::string>& ComponentsByPath() const;

    // An INF in features a first installation leaves out is neither there for the action nor
    // installed when the feature is added later, unless the action follows its component.
    void CheckInfInstalledByDefault(const DllAction& action, const std::string& inf);

    // An INF the package installs finds its driver beside it under its own name.
    void CheckDriverImagesBesideInfs();

    // Drivers and services serve the machine: the package must install per machine.
    void CheckPerMachine();

    // An upgrade removes the older version only through an Upgrade row of this product's
    // UpgradeCode that does more than detect.
    void CheckUpgradeFindsOlderVersions();

    // Every maintenance path played over the package, and the machine judged at its end.
    void CheckPaths();

    void JudgePath(const PathPlayer& player, const Played& played);

    // Why the action of the export (for the INF, where one is given) did not do its work.
    std::string WhyNotRun(const SessionResult& result, Export id, const std::string& inf) const;

    static std::string CommandLineProperty(const std::string& condition, const PathPlayer& player);

    std::string RanOnPath(const SessionResult& result, Export id) const;

    // The first forward action of the export (for the INF), the subject of a path finding.
    std::string SubjectFor(Export id, const std::string& inf) const;

    // One finding per rule and subject: the first path that shows it.
    bool MeantToRemoveOlderVersions() const;
    void ReportOlderVersionKept(const std::string& path);
    void PathError(const char* rule, const std::string& subject, const std::string& message,
                   Severity severity = Severity::Error);

    // wixl drops the "$" of a component's action state in an author's conditions: the
    // condition then reads a property named after the component, which is never set.
    void CheckLostActionState();

    // The Upgrade row that removes older versions carries MigrateFeatures where features can
    // differ from their defaults.
    void CheckMigrateFeatures();

    const PackageTables& tables_;
    const InstallationSymbols symbols_;
    std::set<std::string> pathReported_;
    int pathViolations_ = 0;
    std::map<std::string, const SequenceRow*> sequence_;
    std::vector<int> runPoints_;
    std::vector<DllAction> actions_;
    std::vector<StateLocation> locations_;
    std::map<std::string, CalledDll> called_;
    std::set<std::string> unreadReported_;
    std::vector<Finding> findings_;
    mutable std::map<std::string, Installations> runsIn_;
    mutable std::map<std::string, ActionData> dataOf_;
    mutable std::optional<std::map<std::string, std::string>> componentsByPath_;
};

}  // namespace zelk::checker::model
