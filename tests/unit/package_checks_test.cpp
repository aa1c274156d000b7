// The package checker's rules on small package models, without an installer: each row changes a
// correct kernel-service package and names the rules whose findings the change adds.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "package_checks.h"
#include "rule_table.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

using zelk::checker::CheckPackage;
using zelk::checker::CustomActionRow;
using zelk::checker::Finding;
using zelk::checker::PackageTables;
using zelk::checker::SequenceRow;

namespace {

// A DLL action from the File table (type 17), deferred without impersonation, and its
// rollback form.
constexpr int kDeferred = 17 + 1024 + 2048;
constexpr int kRollback = kDeferred + 256;
constexpr int kSetProperty = 51;
// The DLL is a file this model never lays down: the checker warns that it cannot read it.
constexpr const char* kUnreadDll = "ZCA007";

// Registers zelk_bus, with the rollback that deletes it first, its image where the service
// loads it and the ServiceControl row that deletes a stopped service on uninstall.
PackageTables KernelServicePackage() {
    PackageTables tables;
    const auto action = [&](const std::string& name, int type, const std::string& target,
                            int sequence, const std::string& source = "ZelkCaFile") {
        tables.customActions.push_back({name, type, source, target});
        tables.installExecuteSequence.push_back({name, "$Bus=3 AND NOT ?Bus=3", sequence});
    };
    tables.installExecuteSequence = {
        {"InstallInitialize", "", 1500}, {"StopServices", "", 1900}, {"DeleteServices", "", 2000},
        {"RemoveFiles", "", 3500},       {"InstallFiles", "", 4000}, {"InstallFinalize", "", 6600}};
    // The service utility deletes a service whose driver never started.
    action("RollbackServiceEntry", 50 + 1280 + 2048, "delete zelk_bus", 4049, "ServiceUtility");
    action("SetRollbackService", kSetProperty, "zelk_bus", 4050, "RollbackService");
    action("RollbackService", kRollback, "CA_UninstallNonePnPDriver", 4051);
    action("SetInstallService", kSetProperty, "zelk_bus", 4052, "InstallService");
    action("InstallService", kDeferred, "CA_InstallNonePnPDriver", 4053);
    tables.directories["DriversDir"] = {"System64Folder", "drivers"};
    tables.componentDirectories["Bus"] = "DriversDir";
    tables.files["BusSys"] = {"Bus", "zelk_bus.sys"};
    tables.features = {"Drivers"};
    tables.featureLevels = {{"Drivers", 1}};
    tables.componentFeatures = {{"Bus", "Drivers"}};
    tables.serviceControls = {{"BusService", "zelk_bus", 0x20 | 0x80, "Bus"}};
    tables.properties["ALLUSERS"] = "1";
    return tables;
}

CustomActionRow& ActionRow(PackageTables& tables, const std::string& name) {
    for (CustomActionRow& row : tables.customActions) {
        if (row.action == name) {
            return row;
        }
    }
    throw std::invalid_argument(name);
}

SequenceRow& Scheduled(PackageTables& tables, const std::string& name) {
    for (SequenceRow& row : tables.installExecuteSequence) {
        if (row.action == name) {
            return row;
        }
    }
    throw std::invalid_argument(name);
}

// A driver package in the kernel service's feature that records its outcome, with the reboot
// decision after InstallExecute, REBOOT kept before it and given back under suppression, and
// the clearing after it; the outcome cleared by a rollback action before the driver.
constexpr int kImmediate = 17;
constexpr int kIgnored = 64;
constexpr const char* kStateKey = "SOFTWARE\\Acme\\State\\";

void AddRecordingDriver(PackageTables& tables) {
    const std::string installing = "$Usb=3 AND NOT ?Usb=3";
    const std::string suppressed =
        "$Usb=3 AND NOT ?Usb=3 AND REBOOT=\"Force\" AND (KEPT_REBOOT ~<< \"R\" OR KEPT_REBOOT "
        "~<< \"S\")";
    tables.directories["UsbDir"] = {"ProgramFiles64Folder", "Usb"};
    tables.componentDirectories["Usb"] = "UsbDir";
    tables.componentFeatures.emplace("Usb", "Drivers");
    tables.files["UsbInf"] = {"Usb", "zelk_usb.inf"};
    tables.files["UsbSys"] = {"Usb", "zelk_usb.sys"};
    const auto add = [&](const std::string& name, int type, const std::string& source,
                         const std::string& target, const std::string& condition, int sequence) {
        tables.customActions.push_back({name, type, source, target});
        tables.installExecuteSequence.push_back({name, condition, sequence});
    };
    add("KeepReboot", kSetProperty, "KEPT_REBOOT", "[REBOOT]", "", 1);
    add("SetRollbackState", kSetProperty, "RollbackState", kStateKey, installing, 4057);
    add("RollbackState", kRollback + kIgnored, "ZelkCaFile", "CA_ClearInstallDriverRegistryValues",
        installing, 4058);
    add("SetInstallUsb", kSetProperty, "InstallUsb", std::string("[#UsbInf]@") + kStateKey + "Usb",
        installing, 4060);
    add("InstallUsb", kDeferred, "ZelkCaFile", "CA_InstallDriver", installing, 4061);
    tables.installExecuteSequence.push_back({"InstallExecute", "", 6590});
    add("SetCheck", kSetProperty, "CustomActionData", kStateKey, installing, 6592);
    add("Check", kImmediate, "ZelkCaFile", "CA_CheckAndSetRebootStatus", installing, 6593);
    tables.installExecuteSequence.push_back({"ScheduleReboot", suppressed, 6594});
    add("GiveBack", kSetProperty, "REBOOT", "[KEPT_REBOOT]", suppressed, 6595);
    add("SetClear", kSetProperty, "Clear", kStateKey, installing, 6596);
    add("Clear", kDeferred + kIgnored, "ZelkCaFile", "CA_ClearInstallDriverRegistryValues",
        installing, 6597);
}

// A staged-only driver package (no state location) in a feature of Level 3, and the action that
// installs it under the condition given.
void AddOptionalDriver(PackageTables& tables, const std::string& condition) {
    tables.directories["UsbDir"] = {"ProgramFiles64Folder", "Usb"};
    tables.componentDirectories["Usb"] = "UsbDir";
    tables.files["UsbInf"] = {"Usb", "zelk_usb.inf"};
    tables.files["UsbSys"] = {"Usb", "zelk_usb.sys"};
    tables.features.push_back("Optional");
    tables.featureLevels["Optional"] = 3;
    tables.componentFeatures.emplace("Usb", "Optional");
    tables.customActions.push_back({"SetInstallUsb", kSetProperty, "InstallUsb", "[#UsbInf]"});
    tables.customActions.push_back({"InstallUsb", kDeferred, "ZelkCaFile", "CA_InstallDriver"});
    tables.installExecuteSequence.push_back({"SetInstallUsb", condition, 4060});
    tables.installExecuteSequence.push_back({"InstallUsb", condition, 4061});
}

void SetCondition(PackageTables& tables, const std::string& condition,
                  std::initializer_list<const char*> actions) {
    for (const char* name : actions) {
        Scheduled(tables, name).condition = condition;
    }
}

std::set<std::string> RulesOf(const std::vector<Finding>& findings) {
    std::set<std::string> rules;
    for (const Finding& finding : findings) {
        if (finding.rule != kUnreadDll) {
            rules.insert(finding.rule);
        }
    }
    return rules;
}

struct Row {
    const char* name;
    std::function<void(PackageTables&)> change;
    std::set<std::string> rules;
};

const Row kRows[] = {
    {"correct", [](PackageTables&) {}, {}},
    // Correct packages written otherwise.
    // The kernel service's feature removed and added again: nothing registers it again.
    {"first installation only",
     [](PackageTables& t) {
         AddOptionalDriver(t, "$Usb=3 AND NOT ?Usb=3");
         SetCondition(
             t, "NOT Installed",
             {"SetRollbackService", "RollbackService", "SetInstallService", "InstallService"});
     },
     // Left out of the first installation, the service fails to start without its image.
     {"ZCA100", "ZCA104"}},
    {"component action outside repairs",
     [](PackageTables& t) {
         SetCondition(
             t, "$Bus=3 AND NOT REINSTALL",
             {"SetRollbackService", "RollbackService", "SetInstallService", "InstallService"});
     },
     {}},
    {"install also on the uninstall",
     [](PackageTables& t) {
         SetCondition(t, "NOT Installed OR (REMOVE=\"ALL\" AND NOT UPGRADINGPRODUCTCODE)",
                      {"InstallService", "SetInstallService"});
     },
     {"ZCA022"}},
    {"service only stopped on uninstall",
     [](PackageTables& t) { t.serviceControls[0].event = 0x20; },
     {"ZCA074"}},
    {"restarts suppressed in the Property table",
     [](PackageTables& t) { t.properties["REBOOT"] = "ReallySuppress"; },
     {}},
    {"rule ignored by the package",
     [](PackageTables& t) {
         t.serviceControls.clear();
         // The end states then show what the missing row does: ignored with it.
         t.properties["ZelkCaCheckIgnore"] = "zca001; ZCA074 ZCA104";
     },
     {}},
    // Mistakes.
    {"unknown rule ignored",
     [](PackageTables& t) {
         t.serviceControls.clear();
         t.properties["ZelkCaCheckIgnore"] = "ZCA74";
     },
     {"ZCA008", "ZCA074"}},
    {"no ServiceControl row", [](PackageTables& t) { t.serviceControls.clear(); }, {"ZCA074"}},
    {"service deleted on installation",
     [](PackageTables& t) { t.serviceControls[0].event |= 0x08; },
     {"ZCA073"}},
    {"no rollback partner",
     [](PackageTables& t) { Scheduled(t, "RollbackService").sequence = -1; },
     {"ZCA070"}},
    {"no rollback for a service that never started",
     [](PackageTables& t) { Scheduled(t, "RollbackServiceEntry").sequence = 0; },
     {"ZCA098"}},
    {"rollback after its action",
     [](PackageTables& t) { Scheduled(t, "RollbackService").sequence = 4054; },
     {"ZCA072"}},
    {"install on every installation",
     [](PackageTables& t) {
         SetCondition(t, "", {"InstallService", "SetInstallService"});
     },
     {"ZCA022"}},
    {"install only on a repair",
     [](PackageTables& t) {
         SetCondition(t, "REINSTALL", {"InstallService", "SetInstallService"});
     },
     {"ZCA021"}},
    // A setter under the same never-true condition gives the action its data: the condition is
    // the fault, not missing data.
    {"setter shares a false condition",
     [](PackageTables& t) {
         SetCondition(t, "0", {"InstallService", "SetInstallService"});
     },
     {"ZCA021"}},
    {"no data",
     [](PackageTables& t) { Scheduled(t, "SetInstallService").sequence = -1; },
     {"ZCA040"}},
    {"immediate action",
     [](PackageTables& t) { ActionRow(t, "InstallService").type = 17; },
     {"ZCA013"}},
    {"impersonated",
     [](PackageTables& t) { ActionRow(t, "InstallService").type = 17 + 1024; },
     {"ZCA014"}},
    {"deferred outside the script",
     [](PackageTables& t) { Scheduled(t, "InstallService").sequence = 7000; },
     {"ZCA015"}},
    {"invalid condition",
     [](PackageTables& t) { SetCondition(t, "NOT (Installed", {"InstallService"}); },
     {"ZCA020"}},
    {"condition nested too deep",
     [](PackageTables& t) {
         SetCondition(t, std::string(100000, '(') + "1" + std::string(100000, ')'),
                      {"InstallService"});
     },
     {"ZCA002"}},
    {"data nested too deep",
     [](PackageTables& t) { ActionRow(t, "SetInstallService").target = std::string(100000, '['); },
     {"ZCA003"}},
    {"service name with a path",
     [](PackageTables& t) {
         ActionRow(t, "SetInstallService").target = "drivers\\zelk_bus";
         ActionRow(t, "SetRollbackService").target = "drivers\\zelk_bus";
     },
     // Its ServiceControl row and the utility's rollback name another service now.
     {"ZCA057", "ZCA074", "ZCA098"}},
    {"image outside the drivers folder",
     [](PackageTables& t) { t.componentDirectories["Bus"] = "System64Folder"; },
     {"ZCA051"}},
    {"no image", [](PackageTables& t) { t.files.clear(); }, {"ZCA050"}},
    {"INF in an optional feature",
     [](PackageTables& t) { AddOptionalDriver(t, "NOT Installed"); },
     {"ZCA093"}},
    {"INF in an optional feature, followed by its component",
     [](PackageTables& t) { AddOptionalDriver(t, "$Usb=3 AND NOT ?Usb=3"); },
     {}},
    {"INF in a disabled feature",
     [](PackageTables& t) {
         AddOptionalDriver(t, "NOT Installed");
         t.featureLevels["Optional"] = 0;
         t.properties["INSTALLLEVEL"] = "3";
     },
     {"ZCA093"}},
    // Installed by default, but a user may leave it out and add it later.
    {"INF in a disabled feature, followed by its component",
     [](PackageTables& t) {
         AddOptionalDriver(t, "$Usb=3 AND NOT ?Usb=3");
         t.featureLevels["Optional"] = 0;
     },
     {}},
    {"INF in a feature installed at a higher INSTALLLEVEL",
     [](PackageTables& t) {
         AddOptionalDriver(t, "NOT Installed");
         t.properties["INSTALLLEVEL"] = "3";
     },
     {"ZCA102"}},
    {"INF in a feature a Condition row raises on 64-bit Windows",
     [](PackageTables& t) {
         AddOptionalDriver(t, "$Usb=3 AND NOT ?Usb=3");
         t.featureLevels["Optional"] = 0;
         t.featureConditions = {{"Optional", 1, "VersionNT64"}};
     },
     {}},
    {"service named through a property",
     [](PackageTables& t) {
         t.properties["BUS_SERVICE"] = "zelk_bus";
         t.serviceControls[0].name = "[BUS_SERVICE]";
     },
     {}},
    {"service stopped on installation too",
     [](PackageTables& t) { t.serviceControls[0].event |= 0x02; },
     {"ZCA104"}},
    {"service utility's rollback impersonated",
     [](PackageTables& t) { ActionRow(t, "RollbackServiceEntry").type &= ~2048; },
     {"ZCA108"}},
    {"rollback turned off in the script",
     [](PackageTables& t) {
         t.installExecuteSequence.push_back({"DisableRollback", "", 1600});
     },
     {"ZCA108"}},
    {"component state without its operator",
     [](PackageTables& t) { SetCondition(t, "Bus=3 AND NOT ?Bus=3", {"SetInstallService"}); },
     {"ZCA111", "ZCA040"}},
    {"kernel service opted out by a property",
     [](PackageTables& t) {
         t.componentConditions["Bus"] = "NOT NOBUS";
         SetCondition(
             t, "NOT Installed",
             {"SetRollbackService", "RollbackService", "SetInstallService", "InstallService"});
     },
     {"ZCA100"}},
    {"feature only a command-line property enables",
     [](PackageTables& t) {
         t.featureLevels["Drivers"] = 0;
         t.featureConditions = {{"Drivers", 1, "WITHBUS"}};
     },
     {"ZCA107"}},
    {"no action of the DLL", [](PackageTables& t) { t.customActions.clear(); }, {"ZCA001"}},
    {"install failure ignored",
     [](PackageTables& t) { ActionRow(t, "InstallService").type |= 64; },
     {"ZCA090"}},
    {"rollback failure ignored",
     [](PackageTables& t) { ActionRow(t, "RollbackService").type |= 64; },
     {}},
    {"service name ending in .sys",
     [](PackageTables& t) {
         for (const char* setter : {"SetInstallService", "SetRollbackService"}) {
             ActionRow(t, setter).target = "zelk_bus.sys";
         }
         t.serviceControls[0].name = "zelk_bus.sys";
     },
     {"ZCA058", "ZCA098"}},
    {"per user", [](PackageTables& t) { t.properties.erase("ALLUSERS"); }, {"ZCA097"}},
    {"per user by choice",
     [](PackageTables& t) {
         t.properties["ALLUSERS"] = "2";
         t.properties["MSIINSTALLPERUSER"] = "1";
     },
     {"ZCA097"}},
    {"per machine by default", [](PackageTables& t) { t.properties["ALLUSERS"] = "2"; }, {}},
    {"upgrade of the own code",
     [](PackageTables& t) {
         t.installExecuteSequence.push_back({"RemoveExistingProducts", "", 1501});
         t.properties["UpgradeCode"] = "{A1B2C3D4-0000-4000-8000-000000000001}";
         t.upgrades = {{"{a1b2c3d4-0000-4000-8000-000000000001}", 0x2 | 0x100},
                       {"{A1B2C3D4-0000-4000-8000-000000000001}", 0x100}};
     },
     {}},
    // The restart and the recorded outcomes.
    {"recording driver with its decision", AddRecordingDriver, {}},
    {"decision skipped under suppression",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "Check").condition += " AND NOT REBOOT";
     },
     {"ZCA030"}},
    {"suppression not given back",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "GiveBack").sequence = -1;
     },
     {"ZCA031"}},
    {"suppression given back without ScheduleReboot",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "ScheduleReboot").sequence = -1;
     },
     {"ZCA032"}},
    {"suppression given back unconditionally",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "GiveBack").condition = "";
     },
     {"ZCA105"}},
    {"REBOOT kept under another name",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         ActionRow(t, "KeepReboot").source = "Kept_Reboot";
     },
     {"ZCA105"}},
    {"decision before the drivers ran",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "InstallExecute").sequence = -1;
     },
     {"ZCA063"}},
    {"decision after the clearing",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "SetClear").sequence = 6580;
         Scheduled(t, "Clear").sequence = 6581;
     },
     {"ZCA064"}},
    {"REBOOT set after the decision",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         t.customActions.push_back({"Quiet", kSetProperty, "REBOOT", "ReallySuppress"});
         t.installExecuteSequence.push_back({"Quiet", "", 6598});
     },
     {"ZCA091"}},
    {"no clearing",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "Clear").sequence = -1;
     },
     {"ZCA082", "ZCA106"}},
    {"no decision",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "Check").sequence = -1;
     },
     {"ZCA081", "ZCA105"}},
    {"decision only on the first installation, the driver added later",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         t.features.push_back("Optional");
         t.featureLevels["Optional"] = 3;
         t.componentFeatures = {{"Bus", "Drivers"}, {"Usb", "Optional"}};
         SetCondition(t, "NOT Installed", {"SetCheck", "Check", "SetClear", "Clear"});
     },
     {"ZCA105", "ZCA106"}},
    {"outcome not cleared on rollback",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "RollbackState").sequence = -1;
     },
     {"ZCA070"}},
    {"outcome's rollback after the driver",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         Scheduled(t, "RollbackState").sequence = 4062;
     },
     {"ZCA072"}},
    {"outcome's rollback under another condition",
     [](PackageTables& t) {
         AddRecordingDriver(t);
         SetCondition(t, "REMOVE", {"SetRollbackState", "RollbackState"});
     },
     {"ZCA071"}},
    {"service utility's delete run forward",
     [](PackageTables& t) { ActionRow(t, "RollbackServiceEntry").type = 50 + 1024 + 2048 + 64; },
     {"ZCA098"}},
    {"service utility's rollback after the install",
     [](PackageTables& t) { Scheduled(t, "RollbackServiceEntry").sequence = 4054; },
     {"ZCA098"}},
    {"data too long",
     [](PackageTables& t) {
         const std::string name(300, 'a');
         ActionRow(t, "SetInstallService").target = name;
         ActionRow(t, "SetRollbackService").target = name;
         ActionRow(t, "RollbackServiceEntry").target = "delete " + name;
         t.serviceControls[0].name = name;
     },
     {"ZCA041"}},
    {"INF in a Level-0 feature a Condition row raises, on the first installation",
     [](PackageTables& t) {
         AddOptionalDriver(t, "NOT Installed");
         t.featureLevels["Optional"] = 0;
         t.featureConditions = {{"Optional", 1, "VersionNT64"}};
     },
     // Installed by default, so no ZCA093; left out and added later, never staged.
     {"ZCA102"}},
    {"upgrade of two features without MigrateFeatures",
     [](PackageTables& t) {
         AddOptionalDriver(t, "$Usb=3 AND NOT ?Usb=3");
         t.featureLevels["Optional"] = 1;
         t.installExecuteSequence.push_back({"RemoveExistingProducts", "", 1501});
         t.properties["UpgradeCode"] = "{A1B2C3D4-0000-4000-8000-000000000001}";
         t.upgrades = {{"{A1B2C3D4-0000-4000-8000-000000000001}", 0x100 | 0x200}};
     },
     {"ZCA112"}},
    {"removal also on a repair",
     [](PackageTables& t) {
         t.customActions.push_back(
             {"SetUninstallService", kSetProperty, "UninstallService", "zelk_bus"});
         t.customActions.push_back(
             {"UninstallService", kDeferred + kIgnored, "ZelkCaFile", "CA_UninstallNonePnPDriver"});
         t.installExecuteSequence.push_back({"SetUninstallService", "Installed", 1620});
         t.installExecuteSequence.push_back({"UninstallService", "Installed", 1621});
     },
     // Nothing registers the service again if the removal fails.
     {"ZCA024", "ZCA070"}},
    {"rollback partner left out of an upgrade's installation",
     [](PackageTables& t) {
         t.upgradeProperties = {"OLDER_FOUND"};
         SetCondition(t, "$Bus=3 AND NOT ?Bus=3 AND NOT OLDER_FOUND",
                      {"SetRollbackService", "RollbackService"});
     },
     {"ZCA071"}},
    {"upgrade without MigrateFeatures",
     [](PackageTables& t) {
         AddOptionalDriver(t, "$Usb=3 AND NOT ?Usb=3");
         t.installExecuteSequence.push_back({"RemoveExistingProducts", "", 1501});
         t.properties["UpgradeCode"] = "{A1B2C3D4-0000-4000-8000-000000000001}";
         t.upgrades = {{"{A1B2C3D4-0000-4000-8000-000000000001}", 0x100 | 0x200}};
     },
     {"ZCA112"}},
    {"upgrade that only detects",
     [](PackageTables& t) {
         t.installExecuteSequence.push_back({"RemoveExistingProducts", "", 1501});
         t.properties["UpgradeCode"] = "{A1B2C3D4-0000-4000-8000-000000000001}";
         t.upgrades = {{"{A1B2C3D4-0000-4000-8000-000000000001}", 0x2}};
     },
     {"ZCA096"}},
    {"upgrade of another product",
     [](PackageTables& t) {
         t.installExecuteSequence.push_back({"RemoveExistingProducts", "", 1501});
         t.properties["UpgradeCode"] = "{A1B2C3D4-0000-4000-8000-000000000001}";
         t.upgrades = {{"{A1B2C3D4-0000-4000-8000-000000000002}", 0x100}};
     },
     {"ZCA096"}},
};

