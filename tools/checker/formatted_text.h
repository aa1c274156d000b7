// What a Formatted column (the Target of a Type 51 action) turns into at installation time,
// as far as the package alone tells: properties from the Property table, folders and
// [#file] / [!file] / [$component] paths under the standard folders' default locations.
#pragma once

#include <map>
#include <string>

#include "package_tables.h"

namespace zelk::checker {

struct ResolvedText {
    std::string text;
    // False when a part depends on the machine or the command line (an environment variable,
    // a property the package does not define); that part counts as empty in text.
    bool exact = true;
    // True when brackets nest past kMaxFormattedNesting: the rest is not followed and counts
    // as unknown.
    bool tooDeep = false;
};

// Brackets nested deeper than this are not followed, so that no package can exhaust the
// checker's stack.
constexpr int kMaxFormattedNesting = 32;

// The default location of a standard folder, ending in a backslash; "" for other names.
std::string StandardFolder(const std::string& name);

// The path, ending in a backslash, that directory key gets by default.
ResolvedText DirectoryPath(const PackageTables& tables, const std::string& directory);

ResolvedText ResolveFormatted(const PackageTables& tables, const std::string& formatted);

// The same with the properties a session holds at that moment (an unset one formats as empty
// and leaves the text exact: the session knows it is unset).
using Properties = std::map<std::string, std::string>;
ResolvedText ResolveFormatted(const PackageTables& tables, const std::string& formatted,
                              const Properties& properties);

// Whether name is one file's name that opens a file of that name and nothing else: no folder,
// no drive or stream, no device (NUL, COM1, ...), not "." or "..".
bool IsPlainFileName(const std::string& name);

// Whether the checker may read the file at path, where a package says it installs a file: a
// local path below one of the standard folders other than a drive's root, each part a plain file
// name. A package chooses this path, so UNC paths, devices and "\\?\" paths are never opened.
bool MayReadInstalledFile(const std::string& path);

}  // namespace zelk::checker
