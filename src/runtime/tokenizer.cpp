#include "runtime/tokenizer.h"

#include "runtime/ansi_text.h"

namespace zelk {
namespace {

bool IsDelimiterAt(const std::string& source, size_t index, const std::string& delimiters) {
    return !IsDoubleByteAt(source, index) && delimiters.find(source[index]) != std::string::npos;
}

// A double-byte character counts as one character when stepping; IsDoubleByteAt only sees one
// whose trail byte is there, so a step never passes the end.
size_t Step(const std::string& source, size_t index) {
    return index + (IsDoubleByteAt(source, index) ? 2 : 1);
}

}  // namespace

std::string NextToken(const std::string& source, const std::string& delimiters, int& position) {
    if (position < 0 || static_cast<size_t>(position) >= source.size()) {
        position = -1;
        return std::string();
    }
    auto start = static_cast<size_t>(position);
    while (start < source.size() && IsDelimiterAt(source, start, delimiters)) {
        ++start;
    }
    if (start >= source.size()) {
        position = -1;
        return std::string();
    }
    size_t end = start;
    while (end < source.size() && !IsDelimiterAt(source, end, delimiters)) {
        end = Step(source, end);
    }
    position = static_cast<int>(end + 1);
    return source.substr(start, end - start);
}

}  // namespace zelk
