// advapi32 registry functions the product uses.
#pragma once

#include <winsim/types.h>

WINSIM_API LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                        PHKEY result);
WINSIM_API LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className,
                                          DWORD options, REGSAM access,
                                          LPSECURITY_ATTRIBUTES security, PHKEY result,
                                          LPDWORD disposition);
WINSIM_API LSTATUS WINAPI RegCloseKey(HKEY key);
WINSIM_API LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey);
WINSIM_API LSTATUS WINAPI RegDeleteKeyExA(HKEY key, LPCSTR subKey, REGSAM view, DWORD reserved);
WINSIM_API LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName);
WINSIM_API LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                         const BYTE* data, DWORD size);
WINSIM_API LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved,
                                           LPDWORD type, LPBYTE data, LPDWORD size);
WINSIM_API LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                        LPDWORD reserved, LPSTR className, LPDWORD classLength,
                                        PFILETIME lastWriteTime);
WINSIM_API LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                                        LPDWORD reserved, LPDWORD type, LPBYTE data,
                                        LPDWORD dataSize);
WINSIM_API LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength,
                                           LPDWORD reserved, LPDWORD subKeys,
                                           LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                           LPDWORD values, LPDWORD maxValueNameLength,
                                           LPDWORD maxValueLength, LPDWORD securityDescriptor,
                                           PFILETIME lastWriteTime);

typedef LSTATUS(WINAPI* RegDeleteKeyExA_t)(HKEY, LPCSTR, REGSAM, DWORD);
