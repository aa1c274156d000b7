// zelk_ca_check.exe on the sample package and on variants of it, made through the installer's
// database API: each variant adds exactly its findings and exit code, and the correct
// alternatives add none. Then the validation cube zelk_ca.cub on the same packages, through
// the validation runner zelk_validate.exe: it reports exactly the checker's findings.
// Placeholders name the sample's actions by what they call, so that its names may change:
//   {first:CA_X} {second:CA_X} {last:CA_X}  a scheduled non-rollback action calling CA_X, by
//                             its place in the sequence
//   {rollback:CA_X}           the first scheduled rollback action calling CA_X
//   {set:ACTION}              the Type 51 action scheduled last before ACTION that sets its data
//   {seq:ACTION+N}            ACTION's sequence number plus (or minus) N
//   {guid:GUID}               GUID in braces
//   {prop:NAME}               the sample's Property NAME
// A variant whose placeholder the sample cannot fill is skipped.
#include <gtest/gtest.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/machine_probe.h"
#include "support/test_files.h"
#include "zelk_version.h"

namespace zelk::checker {
namespace {

using wine::BesideProgram;
using wine::detail::Handle;

constexpr const char* kSample = "zelk_drivers.msi";
constexpr int kFromFindings = -1;  // 1 with an error among the findings, otherwise 0

// The packages of the build carry the DLL of the same build.
const std::string kSampleDllVersion =
    std::string("info: ZCA004: ZelkCa: holds zelk_ca.dll version ") + zelk::kVersion + ".";

// "0123456789" repeated to `count` characters: a name long enough to overflow a buffer.
std::string Digits(std::size_t count) {
    std::string digits;
    while (digits.size() < count) {
        digits += "0123456789";
    }
    return digits.substr(0, count);
}

// How a variant's file is made when not from the sample and its changes.
enum class Made { FromSample, Missing, Empty, Damaged };

struct Variant {
    const char* name;
    std::vector<std::string> changes;  // SQL statements; none: the sample as it is
    // "error: RULE: ACTION" or "warning: ..." it adds (ACTION may be a table), followed by
    // ": fragment" only where the sentence's detail is what the row is about; for a package
    // the checker cannot read, fragments of the sentence that says why.
    std::vector<std::string> findings;
    int exitCode = kFromFindings;
    const char* replacement = nullptr;  // the package replaced by a file holding this text
    Made made = Made::FromSample;
    const char* package = nullptr;  // another package of the build, checked as it is
};

std::vector<std::string> Joined(std::vector<std::string> first,
                                const std::vector<std::string>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

// The restart decision made whatever REBOOT holds, with nothing keeping a suppressed REBOOT.
const std::vector<std::string> kOverridingDecision = {
    "UPDATE InstallExecuteSequence SET Condition = 'NOT Installed' WHERE Action = "
    "'{first:CA_CheckAndSetRebootStatus}'",
    "DELETE FROM CustomAction WHERE Source = 'REBOOT'"};
// Then REBOOT kept first, and a suppressed REBOOT given back after the decision, with no
// ScheduleReboot left.
const std::vector<std::string> kRebootGivenBack = Joined(
    kOverridingDecision,
    {"INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('ZelkKeepReboot', 51, "
     "'ZELK_KEPT_REBOOT', '[REBOOT]')",
     "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('ZelkKeepReboot', "
     "'', 2)",
     "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('ZelkGiveRebootBack', 51, "
     "'REBOOT', '[ZELK_KEPT_REBOOT]')",
     "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
     "('ZelkGiveRebootBack', 'ZELK_KEPT_REBOOT', {seq:{first:CA_CheckAndSetRebootStatus}+1})",
     "DELETE FROM InstallExecuteSequence WHERE Action = 'ScheduleReboot'"});

// The Upgrade row that removes older versions, with these attributes.
std::vector<std::string> UpgradeRow(const std::string& attributes,
                                    const char* minimum = "'0.0.0'") {
    return {"DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'",
            "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) "
            "VALUES ('{prop:UpgradeCode}', " +
                std::string(minimum) + ", '{prop:ProductVersion}', " + attributes +
                ", 'WIX_UPGRADE_DETECTED')"};
}

// The component moved into a feature of its own at this level; the older version's features
// carried into an upgrade (MigrateFeatures), as a package of several features needs.
std::vector<std::string> InFeature(const std::string& component, const std::string& feature,
                                   int level) {
    return Joined({"INSERT INTO Feature (Feature, Display, Level, Attributes) VALUES ('" + feature +
                       "', 2, " + std::to_string(level) + ", 0)",
                   "DELETE FROM FeatureComponents WHERE Component_ = '" + component + "'",
                   "INSERT INTO FeatureComponents (Feature_, Component_) VALUES ('" + feature +
                       "', '" + component + "')"},
                  UpgradeRow("769"));
}

const char* const kConditionTable =
    "CREATE TABLE `Condition` (`Feature_` CHAR(38) NOT NULL, `Level` SHORT NOT NULL, "
    "`Condition` CHAR(255) PRIMARY KEY `Feature_`, `Level`)";

// A condition set on an action and on the Type 51 action that gives it its data.
std::string WithData(const std::string& condition, const std::string& action) {
    return "UPDATE InstallExecuteSequence SET Condition = '" + condition + "' WHERE Action = '" +
           action + "' OR Action = '{set:" + action + "}'";
}

const Variant kVariants[] = {
    {"sample", {}, {kSampleDllVersion}},
    {"smaller package from the include",
     {},
     {kSampleDllVersion},
     kFromFindings,
     nullptr,
     Made::FromSample,
     "zelk_minimal.msi"},
    {"own rollback action, not shaped like the sample",
     {},
     {kSampleDllVersion},
     kFromFindings,
     nullptr,
     Made::FromSample,
     "own_actions.msi"},
    {"missing file", {}, {"cannot be read: there is no such file"}, 2, nullptr, Made::Missing},
    {"not an installer database",
     {},
     {"is not an installer database"},
     2,
     "not an installer package"},
    {"damaged database", {}, {"is damaged"}, 2, nullptr, Made::Damaged},
    {"empty database",
     {},
     {"error: ZCA001: InstallExecuteSequence"},
     kFromFindings,
     nullptr,
     Made::Empty},
    // Hostile nesting: a finding, never a crash.
    {"condition nested 100000 deep",
     {"UPDATE InstallExecuteSequence SET Condition = '" + std::string(100000, '(') +
      "NOT Installed" + std::string(100000, ')') + "' WHERE Action = '{first:CA_InstallDriver}'"},
     {"error: ZCA002: {first:CA_InstallDriver}"}},
    {"data nested 100000 deep",
     {"UPDATE CustomAction SET Target = '" + std::string(100000, '[') +
      "' WHERE Action = '{set:{first:CA_InstallDriver}}'"},
     {"error: ZCA003: {set:{first:CA_InstallDriver}}"}},
    {"no action of the DLL",
     // Script actions from the same Binary row: none calls a DLL.
     {"UPDATE CustomAction SET Type = 6 WHERE Source = 'ZelkCa'"},
     {"error: ZCA001: InstallExecuteSequence"}},
    {"decision deferred",
     {"UPDATE CustomAction SET Type = 3073 WHERE Action = '{first:CA_CheckAndSetRebootStatus}'"},
     {"error: ZCA010: {first:CA_CheckAndSetRebootStatus}"}},
    {"decision before the drivers ran",
     {"DELETE FROM InstallExecuteSequence WHERE Action = 'InstallExecute' OR Action = "
      "'InstallExecuteAgain'"},
     {"error: ZCA063: {first:CA_CheckAndSetRebootStatus}",
      // The older version's removal then runs inside this version's script.
      "error: ZCA080: RemoveExistingProducts"}},
    {"decision after the clearing",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallExecute-1} WHERE Action = "
      "'{first:CA_ClearInstallDriverRegistryValues}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallExecute-2} WHERE Action = "
      "'{set:{first:CA_ClearInstallDriverRegistryValues}}'"},
     {"error: ZCA064: {first:CA_CheckAndSetRebootStatus}"}},
    {"driver before InstallFiles",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-1} WHERE Action = "
      "'{last:CA_InstallDriver}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-2} WHERE Action = "
      "'{set:{last:CA_InstallDriver}}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-3} WHERE Action = "
      "'{rollback:CA_ClearInstallDriverRegistryValues}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-4} WHERE Action = "
      "'{set:{rollback:CA_ClearInstallDriverRegistryValues}}'"},
     {"error: ZCA060: {last:CA_InstallDriver}",
      // It now runs before the certificate too.
      "error: ZCA062: {first:CA_InstallCertificate}"}},
    {"immediate action",
     {"UPDATE CustomAction SET Type = 1 WHERE Action = '{first:CA_InstallCertificate}'"},
     {"error: ZCA013: {first:CA_InstallCertificate}"}},
    {"impersonated action",
     {"UPDATE CustomAction SET Type = 1025 WHERE Action = '{first:CA_UninstallVirtualDriver}'"},
     {"error: ZCA014: {first:CA_UninstallVirtualDriver}"}},
    {"deferred action outside the script",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallInitialize-1} WHERE Action = "
      "'{first:CA_UninstallOldZuraOem}'"},
     {"error: ZCA015: {first:CA_UninstallOldZuraOem}"}},
    {"no data set",
     {"DELETE FROM InstallExecuteSequence WHERE Action = '{set:{first:CA_InstallCertificate}}'"},
     {"error: ZCA040: {first:CA_InstallCertificate}"}},
    {"data set after the action",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:{last:CA_InstallDriver}+1} WHERE Action = "
      "'{set:{last:CA_InstallDriver}}'"},
     {"error: ZCA040: {last:CA_InstallDriver}"}},
    {"rollback after what it undoes",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFinalize-1} WHERE Action = "
      "'{rollback:CA_UninstallVirtualDriver}'"},
     {"error: ZCA072: {rollback:CA_UninstallVirtualDriver}"}},
    {"rollback clearing after the drivers",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:{last:CA_InstallDriver}+1} WHERE Action = "
      "'{rollback:CA_ClearInstallDriverRegistryValues}'"},
     {"error: ZCA072: {rollback:CA_ClearInstallDriverRegistryValues}"}},
    {"three driver tokens",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Usb@Usb' WHERE Action = '{set:{last:CA_InstallDriver}}'"},
     {"error: ZCA044: {last:CA_InstallDriver}"}},
    {"no INF",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb@SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Usb' WHERE Action = '{set:{last:CA_InstallDriver}}'"},
     {"error: ZCA045: {last:CA_InstallDriver}"}},
    {"no value name",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\' WHERE Action = '{set:{last:CA_InstallDriver}}'"},
     {"error: ZCA047: {last:CA_InstallDriver}"}},
    {"no key path",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@Usb' WHERE Action = "
      "'{set:{last:CA_InstallDriver}}'"},
     {"error: ZCA046: {last:CA_InstallDriver}"}},
    {"root key in the path",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@HKLM\\SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Usb' WHERE Action = '{set:{last:CA_InstallDriver}}'"},
     {"error: ZCA043: {last:CA_InstallDriver}"}},
    {"clearing without the final backslash",
     {"UPDATE CustomAction SET Target = 'SOFTWARE\\Zelk\\CAN-LIN Drivers\\InstallState' WHERE "
      "Action = '{set:{first:CA_ClearInstallDriverRegistryValues}}'"},
     {"error: ZCA053: {first:CA_ClearInstallDriverRegistryValues}"}},
    {"decision without the final backslash",
     {"UPDATE CustomAction SET Target = 'SOFTWARE\\Zelk\\CAN-LIN Drivers\\InstallState' WHERE "
      "Action = '{set:{first:CA_CheckAndSetRebootStatus}}'"},
     {"error: ZCA055: {first:CA_CheckAndSetRebootStatus}"}},
    {"decision reads another key",
     {"UPDATE CustomAction SET Target = 'SOFTWARE\\Zelk\\State\\' WHERE Action = "
      "'{set:{first:CA_CheckAndSetRebootStatus}}'"},
     {"warning: ZCA056: {first:CA_CheckAndSetRebootStatus}",
      // The first installation's driver outcomes are then never read.
      "error: ZCA105: {first:CA_CheckAndSetRebootStatus}: first installation"}},
    {"service name with a path",
     {"UPDATE CustomAction SET Target = 'C:\\Windows\\system32\\drivers\\zelk_bus' WHERE Action = "
      "'{set:{first:CA_UninstallNonePnPDriver}}'"},
     {"error: ZCA057: {first:CA_UninstallNonePnPDriver}",
      // Its rollback partner registers the bare name: no longer the same service.
      "error: ZCA070: {first:CA_UninstallNonePnPDriver}"}},
    {"empty certificate path",
     {"UPDATE CustomAction SET Target = '[#no_such_file]' WHERE Action = "
      "'{set:{first:CA_InstallCertificate}}'"},
     {"error: ZCA042: {first:CA_InstallCertificate}"}},
    {"data too long under the default folders",
     {"UPDATE CustomAction SET Target = '[INSTALLDIR]Certificates\\Publisher\\" + Digits(220) +
      ".cer' WHERE Action = '{set:{first:CA_InstallCertificate}}'"},
     {"error: ZCA041: {first:CA_InstallCertificate}"}},
    {"file path too long under the default folders",
     {"UPDATE File SET FileName = 'zelk_publisher_" + Digits(210) +
      ".cer' WHERE FileName = 'zelk_publisher.cer'"},
     {"error: ZCA041: {first:CA_InstallCertificate}"}},
    {"install action on every installation",
     {"UPDATE InstallExecuteSequence SET Condition = '' WHERE Action = "
      "'{first:CA_InstallCertificate}'"},
     {"error: ZCA022: {first:CA_InstallCertificate}"}},
    {"kernel service on every repair",
     {"UPDATE InstallExecuteSequence SET Condition = 'NOT REMOVE' WHERE Action = "
      "'{first:CA_InstallNonePnPDriver}'"},
     {"error: ZCA022: {first:CA_InstallNonePnPDriver}"}},
    {"uninstall action without REMOVE=\"ALL\"",
     {"UPDATE InstallExecuteSequence SET Condition = 'Installed' WHERE Action = "
      "'{first:CA_UninstallLanDriver}'"},
     {"error: ZCA024: {first:CA_UninstallLanDriver}"}},
    {"install-only written in capitals",
     {"UPDATE InstallExecuteSequence SET Condition = 'NOT INSTALLED' WHERE Action = "
      "'{last:CA_InstallDriver}'"},
     {"error: ZCA022: {last:CA_InstallDriver}"}},
    {"uninstall-only in the wrong case",
     {"UPDATE InstallExecuteSequence SET Condition = 'REMOVE=\"All\"' WHERE Action = "
      "'{first:CA_UninstallLanDriver}'"},
     {"error: ZCA023: {first:CA_UninstallLanDriver}"}},
    // The older version's removal inside an upgrade runs with REMOVE=ALL, after this version
    // has taken over the device: a removal on REMOVE takes it away.
    {"uninstall-only without regard to case",
     {"UPDATE InstallExecuteSequence SET Condition = 'REMOVE~=\"all\"' WHERE Action = "
      "'{first:CA_UninstallLanDriver}'"},
     {"error: ZCA103: {first:CA_UninstallLanDriver}: major upgrade from version",
      // Nor does its rollback partner, on the component's condition, put it back.
      "error: ZCA108: {first:CA_UninstallLanDriver}: major upgrade from version",
      "error: ZCA108: InstallFinalize: major upgrade from version"}},
    {"component reinstalled on repair",
     {"UPDATE InstallExecuteSequence SET Condition = '$BusKernelDriver=3' WHERE Action = "
      "'{first:CA_InstallNonePnPDriver}'"},
     {"error: ZCA022: {first:CA_InstallNonePnPDriver}"}},
    {"feature reinstalled on repair",
     {"UPDATE InstallExecuteSequence SET Condition = '&Drivers=3' WHERE Action = "
      "'{last:CA_InstallDriver}'"},
     {"error: ZCA022: {last:CA_InstallDriver}"}},
    {"install-only in parentheses",
     {"UPDATE InstallExecuteSequence SET Condition = 'not (Installed)' WHERE Action = "
      "'{first:CA_InstallCertificate}'"},
     {}},
    // In an upgrade the device is the older version's: a failed upgrade must leave it.
    {"device's rollback partner on every first installation",
     {"UPDATE InstallExecuteSequence SET Condition = 'NOT (Installed)' WHERE Action = "
      "'{rollback:CA_UninstallVirtualDriver}'"},
     {"error: ZCA108: {first:CA_InstallDriver}: major upgrade from version",
      "error: ZCA108: ZelkInstallLanDriver: major upgrade from version",
      "error: ZCA108: {last:CA_InstallDriver}: major upgrade from version",
      "error: ZCA108: {first:CA_InstallNonePnPDriver}: major upgrade from version",
      "error: ZCA108: InstallFinalize: major upgrade from version"}},
    {"condition the installer cannot evaluate",
     {"UPDATE InstallExecuteSequence SET Condition = 'NOT (Installed' WHERE Action = "
      "'{first:CA_InstallCertificate}'"},
     {"error: ZCA020: {first:CA_InstallCertificate}"}},
    {"commit action for a rollback action",
     {"UPDATE CustomAction SET Type = 3649 WHERE Action = "
      "'{rollback:CA_ClearInstallDriverRegistryValues}'"},
     {"error: ZCA012: {rollback:CA_ClearInstallDriverRegistryValues}",
      "error: ZCA070: {first:CA_InstallDriver}", "error: ZCA070: {second:CA_InstallDriver}",
      "error: ZCA070: {last:CA_InstallDriver}"}},
    {"commit action for a deferred one",
     {"UPDATE CustomAction SET Type = 3585 WHERE Action = '{first:CA_InstallCertificate}'"},
     {"error: ZCA012: {first:CA_InstallCertificate}"}},
    {"kernel service without its rollback partner",
     {"DELETE FROM InstallExecuteSequence WHERE Action = '{rollback:CA_UninstallNonePnPDriver}'"},
     {"error: ZCA070: {first:CA_InstallNonePnPDriver}"}},
    {"kernel service's rollback partner for another service",
     {"UPDATE CustomAction SET Target = 'zelk_other' WHERE Action = "
      "'{set:{rollback:CA_UninstallNonePnPDriver}}'"},
     {"error: ZCA070: {first:CA_InstallNonePnPDriver}"}},
    {"root device without its rollback partner",
     {"DELETE FROM InstallExecuteSequence WHERE Action = '{rollback:CA_UninstallLanDriver}'"},
     {"error: ZCA070: {second:CA_InstallDriver}"}},
    {"rollback partner under another condition",
     {"UPDATE InstallExecuteSequence SET Condition = 'REMOVE=\"ALL\"' WHERE Action = "
      "'{rollback:CA_UninstallVirtualDriver}'"},
     {"error: ZCA071: {rollback:CA_UninstallVirtualDriver}"}},
    {"rollback partner of an uninstall action",
     {"INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('ZelkPutBackKernelService', "
      "3393, 'ZelkCa', 'CA_InstallNonePnPDriver')",
      "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES "
      "('SetZelkPutBackKernelService', 51, 'ZelkPutBackKernelService', 'zelk_bus')",
      "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
      "('SetZelkPutBackKernelService', 'REMOVE=\"ALL\"', "
      "{seq:{first:CA_UninstallNonePnPDriver}-3})",
      "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
      "('ZelkPutBackKernelService', 'REMOVE=\"ALL\"', {seq:{first:CA_UninstallNonePnPDriver}-2})"},
     {}},
    {"uninstall's rollback partner after it",
     {"INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('ZelkPutBackKernelService', "
      "3393, 'ZelkCa', 'CA_InstallNonePnPDriver')",
      "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES "
      "('SetZelkPutBackKernelService', 51, 'ZelkPutBackKernelService', 'zelk_bus')",
      "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
      "('SetZelkPutBackKernelService', 'REMOVE=\"ALL\"', "
      "{seq:{first:CA_UninstallNonePnPDriver}+1})",
      "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
      "('ZelkPutBackKernelService', 'REMOVE=\"ALL\"', {seq:{first:CA_UninstallNonePnPDriver}+2})"},
     {"error: ZCA072: ZelkPutBackKernelService"}},
    {"kernel service without a ServiceControl row",
     {"UPDATE ServiceControl SET Name = 'zelk_other' WHERE Name = 'zelk_bus'"},
     {"error: ZCA074: ServiceControl"}},
    {"kernel service deleted on installation",
     {"UPDATE ServiceControl SET Event = 168"},
     {"error: ZCA073: ZelkBusServiceRemoval"}},
    {"kernel service kept on uninstall",
     {"UPDATE ServiceControl SET Event = 32"},
     {"error: ZCA074: ServiceControl"}},
    {"older version removed after the installation",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFinalize+1} WHERE Action = "
      "'RemoveExistingProducts'"},
     {"error: ZCA080: RemoveExistingProducts"}},
    {"older version removed before the transaction",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallInitialize-1} WHERE Action = "
      "'RemoveExistingProducts'"},
     {"error: ZCA080: RemoveExistingProducts"}},
    {"older version removed inside the transaction",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallInitialize+1} WHERE Action = "
      "'RemoveExistingProducts'"},
     {}},
    {"decision skipped under suppression",
     {"UPDATE InstallExecuteSequence SET Condition = 'NOT Installed AND NOT REBOOT' WHERE Action = "
      "'{first:CA_CheckAndSetRebootStatus}'"},
     {"error: ZCA030: {first:CA_CheckAndSetRebootStatus}"}},
    {"decision overriding the suppression",
     kOverridingDecision,
     {"error: ZCA031: {first:CA_CheckAndSetRebootStatus}"}},
    {"suppressed restart without 3010",
     kRebootGivenBack,
     {"error: ZCA032: {first:CA_CheckAndSetRebootStatus}"}},
    {"suppression kept and 3010",
     Joined(kRebootGivenBack,
            {"INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
             "('ScheduleReboot', 'REBOOT=\"Force\"', {seq:{first:CA_CheckAndSetRebootStatus}+1})"}),
     {}},
    {"certificate before InstallFiles",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-1} WHERE Action = "
      "'{first:CA_InstallCertificate}'",
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallFiles-2} WHERE Action = "
      "'{set:{first:CA_InstallCertificate}}'"},
     {"error: ZCA061: {first:CA_InstallCertificate}"}},
    {"no reboot decision",
     {"DELETE FROM InstallExecuteSequence WHERE Action = '{first:CA_CheckAndSetRebootStatus}'"},
     {"warning: ZCA081: {first:CA_InstallDriver}",
      "error: ZCA105: InstallExecuteSequence: first installation"}},
    {"kernel service rollback after the install",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:{first:CA_InstallNonePnPDriver}+1} WHERE "
      "Action = '{rollback:CA_UninstallNonePnPDriver}'"},
     {"error: ZCA072: {rollback:CA_UninstallNonePnPDriver}"}},
    {"entry point with a typo",
     {"UPDATE CustomAction SET Target = 'CA_InstallNonPnPDriver' WHERE Action = "
      "'{first:CA_InstallNonePnPDriver}'"},
     {"error: ZCA005: {first:CA_InstallNonePnPDriver}: did you mean \"CA_InstallNonePnPDriver\"?"}},
    {"DLL installed with the product, not at hand",
     {"INSERT INTO File (File, Component_, FileName, FileSize, Sequence) VALUES ('ZelkCaFile', "
      "'PublisherCertificate', 'zelk_helpers.dll', 1, 99)",
      "UPDATE CustomAction SET Type = 3089, Source = 'ZelkCaFile' WHERE Action = "
      "'{first:CA_InstallCertificate}'"},
     {"warning: ZCA007: {first:CA_InstallCertificate}"}},
    {"INF outside the driver package table",
     {"UPDATE File SET FileName = 'zelk_can.inf' WHERE FileName = 'zelk_usb.inf'",
      "UPDATE File SET FileName = 'zelk_can.sys' WHERE FileName = 'zelk_usb.sys'"},
     {"warning: ZCA048: {last:CA_InstallDriver}"}},
    {"certificate after a driver",
     {"UPDATE InstallExecuteSequence SET Sequence = {seq:{last:CA_InstallDriver}+1} WHERE Action = "
      "'{first:CA_InstallCertificate}'"},
     {"error: ZCA062: {first:CA_InstallCertificate}"}},
    {"kernel image outside the drivers folder",
     {"UPDATE Component SET Directory_ = 'INSTALLDIR' WHERE Component = 'BusKernelDriver'"},
     {"error: ZCA051: {first:CA_InstallNonePnPDriver}"}},
    {"no kernel image in the package",
     {"DELETE FROM File WHERE FileName = 'zelk_bus.sys'"},
     {"warning: ZCA050: {first:CA_InstallNonePnPDriver}"}},
    {"rollback action as wixl writes it",
     {"UPDATE CustomAction SET Type = 2305 WHERE Action = '{rollback:CA_UninstallVirtualDriver}'"},
     {"error: ZCA013: {rollback:CA_UninstallVirtualDriver}",
      "error: ZCA070: {first:CA_InstallDriver}"}},
    // Mistakes authors still make, and correct packages written otherwise.
    {"kernel service failure ignored",
     {"UPDATE CustomAction SET Type = 3137 WHERE Action = '{first:CA_InstallNonePnPDriver}'"},
     {"error: ZCA090: {first:CA_InstallNonePnPDriver}"}},
    {"REBOOT set after the decision",
     {"INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('ZelkAuthorReboot', 51, "
      "'REBOOT', 'ReallySuppress')",
      "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
      "('ZelkAuthorReboot', 'NOT Installed', {seq:{first:CA_CheckAndSetRebootStatus}+3})"},
     {"error: ZCA091: ZelkAuthorReboot"}},
    {"REBOOT suppressed in the Property table",
     {"INSERT INTO Property (Property, Value) VALUES ('REBOOT', 'ReallySuppress')"},
     {}},
    {"two drivers record in one value",
     {"UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_usb.inf@SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Shared' WHERE Action = '{set:{first:CA_InstallDriver}}'",
      "UPDATE CustomAction SET Target = 'C:\\Drivers\\zelk_pci.inf@SOFTWARE\\Zelk\\CAN-LIN "
      "Drivers\\InstallState\\Shared' WHERE Action = '{set:{second:CA_InstallDriver}}'"},
     {"error: ZCA092: {second:CA_InstallDriver}"}},
    {"state key holds the package's own values",
     {"INSERT INTO Registry (Registry, Root, `Key`, Name, Value, Component_) VALUES ('ZelkOwn', "
      "2, 'SOFTWARE\\Zelk\\CAN-LIN Drivers\\InstallState\\Own', 'Folder', '[INSTALLDIR]', "
      "'PublisherCertificate')"},
     {"error: ZCA094: {first:CA_ClearInstallDriverRegistryValues}"}},
    {"INF without its driver beside it",
     {"DELETE FROM File WHERE FileName = 'zelk_virtual.sys'"},
     {"error: ZCA095: {first:CA_InstallDriver}"}},
    // Only where the action runs on the first installation rather than with its component.
    {"INF in an optional feature",
     Joined(InFeature("VirtualDriverPackage", "Optional", 3),
            {WithData("NOT Installed", "{first:CA_InstallDriver}")}),
     {"error: ZCA093: {first:CA_InstallDriver}"}},
    {"INF in an optional feature, installed with its component",
     InFeature("VirtualDriverPackage", "Optional", 3),
     {}},
    {"capital letters in the INF name",
     {"UPDATE File SET FileName = 'ZELK_USB.INF' WHERE FileName = 'zelk_usb.inf'"},
     {}},
    {"upgrade rows only detect",
     // The row that detects newer versions stays.
     {"DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"},
     {"error: ZCA096: Upgrade"}},
    {"upgrade rows of another product",
     {"DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'",
      "INSERT INTO Upgrade (UpgradeCode, VersionMin, Attributes, ActionProperty) VALUES "
      "('{guid:00000000-1111-4222-8333-444444444444}', '0.0.0', 256, 'WIX_UPGRADE_DETECTED')"},
     {"error: ZCA096: Upgrade"}},
    {"per-user package",
     {"DELETE FROM Property WHERE Property = 'ALLUSERS'"},
     {"error: ZCA097: ALLUSERS"}},
    // The include's service-utility rollback that deletes a service whose driver never started.
    {"no rollback for a service that never started",
     {"DELETE FROM InstallExecuteSequence WHERE Action = 'ZelkRollbackKernelServiceEntry'"},
     {"error: ZCA098: {first:CA_InstallNonePnPDriver}"}},
    {"service name ending in .sys",
     {"UPDATE CustomAction SET Target = 'zelk_bus.sys' WHERE Action = "
      "'{set:{first:CA_InstallNonePnPDriver}}'"},
     {"error: ZCA058: {first:CA_InstallNonePnPDriver}",
      // The rollback and the ServiceControl row name the service as it should be named.
      "error: ZCA070: {first:CA_InstallNonePnPDriver}", "error: ZCA074: ServiceControl",
      "error: ZCA098: {first:CA_InstallNonePnPDriver}"}},
    {"immediate decision with the no-impersonation flag",
     {"UPDATE CustomAction SET Type = 2049 WHERE Action = '{first:CA_CheckAndSetRebootStatus}'"},
     {"warning: ZCA011: {first:CA_CheckAndSetRebootStatus}"}},
    // Each played over its maintenance paths: the finding names the path.
    {"kernel service removed on any feature removal",
     Joined(InFeature("UsbDriverPackage", "Usb", 1),
            {WithData("REMOVE", "{first:CA_UninstallNonePnPDriver}")}),
     {"error: ZCA104: {first:CA_UninstallNonePnPDriver}: feature Usb removed",
      // A failed feature removal then leaves the service deleted.
      "error: ZCA108: InstallFinalize: feature Usb removed",
      // The same action takes the older version's service over in an upgrade.
      "error: ZCA100: {first:CA_InstallNonePnPDriver}: major upgrade from version"}},
    {"root device removed only on the uninstall, its INF in a removable feature",
     Joined(InFeature("VirtualDriverPackage", "Virtual", 1),
            {"UPDATE InstallExecuteSequence SET Condition = 'REMOVE=\"ALL\"' WHERE Action = "
             "'{first:CA_UninstallVirtualDriver}'"}),
     {"error: ZCA103: {first:CA_UninstallVirtualDriver}: feature Virtual removed: "
      "ROOT\\ZELK_VIRTUAL stays",
      // The older version's removal inside an upgrade takes the device, and a failed upgrade
      // does not give it back.
      "error: ZCA108: {first:CA_UninstallVirtualDriver}: major upgrade from version",
      "error: ZCA108: InstallFinalize: major upgrade from version"}},
    {"INF in a deselectable feature, its action on the first installation",
     Joined(InFeature("UsbDriverPackage", "Usb", 1),
            {WithData("NOT Installed", "{last:CA_InstallDriver}")}),
     {"error: ZCA102: {last:CA_InstallDriver}: feature Usb added after a first installation "
      "without it"}},
    {"kernel component with an opt-out condition, its actions on the first installation",
     {"UPDATE Component SET Condition = 'NOT ZELKNOBUS' WHERE Component = 'BusKernelDriver'",
      WithData("NOT Installed", "{first:CA_InstallNonePnPDriver}"),
      WithData("NOT Installed", "{rollback:CA_UninstallNonePnPDriver}"),
      "UPDATE InstallExecuteSequence SET Condition = 'NOT Installed' WHERE Action = "
      "'ZelkRollbackKernelServiceEntry'"},
     {"error: ZCA100: {first:CA_InstallNonePnPDriver}: first installation with ZELKNOBUS=1"}},
    {"decision and clearing on the first installation only, a driver added later",
     Joined(InFeature("UsbDriverPackage", "Usb", 3),
            {WithData("NOT Installed", "{first:CA_CheckAndSetRebootStatus}"),
             WithData("NOT Installed", "{first:CA_ClearInstallDriverRegistryValues}")}),
     {"error: ZCA105: {first:CA_CheckAndSetRebootStatus}: feature Usb added",
      "warning: ZCA106: {first:CA_ClearInstallDriverRegistryValues}: feature Usb added"}},
    {"driver data set on the first installation only, the action following its component",
     Joined(InFeature("UsbDriverPackage", "Usb", 3),
            {"UPDATE InstallExecuteSequence SET Condition = 'NOT Installed' WHERE Action = "
             "'{set:{last:CA_InstallDriver}}'"}),
     {"error: ZCA101: {last:CA_InstallDriver}: feature Usb added"}},
    {"root device not created in an upgrade's installation",
     {"UPDATE InstallExecuteSequence SET Condition = '$VirtualDriverPackage=3 AND NOT "
      "?VirtualDriverPackage=3 AND NOT WIX_UPGRADE_DETECTED' WHERE Action = "
      "'{first:CA_InstallDriver}' OR Action = '{set:{first:CA_InstallDriver}}' OR Action = "
      "'{rollback:CA_UninstallVirtualDriver}'",
      // The older version goes first and removes its device in the upgrade.
      "UPDATE InstallExecuteSequence SET Sequence = {seq:InstallInitialize+1} WHERE Action = "
      "'RemoveExistingProducts'",
      "UPDATE InstallExecuteSequence SET Condition = '?VirtualDriverPackage=3 AND "
      "$VirtualDriverPackage=2' WHERE Action = '{first:CA_UninstallVirtualDriver}'"},
     {"error: ZCA103: {first:CA_InstallDriver}: major upgrade from version"}},
    {"Upgrade rows without RemoveExistingProducts",
     {"DELETE FROM InstallExecuteSequence WHERE Action = 'RemoveExistingProducts'"},
     {"error: ZCA110: RemoveExistingProducts: major upgrade from version"}},
    {"upgrade property not secure",
     {"UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED' WHERE Property = "
      "'SecureCustomProperties'"},
     {"error: ZCA100: {first:CA_InstallNonePnPDriver}: major upgrade from version"}},
    {"rollback turned off after InstallInitialize",
     {"INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES "
      "('DisableRollback', '', {seq:InstallInitialize+2})"},
     {"error: ZCA108: DisableRollback: first installation"}},
    {"suppressed REBOOT given back unconditionally",
     {"UPDATE InstallExecuteSequence SET Condition = '' WHERE Action = "
      "'ZelkRestoreAdministratorReboot'"},
     {"error: ZCA105: {first:CA_CheckAndSetRebootStatus}: first installation: "}},
    {"REBOOT kept in a property of another case",
     {"UPDATE CustomAction SET Source = 'Zelk_Administrator_Reboot' WHERE Source = "
      "'ZELK_ADMINISTRATOR_REBOOT'"},
     {"error: ZCA105: {first:CA_CheckAndSetRebootStatus}: first installation with "
      "REBOOT=ReallySuppress"}},
    {"certificate action asynchronous",
     {"UPDATE CustomAction SET Type = 3201 WHERE Action = '{first:CA_InstallCertificate}'"},
     {"error: ZCA109: {first:CA_InstallCertificate}: first installation"}},
    {"service utility's rollback impersonated",
     {"UPDATE CustomAction SET Type = 1394 WHERE Action = 'ZelkRollbackKernelServiceEntry'"},
     {"error: ZCA108: {first:CA_InstallNonePnPDriver}: first installation"}},
    {"kernel service stopped on installation too",
     {"UPDATE ServiceControl SET Event = 162"},
     {"error: ZCA104: ServiceControl: repair"}},
    {"old OEM package removed by a DLL installed later",
     {"INSERT INTO File (File, Component_, FileName, FileSize, Sequence) VALUES ('ZelkCaFile', "
      "'PublisherCertificate', 'zelk_helpers.dll', 1, 99)",
      "UPDATE CustomAction SET Type = 3153, Source = 'ZelkCaFile' WHERE Action = "
      "'{first:CA_UninstallOldZuraOem}'"},
     {"warning: ZCA007: {first:CA_UninstallOldZuraOem}",
      "error: ZCA100: {first:CA_UninstallOldZuraOem}: first installation"}},
    // WiX's MajorUpgrade element: the same version is outside its range.
    {"MajorUpgrade's rows for older versions only",
     UpgradeRow("257", "''"),
     {"error: ZCA100: {first:CA_InstallNonePnPDriver}: major upgrade from a rebuild"}},
    {"feature enabled only by a command-line property",
     Joined(Joined({kConditionTable}, InFeature("BusKernelDriver", "Bus", 0)),
            {"INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('Bus', 1, "
             "'ZELKBUS')"}),
     {"error: ZCA107: BusKernelDriver: uninstall from Programs and Features"}},
    {"component state written without its operator",
     {"UPDATE InstallExecuteSequence SET Condition = 'VirtualDriverPackage=3 AND NOT "
      "?VirtualDriverPackage=3' WHERE Action = '{set:{first:CA_InstallDriver}}'"},
     {"error: ZCA111: {set:{first:CA_InstallDriver}}", "error: ZCA040: {first:CA_InstallDriver}"}},
    {"upgrade without MigrateFeatures",
     Joined(InFeature("UsbDriverPackage", "Usb", 3), UpgradeRow("768")),
     {"error: ZCA112: Upgrade"}},
    // Correct packages written otherwise.
    {"ServiceControl named through a property",
     {"INSERT INTO Property (Property, Value) VALUES ('ZELK_BUS_SERVICE', 'zelk_bus')",
      "UPDATE ServiceControl SET Name = '[ZELK_BUS_SERVICE]'"},
     {}},
    {"INF in a Level-0 feature raised on 64-bit Windows",
     Joined(Joined({kConditionTable}, InFeature("VirtualDriverPackage", "Virtual", 0)),
            {"INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('Virtual', 1, "
             "'VersionNT64')"}),
     {}},
    {"state key beside values of a 32-bit component",
     {"INSERT INTO Component (Component, ComponentId, Directory_, Attributes) VALUES "
      "('State32', '{guid:5B0C7D51-2F3A-4C7E-9D11-6A3B2C1D0E9F}', 'INSTALLDIR', 0)",
      "INSERT INTO Registry (Registry, Root, `Key`, Name, Value, Component_) VALUES ('ZelkOwn', "
      "2, 'SOFTWARE\\Zelk\\CAN-LIN Drivers\\InstallState\\Own', 'Folder', '[INSTALLDIR]', "
      "'State32')"},
     {}},

};

