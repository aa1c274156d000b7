// The only three operations that talk to the installer.
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
