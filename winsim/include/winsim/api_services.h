// advapi32 service control manager functions the product uses.
#pragma once

#include <winsim/types.h>

WINSIM_API SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName,
                                           DWORD desiredAccess);
WINSIM_API SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR serviceName,
                                           LPCSTR displayName, DWORD desiredAccess,
                                           DWORD serviceType, DWORD startType, DWORD errorControl,
                                           LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                                           LPDWORD tagId, LPCSTR dependencies,
                                           LPCSTR serviceStartName, LPCSTR password);
WINSIM_API SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR serviceName,
                                         DWORD desiredAccess);
WINSIM_API BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argumentCount, LPCSTR* arguments);
WINSIM_API BOOL WINAPI ControlService(SC_HANDLE service, DWORD control,
                                      LPSERVICE_STATUS serviceStatus);
WINSIM_API BOOL WINAPI DeleteService(SC_HANDLE service);
WINSIM_API BOOL WINAPI CloseServiceHandle(SC_HANDLE service);