struct MsiCloser {
    void operator()(MSIHANDLE* handle) const {
        MsiCloseHandle(*handle);
        delete handle;
    }
};
// An installer handle; none when the call that should give it failed.
using MsiHandle = std::unique_ptr<MSIHANDLE, MsiCloser>;

// By reference: read after the call that fills it, whatever the order of the arguments.
MsiHandle Own(UINT result, const MSIHANDLE& handle) {
    return result == ERROR_SUCCESS ? MsiHandle(new MSIHANDLE(handle)) : MsiHandle();
}

std::string RecordText(MSIHANDLE record, UINT field) {
    char text[1024] = {};
    DWORD size = sizeof(text);
    return MsiRecordGetStringA(record, field, text, &size) == ERROR_SUCCESS ? text : "";
}

// Every row of a query, each field as text.
std::vector<std::vector<std::string>> Rows(MSIHANDLE database, const char* query, UINT fields) {
    std::vector<std::vector<std::string>> rows;
    MSIHANDLE raw = 0;
    const MsiHandle view = Own(MsiDatabaseOpenViewA(database, query, &raw), raw);
    if (!view || MsiViewExecute(*view, 0) != ERROR_SUCCESS) {
        return rows;
    }
    for (MSIHANDLE record = 0; MsiViewFetch(*view, &record) == ERROR_SUCCESS;) {
        const MsiHandle owner(new MSIHANDLE(record));
        rows.emplace_back();
        for (UINT field = 1; field <= fields; ++field) {
            rows.back().push_back(RecordText(record, field));
        }
    }
    return rows;
}

