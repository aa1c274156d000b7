// The machine as the try tool reads it, with the product's handle owners.
#include "machine.h"

#include <cfgmgr32.h>
#include <msi.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace zelk::trytool {
namespace {

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "stopped";
        case SERVICE_START_PENDING:
            return "start-pending";
        case SERVICE_STOP_PENDING:
            return "stop-pending";
        case SERVICE_RUNNING:
            return "running";
        default:
            return "other";
    }
}

std::string Configuration(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed > 0 ? needed : 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigA(service, config, needed, &needed)) {
        return "";
    }
    return " type=" + std::to_string(config->dwServiceType) +
           " start=" + std::to_string(config->dwStartType) +
           " group=" + (config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "") +
           " binary=" + (config->lpBinaryPathName ? config->lpBinaryPathName : "");
}

bool ListHolds(const std::string& multiString, const std::string& hardwareId) {
    for (const char* id = multiString.c_str(); *id != '\0'; id += lstrlenA(id) + 1) {
        if (lstrcmpiA(id, hardwareId.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

std::string RecordFileOf(const std::string& programPath) {
    return programPath + ".args";
}

}  // namespace

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string BesideProgram(const std::string& fileName) {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string program(path, length < MAX_PATH ? length : 0);
    return program.substr(0, program.find_last_of('\\') + 1) + fileName;
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string SystemFolder() {
    char folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder, length < MAX_PATH ? length : 0);
}

bool LayStandIns() {
    const std::string certutil = SystemFolder() + "\\certutil.exe";
    ForgetRecordedCommandLine(certutil);
    return CopyFileA(BesideProgram("newdev.dll").c_str(), (SystemFolder() + "\\newdev.dll").c_str(),
                     FALSE) &&
           CopyFileA(BesideProgram("record_args.exe").c_str(), certutil.c_str(), FALSE);
}

std::optional<std::string> RecordedCommandLine(const std::string& programPath) {
    return ReadFileBytes(RecordFileOf(programPath));
}

void ForgetRecordedCommandLine(const std::string& programPath) {
    DeleteFileA(RecordFileOf(programPath).c_str());
}

DeviceSet::DeviceSet() : set_(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES)) {}

bool DeviceSet::Next(DWORD index, SP_DEVINFO_DATA& device) const {
    device = {};
    device.cbSize = sizeof(device);
    return set_.valid() && SetupDiEnumDeviceInfo(set_.get(), index, &device);
}

std::string ReadDeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    char value[2048] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(value), sizeof(value) - 2,
                                           nullptr)) {
        return "";
    }
    return std::string(value, sizeof(value));
}

std::string DescribeDevice(const std::string& hardwareId) {
    const DeviceSet set;
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; set.Next(index, device); ++index) {
        if (ListHolds(ReadDeviceText(set.get(), device, SPDRP_HARDWAREID), hardwareId)) {
            return DescribeDeviceElement(set.get(), device);
        }
    }
    return "none";
}

std::string DescribeDeviceElement(HDEVINFO set, SP_DEVINFO_DATA& device) {
    char instance[MAX_DEVICE_ID_LEN] = {};
    SetupDiGetDeviceInstanceIdA(set, &device, instance, MAX_DEVICE_ID_LEN, nullptr);
    ULONG status = 0;
    ULONG problem = 0;
    const bool present =
        CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_NO_SUCH_DEVINST;
    return std::string("instance=") + instance +
           " service=" + ReadDeviceText(set, device, SPDRP_SERVICE).c_str() +
           " present=" + (present ? "yes" : "no");
}

std::string DescribeService(const std::string& name) {
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(manager ? OpenServiceA(manager.get(), name.c_str(),
                                                       SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
                                        : nullptr);
    if (!service) {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? "none" : "error=" + std::to_string(error);
    }
    SERVICE_STATUS status = {};
    const char* state =
        QueryServiceStatus(service.get(), &status) ? StateName(status.dwCurrentState) : "unknown";
    return std::string("state=") + state + Configuration(service.get());
}

std::string StagedCopyOf(const std::string& inf) {
    const auto wanted = ReadFileBytes(inf);
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string folder = std::string(windows) + "\\inf\\";
    WIN32_FIND_DATAA found = {};
    const HANDLE search = FindFirstFileA((folder + "*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return "";
    }
    const std::unique_ptr<void, decltype(&FindClose)> owner(search, &FindClose);
    do {
        if (wanted && ReadFileBytes(folder + found.cFileName) == wanted) {
            return folder + found.cFileName;
        }
    } while (FindNextFileA(search, &found));
    return "";
}

bool MarkedForDeletion(const std::string& service) {
    const auto key = OpenMachineKey("SYSTEM\\CurrentControlSet\\Services\\" + service, KEY_READ);
    if (key && RegQueryValueExA(key.get(), "DeleteFlag", nullptr, nullptr, nullptr, nullptr) ==
                   ERROR_SUCCESS) {
        return true;
    }
    // Wine writes no DeleteFlag: a change that changes nothing is refused on a service
    // marked for deletion, on both.
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle handle(
        manager ? OpenServiceA(manager.get(), service.c_str(), SERVICE_CHANGE_CONFIG) : nullptr);
    return handle &&
           !ChangeServiceConfigA(handle.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                 SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr) &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

std::string KernelServiceFault(const std::string& service) {
    const std::string now = DescribeService(service);
    if (now.rfind("state=running ", 0) != 0) {
        return "the service " + service + " is not running: " + now;
    }
    if (MarkedForDeletion(service)) {
        return "the service " + service + " is marked for deletion";
    }
    return "";
}

std::string RootDeviceFault(const std::string& service) {
    const std::string device = DescribeDevice("ROOT\\" + service);
    if (device == "none") {
        return "the root device ROOT\\" + service + " is missing";
    }
    if (device.find(" service=" + service + " present=yes") == std::string::npos) {
        return "the root device ROOT\\" + service + " is not present on its service: " + device;
    }
    const std::string fault = KernelServiceFault(service);
    return fault.empty() ? "" : "the root device ROOT\\" + service + " is there, but " + fault;
}

std::string RootDeviceLeftover(const std::string& service) {
    const std::string device = DescribeDevice("ROOT\\" + service);
    if (device != "none") {
        return "the root device ROOT\\" + service + " remains: " + device;
    }
    const std::string now = DescribeService(service);
    return now == "none" ? "" : "the service " + service + " of the removed device remains: " + now;
}

std::string RootServiceOfInf(const std::string& infPath) {
    std::string name = infPath.substr(infPath.find_last_of("\\/") + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "zelk_virtual.inf") {
        return "ZELK_VIRTUAL";
    }
    return name == "zelk_lan.inf" ? "ZELK_LAN" : "";
}

std::set<std::string> InstalledFeatures(const std::string& productCode,
                                        const std::vector<std::string>& features) {
    std::set<std::string> installed;
    for (const auto& feature : features) {
        const INSTALLSTATE state = MsiQueryFeatureStateA(productCode.c_str(), feature.c_str());
        if (state == INSTALLSTATE_LOCAL || state == INSTALLSTATE_SOURCE) {
            installed.insert(feature);
        }
    }
    return installed;
}

RegKeyHandle OpenMachineKey(const std::string& path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key) != ERROR_SUCCESS) {
        return RegKeyHandle();
    }
    return RegKeyHandle(key);
}

}  // namespace zelk::trytool
