// msiexec's verbose logs as the installer writes them, and what they say about a run. Windows
// writes a /l*v log in UTF-16LE after a byte-order mark, Wine in single bytes; both are read
// here into one text, and every search of a log goes through this file. Plain C++, so that the
// host's unit tests read the same code as the programs that run msiexec.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelk::trytool {

// A log's text as UTF-8 without carriage returns, or why it could not be read.
struct LogText {
    std::string text;
    std::string problem;  // "" when read; else a sentence naming the file
};

// UTF-16LE after its byte-order mark, or single bytes (a UTF-8 mark is dropped); none when the
// bytes are neither.
std::optional<std::string> DecodeLog(std::string_view bytes);
LogText ReadLog(const std::string& path);

// The "Return value" of the last "Action ended" line of the action, or "-" when there is none.
// For actions that run when the sequence reaches them; a deferred action's line is written when
// it is scheduled (see DeferredResult).
std::string ActionResult(std::string_view log, std::string_view action);
// How many "Action ended" lines name the action.
int TimesEnded(std::string_view log, std::string_view action);
bool ActionStarted(std::string_view log, std::string_view namePrefix);
bool HasLine(std::string_view text, std::string_view line);
// The value of a property in the dump that ends the log, or "".
std::string LoggedProperty(std::string_view log, std::string_view name);

// What a deferred (or rollback, or commit) action did when the script ran, from what the
// installers write for the script: Windows logs the operation it executes and, for a failure,
// "CustomAction X returned actual error code N"; Wine logs the action's "Action ended" line a
// second time, with the run's value, and names an invalid code among its installer errors.
enum class ScriptRun { Succeeded, Failed, NotRun };

struct DeferredOutcome {
    ScriptRun run = ScriptRun::NotRun;
    std::string code;  // the code the action returned, when a log names it
    bool scheduled = false;
};

DeferredOutcome DeferredResult(std::string_view log, std::string_view wineErrors,
                               std::string_view action);
// "1" for a run that succeeded, "failed (returned N)", "- (scheduled, not run)" or "-".
std::string DescribeOutcome(const DeferredOutcome& outcome);
// Whether the rollback script ran the action. Windows starts each operation of the rollback
// after the failure it answers ("Rollback: X", or the action's start operation); Wine writes the
// rollback action's "Action ended" line once when it is scheduled and again when it runs.
bool RolledBack(std::string_view log, std::string_view rollbackAction);

}  // namespace zelk::trytool