struct Action {
    int type = 0;
    std::string source;
    std::string target;
    std::optional<int> sequence;
};

// The sample's custom actions and execute sequence, which the placeholders name.
class Sample {
  public:
    Sample() {
        MSIHANDLE raw = 0;
        const MsiHandle database =
            Own(MsiOpenDatabaseA(BesideProgram(kSample).c_str(), MSIDBOPEN_READONLY, &raw), raw);
        if (!database) {
            return;
        }
        for (const auto& row :
             Rows(*database, "SELECT `Action`, `Sequence` FROM `InstallExecuteSequence`", 2)) {
            sequence_[row[0]] = std::stoi(row[1]);
        }
        for (const auto& row : Rows(*database, "SELECT `Property`, `Value` FROM `Property`", 2)) {
            properties_[row[0]] = row[1];
        }
        for (const auto& row : Rows(
                 *database, "SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`", 4)) {
            Action& action = actions_[row[0]];
            action = {std::stoi(row[1]), row[2], row[3], std::nullopt};
            if (sequence_.count(row[0])) {
                action.sequence = sequence_[row[0]];
            }
        }
    }

    // The text with its placeholders filled, innermost first; nothing when one cannot be.
    std::optional<std::string> Resolve(std::string text) const {
        for (auto close = text.find('}'); close != std::string::npos; close = text.find('}')) {
            const auto open = text.rfind('{', close);
            const auto value = Evaluate(text.substr(open + 1, close - open - 1));
            if (!value) {
                return std::nullopt;
            }
            text.replace(open, close - open + 1, *value);
        }
        std::replace(text.begin(), text.end(), kOpenBrace, '{');
        std::replace(text.begin(), text.end(), kCloseBrace, '}');
        return text;
    }

