// The real zelk_ca.dll, loaded once per test program from the program's own folder, and its
// nine custom actions found by name as the installer finds them.
#pragma once

#include <windows.h>
#include <msi.h>

#include <array>
#include <string>

#include "support/test_files.h"

namespace zelk::wine {

using CustomAction = UINT(WINAPI*)(MSIHANDLE);

// In ordinal order: the export at index i carries ordinal i + 1.
constexpr std::array<const char*, 9> kExportNames = {
    "CA_InstallDriver",        "CA_UninstallVirtualDriver", "CA_ClearInstallDriverRegistryValues",
    "CA_UninstallLanDriver",   "CA_InstallCertificate",     "CA_UninstallOldZuraOem",
    "CA_InstallNonePnPDriver", "CA_UninstallNonePnPDriver", "CA_CheckAndSetRebootStatus",
};

// Returned by Call when the export cannot be found; no Windows error code has this value.
constexpr UINT kExportMissing = 0xFFFFFFFF;

class DllUnderTest {
  public:
    static const DllUnderTest& Instance() {
        static const DllUnderTest dll;
        return dll;
    }

    bool Loaded() const { return module_ != nullptr; }
    // Why the DLL or one of its exports could not be found; "" when all is there.
    const std::string& Problem() const { return problem_; }

    CustomAction Find(const char* name) const {
        if (!module_) {
            return nullptr;
        }
        // Through the generic function pointer type, which GCC accepts for any cast.
        const auto generic = reinterpret_cast<void (*)()>(GetProcAddress(module_, name));
        return reinterpret_cast<CustomAction>(generic);
    }

    UINT Call(const char* name, MSIHANDLE session) const {
        const CustomAction action = Find(name);
        return action ? action(session) : kExportMissing;
    }

  private:
    DllUnderTest() {
        const std::string path = BesideProgram("zelk_ca.dll");
        module_ = LoadLibraryA(path.c_str());
        if (!module_) {
            problem_ = "LoadLibraryA(" + path + ") failed with " + std::to_string(GetLastError());
            return;
        }
        for (const char* name : kExportNames) {
            if (!Find(name)) {
                problem_ += std::string(problem_.empty() ? "" : ", ") + name + " is not exported";
            }
        }
    }

    // Stays loaded for the life of the program, as in the installer's custom-action process.
    HMODULE module_ = nullptr;
    std::string problem_;
};

}  // namespace zelk::wine
