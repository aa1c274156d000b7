// Test-side control of the simulated device tree, driver store and device installation.
#pragma once

#include <winsim/types.h>

#include <optional>
#include <string>
#include <vector>

namespace winsim {

// ---- Device tree --------------------------------------------------------------------------------
// One device instance as the system knows it. Devices enumerate in the order they were added
// (or registered); each has an instance key "SYSTEM\CurrentControlSet\Enum\<instanceId>" that
// mirrors its HardwareID, ConfigFlags, Service, Class and ClassGUID.
struct Device {
    std::string instanceId;                // e.g. "USB\VID_3A91&PID_1C01\6&2F1D&0&1"
    std::vector<std::string> hardwareIds;  // empty: the property is not set
    bool present = true;                   // false: installed once, not connected now
    std::optional<DWORD> configFlags;      // nullopt: the property is not set
    std::string service;                   // "": the property is not set
    std::string className;
    GUID classGuid{};
    std::string driverInf;       // INF path of the driver the device runs now, "" for none
    bool hasBestDriver = false;  // its driver outranks every package offered to it
};

// Adds a registered device (replacing one with the same instance ID); returns its devnode.
DEVINST AddDevice(const Device& device);
void SetDevicePresent(const std::string& instanceId, bool present);
std::optional<Device> FindDevice(const std::string& instanceId);  // registered devices only
std::vector<std::string> DeviceInstanceIds();                     // in enumeration order
// Hardware-ID property bytes exactly as stored (a multi-string, or whatever a caller wrote).
std::optional<std::vector<BYTE>> DeviceHardwareIdData(const std::string& instanceId);
// Elements created by SetupDiCreateDeviceInfoA and not registered, in all open lists.
int UnregisteredDeviceElements();

// ---- Pending installations ----------------------------------------------------------------------
// What CMP_WaitNoPendingInstallEvents answers: WAIT_OBJECT_0 (the default) or WAIT_TIMEOUT.
void SetPendingInstallWait(DWORD result);

// ---- Driver store -------------------------------------------------------------------------------
// SetupCopyOEMInfA copies a new package to "C:\Windows\INF\oem<N>.inf" (lowest free N). A
// package counts as already there when a staged one has the same INF file name and text.
struct StagedPackage {
    std::string sourcePath;
    std::string storedPath;
};
std::vector<StagedPackage> StagedPackages();
void StagePackage(const std::string& infPath);  // as if staged earlier; the INF must exist
// SetupCopyOEMInfA refuses the package at this path with `error` (e.g. ERROR_GENERAL_SYNTAX).
void RefusePackage(const std::string& infPath, DWORD error);

// ---- Driver installation (UpdateDriverForPlugAndPlayDevicesA) -----------------------------------
// What installing the package at `infPath` does: the service each device gets (also written as
// the "Service" value of its instance key; none: the device keeps its own) and whether a
// restart is asked for. A package with no offer installs without service and restart. The package
// is a better match for a device unless the device already runs it (same INF path) or has
// hasBestDriver.
struct DriverOffer {
    std::string service;
    bool needsRestart = false;
};
void OfferDriver(const std::string& infPath, DriverOffer offer);

}  // namespace winsim
