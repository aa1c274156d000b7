// A real installer session on the empty test package, as a custom action receives one.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "support/test_files.h"

namespace zelk::wine {

class InstallerSession {
  public:
    InstallerSession() {
        // No installer dialog may appear in a test run.
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        const std::string package = BesideProgram("session.msi");
        openResult_ = MsiOpenPackageA(package.c_str(), &handle_);
    }
    ~InstallerSession() {
        if (handle_ != 0) {
            MsiCloseHandle(handle_);
        }
    }
    InstallerSession(const InstallerSession&) = delete;
    InstallerSession& operator=(const InstallerSession&) = delete;

    bool IsOpen() const { return handle_ != 0; }
    UINT OpenResult() const { return openResult_; }
    MSIHANDLE Handle() const { return handle_; }

    // The installer stores no empty property: setting "" removes it.
    UINT SetProperty(const char* name, const std::string& value) const {
        return MsiSetPropertyA(handle_, name, value.c_str());
    }
    UINT SetActionData(const std::string& value) const {
        return SetProperty("CustomActionData", value);
    }

    std::string Property(const char* name) const {
        DWORD size = 0;
        char probe[1] = {};
        if (MsiGetPropertyA(handle_, name, probe, &size) != ERROR_MORE_DATA) {
            return "";
        }
        std::string value(size + 1, '\0');
        size = static_cast<DWORD>(value.size());
        if (MsiGetPropertyA(handle_, name, value.data(), &size) != ERROR_SUCCESS) {
            return "";
        }
        value.resize(size);
        return value;
    }

  private:
    MSIHANDLE handle_ = 0;
    UINT openResult_ = ERROR_SUCCESS;
};

}  // namespace zelk::wine
