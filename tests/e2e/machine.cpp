// What only the end-to-end program reads of the machine (signing, the certificate stores), and
// the few changes a scenario makes to it by hand; the rest is read as the try tool reads it.
#include <windows.h>
#include <msiquery.h>
#include <wincrypt.h>

#include <memory>

#include "e2e.h"
#include "support/machine_probe.h"
#include "support/test_files.h"

namespace zelk::e2e {
namespace {

using wine::detail::Service;

}  // namespace

std::string ProgramFiles() {
    char folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA("ProgramW6432", folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? folder : "C:\\Program Files";
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

bool UnloadDriverOfRemovedDevice(const std::string& service) {
    // What Wine keeps loaded, whichever branches the program takes; Windows unloads it itself.
    if (!wine::WineBeneath() || !MarkedForDeletion(service)) {
        return true;
    }
    wine::WineCannotServe("driver_unloaded_with_device",
                          "Wine keeps a removed device's driver loaded; it is stopped here");
    return StopService(service);
}

std::string ProductCodeOf(const std::string& package) {
    zelk::MsiRecord database;
    zelk::MsiRecord view;
    zelk::MsiRecord record;
    if (MsiOpenDatabaseA(wine::BesideProgram(package).c_str(), MSIDBOPEN_READONLY,
                         database.put()) != ERROR_SUCCESS ||
        MsiDatabaseOpenViewA(database.get(),
                             "SELECT `Value` FROM `Property` WHERE `Property` = 'ProductCode'",
                             view.put()) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), 0) != ERROR_SUCCESS ||
        MsiViewFetch(view.get(), record.put()) != ERROR_SUCCESS) {
        return "";
    }
    char code[64] = {};
    DWORD size = sizeof(code);
    return MsiRecordGetStringA(record.get(), 1, code, &size) == ERROR_SUCCESS ? code : "";
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

}  // namespace zelk::e2e
