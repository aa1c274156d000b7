// The kit's support for a real machine, under Wine: the reasons a driver case skips for, read
// from the facts prepare.cmd records, and the rewriting of a log Wine wrote into the UTF-16LE
// that Windows writes, which the windows-mode layer relies on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/machine_facts.h"
#include "support/machine_probe.h"
#include "support/test_files.h"

namespace zelk::wine {
namespace {

TEST(MachineFacts, DriverCasesSkipForWhatTheMachineLacks) {
    struct Row {
        const char* facts;   // machine-facts.txt as prepare.cmd writes it
        const char* reason;  // a part of the skip reason, "" for none
    };
    const Row rows[] = {
        {"secure_boot=off\r\ntest_signing=on\r\ntest_root=installed\r\n", ""},
        {"secure_boot=on\r\ntest_signing=on\r\ntest_root=installed\r\n", "Secure Boot is on"},
        {"secure_boot=off\r\ntest_signing=off\r\ntest_root=installed\r\n", "test signing is off"},
        {"secure_boot=off\r\ntest_signing=on\r\ntest_root=missing\r\n", "Root store"},
        {"code_page=1252\r\n", "test signing is off"},
    };
    const std::string path = BesideProgram("facts-row.txt");
    for (const Row& row : rows) {
        ASSERT_TRUE(WriteTextFile(path, row.facts));
        const std::string reason = detail::DriverLack(detail::ReadFacts(path));
        if (*row.reason == '\0') {
            EXPECT_EQ(reason, "") << row.facts;
        } else {
            EXPECT_NE(reason.find(row.reason), std::string::npos) << row.facts << reason;
        }
    }
    EXPECT_TRUE(detail::ReadFacts(BesideProgram("no-such-facts.txt")).empty());
}

class WindowsModeLog : public ::testing::Test {
  protected:
    void SetUp() override { _putenv("ZELK_WINDOWS_MODE=1"); }
    void TearDown() override { _putenv("ZELK_WINDOWS_MODE="); }
};

TEST_F(WindowsModeLog, IsRewrittenOnceInUtf16) {
    EXPECT_FALSE(UnderWine()) << "windows mode hides Wine";
    EXPECT_TRUE(WineBeneath());
    EXPECT_TRUE(WineCannotServe("a_branch", "a reason")) << "Wine beneath takes Wine's branch";
    const std::string path = BesideProgram("windows-mode.log");
    ASSERT_TRUE(WriteTextFile(path, "Caf\xE9 =\r\n"));  // code page 1252, as Wine writes it here
    const std::string utf16(
        "\xFF\xFE"
        "C\0a\0f\0\xE9\0 \0=\0\r\0\n\0",
        18);
    LogAsWindowsWritesIt(path);
    EXPECT_EQ(ReadFileBytes(path).value_or(""), utf16);
    LogAsWindowsWritesIt(path);
    EXPECT_EQ(ReadFileBytes(path).value_or(""), utf16) << "a log in UTF-16 stays as it is";
}

}  // namespace
}  // namespace zelk::wine
