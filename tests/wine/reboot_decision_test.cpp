// The reboot decision on a real registry key, read back as the installer property REBOOT.
#include <string>

#include "support/machine_probe.h"
#include "support/session_fixture.h"

namespace zelk::wine {
namespace {

const std::string kStateKey = "SOFTWARE\\ZelkWineTests\\InstallState";
const std::string kStateKeyData = kStateKey + "\\";
constexpr DWORD kRestartRequired = 3;

bool WriteMachineBinary(const std::string& path, const std::string& name, DWORD number) {
    HKEY raw = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const detail::RegKey key(raw);
    return RegSetValueExA(key.get(), name.c_str(), 0, REG_BINARY,
                          reinterpret_cast<const BYTE*>(&number), sizeof(number)) == ERROR_SUCCESS;
}

class RebootDecision : public CustomActionTest {
  protected:
    void TearDown() override { DeleteMachineTree("SOFTWARE\\ZelkWineTests"); }

    UINT Decide(const std::string& data) const {
        return RunWithData("CA_CheckAndSetRebootStatus", data);
    }
};

TEST_F(RebootDecision, DwordThreeAmongOthersForcesTheReboot) {
    ASSERT_TRUE(WriteMachineDword(kStateKey, "zelk_usb.inf", 0));
    ASSERT_TRUE(WriteMachineString(kStateKey, "zelk_usb.inf_Text", "3"));
    ASSERT_TRUE(WriteMachineDword(kStateKey, "zelk_pci.inf", kRestartRequired));
    ASSERT_TRUE(WriteMachineDword(kStateKey, "zelk_lan.inf", 0));

    EXPECT_EQ(Decide(kStateKeyData), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(session_.Property("REBOOT"), "Force");
}

TEST_F(RebootDecision, PathWithoutTrailingBackslashLeavesRebootAlone) {
    ASSERT_TRUE(WriteMachineDword(kStateKey, "zelk_pci.inf", kRestartRequired));

    EXPECT_EQ(Decide(kStateKey), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(session_.Property("REBOOT"), "");
}

TEST_F(RebootDecision, BinaryThreeDoesNotCountAndRebootKeepsItsValue) {
    ASSERT_EQ(session_.SetProperty("REBOOT", "ReallySuppress"), static_cast<UINT>(ERROR_SUCCESS));
    ASSERT_TRUE(WriteMachineBinary(kStateKey, "zelk_pci.inf", kRestartRequired));
    ASSERT_TRUE(WriteMachineDword(kStateKey, "zelk_usb.inf", 1));

    EXPECT_EQ(Decide(kStateKeyData), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(session_.Property("REBOOT"), "ReallySuppress");
}

}  // namespace
}  // namespace zelk::wine
