// Driver packages the plug-and-play tests lay on disk at run time: an INF of setup class
// CAN-HARDWARE and a dummy driver image beside it, and a look into the driver store for them.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

#include "support/machine_probe.h"
#include "support/test_files.h"

namespace zelk::wine {

// The devices of these INFs are kept by the system under Enum\ROOT\CAN-HARDWARE.
constexpr const char* kCanHardwareClassGuid = "{7C2E5A41-3B9D-4F10-A6E2-5D8C1F0B9E37}";

struct DriverModel {
    std::string hardwareId;  // the model's hardware ID, e.g. "ROOT\ZELK_VIRTUAL"
    std::string service;     // the kernel driver service the device runs under
};

// An INF that installs `model` from the driver image `driverFile` lying beside it. `note` goes
// into a comment, so that packages of different tests never have the same bytes (the driver
// store tells packages apart by content).
inline std::string CanHardwareInf(const DriverModel& model, const std::string& driverFile,
                                  const std::string& note) {
    return "[Version]\r\n"
           "Signature=\"$WINDOWS NT$\"\r\n"
           "Class=CAN-HARDWARE\r\n"
           "ClassGuid=" +
           std::string(kCanHardwareClassGuid) +
           "\r\n"
           "Provider=%Maker%\r\n"
           "DriverVer=01/15/2024,1.0.0.0\r\n"
           "; " +
           note +
           "\r\n\r\n"
           "[ClassInstall32]\r\n"
           "AddReg=Class.AddReg\r\n\r\n"
           "[Class.AddReg]\r\n"
           "HKR,,,,%ClassName%\r\n\r\n"
           "[DestinationDirs]\r\n"
           "DefaultDestDir=12\r\n\r\n"
           "[SourceDisksNames]\r\n"
           "1=%Disk%\r\n\r\n"
           "[SourceDisksFiles]\r\n" +
           driverFile +
           "=1\r\n\r\n"
           "[Manufacturer]\r\n"
           "%Maker%=Models,NTamd64\r\n\r\n"
           "[Models.NTamd64]\r\n"
           "%DeviceName%=Device.Install," +
           model.hardwareId +
           "\r\n\r\n"
           "[Device.Install.NT]\r\n"
           "CopyFiles=Device.Files\r\n\r\n"
           "[Device.Files]\r\n" +
           driverFile +
           "\r\n\r\n"
           "[Device.Install.NT.Services]\r\n"
           // 0x2 (SPSVCINST_ASSOCSERVICE): the device runs under this service.
           "AddService=" +
           model.service +
           ",0x00000002,Service.Install\r\n\r\n"
           "[Service.Install]\r\n"
           "DisplayName=%DeviceName%\r\n"
           "ServiceType=1\r\n"
           "StartType=3\r\n"
           "ErrorControl=1\r\n"
           "ServiceBinary=%12%\\" +
           driverFile +
           "\r\n\r\n"
           "[Strings]\r\n"
           "Maker=\"Zelk Test\"\r\n"
           "ClassName=\"CAN hardware\"\r\n"
           "Disk=\"Zelk test disk\"\r\n"
           "DeviceName=\"Zelk test device " +
           model.service + "\"\r\n";
}

// A line before the first section in a file without [Strings]: SetupAPI refuses to open it
// (ERROR_EXPECTED_SECTION_NAME, 0xE0000000).
inline std::string MalformedInf(const std::string& note) {
    return "this line belongs to no section\r\n"
           "[Version]\r\n"
           "Signature=\"$WINDOWS NT$\"\r\n"
           "Class=CAN-HARDWARE\r\n"
           "ClassGuid=" +
           std::string(kCanHardwareClassGuid) + "\r\n; " + note + "\r\n";
}

// An INF and its driver image (the INF's name with "sys" for its last three characters) in a
// folder of their own beside the test programs. The image is no loadable driver: a service
// that cannot start is deleted at once, where a running one would only be marked for deletion.
class PackageOnDisk {
  public:
    PackageOnDisk(const std::string& folderName, const std::string& infName,
                  const std::string& infText)
        : folder_(BesideProgram("packages\\") + folderName + "\\"), infName_(infName) {
        CreateDirectoryA(BesideProgram("packages").c_str(), nullptr);
        CreateDirectoryA(folder_.c_str(), nullptr);
        written_ = WriteTextFile(InfPath(), infText) &&
                   WriteTextFile(DriverPath(), "MZ: a placeholder, not a driver image\r\n");
    }

    bool Written() const { return written_; }
    std::string InfPath() const { return folder_ + infName_; }
    std::string DriverPath() const {
        const std::string inf = InfPath();
        return inf.substr(0, inf.size() - 3) + "sys";
    }
    std::string DriverFileName() const { return infName_.substr(0, infName_.size() - 3) + "sys"; }

  private:
    std::string folder_;
    std::string infName_;
    bool written_ = false;
};

inline std::string ReadWholeFile(const std::string& path) {
    return ReadFileBytes(path).value_or("");
}

// How many INF files of the driver store hold exactly the bytes of `infPath`. Windows names a
// staged copy oem<N>.inf; Wine keeps the file's own name while it is free.
inline int StoredCopiesOf(const std::string& infPath) {
    const std::string wanted = ReadWholeFile(infPath);
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string store = std::string(windows) + "\\inf\\";
    WIN32_FIND_DATAA found = {};
    const HANDLE search = FindFirstFileA((store + "*.inf").c_str(), &found);
    if (wanted.empty() || search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int copies = 0;
    do {
        if (ReadWholeFile(store + found.cFileName) == wanted) {
            ++copies;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return copies;
}

// The error with which SetupAPI refuses to stage the INF, asked directly; 0 if it takes it.
inline DWORD StagingRefusalOf(const std::string& infPath) {
    if (SetupCopyOEMInfA(infPath.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, nullptr, 0,
                         nullptr, nullptr)) {
        return ERROR_SUCCESS;
    }
    return GetLastError();
}

// The start of the message with which staging reports the refusal: the code as an unsigned
// decimal number; the system's text for it follows.
inline std::string StagingRefusalMessageStart(const std::string& infPath, DWORD refusal) {
    return "Error while installing " + infPath + ".\nSetupCopyOEMInf returned " +
           std::to_string(refusal) + ":\n";
}

}  // namespace zelk::wine
