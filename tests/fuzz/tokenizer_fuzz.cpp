// NextToken over any text with either delimiter set in use: it ends, never returns an empty
// token, and each token is the run of characters right before its new position.
#include "fuzz_support.h"
#include "runtime/ansi_text.h"
#include "runtime/tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    winsim::Reset();
    fuzz::ChooseCodePage(input);
    const std::string delimiters = input.ConsumeBool() ? "@" : "\"";
    const std::string source = input.ConsumeRemainingBytesAsString();

    int position = 0;
    size_t tokens = 0;
    for (;;) {
        const int before = position;
        const std::string token = zelk::NextToken(source, delimiters, position);
        if (token.empty()) {
            fuzz::Require(position == -1, "the end is marked by position -1");
            break;
        }
        fuzz::Require(position > before, "the position moves on");
        const size_t end = static_cast<size_t>(position) - 1;
        fuzz::Require(end >= token.size() && end <= source.size(), "position one past the token");
        fuzz::Require(source.compare(end - token.size(), token.size(), token) == 0,
                      "the token is the text before its position");
        for (size_t i = 0; i < token.size(); i += zelk::IsDoubleByteAt(token, i) ? 2 : 1) {
            fuzz::Require(
                zelk::IsDoubleByteAt(token, i) || delimiters.find(token[i]) == std::string::npos,
                "no delimiter character inside a token");
        }
        fuzz::Require(++tokens <= source.size(), "no more tokens than bytes");
    }
    return 0;
}
