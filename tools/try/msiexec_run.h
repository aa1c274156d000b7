// One msiexec run, quiet, with a verbose log: the command line (with Wine's workarounds only
// when asked), the process, a watcher of the install-state key beside it, and the log read.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>

namespace zelk::trytool {

enum class Command { Install, Uninstall, Repair };

struct Msiexec {
    Command command;
    std::string package;     // the file beside the program; Repair: the installed product's code
    std::string properties;  // "NAME=value ..." or ""
};

struct Run {
    std::string name;               // the step's, which names its log
    std::optional<DWORD> exitCode;  // none: msiexec did not start or did not end in time
    std::string log;                // the verbose log as text, without carriage returns
    std::string logProblem;         // "" when the log was read; else a sentence naming it
    std::string wineErrors;         // Wine's installer errors during the run (Wine only)
    // The install-state values as they appeared during the run, last data of each: numbers,
    // and the texts of the "_Text" values.
    std::map<std::string, DWORD> stateSeen;
    std::map<std::string, std::string> stateTexts;
    bool stateTextSeen = false;  // a "_Text" value appeared
};

// The command line of a run, msiexec named by its full path in the system folder; a package with a
// full path is taken where it is, any other beside the program. `wine`: Wine's msiexec /f takes no
// product code, so a repair is spelt out.
std::string MsiexecCommandLine(const std::string& name, const Msiexec& what, bool wine);
// `stateKey` below HKEY_LOCAL_MACHINE, or "" for none to watch.
Run RunMsiexec(const std::string& name, const Msiexec& what, const std::string& stateKey,
               bool wine);

}  // namespace zelk::trytool
