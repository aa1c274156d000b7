// What the device area's files share: the device tree (device_tree.cpp), the INF reader
// (inf_file.cpp), the driver store (driver_store.cpp) and driver installation
// (driver_install.cpp). Internal to winsim.
#pragma once

#include "core.h"

#include <functional>

namespace winsim::detail {

// A device instance: registered in the tree, or still an element of the list that created it.
// Its hardware IDs are the property bytes exactly as written; `device.hardwareIds` stays empty.
struct Node {
    Device device;
    std::optional<std::vector<BYTE>> hardwareIds;
    bool registered = false;
};

// Visits the registered devices that are present, in the order they were created.
void ForEachPresentDevice(const std::function<void(Node&)>& visit);

// Writes the instance key of a registered device from its properties.
void MirrorToRegistry(const Node& node);

// The strings of a multi-string, up to its closing empty string or the end of the data.
std::vector<std::string> Strings(const std::vector<BYTE>& data);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", as INFs and the registry write a GUID.
std::string GuidText(const GUID& guid);

// How the INF parser answers a text that is no INF; 0 for a text it reads.
DWORD InfSyntaxError(const std::string& text);

// Whether the INF describes a driver package, which the driver store takes only with a
// [Manufacturer] section.
bool DescribesDriverPackage(const std::string& text);

// Device installation needs an administrator's full token.
inline bool InstallDenied() {
    return !Elevated();
}

}  // namespace winsim::detail
