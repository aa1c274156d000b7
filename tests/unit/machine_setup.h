// The machine the host tests and the fuzz targets set up: where the packages, the install state,
// the old OEM package and the kernel driver live, and builders for packages and devices. Free of
// GoogleTest, so that the fuzz targets can use it too.
#pragma once

#include <winsim/control.h>

#include <string>
#include <vector>

namespace setup {

constexpr char kPackageFolder[] = "C:\\Program Files\\Zelk\\Drivers\\";
constexpr char kUsbId[] = "USB\\VID_3A91&PID_1C01";
constexpr char kStateKey[] = "SOFTWARE\\Zelk\\InstallState";
constexpr char kRootInstances[] = "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\CAN-HARDWARE";
constexpr char kUninstallEntry[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZURA OEM Driver";
constexpr char kGermanUninstallEntry[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZURA OEM-Treiber";
constexpr char kOldUninstaller[] = "C:\\Old\\uninst.exe";
constexpr char kKernelDriver[] = "zelkdrv";
constexpr char kKernelImage[] = "C:\\Windows\\system32\\drivers\\zelkdrv.sys";

inline std::string InfText(const std::string& className = "CAN-HARDWARE") {
    return "; driver package\r\n"
           "[Version]\r\n"
           "Signature=\"$WINDOWS NT$\"\r\n"
           "Class=" +
           className +
           "\r\n"
           "ClassGuid={6a3c94f2-2b0c-4e5d-9f51-3d1e0b7a8c11}\r\n"
           "Provider=%Maker%\r\n"
           "\r\n"
           "[Manufacturer]\r\n"
           "%Maker%=Models,NTamd64\r\n"
           "\r\n"
           "[Strings]\r\n"
           "Maker=\"Maker\"\r\n";
}

// An INF that names neither a class nor a class GUID, from which no class can be read.
inline std::string ClasslessInfText() {
    return "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n";
}

inline GUID PackageClassGuid() {
    return GUID{0x6a3c94f2, 0x2b0c, 0x4e5d, {0x9f, 0x51, 0x3d, 0x1e, 0x0b, 0x7a, 0x8c, 0x11}};
}

// Lays down an INF and its driver file in the package folder; returns the INF path.
inline std::string AddPackage(const std::string& infName,
                              const std::string& className = "CAN-HARDWARE") {
    const std::string infPath = kPackageFolder + infName;
    winsim::WriteFile(infPath, InfText(className));
    winsim::AddFile(infPath.substr(0, infPath.size() - 3) + "sys");
    return infPath;
}

inline winsim::Device MakeDevice(const std::string& instanceId,
                                 std::vector<std::string> hardwareIds, bool present = true) {
    winsim::Device device;
    device.instanceId = instanceId;
    device.hardwareIds = std::move(hardwareIds);
    device.present = present;
    device.configFlags = 0;
    return device;
}

}  // namespace setup
