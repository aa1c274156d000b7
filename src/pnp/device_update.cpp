#include "pnp/device_update.h"

#include "platform/win32.h"
#include "runtime/ansi_text.h"
#include "runtime/handles.h"
#include "runtime/multi_string.h"

namespace zelk {
namespace {

constexpr DWORD kHardwareIdBufferSize = 255;
constexpr DWORD kPresentDevices = DIGCF_PRESENT | DIGCF_ALLCLASSES;
constexpr DWORD kAllDevices = DIGCF_ALLCLASSES;
// Only a driver that is a better match than the current one gets installed.
constexpr DWORD kUpdateFlags = 0;
constexpr ULONG kStatusFlags = 0;

SP_DEVINFO_DATA EmptyDeviceRecord() {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    return device;
}

bool IsAbsent(DEVINST devInst) {
    ULONG status = 0;
    ULONG problem = 0;
    return CM_Get_DevNode_Status(&status, &problem, devInst, kStatusFlags) == CR_NO_SUCH_DEVINST;
}

// Sets CONFIGFLAG_REINSTALL in the device's configuration flags; false when they cannot be read.
bool FlagForReinstall(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    DWORD configFlags = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_CONFIGFLAGS, nullptr,
                                           reinterpret_cast<PBYTE>(&configFlags),
                                           sizeof(configFlags), nullptr)) {
        return false;
    }
    configFlags |= CONFIGFLAG_REINSTALL;
    SetupDiSetDeviceRegistryPropertyA(devices, &device, SPDRP_CONFIGFLAGS,
                                      reinterpret_cast<const BYTE*>(&configFlags),
                                      sizeof(configFlags));
    return true;
}

// Raises an optional flag.
void Raise(int* flag) {
    if (flag != nullptr) {
        *flag = 1;
    }
}

}  // namespace

bool FindPresentDeviceHardwareIds(const std::string& hardwareId,
                                  std::vector<std::string>& targets) {
    DeviceList devices(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kPresentDevices));
    if (!devices.valid()) {
        return false;
    }
    bool appended = false;
    SP_DEVINFO_DATA device = EmptyDeviceRecord();
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        char hardwareIds[kHardwareIdBufferSize];
        hardwareIds[0] = '\0';
        DWORD size = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<PBYTE>(hardwareIds),
                                               kHardwareIdBufferSize, &size)) {
            continue;
        }
        const size_t readable = size < kHardwareIdBufferSize ? size : kHardwareIdBufferSize;
        if (auto ownText = FindInMultiString(hardwareIds, readable, hardwareId)) {
            targets.push_back(std::move(*ownText));
            appended = true;
        }
    }
    return appended;
}

// An INF path and a hardware ID cannot be mistaken for each other unnoticed: a path matches no
// device, and an ID names no file; the two flags are written alike.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool UpdateDriverForHardwareId(const std::string& infPath, const std::string& hardwareId,
                               int* restartFlag, int* presentFlag) {
    std::vector<std::string> targets;
    if (!FindPresentDeviceHardwareIds(hardwareId, targets)) {
        targets.push_back(hardwareId);
    }
    bool updated = false;
    for (const std::string& target : targets) {
        BOOL restartNeeded = FALSE;
        if (UpdateDriverForPlugAndPlayDevicesA(nullptr, target.c_str(), infPath.c_str(),
                                               kUpdateFlags, &restartNeeded)) {
            updated = true;
            if (restartNeeded != FALSE) {
                Raise(restartFlag);
            }
            Raise(presentFlag);
            continue;
        }
        // The package is no better than the driver a matching device already runs.
        if (GetLastError() == ERROR_NO_MORE_ITEMS) {
            Raise(presentFlag);
        }
    }
    return updated;
}

bool MarkAbsentDevicesForReinstall(const std::string& hardwareId) {
    DeviceList devices(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kAllDevices));
    if (!devices.valid()) {
        return false;
    }
    bool flagged = false;
    SP_DEVINFO_DATA device = EmptyDeviceRecord();
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        // Zeroed whole: a list without its terminator must not run on into an earlier device's.
        char hardwareIds[kHardwareIdBufferSize] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<PBYTE>(hardwareIds),
                                               kHardwareIdBufferSize, nullptr)) {
            continue;
        }
        // Only the first, most specific hardware ID takes part.
        const std::string firstId(hardwareIds, LengthWithin(hardwareIds, kHardwareIdBufferSize));
        if (!EqualsIgnoreCase(firstId, hardwareId) || !IsAbsent(device.DevInst)) {
            continue;
        }
        if (FlagForReinstall(devices.get(), device)) {
            flagged = true;
        }
    }
    return flagged;
}

}  // namespace zelk
