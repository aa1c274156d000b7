// Paths cut at their last backslash, a file-status test and the system directory.
#pragma once

#include <optional>
#include <string>

namespace zelk {

// Everything up to and including the last backslash; "" when there is none.
std::string DirectoryOfPath(const std::string& path);

// Everything before the last backslash, without it: the folder of a file path, the key of a
// registry location; "" when there is none.
std::string FolderOfPath(const std::string& path);

// Everything after the last backslash; the whole path when there is none.
std::string FileNameOfPath(const std::string& path);

// True when a file or a directory exists at the path exactly as given.
bool PathExists(const std::string& path);

// The system directory without a trailing backslash; nothing when it cannot be read whole into
// a buffer of MAX_PATH characters.
std::optional<std::string> SystemDirectory();

}  // namespace zelk
