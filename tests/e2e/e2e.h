// The sample package end to end: msiexec runs of the sample packages and what they leave on
// the machine, read through the Windows calls. Shared by the scenario table, the action report
// and the program's entry.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

#include "machine.h"
#include "msi_log.h"
#include "msiexec_run.h"

namespace zelk::e2e {

// Under Wine the runs take Wine's workarounds; on Windows never. The one place the end-to-end
// program tells the two apart.
bool UnderWine();

// The machine, read as the authors' try tool reads it.

using trytool::DescribeDevice;
using trytool::DescribeDeviceElement;
using trytool::DescribeService;
using trytool::InstalledFeatures;
using trytool::KernelServiceFault;
using trytool::LayStandIns;
using trytool::MarkedForDeletion;
using trytool::OpenMachineKey;
using trytool::RootDeviceFault;
using trytool::Snapshot;
using trytool::StagedCopyOf;
using trytool::SystemFolder;
using trytool::TakeSnapshot;

std::string ProgramFiles();
bool CreateKernelService(const std::string& name, const std::string& binary);
bool StopService(const std::string& name);
// Windows unloads a plug-and-play driver with its last device, and a service deleted while the
// driver ran goes with it. Wine keeps the driver loaded: under Wine this stops the driver of a
// service marked for deletion, as Windows would have. False when that driver did not stop.
bool UnloadDriverOfRemovedDevice(const std::string& service);
// The product code of a package beside the program, or "".
std::string ProductCodeOf(const std::string& package);
// Whether the certificate in the file is in the machine's TrustedPublisher store.
bool TrustedPublisher(const std::string& certificateFile);

// msiexec, run and its log read as the try tool does.

using trytool::Command;
using trytool::Msiexec;
using trytool::Run;

// The sample's install-state key, which the runs watch unless told another.
inline constexpr const char* kSampleStateKey = "SOFTWARE\\Zelk\\CAN-LIN Drivers\\InstallState";

std::string MsiexecCommandLine(const std::string& name, const Msiexec& what);
Run RunMsiexec(const std::string& name, const Msiexec& what,
               const std::string& stateKey = kSampleStateKey);

// The "Return value" of the action's last "Action ended" line, or "-": for actions that run
// when the sequence reaches them, never for a deferred action's run (DeferredResult).
using trytool::ActionResult;
using trytool::ActionStarted;
using trytool::HasLine;
using trytool::LanguageProblem;
using trytool::LoggedProperty;
using trytool::RolledBack;
// What a deferred action did when the script ran it: "1", "failed (returned N)", "- (scheduled,
// not run)" or "-".
std::string DeferredResult(const Run& run, const std::string& action);
// "1" when the action ran and succeeded: the "Return value" of the sample's one immediate
// action, the script's record of a run for every other.
std::string Outcome(const Run& run, const std::string& action);
// Whether a launch condition refused the run: Wine answers LaunchConditions with 0, Windows
// with another value than 1.
bool RefusedAtLaunch(const Run& run);
// The error code the action returned, when the log (Windows) or Wine's errors name it.
std::string ReturnedCode(const Run& run, const std::string& action);

}  // namespace zelk::e2e
