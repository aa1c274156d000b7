#include "sim_fixture.h"

#include "runtime/session.h"

using zelk::GetSessionProperty;
using zelk::PostSessionMessage;
using zelk::SetSessionProperty;

using SessionTest = SimTest;

TEST_F(SessionTest, ReadsValueUpTo259CharactersWhole) {
    std::string value;
    winsim::SetProperty(session_, "P", std::string(259, 'a'));
    EXPECT_TRUE(GetSessionProperty(session_, "P", value));
    EXPECT_EQ(value, std::string(259, 'a'));

    UINT status = 0;
    winsim::SetProperty(session_, "P", std::string(260, 'a'));
    EXPECT_FALSE(GetSessionProperty(session_, "P", value, &status));
    EXPECT_EQ(value, "");
    EXPECT_EQ(status, static_cast<UINT>(ERROR_MORE_DATA));
}

TEST_F(SessionTest, MissingAndEmptyPropertiesReadAsNoValue) {
    std::string value = "stale";
    EXPECT_FALSE(GetSessionProperty(session_, "Missing", value));
    EXPECT_EQ(value, "");
    winsim::SetProperty(session_, "Empty", "");
    value = "stale";
    EXPECT_FALSE(GetSessionProperty(session_, "Empty", value));
    EXPECT_EQ(value, "");
}

TEST_F(SessionTest, InstallerErrorReadsAsNoValue) {
    winsim::SetProperty(session_, "P", "x");
    winsim::FailCall("MsiGetPropertyA", {ERROR_INVALID_HANDLE});
    std::string value;
    UINT status = 0;
    EXPECT_FALSE(GetSessionProperty(session_, "P", value, &status));
    EXPECT_EQ(status, static_cast<UINT>(ERROR_INVALID_HANDLE));
}

TEST_F(SessionTest, SetsPropertyAndReportsInstallerResult) {
    UINT status = 99;
    EXPECT_TRUE(SetSessionProperty(session_, "REBOOT", "Force", &status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(winsim::Property(session_, "REBOOT"), "Force");

    winsim::FailCall("MsiSetPropertyA", {ERROR_FUNCTION_FAILED});
    EXPECT_FALSE(SetSessionProperty(session_, "REBOOT", "Force", &status));
    EXPECT_EQ(status, static_cast<UINT>(ERROR_FUNCTION_FAILED));
}

TEST_F(SessionTest, RefusesOverlongValueWithoutAskingTheInstaller) {
    UINT status = 0;
    EXPECT_FALSE(SetSessionProperty(session_, "P", std::string(260, 'x'), &status));
    EXPECT_EQ(status, static_cast<UINT>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(winsim::CountCalls("MsiSetPropertyA"), 0u);
    EXPECT_TRUE(SetSessionProperty(session_, "P", std::string(259, 'x')));
}

TEST_F(SessionTest, PostsWarningWithTextInFieldZeroAndClosesRecord) {
    int result = PostSessionMessage(session_, "Driver file C:\\x.sys not found", 48);
    EXPECT_EQ(result, 1);
    const auto& messages = winsim::Messages(session_);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type, 0x02000030);
    EXPECT_EQ(messages[0].text, "Driver file C:\\x.sys not found");
    EXPECT_EQ(messages[0].fieldCount, 2u);
    EXPECT_EQ(winsim::CallNames(),
              (std::vector<std::string>{"MsiCreateRecord", "MsiRecordSetStringA",
                                        "MsiProcessMessage", "MsiCloseHandle"}));
}

TEST_F(SessionTest, PostingWithoutARecordClosesNothing) {
    winsim::FailCall("MsiCreateRecord", {0, 0, 0});
    PostSessionMessage(session_, "text", 48);
    EXPECT_TRUE(winsim::Messages(session_).empty());
    EXPECT_EQ(winsim::CountCalls("MsiCloseHandle"), 0u);
    EXPECT_EQ(winsim::CountCalls("MsiProcessMessage"), 1u);
}
