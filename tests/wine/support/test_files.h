// Where the test programs find what the runner laid beside them: the DLL and the package.
#pragma once

#include <windows.h>

#include <string>

namespace zelk::wine {

// The folder of the running program, with its trailing backslash.
inline std::string ProgramFolder() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

inline std::string BesideProgram(const std::string& fileName) {
    return ProgramFolder() + fileName;
}

}  // namespace zelk::wine
