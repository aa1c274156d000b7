#include "pnp/driver_package_table.h"

#include <cstddef>

namespace zelk {
namespace {

struct DriverPackage {
    const char* packageName;
    const char* const* firstId;
    size_t idCount;
};

template <size_t Count>
constexpr DriverPackage Package(const char* packageName, const char* const (&ids)[Count]) {
    return {packageName, ids, Count};
}

// Constant data, so that the table needs no construction at load time or on first use.
constexpr const char* kVirtualIds[] = {kVirtualRootDeviceId};
constexpr const char* kLanIds[] = {kLanRootDeviceId};
constexpr const char* kPciIds[] = {
    "PCI\\VEN_4D2E&DEV_7001", "PCI\\VEN_4D2E&DEV_7002", "PCI\\VEN_4D2E&DEV_7003",
    "PCI\\VEN_4D2E&DEV_7004", "PCI\\VEN_4D2E&DEV_7005", "PCI\\VEN_4D2E&DEV_7006",
    "PCI\\VEN_4D2E&DEV_7007", "PCI\\VEN_4D2E&DEV_7008", "PCI\\VEN_4D2E&DEV_7009",
    "PCI\\VEN_4D2E&DEV_700A", "PCI\\VEN_4D2E&DEV_7010"};
// Interface 0 of the composite USB devices belongs to the CAN package, interface 1 to the LIN
// package. The last CAN ID keeps its small hexadecimal digits: an ID that no present device
// carries goes to the system as written here.
constexpr const char* kUsbIds[] = {
    "USB\\VID_3A91&PID_1C01",       "USB\\VID_3A91&PID_1C02&MI_00", "USB\\VID_3A91&PID_1C03",
    "USB\\VID_3A91&PID_1C04&MI_00", "USB\\VID_3A91&PID_1C05",       "USB\\VID_3A91&PID_1C06",
    "USB\\VID_2B5F&PID_E101",       "USB\\VID_2B5F&PID_E102",       "USB\\VID_2b5f&PID_e103&MI_00"};
constexpr const char* kPcCardIds[] = {"PCMCIA\\ZURA-CAN_CARD_PC-4C19", "PCMCIA\\ZURA-5E21-6001"};
constexpr const char* kLinUsbIds[] = {
    "USB\\VID_3A91&PID_1C02&MI_01", "USB\\VID_3A91&PID_1C04&MI_01", "USB\\VID_2B5F&PID_E103&MI_01"};

constexpr DriverPackage kDriverPackages[] = {
    Package(kVirtualPackageName, kVirtualIds), Package(kLanPackageName, kLanIds),
    Package("zelk_pci.inf", kPciIds),          Package("zelk_usb.inf", kUsbIds),
    Package("zelk_pcc.inf", kPcCardIds),       Package("nuva_usb.inf", kLinUsbIds),
};

}  // namespace

std::vector<std::string> HardwareIdsOfPackage(const std::string& packageName) {
    for (const DriverPackage& package : kDriverPackages) {
        if (packageName == package.packageName) {
            return std::vector<std::string>(package.firstId, package.firstId + package.idCount);
        }
    }
    return {};
}

bool IsRootPackage(const std::string& packageName) {
    return packageName == kVirtualPackageName || packageName == kLanPackageName;
}

}  // namespace zelk
