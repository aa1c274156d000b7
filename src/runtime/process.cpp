#include "runtime/process.h"

#include "runtime/handles.h"
#include "runtime/last_error.h"

#include <vector>

namespace zelk {

// Program and command line swapped, the launch fails at once: the command line names no file.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
UINT RunProcessAndWait(const std::string& program, const std::string& commandLine, DWORD timeoutMs,
                       bool hideWindow) {
    if (program.empty()) {
        return ERROR_INVALID_DATA;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    // CreateProcessA may write into the command line, so it gets a private, writable copy.
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    if (!CreateProcessA(program.c_str(), writable.data(), nullptr, nullptr, FALSE,
                        hideWindow ? CREATE_NO_WINDOW : 0, nullptr, nullptr, &startup, &process)) {
        return FailureCode();
    }
    KernelHandle processHandle(process.hProcess);
    KernelHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), timeoutMs);
    return ERROR_SUCCESS;
}

}  // namespace zelk
