#include "runtime/format_text.h"

#include "platform/win32.h"

#include <gtest/gtest.h>
#include <winsim/control.h>

#include <climits>
#include <string>

namespace {

// What the formatter leaves in a buffer of `size` bytes, and the length it reports. The format
// is not a literal here, so the rows can also show what it does with a mismatch.
struct Formatted {
    std::string text;
    size_t length;
};

template <typename... Args>
Formatted Format(size_t size, const char* format, const Args&... args) {
    char buffer[16];
    std::string(sizeof(buffer), '#').copy(buffer, sizeof(buffer));
    const size_t length = zelk::FormatTextList(buffer, size, format, {zelk::FormatArg(args)...});
    return {std::string(buffer, sizeof(buffer)), length};
}

// The same in the Japanese ANSI code page, where 0x82 0xA0 is one double-byte character.
template <typename... Args>
Formatted FormatIn932(size_t size, const char* format, const Args&... args) {
    winsim::SetCodePage(932);
    Formatted formatted = Format(size, format, args...);
    winsim::SetCodePage(1252);
    return formatted;
}

}  // namespace

// The cut and the NUL exactly as snprintf places them, which the 540-byte message buffer
// relies on; '#' marks bytes left untouched.
TEST(FormatTextTest, WritesLikeSnprintfWithinTheBuffer) {
    const struct {
        Formatted got;
        std::string text;
        size_t length;
    } cases[] = {
        {Format(16, "%s. Error %d", "Step", -5), std::string("Step. Error -5\0#", 16), 14},
        {Format(16, "%u:%d", 4294967295U, INT_MIN), std::string("4294967295:-214\0", 16), 22},
        {Format(16, "%u %d", DWORD{7}, LONG{-7}), std::string("7 -7\0###########", 16), 4},
        {Format(16, "%d", LONG_MIN), std::string("-92233720368547\0", 16), 20},
        {Format(16, "Error %u", 0U), std::string("Error 0\0########", 16), 7},
        {Format(6, "abcdefgh"), std::string("abcde\0##########", 16), 8},
        {Format(1, "abc"), std::string("\0###############", 16), 3},
        // One byte past the buffer: cut, and no lead byte left alone at the edge.
        {Format(6, "abcdef"), std::string("abcde\0##########", 16), 6},
        {FormatIn932(6, "abcd\x82\xa0"), std::string("abcd\0\0##########", 16), 6},
        {FormatIn932(6, "abc\x82\xa0!"), std::string("abc\x82\xa0\0##########", 16), 6},
        {Format(0, "abc"), std::string(16, '#'), 3},
        {Format(16, "%s", nullptr), std::string("\0###############", 16), 0},
        // "%%" is one "%"; a conversion without its argument, or of another kind, stays as is.
        {Format(16, "100%% %s %d", "x"), std::string("100% x %d\0######", 16), 9},
        {Format(16, "%x %d", 7), std::string("%x 7\0###########", 16), 4},
        {Format(16, "%s %u", "a", -1), std::string("a %u\0###########", 16), 4},
        {Format(16, "end%"), std::string("end%\0###########", 16), 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got.text, c.text);
        EXPECT_EQ(c.got.length, c.length) << c.text;
    }
}

// A literal format must match its arguments, or the call does not compile; DWORD and LONG
// are arguments on the host and on Windows alike.
static_assert(zelk::FormatMatches<const char*, DWORD, LONG>("%s %u %d 100%%"));
static_assert(!zelk::FormatMatches<DWORD>("%d"));
static_assert(!zelk::FormatMatches<LONG>("%u"));
static_assert(!zelk::FormatMatches<int>("%s"));
static_assert(!zelk::FormatMatches<const char*>("%s %d"));
static_assert(!zelk::FormatMatches<const char*, int>("%s"));
static_assert(!zelk::FormatMatches<int>("%x"));

TEST(FormatTextTest, LiteralFormatsTakeTheWindowsIntegers) {
    char buffer[32];
    EXPECT_EQ(
        zelk::FormatText(buffer, sizeof(buffer), "%s returned %u (%d)", "Step", DWORD{5}, LONG{-5}),
        20u);
    EXPECT_STREQ(buffer, "Step returned 5 (-5)");
}