// The findings' lines, for a row that fails.
std::string Lines(const std::vector<Finding>& findings) {
    std::string lines;
    for (const Finding& finding : findings) {
        lines += finding.rule + ": " + finding.subject + ": " + finding.message + "\n";
    }
    return lines;
}

TEST(PackageChecksTest, EachChangeAddsItsRules) {
    for (const Row& row : kRows) {
        PackageTables tables = KernelServicePackage();
        row.change(tables);
        const std::vector<Finding> findings = CheckPackage(tables);
        EXPECT_EQ(RulesOf(findings), row.rules) << row.name << "\n" << Lines(findings);
        for (const Finding& finding : findings) {
            const zelk::checker::RuleEntry* rule = zelk::checker::FindRule(finding.rule);
            ASSERT_NE(rule, nullptr) << finding.rule;
            EXPECT_EQ(finding.severity, rule->severity) << finding.rule;
        }
    }
}

TEST(PackageChecksTest, IgnoresTheRulesItIsGiven) {
    PackageTables tables = KernelServicePackage();
    tables.serviceControls.clear();
    EXPECT_EQ(RulesOf(CheckPackage(tables, {"ZCA074", "ZCA104"})), std::set<std::string>{});
    // Alone, the older rule's mistake still shows on the paths: the kernel service without its
    // rollback partner is left marked for deletion by the service utility's rollback.
    PackageTables unpartnered = KernelServicePackage();
    Scheduled(unpartnered, "RollbackService").sequence = -1;
    EXPECT_EQ(RulesOf(CheckPackage(unpartnered, {"ZCA070"})), std::set<std::string>{"ZCA108"});
    EXPECT_EQ(RulesOf(CheckPackage(tables, {"ZCA074"})), std::set<std::string>{"ZCA104"});
    std::string unknown;
    EXPECT_FALSE(zelk::checker::ParseRuleList("ZCA074,ZCA999", unknown));
    EXPECT_EQ(unknown, "ZCA999");
    EXPECT_EQ(zelk::checker::ParseRuleList(" zca074 ;ZCA048,, ", unknown),
              (std::set<std::string>{"ZCA048", "ZCA074"}));
}

