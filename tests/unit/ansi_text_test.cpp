#include "sim_fixture.h"

#include "runtime/ansi_text.h"

using AnsiTextTest = SimTest;

TEST_F(AnsiTextTest, LowerCasesInTheSystemCodePage) {
    EXPECT_EQ(zelk::ToLowerAnsi("ZELK_USB.INF"), "zelk_usb.inf");
    EXPECT_EQ(zelk::ToLowerAnsi("\xC4RGER.INF"), "\xE4rger.inf");  // code page 1252
    winsim::SetCodePage(932);
    // A full-width capital A (0x82 0x60) becomes a full-width small a (0x82 0x81); the trail
    // byte 0x5A of a double-byte character is no capital Z.
    EXPECT_EQ(zelk::ToLowerAnsi("\x82\x60\x83\x5A.INF"), "\x82\x81\x83\x5A.inf");
}

TEST_F(AnsiTextTest, ComparesWithoutRegardToCase) {
    EXPECT_TRUE(
        zelk::EqualsIgnoreCase("USB\\VID_2b5f&PID_e103&MI_00", "usb\\vid_2B5F&pid_E103&mi_00"));
    EXPECT_FALSE(zelk::EqualsIgnoreCase("ROOT\\ZELK_LAN", "ROOT\\ZELK_LAN2"));
    EXPECT_FALSE(zelk::EqualsIgnoreCase("ROOT\\ZELK_LAN", "ROOT\\ZELK_VIRTUAL"));
}
