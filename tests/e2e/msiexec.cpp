// msiexec runs: the command line (with Wine's workarounds only under Wine), the process, a
// watcher of the install-state key beside it, and reading the verbose log.
#include <string>
#include <utility>

#include "e2e.h"
#include "support/machine_probe.h"
#include "support/test_files.h"

namespace zelk::e2e {
namespace {

using zelk::wine::detail::Handle;

constexpr DWORD kMsiexecTimeoutMs = 300000;
constexpr DWORD kWatchPollMs = 20;
// Wine's installer writes an action's invalid return code and a DLL that did not load only
// to its stderr, which the runner collects in this file beside the program.
constexpr const char* kWineStderr = "wine.stderr";

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A package named by a full path (a drive or a share) is taken where it is.
std::string PackagePath(const std::string& package) {
    const bool full = (package.size() > 1 && package[1] == ':') || package.rfind("\\\\", 0) == 0;
    return full ? package : wine::BesideProgram(package);
}

}  // namespace

std::string MsiexecCommandLine(const std::string& name, const Msiexec& what) {
    std::string line = "msiexec ";
    switch (what.command) {
        case Command::Install:
            line += "/i " + Quoted(PackagePath(what.package));
            break;
        case Command::Uninstall:
            line += "/x " + Quoted(PackagePath(what.package));
            break;
        case Command::Repair:
            // Wine's msiexec /f takes no product code: the same repair, spelled out.
            if (UnderWine() ||
                wine::WineCannotServe("repair_famus", "Wine's msiexec /f takes no product code")) {
                line += "/i " + what.package + " REINSTALL=ALL REINSTALLMODE=amus";
            } else {
                wine::WindowsBranch("repair_famus");
                line += "/famus " + what.package;
            }
            break;
    }
    if (!what.properties.empty()) {
        line += " " + what.properties;
    }
    line += " /qn /l*v " + Quoted(wine::BesideProgram(name + ".log"));
    // A run that sets REBOOT itself gets no /norestart, which would set it too.
    return what.properties.find("REBOOT=") == std::string::npos ? line + " /norestart" : line;
}

namespace {

// Watches the install-state key from another thread: its values live only from the driver
// actions to the clearing action.
class StateWatcher {
  public:
    explicit StateWatcher(std::string stateKey)
        : stateKey_(std::move(stateKey)),
          stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          thread_(CreateThread(nullptr, 0, &StateWatcher::Watch, this, 0, nullptr)) {}
    StateWatcher(const StateWatcher&) = delete;
    StateWatcher& operator=(const StateWatcher&) = delete;

    void Finish(Run& run) {
        SetEvent(stop_.get());
        WaitForSingleObject(thread_.get(), INFINITE);
        run.stateSeen = seen_;
        run.stateTextSeen = textSeen_;
    }

  private:
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
        const Handle changed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        while (WaitForSingleObject(stop_.get(), 0) == WAIT_TIMEOUT) {
            const auto key = wine::detail::OpenMachineKey(stateKey_, KEY_READ | KEY_NOTIFY);
            if (!key) {
                Sleep(kWatchPollMs);
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

    void ReadValues(HKEY key) {
        for (DWORD index = 0;; ++index) {
            char name[256] = {};
            DWORD nameSize = sizeof(name);
            DWORD type = 0;
            DWORD data = 0;
            DWORD dataSize = sizeof(data);
            const LONG result = RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                                              reinterpret_cast<BYTE*>(&data), &dataSize);
            // Any other answer ends the pass: the clearing action may delete the key while it
            // is open here, and every index of a deleted key answers ERROR_KEY_DELETED.
            if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
                return;
            }
            const std::string valueName = name;
            if (valueName.size() > 5 && valueName.compare(valueName.size() - 5, 5, "_Text") == 0) {
                textSeen_ = true;
            } else if (result == ERROR_SUCCESS && type == REG_DWORD) {
                seen_[valueName] = data;
            }
        }
    }

