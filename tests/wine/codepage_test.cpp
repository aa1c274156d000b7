// Tests that need the Japanese ANSI code page, where a double-byte character may hold a
// backslash or "@" byte. The runner starts them in their own group with LC_ALL=ja_JP.UTF-8,
// which is all Wine needs to run the process with code page 932.
#include <gtest/gtest.h>

#include <windows.h>

namespace zelk::wine {
namespace {

constexpr UINT kShiftJis = 932;

TEST(CodePage932, ProcessRunsWithShiftJisAnsiCodePage) {
    ASSERT_EQ(GetACP(), kShiftJis) << "run this group with LC_ALL=ja_JP.UTF-8";
    // 0x95 0x5C is one character whose second byte is a backslash.
    EXPECT_TRUE(IsDBCSLeadByte(0x95));
}

}  // namespace
}  // namespace zelk::wine
