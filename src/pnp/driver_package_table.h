// The maker's plug-and-play driver packages and the hardware IDs each one drives.
#pragma once

#include <string>
#include <vector>

namespace zelk {

// Package names are INF file names in lower case.
constexpr const char* kVirtualPackageName = "zelk_virtual.inf";
constexpr const char* kLanPackageName = "zelk_lan.inf";

// The root-enumerated devices of the two root packages, and the services that mark them.
constexpr const char* kVirtualRootDeviceId = "ROOT\\ZELK_VIRTUAL";
constexpr const char* kLanRootDeviceId = "ROOT\\ZELK_LAN";
constexpr const char* kVirtualServiceName = "ZELK_VIRTUAL";
constexpr const char* kLanServiceName = "ZELK_LAN";

// The hardware IDs of a package in table order; empty for a name outside the table. The
// lookup is exact and case-sensitive.
std::vector<std::string> HardwareIdsOfPackage(const std::string& packageName);

bool IsRootPackage(const std::string& packageName);

}  // namespace zelk
