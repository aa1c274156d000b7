// msi.dll functions the product uses.
#pragma once

#include <winsim/types.h>

WINSIM_API UINT WINAPI MsiGetPropertyA(MSIHANDLE install, LPCSTR name, LPSTR value,
                                       DWORD* valueSize);
WINSIM_API UINT WINAPI MsiSetPropertyA(MSIHANDLE install, LPCSTR name, LPCSTR value);
WINSIM_API MSIHANDLE WINAPI MsiCreateRecord(UINT fieldCount);
WINSIM_API UINT WINAPI MsiRecordSetStringA(MSIHANDLE record, UINT field, LPCSTR value);
WINSIM_API int WINAPI MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE messageType,
                                        MSIHANDLE record);
WINSIM_API UINT WINAPI MsiCloseHandle(MSIHANDLE handle);
