// What the machine shows after a run: devices through SetupAPI, services through the service
// control manager, files; and the few changes a scenario makes to it by hand.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <wincrypt.h>

#include <memory>
#include <vector>

#include "e2e.h"
#include "support/device_tree.h"
#include "support/machine_probe.h"
#include "support/recorded_command.h"
#include "support/test_files.h"

namespace zelk::e2e {
namespace {

using wine::detail::Service;

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "stopped";
        case SERVICE_START_PENDING:
            return "start-pending";
        case SERVICE_STOP_PENDING:
            return "stop-pending";
        case SERVICE_RUNNING:
            return "running";
        default:
            return "other";
    }
}

std::string Configuration(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed > 0 ? needed : 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigA(service, config, needed, &needed)) {
        return "";
    }
    return " type=" + std::to_string(config->dwServiceType) +
           " start=" + std::to_string(config->dwStartType) +
           " group=" + (config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "") +
           " binary=" + (config->lpBinaryPathName ? config->lpBinaryPathName : "");
}

}  // namespace

bool TestSigningOn() {
    // SystemCodeIntegrityInformation and its CODEINTEGRITY_OPTION_TESTSIGN flag.
    struct CodeIntegrity {
        ULONG length;
        ULONG options;
    };
    constexpr ULONG kCodeIntegrityClass = 103;
    constexpr ULONG kTestSign = 0x02;
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    CodeIntegrity info = {sizeof(info), 0};
    return query != nullptr && query(kCodeIntegrityClass, &info, sizeof(info), nullptr) == 0 &&
           (info.options & kTestSign) != 0;
}

std::string ProgramFiles() {
    char folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA("ProgramW6432", folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? folder : "C:\\Program Files";
}

std::string SystemFolder() {
    char folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder, length < MAX_PATH ? length : 0);
}

// Wine's own newdev.dll cannot update a driver, and the certificate utility is recorded, not
// run: the installer's processes load the stand-ins from the system folder instead.
bool LayStandIns() {
    return CopyFileA(wine::BesideProgram("newdev.dll").c_str(),
                     (SystemFolder() + "\\newdev.dll").c_str(), FALSE) &&
           wine::PlaceRecorder(SystemFolder() + "\\certutil.exe");
}

std::string DescribeDevice(const std::string& hardwareId) {
    const wine::detail::DeviceSet set;
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; set.Next(index, device); ++index) {
        if (!wine::detail::ListHolds(
                wine::detail::ReadDeviceText(set.get(), device, SPDRP_HARDWAREID), hardwareId)) {
            continue;
        }
        return DescribeDeviceElement(set.get(), device);
    }
    return "none";
}

std::string DescribeDeviceElement(HDEVINFO set, SP_DEVINFO_DATA& device) {
    char instance[MAX_DEVICE_ID_LEN] = {};
    SetupDiGetDeviceInstanceIdA(set, &device, instance, MAX_DEVICE_ID_LEN, nullptr);
    ULONG status = 0;
    ULONG problem = 0;
    const bool present =
        CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) != CR_NO_SUCH_DEVINST;
    return std::string("instance=") + instance +
           " service=" + wine::detail::ReadDeviceText(set, device, SPDRP_SERVICE).c_str() +
           " present=" + (present ? "yes" : "no");
}

std::string DescribeService(const std::string& name) {
    const Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const Service service(manager ? OpenServiceA(manager.get(), name.c_str(),
                                                 SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
                                  : nullptr);
    if (!service) {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? "none" : "error=" + std::to_string(error);
    }
    SERVICE_STATUS status = {};
    const char* state =
        QueryServiceStatus(service.get(), &status) ? StateName(status.dwCurrentState) : "unknown";
    return std::string("state=") + state + Configuration(service.get());
}

bool CreateKernelService(const std::string& name, const std::string& binary) {
    const Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    const Service service(
        manager ? CreateServiceA(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
                : nullptr);
    return service.valid();
}

bool StopService(const std::string& name) {
    constexpr int kPolls = 100;
    constexpr DWORD kPollMs = 100;
    const Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const Service service(
        manager ? OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS)
                : nullptr);
    SERVICE_STATUS status = {};
    if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        return false;
    }
    for (int poll = 0; poll < kPolls && status.dwCurrentState != SERVICE_STOPPED; ++poll) {
        Sleep(kPollMs);
        QueryServiceStatus(service.get(), &status);
    }
    return status.dwCurrentState == SERVICE_STOPPED;
}

bool MarkedForDeletion(const std::string& name) {
    const Service manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const Service service(manager ? OpenServiceA(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG)
                                  : nullptr);
    // A change that changes nothing is refused only to a service marked for deletion.
    return service &&
           !ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                 SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr) &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

bool TrustedPublisher(const std::string& certificateFile) {
    const auto bytes = wine::ReadFileBytes(certificateFile);
    const std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> wanted(
        bytes ? CertCreateCertificateContext(X509_ASN_ENCODING,
                                             reinterpret_cast<const BYTE*>(bytes->data()),
                                             static_cast<DWORD>(bytes->size()))
              : nullptr,
        &CertFreeCertificateContext);
    const HCERTSTORE store =
        wanted ? CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                               CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG,
                               "TrustedPublisher")
               : nullptr;
    if (store == nullptr) {
        return false;
    }
    const PCCERT_CONTEXT found = CertFindCertificateInStore(
        store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted.get(), nullptr);
    if (found != nullptr) {
        CertFreeCertificateContext(found);
    }
    CertCloseStore(store, 0);
    return found != nullptr;
}

std::string StagedCopyOf(const std::string& inf) {
    const auto wanted = wine::ReadFileBytes(inf);
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string folder = std::string(windows) + "\\inf\\";
    WIN32_FIND_DATAA found = {};
    const HANDLE search = FindFirstFileA((folder + "*.inf").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return "";
    }
    const std::unique_ptr<void, decltype(&FindClose)> owner(search, &FindClose);
    do {
        if (wanted && wine::ReadFileBytes(folder + found.cFileName) == wanted) {
            return folder + found.cFileName;
        }
    } while (FindNextFileA(search, &found));
    return "";
}

}  // namespace zelk::e2e
