// Scenery shared by the driver-installation tests: package files on disk, devices in the
// tree, and a message buffer with a guard zone behind its 540 bytes.
#pragma once

#include "machine_setup.h"
#include "sim_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace pnp_test {

using setup::AddPackage;
using setup::ClasslessInfText;
using setup::InfText;
using setup::kPackageFolder;
using setup::kRootInstances;
using setup::kUsbId;
using setup::MakeDevice;
using setup::PackageClassGuid;

inline std::vector<std::string> ArgsOf(const std::vector<winsim::Call>& calls, size_t index) {
    return index < calls.size() ? calls[index].args : std::vector<std::string>{};
}

// The caller's 540-byte buffer, holding "" on entry, with a guard zone behind it.
class MessageBuffer {
  public:
    static constexpr size_t kSize = 540;
    MessageBuffer() {
        std::memset(bytes_, kGuard, sizeof(bytes_));
        bytes_[0] = '\0';
    }
    char* data() { return bytes_; }
    size_t size() const { return kSize; }
    std::string text() const { return std::string(bytes_); }
    bool guardIntact() const {
        for (size_t i = kSize; i < sizeof(bytes_); ++i) {
            if (bytes_[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
    // True when nothing but the entry state is there: "" followed by untouched bytes.
    bool untouched() const {
        for (size_t i = 1; i < sizeof(bytes_); ++i) {
            if (bytes_[i] != kGuard) {
                return false;
            }
        }
        return bytes_[0] == '\0';
    }

  private:
    static constexpr char kGuard = '#';
    char bytes_[kSize + 64];
};

}  // namespace pnp_test
