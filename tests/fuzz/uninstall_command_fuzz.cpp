// The old uninstaller's command from any uninstall string: the program is the first token as
// the tokenizer reads it, and nothing is made of a string without a token.
#include "fuzz_support.h"
#include "legacy/uninstall_command.h"
#include "runtime/tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    winsim::Reset();
    fuzz::ChooseCodePage(input);
    const std::string uninstallString = input.ConsumeRemainingBytesAsString();

    const auto command = zelk::BuildUninstallCommand(uninstallString);
    int position = 0;
    const std::string firstToken = zelk::NextToken(uninstallString, "\"", position);
    fuzz::Require(command.has_value() == !firstToken.empty(), "a command exactly for a token");
    if (command) {
        fuzz::Require(command->program == firstToken, "the program is the first token");
        // Every other byte of the string is kept, quoted, and at most a switch per token added.
        fuzz::Require(command->commandLine.size() <= 7 * uninstallString.size(),
                      "the command line grows by quotes and switches only");
    }
    return 0;
}
