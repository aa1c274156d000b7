// The reading of msiexec's verbose logs that the end-to-end program and the authors' try tool
// share: the encodings Windows and Wine write, and what a log says a deferred action did.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "msi_log.h"

using zelk::trytool::ActionResult;
using zelk::trytool::ActionStarted;
using zelk::trytool::DecodeLog;
using zelk::trytool::DeferredResult;
using zelk::trytool::DescribeOutcome;
using zelk::trytool::HasLine;
using zelk::trytool::LanguageProblem;
using zelk::trytool::LoggedProperty;
using zelk::trytool::NestedRuns;
using zelk::trytool::ReadLog;
using zelk::trytool::RolledBack;

namespace {

using namespace std::string_literals;

// Text as Windows writes it: a byte-order mark, then two bytes a unit, low byte first.
std::string Utf16(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// A fixture log as Windows stores it and as single bytes (code page 1252 for the letters past
// ASCII), each read back: every reading must give the same answer for both.
std::vector<std::string> BothEncodings(const std::string& latin1) {
    std::u16string wide;
    for (const char c : latin1) {
        wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    std::vector<std::string> logs;
    for (const auto& bytes : {Utf16(wide), latin1}) {
        logs.push_back(DecodeLog(bytes).value_or("(refused)"));
    }
    return logs;
}

// The lines of a log as Windows' engine writes them, from the documented forms: a line of the
// engine after its process, thread and time; an operation of a script as it executes.
std::string Engine(const std::string& text) {
    return "MSI (s) (7C:44) [10:00:02:100]: " + text + "\n";
}
std::string Op(const std::string& text) {
    return Engine("Executing op: " + text);
}
// An action of the script: its start, then the custom action's operation with its type.
std::string InScript(const std::string& action, const std::string& type) {
    return Op("ActionStart(Name=" + action + ",,)") +
           Op("CustomActionSchedule(Action=" + action + ",ActionType=" + type +
              ",Source=BinaryData,Target=CA_Entry,CustomActionData=data)");
}
std::string Failed(const std::string& action, const std::string& code) {
    return "CustomAction " + action + " returned actual error code " + code +
           " (note this may not be 100% accurate if translation happened inside sandbox)\n";
}
// A failure that the action's type marks to be ignored (msidbCustomActionTypeContinue).
std::string Ignored(const std::string& action, const std::string& code) {
    return "CustomAction " + action + " returned actual error code " + code +
           " but will be translated to success due to continue marking\n";
}
std::string Header(int scriptType) {
    return Op(
        "Header(Signature=1397708873,Version=500,Timestamp=1,LangId=1033,Platform=589824,"
        "ScriptType=" +
        std::to_string(scriptType) +
        ",ScriptMajorVersion=21,ScriptMinorVersion=4,ScriptAttributes=1)");
}
std::string Product(const std::string& code) {
    return Op("ProductInfo(ProductKey=" + code +
              ",ProductName=Zelk,PackageName=zelk.msi,"
              "Language=1033,Version=16777216,Assignment=1,ObsoleteArg=0)");
}
std::string Ended(const std::string& action, const std::string& value) {
    return "Action ended 10:00:03: " + action + ". Return value " + value + ".\n";
}
std::string Started(const std::string& action) {
    return "Action start 10:00:03: " + action + ".\n";
}
// The rollback script starting after a failure.
const std::string kRollbackScript = Engine("User policy value 'DisableRollback' is 0") +
                                    Engine("Machine policy value 'DisableRollback' is 0") +
                                    Header(2) + Product("{NEW}");
// A service that does not start fails its standard action with no custom action's code.
const std::string kServiceError =
    Engine("Product: Zelk -- Error 1920. Service zelk_bus failed to start.");
const std::string kOwnCode = "Property(S): ProductCode = {NEW}\n";

// A major upgrade's log: version 1 ({OLD}) removed inside RemoveExistingProducts, with its own
// actions (RemoveExistingProducts among them) and its own script, then version 2's script.
const std::string kUpgrade =
    Engine("Doing action: RemoveExistingProducts") + Started("RemoveExistingProducts") +
    Started("InstallInitialize") + Ended("InstallInitialize", "1") +
    Started("ZelkUninstallKernelService") + Ended("ZelkUninstallKernelService", "1") +
    Started("RemoveExistingProducts") + Ended("RemoveExistingProducts", "0") +
    Started("InstallFinalize") + Header(1) + Product("{OLD}") +
    InScript("ZelkRestoreKernelService", "3329") + InScript("ZelkUninstallKernelService", "3073") +
    Ended("InstallFinalize", "1") + Ended("RemoveExistingProducts", "1") +
    Started("InstallFinalize") + Header(1) + Product("{NEW}") +
    InScript("ZelkInstallKernelService", "3073") + Ended("InstallFinalize", "1") + kOwnCode;
// The older product's operations merged into version 2's script (its removal inside the
// transaction).
const std::string kMergedUpgrade = Started("InstallFinalize") + Header(1) + Product("{NEW}") +
                                   InScript("ZelkInstallKernelService", "3073") + Product("{OLD}") +
                                   InScript("ZelkUninstallKernelService", "3073") +
                                   Ended("InstallFinalize", "1") + kOwnCode;
// Version 1 removed after version 2's installation, and its removal failing.
const std::string kLateRemoval = Started("InstallFinalize") + Ended("InstallFinalize", "1") +
                                 Started("RemoveExistingProducts") + Started("InstallFinalize") +
                                 Ended("InstallFinalize", "3") +
                                 Ended("RemoveExistingProducts", "3") + kOwnCode;
// A German Windows: the action lines translated, the engine's lines as they are.
const std::string kGerman = "=== Protokollierung gestartet: 08.12.2026  10:00:00 ===\n" +
                            Engine("Doing action: ZelkCheckReboot") +
                            "Aktion gestartet 10:00:01: ZelkCheckReboot.\n"
                            "Aktion beendet 10:00:01: ZelkCheckReboot. R\xFC"
                            "ckgabewert 1.\n" +
                            Engine("Doing action: ZelkInstallKernelService") +
                            "Aktion gestartet 10:00:01: ZelkInstallKernelService.\n"
                            "Aktion beendet 10:00:01: ZelkInstallKernelService. R\xFC"
                            "ckgabewert 1.\n" +
                            Header(1) + Product("{NEW}") +
                            InScript("ZelkInstallKernelService", "3073");

struct DecodeRow {
    const char* name;
    std::string bytes;
    const char* text;  // nullptr: neither encoding
};

const DecodeRow kDecodeRows[] = {
    {"wine", "Action ended 8:23:44: INSTALL. Return value 1.\r\n",
     "Action ended 8:23:44: INSTALL. Return value 1.\n"},
    {"windows", Utf16(u"Property(S): REBOOT = Force\r\n"), "Property(S): REBOOT = Force\n"},
    {"windows_non_ascii", Utf16(u"C:\\Programme\\Zelk \u00e9\r\n"),
     "C:\\Programme\\Zelk \xC3\xA9\n"},
    {"windows_surrogate_pair", Utf16(u"\U0001F600"), "\xF0\x9F\x98\x80"},
    {"windows_lone_surrogate",
     Utf16(u"a\xD800"
           "b"),
     "a\xEF\xBF\xBD"
     "b"},
    {"utf8_mark_dropped", "\xEF\xBB\xBFok\r\n", "ok\n"},
    {"mark_only", "\xFF\xFE", ""},
    // Wide text without its mark, a unit cut in half, and big-endian wide text are none of them.
    {"wide_without_mark", "A\0c\0"s, nullptr},
    {"odd_byte_after_mark",
     "\xFF\xFE"
     "A\0B"s,
     nullptr},
    {"big_endian", "\xFE\xFF\0A"s, nullptr},
};

TEST(MsiLog, DecodesBothEncodingsAndRefusesOthers) {
    for (const auto& row : kDecodeRows) {
        const auto text = DecodeLog(row.bytes);
        if (row.text == nullptr) {
            EXPECT_FALSE(text) << row.name;
        } else {
            EXPECT_EQ(text.value_or("(refused)"), row.text) << row.name;
        }
    }
}

TEST(MsiLog, AProblemNamesTheFile) {
    const std::string path = testing::TempDir() + "msi_log_test.log";
    const struct {
        const char* name;
        std::optional<std::string> bytes;  // none: no file
        const char* problem;
    } rows[] = {
        {"missing", std::nullopt, "msiexec wrote no log "},
        {"empty", "", "the log "},
        {"neither", "x\0y"s, "the log "},
        {"read", Utf16(u"MSI (s)\r\n"), nullptr},
    };
    for (const auto& row : rows) {
        std::remove(path.c_str());
        if (row.bytes) {
            std::ofstream(path, std::ios::binary) << *row.bytes;
        }
        const auto log = ReadLog(path);
        if (row.problem == nullptr) {
            EXPECT_EQ(log.problem, "") << row.name;
            EXPECT_EQ(log.text, "MSI (s)\n") << row.name;
        } else {
            EXPECT_EQ(log.problem.rfind(row.problem, 0), 0u) << row.name << ": " << log.problem;
            EXPECT_NE(log.problem.find(path), std::string::npos) << row.name << ": " << log.problem;
        }
    }
    std::remove(path.c_str());
}

// A Windows log's lines after decoding: the searches read whole lines, so that a quoted line
// inside another, or a longer name, is not taken for the one asked about.
TEST(MsiLog, SearchesReadWholeLines) {
    const auto log =
        DecodeLog(Utf16(u"MSI (s) (A4:B0) [10:00:00:000]: Note: Property(S): REBOOT = Force\r\n"
                        u"Action start 10:00:01: ZelkCheckRebootLater.\r\n"
                        u"Action ended 10:00:01: ZelkCheckRebootLater. Return value 3.\r\n"
                        u"Action ended 10:00:02: INSTALL. Return value 1.\r\n"
                        u"Property(S): REBOOT = ReallySuppress\r\n"
                        u"Property(S): REBOOTPROMPT = S\r\n"));
    ASSERT_TRUE(log);
    EXPECT_EQ(LoggedProperty(*log, "REBOOT"), "ReallySuppress");
    EXPECT_EQ(LoggedProperty(*log, "ProductCode"), "");
    EXPECT_FALSE(HasLine(*log, "Property(S): REBOOT = Force"));
    EXPECT_TRUE(HasLine(*log, "Property(S): REBOOTPROMPT = S"));
    EXPECT_EQ(ActionResult(*log, "ZelkCheckReboot"), "-");
    EXPECT_EQ(ActionResult(*log, "ZelkCheckRebootLater"), "3");
    EXPECT_EQ(ActionResult(*log, "INSTALL"), "1");
    EXPECT_TRUE(ActionStarted(*log, "ZelkCheck"));
    EXPECT_FALSE(ActionStarted(*log, "Zelk Check"));
}

constexpr const char* kScheduled =
    "Action start 10:00:01: ZelkInstallKernelService.\n"
    "Action ended 10:00:01: ZelkInstallKernelService. Return value 1.\n";

struct OutcomeRow {
    const char* name;
    std::string log;
    std::string wineErrors;
    const char* outcome;
    const char* action = "ZelkInstallKernelService";
};

const OutcomeRow kOutcomeRows[] = {
    // Windows writes the scheduling line once, always with 1: never the run's result.
    {"windows_scheduled_only", kScheduled, "", "- (scheduled, not run)"},
    {"windows_failed",
     std::string(kScheduled) +
         "MSI (s) (A4:B0) [10:00:02:100]: Executing op: "
         "CustomActionSchedule(Action=ZelkInstallKernelService,ActionType=3073,)\n"
         "CustomAction ZelkInstallKernelService returned actual error code 1073 "
         "(note this may not be 100% accurate if translation happened inside "
         "sandbox)\n",
     "", "failed (returned 1073)"},
    {"windows_ran",
     std::string(kScheduled) +
         "MSI (s) (A4:B0) [10:00:02:100]: Executing op: "
         "CustomActionSchedule(Action=ZelkInstallKernelService,ActionType=3073,)\n",
     "", "1"},
    // Another action's code is not this one's.
    {"windows_other_failed",
     std::string(kScheduled) + "CustomAction ZelkInstallKernelServiceX returned actual error "
                               "code 5\n",
     "", "- (scheduled, not run)"},
    // Wine writes the line again when the script runs the action.
    {"wine_ran", std::string(kScheduled) + kScheduled, "", "1"},
    {"wine_failed",
     std::string(kScheduled) + "Action ended 10:00:02: ZelkInstallKernelService. Return value 0.\n",
     "00d0:err:msi:custom_get_thread_return invalid Return Code 1114\n"
     "00d0:err:msi:custom_get_thread_return invalid Return Code 1073\n"
     "00d0:err:msi:execute_script Execution of script 0 halted; action "
     "L\"[zelk_bus]ZelkInstallKernelService\" returned 1603\n",
     "failed (returned 1073)"},
    {"wine_failed_unnamed",
     std::string(kScheduled) + "Action ended 10:00:02: ZelkInstallKernelService. Return value 3.\n",
     "", "failed"},
    {"absent", "Action ended 10:00:01: InstallFinalize. Return value 1.\n", "", "-"},
    // The forward script only records a rollback action (0x100 in its type) or a commit action
    // (0x200); each runs as an operation of its own.
    {"windows_rollback_recorded_only",
     Ended("ZelkRollbackLanDriver", "1") + InScript("ZelkRollbackLanDriver", "3329"), "",
     "- (scheduled, not run)", "ZelkRollbackLanDriver"},
    {"windows_rollback_recorded_impersonated", InScript("ZelkRollbackLanDriver", "1281"), "",
     "- (scheduled, not run)", "ZelkRollbackLanDriver"},
    {"windows_rollback_ran",
     InScript("ZelkRollbackLanDriver", "3329") + InScript("ZelkInstallKernelService", "3073") +
         Failed("ZelkInstallKernelService", "1073") + kRollbackScript +
         Op("ActionStart(Name=ZelkRollbackLanDriver,,)") +
         Op("CustomActionRollback(Action=ZelkRollbackLanDriver,ActionType=3329,Source=BinaryData,"
            "Target=CA_Entry,CustomActionData=data)"),
     "", "1", "ZelkRollbackLanDriver"},
    {"windows_commit_recorded_only", InScript("ZelkCommitStep", "1537"), "",
     "- (scheduled, not run)", "ZelkCommitStep"},
    {"windows_commit_ran",
     InScript("ZelkCommitStep", "1537") +
         Op("CustomActionCommit(Action=ZelkCommitStep,ActionType=1537,Source=BinaryData,"
            "Target=CA_Entry,CustomActionData=data)"),
     "", "1", "ZelkCommitStep"},
    {"windows_failure_ignored",
     InScript("ZelkInstallKernelService", "3137") + Ignored("ZelkInstallKernelService", "1603"), "",
     "failed (returned 1603), ignored"},
    // The older product's actions in an upgrade are that product's, not the package's.
    {"windows_upgrade_nested_removal", kUpgrade, "", "-", "ZelkUninstallKernelService"},
    {"windows_upgrade_merged_script", kMergedUpgrade, "", "-", "ZelkUninstallKernelService"},
    {"windows_upgrade_own_action", kUpgrade, "", "1"},
    // A German log: the script's operations and the failure's code are not translated.
    {"windows_german_ran", kGerman, "", "1"},
    {"windows_german_failed", kGerman + Failed("ZelkInstallKernelService", "1073"), "",
     "failed (returned 1073)"},
};

TEST(MsiLog, DeferredResultIsTheScriptRunsNotTheScheduling) {
    for (const auto& row : kOutcomeRows) {
        for (const auto& log : BothEncodings(row.log)) {
            EXPECT_EQ(DescribeOutcome(DeferredResult(log, row.wineErrors, row.action)), row.outcome)
                << row.name;
        }
    }
}

TEST(MsiLog, RollbackRanOnlyWhereTheRollbackScriptRanIt) {
    const std::string scheduled =
        "Action ended 10:00:01: ZelkRollbackLanDriver. Return value 1.\n"
        "MSI (s) (A4:B0) [10:00:02:000]: Executing op: ActionStart(Name=ZelkRollbackLanDriver,,)\n";
    const std::string failure =
        "CustomAction ZelkInstallKernelService returned actual error code 1073\n";
    const std::string rollbackOp =
        Op("CustomActionRollback(Action=ZelkRollbackLanDriver,ActionType=3329,Source=BinaryData,"
           "Target=CA_Entry,CustomActionData=data)");
    const struct {
        const char* name;
        std::string log;
        bool rolledBack;
        const char* action = "ZelkRollbackLanDriver";
    } rows[] = {
        {"scheduled_not_failed", scheduled, false},
        {"windows_rollback_line", scheduled + failure + "Rollback: ZelkRollbackLanDriver\n", true},
        {"windows_rollback_operation",
         scheduled + failure + kRollbackScript +
             "MSI (s) (A4:B0) [10:00:03:000]: Executing op: "
             "ActionStart(Name=ZelkRollbackLanDriver,,)\n",
         true},
        {"windows_other_rolled_back", scheduled + failure + "Rollback: ZelkRollbackLanDriverX\n",
         false},
        {"wine_ran_again",
         "Action ended 10:00:01: ZelkRollbackLanDriver. Return value 1.\n"
         "Action ended 10:00:04: ZelkRollbackLanDriver. Return value 1.\n",
         true},
        // A failure Windows ignores starts no rollback: the partner scheduled after it did not
        // run. The sample's every installation is so: its removal of an older OEM package
        // returns an error that is ignored, before the root devices' partners are recorded.
        {"windows_sample_install_no_rollback",
         InScript("ZelkRemoveOldOemPackage", "3137") + Ignored("ZelkRemoveOldOemPackage", "1603") +
             InScript("ZelkRollbackLanDriver", "3329") + InScript("ZelkInstallLanDriver", "3073"),
         false},
        // A failure that writes no custom action's code (a service that did not start): the
        // rollback script's operation is the proof.
        {"windows_rollback_after_service_error",
         InScript("ZelkRollbackLanDriver", "3329") + kServiceError + kRollbackScript +
             Op("ActionStart(Name=ZelkRollbackLanDriver,,)") + rollbackOp,
         true},
        {"windows_rollback_script_start",
         InScript("ZelkRollbackLanDriver", "3329") + kServiceError + kRollbackScript +
             Op("ActionStart(Name=ZelkRollbackLanDriver,,)"),
         true},
        {"windows_other_partner_ran",
         InScript("ZelkRollbackLanDriver", "3329") + failure + kRollbackScript +
             Op("CustomActionRollback(Action=ZelkRollbackVirtualDriver,ActionType=3329,"
                "Source=BinaryData,Target=CA_Entry,CustomActionData=data)"),
         false},
        // The older product's nested run writes its own RemoveExistingProducts lines.
        {"windows_upgrade_nested_run", kUpgrade, false, "RemoveExistingProducts"},
        {"windows_german_rollback",
         kGerman + failure + kRollbackScript + Op("ActionStart(Name=ZelkRollbackLanDriver,,)") +
             rollbackOp,
         true},
    };
    for (const auto& row : rows) {
        for (const auto& log : BothEncodings(row.log)) {
            EXPECT_EQ(RolledBack(log, row.action), row.rolledBack) << row.name;
        }
    }
}

// What a log says of the actions that run when the sequence reaches them, in the package's own
// run, and whether its language lets it say anything.
TEST(MsiLog, ImmediateResultsAreThePackagesOwnInItsLanguage) {
    const struct {
        const char* name;
        std::string log;
        const char* action;
        const char* result;  // ActionResult
        bool started;        // ActionStarted
        bool judged;         // no LanguageProblem
    } rows[] = {
        {"windows_english",
         Engine("Doing action: ZelkCheckReboot") + Started("ZelkCheckReboot") +
             Ended("ZelkCheckReboot", "1"),
         "ZelkCheckReboot", "1", true, true},
        {"wine", Started("ZelkCheckReboot") + Ended("ZelkCheckReboot", "1"), "ZelkCheckReboot", "1",
         true, true},
        // Version 1's removal after version 2's installation failed: not version 2's result.
        {"windows_late_removal", kLateRemoval, "InstallFinalize", "1", true, true},
        {"windows_upgrade_removal_actions", kUpgrade, "ZelkUninstall", "-", false, true},
        {"windows_german", kGerman, "ZelkCheckReboot", "-", true, false},
    };
    for (const auto& row : rows) {
        for (const auto& log : BothEncodings(row.log)) {
            EXPECT_EQ(ActionResult(log, row.action), row.result) << row.name;
            EXPECT_EQ(ActionStarted(log, row.action), row.started) << row.name;
            EXPECT_EQ(LanguageProblem(log).empty(), row.judged)
                << row.name << ": " << LanguageProblem(log);
        }
    }
}

// The older product's nested run is read as its own.
TEST(MsiLog, NestedRunsBelongToTheirProduct) {
    for (const auto& [name, log, action, outcome] :
         {std::tuple{"nested_removal", kUpgrade, "ZelkUninstallKernelService", "1"},
          std::tuple{"nested_rollback_partner", kUpgrade, "ZelkRestoreKernelService",
                     "- (scheduled, not run)"},
          std::tuple{"merged_script", kMergedUpgrade, "ZelkUninstallKernelService", "1"}}) {
        for (const auto& text : BothEncodings(log)) {
            const auto runs = NestedRuns(text);
            ASSERT_EQ(runs.size(), 1u) << name;
            EXPECT_EQ(runs[0].product, "{OLD}") << name;
            EXPECT_EQ(DescribeOutcome(DeferredResult(runs[0].text, "", action)), outcome) << name;
        }
    }
    EXPECT_TRUE(NestedRuns(kGerman).empty());
}

}  // namespace
