#include "machine_setup.h"
#include "sim_fixture.h"

#include "exports/entry_points.h"

#include <cstring>

using Names = std::vector<std::string>;

namespace {

constexpr const char* kKey = setup::kStateKey;
constexpr char kData[] = "SOFTWARE\\Zelk\\InstallState\\";

class RebootDecisionTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        SetActionData(kData);
    }

    std::optional<std::string> Reboot() { return winsim::Property(session_, "REBOOT"); }
};

TEST_F(RebootDecisionTest, AStateOfThreeForcesRestartWhereverItStands) {
    for (int position = 0; position < 3; ++position) {
        winsim::DeleteKeyTree(kKey);
        winsim::SetProperty(session_, "REBOOT", "");
        for (int i = 0; i < 3; ++i) {
            winsim::SetDword(kKey, "pkg" + std::to_string(i), i == position ? 3 : 0);
            winsim::SetString(kKey, "pkg" + std::to_string(i) + "_Text", "3");
        }
        winsim::ClearCalls();
        EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
        EXPECT_EQ(Reboot(), "Force") << position;
        // The enumeration stops at the deciding value, and the key is closed first.
        EXPECT_EQ(winsim::CountCalls("RegEnumValueA"), static_cast<size_t>(2 * position + 1));
        auto names = winsim::CallNames();
        EXPECT_EQ(Names(names.end() - 2, names.end()), (Names{"RegCloseKey", "MsiSetPropertyA"}));
    }
}

// A per-machine package started without elevation runs the decision with the user's filtered
// token, which is refused write rights on the key: the decision then reads it with KEY_READ.
TEST_F(RebootDecisionTest, PassesTheDocumentedArgumentsAndDecidesUnderAFilteredToken) {
    winsim::SetDword(kKey, "a", 1);
    winsim::SetDword(kKey, "b", 3);
    for (const bool elevated : {true, false}) {
        winsim::SetElevated(elevated);
        winsim::SetProperty(session_, "REBOOT", "");
        winsim::ClearCalls();
        CA_CheckAndSetRebootStatus(session_);
        EXPECT_EQ(Reboot(), "Force") << elevated;
        const auto opens = winsim::CallsTo("RegOpenKeyExA");
        ASSERT_EQ(opens.size(), elevated ? 1u : 2u);
        EXPECT_EQ(opens[0].args, (Names{"HKLM", kData, "0", winsim::Num(0x2001F), "ptr"}));
        if (!elevated) {
            EXPECT_EQ(opens[1].args, (Names{"HKLM", kData, "0", winsim::Num(KEY_READ), "ptr"}));
        }
        auto info = winsim::CallsTo("RegQueryInfoKeyA")[0].args;
        for (size_t i = 1; i < info.size(); ++i) {
            EXPECT_EQ(info[i], i == 7 ? "ptr" : "null") << i;
        }
        for (const auto& call : winsim::CallsTo("RegEnumValueA")) {
            EXPECT_EQ(call.args[3], "260");  // name size, reset for every value
            EXPECT_EQ(call.args[7], "4");    // data size, reset for every value
        }
        EXPECT_EQ(winsim::CountCalls("MsiSetPropertyA"), 1u);
    }
}

TEST_F(RebootDecisionTest, OnlyAReadableDwordOfThreeDecides) {
    winsim::SetProperty(session_, "REBOOT", "ReallySuppress");
    winsim::SetDword(kKey, "other", 2);
    winsim::SetValue(kKey, "binary", REG_BINARY, {3, 0, 0, 0});
    winsim::SetString(kKey, "text", "3");
    winsim::SetValue(kKey, "wide", REG_QWORD, {3, 0, 0, 0, 0, 0, 0, 0});
    winsim::SetDword(kKey, std::string(260, 'n'), 3);  // name too long for the buffer
    EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
    EXPECT_EQ(Reboot(), "ReallySuppress");
    EXPECT_EQ(winsim::CountCalls("MsiSetPropertyA"), 0u);
    // Each of the five values is read once, and no index past them.
    EXPECT_EQ(winsim::CountCalls("RegEnumValueA"), 5u);

    winsim::SetDword(kKey, std::string(259, 'n'), 3);
    CA_CheckAndSetRebootStatus(session_);
    EXPECT_EQ(Reboot(), "Force");
}

TEST_F(RebootDecisionTest, AValueThatCannotBeReadIsSkipped) {
    winsim::SetDword(kKey, "a", 3);
    winsim::SetDword(kKey, "b", 3);
    winsim::FailCall("RegEnumValueA", {ERROR_ACCESS_DENIED, 1});
    CA_CheckAndSetRebootStatus(session_);
    EXPECT_EQ(Reboot(), "Force");
    EXPECT_EQ(winsim::CountCalls("RegEnumValueA"), 2u);
}

TEST_F(RebootDecisionTest, LeavesRebootAloneWhenTheKeyCannotBeUsed) {
    winsim::SetDword(kKey, "pkg", 3);

    SetActionData(kKey);  // no trailing backslash
    EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 0u);

    SetActionData("0");
    EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 0u);

    SetActionData("SOFTWARE\\Zelk\\Missing\\");
    EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 1u);  // only a refusal asks again

    SetActionData(kData);
    winsim::FailCall("RegOpenKeyExA", {ERROR_ACCESS_DENIED});
    EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 3u);
    winsim::ClearFailures();

    SetActionData(kData);
    winsim::FailCall("RegQueryInfoKeyA", {ERROR_ACCESS_DENIED});
    EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("RegEnumValueA"), 0u);
    EXPECT_FALSE(Reboot());

    winsim::ClearFailures();
    winsim::DeleteKeyTree(kKey);
    winsim::CreateKey(kKey);
    EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
    EXPECT_FALSE(Reboot());
}

TEST_F(RebootDecisionTest, ATrailByteThatLooksLikeABackslashDoesNotEndThePath) {
    // In code page 932, 0x95 0x5C is one character whose second byte is the backslash's.
    const std::string key = std::string("SOFTWARE\\Zelk\\") + "\x95\x5C";
    winsim::SetCodePage(932);
    winsim::SetDword(key, "pkg", 3);
    SetActionData(key);
    EXPECT_EQ(CA_CheckAndSetRebootStatus(session_), 0u);
    EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 0u);

    SetActionData(key + "\\");
    CA_CheckAndSetRebootStatus(session_);
    EXPECT_EQ(winsim::CountCalls("RegOpenKeyExA"), 1u);
    EXPECT_TRUE(Reboot());
    // The test side reads names as the registry does: one key, its name ending in 0x5C.
    EXPECT_EQ(winsim::SubKeyNames("SOFTWARE\\Zelk"), std::vector<std::string>{"\x95\x5C"});
}

}  // namespace
