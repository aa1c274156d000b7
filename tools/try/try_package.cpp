// try_package.exe: runs any installer package that calls zelk_ca.dll with msiexec, run by run
// (an older version first, the installation, a repair, the removal), and reports for each run
// msiexec's full exit code, which of the DLL's actions ran with what result, and what changed
// on the machine. scripts/try-package.sh runs it under Wine in a private prefix.
//
// usage: try_package.exe PACKAGE [--upgrade-from OLD] [--repair] [--norestart]
// Exit status: 0 when every run ended as an installation should and left no fault, 1 when one
// did not or a fault was found (a "fault:" line says which), 2 when nothing could be run.
#include <windows.h>
#include <msi.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "machine.h"
#include "msi_log.h"
#include "msiexec_run.h"
#include "package_actions.h"

namespace zelk::trytool {
namespace {

enum ExitStatus { kAllSucceeded = 0, kRunFailed = 1, kCannotRun = 2 };

struct Options {
    std::string package;
    std::string upgradeFrom;
    bool repair = false;
    bool norestart = false;
};

const char* KindOf(int type) {
    if ((type & kInScript) == 0) {
        return "immediate";
    }
    if ((type & kRollback) != 0) {
        return "rollback";
    }
    return (type & kCommit) != 0 ? "commit" : "deferred";
}

std::string SystemText(DWORD code) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof(text), nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

// 3010 and 1641 are installations that succeeded and want a restart.
bool EndedAsInstallation(const Run& run) {
    return run.exitCode &&
           (*run.exitCode == ERROR_SUCCESS || *run.exitCode == ERROR_SUCCESS_REBOOT_REQUIRED ||
            *run.exitCode == ERROR_SUCCESS_REBOOT_INITIATED);
}

void PrintExitCode(const Run& run) {
    if (!run.exitCode) {
        std::printf("  msiexec did not start or did not end in time\n");
        return;
    }
    std::printf("  exit code %lu: %s\n", *run.exitCode, SystemText(*run.exitCode).c_str());
}

// A deferred action's own line is written when it is scheduled; its run is read from what the
// installer writes for the script. A log in another language says nothing of an immediate one.
std::string ResultOf(const std::string& log, const std::string& wineErrors,
                     const DllAction& action) {
    if ((action.type & kInScript) != 0) {
        return DescribeOutcome(DeferredResult(log, wineErrors, action.name));
    }
    return LanguageProblem(log).empty() ? ActionResult(log, action.name) : "? (not judged)";
}

void PrintActionTable(const std::string& log, const std::string& wineErrors,
                      const Package& package) {
    std::printf("  %-34s %-36s %-9s %s\n", "action", "entry", "kind", "result");
    for (const auto& action : package.actions) {
        const std::string result = ResultOf(log, wineErrors, action);
        std::printf("  %-34s %-36s %-9s %s\n", action.name.c_str(), action.entry.c_str(),
                    KindOf(action.type), result.c_str());
    }
}

// The package's own actions; then, in an upgrade, the older version's, whose removal Windows
// runs inside the new installation and writes into its log.
void PrintActions(const Run& run, const Package& package, const Package* older) {
    PrintActionTable(run.log, run.wineErrors, package);
    if (const auto problem = LanguageProblem(run.log); !problem.empty()) {
        std::printf("  not judged: %s\n", problem.c_str());
    }
    if (older == nullptr) {
        return;
    }
    for (const auto& nested : NestedRuns(run.log)) {
        std::printf(
            "  the older version's run inside this one (%s):\n",
            nested.product.empty() ? "its product code not logged" : nested.product.c_str());
        PrintActionTable(nested.text, "", *older);
    }
}

std::string CertutilPath() {
    return SystemFolder() + "\\certutil.exe";
}

void PrintCertificateUtility() {
    auto recorded = RecordedCommandLine(CertutilPath());
    if (!recorded) {
        std::printf("  certificate utility: not run\n");
        return;
    }
    // The whole command line, the program's own name first. A DLL of 1.0.0 put the byte 0x96,
    // the en dash of code page 1252, before addstore; shown as UTF-8.
    for (auto dash = recorded->find('\x96'); dash != std::string::npos;
         dash = recorded->find('\x96', dash)) {
        recorded->replace(dash, 1, "\xE2\x80\x93");
    }
    std::printf("  certificate utility: %s\n", recorded->c_str());
}

// Outcomes are signed: the actions record a failure as a negative number.
std::string Signed(DWORD value) {
    return std::to_string(static_cast<std::int32_t>(value));
}

void PrintState(const Run& run, const Package& package) {
    if (package.stateKey.empty()) {
        std::printf("  install-state values: the package names no state key\n");
        return;
    }
    std::string values;
    for (const auto& [name, value] : run.stateSeen) {
        values += " " + name + "=" + Signed(value);
    }
    for (const auto& [name, text] : run.stateTexts) {
        values += " " + name + "=\"" + text + "\"";
    }
    std::printf("  install-state values seen during the run (HKLM\\%s):%s\n",
                package.stateKey.c_str(), values.empty() ? " none" : values.c_str());
}

void PrintChanges(const Snapshot& before, const Snapshot& after) {
    std::printf("  changed on the machine:\n");
    bool any = false;
    for (const auto& [what, was] : before) {
        const auto now = after.find(what);
        if (now == after.end()) {
            std::printf("    - %s: %s\n", what.c_str(), was.c_str());
            any = true;
        } else if (now->second != was) {
            std::printf("    ~ %s: %s -> %s\n", what.c_str(), was.c_str(), now->second.c_str());
            any = true;
        }
    }
    for (const auto& [what, is] : after) {
        if (before.count(what) == 0) {
            std::printf("    + %s: %s\n", what.c_str(), is.c_str());
            any = true;
        }
    }
    if (!any) {
        std::printf("    nothing\n");
    }
}

void PrintWineErrors(const Run& run) {
    if (run.wineErrors.empty()) {
        return;
    }
    std::printf("  Wine's installer errors:\n");
    std::size_t start = 0;
    while (start < run.wineErrors.size()) {
        const auto end = run.wineErrors.find('\n', start);
        const auto line = run.wineErrors.substr(start, end - start);
        if (!line.empty()) {
            std::printf("    %s\n", line.c_str());
        }
        start = end == std::string::npos ? run.wineErrors.size() : end + 1;
    }
}

// What the package's runs gave the machine, by the data the driver actions were given: the
// INFs to stage, the root devices they create (by service) and the kernel services.
struct Given {
    std::set<std::string> infs;
    std::set<std::string> rootServices;
    std::set<std::string> kernelServices;
};

// How long the machine is given to settle before it is read again: a service deleted while
// its driver ran goes only when the driver has unloaded, a moment after msiexec returned.
constexpr DWORD kSettleSeconds = 10;

// What a run left wrong, each a sentence; they make the try exit 1.
class Faults {
  public:
    void Add(const std::string& step, const std::string& what) {
        lines_.push_back(step + ": " + what);
        std::printf("  fault: %s\n", what.c_str());
    }
    bool Any() const { return !lines_.empty(); }
    void PrintAll() const {
        for (const auto& line : lines_) {
            std::printf("fault: %s\n", line.c_str());
        }
    }

