#include "legacy/uninstall_command.h"

#include "runtime/tokenizer.h"

namespace zelk {
namespace {

constexpr char kQuote[] = "\"";
constexpr char kUninstallSwitch[] = "/U";
constexpr char kSilentSwitch[] = " /S ";

TokenList QuotedPieces(const std::string& uninstallString) {
    TokenList pieces;
    int position = 0;
    for (std::string token = NextToken(uninstallString, kQuote, position); !token.empty();
         token = NextToken(uninstallString, kQuote, position)) {
        pieces.push_back(kQuote + token + kQuote);
        if (token.find(kUninstallSwitch) != std::string::npos) {
            pieces.push_back(kSilentSwitch);
        }
    }
    return pieces;
}

std::string StripQuotes(const std::string& piece) {
    const size_t first = piece.find_first_not_of(kQuote);
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = piece.find_last_not_of(kQuote);
    return piece.substr(first, last - first + 1);
}

}  // namespace

std::optional<UninstallCommand> BuildUninstallCommand(const std::string& uninstallString) {
    TokenList pieces = QuotedPieces(uninstallString);
    if (pieces.empty()) {
        return std::nullopt;
    }
    UninstallCommand command;
    command.program = StripQuotes(pieces.front());
    for (size_t i = 1; i < pieces.size(); ++i) {
        command.commandLine += pieces[i];
    }
    return command;
}

}  // namespace zelk
