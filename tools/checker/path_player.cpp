#include "path_player.h"

namespace zelk::checker::model {
namespace {

// msidbCustomActionType...: the async flag (Return="asyncWait", "asyncNoWait"), the error
// action, the programs started through a property, a folder or a file.
constexpr int kAsync = 0x80;
constexpr int kErrorAction = 19;
constexpr int kExeInProperty = 50;
constexpr int kExeInFolder = 34;
constexpr int kExeInFile = 18;

// msidbServiceControlEvent...: install and uninstall events.
constexpr int kStartOnInstall = 0x01;
constexpr int kStopOnInstall = 0x02;
constexpr int kStartOnUninstall = 0x10;
constexpr int kStopOnUninstall = 0x20;

// msidbUpgradeAttributes...
constexpr int kMigrateFeatures = 0x1;
constexpr int kMinInclusive = 0x100;
constexpr int kMaxInclusive = 0x200;

constexpr unsigned kAccessDenied = 5;
constexpr unsigned kInvalidData = 13;
constexpr unsigned kFileNotFound = 2;
constexpr unsigned kServiceExists = 1073;
constexpr unsigned kServiceMarked = 1072;
constexpr unsigned kServiceMissing = 1060;
constexpr unsigned kServiceNotActive = 1062;
constexpr unsigned kDllNotLoaded = 1723;
constexpr unsigned kInstallFailure = 1603;

constexpr const char* kSystemDrivers = "c:\\windows\\system32\\drivers\\";

// What the root-device INFs create, and the service of the device's function driver.
struct RootPackage {
    const char* inf;
    const char* hardwareId;
    const char* service;
    Export removal;
};
const RootPackage kRootPackages[] = {
    {kVirtualInf, "ROOT\\ZELK_VIRTUAL", "zelk_virtual", Export::UninstallVirtualDriver},
    {kLanInf, "ROOT\\ZELK_LAN", "zelk_lan", Export::UninstallLanDriver},
};

const RootPackage* RootOfInf(const std::string& infName) {
    for (const RootPackage& root : kRootPackages) {
        if (infName == root.inf) {
            return &root;
        }
    }
    return nullptr;
}

const RootPackage* RootRemovedBy(Export id) {
    for (const RootPackage& root : kRootPackages) {
        if (root.removal == id) {
            return &root;
        }
    }
    return nullptr;
}

std::vector<int> VersionFields(const std::string& version) {
    std::vector<int> fields;
    int at = 0;
    const char* text = version.c_str();
    for (int field = 0; field < 3; ++field) {
        int value = 0;
        const auto [end, error] = std::from_chars(text + at, text + version.size(), value);
        fields.push_back(error == std::errc() ? value : 0);
        at = static_cast<int>(end - text);
        if (at >= static_cast<int>(version.size()) || version[at] != '.') {
            at = static_cast<int>(version.size());
        } else {
            ++at;
        }
    }
    return fields;
}

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> items;
    std::string item;
    for (const char c : list + ";") {
        if (c == ';') {
            if (!item.empty()) {
                items.push_back(item);
            }
            item.clear();
        } else if (c != ' ') {
            item += c;
        }
    }
    return items;
}

Op MakeOp(Op::Kind kind, const std::string& name, int product,
          std::vector<std::string> items = {}) {
    Op op;
    op.kind = kind;
    op.name = name;
    op.product = product;
    op.items = std::move(items);
    return op;
}

// A service whose driver still runs is only marked for deletion.
void Delete(Machine& machine, std::map<std::string, Service>::iterator service) {
    if (service->second.running) {
        service->second.marked = true;
    } else {
        machine.services.erase(service);
    }
}

bool IsFailurePoint(const Op& op) {
    return (op.kind == Op::Kind::Action && op.dll != nullptr && !op.immediate && !op.rollback &&
            !op.ignored) ||
           (op.kind == Op::Kind::Commit && op.name == "InstallFinalize");
}

}  // namespace

