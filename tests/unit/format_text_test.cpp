#include "runtime/format_text.h"

#include <gtest/gtest.h>
#include <winsim/control.h>

#include <climits>
#include <string>

namespace {

// What FormatText leaves in a buffer of `size` bytes, and the length it reports.
struct Formatted {
    std::string text;
    size_t length;
};

template <typename... Args>
Formatted Format(size_t size, const char* format, const Args&... args) {
    char buffer[16];
    std::string(sizeof(buffer), '#').copy(buffer, sizeof(buffer));
    const size_t length = zelk::FormatText(buffer, size, format, args...);
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
