#include "legacy/uninstall_command.h"

#include "runtime/tokenizer.h"

namespace zelk {
namespace {

constexpr char kQuote[] = "\"";
constexpr char kUninstallSwitch[] = "/U";
constexpr char kSilentSwitch[] = " /S ";

// A token that asks for an uninstall is followed by the silent switch.
std::string SwitchesAfter(const std::string& token) {
    return token.find(kUninstallSwitch) != std::string::npos ? kSilentSwitch : "";
}

}  // namespace

std::optional<UninstallCommand> BuildUninstallCommand(const std::string& uninstallString) {
    int position = 0;
    std::string token = NextToken(uninstallString, kQuote, position);
    if (token.empty()) {
        return std::nullopt;
    }
    UninstallCommand command;
    // The program is the first token exactly as the tokenizer read it, not its quoted piece with
    // the quotation marks stripped again byte by byte: that would also strip a final double-byte
    // character's trail byte that has the quotation mark's value.
    command.program = token;
    command.commandLine = SwitchesAfter(token);
    for (token = NextToken(uninstallString, kQuote, position); !token.empty();
         token = NextToken(uninstallString, kQuote, position)) {
        command.commandLine += kQuote + token + kQuote + SwitchesAfter(token);
    }
    return command;
}

}  // namespace zelk
