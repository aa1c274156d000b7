// Looks at the machine for the end-to-end run of the sample package and prints what it finds,
// one fact a line, for scripts/package-e2e.sh to read. One call takes several requests, each a
// word followed by its operands:
//
//   device ID...    every device, present or not, that carries the hardware ID:
//                     device ID instance=... service=... present=yes|no   or   device ID none
//   service NAME... each service:
//                     service NAME state=running|stopped|... type=N start=N group=... binary=...
//                     or   service NAME none
//   values KEY...   the values of HKEY_LOCAL_MACHINE\KEY:
//                     value KEY\NAME type=REG_DWORD data=N   (or REG_SZ)   or   key KEY none
//
// Two more uses, alone on the command line:
//   run COMMAND...       runs the command line after "run", waits for it and prints "exit CODE":
//                        a Linux shell sees only the low 8 bits of a Wine program's exit code.
//   watch KEY STOPFILE   prints the values of HKEY_LOCAL_MACHINE\KEY as they appear, until the
//                        key is deleted ("key KEY deleted") or STOPFILE exists.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "support/machine_probe.h"

namespace {

struct DeviceListCloser {
    void operator()(HDEVINFO list) const {
        if (list != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(list);
        }
    }
};
using DeviceList = std::unique_ptr<std::remove_pointer_t<HDEVINFO>, DeviceListCloser>;
using zelk::wine::detail::Handle;
using zelk::wine::detail::RegKey;
using zelk::wine::detail::Service;

// A device's string property; "" when it has none.
std::string DeviceText(HDEVINFO list, SP_DEVINFO_DATA& device, DWORD property) {
    char buffer[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(list, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer), sizeof(buffer) - 2,
                                           nullptr)) {
        return "";
    }
    return buffer;
}

bool CarriesHardwareId(HDEVINFO list, SP_DEVINFO_DATA& device, const char* wanted) {
    char ids[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(ids), sizeof(ids) - 2,
                                           nullptr)) {
        return false;
    }
    for (const char* id = ids; *id != '\0'; id += lstrlenA(id) + 1) {
        if (lstrcmpiA(id, wanted) == 0) {
            return true;
        }
    }
    return false;
}

void PrintDevices(const char* hardwareId) {
    const DeviceList list(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (list.get() == INVALID_HANDLE_VALUE) {
        std::printf("device %s error=%lu\n", hardwareId, GetLastError());
        return;
    }
    bool found = false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list.get(), index, &device); ++index) {
        if (!CarriesHardwareId(list.get(), device, hardwareId)) {
            continue;
        }
        found = true;
        char instance[MAX_DEVICE_ID_LEN] = {};
        SetupDiGetDeviceInstanceIdA(list.get(), &device, instance, sizeof(instance), nullptr);
        ULONG status = 0;
        ULONG problem = 0;
        const bool present =
            CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_NO_SUCH_DEVINST;
        std::printf("device %s instance=%s service=%s present=%s\n", hardwareId, instance,
                    DeviceText(list.get(), device, SPDRP_SERVICE).c_str(), present ? "yes" : "no");
    }
    if (!found) {
        std::printf("device %s none\n", hardwareId);
    }
}

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

void DescribeService(const Service& manager, const char* name) {
    const Service service(
        OpenServiceA(manager.get(), name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("service %s none\n", name);
        } else {
            std::printf("service %s error=%lu\n", name, error);
        }
        return;
    }
    SERVICE_STATUS status = {};
    const char* state =
        QueryServiceStatus(service.get(), &status) ? StateName(status.dwCurrentState) : "unknown";
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed > 0 ? needed : 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigA(service.get(), config, needed, &needed)) {
        std::printf("service %s state=%s\n", name, state);
        return;
    }
    std::printf("service %s state=%s type=%lu start=%lu group=%s binary=%s\n", name, state,
                config->dwServiceType, config->dwStartType,
                config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "",
                config->lpBinaryPathName ? config->lpBinaryPathName : "");
}

void PrintService(const char* name) {
    const Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        std::printf("service %s error=%lu\n", name, GetLastError());
        return;
    }
    DescribeService(manager, name);
}

