// A snapshot of what an installation of a driver package can change, taken before and after a
// run so that the difference says what the run did: devices, kernel driver services, the
// install-state values and the driver packages staged in the INF folder.
#include <cstring>
#include <memory>
#include <vector>

#include "machine.h"

namespace zelk::trytool {
namespace {

// "ID1,ID2" from a multi-string.
std::string JoinList(const std::string& multiString) {
    std::string joined;
    for (const char* id = multiString.c_str(); *id != '\0'; id += lstrlenA(id) + 1) {
        joined += (joined.empty() ? "" : ",") + std::string(id);
    }
    return joined;
}

void AddDevices(Snapshot& snapshot) {
    const DeviceSet set;
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; set.Next(index, device); ++index) {
        // Keyed by the instance, so that a changed service or presence reads as a change.
        const std::string described = DescribeDeviceElement(set.get(), device);
        const auto space = described.find(' ');
        snapshot["device " + described.substr(0, space).substr(std::strlen("instance="))] =
            "hardware=" + JoinList(ReadDeviceText(set.get(), device, SPDRP_HARDWAREID)) +
            described.substr(space);
    }
}

// The names of every kernel and file system driver service, in any state.
std::vector<std::string> DriverServiceNames() {
    const ServiceHandle manager(
        OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    std::vector<std::string> names;
    if (!manager) {
        return names;
    }
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    std::vector<BYTE> buffer;
    BOOL done = FALSE;
    do {
        done = EnumServicesStatusExA(
            manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_DRIVER, SERVICE_STATE_ALL, buffer.data(),
            static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            names.emplace_back(entries[i].lpServiceName);
        }
        if (!done && (error != ERROR_MORE_DATA || needed <= buffer.size())) {
            break;
        }
        buffer.resize(needed > buffer.size() ? needed : buffer.size());
    } while (!done);
    return names;
}

void AddDriverServices(Snapshot& snapshot) {
    for (const auto& name : DriverServiceNames()) {
        snapshot["service " + name] = DescribeService(name);
    }
}

std::string DescribeValue(DWORD type, const std::vector<BYTE>& data, DWORD size) {
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD value = 0;
        std::memcpy(&value, data.data(), sizeof(value));
        return std::to_string(value);
    }
    if (type == REG_SZ) {
        return "\"" + std::string(reinterpret_cast<const char*>(data.data())) + "\"";
    }
    return "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
}

void AddStateValues(Snapshot& snapshot, const std::string& stateKey) {
    if (stateKey.empty()) {
        return;
    }
    const auto key = OpenMachineKey(stateKey, KEY_READ);
    if (!key) {
        return;
    }
    constexpr DWORD kMaxData = 4096;
    for (DWORD index = 0;; ++index) {
        char name[256] = {};
        DWORD nameSize = sizeof(name);
        DWORD type = 0;
        std::vector<BYTE> data(kMaxData + 1);
        DWORD size = kMaxData;
        if (RegEnumValueA(key.get(), index, name, &nameSize, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            return;
        }
        snapshot[std::string("state ") + name] = DescribeValue(type, data, size);
    }
}

void AddStagedInfs(Snapshot& snapshot) {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    WIN32_FIND_DATAA found = {};
    const HANDLE search = FindFirstFileA((std::string(windows) + "\\inf\\*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::unique_ptr<void, decltype(&FindClose)> owner(search, &FindClose);
    do {
        snapshot[std::string("inf ") + found.cFileName] =
            "staged, " + std::to_string(found.nFileSizeLow) + " bytes";
    } while (FindNextFileA(search, &found));
}

}  // namespace

Snapshot TakeSnapshot(const std::string& stateKey) {
    Snapshot snapshot;
    AddDevices(snapshot);
    AddDriverServices(snapshot);
    AddStateValues(snapshot, stateKey);
    AddStagedInfs(snapshot);
    return snapshot;
}

}  // namespace zelk::trytool
