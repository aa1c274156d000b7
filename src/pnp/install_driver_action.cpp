#include "pnp/install_driver_action.h"

#include "pnp/install_engine.h"
#include "pnp/install_state.h"
#include "runtime/paths.h"
#include "runtime/session.h"
#include "runtime/tokenizer.h"

namespace zelk {
namespace {

constexpr const char* kTokenDelimiters = "@";
constexpr const char* kDroppedToken = "0";

TokenList CutActionData(const std::string& data) {
    TokenList tokens;
    int position = 0;
    for (std::string token = NextToken(data, kTokenDelimiters, position); !token.empty();
         token = NextToken(data, kTokenDelimiters, position)) {
        if (token != kDroppedToken) {
            tokens.push_back(token);
        }
    }
    return tokens;
}

// A failure is shown to the user as a warning with the engine's message.
void InstallAndWarn(MSIHANDLE session, const std::string& packagePath) {
    char message[kMessageBufferSize] = "";
    if (InstallDriverPackage(packagePath, message, sizeof(message)) < 0) {
        PostSessionMessage(session, message, kWarningStyle);
    }
}

// The state location is a key path and a value name joined by its last backslash.
UINT InstallAndRecord(const std::string& packagePath, const std::string& stateLocation) {
    // Without a key path there is nowhere to record: malformed, like a wrong token count.
    const std::string keyPath = FolderOfPath(stateLocation);
    if (!NamesStateKey(keyPath)) {
        return ERROR_INVALID_DATA;
    }
    RecordInstallState(packagePath, keyPath, FileNameOfPath(stateLocation));
    return ERROR_SUCCESS;
}

}  // namespace

UINT RunInstallDriver(MSIHANDLE session, const std::string& data) {
    const TokenList tokens = CutActionData(data);
    if (tokens.size() == 1) {
        InstallAndWarn(session, tokens[0]);
        return ERROR_SUCCESS;
    }
    if (tokens.size() == 2) {
        return InstallAndRecord(tokens[0], tokens[1]);
    }
    return ERROR_INVALID_DATA;
}

}  // namespace zelk