int CompareVersions(const std::string& a, const std::string& b) {
    const std::vector<int> x = VersionFields(a);
    const std::vector<int> y = VersionFields(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

bool Machine::Holds(const std::string& component) const {
    const auto found = clients.find(component);
    return found != clients.end() && !found->second.empty();
}

// What a rollback undoes, in the order it was done: a rollback action of the script, or
// what a standard action changed.
struct PathPlayer::Undo {
    std::size_t rollbackAction = SIZE_MAX;
    std::map<std::string, std::set<int>> clients;
    std::map<std::string, std::optional<Service>> services;
    std::optional<std::pair<int, std::optional<std::set<std::string>>>> product;
};

// One installation as it is played: its properties and states, its script and where the
// script has got to.
struct PathPlayer::Session {
    SessionSpec spec;
    ConditionSymbols symbols;
    std::map<std::string, int> componentAction;
    std::set<std::string> featuresAfter;
    std::set<std::string> migrated;
    bool migrate = false;
    bool inScript = false;
    std::vector<Op> ops;
    std::size_t executed = 0;
    std::vector<Undo> undo;
    std::vector<std::size_t> waiting;
    bool rollbackOn = true;
    bool stopped = false;
    std::string certificateAction;
    bool certificatePending = false;
    SessionResult result;
};

PathPlayer::PathPlayer(const PackageTables& tables, const std::vector<DllAction>& actions)
    : tables_(tables) {
    for (const DllAction& action : actions) {
        dll_[action.name] = &action;
    }
    for (const CustomActionRow& row : tables.customActions) {
        rows_[row.action] = &row;
    }
    for (const SequenceRow& row : tables.installExecuteSequence) {
        if (row.sequence > 0) {
            sequence_.push_back(&row);
        }
    }
    std::stable_sort(
        sequence_.begin(), sequence_.end(),
        [](const SequenceRow* a, const SequenceRow* b) { return a->sequence < b->sequence; });
    for (const auto& [key, file] : tables.files) {
        const ResolvedText path = ResolveFormatted(tables, "[#" + key + "]");
        if (path.exact && !path.text.empty()) {
            componentAtPath_[Lower(path.text)] = file.component;
        }
    }
    for (const auto& [component, feature] : tables.componentFeatures) {
        featuresOf_[component].push_back(feature);
    }
    // The data the package gives its driver and kernel-service actions, whichever setter runs.
    for (const DllAction& action : actions) {
        if (!action.IsForward() ||
            (action.Id() != Export::InstallDriver && action.Id() != Export::InstallKernelService)) {
            continue;
        }
        for (const CustomActionRow& row : tables.customActions) {
            if ((row.type & kTypeMask) != kSetProperty || row.source != action.name) {
                continue;
            }
            const std::string data = ResolveFormatted(tables, row.target).text;
            if (action.Id() == Export::InstallKernelService) {
                const std::string service = Lower(data);
                if (service.empty()) {
                    continue;
                }
                const auto image = componentAtPath_.find(kSystemDrivers + service + ".sys");
                const std::string component = image == componentAtPath_.end() ? "" : image->second;
                kernelServices_[service] = component;
                if (!component.empty()) {
                    driverComponents_.insert(component);
                }
                continue;
            }
            const std::vector<std::string> tokens = DriverTokens(data);
            if (tokens.empty()) {
                continue;
            }
            const auto component = componentAtPath_.find(Lower(tokens[0]));
            if (component == componentAtPath_.end()) {
                continue;
            }
            const std::string inf = Lower(FileNameOfPath(tokens[0]));
            infComponents_[component->second] = inf;
            driverComponents_.insert(component->second);
            if (const RootPackage* root = RootOfInf(inf)) {
                rootDevices_[component->second] = root->hardwareId;
            }
        }
    }
}

Properties PathPlayer::BaseProperties() const {
    Properties properties = tables_.properties;
    // A 64-bit package on 64-bit Windows 10, run by an administrator from its user interface.
    properties["VersionNT"] = "603";
    properties["VersionNT64"] = "603";
    properties["Privileged"] = "1";
    properties["AdminUser"] = "1";
    properties["UILevel"] = "5";
    return properties;
}

int PathPlayer::InstallLevel() const {
    int level = 1;
    const auto found = tables_.properties.find("INSTALLLEVEL");
    if (found != tables_.properties.end()) {
        std::from_chars(found->second.data(), found->second.data() + found->second.size(), level);
    }
    return level;
}

std::map<std::string, int> PathPlayer::Levels(const ConditionSymbols& symbols) const {
    std::map<std::string, int> levels;
    for (const std::string& feature : tables_.features) {
        const auto level = tables_.featureLevels.find(feature);
        levels[feature] = level == tables_.featureLevels.end() ? 1 : level->second;
    }
    for (const FeatureCondition& row : tables_.featureConditions) {
        if (levels.count(row.feature) != 0 &&
            EvaluateCondition(row.condition, symbols) == ConditionValue::True) {
            levels[row.feature] = row.level;
        }
    }
    return levels;
}

// The older versions the Upgrade rows find, with the action properties they set. An elevated
// installation started from its user interface runs FindRelatedProducts there and passes only
// the properties listed in SecureCustomProperties to the execution.
void PathPlayer::FindRelated(Session& session, const Machine& machine) const {
    const auto code = tables_.properties.find("UpgradeCode");
    const bool scheduled =
        std::any_of(sequence_.begin(), sequence_.end(),
                    [](const SequenceRow* row) { return row->action == "FindRelatedProducts"; });
    if (code == tables_.properties.end() || !scheduled) {
        return;
    }
    const auto secureList = tables_.properties.find("SecureCustomProperties");
    const std::vector<std::string> secure =
        SplitList(secureList == tables_.properties.end() ? "" : secureList->second);
    for (const UpgradeRow& row : tables_.upgrades) {
        if (Lower(row.upgradeCode) != Lower(code->second) || row.actionProperty.empty()) {
            continue;
        }
        for (const auto& [product, version] : machine.versions) {
            if (product == session.spec.product || machine.products.count(product) == 0) {
                continue;
            }
            const bool aboveMin =
                row.versionMin.empty() || CompareVersions(version, row.versionMin) >
                                              ((row.attributes & kMinInclusive) ? -1 : 0);
            const bool belowMax =
                row.versionMax.empty() || CompareVersions(version, row.versionMax) <
                                              ((row.attributes & kMaxInclusive) ? 1 : 0);
            if (!aboveMin || !belowMax) {
                continue;
            }
            if (std::find(secure.begin(), secure.end(), row.actionProperty) == secure.end()) {
                continue;
            }
            session.symbols.properties[row.actionProperty] =
                "{PRODUCT-" + std::to_string(product) + "}";
            if ((row.attributes & kMigrateFeatures) != 0 &&
                (row.attributes & kUpgradeOnlyDetect) == 0) {
                session.migrate = true;
                session.migrated = machine.products.at(product);
            }
        }
    }
}

void PathPlayer::Cost(Session& session, const Machine& machine) const {
    const SessionSpec& spec = session.spec;
    Properties& properties = session.symbols.properties;
    const auto registered = machine.products.find(spec.product);
    const bool installed = registered != machine.products.end();
    const std::set<std::string> had = installed ? registered->second : std::set<std::string>{};
    if (installed) {
        properties["Installed"] = "2026/01/01 00:00:00";
    }
    switch (spec.request) {
        case Request::FirstEvery:
            properties["ADDLOCAL"] = "ALL";
            break;
        case Request::Add:
            properties["ADDLOCAL"] = spec.feature;
            break;
        case Request::Remove:
            properties["REMOVE"] = spec.feature;
            break;
        case Request::Repair:
            properties["REINSTALL"] = "ALL";
            properties["REINSTALLMODE"] = "omus";
            break;
        case Request::Uninstall:
            properties["REMOVE"] = "ALL";
            if (spec.removedByUpgrade) {
                properties["UPGRADINGPRODUCTCODE"] =
                    "{PRODUCT-" + std::to_string(kThisProduct) + "}";
            }
            break;
        default:
            break;
    }
    const std::map<std::string, int> levels = Levels(session.symbols);
    const int installLevel = InstallLevel();
    std::map<std::string, int> featureAction;
    for (const auto& [feature, level] : levels) {
        int action = kStateNoAction;
        const bool has = had.count(feature) != 0;
        switch (spec.request) {
            case Request::FirstDefault:
            case Request::FirstEvery:
                if (installed) {
                    break;
                }
                if (level > 0 && feature != spec.feature &&
                    (session.migrate                       ? session.migrated.count(feature) != 0
                     : spec.request == Request::FirstEvery ? true
                                                           : level <= installLevel)) {
                    action = kStateLocal;
                }
                break;
            case Request::Add:
                action = feature == spec.feature && level > 0 && !has ? kStateLocal : action;
                break;
            case Request::Remove:
                action = feature == spec.feature && has ? kStateAbsent : action;
                break;
            case Request::Repair:
                action = has ? kStateLocal : action;
                break;
            case Request::Uninstall:
                // A feature whose level is 0 on this run is disabled: it keeps its state.
                action = has && level > 0 ? kStateAbsent : action;
                break;
        }
        featureAction[feature] = action;
        session.symbols.states["&" + feature] = action;
        session.symbols.states["!" + feature] = has ? kStateLocal : kStateAbsent;
        if ((has && action != kStateAbsent) || action == kStateLocal) {
            session.featuresAfter.insert(feature);
        }
    }
    for (const auto& [component, directory] : tables_.componentDirectories) {
        const auto clients = machine.clients.find(component);
        const bool holds = clients != machine.clients.end() && clients->second.count(spec.product);
        const bool shared =
            clients != machine.clients.end() && clients->second.size() > (holds ? 1U : 0U);
        bool local = false;
        bool removing = false;
        bool keeping = false;
        const auto features = featuresOf_.find(component);
        if (features != featuresOf_.end()) {
            for (const std::string& feature : features->second) {
                const int action = featureAction[feature];
                local = local || action == kStateLocal;
                removing = removing || action == kStateAbsent;
                keeping = keeping || (had.count(feature) != 0 && action != kStateAbsent);
            }
        }
        const auto condition = tables_.componentConditions.find(component);
        const bool allowed =
            condition == tables_.componentConditions.end() || condition->second.empty() ||
            EvaluateCondition(condition->second, session.symbols) == ConditionValue::True;
        int action = kStateNoAction;
        if (local && allowed) {
            action = holds && spec.request != Request::Repair ? kStateNoAction : kStateLocal;
        } else if (holds && removing && !keeping && !local) {
            // A component another product still holds gets no removal state.
            action = shared ? kStateNoAction : kStateAbsent;
        }
        if (spec.request == Request::Uninstall && holds && action != kStateAbsent && !shared) {
            session.result.kept.insert(component);
        }
        session.componentAction[component] = action;
        session.symbols.states["$" + component] = action;
        session.symbols.states["?" + component] = holds ? kStateLocal : kStateAbsent;
    }
}

SessionResult PathPlayer::Play(const SessionSpec& spec, Machine& machine) const {
    Session session;
    session.spec = spec;
    session.symbols.properties = BaseProperties();
    for (const auto& [name, value] : spec.commandLine) {
        session.symbols.properties[name] = value;
    }
    const auto reboot = session.symbols.properties.find("REBOOT");
    session.result.rebootAskedInitially =
        reboot != session.symbols.properties.end() && !reboot->second.empty();
    if (spec.upgrade) {
        FindRelated(session, machine);
    }
    Cost(session, machine);
    Walk(session, machine, nullptr);
    session.result.ops = std::move(session.ops);
    session.result.reboot = session.symbols.properties["REBOOT"];
    return std::move(session.result);
}

void PathPlayer::Walk(Session& session, Machine& machine, std::vector<Op>* parent) const {
    for (const SequenceRow* row : sequence_) {
        if (session.stopped || session.result.refused) {
            return;
        }
        RunRow(session, machine, *row, parent);
    }
    if (parent == nullptr && !session.stopped) {
        RunPending(session, machine);
    }
}

void PathPlayer::Queue(Session& session, Op op, std::vector<Op>* parent) const {
    (parent != nullptr ? *parent : session.ops).push_back(std::move(op));
}

void PathPlayer::RunRow(Session& session, Machine& machine, const SequenceRow& row,
                        std::vector<Op>* parent) const {
    if (EvaluateCondition(row.condition, session.symbols) != ConditionValue::True) {
        return;
    }
    const std::string& name = row.action;
    const bool nested = parent != nullptr;
    const auto componentsIn = [&](int state) {
        std::vector<std::string> components;
        for (const auto& [component, action] : session.componentAction) {
            if (action == state) {
                components.push_back(component);
            }
        }
        return components;
    };
    const auto serviceStep = [&](Op::Kind kind, int onInstall, int onUninstall) {
        Op op = MakeOp(kind, name, session.spec.product);
        for (const ServiceControlRow& control : tables_.serviceControls) {
            const auto action = session.componentAction.find(control.component);
            const int state =
                action == session.componentAction.end() ? kStateNoAction : action->second;
            if ((state == kStateLocal && (control.event & onInstall) != 0) ||
                (state == kStateAbsent && (control.event & onUninstall) != 0)) {
                op.items.push_back(Lower(
                    ResolveFormatted(tables_, control.name, session.symbols.properties).text));
            }
        }
        if (!op.items.empty()) {
            Queue(session, std::move(op), parent);
        }
    };
    if (name == "AppSearch") {
        FindServices(session, machine);
    } else if (name == "InstallInitialize") {
        session.inScript = true;
    } else if (name == "InstallExecute" || name == "InstallExecuteAgain") {
        if (!nested) {
            RunPending(session, machine);
        }
    } else if (name == "InstallFinalize") {
        const bool removed = session.spec.request == Request::Uninstall;
        Op registration =
            MakeOp(removed ? Op::Kind::Unregister : Op::Kind::Register, name, session.spec.product);
        registration.features = session.featuresAfter;
        Queue(session, std::move(registration), parent);
        if (!nested) {
            RunPending(session, machine);
            Queue(session, MakeOp(Op::Kind::Commit, name, session.spec.product), nullptr);
            RunPending(session, machine);
        }
        session.inScript = false;
    } else if (name == "InstallFiles") {
        Op op = MakeOp(Op::Kind::AddFiles, name, session.spec.product, componentsIn(kStateLocal));
        Queue(session, std::move(op), parent);
    } else if (name == "RemoveFiles") {
        Queue(session,
              MakeOp(Op::Kind::RemoveFiles, name, session.spec.product, componentsIn(kStateAbsent)),
              parent);
    } else if (name == "StopServices") {
        serviceStep(Op::Kind::StopServices, kStopOnInstall, kStopOnUninstall);
    } else if (name == "DeleteServices") {
        serviceStep(Op::Kind::DeleteServices, kDeleteOnInstall, kDeleteOnUninstall);
    } else if (name == "StartServices") {
        serviceStep(Op::Kind::StartServices, kStartOnInstall, kStartOnUninstall);
    } else if (name == "ScheduleReboot") {
        session.result.rebootScheduled = true;
    } else if (name == "DisableRollback") {
        Queue(session, MakeOp(Op::Kind::DisableRollback, name, session.spec.product), parent);
        if (!session.inScript && !nested) {
            RunPending(session, machine);
        }
    } else if (name == "RemoveExistingProducts" && !nested) {
        std::set<int> older;
        for (const std::string& property : tables_.upgradeProperties) {
            const auto value = session.symbols.properties.find(property);
            if (value == session.symbols.properties.end() || value->second.empty()) {
                continue;
            }
            for (const auto& [product, features] : machine.products) {
                if (product != session.spec.product &&
                    value->second.find("{PRODUCT-" + std::to_string(product) + "}") !=
                        std::string::npos) {
                    older.insert(product);
                }
            }
        }
        for (const int product : older) {
            Session removal;
            removal.spec.product = product;
            removal.spec.request = Request::Uninstall;
            removal.spec.removedByUpgrade = true;
            removal.symbols.properties = BaseProperties();
            Cost(removal, machine);
            Walk(removal, machine, &session.ops);
            session.result.ran.insert(removal.result.ran.begin(), removal.result.ran.end());
        }
        // Outside the transaction the removal is carried out and committed at once.
        if (!session.inScript && !older.empty()) {
            RunPending(session, machine);
            Queue(session, MakeOp(Op::Kind::Commit, name, session.spec.product), nullptr);
            RunPending(session, machine);
        }
    } else {
        const auto custom = rows_.find(name);
        if (custom == rows_.end()) {
            return;
        }
        const CustomActionRow& action = *custom->second;
        const int base = action.type & kTypeMask;
        const bool inScript = (action.type & kInScript) != 0;
        if (base == kSetProperty && !inScript) {
            session.symbols.properties[action.source] =
                ResolveFormatted(tables_, action.target, session.symbols.properties).text;
            if (action.source == "REBOOT") {
                session.result.notes.push_back({name, "sets REBOOT"});
            }
            return;
        }
        if (base == kErrorAction) {
            session.result.refused = true;
            return;
        }
        Op op = MakeOp(Op::Kind::Action, name, session.spec.product);
        op.immediate = !inScript;
        op.rollback = ModeOf(action.type) == Mode::Rollback;
        op.ignored = (action.type & kContinue) != 0;
        op.impersonated = (action.type & kNoImpersonate) == 0;
        op.deferredToEnd = (action.type & kAsync) != 0;
        if (ModeOf(action.type) == Mode::Commit) {
            return;
        }
        const auto dll = dll_.find(name);
        if (dll != dll_.end()) {
            op.dll = dll->second;
            const auto data =
                session.symbols.properties.find(op.immediate ? "CustomActionData" : name);
            op.data = data == session.symbols.properties.end() ? "" : data->second;
            if ((action.type & kBaseAndSourceMask) == kDllInFile) {
                const auto file = tables_.files.find(action.source);
                op.dllComponent = file == tables_.files.end() ? "" : file->second.component;
            }
            session.result.ran.insert(name);
            if (op.dll->IsForward() && op.dll->rule->withoutData != nullptr && op.data.empty()) {
                session.result.notes.push_back(
                    {name, std::string("runs without data, so it ") + op.dll->rule->withoutData});
            }
            if (op.dll->Id() == Export::InstallCertificate && op.dll->IsForward()) {
                session.certificateAction = name;
                session.certificatePending = true;
            }
            if (op.immediate) {
                RunImmediate(session, machine, op);
                return;
            }
            Queue(session, std::move(op), parent);
            return;
        }
        if ((base == kExeInProperty || base == kExeInFolder || base == kExeInFile) && inScript) {
            const std::string command =
                Lower(ResolveFormatted(tables_, action.target, session.symbols.properties).text);
            if (command.rfind("delete ", 0) == 0 || command.rfind("start ", 0) == 0) {
                op.command = command;
                Queue(session, std::move(op), parent);
            }
        }
    }
}

// The registry searches for a service's key find the services the machine holds; the player
// knows no other registry value.
void PathPlayer::FindServices(Session& session, const Machine& machine) const {
    constexpr int kLocalMachine = 2;
    const std::string services = "system\\currentcontrolset\\services\\";
    for (const RegistrySearch& search : tables_.registrySearches) {
        const std::string key = Lower(search.key);
        if (search.root != kLocalMachine || key.rfind(services, 0) != 0) {
            continue;
        }
        const std::string name =
            key.substr(services.size(), key.find('\\', services.size()) - services.size());
        if (machine.services.count(name) != 0) {
            session.symbols.properties[search.property] = "#1";
        } else {
            session.symbols.properties.erase(search.property);
        }
    }
}

void PathPlayer::RunImmediate(Session& session, Machine& machine, const Op& op) const {
    if (op.dll->Id() != Export::RebootDecision) {
        return;  // with the user's rights, the other actions change nothing
    }
    session.ops.push_back(op);
    if (op.data.empty() || op.data.back() != '\\') {
        return;
    }
    const std::string key = Lower(op.data);
    const bool restart = std::any_of(
        machine.stateValues.begin(), machine.stateValues.end(), [&](const std::string& value) {
            return value.rfind(key, 0) == 0 && value.find('\\', key.size()) == std::string::npos;
        });
    if (restart) {
        session.symbols.properties["REBOOT"] = "Force";
    }
}

void PathPlayer::RunPending(Session& session, Machine& machine) const {
    while (session.executed < session.ops.size() && !session.stopped) {
        Execute(session, machine, session.executed++, false);
    }
}

void PathPlayer::Execute(Session& session, Machine& machine, std::size_t index, bool late) const {
    Op& op = session.ops[index];
    if (op.immediate) {
        return;
    }
    switch (op.kind) {
        case Op::Kind::Commit: {
            // The asynchronous actions the installer waits for at the end of the script.
            const std::vector<std::size_t> waiting = std::move(session.waiting);
            session.waiting.clear();
            for (const std::size_t action : waiting) {
                Execute(session, machine, action, true);
                if (session.stopped) {
                    return;
                }
            }
            if (IsFailurePoint(op) && session.spec.failures) {
                FailHere(session, machine, op);
            }
            session.undo.clear();
            return;
        }
        case Op::Kind::DisableRollback:
            session.rollbackOn = false;
            session.result.rollbackDisabledBy = op.name;
            session.undo.clear();
            return;
        case Op::Kind::AddFiles:
        case Op::Kind::RemoveFiles: {
            Undo undo;
            for (const std::string& component : op.items) {
                undo.clients[component] = machine.clients[component];
                if (op.kind == Op::Kind::AddFiles) {
                    machine.clients[component].insert(op.product);
                } else {
                    machine.clients[component].erase(op.product);
                }
            }
            Keep(session, std::move(undo));
            return;
        }
        case Op::Kind::StopServices:
        case Op::Kind::DeleteServices:
        case Op::Kind::StartServices: {
            Undo undo;
            for (const std::string& name : op.items) {
                const auto service = machine.services.find(name);
                if (service == machine.services.end()) {
                    undo.services[name] = std::nullopt;
                    continue;
                }
                // The installer's rollback of a deletion registers the service again, stopped.
                undo.services[name] =
                    op.kind == Op::Kind::DeleteServices ? Service{false} : service->second;
                if (op.kind == Op::Kind::StopServices) {
                    service->second.running = false;
                } else if (op.kind == Op::Kind::DeleteServices) {
                    Delete(machine, service);
                } else if (ImagePresent(machine, name)) {
                    service->second.running = true;
                }
            }
            Keep(session, std::move(undo));
            return;
        }
        case Op::Kind::Register:
        case Op::Kind::Unregister: {
            Undo undo;
            const auto product = machine.products.find(op.product);
            undo.product = {op.product, product == machine.products.end()
                                            ? std::nullopt
                                            : std::optional(product->second)};
            if (op.kind == Op::Kind::Register) {
                machine.products[op.product] = op.features;
                const auto version = tables_.properties.find("ProductVersion");
                machine.versions.emplace(
                    op.product, version == tables_.properties.end() ? "" : version->second);
            } else {
                machine.products.erase(op.product);
            }
            Keep(session, std::move(undo));
            return;
        }
        case Op::Kind::Action:
            break;
    }
    if (op.deferredToEnd && !late) {
        session.waiting.push_back(index);
        return;
    }
    if (op.rollback) {
        Undo undo;
        undo.rollbackAction = index;
        Keep(session, std::move(undo));
        return;
    }
    if (IsFailurePoint(op) && session.spec.failures) {
        FailHere(session, machine, op);
    }
    if (op.dll != nullptr && op.dll->Id() == Export::InstallCertificate) {
        session.certificatePending = false;
    }
    if (op.dll != nullptr && op.dll->Id() == Export::InstallDriver && session.certificatePending &&
        !machine.certificateTrusted) {
        session.result.notes.push_back(
            {session.certificateAction,
             "puts the publisher's certificate in the store only after " + Quoted(op.name) +
                 " has installed a driver"});
    }
    std::string why;
    const unsigned code = Apply(machine, op, false, why);
    if (op.dll != nullptr && op.dll->Id() == Export::InstallDriver && code == 0 && why.empty() &&
        DriverTokens(op.data).size() == 2) {
        ++session.result.outcomesRecorded;
    }
    if (!why.empty() && code == 0) {
        session.result.notes.push_back({op.name, why});
    }
    // A DLL the installer cannot load fails the installation whatever the action's flags.
    if (code != 0 && (!op.ignored || code == kDllNotLoaded)) {
        session.result.failure = Failure{op.name, code, why};
        Roll(session, machine);
    }
}

// The action fails here: on a copy of the machine, what it did before failing, then the
// rollback of everything the script did so far. The path itself goes on.
void PathPlayer::FailHere(Session& session, const Machine& machine, const Op& op) const {
    Machine failed = machine;
    std::string why;
    if (op.kind == Op::Kind::Action) {
        Apply(failed, op, true, why);
    }
    Undone(session, failed);
    session.result.failures.emplace_back(
        Failure{op.kind == Op::Kind::Action ? op.name : "InstallFinalize", kInstallFailure, ""},
        std::move(failed));
}

void PathPlayer::Undone(const Session& session, Machine& machine) const {
    for (auto undo = session.undo.rbegin(); undo != session.undo.rend(); ++undo) {
        if (undo->rollbackAction != SIZE_MAX) {
            std::string why;
            Apply(machine, session.ops[undo->rollbackAction], false, why);
            continue;
        }
        for (const auto& [component, clients] : undo->clients) {
            machine.clients[component] = clients;
        }
        for (const auto& [name, service] : undo->services) {
            if (service) {
                machine.services[name] = *service;
            } else {
                machine.services.erase(name);
            }
        }
        if (undo->product) {
            if (undo->product->second) {
                machine.products[undo->product->first] = *undo->product->second;
            } else {
                machine.products.erase(undo->product->first);
            }
        }
    }
}

void PathPlayer::Keep(Session& session, Undo undo) const {
    if (session.rollbackOn) {
        session.undo.push_back(std::move(undo));
    }
}

void PathPlayer::Roll(Session& session, Machine& machine) const {
    Undone(session, machine);
    session.undo.clear();
    session.stopped = true;
}

std::optional<std::string> PathPlayer::InfComponentAt(const std::string& path) const {
    const auto found = componentAtPath_.find(path);
    if (found == componentAtPath_.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool PathPlayer::ImagePresent(const Machine& machine, const std::string& service) const {
    const auto image = kernelServices_.find(service);
    return image == kernelServices_.end() || image->second.empty() || machine.Holds(image->second);
}

unsigned PathPlayer::Apply(Machine& machine, const Op& op, bool failing, std::string& why) const {
    if (!op.command.empty()) {
        if (op.impersonated) {
            why = "runs with the user's rights, which the service manager refuses";
            return kAccessDenied;
        }
        const bool deleting = op.command.rfind("delete ", 0) == 0;
        std::string name = op.command.substr(deleting ? 7 : 6);
        name = name.substr(0, name.find(' '));
        const auto service = machine.services.find(name);
        if (service == machine.services.end()) {
            return kServiceMissing;
        }
        if (deleting) {
            Delete(machine, service);
        } else if (ImagePresent(machine, name)) {
            service->second.running = true;
        }
        return 0;
    }
    if (op.dll == nullptr) {
        return 0;
    }
    if (!op.dllComponent.empty() && !machine.Holds(op.dllComponent)) {
        why = "cannot run: its DLL, a file of component " + Quoted(op.dllComponent) +
              ", is not on the machine yet, so the installer cannot load it (error 1723)";
        return kDllNotLoaded;
    }
    if (op.impersonated && op.dll->Id() != Export::UninstallOldOem) {
        why = "runs with the user's rights, which cannot change drivers or services";
        return kAccessDenied;
    }
    const std::string& data = op.data;
    switch (op.dll->Id()) {
        case Export::InstallDriver: {
            const std::vector<std::string> tokens = DriverTokens(data);
            if (tokens.empty() || tokens.size() > 2 || data.size() > kMaxDataLength) {
                why = "fails with ERROR_INVALID_DATA (13)";
                return kInvalidData;
            }
            if (tokens.size() == 2 && SplitAtLastBackslash(tokens[1]).first.empty()) {
                why = "fails with ERROR_INVALID_DATA (13): its state location has no key path";
                return kInvalidData;
            }
            const std::string path = Lower(tokens[0]);
            const std::optional<std::string> component = InfComponentAt(path);
            if (component && !machine.Holds(*component)) {
                why = "finds no INF file at " + Quoted(tokens[0]) +
                      " (result -3): nothing is staged or created";
                return 0;
            }
            const std::string inf = Lower(FileNameOfPath(tokens[0]));
            machine.staged.insert(inf);
            if (const RootPackage* root = RootOfInf(inf)) {
                if (machine.devices[root->hardwareId] == 0) {
                    machine.devices[root->hardwareId] = 1;
                    machine.services[root->service] = Service{true};
                }
            }
            if (tokens.size() == 2) {
                machine.stateValues.insert(Lower(tokens[1]));
            }
            return 0;
        }
        case Export::UninstallVirtualDriver:
        case Export::UninstallLanDriver: {
            const RootPackage* root = RootRemovedBy(op.dll->Id());
            machine.devices.erase(root->hardwareId);
            machine.services.erase(root->service);
            return 0;
        }
        case Export::ClearState: {
            const auto slash = data.rfind('\\');
            if (data.empty() || data == "0" || slash == std::string::npos) {
                return 0;
            }
            const std::string key = Lower(data.substr(0, slash + 1));
            if (slash + 1 == data.size()) {
                for (auto value = machine.stateValues.begin();
                     value != machine.stateValues.end();) {
                    value = value->rfind(key, 0) == 0 &&
                                    value->find('\\', key.size()) == std::string::npos
                                ? machine.stateValues.erase(value)
                                : std::next(value);
                }
            } else {
                machine.stateValues.erase(Lower(data));
            }
            return 0;
        }
        case Export::InstallCertificate: {
            if (data.empty() || data == "0") {
                return 0;
            }
            const std::optional<std::string> component = InfComponentAt(Lower(data));
            if (!component || machine.Holds(*component)) {
                machine.certificateTrusted = true;
            }
            return 0;
        }
        case Export::InstallKernelService: {
            if (data.empty() || data == "0" || data.size() > kMaxDataLength) {
                why = "fails with ERROR_INVALID_DATA (13)";
                return kInvalidData;
            }
            const std::string name = Lower(data);
            const auto existing = machine.services.find(name);
            if (existing != machine.services.end() && existing->second.marked) {
                why = "fails with ERROR_SERVICE_MARKED_FOR_DELETE (1072): the service " +
                      Quoted(data) + " was deleted while its driver ran and stays until a restart";
                return kServiceMarked;
            }
            if (existing != machine.services.end()) {
                why = "fails with ERROR_SERVICE_EXISTS (1073): the service " + Quoted(data) +
                      " is registered already";
                return kServiceExists;
            }
            machine.services[name] = Service{false};
            if (failing) {
                return 0;  // registered, its driver never started
            }
            if (!ImagePresent(machine, name)) {
                why = "registers " + Quoted(data) +
                      " but its image is not on the machine: the "
                      "start fails with ERROR_FILE_NOT_FOUND (2) and the service stays";
                return kFileNotFound;
            }
            machine.services[name].running = true;
            return 0;
        }
        case Export::UninstallKernelService: {
            if (data.empty() || data == "0" || data.size() > kMaxDataLength) {
                return kInvalidData;
            }
            const auto service = machine.services.find(Lower(data));
            if (service == machine.services.end()) {
                return kServiceMissing;
            }
            if (!service->second.running) {
                return kServiceNotActive;
            }
            machine.services.erase(service);
            return 0;
        }
        default:
            return 0;
    }
}

}  // namespace zelk::checker::model
