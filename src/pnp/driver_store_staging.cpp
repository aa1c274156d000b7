#include "pnp/driver_store_staging.h"

#include "platform/win32.h"
#include "runtime/format_text.h"
#include "runtime/handles.h"
#include "runtime/paths.h"

namespace zelk {
namespace {

constexpr size_t kExtensionLength = 3;
constexpr DWORD kStoredNameSize = MAX_PATH;
constexpr DWORD kSystemTextFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kSystemTextLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// The driver image lies beside the INF: only the last three characters change.
std::string DriverFileOf(const std::string& infPath) {
    const size_t stem = infPath.size() >= kExtensionLength ? infPath.size() - kExtensionLength : 0;
    return infPath.substr(0, stem) + "sys";
}

// The system's own text for an error code; "" when it has none.
void WriteStagingError(const std::string& infPath, DWORD error, char* messageBuffer,
                       size_t messageBufferSize) {
    char* allocated = nullptr;
    const DWORD length = FormatMessageA(kSystemTextFlags, nullptr, error, kSystemTextLanguage,
                                        reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    LocalText systemText(allocated);
    const char* shown = length != 0 && systemText ? systemText.get() : "";
    FormatText(messageBuffer, messageBufferSize,
               "Error while installing %s.\nSetupCopyOEMInf returned %u:\n%s", infPath.c_str(),
               error, shown);
}

}  // namespace

bool CheckPackageFiles(const std::string& infPath, char* messageBuffer, size_t messageBufferSize) {
    if (!PathExists(infPath)) {
        FormatText(messageBuffer, messageBufferSize, "INF file %s not found", infPath.c_str());
        return false;
    }
    const std::string driverFile = DriverFileOf(infPath);
    if (!PathExists(driverFile)) {
        FormatText(messageBuffer, messageBufferSize, "Driver file %s not found",
                   driverFile.c_str());
        return false;
    }
    return true;
}

int StageDriverPackage(const std::string& infPath, char* messageBuffer, size_t messageBufferSize) {
    if (!CheckPackageFiles(infPath, messageBuffer, messageBufferSize)) {
        return kStagingFailed;
    }
    char storedName[kStoredNameSize] = {};
    if (SetupCopyOEMInfA(infPath.c_str(), nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, storedName,
                         kStoredNameSize, nullptr, nullptr)) {
        return kStaged;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS) {
        return kAlreadyStaged;
    }
    WriteStagingError(infPath, error, messageBuffer, messageBufferSize);
    return kStagingFailed;
}

}  // namespace zelk
