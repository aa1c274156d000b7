// The reading of msiexec's verbose logs that the end-to-end program and the authors' try tool
// share: the encodings Windows and Wine write, and what a log says a deferred action did.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "msi_log.h"

using zelk::trytool::ActionResult;
using zelk::trytool::ActionStarted;
using zelk::trytool::DecodeLog;
using zelk::trytool::DeferredResult;
using zelk::trytool::DescribeOutcome;
using zelk::trytool::HasLine;
using zelk::trytool::LoggedProperty;
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
};

TEST(MsiLog, DeferredResultIsTheScriptRunsNotTheScheduling) {
    for (const auto& row : kOutcomeRows) {
        EXPECT_EQ(
            DescribeOutcome(DeferredResult(row.log, row.wineErrors, "ZelkInstallKernelService")),
            row.outcome)
            << row.name;
    }
}

TEST(MsiLog, RollbackRanOnlyAfterTheFailure) {
    const std::string scheduled =
        "Action ended 10:00:01: ZelkRollbackLanDriver. Return value 1.\n"
        "MSI (s) (A4:B0) [10:00:02:000]: Executing op: ActionStart(Name=ZelkRollbackLanDriver,,)\n";
    const std::string failure =
        "CustomAction ZelkInstallKernelService returned actual error code 1073\n";
    const struct {
        const char* name;
        std::string log;
        bool rolledBack;
    } rows[] = {
        {"scheduled_not_failed", scheduled, false},
        {"windows_rollback_line", scheduled + failure + "Rollback: ZelkRollbackLanDriver\n", true},
        {"windows_rollback_operation",
         scheduled + failure +
             "MSI (s) (A4:B0) [10:00:03:000]: Executing op: "
             "ActionStart(Name=ZelkRollbackLanDriver,,)\n",
         true},
        {"windows_other_rolled_back", scheduled + failure + "Rollback: ZelkRollbackLanDriverX\n",
         false},
        {"wine_ran_again",
         scheduled + "Action ended 10:00:04: ZelkRollbackLanDriver. Return value 1.\n", true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RolledBack(row.log, "ZelkRollbackLanDriver"), row.rolledBack) << row.name;
    }
}

}  // namespace
