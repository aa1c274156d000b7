// The nine exports on their success paths, each over a machine prepared for it: the starting
// points of the fault-injection and allocation-failure sweeps and of the export fuzz targets.
// Free of GoogleTest, so that the fuzz targets can use it too.
#pragma once

#include "exports/entry_points.h"

#include "machine_setup.h"

#include <winsim/control.h>

#include <string>
#include <vector>

namespace scenarios {

using Export = UINT(WINAPI*)(MSIHANDLE);

struct Scenario {
    const char* name;
    Export action;
    // The export passes the failing step's code on; the others answer 0 once their data had a
    // valid form.
    bool reportsFailures;
    std::string actionData;  // CustomActionData; "" sets none
    void (*prepare)();       // files, devices, services and registry data
    bool (*jobDone)();       // what the export's 0 promises is on the machine
};

using setup::AddPackage;
using setup::kGermanUninstallEntry;
using setup::kKernelDriver;
using setup::kKernelImage;
using setup::kOldUninstaller;
using setup::kPackageFolder;
using setup::kRootInstances;
using setup::kStateKey;
using setup::kUninstallEntry;
using setup::kUsbId;

inline std::string PackagePath(const std::string& infName) {
    return kPackageFolder + infName;
}

inline void AddDevice(const std::string& instanceId, const std::string& hardwareId, bool present,
                      const std::string& service = "") {
    winsim::Device device = setup::MakeDevice(instanceId, {hardwareId}, present);
    device.service = service;
    winsim::AddDevice(device);
}

inline void AddService(const std::string& name, DWORD state) {
    winsim::Service service;
    service.name = name;
    service.binaryPath = kKernelImage;
    service.state = state;
    winsim::AddService(service);
}

// Writes a device's hardware-ID property as raw bytes, such as a list without its terminators,
// through SetupAPI; these calls are then dropped from the log.
inline void SetRawHardwareIds(DEVINST devInst, const std::string& bytes) {
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(all, index, &device); ++index) {
        if (device.DevInst == devInst) {
            SetupDiSetDeviceRegistryPropertyA(all, &device, SPDRP_HARDWAREID,
                                              reinterpret_cast<const BYTE*>(bytes.data()),
                                              static_cast<DWORD>(bytes.size()));
        }
    }
    SetupDiDestroyDeviceInfoList(all);
    winsim::ClearCalls();
}

inline bool Always() {
    return true;
}

