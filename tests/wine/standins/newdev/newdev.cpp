// newdev.dll for the Wine suite: a stand-in for the device-installation library that answers
// UpdateDriverForPlugAndPlayDevices as Windows documents it. Wine's own export reports success
// whatever it is given (no device carrying the ID, an INF without the ID, a second identical
// install), so a caller that relies on its failures could not be tested there.
//
// UpdateDriverForPlugAndPlayDevicesA(parent, hardwareId, infPath, flags, rebootRequired):
//   FALSE, ERROR_INVALID_PARAMETER  no hardware ID or no INF path
//   FALSE, ERROR_INVALID_FLAGS      a flag beyond INSTALLFLAG_BITS
//   FALSE, ERROR_FILE_NOT_FOUND     nothing at the INF path
//   FALSE, ERROR_NO_SUCH_DEVINST    no present device carries the hardware ID (compared without
//                                   regard to case, at any position of its hardware-ID list)
//   FALSE, ERROR_NO_MORE_ITEMS      every such device already runs a driver (has a service or a
//                                   driver key) and INSTALLFLAG_FORCE is not given
//   TRUE                            the INF's driver was installed on every such device that had
//                                   none (on all of them with INSTALLFLAG_FORCE)
//   FALSE, that step's error        a step of an installation failed; devices before it keep
//                                   their new driver
// Each installation goes through SetupAPI's class installer: the compatible-driver list is built
// from that one INF (DI_ENUMSINGLEINF with DriverPath), DIF_SELECTBESTCOMPATDRV picks the best
// match, DIF_INSTALLDEVICE installs it. *rebootRequired (when given) is TRUE exactly when a
// device's install parameters ask for a reboot or restart afterwards.
// Unlike Windows it does not rank the INF's driver against a device's current one: any driver
// in place counts as the better match. Wine ignores DIGCF_PRESENT, so every registered device
// counts as present. The W form converts its strings to the ANSI code page.
//
// Use: the mingw build writes newdev.dll to build/mingw/tests/wine; scripts/run-wine-tests.sh
// lays it beside the test programs, and a process started with WINEDLLOVERRIDES=newdev=n loads
// it from there instead of Wine's builtin. It is linked statically and imports only system
// DLLs (kernel32, msvcrt, setupapi).
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD kPresentDevices = DIGCF_PRESENT | DIGCF_ALLCLASSES;
constexpr DWORD kRestartFlags = DI_NEEDREBOOT | DI_NEEDRESTART;

class DeviceSet {
  public:
    explicit DeviceSet(HDEVINFO set) : set_(set) {}
    ~DeviceSet() {
        if (valid()) {
            SetupDiDestroyDeviceInfoList(set_);
        }
    }
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

  private:
    HDEVINFO set_;
};

// A device property as bytes; empty when the device has none.
std::vector<char> ReadProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr, nullptr, 0, &size);
    if (size == 0) {
        return {};
    }
    std::vector<char> value(size + 2, '\0');  // room for a missing list terminator
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr,
                                           reinterpret_cast<PBYTE>(value.data()), size, nullptr)) {
        return {};
    }
    return value;
}

bool CarriesHardwareId(HDEVINFO set, SP_DEVINFO_DATA& device, const char* hardwareId) {
    const std::vector<char> ids = ReadProperty(set, device, SPDRP_HARDWAREID);
    for (const char* id = ids.data(); !ids.empty() && *id != '\0'; id += lstrlenA(id) + 1) {
        if (lstrcmpiA(id, hardwareId) == 0) {
            return true;
        }
    }
    return false;
}

bool HasText(const std::vector<char>& value) {
    return !value.empty() && value[0] != '\0';
}

bool RunsDriver(HDEVINFO set, SP_DEVINFO_DATA& device) {
    return HasText(ReadProperty(set, device, SPDRP_SERVICE)) ||
           HasText(ReadProperty(set, device, SPDRP_DRIVER));
}

// Installs the best driver of the one INF on the device; 0 or the failing step's error.
DWORD InstallFromInf(HDEVINFO set, SP_DEVINFO_DATA& device, const std::string& infPath,
                     bool& restart) {
    if (infPath.size() >= MAX_PATH) {
        return ERROR_INVALID_PARAMETER;  // DriverPath holds MAX_PATH characters
    }
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsA(set, &device, &params)) {
        return GetLastError();
    }
    params.Flags |= DI_ENUMSINGLEINF;
    lstrcpyA(params.DriverPath, infPath.c_str());
    if (!SetupDiSetDeviceInstallParamsA(set, &device, &params) ||
        !SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER) ||
        !SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, set, &device) ||
        !SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set, &device)) {
        return GetLastError();
    }
    if (SetupDiGetDeviceInstallParamsA(set, &device, &params) &&
        (params.Flags & kRestartFlags) != 0) {
        restart = true;
    }
    return ERROR_SUCCESS;
}

// Installs on the present devices carrying `hardwareId`; 0 or the error to report. The device
// set is gone before the caller sets the error, so that its destruction cannot overwrite it.
DWORD UpdateMatchingDevices(const char* hardwareId, const std::string& infPath, bool force,
                            bool& restart) {
    DeviceSet devices(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kPresentDevices));
    if (!devices.valid()) {
        return GetLastError();
    }
    bool matched = false;
    bool installed = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        if (!CarriesHardwareId(devices.get(), device, hardwareId)) {
            continue;
        }
        matched = true;
        if (!force && RunsDriver(devices.get(), device)) {
            continue;
        }
        const DWORD error = InstallFromInf(devices.get(), device, infPath, restart);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        installed = true;
    }
    if (!matched) {
        return ERROR_NO_SUCH_DEVINST;
    }
    return installed ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR hardwareId,
                                                          LPCSTR fullInfPath, DWORD installFlags,
                                                          PBOOL rebootRequired) {
    if (rebootRequired) {
        *rebootRequired = FALSE;
    }
    if (!hardwareId || !*hardwareId || !fullInfPath || !*fullInfPath) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((installFlags & ~INSTALLFLAG_BITS) != 0) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    if (GetFileAttributesA(fullInfPath) == INVALID_FILE_ATTRIBUTES) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    const bool force = (installFlags & INSTALLFLAG_FORCE) != 0;
    bool restart = false;
    const DWORD error = UpdateMatchingDevices(hardwareId, fullInfPath, force, restart);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (rebootRequired) {
        *rebootRequired = restart ? TRUE : FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId,
                                                          LPCWSTR fullInfPath, DWORD installFlags,
                                                          PBOOL rebootRequired) {
    const auto narrow = [](LPCWSTR text) {
        if (!text) {
            return std::string();
        }
        const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
        std::string converted(size > 0 ? size : 1, '\0');
        WideCharToMultiByte(CP_ACP, 0, text, -1, converted.data(), size, nullptr, nullptr);
        converted.resize(lstrlenA(converted.c_str()));
        return converted;
    };
    if (!hardwareId || !fullInfPath) {
        return UpdateDriverForPlugAndPlayDevicesA(parent, nullptr, nullptr, installFlags,
                                                  rebootRequired);
    }
    const std::string id = narrow(hardwareId);
    const std::string path = narrow(fullInfPath);
    return UpdateDriverForPlugAndPlayDevicesA(parent, id.c_str(), path.c_str(), installFlags,
                                              rebootRequired);
}