  private:
    std::vector<std::string> lines_;
};

bool IsDeferred(const DllAction& action) {
    return (action.type & kInScript) != 0 && (action.type & (kRollback | kCommit)) == 0;
}

// The data a scheduled action was given, from the property dump that ends the log.
std::string GivenData(const Run& run, const DllAction& action) {
    return TimesEnded(run.log, action.name) > 0 ? LoggedProperty(run.log, action.name) : "";
}

void NoteGiven(const Run& run, const Package& package, Given& given) {
    for (const auto& action : package.actions) {
        const std::string data = IsDeferred(action) ? GivenData(run, action) : "";
        if (data.empty()) {
            continue;
        }
        if (action.entry == "CA_InstallDriver") {
            const std::string inf = data.substr(0, data.find('@'));
            given.infs.insert(inf);
            if (const std::string service = RootServiceOfInf(inf); !service.empty()) {
                given.rootServices.insert(service);
            }
        } else if (action.entry == "CA_InstallNonePnPDriver" ||
                   action.entry == "CA_UninstallNonePnPDriver") {
            given.kernelServices.insert(data.substr(0, data.find('@')));
        }
    }
}

// A driver action records its outcome in the install-state key; a negative one is a failure,
// whatever the run's exit code says.
void CheckOutcomes(const Run& run, Faults& faults) {
    for (const auto& [name, value] : run.stateSeen) {
        if (static_cast<std::int32_t>(value) >= 0) {
            continue;
        }
        const auto text = run.stateTexts.find(name + "_Text");
        faults.Add(run.name,
                   "a driver action recorded " + name + " = " + Signed(value) +
                       (text == run.stateTexts.end() ? ", with no text" : ": " + text->second));
    }
}

// `when` is "" at once, or says how long after the run the machine was read.
void CheckInstalled(const std::string& step, const Given& given, const std::string& when,
                    Faults& faults) {
    for (const auto& inf : given.infs) {
        if (StagedCopyOf(inf).empty()) {
            faults.Add(step,
                       when + "the driver package " + inf + " is not staged in the INF folder");
        }
    }
    for (const auto& service : given.rootServices) {
        if (const std::string fault = RootDeviceFault(service); !fault.empty()) {
            faults.Add(step, when + fault);
        }
    }
    for (const auto& service : given.kernelServices) {
        if (const std::string fault = KernelServiceFault(service); !fault.empty()) {
            faults.Add(step, when + "the kernel " + fault);
        }
    }
}

void CheckRemoved(const std::string& step, const Given& given, const std::string& when,
                  Faults& faults) {
    for (const auto& service : given.rootServices) {
        if (const std::string fault = RootDeviceLeftover(service); !fault.empty()) {
            faults.Add(step, when + fault);
        }
    }
    for (const auto& service : given.kernelServices) {
        const std::string now = DescribeService(service);
        if (now != "none") {
            faults.Add(step, when + "the kernel service " + service + " remains: " + now);
        }
    }
}

// The machine as a customer finds it, at once and once it has settled.
void CheckMachine(const std::string& step, Command command, const Given& given, Faults& faults) {
    const auto check = [&](const std::string& when) {
        if (command == Command::Uninstall) {
            CheckRemoved(step, given, when, faults);
        } else {
            CheckInstalled(step, given, when, faults);
        }
    };
    check("");
    std::fflush(stdout);
    Sleep(kSettleSeconds * 1000);
    check("after " + std::to_string(kSettleSeconds) + " s: ");
}

// An upgrade carries the installed features over: each one the older version had installed is
// installed in the new one.
void CheckFeaturesKept(const std::string& step, const std::set<std::string>& before,
                       const Package& package, Faults& faults) {
    const auto after = InstalledFeatures(package.productCode, package.features);
    for (const auto& feature : before) {
        if (after.count(feature) == 0) {
            faults.Add(step, "the feature " + feature +
                                 " was installed before the upgrade and is not installed after it");
        }
    }
}

// Whether an upgrade took the older version away: its product is no longer registered.
void PrintOlderVersion(const Package& older, const Package& package) {
    if (older.productCode == package.productCode) {
        std::printf("  the older version %s shares the product code: updated in place\n",
                    older.productVersion.c_str());
        return;
    }
    const bool kept = MsiQueryProductStateA(older.productCode.c_str()) == INSTALLSTATE_DEFAULT;
    std::printf("  the older version %s (%s) %s\n", older.productVersion.c_str(),
                older.productCode.c_str(), kept ? "is still installed" : "was removed");
}

struct Step {
    std::string name;
    Msiexec what;
    const Package* package;  // whose actions the run calls
};

// One run with its report section; true when it ended as an installation should.
bool TryRun(const Step& step, const Package* older, Given& given, Faults& faults) {
    const Package& package = *step.package;
    ForgetRecordedCommandLine(CertutilPath());
    std::printf("\n== %s: %s\n", step.name.c_str(),
                MsiexecCommandLine(step.name, step.what, UnderWine()).c_str());
    std::fflush(stdout);
    const Snapshot before = TakeSnapshot(package.stateKey);
    const bool upgrades = older != nullptr && older->productCode != package.productCode;
    const auto featuresBefore =
        upgrades ? InstalledFeatures(older->productCode, older->features) : std::set<std::string>{};
    const Run run = RunMsiexec(step.name, step.what, package.stateKey, UnderWine());
    const Snapshot after = TakeSnapshot(package.stateKey);
    PrintExitCode(run);
    if (!run.logProblem.empty()) {
        faults.Add(step.name, run.logProblem);
    }
    PrintActions(run, package, older);
    const auto reboot = LoggedProperty(run.log, "REBOOT");
    std::printf("  REBOOT = %s\n", reboot.empty() ? "(not set)" : reboot.c_str());
    if (UnderWine()) {
        PrintCertificateUtility();
    }
    PrintState(run, package);
    PrintChanges(before, after);
    if (older != nullptr) {
        PrintOlderVersion(*older, package);
    }
    PrintWineErrors(run);
    CheckOutcomes(run, faults);
    const bool ended = EndedAsInstallation(run);
    if (ended) {
        // What an older version gave stays given: an upgrade keeps it.
        NoteGiven(run, package, given);
        if (upgrades) {
            CheckFeaturesKept(step.name, featuresBefore, package, faults);
        }
        CheckMachine(step.name, step.what.command, given, faults);
    }
    std::fflush(stdout);
    return ended;
}

std::vector<Step> PlanRuns(const Options& options, const Package& package, const Package* older) {
    // Wine's msiexec ignores /norestart; the property has the same effect on both.
    const std::string properties = options.norestart ? "REBOOT=ReallySuppress" : "";
    std::vector<Step> steps;
    if (older != nullptr) {
        steps.push_back(
            {"install-old", {Command::Install, options.upgradeFrom, properties}, older});
    }
    steps.push_back({"install", {Command::Install, options.package, properties}, &package});
    if (options.repair) {
        steps.push_back({"repair", {Command::Repair, package.productCode, properties}, &package});
    }
    steps.push_back({"uninstall", {Command::Uninstall, options.package, properties}, &package});
    return steps;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--upgrade-from" && i + 1 < argc) {
            options.upgradeFrom = argv[++i];
        } else if (argument == "--repair") {
            options.repair = true;
        } else if (argument == "--norestart") {
            options.norestart = true;
        } else if (argument.rfind("--", 0) != 0 && options.package.empty()) {
            options.package = argument;
        } else {
            return std::nullopt;
        }
    }
    return options.package.empty() ? std::nullopt : std::optional<Options>(options);
}

