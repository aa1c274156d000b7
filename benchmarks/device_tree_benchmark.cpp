// How long winsim takes to build a device tree and to read every device's properties through
// SetupAPI, for trees of growing size. Reads must cost the same per device whatever the tree's
// size, so the time per device should stay flat from row to row.
//
// usage: device_tree_benchmark [DEVICES...]   (default: 1000 10000)
#include <winsim/control.h>
#include <winsim/win32.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void BuildTree(int devices) {
    for (int i = 0; i < devices; ++i) {
        winsim::Device device;
        device.instanceId = "USB\\VID_3A91&PID_1C01\\" + std::to_string(i);
        device.hardwareIds = {"USB\\VID_3A91&PID_1C01&REV_0100", "USB\\VID_3A91&PID_1C01"};
        device.service = "zelkusb";
        device.configFlags = 0;
        winsim::AddDevice(device);
    }
}

// Reads the hardware IDs and the service of every device; returns how many were read.
int ReadEveryDevice() {
    HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    int read = 0;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &device); ++index) {
        BYTE buffer[1024];
        DWORD type = 0;
        read += SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, &type, buffer,
                                                  sizeof(buffer), nullptr) &&
                SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_SERVICE, &type, buffer,
                                                  sizeof(buffer), nullptr);
    }
    SetupDiDestroyDeviceInfoList(list);
    return read;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {1000, 10000};
    }
    std::printf("%8s %10s %10s %14s\n", "devices", "build ms", "read ms", "read us/device");
    for (int devices : sizes) {
        winsim::Reset();
        const Clock::time_point built = Clock::now();
        BuildTree(devices);
        const double buildMs = MillisecondsSince(built);
        const Clock::time_point reading = Clock::now();
        const int read = ReadEveryDevice();
        const double readMs = MillisecondsSince(reading);
        if (read != devices) {
            std::fprintf(stderr, "read %d of %d devices\n", read, devices);
            return 1;
        }
        std::printf("%8d %10.1f %10.1f %14.2f\n", devices, buildMs, readMs,
                    1000.0 * readMs / devices);
    }
    return 0;
}
