// Scenery shared by the driver-installation tests: package files on disk, devices in the
// tree, and a message buffer with a guard zone behind its 540 bytes.
#pragma once

#include "sim_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace pnp_test {

constexpr const char* kPackageFolder = "C:\\Program Files\\Zelk\\Drivers\\";
constexpr const char* kRootInstances = "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\CAN-HARDWARE";
constexpr const char* kUsbId = "USB\\VID_3A91&PID_1C01";

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

inline std::vector<std::string> ArgsOf(const std::vector<winsim::Call>& calls, size_t index) {
    return index < calls.size() ? calls[index].args : std::vector<std::string>{};
}

// The caller's 540-byte buffer, holding "" on entry, with a guard zone behind it.
class MessageBuffer {
  public:
    static constexpr size_t kSize = 540;
    MessageBuffer() {
        std::memset(bytes_, kGuard, sizeof(bytes_));
        bytes_[0] = '\0';
    }
    char* data() { return bytes_; }
    size_t size() const { return kSize; }
    std::string text() const { return std::string(bytes_); }
    bool guardIntact() const {
        for (size_t i = kSize; i < sizeof(bytes_); ++i) {
            if (bytes_[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
    // True when nothing but the entry state is there: "" followed by untouched bytes.
    bool untouched() const {
        for (size_t i = 1; i < sizeof(bytes_); ++i) {
            if (bytes_[i] != kGuard) {
                return false;
            }
        }
        return bytes_[0] == '\0';
    }

  private:
    static constexpr char kGuard = '#';
    char bytes_[kSize + 64];
};

}  // namespace pnp_test