inline const std::vector<Scenario>& All() {
    static const std::vector<Scenario> all = {
        {"present device updated", CA_InstallDriver, false, PackagePath("zelk_usb.inf"),
         [] {
             AddPackage("zelk_usb.inf");
             winsim::OfferDriver(PackagePath("zelk_usb.inf"), {"zelk_usb", true});
             AddDevice("USB\\VID_3A91&PID_1C01\\1", kUsbId, true);
             AddDevice("USB\\VID_3A91&PID_1C01\\2", kUsbId, false);
         },
         Always},
        {"package staged and recorded", CA_InstallDriver, false,
         PackagePath("zelk_usb.inf") + "@" + kStateKey + "\\usb",
         [] {
             AddPackage("zelk_usb.inf");
             AddDevice("USB\\VID_3A91&PID_1C01\\2", kUsbId, false);
         },
         Always},
        {"refused package warned", CA_InstallDriver, false, PackagePath("zelk_pcc.inf"),
         [] {
             AddPackage("zelk_pcc.inf");
             winsim::RefusePackage(PackagePath("zelk_pcc.inf"), ERROR_GENERAL_SYNTAX);
         },
         Always},
        {"virtual device created and recorded", CA_InstallDriver, false,
         PackagePath("zelk_virtual.inf") + "@" + kStateKey + "\\virtual",
         [] {
             AddPackage("zelk_virtual.inf");
             winsim::OfferDriver(PackagePath("zelk_virtual.inf"), {"ZELK_VIRTUAL", true});
             winsim::SetString(std::string(kRootInstances) + "\\0000", "Service", "OTHER");
         },
         Always},
        {"LAN device created", CA_InstallDriver, false,
         PackagePath("zelk_lan.inf") + "@" + kStateKey + "\\lan",
         [] { AddPackage("zelk_lan.inf"); }, Always},
        {"package already in the store", CA_InstallDriver, false, PackagePath("zelk_pci.inf"),
         [] {
             AddPackage("zelk_pci.inf");
             winsim::StagePackage(PackagePath("zelk_pci.inf"));
         },
         Always},
        {"LAN device found", CA_InstallDriver, false, PackagePath("zelk_lan.inf"),
         [] {
             AddPackage("zelk_lan.inf");
             winsim::SetString(std::string(kRootInstances) + "\\0001", "Service", "ZELK_LAN");
         },
         Always},
        {"state value cleared", CA_ClearInstallDriverRegistryValues, false,
         std::string(kStateKey) + "\\usb",
         [] {
             winsim::SetDword(kStateKey, "usb", 0xFFFFFFFF);
             winsim::SetString(kStateKey, "usb_Text", "message");
         },
         Always},
        {"state key cleared", CA_ClearInstallDriverRegistryValues, false,
         std::string(kStateKey) + "\\", [] { winsim::SetDword(kStateKey, "usb", 0); }, Always},
        {"restart decided", CA_CheckAndSetRebootStatus, false, std::string(kStateKey) + "\\",
         [] {
             winsim::SetDword(kStateKey, "usb", 0);
             winsim::SetString(kStateKey, "usb_Text", "3");
             winsim::SetDword(kStateKey, "virtual", 3);
         },
         Always},
        {"no restart decided", CA_CheckAndSetRebootStatus, false, std::string(kStateKey) + "\\",
         [] {
             winsim::SetDword(kStateKey, "usb", 0);
             winsim::SetValue(kStateKey, "binary", REG_BINARY, {3, 0, 0, 0});
         },
         Always},
        {"virtual devices removed", CA_UninstallVirtualDriver, false, "",
         [] {
             AddService("ZELK_VIRTUAL", SERVICE_RUNNING);
             AddDevice("ROOT\\CAN-HARDWARE\\0000", "ROOT\\ZELK_VIRTUAL", true, "ZELK_VIRTUAL");
             AddDevice("ROOT\\CAN-HARDWARE\\0001", "root\\zelk_virtual", false, "ZELK_VIRTUAL");
             AddDevice("ROOT\\CAN-HARDWARE\\0002", "ROOT\\ZELK_LAN", true, "ZELK_LAN");
         },
         Always},
        {"LAN devices removed", CA_UninstallLanDriver, false, "",
         [] {
             AddService("ZELK_LAN", SERVICE_RUNNING);
             AddDevice("ROOT\\CAN-HARDWARE\\0000", "ROOT\\ZELK_LAN", true, "ZELK_LAN");
         },
         Always},
        {"kernel service installed", CA_InstallNonePnPDriver, true, kKernelDriver,
         [] { winsim::AddFile(kKernelImage); },
         [] {
             auto service = winsim::FindService(kKernelDriver);
             return service && service->state == SERVICE_RUNNING;
         }},
        {"kernel service removed", CA_UninstallNonePnPDriver, true, kKernelDriver,
         [] {
             winsim::AddFile(kKernelImage);
             AddService(kKernelDriver, SERVICE_RUNNING);
         },
         [] {
             auto service = winsim::FindService(kKernelDriver);
             return !service || service->markedForDelete;
         }},
        {"stopping kernel service removed", CA_UninstallNonePnPDriver, true, kKernelDriver,
         [] {
             winsim::AddFile(kKernelImage);
             AddService(kKernelDriver, SERVICE_RUNNING);
             winsim::SetStopPending(kKernelDriver);
         },
         [] {
             auto service = winsim::FindService(kKernelDriver);
             return !service || service->markedForDelete;
         }},
        {"certificate trusted", CA_InstallCertificate, false, "C:\\Program Files\\Zelk\\zelk.cer",
         [] { winsim::AddFile("C:\\Windows\\system32\\certutil.exe"); }, Always},
        {"old package uninstalled", CA_UninstallOldZuraOem, true, "",
         [] {
             winsim::AddFile(kOldUninstaller);
             winsim::SetString(kUninstallEntry, "UninstallString",
                               "\"C:\\Old\\uninst.exe\" /U \"C:\\Old\\install.log\"");
         },
         [] { return winsim::Launches().size() == 1; }},
        {"old package uninstalled under its German name", CA_UninstallOldZuraOem, true, "",
         [] {
             winsim::AddFile(kOldUninstaller);
             winsim::SetString(kGermanUninstallEntry, "UninstallString",
                               "\"C:\\Old\\uninst.exe\" /U", REG_EXPAND_SZ);
         },
         [] { return winsim::Launches().size() == 1; }},
    };
    return all;
}

// A fresh machine prepared for the scenario, with an installer session carrying its data;
// the call log is empty.
inline MSIHANDLE Prepare(const Scenario& scenario) {
    winsim::Reset();
    const MSIHANDLE session = winsim::OpenSession();
    if (!scenario.actionData.empty()) {
        winsim::SetProperty(session, "CustomActionData", scenario.actionData);
    }
    scenario.prepare();
    winsim::ClearCalls();
    return session;
}

}  // namespace scenarios
