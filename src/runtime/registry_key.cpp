#include "runtime/registry_key.h"

namespace zelk {
namespace {

using RegDeleteKeyExProc = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);

constexpr REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

// RegDeleteKeyExA is missing on old systems, so it is looked up at run time, once per process.
RegDeleteKeyExProc LookUpRegDeleteKeyEx() {
    static bool lookedUp = false;
    static RegDeleteKeyExProc proc = nullptr;
    if (!lookedUp) {
        if (HMODULE advapi = GetModuleHandleA("Advapi32.dll")) {
            proc = reinterpret_cast<RegDeleteKeyExProc>(
                reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExA")));
        }
        lookedUp = true;
    }
    return proc;
}

}  // namespace

LONG RegistryKey::Open(HKEY parent, const std::string& path, REGSAM access) {
    HKEY opened = nullptr;
    LONG result = RegOpenKeyExA(parent, path.c_str(), 0, access, &opened);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    LONG closed = ERROR_SUCCESS;
    if (key_ != nullptr) {
        closed = RegCloseKey(key_);
    }
    key_ = opened;
    view_ = access & kViewBits;
    return closed;
}

LONG RegistryKey::DeleteSubKey(const std::string& name) {
    if (RegDeleteKeyExProc deleteKeyEx = LookUpRegDeleteKeyEx()) {
        return deleteKeyEx(key_, name.c_str(), view_, 0);
    }
    return RegDeleteKeyA(key_, name.c_str());
}

void RegistryKey::Close() {
    if (key_ != nullptr) {
        RegCloseKey(key_);
        key_ = nullptr;
    }
    view_ = 0;
}

}  // namespace zelk
