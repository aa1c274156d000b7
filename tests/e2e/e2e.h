// The sample package end to end: msiexec runs of the sample packages and what they leave on
// the machine, read through the Windows calls. Shared by the scenario table, the action report
// and the program's entry.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <map>
#include <optional>
#include <string>

namespace zelk::e2e {

// Under Wine the runs take Wine's workarounds; on Windows never.
bool UnderWine();
// Windows loads test-signed drivers (never true under Wine, which checks no signature).
bool TestSigningOn();

// The machine.

// Lays Wine's stand-ins in the system folder, where the installer's processes load them.
bool LayStandIns();

std::string ProgramFiles();
std::string SystemFolder();
// "instance=ROOT\CAN-HARDWARE\0000 service=ZELK_VIRTUAL present=yes" for the first device
// carrying the hardware ID, or "none".
std::string DescribeDevice(const std::string& hardwareId);
// "instance=ROOT\CAN-HARDWARE\0000 service=ZELK_VIRTUAL present=yes" for one element of a
// device list.
std::string DescribeDeviceElement(HDEVINFO set, SP_DEVINFO_DATA& device);
// "state=running type=1 start=2 group=Extended Base binary=...", or "none".
std::string DescribeService(const std::string& name);
bool CreateKernelService(const std::string& name, const std::string& binary);
bool StopService(const std::string& name);
// True when the service is there but its deletion waits for its driver to stop.
bool MarkedForDeletion(const std::string& name);
// Whether the certificate in the file is in the machine's TrustedPublisher store.
bool TrustedPublisher(const std::string& certificateFile);
// The file of C:\windows\inf with the same bytes as `inf`, or "".
std::string StagedCopyOf(const std::string& inf);

// What a run can change, each thing by name ("device ROOT\\...", "service zelk_bus", "state
// Usb", "inf oem3.inf") with how it is: devices, kernel driver services, the values of the
// install-state key and the driver packages staged in the INF folder.
using Snapshot = std::map<std::string, std::string>;
Snapshot TakeSnapshot(const std::string& stateKey);

// msiexec.

enum class Command { Install, Uninstall, Repair };

struct Msiexec {
    Command command;
    std::string package;     // the file beside the program; Repair: the installed product's code
    std::string properties;  // "NAME=value ..." or ""
};

// One msiexec run, quiet, with a verbose log.
struct Run {
    std::string name;               // the step's, which names its log
    std::optional<DWORD> exitCode;  // none: msiexec did not start or did not end in time
    std::string log;                // the verbose log, without carriage returns
    std::string wineErrors;         // Wine's installer errors during the run (Wine only)
    // The install-state values as they appeared during the run, last data of each.
    std::map<std::string, DWORD> stateSeen;
    bool stateTextSeen = false;  // a "_Text" value appeared
};

// The sample's install-state key, which the runs watch unless told another.
inline constexpr const char* kSampleStateKey = "SOFTWARE\\Zelk\\CAN-LIN Drivers\\InstallState";

// The command line of a run; a package with a full path is taken where it is, any other
// beside the program.
std::string MsiexecCommandLine(const std::string& name, const Msiexec& what);
Run RunMsiexec(const std::string& name, const Msiexec& what,
               const std::string& stateKey = kSampleStateKey);

// The "Return value" of the action's last run in the log, or "-" if it did not run.
std::string ActionResult(const std::string& log, const std::string& action);
bool ActionStarted(const std::string& log, const std::string& namePrefix);
bool HasLine(const std::string& text, const std::string& line);
// The value of a property in the dump that ends the log, or "".
std::string LoggedProperty(const std::string& log, const std::string& name);
// The error code the action returned, when the log (Windows) or Wine's errors name it.
std::string ReturnedCode(const Run& run, const std::string& action);

}  // namespace zelk::e2e
