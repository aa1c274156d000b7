#include "sim_fixture.h"

#include "runtime/tokenizer.h"

using zelk::NextToken;
using zelk::TokenList;

namespace {

TokenList Cut(const std::string& source, const std::string& delimiters) {
    TokenList tokens;
    int position = 0;
    for (std::string token = NextToken(source, delimiters, position); !token.empty();
         token = NextToken(source, delimiters, position)) {
        tokens.push_back(token);
    }
    EXPECT_EQ(position, -1);
    return tokens;
}

}  // namespace

using TokenizerTest = SimTest;

TEST_F(TokenizerTest, RunsOfDelimitersSeparateLikeOne) {
    EXPECT_EQ(Cut("first@@second@", "@"), (TokenList{"first", "second"}));
    EXPECT_EQ(Cut("@@a@b@@@c@@", "@"), (TokenList{"a", "b", "c"}));
    EXPECT_EQ(Cut("@@@", "@"), TokenList{});
    EXPECT_EQ(Cut("", "@"), TokenList{});
    EXPECT_EQ(Cut("0@x", "@"), (TokenList{"0", "x"}));
}

TEST_F(TokenizerTest, PositionMovesOnePastTheDelimiterOrTheEnd) {
    int position = 0;
    EXPECT_EQ(NextToken("a@b", "@", position), "a");
    EXPECT_EQ(position, 2);
    EXPECT_EQ(NextToken("a@b", "@", position), "b");
    EXPECT_EQ(position, 4);
    EXPECT_EQ(NextToken("a@b", "@", position), "");
    EXPECT_EQ(position, -1);
    EXPECT_EQ(NextToken("a@b", "@", position), "");
    EXPECT_EQ(position, -1);
}

TEST_F(TokenizerTest, QuoteDelimiterKeepsSpacesInsideTokens) {
    EXPECT_EQ(Cut("\"C:\\Old\\uninst.exe\" /U \"C:\\Old\\install.log\"", "\""),
              (TokenList{"C:\\Old\\uninst.exe", " /U ", "C:\\Old\\install.log"}));
    EXPECT_EQ(Cut("\"\"\"\"", "\""), TokenList{});
}

TEST_F(TokenizerTest, TrailByteOfDoubleByteCharacterIsNoDelimiter) {
    winsim::SetCodePage(932);
    // 0x81 0x40 is a double-byte character whose trail byte is '@'.
    const std::string dbcs =
        "a\x81\x40"
        "b@c";
    EXPECT_EQ(Cut(dbcs, "@"), (TokenList{"a\x81\x40"
                                         "b",
                                         "c"}));
    winsim::SetCodePage(1252);
    EXPECT_EQ(Cut(dbcs, "@"), (TokenList{"a\x81", "b", "c"}));
}
