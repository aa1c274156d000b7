// What the try tool reads of the machine: the folders, the files beside the program, devices
// through SetupAPI, services through the service control manager, the INF folder; and the
// stand-ins it lays under Wine. The end-to-end program reads the machine through the same code.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "runtime/handles.h"

namespace zelk::trytool {

// Whether the tool runs under Wine, which takes Wine's workarounds (the stand-ins, msiexec's
// repair spelt out).
bool UnderWine();

std::string BesideProgram(const std::string& fileName);
std::optional<std::string> ReadFileBytes(const std::string& path);
std::string SystemFolder();

// Wine's own newdev.dll cannot update a driver, and the certificate utility is recorded, not
// run: the installer's processes load the stand-ins from the system folder instead.
bool LayStandIns();
// The command line the recording stand-in at `programPath` was started with, raw.
std::optional<std::string> RecordedCommandLine(const std::string& programPath);
void ForgetRecordedCommandLine(const std::string& programPath);

// Every device the system knows, present or not.
class DeviceSet {
  public:
    DeviceSet();
    HDEVINFO get() const { return set_.get(); }
    bool Next(DWORD index, SP_DEVINFO_DATA& device) const;

  private:
    DeviceList set_;
};

// A registry property of a device; a multi-string keeps its inner NULs.
std::string ReadDeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property);
// "instance=ROOT\CAN-HARDWARE\0000 service=ZELK_VIRTUAL present=yes" for the first device
// carrying the hardware ID, or "none".
std::string DescribeDevice(const std::string& hardwareId);
std::string DescribeDeviceElement(HDEVINFO set, SP_DEVINFO_DATA& device);
// "state=running type=1 start=2 group=Extended Base binary=...", or "none".
std::string DescribeService(const std::string& name);
// The file of C:\windows\inf with the same bytes as `inf`, or "".
std::string StagedCopyOf(const std::string& inf);

// What a customer would find wrong after an installation, each a sentence, "" when whole.
// A root device (its service named like its hardware ID after "ROOT\\"): missing, not
// present, not on its service, or its service not running or marked for deletion.
std::string RootDeviceFault(const std::string& service);
// A kernel driver service: missing, not running, or marked for deletion.
std::string KernelServiceFault(const std::string& service);
// After a removal: the root device or its service still there.
std::string RootDeviceLeftover(const std::string& service);
// Whether the service control manager marked the service for deletion (its key's DeleteFlag).
bool MarkedForDeletion(const std::string& service);
// The root device's service a driver package creates, by the INF's file name ("ZELK_VIRTUAL"
// for zelk_virtual.inf, any case), or "" for a package that creates none.
std::string RootServiceOfInf(const std::string& infPath);
// Which of the named features of an installed product are installed (locally or to run from
// source). Wine's MsiEnumFeatures lists none, so the names come from the package.
std::set<std::string> InstalledFeatures(const std::string& productCode,
                                        const std::vector<std::string>& features);

// What a run can change, each thing by name ("device ROOT\\...", "service zelk_bus", "state
// Usb", "inf oem3.inf") with how it is: devices, kernel driver services, the values of the
// install-state key and the driver packages staged in the INF folder.
using Snapshot = std::map<std::string, std::string>;
Snapshot TakeSnapshot(const std::string& stateKey);

RegKeyHandle OpenMachineKey(const std::string& path, REGSAM access);

}  // namespace zelk::trytool
