#include "pnp/install_state.h"

#include "platform/win32.h"
#include "pnp/install_engine.h"
#include "runtime/ansi_text.h"
#include "runtime/handles.h"
#include "runtime/paths.h"
#include "runtime/registry_key.h"

namespace zelk {
namespace {

constexpr REGSAM kStateAccess = KEY_READ | KEY_WRITE;
constexpr const char* kTextSuffix = "_Text";
constexpr DWORD kInstalled = 0;

// Where an outcome is recorded: a value below HKEY_LOCAL_MACHINE.
struct StateLocation {
    std::string keyPath;
    std::string valueName;
};

// Every non-negative result short of a restart request counts as installed.
DWORD OutcomeCode(int result) {
    const bool installed = result >= 0 && result < kInstallUpdatedRestart;
    return installed ? kInstalled : static_cast<DWORD>(result);
}

std::string WithoutFinalBackslash(const std::string& path) {
    const size_t last = FindLastChar(path, '\\');
    if (last != kNotFound && last + 1 == path.size()) {
        return path.substr(0, last);
    }
    return path;
}

void WriteInstallState(const StateLocation& location, DWORD code, const std::string& text) {
    HKEY created = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, location.keyPath.c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, kStateAccess, nullptr, &created,
                        &disposition) != ERROR_SUCCESS) {
        return;
    }
    RegKeyHandle key(created);
    RegSetValueExA(key.get(), location.valueName.c_str(), 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&code), sizeof(code));
    if (!text.empty()) {
        const std::string textName = location.valueName + kTextSuffix;
        RegSetValueExA(key.get(), textName.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(lstrlenA(text.c_str())) + 1);
    }
}

}  // namespace

bool NamesStateKey(const std::string& keyPath) {
    return !WithoutFinalBackslash(keyPath).empty();
}

// A swapped key path and value name would record the outcome where no reader looks, which
// the action's tests catch.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
void RecordInstallState(const std::string& packageToken, const std::string& keyPath,
                        const std::string& valueName) {
    char message[kMessageBufferSize] = "";
    const int result = InstallDriverPackage(packageToken, message, sizeof(message));
    const DWORD code = OutcomeCode(result);
    const std::string text = code == kInstalled ? std::string() : std::string(message);

    // Never write into the root of HKEY_LOCAL_MACHINE.
    const std::string stateKey = WithoutFinalBackslash(keyPath);
    if (stateKey.empty()) {
        return;
    }
    WriteInstallState({stateKey, valueName}, code, text);
}

void ClearInstallState(const std::string& data) {
    if (DirectoryOfPath(data).empty()) {
        return;  // names no key
    }
    const std::string valueName = FileNameOfPath(data);
    const std::string keyPath = FolderOfPath(data);
    RegistryKey key;
    if (!valueName.empty()) {
        if (key.Open(HKEY_LOCAL_MACHINE, keyPath, kStateAccess) == ERROR_SUCCESS) {
            RegDeleteValueA(key.get(), (valueName + kTextSuffix).c_str());
            RegDeleteValueA(key.get(), valueName.c_str());
        }
        return;
    }
    // A whole state key: delete it from its parent; one with subkeys stays.
    // A path that ends in a backslash names no subkey: the opened key itself is never deleted.
    const std::string subKey = FileNameOfPath(keyPath);
    if (subKey.empty()) {
        return;
    }
    if (key.Open(HKEY_LOCAL_MACHINE, DirectoryOfPath(keyPath), kStateAccess) == ERROR_SUCCESS) {
        key.DeleteSubKey(subKey);
    }
}

}  // namespace zelk
