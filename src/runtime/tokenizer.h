// Cutting a property value into tokens.
#pragma once

#include <string>
#include <vector>

namespace zelk {

// Ordered tokens, appended at the back and read from the front.
using TokenList = std::vector<std::string>;

// Returns the next token of `source` at or after `position` and moves `position` one past the
// delimiter that ended it. Runs of delimiters count as one; "" (with `position` = -1) means
// no token is left. A delimiter byte that is the trail byte of a double-byte character is
// part of that character, not a delimiter.
std::string NextToken(const std::string& source, const std::string& delimiters, int& position);

}  // namespace zelk
