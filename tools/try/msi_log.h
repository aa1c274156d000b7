// msiexec's verbose logs as the installer writes them, and what they say about a run. Windows
// writes a /l*v log in UTF-16LE after a byte-order mark, Wine in single bytes; both are read
// here into one text, and every search of a log goes through this file. Plain C++, so that the
// host's unit tests read the same code as the programs that run msiexec.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Whether Windows' installer wrote the log: its engine's lines start "MSI (s) (" or "MSI (c) (";
// Wine's never do, in whichever encoding the log was stored.
bool WrittenByWindows(std::string_view log);
// One sentence when the log is Windows' in another language than English, or "". Windows
// translates "Action start", "Action ended" and "Return value", so an immediate action's result
// cannot be read from such a log; the engine's own lines ("Doing action:", "Executing op:", the
// property dump, "CustomAction X returned actual error code N") stay as they are, and
// msiexec's exit code, which the runner holds, speaks for the run.
std::string LanguageProblem(std::string_view log);

// The log's lines of the package tried, without a nested product's run: Windows removes the
// older product of a major upgrade inside RemoveExistingProducts, writing that product's own
// actions into the same log, and the scripts it merges carry that product's operations after
// "Executing op: ProductInfo(ProductKey=...". Every search below reads these lines.
std::string OwnRun(std::string_view log);
struct ProductRun {
    std::string product;  // its product code, when the log names it
    std::string text;
};
// The nested runs of other products, in the log's order.
std::vector<ProductRun> NestedRuns(std::string_view log);

// The "Return value" of the last "Action ended" line of the action, or "-" when there is none.
// For actions that run when the sequence reaches them; a deferred action's line is written when
// it is scheduled (see DeferredResult).
std::string ActionResult(std::string_view log, std::string_view action);
// How many "Action ended" lines name the action.
int TimesEnded(std::string_view log, std::string_view action);
// Whether an action whose name starts so started: its "Action start" line, or the engine's
// untranslated "Doing action:" and "Executing op: ActionStart(Name=" lines.
bool ActionStarted(std::string_view log, std::string_view namePrefix);
bool HasLine(std::string_view text, std::string_view line);
// The value of a property in the dump that ends the log, or "".
std::string LoggedProperty(std::string_view log, std::string_view name);

// What a deferred, rollback or commit action did when a script ran, from what the installers
// write for the scripts. Windows logs each operation it executes: the forward script's
// "CustomActionSchedule(Action=X,ActionType=N," runs a deferred action, but only records a
// rollback action (N has 0x100) or a commit action (0x200), which run as
// "CustomActionRollback(Action=X," and "CustomActionCommit(Action=X,"; a failure adds
// "CustomAction X returned actual error code N", followed by "but will be translated to success
// due to continue marking" when the action's failures are ignored. Wine logs the action's
// "Action ended" line a second time, with the run's value, and names an invalid code among its
// installer errors.
enum class ScriptRun { Succeeded, Failed, NotRun };

struct DeferredOutcome {
    ScriptRun run = ScriptRun::NotRun;
    std::string code;  // the code the action returned, when a log names it
    bool scheduled = false;
    bool ignored = false;  // a failure the action's type marks to be ignored
};

DeferredOutcome DeferredResult(std::string_view log, std::string_view wineErrors,
                               std::string_view action);
// "1" for a run that succeeded, "failed (returned N)" (", ignored" after it for a failure the
// installer ignored), "- (scheduled, not run)" or "-".
std::string DescribeOutcome(const DeferredOutcome& outcome);
// Whether the rollback script ran the action: Windows' "CustomActionRollback(Action=X," (or the
// action's start in the rollback script, "Rollback: X"); Wine writes the rollback action's
// "Action ended" line once when it is scheduled and again when it runs. A failure alone, even
// one Windows then ignores, says nothing about a rollback.
bool RolledBack(std::string_view log, std::string_view rollbackAction);

}  // namespace zelk::trytool