    std::string stateKey_;
    Handle stop_;
    Handle thread_;
    std::map<std::string, DWORD> seen_;
    bool textSeen_ = false;
};

// What Wine printed to stderr since `from`; the file is only there under Wine.
std::string WineErrorsSince(std::size_t from) {
    const auto text = wine::ReadFileBytes(wine::BesideProgram(kWineStderr)).value_or("");
    return text.size() > from ? text.substr(from) : "";
}

std::size_t WineStderrSize() {
    return wine::ReadFileBytes(wine::BesideProgram(kWineStderr)).value_or("").size();
}

std::string WithoutCarriageReturns(std::string text) {
    std::string::size_type at = 0;
    while ((at = text.find('\r', at)) != std::string::npos) {
        text.erase(at, 1);
    }
    return text;
}

std::optional<DWORD> StartAndWait(std::string commandLine) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // From the system folder, msiexec's own on Windows, where the certificate action finds
    // certutil.exe.
    const std::string folder = SystemFolder();
    const DWORD error = wine::StartProcess(commandLine, FALSE, 0, folder.c_str(), startup, process);
    if (error != ERROR_SUCCESS) {
        std::printf("e2e: msiexec did not start: error %lu\n", error);
        return std::nullopt;
    }
    const Handle processHandle(process.hProcess);
    const Handle threadHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, kMsiexecTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, ERROR_TIMEOUT);
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

}  // namespace

bool UnderWine() {
    return wine::UnderWine();
}

Run RunMsiexec(const std::string& name, const Msiexec& what, const std::string& stateKey) {
    const std::string logPath = wine::BesideProgram(name + ".log");
    DeleteFileA(logPath.c_str());
    const std::size_t stderrBefore = WineStderrSize();
    Run run;
    run.name = name;
    StateWatcher watcher(stateKey);
    run.exitCode = StartAndWait(MsiexecCommandLine(name, what));
    watcher.Finish(run);
    wine::LogAsWindowsWritesIt(logPath);
    run.log = WithoutCarriageReturns(wine::ReadFileBytes(logPath).value_or(""));
    run.wineErrors = WineErrorsSince(stderrBefore);
    return run;
}

// Plain searches: std::regex over a log of a few hundred kilobytes takes minutes.
std::string ActionResult(const std::string& log, const std::string& action) {
    const std::string ending = ": " + action + ". Return value ";
    std::string result = "-";
    for (auto at = log.find(ending); at != std::string::npos; at = log.find(ending, at + 1)) {
        if (log.compare(log.rfind('\n', at) + 1, 13, "Action ended ") == 0) {
            const auto value = at + ending.size();
            result = log.substr(value, log.find('.', value) - value);
        }
    }
    return result;
}

bool ActionStarted(const std::string& log, const std::string& namePrefix) {
    for (auto at = log.find("\nAction start "); at != std::string::npos;
         at = log.find("\nAction start ", at + 1)) {
        if (log.compare(log.find(": ", at) + 2, namePrefix.size(), namePrefix) == 0) {
            return true;
        }
    }
    return false;
}

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text + "\n").find("\n" + line + "\n") != std::string::npos;
}

std::string LoggedProperty(const std::string& log, const std::string& name) {
    const std::string start = "\nProperty(S): " + name + " = ";
    const auto at = log.rfind(start);
    if (at == std::string::npos) {
        return "";
    }
    const auto value = at + start.size();
    return log.substr(value, log.find('\n', value) - value);
}

std::string ReturnedCode(const Run& run, const std::string& action) {
    // Windows logs the code; Wine names it only among its installer's errors.
    const std::string windows = "CustomAction " + action + " returned actual error code ";
    const std::string wine = "invalid Return Code ";
    bool fromWine = UnderWine();
    if (!fromWine) {
        fromWine = run.log.find(windows) == std::string::npos &&
                   wine::WineCannotServe("returned_code_from_log",
                                         "Wine's msiexec never writes \"returned actual error "
                                         "code\"; read from its installer errors");
    }
    if (!fromWine) {
        wine::WindowsBranch("returned_code_from_log");
    }
    const std::string& text = fromWine ? run.wineErrors : run.log;
    const std::string& lead = fromWine ? wine : windows;
    const auto at = text.find(lead);
    if (at == std::string::npos) {
        return "";
    }
    const auto code = at + lead.size();
    return text.substr(code, text.find_first_not_of("0123456789", code) - code);
}

}  // namespace zelk::e2e
