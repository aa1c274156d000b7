// Rules: the files the actions need, where they need them.
#include "package_model.h"

namespace zelk::checker::model {

// The action registers <system folder>\drivers\<name>.sys; the package must put the image
// there. A folder the checker cannot resolve gives no finding.
void PackageChecker::CheckKernelImage(const DllAction& action, const std::string& service) {
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

// Where each file of the package goes by default, lower-cased.
std::set<std::string> PackageChecker::InstalledPaths() const {
    std::set<std::string> paths;
    for (const auto& [path, component] : ComponentsByPath()) {
        paths.insert(path);
    }
    return paths;
}

// Resolved once: every driver action asks.
const std::map<std::string, std::string>& PackageChecker::ComponentsByPath() const {
    if (!componentsByPath_) {
        componentsByPath_.emplace();
        for (const auto& [key, file] : tables_.files) {
            const ResolvedText path = ResolveFormatted(tables_, "[#" + key + "]");
            if (path.exact) {
                componentsByPath_->emplace(Lower(path.text), file.component);
            }
        }
    }
    return *componentsByPath_;
}

// The component of the package file at path (lower-cased); "" for none.
std::string PackageChecker::ComponentAt(const std::string& path) const {
    const auto found = ComponentsByPath().find(path);
    return found == ComponentsByPath().end() ? "" : found->second;
}

// An INF in features a first installation leaves out is neither there for the action nor
// installed when the feature is added later, unless the action follows its component.
void PackageChecker::CheckInfInstalledByDefault(const DllAction& action, const std::string& inf) {
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
    // The Condition rows set a feature's level before the installer compares it.
    const ConditionSymbols& first = symbols_.Of(Installation::First);
    const auto levelOf = [&](const std::string& feature) -> std::optional<int> {
        const auto found = tables_.featureLevels.find(feature);
        if (found == tables_.featureLevels.end()) {
            return std::nullopt;
        }
        int level = found->second;
        for (const FeatureCondition& row : tables_.featureConditions) {
            if (row.feature == feature &&
                EvaluateCondition(row.condition, first) == ConditionValue::True) {
                level = row.level;
            }
        }
        return level;
    };
    std::string optional;
    const auto [begin, last] = tables_.componentFeatures.equal_range(component);
    for (auto feature = begin; feature != last; ++feature) {
        const std::optional<int> level = levelOf(feature->second);
        if (!level || (*level > 0 && *level <= threshold)) {
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
void PackageChecker::CheckDriverImagesBesideInfs() {
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

}  // namespace zelk::checker::model