  private:
    // Braces a placeholder puts in, kept from the placeholders' own until all are filled.
    static constexpr char kOpenBrace = '\x01';
    static constexpr char kCloseBrace = '\x02';

    std::optional<std::string> Evaluate(const std::string& inner) const {
        const auto colon = inner.find(':');
        const std::string kind = inner.substr(0, colon);
        const std::string operand = inner.substr(colon + 1);
        if (kind == "guid") {
            return kOpenBrace + operand + kCloseBrace;
        }
        if (kind == "set") {
            return SetterOf(operand);
        }
        if (kind == "prop") {
            const auto value = properties_.find(operand);
            if (value == properties_.end()) {
                return std::nullopt;
            }
            std::string text = value->second;
            std::replace(text.begin(), text.end(), '{', kOpenBrace);
            std::replace(text.begin(), text.end(), '}', kCloseBrace);
            return text;
        }
        if (kind == "seq") {
            const auto sign = operand.find_last_of("+-");
            const std::string name = operand.substr(0, sign);
            if (!sequence_.count(name)) {
                return std::nullopt;
            }
            const int offset = sign == std::string::npos ? 0 : std::stoi(operand.substr(sign));
            return std::to_string(sequence_.at(name) + offset);
        }
        return Calling(kind, operand);
    }

