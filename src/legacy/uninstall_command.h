// Turning an uninstall entry's UninstallString into a program and a command line.
#pragma once

#include <optional>
#include <string>

namespace zelk {

struct UninstallCommand {
    std::string program;      // unquoted, handed over as the application name
    std::string commandLine;  // the remaining quoted pieces, joined without separators
};

// Cuts the string at its quotation marks; every piece is re-quoted, and a piece holding "/U"
// is followed by " /S " so that the old uninstaller runs silently. nullopt when the string
// holds no token at all.
std::optional<UninstallCommand> BuildUninstallCommand(const std::string& uninstallString);

}  // namespace zelk
