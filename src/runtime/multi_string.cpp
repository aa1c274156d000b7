#include "runtime/multi_string.h"

#include "runtime/ansi_text.h"

namespace zelk {

std::optional<std::string> FindInMultiString(const char* strings, size_t size,
                                             const std::string& wanted) {
    size_t start = 0;
    while (start < size) {
        const size_t length = LengthWithin(strings + start, size - start);
        if (length == 0) {
            return std::nullopt;
        }
        std::string candidate(strings + start, length);
        if (EqualsIgnoreCase(candidate, wanted)) {
            return candidate;
        }
        start += length + 1;
    }
    return std::nullopt;
}

}  // namespace zelk
