// One open registry key with the operations the actions need.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zelk {

class RegistryKey {
  public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { Close(); }

    // Opens `path` below `parent`; on failure the holder keeps what it held.
    LONG Open(HKEY parent, const std::string& path, REGSAM access);

    // Deletes a subkey (which must have no subkeys of its own) in the view the key was opened
    // in, through RegDeleteKeyExA where the system has it, RegDeleteKeyA otherwise.
    LONG DeleteSubKey(const std::string& name);

    void Close();

    HKEY get() const { return key_; }
    bool isOpen() const { return key_ != nullptr; }

  private:
    HKEY key_ = nullptr;
    REGSAM view_ = 0;
};

}  // namespace zelk