    // The scheduled DLL action calling `entry`: the first, second or last non-rollback one by
    // sequence, or the first rollback one.
    std::optional<std::string> Calling(const std::string& kind, const std::string& entry) const {
        constexpr int kDllAction = 1;
        constexpr int kRollbackBits = 0x700;
        constexpr int kRollback = 0x500;
        std::vector<std::pair<int, std::string>> calling;
        for (const auto& [name, action] : actions_) {
            const bool rollback = (action.type & kRollbackBits) == kRollback;
            if (action.target == entry && action.sequence && (action.type & 7) == kDllAction &&
                rollback == (kind == "rollback")) {
                calling.emplace_back(*action.sequence, name);
            }
        }
        std::sort(calling.begin(), calling.end());
        const std::size_t index = kind == "last" ? calling.size() - 1 : kind == "second" ? 1 : 0;
        if (index >= calling.size()) {
            return std::nullopt;
        }
        return calling[index].second;
    }

    // The Type 51 action scheduled last before `target` that sets its data.
    std::optional<std::string> SetterOf(const std::string& target) const {
        constexpr int kSetProperty = 51;
        constexpr int kPropertyIsName = 0x400;  // a deferred action reads its own property
        if (!actions_.count(target) || !actions_.at(target).sequence) {
            return std::nullopt;
        }
        const Action& of = actions_.at(target);
        const std::string property = (of.type & kPropertyIsName) ? target : "CustomActionData";
        std::optional<std::string> best;
        for (const auto& [name, action] : actions_) {
            if (action.source != property || !action.sequence ||
                (action.type & 63) != kSetProperty || *action.sequence >= *of.sequence) {
                continue;
            }
            if (!best || *action.sequence > *actions_.at(*best).sequence) {
                best = name;
            }
        }
        return best;
    }

