// The nine custom actions, as the installer calls them.
#pragma once

#include "platform/win32.h"

extern "C" {
UINT WINAPI CA_InstallDriver(MSIHANDLE session);
UINT WINAPI CA_UninstallVirtualDriver(MSIHANDLE session);
UINT WINAPI CA_ClearInstallDriverRegistryValues(MSIHANDLE session);
UINT WINAPI CA_UninstallLanDriver(MSIHANDLE session);
UINT WINAPI CA_InstallCertificate(MSIHANDLE session);
UINT WINAPI CA_UninstallOldZuraOem(MSIHANDLE session);
UINT WINAPI CA_InstallNonePnPDriver(MSIHANDLE session);
UINT WINAPI CA_UninstallNonePnPDriver(MSIHANDLE session);
UINT WINAPI CA_CheckAndSetRebootStatus(MSIHANDLE session);
}
