// msiexec runs as the try tool makes them, with Wine's workarounds only under Wine, and what
// their logs say a deferred action did.
#include <string>
#include <utility>

#include "e2e.h"
#include "support/machine_probe.h"

namespace zelk::e2e {

bool UnderWine() {
    return wine::UnderWine();
}

namespace {

// Whether the run takes Wine's spelling: under Wine, and in windows mode where Wine cannot
// serve the Windows one (its msiexec /f takes no product code).
bool WineForm(const Msiexec& what) {
    if (UnderWine() || what.command != Command::Repair) {
        return UnderWine();
    }
    if (wine::WineCannotServe("repair_famus", "Wine's msiexec /f takes no product code")) {
        return true;
    }
    wine::WindowsBranch("repair_famus");
    return false;
}

}  // namespace

std::string MsiexecCommandLine(const std::string& name, const Msiexec& what) {
    return trytool::MsiexecCommandLine(name, what, WineForm(what));
}

Run RunMsiexec(const std::string& name, const Msiexec& what, const std::string& stateKey) {
    // The shared runner's Wine workarounds: the repair's spelling as WineForm decides, and a
    // retried start wherever Wine is beneath, windows mode or not.
    const bool wineWorkarounds =
        what.command == Command::Repair ? WineForm(what) : wine::WineBeneath();
    Run run = trytool::RunMsiexec(name, what, stateKey, wineWorkarounds);
    const std::string logPath = trytool::BesideProgram(name + ".log");
    if (!run.logProblem.empty() || !wine::WineBeneath() || !wine::WindowsModeAsked()) {
        return run;
    }
    // Windows mode reads the log as Windows writes it.
    wine::LogAsWindowsWritesIt(logPath);
    auto log = trytool::ReadLog(logPath);
    run.log = std::move(log.text);
    run.logProblem = std::move(log.problem);
    return run;
}

std::string DeferredResult(const Run& run, const std::string& action) {
    return trytool::DescribeOutcome(trytool::DeferredResult(run.log, run.wineErrors, action));
}

std::string Outcome(const Run& run, const std::string& action) {
    // The one action of the sample's own that runs when the sequence reaches it; every other
    // runs from the script, and its own "Return value" line is only its scheduling.
    return action == "ZelkCheckReboot" ? ActionResult(run.log, action)
                                       : DeferredResult(run, action);
}

bool RefusedAtLaunch(const Run& run) {
    // A log in another language has no readable LaunchConditions result: the installation
    // stopping before InstallInitialize, which the engine's own lines show, is the refusal.
    if (!trytool::LanguageProblem(run.log).empty()) {
        return !ActionStarted(run.log, "InstallInitialize");
    }
    const std::string launch = ActionResult(run.log, "LaunchConditions");
    return UnderWine() ? launch == "0" : launch != "1" && launch != "-";
}

std::string ReturnedCode(const Run& run, const std::string& action) {
    // Windows logs the code; Wine names it only among its installer's errors.
    if (run.log.find("CustomAction " + action + " returned actual error code ") !=
        std::string::npos) {
        wine::WindowsBranch("returned_code_from_log");
    } else if (!UnderWine()) {
        wine::WineCannotServe("returned_code_from_log",
                              "Wine's msiexec never writes \"returned actual error code\"; read "
                              "from its installer errors");
    }
    return trytool::DeferredResult(run.log, run.wineErrors, action).code;
}

}  // namespace zelk::e2e
