// msiexec runs as the try tool makes them, with Wine's workarounds only under Wine, and what
// their logs say a deferred action did.
#include <string>

#include "e2e.h"
#include "support/machine_probe.h"

namespace zelk::e2e {

bool UnderWine() {
    return wine::UnderWine();
}

std::string MsiexecCommandLine(const std::string& name, const Msiexec& what) {
    return trytool::MsiexecCommandLine(name, what, UnderWine());
}

Run RunMsiexec(const std::string& name, const Msiexec& what, const std::string& stateKey) {
    return trytool::RunMsiexec(name, what, stateKey, UnderWine());
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
    const std::string launch = ActionResult(run.log, "LaunchConditions");
    return UnderWine() ? launch == "0" : launch != "1" && launch != "-";
}

std::string ReturnedCode(const Run& run, const std::string& action) {
    return trytool::DeferredResult(run.log, run.wineErrors, action).code;
}

}  // namespace zelk::e2e
