// Driver installation: UpdateDriverForPlugAndPlayDevicesA installs a package on the present
// devices that carry a hardware ID, where it is the better match; CMP_WaitNoPendingInstallEvents
// waits for installations in progress.
#include "devices.h"

#include <algorithm>
#include <map>

namespace winsim {
namespace {

struct DriverInstall {
    std::map<std::string, DriverOffer> offers;  // by upper-cased INF path
    DWORD pendingWait = WAIT_OBJECT_0;
};

constexpr auto State = detail::AreaState<DriverInstall>;

// Whether the package at `infPath` would replace the device's current driver.
bool IsBetterMatch(const Device& device, const std::string& infPath, DWORD flags) {
    if (flags & INSTALLFLAG_FORCE) {
        return true;
    }
    return !device.hasBestDriver && !detail::EqualNoCase(device.driverInf, infPath);
}

bool CarriesHardwareId(const detail::Node& node, const std::string& hardwareId) {
    const std::vector<std::string> ids =
        node.hardwareIds ? detail::Strings(*node.hardwareIds) : std::vector<std::string>{};
    return std::any_of(ids.begin(), ids.end(),
                       [&](const std::string& id) { return detail::EqualNoCase(id, hardwareId); });
}

}  // namespace

void SetPendingInstallWait(DWORD result) {
    State().pendingWait = result;
}

void OfferDriver(const std::string& infPath, DriverOffer offer) {
    State().offers[detail::Upper(infPath)] = std::move(offer);
}

}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD timeout) {
    return Simulate(ValueCall<DWORD>{WAIT_FAILED}, "CMP_WaitNoPendingInstallEvents", {Num(timeout)},
                    [&]() -> Result<DWORD> { return State().pendingWait; });
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR fullInfPath,
                                               DWORD installFlags, PBOOL rebootRequired) {
    return Simulate(
        kBool, "UpdateDriverForPlugAndPlayDevicesA",
        {Handle(parent), Str(hardwareId), Str(fullInfPath), Num(installFlags), Ptr(rebootRequired)},
        [&]() -> DWORD {
            constexpr DWORD kKnownFlags =
                INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE;
            if (hardwareId == nullptr || fullInfPath == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            if ((installFlags & ~kKnownFlags) != 0) {
                return ERROR_INVALID_FLAGS;
            }
            if (!FileText(fullInfPath)) {
                return ERROR_FILE_NOT_FOUND;
            }
            if (InstallDenied()) {
                return ERROR_ACCESS_DENIED;
            }
            const DriverOffer* found = FindIn(State().offers, Upper(fullInfPath));
            const DriverOffer offer = found ? *found : DriverOffer{};
            bool matched = false;
            bool installed = false;
            ForEachPresentDevice([&](Node& node) {
                if (!CarriesHardwareId(node, hardwareId)) {
                    return;
                }
                matched = true;
                if (!IsBetterMatch(node.device, fullInfPath, installFlags)) {
                    return;
                }
                node.device.driverInf = fullInfPath;
                node.device.hasBestDriver = false;
                if (!offer.service.empty()) {
                    node.device.service = offer.service;
                }
                MirrorToRegistry(node);
                installed = true;
            });
            if (!matched || !installed) {
                return matched ? ERROR_NO_MORE_ITEMS : ERROR_NO_SUCH_DEVINST;
            }
            Put(rebootRequired, offer.needsRestart ? TRUE : FALSE);
            return ERROR_SUCCESS;
        });
}
