// Rules: an upgrade that finds and removes the older version in its transaction.
#include "package_model.h"

namespace zelk::checker::model {

// An upgrade removes the older version inside this installation's transaction, so that a
// failed upgrade restores it. Two places inside it are sound: right after InstallInitialize,
// before this version installs anything, or after InstallExecute has run this version's
// script, when the installer already counts this version as a client of the components both
// share and the older version's removal leaves them, with their devices and services. In
// between, the older version's removal actions run after this version's install actions.
void PackageChecker::CheckRemoveExistingProducts() {
    const SequenceRow* removal = Scheduled("RemoveExistingProducts");
    const SequenceRow* initialize = Scheduled("InstallInitialize");
    if (removal == nullptr || removal->sequence <= 0 || initialize == nullptr) {
        return;
    }
    const auto firstInstall = std::find_if(actions_.begin(), actions_.end(), [](auto& a) {
        return a.IsForward() && a.InScript() && DirectionOf(a.Id()) == Direction::Install;
    });
    const SequenceRow* finalize = Scheduled("InstallFinalize");
    const auto afterScriptRun = [&](const char* runner) {
        const SequenceRow* run = Scheduled(runner);
        return run != nullptr && run->sequence > 0 && removal->sequence > run->sequence &&
               (finalize == nullptr || removal->sequence < finalize->sequence) &&
               (firstInstall == actions_.end() || run->sequence > firstInstall->sequence);
    };
    std::string why;
    if (removal->sequence < initialize->sequence) {
        why =
            "before InstallInitialize, outside the installation's transaction: the older "
            "version is removed in a transaction of its own, so when this installation "
            "then fails the older version is not restored, and the machine keeps "
            "neither";
    } else if (finalize != nullptr && removal->sequence > finalize->sequence) {
        why =
            "after InstallFinalize, outside the installation's transaction: should the older "
            "version's removal fail, nothing undoes this installation and both versions stay "
            "installed";
    } else if (firstInstall != actions_.end() && removal->sequence > firstInstall->sequence &&
               !afterScriptRun("InstallExecute") && !afterScriptRun("InstallExecuteAgain")) {
        why = "after " + Quoted(firstInstall->name) +
              " with no InstallExecute between them: the older version's removal actions run "
              "after this version's install actions and take away the devices and the kernel "
              "service it has just put in place";
    } else {
        return;
    }
    findings_.push_back({"ZCA080", Severity::Error, "RemoveExistingProducts",
                         "is scheduled at " + std::to_string(removal->sequence) + ", " + why +
                             "; schedule it between InstallExecute and InstallFinalize, as the "
                             "include does.",
                         "InstallExecuteSequence", "Sequence"});
}

// An upgrade removes the older version only through an Upgrade row of this product's
// UpgradeCode that does more than detect.
void PackageChecker::CheckUpgradeFindsOlderVersions() {
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
             Quoted(code->second) + (detectsOnly ? " only detects (OnlyDetect, attribute 2)" : "") +
             ": RemoveExistingProducts removes no older version, so an upgrade installs "
             "beside it, meets its kernel service and devices, and fails with "
             "ERROR_SERVICE_EXISTS (1073); add a row of this UpgradeCode for the older "
             "versions without OnlyDetect.",
         "Upgrade", ""});
}

void PackageChecker::CheckMigrateFeatures() {
    constexpr int kMigrateFeatures = 0x1;
    const auto code = tables_.properties.find("UpgradeCode");
    if (code == tables_.properties.end()) {
        return;
    }
    // Only where a feature's state can differ from its default: more than one feature, or
    // one a first installation leaves out.
    long long installLevel = 1;
    const auto level = tables_.properties.find("INSTALLLEVEL");
    if (level != tables_.properties.end()) {
        std::from_chars(level->second.data(), level->second.data() + level->second.size(),
                        installLevel);
    }
    const bool optional =
        tables_.features.size() > 1 ||
        std::any_of(tables_.featureLevels.begin(), tables_.featureLevels.end(),
                    [&](const auto& feature) { return feature.second > installLevel; });
    if (!optional) {
        return;
    }
    for (const UpgradeRow& row : tables_.upgrades) {
        if (Lower(row.upgradeCode) != Lower(code->second) ||
            (row.attributes & kUpgradeOnlyDetect) != 0 ||
            (row.attributes & kMigrateFeatures) != 0) {
            continue;
        }
        findings_.push_back(
            {"ZCA112", Severity::Error, "Upgrade",
             "the Upgrade row that removes older versions (" + Quoted(row.actionProperty) +
                 ") lacks MigrateFeatures (attribute 1): MigrateFeatureStates then gives the new "
                 "version its default features, so a driver feature the user added is removed "
                 "with the older version and not installed again; add 1 to its Attributes.",
             "Upgrade", "Attributes"});
        return;
    }
}

}  // namespace zelk::checker::model
