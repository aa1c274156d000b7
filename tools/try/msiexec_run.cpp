#include "msiexec_run.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "machine.h"
#include "msi_log.h"
#include "runtime/handles.h"

namespace zelk::trytool {
namespace {

constexpr DWORD kMsiexecTimeoutMs = 300000;
constexpr DWORD kWatchPollMs = 20;
constexpr DWORD kMaxValueBytes = 4096;
// Wine's installer writes an action's invalid return code and a DLL that did not load only
// to its stderr, which the runner collects in this file beside the program.
constexpr const char* kWineStderr = "wine.stderr";

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A package named by a full path (a drive or a share) is taken where it is.
std::string PackagePath(const std::string& package) {
    const bool full = (package.size() > 1 && package[1] == ':') || package.rfind("\\\\", 0) == 0;
    return full ? package : BesideProgram(package);
}

bool IsTextName(const std::string& name) {
    return name.size() > 5 && name.compare(name.size() - 5, 5, "_Text") == 0;
}

// Watches the install-state key from another thread: its values live only from the driver
// actions to the clearing action.
class StateWatcher {
  public:
    // The thread starts in the body, once every member it reads is constructed.
    explicit StateWatcher(std::string stateKey)
        : stateKey_(std::move(stateKey)), stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        thread_.reset(CreateThread(nullptr, 0, &StateWatcher::Watch, this, 0, nullptr));
    }
    ~StateWatcher() { Stop(); }
    StateWatcher(const StateWatcher&) = delete;
    StateWatcher& operator=(const StateWatcher&) = delete;

    void Finish(Run& run) {
        Stop();
        run.stateSeen = seen_;
        run.stateTexts = texts_;
        run.stateTextSeen = !texts_.empty();
    }

  private:
    // Also on the way out of a throwing caller: the thread must not outlive the members.
    void Stop() {
        SetEvent(stop_.get());
        if (thread_) {
            WaitForSingleObject(thread_.get(), INFINITE);
            thread_.reset();
        }
    }

    static DWORD WINAPI Watch(void* self) {
        static_cast<StateWatcher*>(self)->Loop();
        return 0;
    }

    void Loop() {
        // No key named: an empty path would open HKEY_LOCAL_MACHINE itself.
        if (stateKey_.empty()) {
            WaitForSingleObject(stop_.get(), INFINITE);
            return;
        }
        const KernelHandle changed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        while (WaitForSingleObject(stop_.get(), 0) == WAIT_TIMEOUT) {
            const auto key = OpenMachineKey(stateKey_, KEY_READ | KEY_NOTIFY);
            if (!key) {
                AwaitCreation(changed.get());
                continue;
            }
            // Asked for before the values are read, so that no change in between goes unseen.
            RegNotifyChangeKeyValue(key.get(), FALSE,
                                    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                    changed.get(), TRUE);
            ReadValues(key.get());
            WaitForSingleObject(changed.get(), kWatchPollMs);
        }
    }

    // The values may live for a few milliseconds only: rather than polling for the key, wait
    // for a change below its nearest existing parent, which its creation is.
    void AwaitCreation(HANDLE changed) {
        std::string parent = stateKey_;
        RegKeyHandle ancestor;
        while (!ancestor) {
            const auto cut = parent.rfind('\\');
            if (cut == std::string::npos) {
                Sleep(kWatchPollMs);
                return;
            }
            parent.resize(cut);
            ancestor = OpenMachineKey(parent, KEY_NOTIFY);
        }
        RegNotifyChangeKeyValue(ancestor.get(), TRUE, REG_NOTIFY_CHANGE_NAME, changed, TRUE);
        // Created between the first look and the request: seen on this look.
        if (const auto key = OpenMachineKey(stateKey_, KEY_READ)) {
            return;
        }
        WaitForSingleObject(changed, kWatchPollMs);
    }

