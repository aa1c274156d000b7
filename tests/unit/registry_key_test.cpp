#include "sim_fixture.h"

#include "runtime/registry_key.h"

#include <cstdlib>

using zelk::RegistryKey;

using RegistryKeyTest = SimTest;

TEST_F(RegistryKeyTest, OpenFailureLeavesHolderAsItWas) {
    winsim::CreateKey("SOFTWARE\\Zelk");
    RegistryKey key;
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zelk", KEY_READ), ERROR_SUCCESS);
    HKEY held = key.get();
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.get(), held);
    EXPECT_EQ(winsim::OpenHandles(winsim::HandleKind::RegistryKey), 1);
}

TEST_F(RegistryKeyTest, OpeningAgainClosesTheEarlierKey) {
    winsim::CreateKey("SOFTWARE\\A");
    winsim::CreateKey("SOFTWARE\\B");
    {
        RegistryKey key;
        ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\A", KEY_READ | KEY_WRITE), 0);
        ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\B", KEY_READ), 0);
        EXPECT_EQ(winsim::OpenHandles(winsim::HandleKind::RegistryKey), 1);
        auto opens = winsim::CallsTo("RegOpenKeyExA");
        EXPECT_EQ(opens[0].args, (std::vector<std::string>{"HKLM", "SOFTWARE\\A", "0",
                                                           winsim::Num(0x2001F), "ptr"}));
    }
    EXPECT_EQ(winsim::CountCalls("RegCloseKey"), 2u);
}

TEST_F(RegistryKeyTest, CloseIsSafeTwice) {
    winsim::CreateKey("SOFTWARE\\A");
    RegistryKey key;
    key.Close();
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\A", KEY_READ), 0);
    key.Close();
    key.Close();
    EXPECT_FALSE(key.isOpen());
    EXPECT_EQ(winsim::CountCalls("RegCloseKey"), 1u);
}

// The lookup of RegDeleteKeyExA is cached for the life of the process, so each case runs in a
// fresh child process.
namespace {

int DeleteTwiceInFreshProcess(bool procAbsent) {
    winsim::Reset();
    winsim::SetProcAbsent("RegDeleteKeyExA", procAbsent);
    winsim::CreateKey("SOFTWARE\\State\\One");
    winsim::CreateKey("SOFTWARE\\State\\Two");
    winsim::CreateKey("SOFTWARE\\State\\Three\\Child");
    RegistryKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\State", KEY_READ | KEY_WRITE) != 0) {
        return 10;
    }
    if (key.DeleteSubKey("One") != ERROR_SUCCESS || key.DeleteSubKey("two") != ERROR_SUCCESS) {
        return 11;
    }
    if (key.DeleteSubKey("Three") != ERROR_ACCESS_DENIED ||
        !winsim::KeyExists("SOFTWARE\\State\\Three")) {
        return 12;  // a key with subkeys stays
    }
    if (winsim::KeyExists("SOFTWARE\\State\\One") || winsim::KeyExists("SOFTWARE\\State\\Two")) {
        return 13;
    }
    if (winsim::CountCalls("GetModuleHandleA") != 1 || winsim::CountCalls("GetProcAddress") != 1) {
        return 14;
    }
    if (winsim::CallsTo("GetModuleHandleA")[0].args[0] != "Advapi32.dll") {
        return 15;
    }
    const size_t viaEx = winsim::CountCalls("RegDeleteKeyExA");
    const size_t viaPlain = winsim::CountCalls("RegDeleteKeyA");
    if (procAbsent ? (viaEx != 0 || viaPlain != 3) : (viaEx != 3 || viaPlain != 0)) {
        return 16;
    }
    if (!procAbsent && winsim::CallsTo("RegDeleteKeyExA")[0].args[2] != "0") {
        return 17;  // the view bits of a key opened without view flags
    }
    key.Close();
    return winsim::OpenHandles() == 0 ? 0 : 18;
}

}  // namespace

TEST(RegistryKeyLookupTest, UsesRegDeleteKeyExLookedUpOncePerProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(DeleteTwiceInFreshProcess(false)), ::testing::ExitedWithCode(0), "");
}

TEST(RegistryKeyLookupTest, FallsBackToRegDeleteKeyWhenExIsAbsent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(DeleteTwiceInFreshProcess(true)), ::testing::ExitedWithCode(0), "");
}