void PrintPackage(const Options& options, const Package& package) {
    std::printf("package %s, version %s, product code %s\n", options.package.c_str(),
                package.productVersion.c_str(), package.productCode.c_str());
    std::printf("%zu custom action(s) call zelk_ca.dll; the install-state key: %s\n",
                package.actions.size(),
                package.stateKey.empty() ? "none named" : ("HKLM\\" + package.stateKey).c_str());
    if (options.norestart) {
        std::printf(
            "--norestart: REBOOT=ReallySuppress is passed (Wine's msiexec ignores "
            "/norestart)\n");
    }
}

std::optional<Package> ReadOrSay(const std::string& path) {
    auto package = ReadPackage(path);
    if (!package) {
        std::printf("try_package: %s cannot be opened as an installer package\n", path.c_str());
    }
    return package;
}

int TryPackage(const Options& options) {
    const auto package = ReadOrSay(options.package);
    const auto older = options.upgradeFrom.empty() ? std::optional<Package>(Package{})
                                                   : ReadOrSay(options.upgradeFrom);
    if (!package || !older) {
        return kCannotRun;
    }
    PrintPackage(options, *package);
    if (UnderWine() && !LayStandIns()) {
        std::printf("try_package: the stand-ins could not be laid: error %lu\n", GetLastError());
        return kCannotRun;
    }
    Given given;
    Faults faults;
    const Package* olderOne = options.upgradeFrom.empty() ? nullptr : &*older;
    for (const auto& step : PlanRuns(options, *package, olderOne)) {
        const Package* upgraded = step.name == "install" ? olderOne : nullptr;
        if (!TryRun(step, upgraded, given, faults)) {
            std::printf("\n%s did not end as an installation should; the later runs are skipped\n",
                        step.name.c_str());
            faults.PrintAll();
            return kRunFailed;
        }
    }
    if (faults.Any()) {
        std::printf("\nevery run ended as an installation should, but the machine shows faults:\n");
        faults.PrintAll();
        return kRunFailed;
    }
    std::printf("\nevery run ended as an installation should\n");
    return kAllSucceeded;
}

}  // namespace
}  // namespace zelk::trytool

int main(int argc, char** argv) {
    try {
        const auto options = zelk::trytool::ParseOptions(argc, argv);
        if (!options) {
            std::printf(
                "usage: try_package.exe PACKAGE [--upgrade-from OLD] [--repair] [--norestart]\n");
            return zelk::trytool::kCannotRun;
        }
        return zelk::trytool::TryPackage(*options);
    } catch (const std::exception& error) {
        std::printf("try_package: %s\n", error.what());
    } catch (...) {
        std::printf("try_package: an unexpected exception\n");
    }
    return zelk::trytool::kCannotRun;
}
