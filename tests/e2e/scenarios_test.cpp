// The sample package end to end: each scenario is a row of msiexec steps on one machine, each
// step with the package, the arguments, the exit code it must end with and a check of what it
// left. Scenarios of one machine run in the table's order (tests/e2e/groups.txt gives each
// machine a fresh Wine prefix), and each also runs on its own: a step that needs the product
// installed installs it first when it is not. Under Wine a custom action whose DLL fails to
// load, or that crashes, can still leave the installation successful, and Windows writes a
// deferred action's "Return value" when it schedules it, not when it runs: so the checks look at
// the effects, and at the script's own record of a run (DeferredResult).
#include <gtest/gtest.h>
#include <msi.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e.h"
#include "support/device_tree.h"
#include "support/machine_facts.h"
#include "support/machine_probe.h"
#include "support/recorded_command.h"
#include "support/test_files.h"

namespace zelk::e2e {

// Lines of the action report, printed at the end when the program is asked for it.
std::vector<std::string>& ReportLines() {
    static std::vector<std::string> lines;
    return lines;
}

namespace {

const std::string kProductKey = "SOFTWARE\\Zelk\\CAN-LIN Drivers";
const std::string kStateKey = kProductKey + "\\InstallState";
const std::string kUninstallKeys = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::string kOldUninstallKey = kUninstallKeys + "\\ZURA OEM Driver";
constexpr const char* kKernelService = "zelk_bus";
constexpr const char* kPackage = "zelk_drivers.msi";
constexpr const char* kPackageV2 = "zelk_drivers_v2.msi";
constexpr const char* kPackageBadDriver = "zelk_drivers_bad_driver.msi";
constexpr const char* kPackageV2BadDriver = "zelk_drivers_v2_bad_driver.msi";
constexpr const char* kPackageRebuild = "zelk_drivers_rebuild.msi";
constexpr const char* kPackageFailingRemoval = "zelk_drivers_failing_removal.msi";
constexpr const char* kPackageMinimal = "zelk_minimal.msi";
constexpr const char* kSecondStateKey = "SOFTWARE\\Zelk\\Virtual CAN\\InstallState";
constexpr const char* kTwoFeatures = "zelk_drivers_two_features.msi";
constexpr const char* kFixedCode = "zelk_drivers_fixed_code.msi";
constexpr const char* kMinor = "zelk_drivers_minor.msi";
constexpr const char* kSmallUpdate = "zelk_drivers_small_update.msi";
constexpr const char* kSecond = "zelk_second_product.msi";
constexpr const char* kSecondFailing = "zelk_second_product_failing.msi";
constexpr const char* kLateNoRollback = "zelk_drivers_late_no_rollback.msi";
constexpr const char* kOptionalLan = "zelk_drivers_optional_lan.msi";
constexpr const char* kOptionalLanV2 = "zelk_drivers_optional_lan_v2.msi";
// How long a customer's machine is given to settle after msiexec returned: a service deleted
// while its driver ran goes only when the driver has unloaded.
constexpr DWORD kSettleMilliseconds = 10000;
constexpr DWORD kSucceeds = ERROR_SUCCESS;  // or ERROR_SUCCESS_REBOOT_REQUIRED
const std::vector<std::string> kInstallActions = {
    "ZelkRemoveOldOemPackage", "ZelkInstallCertificate", "ZelkInstallVirtualDriver",
    "ZelkInstallLanDriver",    "ZelkInstallDriver1",     "ZelkInstallKernelService",
    "ZelkCheckReboot",         "ZelkClearInstallState"};
const std::vector<std::string> kUninstallActions = {
    "ZelkUninstallKernelService", "ZelkUninstallVirtualDriver", "ZelkUninstallLanDriver"};
// The root devices with their services.
const std::vector<std::string> kRootServices = {"ZELK_VIRTUAL", "ZELK_LAN"};

// What a step needs of the machine beyond what the sample gives.
enum Needs : unsigned {
    kNothing = 0,
    kSignedDrivers = 1,  // the driver packages and the kernel driver image loaded
    // The run forces a restart. Windows' msiexec would act on it after a quiet run, so there
    // the run suppresses it (REBOOT=ReallySuppress) and must end with 3010: the restart
    // decided, the machine left alone.
    kForcesRestart = 2,
    // The sample installed: a step that starts from it installs it first when no earlier step
    // left it there, so that its scenario also runs on its own.
    kInstalledSample = 4,
};

std::string OldFolder() {
    return ProgramFiles() + "\\ZURA OEM Driver";
}
std::string InstallFolder() {
    return ProgramFiles() + "\\Zelk\\CAN-LIN Drivers";
}
std::string KernelImage() {
    return SystemFolder() + "\\drivers\\" + kKernelService + ".sys";
}
std::string ExistingBinary() {
    return SystemFolder() + "\\drivers\\other_bus.sys";
}

bool SuppressedForcedRestart(unsigned needs) {
    return (needs & kForcesRestart) != 0 && !UnderWine();
}

// Why this machine cannot give what a step needs, or "".
std::string Missing(unsigned needs) {
    if (UnderWine()) {
        return "";
    }
    if ((needs & kSignedDrivers) != 0) {
        wine::WindowsBranch("drivers_load");
        return wine::MachineLacks(wine::Need::LoadableDriver);
    }
    return "";
}

// The runs of the current scenario, by step name: later steps read earlier logs of their own
// scenario, never another's (each scenario starts with none).
std::map<std::string, Run>& Runs() {
    static std::map<std::string, Run> runs;
    return runs;
}

void Report(const std::string& line) {
    ReportLines().push_back(line);
}

std::string Exit(const Run& run) {
    return run.exitCode ? std::to_string(*run.exitCode) : "nothing";
}

// --- preparing the machine ----------------------------------------------------------------------

void AddPendingRestart() {
    ASSERT_TRUE(wine::WriteMachineDword(kStateKey, "Earlier", 3));
}

// An older OEM package's uninstall entry, whose uninstaller records how it was called, and a
// restart left pending by an earlier driver update.
void AddOldPackageAndPendingRestart() {
    CreateDirectoryA(OldFolder().c_str(), nullptr);
    ASSERT_TRUE(wine::PlaceRecorder(OldFolder() + "\\uninst.exe"));
    const std::string uninstall =
        "\"" + OldFolder() + "\\uninst.exe\" /U \"" + OldFolder() + "\\install.log\"";
    ASSERT_TRUE(wine::WriteMachineString(kOldUninstallKey, "UninstallString", uninstall));
    AddPendingRestart();
}

// Another product's service that happens to carry the kernel driver's name.
void AddExistingService() {
    ASSERT_TRUE(CreateKernelService(kKernelService, ExistingBinary()));
}

void DeleteKernelService() {
    ASSERT_TRUE(wine::DeleteServiceNamed(kKernelService));
}

void StopKernelDriver() {
    StopService(kKernelService);
    EXPECT_TRUE(std::regex_search(DescribeService(kKernelService), std::regex("^state=stopped ")))
        << "DriverStoppedByHand: " << DescribeService(kKernelService);
}

bool ProductInstalled(const std::string& package) {
    return MsiQueryProductStateA(ProductCodeOf(package).c_str()) == INSTALLSTATE_DEFAULT;
}

// A machine that cannot install the sample is left as it is: the step's own check of its
// precondition says why it is skipped.
void InstallIfAbsent() {
    if (ProductInstalled(kPackage) || !Missing(kSignedDrivers).empty()) {
        return;
    }
    const Run run = RunMsiexec("setup-install", {Command::Install, kPackage, ""});
    ASSERT_TRUE(run.exitCode == ERROR_SUCCESS || run.exitCode == ERROR_SUCCESS_REBOOT_REQUIRED)
        << "installing the sample first exited with " << Exit(run) << "; see setup-install.log";
}

// --- checks -------------------------------------------------------------------------------------

bool Matches(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

// Whether the log's language lets the result of an action that runs when the sequence reaches
// it be read. A log in another language than English cannot say it: the case records why, as
// the property not_judged:STEP, and leaves that check out, since a language is no fault of the
// product's.
bool Judged(const Run& run) {
    const std::string problem = LanguageProblem(run.log);
    if (!problem.empty()) {
        testing::Test::RecordProperty("not_judged:" + run.name, problem);
    }
    return problem.empty();
}

void ExpectActionsSucceeded(const Run& run, const std::vector<std::string>& actions) {
    for (const auto& action : actions) {
        if (action != "ZelkCheckReboot" || Judged(run)) {
            EXPECT_EQ(Outcome(run, action), "1") << action;
        }
    }
}

void ExpectKernelServiceFailed(const Run& run) {
    EXPECT_TRUE(Matches(Outcome(run, "ZelkInstallKernelService"), "^failed"))
        << "ZelkInstallKernelService: " << Outcome(run, "ZelkInstallKernelService");
}

const char* const kRootDevicePartners[] = {"ZelkRollbackVirtualDriver", "ZelkRollbackLanDriver"};

// The rollback partners of the root devices' actions ran after the failure.
void ExpectRootDevicesRolledBack(const Run& run) {
    for (const char* partner : kRootDevicePartners) {
        EXPECT_TRUE(RolledBack(run.log, partner)) << partner << " did not run in the rollback";
    }
}

// An installation that succeeded only recorded them: the log must not read as a rollback (the
// sample's removal of an older OEM package fails, ignored, before them on every installation).
void ExpectNothingRolledBack(const Run& run) {
    for (const char* partner : kRootDevicePartners) {
        EXPECT_FALSE(RolledBack(run.log, partner)) << partner << " reads as rolled back";
        EXPECT_EQ(Outcome(run, partner), "- (scheduled, not run)") << partner;
    }
}

void ExpectRunning(const std::string& service) {
    EXPECT_TRUE(Matches(DescribeService(service), "^state=running ")) << DescribeService(service);
}

// A present root device with its kernel driver service and its recorded outcome 0.
void ExpectRootDevice(const Run& run, const std::string& service, const std::string& state) {
    EXPECT_TRUE(
        Matches(DescribeDevice("ROOT\\" + service),
                "^instance=ROOT\\\\CAN-HARDWARE\\\\[0-9]+ service=" + service + " present=yes$"))
        << DescribeDevice("ROOT\\" + service);
    // The device's function driver loaded: its service runs while the device is there.
    EXPECT_TRUE(Matches(DescribeService(service), "^state=running type=1 "))
        << DescribeService(service);
    if (!state.empty()) {
        EXPECT_EQ(run.stateSeen.count(state) ? run.stateSeen.at(state) : DWORD{99}, 0u) << state;
    }
}

void ExpectRootDevicesGone(const std::string& when) {
    for (const auto& service : kRootServices) {
        EXPECT_EQ(DescribeDevice("ROOT\\" + service), "none") << when;
        EXPECT_TRUE(UnloadDriverOfRemovedDevice(service)) << service << " did not unload";
        EXPECT_EQ(DescribeService(service), "none") << when;
    }
}

void ExpectStateKeyDeleted() {
    EXPECT_FALSE(wine::MachineKeyExists(kStateKey)) << "the install-state key stayed";
}

std::string KernelServiceLine() {
    return "state=running type=1 start=2 group=Extended Base binary=" + KernelImage();
}

// Installed on a machine with an older OEM package and a pending restart: every action ran.
void CheckInstall(const Run& run) {
    ExpectActionsSucceeded(run, kInstallActions);
    ExpectNothingRolledBack(run);
    EXPECT_FALSE(ActionStarted(run.log, "ZelkUninstall")) << "a removal action ran";
    const auto uninst = wine::RecordedCommandLine(OldFolder() + "\\uninst.exe");
    EXPECT_EQ(uninst.value_or("(not run)"), "\" /U \" /S \"" + OldFolder() + "\\install.log\"")
        << "OldPackageUninstallerRan";
    // Byte for byte, the system folder's utility named first. On Windows the real utility runs
    // and records nothing: its effect is in the store.
    const std::string certutilPath = SystemFolder() + "\\certutil.exe";
    const std::string addStore = "\"" + certutilPath + "\" -f -addstore \"TrustedPublisher\" \"" +
                                 InstallFolder() + "\\zelk_publisher.cer\"";
    const auto certutil = wine::RecordedCommandLine(certutilPath);
    if (UnderWine() || wine::WineCannotServe("publisher_in_store",
                                             "Wine's certificate utility is a stand-in that "
                                             "records its command line and fills no store")) {
        EXPECT_EQ(certutil.value_or("(not run)"), addStore) << "CertificateUtilityRan";
    } else {
        wine::WindowsBranch("publisher_in_store");
        EXPECT_TRUE(TrustedPublisher(InstallFolder() + "\\zelk_publisher.cer"))
            << "the publisher certificate is not in the machine's TrustedPublisher store";
    }
    ExpectRootDevice(run, "ZELK_VIRTUAL", "Virtual");
    ExpectRootDevice(run, "ZELK_LAN", "Lan");
    const std::string staged = StagedCopyOf(InstallFolder() + "\\Drivers\\Usb\\zelk_usb.inf");
    EXPECT_NE(staged, "") << "UsbPackageStaged: no copy of zelk_usb.inf in the INF folder";
    EXPECT_EQ(run.stateSeen.count("Usb") ? run.stateSeen.at("Usb") : DWORD{99}, 0u) << "Usb";
    EXPECT_FALSE(run.stateTextSeen) << "an install-state text value was written";
    EXPECT_EQ(DescribeService(kKernelService), KernelServiceLine());
    if (UnderWine()) {
        EXPECT_TRUE(HasLine(run.log, "Property(S): REBOOT = Force")) << "RebootForced";
    } else {
        // The administrator's suppression stays; the exit code 3010 carries the decision.
        if (Judged(run)) {
            EXPECT_EQ(ActionResult(run.log, "ScheduleReboot"), "1") << "RestartScheduled";
        }
        EXPECT_EQ(LoggedProperty(run.log, "REBOOT"), "ReallySuppress") << "RebootSuppressed";
    }
    ExpectStateKeyDeleted();

    const auto state = [&](const char* name) {
        return run.stateSeen.count(name) ? std::to_string(run.stateSeen.at(name)) : "";
    };
    const auto row = [&](const std::string& entry, const char* action, const std::string& did) {
        char line[512];
        std::snprintf(line, sizeof(line), "  %-36s %-2s %s", entry.c_str(),
                      Outcome(run, action).c_str(), did.c_str());
        Report(line);
    };
    Report("What each custom action did on a machine with an older OEM package and a pending");
    Report(
        "restart; 1 is an action that ran and succeeded, as the installer's log records the "
        "run.");
    Report("install: msiexec /i exited with " + Exit(run));
    row("CA_UninstallOldZuraOem", "ZelkRemoveOldOemPackage",
        "ran uninst.exe " + uninst.value_or("(not run)"));
    row("CA_InstallCertificate", "ZelkInstallCertificate",
        "ran " + certutil.value_or("certutil.exe (not recorded)"));
    row("CA_InstallDriver zelk_virtual.inf", "ZelkInstallVirtualDriver",
        DescribeDevice("ROOT\\ZELK_VIRTUAL") + "; state Virtual = " + state("Virtual"));
    row("CA_InstallDriver zelk_lan.inf", "ZelkInstallLanDriver",
        DescribeDevice("ROOT\\ZELK_LAN") + "; state Lan = " + state("Lan"));
    row("CA_InstallDriver zelk_usb.inf", "ZelkInstallDriver1",
        "staged as " + staged + "; state Usb = " + state("Usb"));
    row("CA_InstallNonePnPDriver", "ZelkInstallKernelService",
        std::string("service ") + kKernelService + " " + DescribeService(kKernelService));
    row("CA_CheckAndSetRebootStatus", "ZelkCheckReboot",
        "REBOOT = " + LoggedProperty(run.log, "REBOOT") +
            " (the pending restart: state Earlier = " + state("Earlier") + ")");
    row("CA_ClearInstallDriverRegistryValues", "ZelkClearInstallState",
        std::string("install-state key ") +
            (wine::MachineKeyExists(kStateKey) ? "kept" : "deleted"));
}

// The devices and services as the installation left them, for the repair to keep.
std::map<std::string, std::string>& Installed() {
    static std::map<std::string, std::string> installed;
    return installed;
}

void NoteInstalled() {
    Installed().clear();
    for (const auto& service : kRootServices) {
        Installed()["ROOT\\" + service] = DescribeDevice("ROOT\\" + service);
        Installed()[service] = DescribeService(service);
    }
    Installed()[kKernelService] = DescribeService(kKernelService);
}

// A repair reinstalls every file but runs none of the driver actions: the devices, the
// services and the running driver stay as they were before it.
void CheckRepair(const Run& run) {
    for (const char* action : {"Zelk", "SetZelkInstall", "SetZelkUninstall"}) {
        EXPECT_FALSE(ActionStarted(run.log, action)) << action << "... ran on the repair";
    }
    for (const auto& [what, installed] : Installed()) {
        const std::string now =
            what.rfind("ROOT\\", 0) == 0 ? DescribeDevice(what) : DescribeService(what);
        EXPECT_EQ(now, installed) << what << " kept";
    }
    ExpectStateKeyDeleted();
    Report("repair: msiexec exited with " + Exit(run));
}

void CheckUninstall(const Run& run) {
    ExpectActionsSucceeded(run, kUninstallActions);
    for (const char* install : {"ZelkInstall", "ZelkRemoveOld", "ZelkCheck", "ZelkClear"}) {
        EXPECT_FALSE(ActionStarted(run.log, install)) << install << " ran on the removal";
    }
    EXPECT_EQ(DescribeService(kKernelService), "none");
    ExpectRootDevicesGone("after the removal");
    EXPECT_FALSE(wine::PathExists(KernelImage())) << "KernelDriverFileRemoved";
    Report("uninstall: msiexec /x exited with " + Exit(run) + "; " + kKernelService + " " +
           DescribeService(kKernelService) + ", ROOT\\ZELK_VIRTUAL " +
           DescribeDevice("ROOT\\ZELK_VIRTUAL") + ", ROOT\\ZELK_LAN " +
           DescribeDevice("ROOT\\ZELK_LAN"));
}

// A restart a driver asks for under a suppression the administrator set (/norestart sets
// REBOOT=ReallySuppress; the installer reads only the first letter): msiexec reports 3010 and
// does not restart, REBOOT keeps the administrator's value, and the recorded outcomes are
// deleted.
void ExpectRestartReported(const Run& run, const std::string& reboot) {
    if (Judged(run)) {
        EXPECT_EQ(ActionResult(run.log, "ScheduleReboot"), "1") << "RestartScheduled";
    }
    EXPECT_EQ(LoggedProperty(run.log, "REBOOT"), reboot) << "RebootAsTheAdministratorSetIt";
    ExpectStateKeyDeleted();
    ExpectRunning(kKernelService);
    Report("REBOOT=" + reboot + " with a pending restart: msiexec exited with " + Exit(run));
}

void CheckNoRestart(const Run& run) {
    ExpectRestartReported(run, "ReallySuppress");
}

void CheckSuppressedByR(const Run& run) {
    ExpectRestartReported(run, "R");
}

void CheckSuppressed(const Run& run) {
    ExpectRestartReported(run, "Suppress");
}

// No older package and no pending restart: the old-package action returns 2, which the
// package ignores, and no driver outcome forces a restart.
void CheckCleanInstall(const Run& run) {
    EXPECT_EQ(Outcome(run, "ZelkRemoveOldOemPackage"), "1");
    EXPECT_FALSE(HasLine(run.log, "Property(S): REBOOT = Force")) << "RebootNotForced";
    Report("clean machine: msiexec /i exited with " + Exit(run) +
           ", REBOOT = " + LoggedProperty(run.log, "REBOOT"));
}

void CheckKernelServiceRemoved(const Run&) {
    EXPECT_EQ(DescribeService(kKernelService), "none");
    EXPECT_FALSE(wine::PathExists(KernelImage())) << "KernelImageRemoved";
}

void CheckKernelServiceRunning(const Run& run) {
    ExpectRunning(kKernelService);
    Report(run.name + ": msiexec /i exited with " + Exit(run) + "; " + kKernelService + " " +
           DescribeService(kKernelService));
}

// The machine once it has settled: each root device present on its running service, none
// marked for deletion, and the kernel service running.
void ExpectSettledWhole(const std::vector<std::string>& rootServices) {
    Sleep(kSettleMilliseconds);
    for (const auto& service : rootServices) {
        EXPECT_EQ(RootDeviceFault(service), "") << "after the machine settled";
    }
    EXPECT_EQ(KernelServiceFault(kKernelService), "") << "after the machine settled";
}

// Version 2 over version 1: version 2 installs first, taking the root devices over and
// registering the kernel service anew (its new image running), then version 1's removal
// leaves what the two share; afterwards everything version 2 needs is there, and stays.
void CheckUpgrade(const Run& run) {
    ExpectActionsSucceeded(run, kInstallActions);
    EXPECT_LT(run.log.find(": InstallFiles."), run.log.find(": RemoveExistingProducts."))
        << "the older version was removed before this one installed";
    // The older version's kernel service taken over: stopped, deleted and registered anew from
    // the new image, which is the one running.
    EXPECT_EQ(Outcome(run, "ZelkUninstallKernelService"), "1") << "KernelServiceTakenOver";
    const std::string v1 = ProductCodeOf(kPackage);
    const std::string v2 = LoggedProperty(run.log, "ProductCode");
    EXPECT_FALSE(wine::MachineKeyExists(kUninstallKeys + "\\" + v1)) << "Version1Removed " << v1;
    EXPECT_EQ(wine::ReadMachineString(kUninstallKeys + "\\" + v2, "DisplayVersion").value_or(""),
              "2.0.0")
        << "Version2Registered " << v2;
    for (const auto& service : kRootServices) {
        ExpectRootDevice(run, service, "");
    }
    ExpectRunning(kKernelService);
    EXPECT_TRUE(wine::PathExists(KernelImage())) << "KernelImagePresent";
    EXPECT_TRUE(wine::ReadMachineString(kProductKey, "InstallFolder")) << "InstallFolderRecorded";
    for (const char* inf :
         {"Virtual\\zelk_virtual.inf", "Lan\\zelk_lan.inf", "Usb\\zelk_usb.inf"}) {
        EXPECT_TRUE(wine::PathExists(InstallFolder() + "\\Drivers\\" + inf)) << inf;
    }
    ExpectStateKeyDeleted();
    ExpectSettledWhole(kRootServices);
    Report("version 1 to 2: msiexec /i exited with " + Exit(run) +
           "; 10 s later ROOT\\ZELK_VIRTUAL " + DescribeDevice("ROOT\\ZELK_VIRTUAL") +
           ", ZELK_VIRTUAL " + DescribeService("ZELK_VIRTUAL"));
}

// A service of the kernel driver's name exists already: the kernel service action fails with
// ERROR_SERVICE_EXISTS, and the rollback takes the recorded outcomes and the root devices away
// again while the existing service stays.
void CheckRollback(const Run& run) {
    ExpectKernelServiceFailed(run);
    EXPECT_EQ(ReturnedCode(run, "ZelkInstallKernelService"), "1073") << "ServiceExistsReturned";
    ExpectRootDevicesRolledBack(run);
    ExpectRootDevicesGone("after the rollback");
    ExpectStateKeyDeleted();
    EXPECT_TRUE(Matches(DescribeService(kKernelService),
                        std::regex_replace(ExistingBinary(), std::regex("\\\\"), "\\\\") + "$"))
        << "ExistingServiceKept: " << DescribeService(kKernelService);
    Report("existing " + std::string(kKernelService) + " service: msiexec /i exited with " +
           Exit(run) + " (CA_InstallNonePnPDriver returned " +
           ReturnedCode(run, "ZelkInstallKernelService") + "); after the rollback " +
           DescribeService(kKernelService));
}

// A kernel driver that cannot start: the installation fails and its rollback takes
// everything away, the service that the failed start left included.
void CheckFailedStart(const Run& run) {
    ExpectKernelServiceFailed(run);
    ExpectRootDevicesRolledBack(run);
    EXPECT_EQ(DescribeService(kKernelService), "none") << "KernelServiceRolledBack";
    EXPECT_FALSE(wine::PathExists(KernelImage())) << "KernelImageRemoved";
    for (const auto& service : kRootServices) {
        EXPECT_EQ(DescribeDevice("ROOT\\" + service), "none") << "RootDevicesRolledBack";
    }
    ExpectStateKeyDeleted();
    Report("driver that cannot start: msiexec /i exited with " + Exit(run) +
           " (CA_InstallNonePnPDriver returned " + ReturnedCode(run, "ZelkInstallKernelService") +
           ")");
}

std::string ProductKeyOf(const std::string& runName) {
    return kUninstallKeys + "\\" + LoggedProperty(Runs().at(runName).log, "ProductCode");
}

// The older version is removed after the new one has installed, inside its transaction: a
// version 2 that fails never reaches that removal, and its rollback leaves version 1 installed
// with its root devices on their services, and the kernel service it took over registered
// again. Windows puts the image version 2 replaced back and starts it; Wine's rollback does
// not put replaced files back, so there the service stays stopped on version 2's image.
void CheckFailedUpgrade(const Run& run) {
    ExpectKernelServiceFailed(run);
    EXPECT_EQ(run.log.find(": RemoveExistingProducts."), std::string::npos)
        << "the older version's removal ran";
    EXPECT_FALSE(wine::MachineKeyExists(ProductKeyOf("failed-upgrade"))) << "Version2Registered";
    EXPECT_TRUE(wine::MachineKeyExists(ProductKeyOf("upgrade-base"))) << "Version1Kept";
    ExpectStateKeyDeleted();
    Sleep(kSettleMilliseconds);
    for (const auto& service : kRootServices) {
        EXPECT_EQ(RootDeviceFault(service), "") << "after the machine settled";
    }
    if (UnderWine() || wine::WineCannotServe(
                           "upgrade_restored",
                           "Wine's rollback does not put back the files an installation "
                           "replaced, so the kernel image stays version 2's, which cannot start")) {
        EXPECT_TRUE(Matches(DescribeService(kKernelService), "^state=stopped type=1 "))
            << "ServiceRegisteredAgain: " << DescribeService(kKernelService);
    } else {
        wine::WindowsBranch("upgrade_restored");
        ExpectRunning(kKernelService);
    }
    Report("version 1 to a version 2 whose driver cannot start: msiexec /i exited with " +
           Exit(run) + "; " + kKernelService + " " + DescribeService(kKernelService));
}

// A removal that fails after its removal actions ran: the rollback partners put the root
// devices and the running kernel driver back, and the product stays registered.
void CheckFailedRemoval(const Run& run) {
    EXPECT_EQ(Outcome(run, "ZelkUninstallVirtualDriver"), "1");
    EXPECT_TRUE(RolledBack(run.log, "ZelkRestoreVirtualDriver")) << "RestorePartnerRan";
    EXPECT_TRUE(wine::MachineKeyExists(ProductKeyOf("failing-removal-install")))
        << "ProductStaysRegistered";
    for (const auto& service : kRootServices) {
        ExpectRootDevice(run, service, "");
    }
    ExpectRunning(kKernelService);
    Report("a removal that fails after its removal actions: msiexec /x exited with " + Exit(run) +
           "; " + kKernelService + " " + DescribeService(kKernelService) + ", ROOT\\ZELK_VIRTUAL " +
           DescribeDevice("ROOT\\ZELK_VIRTUAL"));
}

const std::string kInstallerPolicy = "SOFTWARE\\Policies\\Microsoft\\Windows\\Installer";

void DisableRollbackByPolicy() {
    ASSERT_TRUE(wine::WriteMachineDword(kInstallerPolicy, "DisableRollback", 1));
}

void EnableRollback() {
    ASSERT_TRUE(wine::DeleteMachineTree(kInstallerPolicy));
}

// With rollback disabled the installation refuses to start: its launch condition fails before
// anything changes, so a driver that cannot start never gets a service to leave behind.
void CheckRefusedWithoutRollback(const Run& run) {
    EXPECT_TRUE(RefusedAtLaunch(run))
        << "RefusedAtLaunch: LaunchConditions " << ActionResult(run.log, "LaunchConditions");
    EXPECT_FALSE(ActionStarted(run.log, "InstallInitialize")) << "the installation went on";
    EXPECT_FALSE(ActionStarted(run.log, "ZelkInstall")) << "an install action ran";
    EXPECT_EQ(DescribeService(kKernelService), "none");
    ExpectRootDevicesGone("after the refusal");
    Report("rollback disabled: msiexec /i exited with " + Exit(run) + "; " + kKernelService + " " +
           DescribeService(kKernelService));
}

// A rebuild of the same version with a new product code replaces the installed one.
void CheckRebuildReplaces(const Run& run) {
    EXPECT_FALSE(wine::MachineKeyExists(ProductKeyOf("rebuild-base"))) << "FirstBuildRemoved";
    EXPECT_EQ(wine::ReadMachineString(ProductKeyOf("rebuild"), "DisplayVersion").value_or(""),
              LoggedProperty(run.log, "ProductVersion"))
        << "RebuildRegistered";
    ExpectRunning(kKernelService);
    Report("a rebuild of the same version: msiexec /i exited with " + Exit(run));
}

// The smaller package built from the include: its driver staged, its certificate trusted, and
// none of the kinds it leaves out.
void CheckMinimalInstall(const Run& run) {
    ExpectActionsSucceeded(run, {"ZelkInstallCertificate", "ZelkInstallDriver1", "ZelkCheckReboot",
                                 "ZelkClearInstallState"});
    EXPECT_FALSE(ActionStarted(run.log, "ZelkInstallKernelService")) << "a kind left out ran";
    EXPECT_FALSE(ActionStarted(run.log, "ZelkRemoveOldOemPackage")) << "a kind left out ran";
    EXPECT_NE(StagedCopyOf(ProgramFiles() + "\\Zelk USB CAN\\zelk_usb.inf"), "")
        << "no copy of zelk_usb.inf in the INF folder";
    EXPECT_FALSE(wine::MachineKeyExists("SOFTWARE\\Zelk\\USB CAN\\InstallState"));
    Report("the smaller package: msiexec /i exited with " + Exit(run));
}

void CheckMinimalRemoved(const Run& run) {
    EXPECT_FALSE(wine::MachineKeyExists(ProductKeyOf("minimal-install"))) << "still registered";
    Report("the smaller package: msiexec /x exited with " + Exit(run));
}

// --- the maintenance paths of packages built from the include ---------------------------------

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

// Rollback turned off: adding a feature that brings a driver is refused as a first
// installation is, before anything changes.
void CheckFeatureAddRefusedWithoutRollback(const Run& run) {
    EXPECT_TRUE(ActionStarted(run.log, "ZelkRefuseWithoutRollback")) << "not refused";
    ExpectNotStarted(run, {"InstallFiles", "ZelkInstall"});
    ExpectNoDevice("ZELK_LAN");
    ExpectDevice("ZELK_VIRTUAL");
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
    EXPECT_EQ(LoggedProperty(run.log, "REINSTALLMODE"), "vomus");
    ExpectNotStarted(run, {"ZelkInstall", "ZelkUninstall", "InstallFiles"});
    EXPECT_EQ(wine::ReadMachineString(ProductKeyOf("fixed-install"), "DisplayVersion")
                  .value_or("(not registered)"),
              "1.0.0");
    ExpectDevice("ZELK_VIRTUAL");
    ExpectDevice("ZELK_LAN");
    ExpectKernelDriverRunning();
}

// A small update (the same version from another package) is refused as a minor upgrade is.
void CheckSmallUpdateRefused(const Run& run) {
    CheckMinorUpgradeRefused(run);
    EXPECT_EQ(LoggedProperty(run.log, "ProductVersion"), "1.0.0");
}

// The uninstall entry's version, which an earlier check compared, is not what refuses.
void DeleteDisplayVersion() {
    const std::string key = ProductKeyOf("fixed-install");
    const auto entry = OpenMachineKey(key, KEY_SET_VALUE);
    ASSERT_TRUE(entry) << key;
    ASSERT_EQ(RegDeleteValueA(entry.get(), "DisplayVersion"), ERROR_SUCCESS);
}

void CheckMinorUpgradeRefusedWithoutVersion(const Run& run) {
    EXPECT_TRUE(RefusedAtLaunch(run))
        << "RefusedAtLaunch: LaunchConditions " << ActionResult(run.log, "LaunchConditions");
    ExpectNotStarted(run, {"ZelkInstall", "ZelkUninstall", "InstallFiles"});
    ExpectDevice("ZELK_VIRTUAL");
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
    if (Judged(run)) {
        EXPECT_EQ(ActionResult(run.log, "LaunchConditions"), "1") << "passed the launch conditions";
    }
    EXPECT_EQ(LoggedProperty(run.log, "RollbackDisabled"), "1") << "DisableRollbackRan";
    EXPECT_TRUE(ActionStarted(run.log, "ZelkRefuseWithoutRollback")) << "not refused";
    ExpectNotStarted(run, {"InstallFiles", "ZelkInstall"});
    EXPECT_EQ(DescribeService(kKernelService), "none");
    ExpectNoDevice("ZELK_VIRTUAL");
}

// --- an upgrade carries the installed features over ------------------------------------------

void CheckOptionalLanInstalled(const Run&) {
    ExpectDevice("ZELK_LAN");
    EXPECT_EQ(InstalledFeatures(ProductCodeOf(kOptionalLan), {"Lan"}).count("Lan"), 1u);
}

// Version 1 had the optional Lan feature installed: version 2 has it too, with its device on
// its running service once the machine has settled. Wine's MigrateFeatureStates does nothing:
// there version 2 gets its default features, and version 1's removal takes the LAN device
// away with its service, leaving nothing behind.
void CheckFeatureCarriedOver(const Run& run) {
    const auto features = InstalledFeatures(LoggedProperty(run.log, "ProductCode"), {"Lan"});
    if (UnderWine() ||
        wine::WineCannotServe("features_migrated",
                              "Wine's MigrateFeatureStates is a stub: the new version gets its "
                              "default features")) {
        EXPECT_EQ(features.count("Lan"), 0u)
            << "Wine migrated the feature: take the Windows branch";
        Sleep(kSettleMilliseconds);
        EXPECT_EQ(DescribeDevice("ROOT\\ZELK_LAN"), "none");
        EXPECT_EQ(DescribeService("ZELK_LAN"), "none");
        EXPECT_EQ(RootDeviceFault("ZELK_VIRTUAL"), "");
        return;
    }
    wine::WindowsBranch("features_migrated");
    EXPECT_EQ(features.count("Lan"), 1u) << "FeatureCarriedOver";
    ExpectSettledWhole(kRootServices);
}

// --- a removal followed at once by an installation ----------------------------------------------

// The removal stopped the removed devices' drivers, so their services went at once: the
// installation right after creates them again, and they stay.
void CheckReinstalledAtOnce(const Run&) {
    ExpectSettledWhole(kRootServices);
}

// A service marked for deletion (its DeleteFlag) would be lost a moment after the installation:
// the installation refuses at its launch conditions, saying to restart first.
void MarkVirtualServiceDeleted() {
    ASSERT_TRUE(CreateKernelService("ZELK_VIRTUAL", ExistingBinary()));
    ASSERT_TRUE(wine::WriteMachineDword("SYSTEM\\CurrentControlSet\\Services\\ZELK_VIRTUAL",
                                        "DeleteFlag", 1));
}

void CheckRefusedMarkedForDeletion(const Run& run) {
    EXPECT_TRUE(RefusedAtLaunch(run))
        << "RefusedAtLaunch: LaunchConditions " << ActionResult(run.log, "LaunchConditions");
    ExpectNotStarted(run, {"InstallFiles", "ZelkInstall"});
    EXPECT_FALSE(ProductInstalled(kPackage)) << "installed";
    EXPECT_TRUE(wine::DeleteServiceNamed("ZELK_VIRTUAL"));
}

// The administrator's override: installed without rollback.
void CheckInstalledWithoutRollback(const Run& run) {
    // Secure, so that an elevated installation by a user keeps it.
    EXPECT_NE(LoggedProperty(run.log, "SecureCustomProperties").find("ZELK_ALLOW_NO_ROLLBACK"),
              std::string::npos)
        << LoggedProperty(run.log, "SecureCustomProperties");
    EXPECT_EQ(Outcome(run, "ZelkInstallKernelService"), "1");
    ExpectKernelDriverRunning();
    ExpectDevice("ZELK_VIRTUAL");
}

// --- the table ----------------------------------------------------------------------------------

struct Step {
    const char* name;      // names the log, NAME.log
    void (*prepare)();     // the machine before the run, or nullptr
    Msiexec msiexec;       // Repair: `package` names the package whose product is repaired
    bool suppressRestart;  // as /norestart does on Windows; Wine ignores the switch
    DWORD exitCode;        // kSucceeds also takes ERROR_SUCCESS_REBOOT_REQUIRED
    void (*check)(const Run&);
    unsigned needs;
    const char* stateKey = kSampleStateKey;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

const Msiexec kInstall = {Command::Install, kPackage, ""};
const Msiexec kUninstall = {Command::Uninstall, kPackage, ""};

const Scenario kScenarios[] = {
    // The first machine: an older OEM package and a pending restart.
    {"Install",
     {{"install", AddOldPackageAndPendingRestart, kInstall, false, kSucceeds, CheckInstall,
       kSignedDrivers | kForcesRestart}}},
    {"Repair",
     {{"repair",
       NoteInstalled,
       {Command::Repair, kPackage, ""},
       false,
       kSucceeds,
       CheckRepair,
       kSignedDrivers | kInstalledSample}}},
    {"Uninstall",
     {{"uninstall", nullptr, kUninstall, false, kSucceeds, CheckUninstall, kInstalledSample}}},
    {"NoRestart",
     {{"norestart", AddPendingRestart, kInstall, true, ERROR_SUCCESS_REBOOT_REQUIRED,
       CheckNoRestart, kSignedDrivers}}},
    // A clean machine.
    {"CleanMachine",
     {{"clean-install", nullptr, kInstall, false, kSucceeds, CheckCleanInstall, kSignedDrivers},
      {"clean-uninstall", nullptr, kUninstall, false, kSucceeds, nullptr, kNothing}}},
    {"StoppedDriver",
     {{"stopped-install", nullptr, kInstall, false, kSucceeds, nullptr, kSignedDrivers},
      {"stopped-uninstall", StopKernelDriver, kUninstall, false, kSucceeds,
       CheckKernelServiceRemoved, kNothing},
      {"reinstall", nullptr, kInstall, false, kSucceeds, CheckKernelServiceRunning,
       kSignedDrivers}}},
    {"Upgrade",
     {{"upgrade",
       nullptr,
       {Command::Install, kPackageV2, ""},
       false,
       kSucceeds,
       CheckUpgrade,
       kSignedDrivers | kInstalledSample}}},
    // A machine where another product's service carries the kernel driver's name.
    {"Rollback",
     {{"rollback", AddExistingService, kInstall, false, ERROR_INSTALL_FAILURE, CheckRollback,
       kNothing}}},
    {"FailedStart",
     {{"nostart",
       DeleteKernelService,
       {Command::Install, kPackageBadDriver, ""},
       false,
       ERROR_INSTALL_FAILURE,
       CheckFailedStart,
       kNothing},
      {"corrected", nullptr, kInstall, false, kSucceeds, CheckKernelServiceRunning,
       kSignedDrivers}}},
    // A clean machine: the other suppressions of a restart, a same-version rebuild, and the
    // smaller package built from the same include.
    {"RestartSuppressed",
     {{"suppress-r",
       AddPendingRestart,
       {Command::Install, kPackage, "REBOOT=R"},
       false,
       ERROR_SUCCESS_REBOOT_REQUIRED,
       CheckSuppressedByR,
       kSignedDrivers},
      {"suppress-r-uninstall", nullptr, kUninstall, false, kSucceeds, nullptr, kNothing},
      {"suppress-s",
       AddPendingRestart,
       {Command::Install, kPackage, "REBOOT=Suppress"},
       false,
       ERROR_SUCCESS_REBOOT_REQUIRED,
       CheckSuppressed,
       kSignedDrivers},
      {"suppress-s-uninstall", nullptr, kUninstall, false, kSucceeds, nullptr, kNothing}}},
    {"SameVersionRebuild",
     {{"rebuild-base", nullptr, kInstall, false, kSucceeds, nullptr, kSignedDrivers},
      {"rebuild",
       nullptr,
       {Command::Install, kPackageRebuild, ""},
       false,
       kSucceeds,
       CheckRebuildReplaces,
       kSignedDrivers},
      {"rebuild-uninstall",
       nullptr,
       {Command::Uninstall, kPackageRebuild, ""},
       false,
       kSucceeds,
       nullptr,
       kNothing}}},
    {"SmallerPackage",
     {{"minimal-install",
       nullptr,
       {Command::Install, kPackageMinimal, ""},
       false,
       kSucceeds,
       CheckMinimalInstall,
       kSignedDrivers},
      {"minimal-uninstall",
       nullptr,
       {Command::Uninstall, kPackageMinimal, ""},
       false,
       kSucceeds,
       CheckMinimalRemoved,
       kNothing}}},
    // A version 2 whose driver cannot start, over version 1.
    {"FailedUpgrade",
     {{"upgrade-base", nullptr, kInstall, false, kSucceeds, nullptr, kSignedDrivers},
      {"failed-upgrade",
       nullptr,
       {Command::Install, kPackageV2BadDriver, ""},
       false,
       ERROR_INSTALL_FAILURE,
       CheckFailedUpgrade,
       kNothing}}},
    // A removal that fails after its removal actions.
    {"FailedRemoval",
     {{"failing-removal-install",
       nullptr,
       {Command::Install, kPackageFailingRemoval, ""},
       false,
       kSucceeds,
       nullptr,
       kSignedDrivers},
      {"failing-removal",
       nullptr,
       {Command::Uninstall, kPackageFailingRemoval, ""},
       false,
       ERROR_INSTALL_FAILURE,
       CheckFailedRemoval,
       kSignedDrivers}}},
    // Rollback disabled by policy and by property, then turned on again.
    {"RollbackDisabled",
     {{"no-rollback-policy",
       DisableRollbackByPolicy,
       {Command::Install, kPackageBadDriver, ""},
       false,
       ERROR_INSTALL_FAILURE,
       CheckRefusedWithoutRollback,
       kNothing},
      {"no-rollback-property",
       EnableRollback,
       {Command::Install, kPackageBadDriver, "DISABLEROLLBACK=1"},
       false,
       ERROR_INSTALL_FAILURE,
       CheckRefusedWithoutRollback,
       kNothing},
      {"after-no-rollback", nullptr, kInstall, false, kSucceeds, CheckKernelServiceRunning,
       kSignedDrivers}}},
};

Msiexec Install(const char* package, const char* properties = "") {
    return {Command::Install, package, properties};
}
Msiexec Uninstall(const char* package) {
    return {Command::Uninstall, package, ""};
}

// The maintenance paths of packages built from the include: a feature added and removed later,
// a minor upgrade, two products that create the same root device, and rollback turned off
// after the launch conditions.
const Scenario kMaintenanceScenarios[] = {
    {"FeatureAddedThenRemoved",
     {{"feature-first", nullptr, Install(kTwoFeatures, "ADDLOCAL=Drivers"), false, kSucceeds,
       CheckWithoutLan, kSignedDrivers},
      {"feature-added-no-rollback", nullptr,
       Install(kTwoFeatures, "ADDLOCAL=Lan DISABLEROLLBACK=1"), false, ERROR_INSTALL_FAILURE,
       CheckFeatureAddRefusedWithoutRollback, kNothing},
      {"feature-added", nullptr, Install(kTwoFeatures, "ADDLOCAL=Lan"), false, kSucceeds,
       CheckLanAdded, kSignedDrivers},
      {"feature-removed", nullptr, Install(kTwoFeatures, "REMOVE=Lan"), false, kSucceeds,
       CheckLanRemoved, kNothing},
      {"feature-uninstall", nullptr, Uninstall(kTwoFeatures), false, kSucceeds, CheckRestRemoved,
       kNothing}}},
    // Last on its machine: Wine caches the refused version's package ("v") although the run
    // failed, so the product is then registered with the 1.0.1 package, which a repair would
    // read and refuse too.
    {"MinorUpgradeRefused",
     {{"fixed-install", nullptr, Install(kFixedCode), false, kSucceeds, nullptr, kSignedDrivers},
      {"fixed-repair",
       nullptr,
       {Command::Repair, kFixedCode, ""},
       false,
       kSucceeds,
       CheckRepairKeeps,
       kSignedDrivers},
      {"minor-upgrade", nullptr, Install(kMinor, "REINSTALL=ALL REINSTALLMODE=vomus"), false,
       ERROR_INSTALL_FAILURE, CheckMinorUpgradeRefused, kNothing}}},
    // A small update, then a minor upgrade whose uninstall entry lost its version: both are
    // refused. Last on its machine, as the refused minor upgrade above.
    {"SmallUpdateRefused",
     {{"fixed-install", nullptr, Install(kFixedCode), false, kSucceeds, nullptr, kSignedDrivers},
      {"small-update", nullptr, Install(kSmallUpdate, "REINSTALL=ALL REINSTALLMODE=vomus"), false,
       ERROR_INSTALL_FAILURE, CheckSmallUpdateRefused, kNothing},
      {"minor-without-version", DeleteDisplayVersion,
       Install(kMinor, "REINSTALL=ALL REINSTALLMODE=vomus"), false, ERROR_INSTALL_FAILURE,
       CheckMinorUpgradeRefusedWithoutVersion, kNothing}}},
    {"SharedVirtualDevice",
     {{"shared-first", nullptr, kInstall, false, kSucceeds, nullptr, kSignedDrivers},
      {"shared-second", nullptr, Install(kSecond), false, kSucceeds, CheckSecondInstalled,
       kSignedDrivers, kSecondStateKey},
      {"shared-second-uninstall", nullptr, Uninstall(kSecond), false, kSucceeds,
       CheckSecondRemovedDeviceKept, kNothing, kSecondStateKey},
      {"shared-second-failing", nullptr, Install(kSecondFailing), false, ERROR_INSTALL_FAILURE,
       CheckFailedSecondDeviceKept, kSignedDrivers, kSecondStateKey},
      {"shared-last-uninstall", nullptr, kUninstall, false, kSucceeds, CheckLastRemoved,
       kNothing}}},
    {"FeaturesCarriedOver",
     {{"optional-install", nullptr, Install(kOptionalLan, "ADDLOCAL=ALL"), false, kSucceeds,
       CheckOptionalLanInstalled, kSignedDrivers},
      {"optional-upgrade", nullptr, Install(kOptionalLanV2), false, kSucceeds,
       CheckFeatureCarriedOver, kSignedDrivers},
      {"optional-uninstall", nullptr, Uninstall(kOptionalLanV2), false, kSucceeds, CheckLastRemoved,
       kNothing}}},
    {"ReinstalledAtOnce",
     {{"again-install", nullptr, kInstall, false, kSucceeds, nullptr, kSignedDrivers},
      {"again-uninstall", nullptr, kUninstall, false, kSucceeds, nullptr, kNothing},
      {"again-reinstall", nullptr, kInstall, false, kSucceeds, CheckReinstalledAtOnce,
       kSignedDrivers},
      {"again-last-uninstall", nullptr, kUninstall, false, kSucceeds, CheckLastRemoved, kNothing},
      // Nothing the removed product left is taken for another product's device: a failed
      // installation right after takes its devices away again.
      {"again-failing", nullptr, Install(kPackageBadDriver), false, ERROR_INSTALL_FAILURE,
       CheckFailedStart, kNothing},
      {"marked-for-deletion", MarkVirtualServiceDeleted, kInstall, false, ERROR_INSTALL_FAILURE,
       CheckRefusedMarkedForDeletion, kNothing}}},
    {"RollbackTurnedOffLate",
     {{"late-no-rollback", nullptr, Install(kLateNoRollback), false, ERROR_INSTALL_FAILURE,
       CheckRefusedLate, kNothing},
      {"late-no-rollback-allowed", nullptr, Install(kLateNoRollback, "ZELK_ALLOW_NO_ROLLBACK=1"),
       false, kSucceeds, CheckInstalledWithoutRollback, kSignedDrivers},
      {"late-no-rollback-uninstall", nullptr, Uninstall(kLateNoRollback), false, kSucceeds,
       CheckLastRemoved, kNothing}}},
};

Msiexec Resolved(const Step& step) {
    Msiexec msiexec = step.msiexec;
    if (msiexec.command == Command::Repair) {
        msiexec.package = ProductCodeOf(msiexec.package);
    }
    const bool noRestartAlone =
        step.suppressRestart && !UnderWine() &&
        !wine::WineCannotServe("norestart_alone",
                               "Wine's msiexec ignores /norestart, so REBOOT is set with it");
    if ((step.suppressRestart && !noRestartAlone) || SuppressedForcedRestart(step.needs)) {
        msiexec.properties += " REBOOT=ReallySuppress";
    }
    if (noRestartAlone) {
        wine::WindowsBranch("norestart_alone");
    }
    return msiexec;
}

void ExpectExit(const Step& step, const Run& run) {
    const DWORD expected =
        SuppressedForcedRestart(step.needs) ? ERROR_SUCCESS_REBOOT_REQUIRED : step.exitCode;
    if (expected != kSucceeds) {
        EXPECT_EQ(Exit(run), std::to_string(expected)) << "see " << step.name << ".log";
        return;
    }
    EXPECT_TRUE(run.exitCode == ERROR_SUCCESS || run.exitCode == ERROR_SUCCESS_REBOOT_REQUIRED)
        << "msiexec exited with " << Exit(run) << "; see " << step.name << ".log";
    if (Judged(run)) {
        EXPECT_EQ(ActionResult(run.log, "INSTALL"), "1")
            << "INSTALL's result in " << step.name << ".log";
    }
}

// Why the machine cannot take the step as it is, or "": a removal or a repair needs its
// product installed, and a step that starts from the sample needs the sample.
std::string Unprepared(const Step& step) {
    const bool fromSample = (step.needs & kInstalledSample) != 0;
    const std::string package = fromSample ? kPackage : step.msiexec.package;
    if ((!fromSample && step.msiexec.command == Command::Install) || ProductInstalled(package)) {
        return "";
    }
    const std::string missing = Missing(kSignedDrivers);
    return package + " is not installed" +
           (missing.empty() ? "" : ", and installing it needs what is missing: " + missing);
}

class Package : public testing::TestWithParam<Scenario> {};

// A step that cannot run is skipped with its own reason; the steps after it run when their own
// preconditions hold.
TEST_P(Package, Scenario) {
    Runs().clear();
    std::string skipped;
    const auto skip = [&](const Step& step, const std::string& why) {
        skipped += std::string(skipped.empty() ? "" : "; ") + step.name + ": " + why;
    };
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(step.name);
        if (const std::string missing = Missing(step.needs); !missing.empty()) {
            skip(step, missing);
            continue;
        }
        if ((step.needs & kInstalledSample) != 0) {
            InstallIfAbsent();
            ASSERT_FALSE(HasFatalFailure());
        }
        if (const std::string why = Unprepared(step); !why.empty()) {
            skip(step, why);
            continue;
        }
        if (step.prepare) {
            step.prepare();
            ASSERT_FALSE(HasFatalFailure());
        }
        const auto& run = Runs()[step.name] = RunMsiexec(step.name, Resolved(step), step.stateKey);
        ASSERT_EQ(run.logProblem, "") << step.name << " cannot be checked";
        ExpectExit(step, run);
        if (step.check) {
            step.check(run);
        }
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

std::string NameOf(const testing::TestParamInfo<Scenario>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Sample, Package, testing::ValuesIn(kScenarios), NameOf);
INSTANTIATE_TEST_SUITE_P(Paths, Package, testing::ValuesIn(kMaintenanceScenarios), NameOf);

}  // namespace
}  // namespace zelk::e2e
