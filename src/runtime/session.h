// The only three operations that talk to the installer.
//
// The DLL keeps no log of its own. The one message it posts is CA_InstallDriver's warning when
// a package given without a state location could not be installed; everything else an engineer
// needs is already recorded elsewhere: the installer's verbose log (each action, its return
// value, its CustomActionData), the install-state values, the Setup API's setupapi.dev.log and
// the try tool's report. Adding a message here is adding an output every author's package and
// test must expect: see docs/README.md, "What the DLL tells, and where to look", first.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

// Every property value passes through a buffer of this size, NUL included.
constexpr DWORD kPropertyBufferSize = 260;

// The warning type value: MB_ICONWARNING, posted as INSTALLMESSAGE_WARNING | 0x30.
constexpr UINT kWarningStyle = MB_ICONWARNING;

// Reads an installer property; true exactly when the value read is non-empty. A missing
// property, an empty one and one too long for the buffer all read as "" and false.
bool GetSessionProperty(MSIHANDLE session, const char* name, std::string& value,
                        UINT* status = nullptr);

// Sets an installer property; true when the installer accepted it. A value too long for the
// property buffer is refused with ERROR_INVALID_PARAMETER before the installer is asked.
bool SetSessionProperty(MSIHANDLE session, const char* name, const std::string& value,
                        UINT* status = nullptr);

// Posts `text` as one installer message of type INSTALLMESSAGE_WARNING + `typeValue`.
int PostSessionMessage(MSIHANDLE session, const std::string& text, UINT typeValue);

}  // namespace zelk
