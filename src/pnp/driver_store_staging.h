// Putting an ordinary driver package into the system's driver store.
#pragma once

#include <cstddef>
#include <string>

namespace zelk {

// Results of StageDriverPackage.
constexpr int kStaged = 1;
constexpr int kAlreadyStaged = 0;
constexpr int kStagingFailed = -1;

// True when the INF file and its driver file (same folder and base name, ".sys") exist;
// otherwise writes the message naming the missing file into the buffer and returns false.
bool CheckPackageFiles(const std::string& infPath, char* messageBuffer, size_t messageBufferSize);

// Copies the package into the driver store. On kStagingFailed the buffer holds the message;
// on the other results it is left as it was.
int StageDriverPackage(const std::string& infPath, char* messageBuffer, size_t messageBufferSize);

}  // namespace zelk
