// What a Formatted column (the Target of a Type 51 action) turns into at installation time,
// as far as the package alone tells: properties from the Property table, folders and
// [#file] / [!file] / [$component] paths under the standard folders' default locations.
#pragma once

#include <string>

#include "package_tables.h"

namespace zelk::checker {

struct ResolvedText {
    std::string text;
    // False when a part depends on the machine or the command line (an environment variable,
    // a property the package does not define); that part counts as empty in text.
    bool exact = true;
};

// The default location of a standard folder, ending in a backslash; "" for other names.
std::string StandardFolder(const std::string& name);

// The path, ending in a backslash, that directory key gets by default.
ResolvedText DirectoryPath(const PackageTables& tables, const std::string& directory);

ResolvedText ResolveFormatted(const PackageTables& tables, const std::string& formatted);

}  // namespace zelk::checker
