// The product's one door to the Windows API. On Windows it is the SDK; on the host it is
// winsim, the simulated machine the unit tests script. Product code includes nothing else
// from the platform and cannot tell the two apart.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>
#include <regstr.h>
#include <sys/stat.h>

// Exported by setupapi.dll but not declared by every SDK flavour.
extern "C" DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD dwTimeout);
#else
#include <winsim/win32.h>
#endif
