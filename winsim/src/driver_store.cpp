// The driver store: SetupCopyOEMInfA stages a package's INF as "oem<N>.inf" in the INF folder,
// once per INF file name and text.
#include "devices.h"

#include <map>

namespace winsim {
namespace {

constexpr const char* kInfFolder = "C:\\Windows\\INF\\";
constexpr DWORD kWrongInfType = 0xE000024A;  // ERROR_WRONG_INF_TYPE

struct DriverStore {
    std::vector<StagedPackage> staged;
    std::map<std::string, DWORD> refused;  // by upper-cased INF path
};

constexpr auto State = detail::AreaState<DriverStore>;

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const StagedPackage* FindStaged(const std::string& infPath, const std::string& text) {
    for (const StagedPackage& package : State().staged) {
        if (detail::EqualNoCase(FileNameOf(package.sourcePath), FileNameOf(infPath)) &&
            detail::FileText(package.storedPath) == text) {
            return &package;
        }
    }
    return nullptr;
}

std::string NextStoredPath() {
    for (unsigned number = 0;; ++number) {
        std::string stored = kInfFolder + ("oem" + std::to_string(number) + ".inf");
        if (!FileExists(stored)) {
            return stored;
        }
    }
}

void Stage(const std::string& infPath, const std::string& text) {
    std::string stored = NextStoredPath();
    WriteFile(stored, text);
    State().staged.push_back(StagedPackage{infPath, stored});
}

// Whether the INF can be staged at all; the error SetupCopyOEMInfA answers if not.
DWORD CheckStageable(const std::string& infPath, const std::optional<std::string>& text) {
    if (!text) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (detail::InstallDenied()) {
        return ERROR_ACCESS_DENIED;
    }
    if (DWORD error = detail::InfSyntaxError(*text); error != 0) {
        return error;
    }
    if (!detail::DescribesDriverPackage(*text)) {
        return kWrongInfType;
    }
    const DWORD* refused = detail::FindIn(State().refused, detail::Upper(infPath));
    return refused ? *refused : DWORD{ERROR_SUCCESS};
}

}  // namespace

std::vector<StagedPackage> StagedPackages() {
    return State().staged;
}

void StagePackage(const std::string& infPath) {
    std::optional<std::string> text = detail::FileText(infPath);
    if (text && FindStaged(infPath, *text) == nullptr) {
        Stage(infPath, *text);
    }
}

void RefusePackage(const std::string& infPath, DWORD error) {
    State().refused[detail::Upper(infPath)] = error;
}

}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

BOOL WINAPI SetupCopyOEMInfA(PCSTR sourceInfFileName, PCSTR oemSourceMediaLocation,
                             DWORD oemSourceMediaType, DWORD copyStyle, PSTR destinationInfFileName,
                             DWORD destinationInfFileNameSize, PDWORD requiredSize,
                             PSTR* destinationInfFileNameComponent) {
    return Simulate(
        kClearingBool, "SetupCopyOEMInfA",
        {Str(sourceInfFileName), Str(oemSourceMediaLocation), Num(oemSourceMediaType),
         Num(copyStyle), Ptr(destinationInfFileName), Num(destinationInfFileNameSize),
         Ptr(requiredSize), Ptr(destinationInfFileNameComponent)},
        [&]() -> DWORD {
            if (sourceInfFileName == nullptr || oemSourceMediaType > SPOST_URL ||
                (destinationInfFileName == nullptr && destinationInfFileNameSize != 0)) {
                return ERROR_INVALID_PARAMETER;
            }
            std::optional<std::string> text = FileText(sourceInfFileName);
            if (DWORD error = CheckStageable(sourceInfFileName, text); error != ERROR_SUCCESS) {
                return error;
            }
            const StagedPackage* existing = FindStaged(sourceInfFileName, *text);
            const std::string stored = existing ? existing->storedPath : NextStoredPath();
            const auto needed = static_cast<DWORD>(stored.size() + 1);
            Put(requiredSize, needed);
            auto answerName = [&] {
                if (CopyOut(stored.c_str(), needed, destinationInfFileName,
                            destinationInfFileNameSize, nullptr) == ERROR_SUCCESS) {
                    Put(destinationInfFileNameComponent,
                        destinationInfFileName + stored.find_last_of('\\') + 1);
                }
            };
            if (existing && (copyStyle & SP_COPY_NOOVERWRITE)) {
                answerName();
                return ERROR_FILE_EXISTS;
            }
            if (destinationInfFileName != nullptr && destinationInfFileNameSize < needed) {
                return ERROR_INSUFFICIENT_BUFFER;
            }
            if (!existing) {
                Stage(sourceInfFileName, *text);
            }
            answerName();
            return ERROR_SUCCESS;
        });
}