    std::map<std::string, int> sequence_;
    std::map<std::string, Action> actions_;
    std::map<std::string, std::string> properties_;
};

// Applies the statements to a copy of the sample and commits it; "" or what failed.
std::string BuildVariant(const std::string& path, const std::vector<std::string>& statements) {
    if (!CopyFileA(BesideProgram(kSample).c_str(), path.c_str(), FALSE)) {
        return "the sample could not be copied: error " + std::to_string(GetLastError());
    }
    MSIHANDLE raw = 0;
    const MsiHandle database = Own(MsiOpenDatabaseA(path.c_str(), MSIDBOPEN_TRANSACT, &raw), raw);
    if (!database) {
        return "the copy does not open as a database";
    }
    for (const auto& statement : statements) {
        const MsiHandle view = Own(MsiDatabaseOpenViewA(*database, statement.c_str(), &raw), raw);
        if (!view || MsiViewExecute(*view, 0) != ERROR_SUCCESS) {
            return "the statement failed: " + statement;
        }
    }
    return MsiDatabaseCommit(*database) == ERROR_SUCCESS ? "" : "the commit failed";
}

struct Checked {
    DWORD exitCode = 0;
    std::string output;
    std::vector<std::string> findings;  // the "error: " and "warning: " lines
};

// Runs the command line with its output going to NAME.txt beside the program.
Checked RunProgram(std::string line, const std::string& name) {
    constexpr DWORD kTimeoutMs = 120000;
    const std::string output = BesideProgram(name + ".txt");
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    const HANDLE file = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    Checked checked{ERROR_INVALID_FUNCTION, {}, {}};
    if (file == INVALID_HANDLE_VALUE) {
        return checked;
    }
    {
        const Handle fileOwner(file);
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = file;
        startup.hStdError = file;
        PROCESS_INFORMATION process = {};
        if (wine::StartProcess(line, TRUE, 0, nullptr, startup, process) != ERROR_SUCCESS) {
            return checked;
        }
        const Handle processOwner(process.hProcess);
        const Handle threadOwner(process.hThread);
        if (WaitForSingleObject(process.hProcess, kTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, ERROR_TIMEOUT);
        }
        GetExitCodeProcess(process.hProcess, &checked.exitCode);
    }
    checked.output = wine::ReadFileBytes(output).value_or("");
    return checked;
}

