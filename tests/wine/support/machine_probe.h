// Looks at and prepares the machine the DLL works on: registry below HKEY_LOCAL_MACHINE,
// the service control manager, files and child programs. Test code only; the product has its
// own paths to all of these.
#pragma once

#include <windows.h>

#include "runtime/handles.h"
#include "support/wine_detection.h"

#include <optional>
#include <cstdio>
#include <string>

namespace zelk::wine {

namespace detail {

// The product's own owners.
using RegKey = zelk::RegKeyHandle;
using Service = zelk::ServiceHandle;
using Handle = zelk::KernelHandle;

inline RegKey OpenMachineKey(const std::string& path, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key) != ERROR_SUCCESS) {
        return RegKey();
    }
    return RegKey(key);
}

inline RegKey CreateMachineKey(const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return RegKey();
    }
    return RegKey(key);
}

}  // namespace detail

// Registry, always below HKEY_LOCAL_MACHINE.

inline bool MachineKeyExists(const std::string& path) {
    return detail::OpenMachineKey(path, KEY_READ).valid();
}

inline std::optional<DWORD> ReadMachineDword(const std::string& path, const std::string& name) {
    const auto key = detail::OpenMachineKey(path, KEY_READ);
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (!key ||
        RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return std::nullopt;
    }
    return value;
}

inline std::optional<std::string> ReadMachineString(const std::string& path,
                                                    const std::string& name) {
    const auto key = detail::OpenMachineKey(path, KEY_READ);
    char value[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof(value) - 1;
    if (!key ||
        RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    return std::string(value);
}

inline bool WriteMachineDword(const std::string& path, const std::string& name, DWORD value) {
    const auto key = detail::CreateMachineKey(path);
    return key &&
           RegSetValueExA(key.get(), name.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
}

inline bool WriteMachineString(const std::string& path, const std::string& name,
                               const std::string& value) {
    const auto key = detail::CreateMachineKey(path);
    return key && RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

// Removes the key with everything below it; true when it is gone afterwards.
inline bool DeleteMachineTree(const std::string& path) {
    const LONG result = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

// Service control manager.

// What OpenServiceA reports for `name` with `access`: 0 when the service opens, else the error.
inline DWORD OpenServiceError(const std::string& name, DWORD access) {
    const detail::Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return GetLastError();
    }
    const detail::Service service(OpenServiceA(manager.get(), name.c_str(), access));
    return service ? ERROR_SUCCESS : GetLastError();
}

inline bool ServiceExists(const std::string& name) {
    return OpenServiceError(name, SERVICE_QUERY_STATUS) == ERROR_SUCCESS;
}

// The service's current state (SERVICE_RUNNING, SERVICE_STOPPED, ...), if it exists.
inline std::optional<DWORD> ServiceState(const std::string& name) {
    const detail::Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const detail::Service service(
        manager ? OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) {
        return std::nullopt;
    }
    return status.dwCurrentState;
}

// Files and programs.

inline bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool WriteTextFile(const std::string& path, const std::string& text) {
    const HANDLE raw = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        return false;
    }
    const detail::Handle file(raw);
    DWORD written = 0;
    return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// The file's bytes; nothing when it cannot be opened.
inline std::optional<std::string> ReadFileBytes(const std::string& path) {
    const HANDLE raw = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    const detail::Handle file(raw);
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    return bytes;
}

struct ProcessOutcome {
    DWORD startError = ERROR_SUCCESS;  // GetLastError of CreateProcessA; 0 when it started
    bool finished = false;             // ended within the time-out
    DWORD exitCode = 0;
};

// CreateProcessA; 0 when the program started, else the error of the last start. Wine answers
// ERROR_INTERNAL_ERROR when the new process died in its own start-up, before the program ran a
// line (seen on a loaded machine): nothing under test was involved, so under Wine that one
// answer earns one more start, said on stdout.
inline DWORD StartProcess(std::string commandLine, BOOL inheritHandles, DWORD flags,
                          const char* folder, STARTUPINFOA& startup, PROCESS_INFORMATION& process) {
    const auto start = [&] {
        return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, inheritHandles, flags,
                              nullptr, folder, &startup, &process)
                   ? DWORD{ERROR_SUCCESS}
                   : GetLastError();
    };
    const DWORD error = start();
    if (error != ERROR_INTERNAL_ERROR || !WineBeneath()) {
        return error;
    }
    std::printf("Wine could not start %s (error %lu); starting it once more\n", commandLine.c_str(),
                error);
    return start();
}

// Runs a command line (the program is looked up as CreateProcessA does) and waits for it.
inline ProcessOutcome RunProgram(const std::string& commandLine, DWORD timeoutMs) {
    ProcessOutcome outcome;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    outcome.startError =
        StartProcess(commandLine, FALSE, CREATE_NO_WINDOW, nullptr, startup, process);
    if (outcome.startError != ERROR_SUCCESS) {
        return outcome;
    }
    const detail::Handle processHandle(process.hProcess);
    const detail::Handle threadHandle(process.hThread);
    outcome.finished = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (outcome.finished) {
        GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    } else {
        TerminateProcess(process.hProcess, ERROR_TIMEOUT);
    }
    return outcome;
}

}  // namespace zelk::wine