// One line per value of the open key HKEY_LOCAL_MACHINE\path.
std::vector<std::string> ValueLines(HKEY key, const std::string& path) {
    std::vector<std::string> lines;
    for (DWORD index = 0;; ++index) {
        char name[256] = {};
        DWORD nameSize = sizeof(name);
        BYTE data[1024] = {};
        DWORD dataSize = sizeof(data) - 1;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) !=
            ERROR_SUCCESS) {
            return lines;
        }
        std::string line = "value " + path + "\\" + name;
        if (type == REG_DWORD && dataSize == sizeof(DWORD)) {
            LONG number = 0;
            CopyMemory(&number, data, sizeof(number));
            line += " type=REG_DWORD data=" + std::to_string(number);
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            line += " type=REG_SZ data=" + std::string(reinterpret_cast<char*>(data));
        } else {
            line += " type=" + std::to_string(type) + " size=" + std::to_string(dataSize);
        }
        lines.push_back(line);
    }
}

RegKey OpenMachineKey(const char* path) {
    return zelk::wine::detail::OpenMachineKey(path, KEY_READ);
}

void PrintValues(const char* path) {
    const RegKey key = OpenMachineKey(path);
    if (!key) {
        std::printf("key %s none\n", path);
        return;
    }
    for (const std::string& line : ValueLines(key.get(), path)) {
        std::printf("%s\n", line.c_str());
    }
}

// Prints every value of HKEY_LOCAL_MACHINE\path as it appears or changes, until the key has
// existed and is gone again ("key KEY deleted") or the stop file exists. Run beside an
// installation, it sees the values that the installation writes and removes again.
int Watch(const char* path, const char* stopFile) {
    constexpr DWORD kPollMs = 20;
    const Handle changed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    std::set<std::string> printed;
    bool existed = false;
    while (GetFileAttributesA(stopFile) == INVALID_FILE_ATTRIBUTES) {
        // Opened afresh each round: an open fails once the key is deleted.
        const RegKey key = OpenMachineKey(path);
        if (!key) {
            if (existed) {
                std::printf("key %s deleted\n", path);
                return 0;
            }
            Sleep(kPollMs);
            continue;
        }
        existed = true;
        // Asked for before the values are read, so that no change in between goes unseen.
        RegNotifyChangeKeyValue(key.get(), FALSE,
                                REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed.get(),
                                TRUE);
        for (const std::string& line : ValueLines(key.get(), path)) {
            if (printed.insert(line).second) {
                std::printf("%s\n", line.c_str());
            }
        }
        WaitForSingleObject(changed.get(), kPollMs);
    }
    std::printf("key %s %s\n", path, existed ? "stayed" : "none");
    return 0;
}

// The raw text after the word "run" in this program's own command line.
std::string CommandAfterRun() {
    const std::string line = GetCommandLineA();
    const std::string::size_type word = line.find(" run ");
    return word == std::string::npos ? "" : line.substr(word + 5);
}

int Run() {
    std::string command = CommandAfterRun();
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (command.empty() || !CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                           nullptr, nullptr, &startup, &process)) {
        std::printf("start error=%lu\n", GetLastError());
        return 1;
    }
    const Handle processHandle(process.hProcess);
    const Handle threadHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("exit %lu\n", code);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: package_probe [device ID...] [service NAME...] [values KEY...]\n"
                 "       package_probe run COMMAND...\n"
                 "       package_probe watch KEY STOPFILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Line by line: a watcher's output is read while it runs.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 3) {
        return Usage();
    }
    if (std::string(argv[1]) == "run") {
        return Run();
    }
    if (std::string(argv[1]) == "watch" && argc == 4) {
        return Watch(argv[2], argv[3]);
    }
    void (*request)(const char*) = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "device") {
            request = PrintDevices;
        } else if (word == "service") {
            request = PrintService;
        } else if (word == "values") {
            request = PrintValues;
        } else if (request) {
            request(argv[i]);
        } else {
            return Usage();
        }
    }
    return 0;
}
