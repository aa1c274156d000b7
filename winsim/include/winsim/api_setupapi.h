// setupapi, cfgmgr32 and newdev functions the product uses.
#pragma once

#include <winsim/types.h>

WINSIM_API DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD timeout);

WINSIM_API BOOL WINAPI SetupCopyOEMInfA(PCSTR sourceInfFileName, PCSTR oemSourceMediaLocation,
                                        DWORD oemSourceMediaType, DWORD copyStyle,
                                        PSTR destinationInfFileName,
                                        DWORD destinationInfFileNameSize, PDWORD requiredSize,
                                        PSTR* destinationInfFileNameComponent);

WINSIM_API BOOL WINAPI SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className,
                                           DWORD classNameSize, PDWORD requiredSize);
WINSIM_API HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent);
WINSIM_API BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO deviceInfoSet, PCSTR deviceName,
                                                const GUID* classGuid, PCSTR deviceDescription,
                                                HWND parent, DWORD creationFlags,
                                                PSP_DEVINFO_DATA deviceInfoData);
WINSIM_API BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet,
                                                         PSP_DEVINFO_DATA deviceInfoData,
                                                         DWORD property, const BYTE* propertyBuffer,
                                                         DWORD propertyBufferSize);
WINSIM_API BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION installFunction,
                                                 HDEVINFO deviceInfoSet,
                                                 PSP_DEVINFO_DATA deviceInfoData);
WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator,
                                                HWND parent, DWORD flags);
WINSIM_API BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                                             PSP_DEVINFO_DATA deviceInfoData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet,
                                                         PSP_DEVINFO_DATA deviceInfoData,
                                                         DWORD property, PDWORD propertyRegDataType,
                                                         PBYTE propertyBuffer,
                                                         DWORD propertyBufferSize,
                                                         PDWORD requiredSize);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO deviceInfoSet,
                                                   PSP_DEVINFO_DATA deviceInfoData,
                                                   PSTR deviceInstanceId,
                                                   DWORD deviceInstanceIdSize, PDWORD requiredSize);
WINSIM_API BOOL WINAPI SetupDiRemoveDevice(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData);
WINSIM_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet);

WINSIM_API CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problemNumber,
                                                  DEVINST devInst, ULONG flags);

WINSIM_API BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId,
                                                          LPCSTR fullInfPath, DWORD installFlags,
                                                          PBOOL rebootRequired);