std::string SourceText(const std::string& path) {
    std::ifstream file(std::string(ZELK_SOURCE_DIR) + "/" + path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// One table for every rule: its page's section, its family's file, --ignore.
TEST(RuleTable, MatchesThePageAndTheSources) {
    const std::string page = SourceText("docs/zelk_ca_check.md");
    std::set<std::string> registered;
    for (const zelk::checker::RuleEntry& rule : zelk::checker::kRules) {
        registered.insert(rule.id);
        const std::string heading = std::string("\n### ") + rule.id + ": " + rule.title + " (" +
                                    SeverityName(rule.severity) + ")\n";
        EXPECT_NE(page.find(heading), std::string::npos) << "no section" << heading;
        EXPECT_NE(SourceText(std::string("tools/checker/") + rule.family)
                      .find(std::string("\"") + rule.id + "\""),
                  std::string::npos)
            << rule.id << " is not reported in " << rule.family;
        std::string unknown;
        EXPECT_TRUE(zelk::checker::ParseRuleList(rule.id, unknown)) << rule.id;
    }
    const std::regex section("\n### (ZCA[0-9]+):");
    for (auto match = std::sregex_iterator(page.begin(), page.end(), section);
         match != std::sregex_iterator(); ++match) {
        EXPECT_EQ(registered.count((*match)[1]), 1U) << (*match)[1] << " has a section only";
    }
    // No source reports a rule the table does not hold.
    const std::regex literal("\"(ZCA[0-9]{3})\"");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             std::string(ZELK_SOURCE_DIR) + "/tools/checker")) {
        const std::string path = entry.path().string();
        if (entry.path().extension() != ".cpp" && entry.path().extension() != ".h") {
            continue;
        }
        std::ifstream file(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        for (auto match = std::sregex_iterator(text.begin(), text.end(), literal);
             match != std::sregex_iterator(); ++match) {
            EXPECT_EQ(registered.count((*match)[1]), 1U) << (*match)[1] << " in " << path;
        }
    }
}

}  // namespace

