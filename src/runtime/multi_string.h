// Lists of NUL-terminated strings ended by an empty string, as device properties hold them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zelk {

// The first string of the list, read within `size` bytes, that equals `wanted` as a whole
// without regard to case; the list's own text of it, or nullopt. The walk ends at the list's
// closing empty string or at `size`.
std::optional<std::string> FindInMultiString(const char* strings, size_t size,
                                             const std::string& wanted);

}  // namespace zelk
