// kernel32 and CRT functions the product uses.
#pragma once

#include <winsim/types.h>

WINSIM_API DWORD WINAPI GetLastError();
WINSIM_API void WINAPI SetLastError(DWORD error);

WINSIM_API BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                                      LPSECURITY_ATTRIBUTES processAttributes,
                                      LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                      DWORD creationFlags, LPVOID environment,
                                      LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                                      LPPROCESS_INFORMATION processInformation);
WINSIM_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
WINSIM_API BOOL WINAPI CloseHandle(HANDLE handle);

WINSIM_API HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName);
WINSIM_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);

WINSIM_API DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPSTR buffer, DWORD size, void* arguments);
WINSIM_API HLOCAL WINAPI LocalFree(HLOCAL memory);

WINSIM_API int WINAPI lstrlenA(LPCSTR text);
WINSIM_API UINT WINAPI GetACP();
WINSIM_API BOOL WINAPI IsDBCSLeadByte(BYTE testChar);
WINSIM_API int WINAPI LCMapStringA(LCID locale, DWORD mapFlags, LPCSTR source, int sourceLength,
                                   LPSTR destination, int destinationLength);

WINSIM_API UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size);

// The CRT's file-status query.
WINSIM_API int _stat64(const char* path, struct _stat64* status);
