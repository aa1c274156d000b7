// The maintenance paths of packages built from the include: a feature added and removed later,
// a minor upgrade, two products that create the same root device, and rollback turned off
// after the launch conditions. Each scenario is a row of msiexec steps on one machine, run in
// order (tests/e2e/groups.txt gives each scenario's machine a fresh Wine prefix).
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "e2e.h"
#include "support/machine_facts.h"
#include "support/machine_probe.h"

namespace zelk::e2e {
namespace {

const std::string kUninstallKeys = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr const char* kSecondStateKey = "SOFTWARE\\Zelk\\Virtual CAN\\InstallState";
constexpr const char* kKernelService = "zelk_bus";
constexpr const char* kSample = "zelk_drivers.msi";
constexpr const char* kTwoFeatures = "zelk_drivers_two_features.msi";
constexpr const char* kFixedCode = "zelk_drivers_fixed_code.msi";
constexpr const char* kMinor = "zelk_drivers_minor.msi";
constexpr const char* kSecond = "zelk_second_product.msi";
constexpr const char* kSecondFailing = "zelk_second_product_failing.msi";
constexpr const char* kLateNoRollback = "zelk_drivers_late_no_rollback.msi";
constexpr DWORD kSucceeds = ERROR_SUCCESS;  // or ERROR_SUCCESS_REBOOT_REQUIRED

std::map<std::string, Run>& Runs() {
    static std::map<std::string, Run> runs;
    return runs;
}

std::string ProductKeyOf(const std::string& step) {
    return kUninstallKeys + "\\" + LoggedProperty(Runs().at(step).log, "ProductCode");
}

bool Matches(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

void ExpectDevice(const std::string& service) {
    EXPECT_TRUE(Matches(DescribeDevice("ROOT\\" + service), " present=yes$"))
        << service << ": " << DescribeDevice("ROOT\\" + service);
    EXPECT_TRUE(Matches(DescribeService(service), "^state=[a-z-]+ type=1 "))
        << DescribeService(service);
}

void ExpectNoDevice(const std::string& service) {
    EXPECT_EQ(DescribeDevice("ROOT\\" + service), "none") << service;
    EXPECT_TRUE(UnloadDriverOfRemovedDevice(service)) << service << " did not unload";
    EXPECT_EQ(DescribeService(service), "none") << service;
}

void ExpectKernelDriverRunning() {
    EXPECT_TRUE(Matches(DescribeService(kKernelService), "^state=running "))
        << DescribeService(kKernelService);
}

void ExpectNotStarted(const Run& run, const std::vector<std::string>& actions) {
    for (const auto& action : actions) {
        EXPECT_FALSE(ActionStarted(run.log, action)) << action << " ran";
    }
}

// --- a feature added later, then removed ------------------------------------------------------

// Without the Lan feature nothing of the LAN device runs, not even on an INF that is not there.
void CheckWithoutLan(const Run& run) {
    ExpectNotStarted(run, {"ZelkInstallLanDriver", "ZelkRollbackLanDriver"});
    ExpectNoDevice("ZELK_LAN");
    ExpectDevice("ZELK_VIRTUAL");
    ExpectKernelDriverRunning();
}

// The feature added: its device is created like on a first installation; what was installed
// already is left alone.
void CheckLanAdded(const Run& run) {
    for (const char* action : {"ZelkInstallCertificate", "ZelkInstallLanDriver", "ZelkCheckReboot",
                               "ZelkClearInstallState"}) {
        EXPECT_EQ(Outcome(run, action), "1") << action;
    }
    EXPECT_FALSE(wine::MachineKeyExists(kSampleStateKey)) << "the install-state key stayed";
    EXPECT_EQ(run.stateSeen.count("Lan") ? run.stateSeen.at("Lan") : DWORD{99}, 0u) << "Lan";
    ExpectNotStarted(
        run, {"ZelkInstallVirtualDriver", "ZelkInstallKernelService", "ZelkRemoveOldOemPackage"});
    ExpectDevice("ZELK_LAN");
    ExpectDevice("ZELK_VIRTUAL");
    ExpectKernelDriverRunning();
}

// The feature removed: its device and service go, the rest stays; nothing is installed.
void CheckLanRemoved(const Run& run) {
    EXPECT_EQ(Outcome(run, "ZelkUninstallLanDriver"), "1");
    ExpectNotStarted(run, {"ZelkUninstallVirtualDriver", "ZelkUninstallKernelService",
                           "ZelkInstall", "ZelkCheckReboot"});
    ExpectNoDevice("ZELK_LAN");
    ExpectDevice("ZELK_VIRTUAL");
    ExpectKernelDriverRunning();
}

// The removal of the rest: no LAN removal for a feature that is not installed.
void CheckRestRemoved(const Run& run) {
    ExpectNotStarted(run, {"ZelkUninstallLanDriver"});
    EXPECT_EQ(Outcome(run, "ZelkUninstallVirtualDriver"), "1");
    ExpectNoDevice("ZELK_VIRTUAL");
    EXPECT_EQ(DescribeService(kKernelService), "none");
}

// --- servicing by major upgrade only ----------------------------------------------------------

// A minor upgrade is refused before anything changes: the installed version stays with its
// devices and its running driver.
void CheckMinorUpgradeRefused(const Run& run) {
    EXPECT_TRUE(RefusedAtLaunch(run))
        << "RefusedAtLaunch: LaunchConditions " << ActionResult(run.log, "LaunchConditions");
    EXPECT_EQ(LoggedProperty(run.log, "ZELK_INSTALLED_VERSION"), "1.0.0") << "InstalledVersionRead";
    EXPECT_EQ(LoggedProperty(run.log, "ProductVersion"), "1.0.1");
    ExpectNotStarted(run, {"ZelkInstall", "ZelkUninstall", "InstallFiles"});
    EXPECT_EQ(wine::ReadMachineString(ProductKeyOf("fixed-install"), "DisplayVersion")
                  .value_or("(not registered)"),
              "1.0.0");
    ExpectDevice("ZELK_VIRTUAL");
    ExpectDevice("ZELK_LAN");
    ExpectKernelDriverRunning();
}

// A repair of the same version runs none of the driver actions and keeps what they made.
void CheckRepairKeeps(const Run& run) {
    ExpectNotStarted(run, {"Zelk", "SetZelkInstall", "SetZelkUninstall"});
    ExpectDevice("ZELK_VIRTUAL");
    ExpectDevice("ZELK_LAN");
    ExpectKernelDriverRunning();
}

// --- two products that create the same virtual device -----------------------------------------

void CheckSecondInstalled(const Run& run) {
    EXPECT_EQ(Outcome(run, "ZelkInstallVirtualDriver"), "1");
    ExpectNotStarted(run, {"ZelkRollbackVirtualDriver"});
    ExpectDevice("ZELK_VIRTUAL");
}

// The other product still needs the device's component: the removal leaves the device.
void CheckSecondRemovedDeviceKept(const Run& run) {
    ExpectNotStarted(run, {"ZelkUninstallVirtualDriver"});
    EXPECT_FALSE(wine::MachineKeyExists(ProductKeyOf("shared-second"))) << "still registered";
    ExpectDevice("ZELK_VIRTUAL");
    EXPECT_TRUE(wine::PathExists(ProgramFiles() +
                                 "\\Zelk\\CAN-LIN Drivers\\Drivers\\Virtual\\zelk_virtual.inf"))
        << "the shared INF was removed";
}

// The device existed before the failed installation: its rollback does not take it away.
void CheckFailedSecondDeviceKept(const Run& run) {
    EXPECT_TRUE(ActionStarted(run.log, "ZelkFailingInstall")) << "the failure did not happen";
    ExpectNotStarted(run, {"ZelkRollbackVirtualDriver"});
    ExpectDevice("ZELK_VIRTUAL");
    ExpectKernelDriverRunning();
}

void CheckLastRemoved(const Run&) {
    ExpectNoDevice("ZELK_VIRTUAL");
    ExpectNoDevice("ZELK_LAN");
}

// --- rollback turned off after the launch conditions ------------------------------------------

// The error action before InstallInitialize refuses: nothing is installed.
void CheckRefusedLate(const Run& run) {
    EXPECT_EQ(ActionResult(run.log, "LaunchConditions"), "1") << "passed the launch conditions";
    EXPECT_EQ(LoggedProperty(run.log, "RollbackDisabled"), "1") << "DisableRollbackRan";
    EXPECT_TRUE(ActionStarted(run.log, "ZelkRefuseWithoutRollback")) << "not refused";
    ExpectNotStarted(run, {"InstallFiles", "ZelkInstall"});
    EXPECT_EQ(DescribeService(kKernelService), "none");
    ExpectNoDevice("ZELK_VIRTUAL");
}

// The administrator's override: installed without rollback.
void CheckInstalledWithoutRollback(const Run& run) {
    EXPECT_EQ(Outcome(run, "ZelkInstallKernelService"), "1");
    ExpectKernelDriverRunning();
    ExpectDevice("ZELK_VIRTUAL");
}

// --- the table ----------------------------------------------------------------------------------

struct Step {
    const char* name;  // names the log, NAME.log
    Msiexec msiexec;   // Repair: `package` names the earlier step whose product is repaired
    DWORD exitCode;    // kSucceeds also takes ERROR_SUCCESS_REBOOT_REQUIRED
    void (*check)(const Run&);
    bool installs;  // needs the driver packages and the kernel driver image to load
    const char* stateKey = kSampleStateKey;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

Msiexec Install(const char* package, const char* properties = "") {
    return {Command::Install, package, properties};
}
Msiexec Uninstall(const char* package) {
    return {Command::Uninstall, package, ""};
}

const Scenario kScenarios[] = {
    {"FeatureAddedThenRemoved",
     {{"feature-first", Install(kTwoFeatures, "ADDLOCAL=Drivers"), kSucceeds, CheckWithoutLan,
       true},
      {"feature-added", Install(kTwoFeatures, "ADDLOCAL=Lan"), kSucceeds, CheckLanAdded, true},
      {"feature-removed", Install(kTwoFeatures, "REMOVE=Lan"), kSucceeds, CheckLanRemoved, false},
      {"feature-uninstall", Uninstall(kTwoFeatures), kSucceeds, CheckRestRemoved, false}}},
    // Last on its machine: Wine caches the refused version's package ("v") although the run
    // failed, so the product is then registered with the 1.0.1 package, which a repair would
    // read and refuse too.
    {"MinorUpgradeRefused",
     {{"fixed-install", Install(kFixedCode), kSucceeds, nullptr, true},
      {"fixed-repair", {Command::Repair, "fixed-install", ""}, kSucceeds, CheckRepairKeeps, true},
      {"minor-upgrade", Install(kMinor, "REINSTALL=ALL REINSTALLMODE=vomus"), ERROR_INSTALL_FAILURE,
       CheckMinorUpgradeRefused, false}}},
    {"SharedVirtualDevice",
     {{"shared-first", Install(kSample), kSucceeds, nullptr, true},
      {"shared-second", Install(kSecond), kSucceeds, CheckSecondInstalled, true, kSecondStateKey},
      {"shared-second-uninstall", Uninstall(kSecond), kSucceeds, CheckSecondRemovedDeviceKept,
       false, kSecondStateKey},
      {"shared-second-failing", Install(kSecondFailing), ERROR_INSTALL_FAILURE,
       CheckFailedSecondDeviceKept, true, kSecondStateKey},
      {"shared-last-uninstall", Uninstall(kSample), kSucceeds, CheckLastRemoved, false}}},
    {"RollbackTurnedOffLate",
     {{"late-no-rollback", Install(kLateNoRollback), ERROR_INSTALL_FAILURE, CheckRefusedLate,
       false},
      {"late-no-rollback-allowed", Install(kLateNoRollback, "ZELK_ALLOW_NO_ROLLBACK=1"), kSucceeds,
       CheckInstalledWithoutRollback, true},
      {"late-no-rollback-uninstall", Uninstall(kLateNoRollback), kSucceeds, CheckLastRemoved,
       false}}},
};

Msiexec Resolved(const Step& step) {
    Msiexec msiexec = step.msiexec;
    if (msiexec.command == Command::Repair) {
        msiexec.package = LoggedProperty(Runs().at(msiexec.package).log, "ProductCode");
    }
    return msiexec;
}

void ExpectExit(const Step& step, const Run& run) {
    const std::string exit = run.exitCode ? std::to_string(*run.exitCode) : "nothing";
    if (step.exitCode != kSucceeds) {
        EXPECT_EQ(exit, std::to_string(step.exitCode)) << "see " << step.name << ".log";
        return;
    }
    EXPECT_TRUE(run.exitCode == ERROR_SUCCESS || run.exitCode == ERROR_SUCCESS_REBOOT_REQUIRED)
        << "msiexec exited with " << exit << "; see " << step.name << ".log";
}

class Maintenance : public testing::TestWithParam<Scenario> {};

TEST_P(Maintenance, Scenario) {
    for (const Step& step : GetParam().steps) {
        if (const std::string lack = wine::MachineLacks(wine::Need::LoadableDriver);
            step.installs && !UnderWine() && !lack.empty()) {
            GTEST_SKIP() << step.name << ": " << lack;
        }
        SCOPED_TRACE(step.name);
        const auto& run = Runs()[step.name] = RunMsiexec(step.name, Resolved(step), step.stateKey);
        ExpectExit(step, run);
        if (step.check) {
            step.check(run);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Maintenance, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zelk::e2e
