// What the checker reads from a DLL that a package stores or installs: its export names and
// the names and version of its version resource. The bytes come from the package and are read
// as hostile: every offset is checked against their size before it is followed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::checker {

struct DllImage {
    std::vector<std::string> exports;
    // From the version resource; empty when it has none.
    std::string originalFilename;
    std::string internalName;
    std::string fileVersion;
};

// The DLL in bytes; nothing, with why saying what is wrong ("it is truncated in its section
// table"), when they hold no DLL image that can be read.
std::optional<DllImage> ReadDllImage(std::string_view bytes, std::string& why);

}  // namespace zelk::checker