    void ReadValues(HKEY key) {
        for (DWORD index = 0;; ++index) {
            char name[256] = {};
            DWORD nameSize = sizeof(name);
            DWORD type = 0;
            BYTE data[kMaxValueBytes + 2] = {};
            DWORD dataSize = kMaxValueBytes;
            const LONG result =
                RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
            // Any other answer ends the pass: the clearing action may delete the key while it
            // is open here, and every index of a deleted key answers ERROR_KEY_DELETED.
            if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
                return;
            }
            const std::string valueName = name;
            if (IsTextName(valueName)) {
                texts_[valueName] = result == ERROR_SUCCESS && type == REG_SZ
                                        ? reinterpret_cast<const char*>(data)
                                        : "";
            } else if (result == ERROR_SUCCESS && type == REG_DWORD && dataSize == sizeof(DWORD)) {
                DWORD value = 0;
                std::memcpy(&value, data, sizeof(value));
                seen_[valueName] = value;
            }
        }
    }

    std::string stateKey_;
    KernelHandle stop_;
    KernelHandle thread_;
    std::map<std::string, DWORD> seen_;
    std::map<std::string, std::string> texts_;
};

std::string WineStderr() {
    return ReadFileBytes(BesideProgram(kWineStderr)).value_or("");
}

// CreateProcessA, and under Wine once more when the new process died in Wine's own start-up
// (ERROR_INTERNAL_ERROR, seen on a loaded machine) before msiexec ran a line.
DWORD StartProcess(std::string commandLine, const std::string& folder, bool wine,
                   PROCESS_INFORMATION& process) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    const auto start = [&] {
        return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              folder.c_str(), &startup, &process)
                   ? ERROR_SUCCESS
                   : GetLastError();
    };
    const DWORD error = start();
    if (error != ERROR_INTERNAL_ERROR || !wine) {
        return error;
    }
    std::printf("Wine could not start msiexec (error %lu); starting it once more\n", error);
    return start();
}

std::optional<DWORD> StartAndWait(const std::string& commandLine, bool wine) {
    PROCESS_INFORMATION process = {};
    // From the system folder, msiexec's own current folder on Windows.
    const DWORD error = StartProcess(commandLine, SystemFolder(), wine, process);
    if (error != ERROR_SUCCESS) {
        std::printf("msiexec did not start: error %lu\n", error);
        return std::nullopt;
    }
    const KernelHandle processHandle(process.hProcess);
    const KernelHandle threadHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, kMsiexecTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, ERROR_TIMEOUT);
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

}  // namespace

std::string MsiexecCommandLine(const std::string& name, const Msiexec& what, bool wine) {
    // By its full path: CreateProcess looks in the program's own folder first, where anyone who
    // could write there would have an administrator run their msiexec.exe.
    std::string line = Quoted(SystemFolder() + "\\msiexec.exe") + " ";
    switch (what.command) {
        case Command::Install:
            line += "/i " + Quoted(PackagePath(what.package));
            break;
        case Command::Uninstall:
            line += "/x " + Quoted(PackagePath(what.package));
            break;
        case Command::Repair:
            line += wine ? "/i " + what.package + " REINSTALL=ALL REINSTALLMODE=amus"
                         : "/famus " + what.package;
            break;
    }
    if (!what.properties.empty()) {
        line += " " + what.properties;
    }
    line += " /qn /l*v " + Quoted(BesideProgram(name + ".log"));
    // A run that sets REBOOT itself gets no /norestart, which would set it too.
    return what.properties.find("REBOOT=") == std::string::npos ? line + " /norestart" : line;
}

Run RunMsiexec(const std::string& name, const Msiexec& what, const std::string& stateKey,
               bool wine) {
    const std::string logPath = BesideProgram(name + ".log");
    DeleteFileA(logPath.c_str());
    const std::size_t stderrBefore = WineStderr().size();
    Run run;
    run.name = name;
    {
        StateWatcher watcher(stateKey);
        run.exitCode = StartAndWait(MsiexecCommandLine(name, what, wine), wine);
        watcher.Finish(run);
    }
    auto log = ReadLog(logPath);
    run.log = std::move(log.text);
    run.logProblem = std::move(log.problem);
    const std::string errors = WineStderr();
    run.wineErrors = errors.size() > stderrBefore ? errors.substr(stderrBefore) : "";
    return run;
}

}  // namespace zelk::trytool