// The lines of a text, without their carriage returns.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::string::size_type start = 0, end = 0; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        lines.push_back(text.substr(start, end - start));
        if (!lines.back().empty() && lines.back().back() == '\r') {
            lines.back().pop_back();
        }
    }
    return lines;
}

// zelk_ca_check.exe on NAME.msi, its output kept beside it as NAME.txt.
Checked RunChecker(const std::string& name) {
    Checked checked = RunProgram(
        "\"" + BesideProgram("zelk_ca_check.exe") + "\" \"" + BesideProgram(name + ".msi") + "\"",
        name);
    for (const std::string& line : Lines(checked.output)) {
        if (line.rfind("error: ", 0) == 0 || line.rfind("warning: ", 0) == 0 ||
            line.rfind("info: ", 0) == 0) {
            checked.findings.push_back(line);
        }
    }
    return checked;
}

// The cube through the validation runner on NAME.msi, its output kept as NAME.cube.txt; its
// ICE messages ("ZELKCA01", type, description, ...) as the checker's lines: type 1 an error,
// 2 a warning, 3 an info, 0 an evaluator that could not check. A start that Wine fails is
// retried by wine::StartProcess; any other answer than 0 is the runner's own and fails.
Checked RunCube(const std::string& name) {
    static const char* const kPrefixes[] = {"failure: ", "error: ", "warning: ", "info: "};
    Checked checked =
        RunProgram("\"" + BesideProgram("zelk_validate.exe") + "\" \"" +
                       BesideProgram(name + ".msi") + "\" \"" + BesideProgram("zelk_ca.cub") + "\"",
                   name + ".cube");
    for (const std::string& line : Lines(checked.output)) {
        const auto type = line.find('\t');
        const auto description = line.find('\t', type + 1);
        if (line.rfind("ZELKCA01\t", 0) != 0 || description == std::string::npos ||
            description != type + 2 || line[type + 1] < '0' || line[type + 1] > '3') {
            continue;
        }
        const auto end = line.find('\t', description + 1);
        checked.findings.push_back(kPrefixes[line[type + 1] - '0'] +
                                   line.substr(description + 1, end - description - 1));
    }
    return checked;
}

const Sample& TheSample() {
    static const Sample sample;
    return sample;
}

// The sample's own findings are the baseline of every variant.
const Checked& SampleChecked() {
    static const Checked checked = [] {
        CopyFileA(BesideProgram(kSample).c_str(), BesideProgram("sample.msi").c_str(), FALSE);
        return RunChecker("sample");
    }();
    return checked;
}

bool HasError(const std::vector<std::string>& findings) {
    for (const auto& finding : findings) {
        if (finding.rfind("error: ", 0) == 0) {
            return true;
        }
    }
    return false;
}

// The variant's name as a test and file name.
std::string Slug(const char* name) {
    std::string slug;
    for (; *name != '\0'; ++name) {
        slug += std::isalnum(static_cast<unsigned char>(*name)) ? *name : '_';
    }
    return slug;
}

constexpr int kUnreadable = 2;

// The variant's file at path; "" or what failed.
std::string MakeVariant(const Variant& variant, const std::vector<std::string>& statements,
                        const std::string& path) {
    DeleteFileA(path.c_str());
    switch (variant.made) {
        case Made::Missing:
            return "";
        case Made::Empty: {
            MSIHANDLE raw = 0;
            const MsiHandle database =
                Own(MsiOpenDatabaseA(path.c_str(), MSIDBOPEN_CREATE, &raw), raw);
            return database && MsiDatabaseCommit(*database) == ERROR_SUCCESS
                       ? ""
                       : "no empty database could be made";
        }
        case Made::Damaged: {
            constexpr std::size_t kKept = 6000;
            const std::string sample = wine::ReadFileBytes(BesideProgram(kSample)).value_or("");
            return wine::WriteTextFile(path, sample.substr(0, kKept)) ? ""
                                                                      : "the file was not written";
        }
        default:
            break;
    }
    if (variant.replacement) {
        return wine::WriteTextFile(path, variant.replacement) ? "" : "the file was not written";
    }
    if (variant.package) {
        return CopyFileA(BesideProgram(variant.package).c_str(), path.c_str(), FALSE)
                   ? ""
                   : "the package was not copied";
    }
    return BuildVariant(path, statements);
}

