// The test side of winsim: script the simulated machine, read the call log, count open handles
// and make chosen platform calls fail. Product code never includes this header.
#pragma once

#include <winsim/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

// A fresh machine: empty registry and file system, no sessions, code page 1252, an elevated
// caller, empty call log, no open handles, no injected failures. Every area is reset.
void Reset();

// ---- Caller ------------------------------------------------------------------------------------
// Under UAC an immediate custom action runs with the user's filtered token even in a per-machine
// installation. Filtered, HKEY_LOCAL_MACHINE is readable but opening a key for writing, creating
// or deleting one answers ERROR_ACCESS_DENIED; so do the service control manager beyond
// connecting and reading, service rights beyond query, and every device installation call.
// Launching programs stays allowed.
void SetElevated(bool elevated);  // false: calls behave as under a filtered (non-elevated) token

// ---- Call log -------------------------------------------------------------------------------
// Every platform call is logged with its arguments rendered as text: numbers in decimal, strings
// as their raw bytes, null pointers as "null", other pointers as "ptr", predefined registry keys
// as "HKLM", and handles as "h<N>". The calls that cannot fail on Windows (GetLastError,
// SetLastError, lstrlenA, GetACP, IsDBCSLeadByte) are logged with `canFail` false, and
// FailCall() does not reach them.
struct Call {
    std::string name;
    std::vector<std::string> args;
    bool canFail = true;
};
const std::vector<Call>& Calls();
std::vector<Call> CallsTo(const std::string& name);
size_t CountCalls(const std::string& name);
std::vector<std::string> CallNames();  // of the calls that can fail, in order: the work itself
void ClearCalls();
std::string Num(uint64_t value);
std::string Str(const char* text);  // "null" for a null pointer

// ---- Handles ----------------------------------------------------------------------------------
enum class HandleKind {
    MsiRecord,
    RegistryKey,
    DeviceList,
    ServiceHandle,
    ProcessOrThread,
    LocalMemory,
};
int OpenHandles();  // of every kind; the installer's own session handles are not counted
int OpenHandles(HandleKind kind);

// ---- Failure injection --------------------------------------------------------------------
// Makes the named call fail with `error` (its return value, or the value GetLastError reports
// afterwards). `nth` = 0 fails every call from now on; N > 0 fails only the Nth call from now.
// `result` overrides what the failing call returns (for calls whose failure value is ambiguous).
struct Failure {
    DWORD error = ERROR_GEN_FAILURE;
    int nth = 0;
    std::optional<int64_t> result;
};
void FailCall(const std::string& name, Failure failure);
void ClearFailures();

// True while a simulated call runs, from the rendering of its log line to its return, so that a
// test can count the product's own allocations apart from the simulator's.
bool InPlatformCall();

// ---- Code page --------------------------------------------------------------------------------
void SetCodePage(UINT codePage);  // 1252 (default) or 932

// ---- Files and processes ------------------------------------------------------------------
void AddFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);  // adds the file with this text
void AddDirectory(const std::string& path);
void RemoveFile(const std::string& path);
bool FileExists(const std::string& path);
void SetCurrentDirectory(const std::string& directory);
void SetSystemDirectory(const std::string& directory);

struct Launch {
    std::string applicationName;  // "null" never occurs: a null name is logged as such
    std::string commandLine;      // exact bytes handed over
    bool commandLineWritable = false;
    std::string resolvedPath;
    DWORD creationFlags = 0;
    DWORD startupInfoSize = 0;
    BOOL inheritHandles = FALSE;
    bool environmentNull = true;
    bool currentDirectoryNull = true;
};
const std::vector<Launch>& Launches();

// ---- Modules and messages -------------------------------------------------------------------
void SetProcAbsent(const std::string& procName, bool absent = true);
void SetSystemMessage(DWORD code, std::optional<std::string> text);  // nullopt: no text

// ---- Installer sessions ---------------------------------------------------------------------
struct PostedMessage {
    int type;
    std::string text;  // record field 0
    UINT fieldCount;
};
// How a session answers the size of a property that was not copied: a custom action's handle
// crosses to the installer's process and reports bytes of its wide text (twice the characters);
// a session the caller opened itself reports characters.
enum class SessionView { CustomAction, Local };
MSIHANDLE OpenSession(SessionView view = SessionView::CustomAction);
void SetProperty(MSIHANDLE session, const std::string& name, const std::string& value);
std::optional<std::string> Property(MSIHANDLE session, const std::string& name);
const std::vector<PostedMessage>& Messages(MSIHANDLE session);
void SetMessageResponse(int response);

// ---- Registry (HKEY_LOCAL_MACHINE) ----------------------------------------------------------
struct RegValue {
    DWORD type;
    std::vector<BYTE> data;
};
void CreateKey(const std::string& path);
bool KeyExists(const std::string& path);
void DeleteKeyTree(const std::string& path);
void SetValue(const std::string& keyPath, const std::string& name, DWORD type,
              std::vector<BYTE> data);
void SetString(const std::string& keyPath, const std::string& name, const std::string& text,
               DWORD type = REG_SZ);  // stored with its NUL
void SetDword(const std::string& keyPath, const std::string& name, DWORD value);
std::optional<RegValue> Value(const std::string& keyPath, const std::string& name);
std::optional<DWORD> DwordValue(const std::string& keyPath, const std::string& name);
std::optional<std::string> StringValue(const std::string& keyPath, const std::string& name);
std::vector<std::string> ValueNames(const std::string& keyPath);
std::vector<std::string> SubKeyNames(const std::string& keyPath);

}  // namespace winsim

#include <winsim/control_devices.h>
#include <winsim/control_services.h>
