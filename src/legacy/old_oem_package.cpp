#include "legacy/old_oem_package.h"

#include "legacy/uninstall_command.h"
#include "runtime/process.h"
#include "runtime/registry_key.h"

#include <string>

namespace zelk {
namespace {

constexpr char kUninstallKeyPrefix[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
// The old package registered itself under a localised name.
constexpr const char* kEntryNames[] = {"ZURA OEM Driver", "ZURA OEM-Treiber"};
constexpr char kUninstallStringValue[] = "UninstallString";
constexpr DWORD kUninstallStringBufferSize = 255;

// Opens the first entry that exists; when none does, the last attempt's error stands.
LONG OpenUninstallEntry(RegistryKey& entry) {
    LONG result = ERROR_FILE_NOT_FOUND;
    for (const char* name : kEntryNames) {
        result = entry.Open(HKEY_LOCAL_MACHINE, std::string(kUninstallKeyPrefix) + name, KEY_READ);
        if (result == ERROR_SUCCESS) {
            break;
        }
    }
    return result;
}

// Reads the string as stored: REG_EXPAND_SZ is not expanded, and data that do not end with
// their NUL are refused rather than guessed at.
LONG ReadUninstallString(HKEY entry, std::string& text) {
    char buffer[kUninstallStringBufferSize] = {};
    DWORD size = kUninstallStringBufferSize;
    DWORD type = REG_NONE;
    LONG result = RegQueryValueExA(entry, kUninstallStringValue, nullptr, &type,
                                   reinterpret_cast<BYTE*>(buffer), &size);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return ERROR_INVALID_DATA;
    }
    if (size == 0) {
        text.clear();
        return ERROR_SUCCESS;
    }
    if (size > kUninstallStringBufferSize || buffer[size - 1] != '\0') {
        return ERROR_INVALID_DATA;
    }
    text = buffer;
    return ERROR_SUCCESS;
}

}  // namespace

UINT UninstallOldOemPackage() {
    RegistryKey entry;
    if (LONG opened = OpenUninstallEntry(entry); opened != ERROR_SUCCESS) {
        return static_cast<UINT>(opened);
    }
    std::string uninstallString;
    if (LONG read = ReadUninstallString(entry.get(), uninstallString); read != ERROR_SUCCESS) {
        return static_cast<UINT>(read);
    }
    std::optional<UninstallCommand> command = BuildUninstallCommand(uninstallString);
    if (!command) {
        return ERROR_INVALID_DATA;
    }
    return RunProcessAndWait(command->program, command->commandLine, INFINITE, true);
}

}  // namespace zelk