namespace {

// 1,000 driver packages in one feature, each with its Type 51 action and its driver action
// following its component: 2,000 actions of the include's shape beside the kernel service.
PackageTables ManyDrivers(int drivers) {
    PackageTables tables = KernelServicePackage();
    tables.directories["DriversDir64"] = {"ProgramFiles64Folder", "Drivers"};
    for (int i = 0; i < drivers; ++i) {
        const std::string name = "drv" + std::to_string(i);
        const std::string condition = "$" + name + "=3 AND NOT ?" + name + "=3";
        tables.componentDirectories[name] = "DriversDir64";
        tables.componentFeatures.emplace(name, "Drivers");
        tables.files[name + "Inf"] = {name, name + ".inf"};
        tables.files[name + "Sys"] = {name, name + ".sys"};
        tables.customActions.push_back(
            {"Set" + name, kSetProperty, "Install" + name, "[#" + name + "Inf]"});
        tables.customActions.push_back(
            {"Install" + name, kDeferred, "ZelkCaFile", "CA_InstallDriver"});
        tables.installExecuteSequence.push_back({"Set" + name, condition, 4100 + 2 * i});
        tables.installExecuteSequence.push_back({"Install" + name, condition, 4101 + 2 * i});
    }
    return tables;
}

TEST(PackageChecksTest, ChecksThousandsOfActionsInTime) {
    const PackageTables tables = ManyDrivers(1000);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Finding> findings = CheckPackage(tables);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    std::printf("%zu actions checked in %.2f s\n", tables.customActions.size(), seconds.count());
    EXPECT_LT(seconds.count(), 60.0);
    EXPECT_EQ(RulesOf(findings), std::set<std::string>{"ZCA048"}) << Lines(findings);
}

}  // namespace
