// try_package.exe: runs any installer package that calls zelk_ca.dll with msiexec, run by run
// (an older version first, the installation, a repair, the removal), and reports for each run
// msiexec's full exit code, which of the DLL's actions ran with what result, and what changed
// on the machine. scripts/try-package.sh runs it under Wine in a private prefix.
//
// usage: try_package.exe PACKAGE [--upgrade-from OLD] [--repair] [--norestart]
// Exit status: 0 when every run ended as an installation should, 1 when one did not, 2 when
// nothing could be run.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "e2e.h"
#include "package_actions.h"
#include "support/recorded_command.h"

namespace zelk::e2e {
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

// How often the log says the action ended. Wine logs an action of the script once when it is
// scheduled and once more when the script runs it.
int TimesEnded(const std::string& log, const std::string& action) {
    const std::string ending = ": " + action + ". Return value ";
    int times = 0;
    for (auto at = log.find(ending); at != std::string::npos; at = log.find(ending, at + 1)) {
        times += log.compare(log.rfind('\n', at) + 1, 13, "Action ended ") == 0 ? 1 : 0;
    }
    return times;
}

std::string ResultOf(const Run& run, const DllAction& action) {
    if ((action.type & kInScript) != 0 && UnderWine() && TimesEnded(run.log, action.name) == 1) {
        return "- (scheduled, not run)";
    }
    std::string result = ActionResult(run.log, action.name);
    if (result != "1" && result != "-") {
        if (const auto code = ReturnedCode(run, action.name); !code.empty()) {
            result += " (returned " + code + ")";
        }
    }
    return result;
}

void PrintActions(const Run& run, const Package& package) {
    std::printf("  %-34s %-36s %-9s %s\n", "action", "entry", "kind", "Return value");
    for (const auto& action : package.actions) {
        const std::string result = ResultOf(run, action);
        std::printf("  %-34s %-36s %-9s %s\n", action.name.c_str(), action.entry.c_str(),
                    KindOf(action.type), result.c_str());
    }
}

std::string CertutilPath() {
    return SystemFolder() + "\\certutil.exe";
}

void PrintCertificateUtility() {
    auto recorded = wine::RecordedCommandLine(CertutilPath());
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

void PrintState(const Run& run, const Package& package) {
    if (package.stateKey.empty()) {
        std::printf("  install-state values: the package names no state key\n");
        return;
    }
    std::string values;
    for (const auto& [name, value] : run.stateSeen) {
        values += " " + name + "=" + std::to_string(value);
    }
    std::printf("  install-state values seen during the run (HKLM\\%s):%s%s\n",
                package.stateKey.c_str(), values.empty() ? " none" : values.c_str(),
                run.stateTextSeen ? ", and a _Text value" : "");
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

// One run with its report section; true when it ended as an installation should.
bool TryRun(const std::string& name, const Msiexec& what, const Package& package) {
    DeleteFileA(wine::RecordFileOf(CertutilPath()).c_str());
    std::printf("\n== %s: %s\n", name.c_str(), MsiexecCommandLine(name, what).c_str());
    std::fflush(stdout);
    const Snapshot before = TakeSnapshot(package.stateKey);
    const Run run = RunMsiexec(name, what, package.stateKey);
    const Snapshot after = TakeSnapshot(package.stateKey);
    PrintExitCode(run);
    PrintActions(run, package);
    const auto reboot = LoggedProperty(run.log, "REBOOT");
    std::printf("  REBOOT = %s\n", reboot.empty() ? "(not set)" : reboot.c_str());
    if (UnderWine()) {
        PrintCertificateUtility();
    }
    PrintState(run, package);
    PrintChanges(before, after);
    PrintWineErrors(run);
    std::fflush(stdout);
    return EndedAsInstallation(run);
}

struct Step {
    std::string name;
    Msiexec what;
};

std::vector<Step> PlanRuns(const Options& options, const Package& package) {
    // Wine's msiexec ignores /norestart; the property has the same effect on both.
    const std::string properties = options.norestart ? "REBOOT=ReallySuppress" : "";
    std::vector<Step> steps;
    if (!options.upgradeFrom.empty()) {
        steps.push_back({"install-old", {Command::Install, options.upgradeFrom, properties}});
    }
    steps.push_back({"install", {Command::Install, options.package, properties}});
    if (options.repair) {
        steps.push_back({"repair", {Command::Repair, package.productCode, properties}});
    }
    steps.push_back({"uninstall", {Command::Uninstall, options.package, properties}});
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
    std::printf("package %s, product code %s\n", options.package.c_str(),
                package.productCode.c_str());
    std::printf("%zu custom action(s) call zelk_ca.dll; the install-state key: %s\n",
                package.actions.size(),
                package.stateKey.empty() ? "none named" : ("HKLM\\" + package.stateKey).c_str());
    if (options.norestart) {
        std::printf(
            "--norestart: REBOOT=ReallySuppress is passed (Wine's msiexec ignores "
            "/norestart)\n");
    }
}

int TryPackage(const Options& options) {
    const auto package = ReadPackage(options.package);
    if (!package) {
        std::printf("try_package: %s cannot be opened as an installer package\n",
                    options.package.c_str());
        return kCannotRun;
    }
    PrintPackage(options, *package);
    if (UnderWine() && !LayStandIns()) {
        std::printf("try_package: the stand-ins could not be laid: error %lu\n", GetLastError());
        return kCannotRun;
    }
    for (const auto& step : PlanRuns(options, *package)) {
        if (!TryRun(step.name, step.what, *package)) {
            std::printf(
                "\n%s did not end as an installation should; the later runs are "
                "skipped\n",
                step.name.c_str());
            return kRunFailed;
        }
    }
    std::printf("\nevery run ended as an installation should\n");
    return kAllSucceeded;
}

}  // namespace
}  // namespace zelk::e2e

int main(int argc, char** argv) {
    try {
        const auto options = zelk::e2e::ParseOptions(argc, argv);
        if (!options) {
            std::printf(
                "usage: try_package.exe PACKAGE [--upgrade-from OLD] [--repair] [--norestart]\n");
            return zelk::e2e::kCannotRun;
        }
        return zelk::e2e::TryPackage(*options);
    } catch (const std::exception& error) {
        std::printf("try_package: %s\n", error.what());
    } catch (...) {
        std::printf("try_package: an unexpected exception\n");
    }
    return zelk::e2e::kCannotRun;
}