// The placeholders of the variant's changes and findings filled; false when the sample cannot
// fill one.
bool ResolveVariant(const Variant& variant, std::vector<std::string>& statements,
                    std::vector<std::string>& wanted) {
    for (const auto* list : {&variant.changes, &variant.findings}) {
        for (const auto& text : *list) {
            const auto resolved = TheSample().Resolve(text);
            if (!resolved) {
                return false;
            }
            (list == &variant.changes ? statements : wanted).push_back(*resolved);
        }
    }
    return true;
}

// A variant made for one test: its package NAME.msi beside the program, its statements and
// the findings it adds with the placeholders filled.
struct Prepared {
    std::string name;
    std::vector<std::string> statements;
    std::vector<std::string> wanted;
    std::string skip;     // why the sample cannot make it
    std::string failure;  // what failed making it
};

Prepared PrepareVariant(const Variant& variant, const std::string& prefix) {
    Prepared prepared{prefix + Slug(variant.name), {}, {}, "", ""};
    if (!ResolveVariant(variant, prepared.statements, prepared.wanted)) {
        prepared.skip = "the sample has no action for a placeholder of this change";
        return prepared;
    }
    prepared.failure =
        MakeVariant(variant, prepared.statements, BesideProgram(prepared.name + ".msi"));
    return prepared;
}

class PackageChecker : public testing::TestWithParam<Variant> {};

TEST_P(PackageChecker, AddsItsFindings) {
    const Variant& variant = GetParam();
    const Prepared prepared = PrepareVariant(variant, "variant-");
    if (!prepared.skip.empty()) {
        GTEST_SKIP() << prepared.skip;
    }
    ASSERT_EQ(prepared.failure, "");
    const std::string& name = prepared.name;
    const std::vector<std::string>& statements = prepared.statements;
    const std::vector<std::string>& wanted = prepared.wanted;
    const Checked& sample = SampleChecked();
    const Checked checked = RunChecker(name);
    if (variant.exitCode == kUnreadable) {
        EXPECT_EQ(checked.exitCode, static_cast<DWORD>(kUnreadable)) << checked.output;
        for (const auto& fragment : wanted) {
            EXPECT_NE(checked.output.find(fragment), std::string::npos) << checked.output;
        }
        return;
    }
    std::vector<std::string> added;
    for (const auto& finding : checked.findings) {
        const bool inSample = std::find(sample.findings.begin(), sample.findings.end(), finding) !=
                              sample.findings.end();
        if (statements.empty() || !inSample) {
            added.push_back(finding);
        }
    }
    // A variant keeps the sample's own errors.
    const int exitCode = variant.exitCode != kFromFindings ? variant.exitCode
                         : HasError(wanted) || (!statements.empty() && HasError(sample.findings))
                             ? 1
                             : 0;
    ASSERT_EQ(checked.exitCode, static_cast<DWORD>(exitCode)) << "output: " << name << ".txt";
    for (const auto& line : wanted) {
        // "severity: RULE: SUBJECT" and an optional ": fragment".
        const auto ruleEnd = line.find(": ", line.find(": ") + 2);
        const auto subjectEnd = line.find(": ", ruleEnd + 2);
        const std::string lead = line.substr(0, subjectEnd) + ": ";
        const std::string fragment =
            subjectEnd == std::string::npos ? "" : line.substr(subjectEnd + 2);
        EXPECT_TRUE(std::any_of(added.begin(), added.end(),
                                [&](const std::string& finding) {
                                    return finding.rfind(lead, 0) == 0 &&
                                           finding.find(fragment) != std::string::npos;
                                }))
            << "missing finding: " << line;
    }
    EXPECT_EQ(added.size(), wanted.size()) << testing::PrintToString(added);
}

std::string TestName(const testing::TestParamInfo<Variant>& info) {
    return Slug(info.param.name);
}

INSTANTIATE_TEST_SUITE_P(Sample, PackageChecker, testing::ValuesIn(kVariants), TestName);

// A package chooses where it says it installs a DLL. The checker reads one there only below a
// standard folder: a copy of the DLL in another folder, named by a plain path or a "\\?\\"
// one, stays unread, while the same copy beside the package is read.
TEST(PackageCheckerFiles, ReadsNoDllWhereThePackagePointsElsewhere) {
    const std::string elsewhere = BesideProgram("elsewhere\\");
    CreateDirectoryA(elsewhere.c_str(), nullptr);
    const std::string dll = BesideProgram("zelk_ca.dll");
    ASSERT_TRUE(CopyFileA(dll.c_str(), (elsewhere + "zelkprobe.dll").c_str(), FALSE));
    const std::vector<std::string> calling = {
        "INSERT INTO File (File, Component_, FileName, FileSize, Sequence) VALUES "
        "('ZelkCaFile', 'PublisherCertificate', 'zelkprobe.dll', 1, 99)",
        "UPDATE CustomAction SET Type = 3089, Source = 'ZelkCaFile' WHERE Action = "
        "'{first:CA_InstallCertificate}'"};
    const std::string read = "info: ZCA004: ZelkCaFile: holds zelk_ca.dll";
    const std::string unread = "warning: ZCA007: ";
    for (const std::string& folder : {elsewhere, "\\\\?\\" + elsewhere}) {
        const Variant variant = {
            "DLL elsewhere",
            Joined(
                {"INSERT INTO Property (Property, Value) VALUES ('INSTALLDIR', '" + folder + "')"},
                calling),
            {}};
        const Prepared prepared = PrepareVariant(variant, "files-");
        ASSERT_EQ(prepared.skip + prepared.failure, "");
        const Checked checked = RunChecker(prepared.name);
        EXPECT_EQ(checked.output.find(read), std::string::npos) << folder;
        EXPECT_NE(checked.output.find(unread), std::string::npos) << checked.output;
    }
    const Prepared beside = PrepareVariant({"DLL beside", calling, {}}, "files-");
    ASSERT_EQ(beside.skip + beside.failure, "");
    ASSERT_TRUE(CopyFileA(dll.c_str(), BesideProgram("zelkprobe.dll").c_str(), FALSE));
    const Checked checked = RunChecker(beside.name);
    DeleteFileA(BesideProgram("zelkprobe.dll").c_str());
    EXPECT_NE(checked.output.find(read), std::string::npos) << checked.output;
}

class ValidationCube : public testing::TestWithParam<Variant> {};

// The same package, the same findings: the cube runs the checker's own checks.
TEST_P(ValidationCube, ReportsTheCheckersFindings) {
    const Variant& variant = GetParam();
    if (variant.exitCode == kUnreadable) {
        GTEST_SKIP() << "no readable database: a validation tool cannot open it either";
    }
    if (variant.made == Made::Empty) {
        GTEST_SKIP() << "an empty database opens no installer session";
    }
    const Prepared prepared = PrepareVariant(variant, "cube-");
    if (!prepared.skip.empty()) {
        GTEST_SKIP() << prepared.skip;
    }
    ASSERT_EQ(prepared.failure, "");
    const std::string& name = prepared.name;
    Checked checker = RunChecker(name);
    Checked cube = RunCube(name);
    ASSERT_NE(checker.output.find(" error(s), "), std::string::npos)
        << "the checker's exit code " << checker.exitCode << ": " << checker.output;
    ASSERT_EQ(cube.exitCode, 0U) << cube.output;
    std::sort(checker.findings.begin(), checker.findings.end());
    std::sort(cube.findings.begin(), cube.findings.end());
    EXPECT_EQ(cube.findings, checker.findings);
}

INSTANTIATE_TEST_SUITE_P(Sample, ValidationCube, testing::ValuesIn(kVariants), TestName);

}  // namespace
}  // namespace zelk::checker
