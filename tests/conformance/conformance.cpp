// The test's own hands on the machine: winsim's control API on the host, the real system on
// Windows. Nothing here is under test.
#include "conformance.h"
#include "probe/property_probe.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include "support/machine_facts.h"
#include "support/wine_detection.h"
#else
#include <winsim/control.h>
#endif

namespace conformance {
namespace {

std::string CaseName() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->test_suite_name()) + "." + test->name();
}

}  // namespace

std::string TestKey() {
    return "SOFTWARE\\ZelkConformance\\" + CaseName();
}

void Unconfirmed(const char* tag, const char* why) {
    std::cout << "[UNCONFIRMED] " << tag << ": " << why << "\n";
    ::testing::Test::RecordProperty(std::string("unconfirmed:") + tag, why);
}

void Weigh(const char* tag, Evidence evidence, const char* sources) {
    const char* kind = evidence == Evidence::Indirect ? "indirect" : "conflicting";
    std::cout << "[ EVIDENCE  ] " << tag << " (" << kind << "): " << sources << "\n";
    ::testing::Test::RecordProperty(std::string("evidence_") + kind + ":" + tag, sources);
}

bool OnRealWindows() {
#ifdef _WIN32
    return !UnderWine();
#else
    return false;
#endif
}

#ifdef _WIN32

namespace {

constexpr const char* kFolder = "C:\\zelk-conformance\\";

// The position of the last backslash that is a character of its own, not a trail byte.
size_t LastSeparator(const std::string& path) {
    size_t last = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(path[i]))) {
            ++i;
        } else if (path[i] == '\\') {
            last = i;
        }
    }
    return last;
}

std::string BesideProgram(const std::string& fileName) {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1) + fileName;
}

}  // namespace

using WineGetVersion = const char*(CDECL*)();

WineGetVersion FindWineGetVersion() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<WineGetVersion>(reinterpret_cast<void (*)()>(
                                  GetProcAddress(ntdll, "wine_get_version")));
}

bool UnderWine() {
    return zelk::wine::UnderWine();
}

void WindowsBranch(const std::string& name) {
    zelk::wine::WindowsBranch(name);
}

std::string MachineLacks(Need need) {
    switch (need) {
        case Need::CodePage932:
            return zelk::wine::MachineLacks(zelk::wine::Need::CodePage932);
        case Need::CodePage1252:
            return zelk::wine::MachineLacks(zelk::wine::Need::CodePage1252);
        case Need::LoadableDriver:
            return zelk::wine::MachineLacks(zelk::wine::Need::LoadableDriver);
        case Need::EnumTree:
            return zelk::wine::MachineLacks(zelk::wine::Need::EnumTree);
    }
    return "";
}

std::string WineVersion() {
    const WineGetVersion version = FindWineGetVersion();
    return version ? version() : "";
}

void PutFolder(const std::string& path) {
    const size_t parent = LastSeparator(path);
    if (parent != std::string::npos && parent > 2) {
        PutFolder(path.substr(0, parent));
    }
    CreateDirectoryA(path.c_str(), nullptr);
}

void PutFile(const std::string& path, const std::string& text) {
    PutFolder(path.substr(0, LastSeparator(path)));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string TestFolder() {
    const std::string folder = kFolder + CaseName() + "\\";
    PutFolder(folder);
    return folder;
}

void PutAbsentDevice(const std::string& instanceId, const std::string& hardwareId,
                     const GUID& classGuid) {
    RegKeyHandle key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                              ("SYSTEM\\CurrentControlSet\\Enum\\" + instanceId).c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    const std::string ids = hardwareId + std::string(2, '\0');
    RegSetValueExA(key.get(), "HardwareID", 0, REG_MULTI_SZ,
                   reinterpret_cast<const BYTE*>(ids.data()), static_cast<DWORD>(ids.size()));
    char guid[40] = {};
    std::snprintf(guid, sizeof(guid), "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned long>(classGuid.Data1), classGuid.Data2, classGuid.Data3,
                  classGuid.Data4[0], classGuid.Data4[1], classGuid.Data4[2], classGuid.Data4[3],
                  classGuid.Data4[4], classGuid.Data4[5], classGuid.Data4[6], classGuid.Data4[7]);
    RegSetValueExA(key.get(), "ClassGUID", 0, REG_SZ, reinterpret_cast<const BYTE*>(guid),
                   static_cast<DWORD>(std::strlen(guid) + 1));
}

MSIHANDLE OpenSession() {
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MSIHANDLE session = 0;
    if (MsiOpenPackageA(BesideProgram("conformance_session.msi").c_str(), &session) ==
        ERROR_SUCCESS) {
        MsiSetPropertyA(session, "Probe", "value");
    }
    return session;
}

void CloseSession(MSIHANDLE session) {
    MsiCloseHandle(session);
}

std::string ProbeInCustomAction(MSIHANDLE session) {
    const UINT ran = MsiDoActionA(session, kProbeAction);
    if (ran != ERROR_SUCCESS) {
        return "custom action failed: " + std::to_string(ran);
    }
    char answer[256] = {};
    DWORD size = sizeof(answer);
    MsiGetPropertyA(session, kProbeAnswer, answer, &size);
    return answer;
}

std::string ProbeLocally(MSIHANDLE session) {
    return ProbePropertySizes(session);
}

std::string LoadableDriver() {
    return BesideProgram("zelk_testdrv.sys");
}

void PutRecordingProgram(const std::string& path) {
    PutFolder(path.substr(0, LastSeparator(path)));
    CopyFileA(BesideProgram("record_args.exe").c_str(), path.c_str(), FALSE);
}

std::string RecordedCommandLine(const std::string& path) {
    HANDLE file = CreateFileA((path + ".args").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "";
    }
    char buffer[1024] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

bool UseCodePage(UINT codePage) {
    return GetACP() == codePage;
}

void Pause(DWORD milliseconds) {
    Sleep(milliseconds);
}

bool FilteredTokenAvailable() {
    return false;
}

void UseFilteredToken() {}

void Case::SetUp() {
    zelk::wine::WindowsBranchSink() = [](const std::string& name, const std::string& value) {
        ::testing::Test::RecordProperty(name, value);
    };
    RegKeyHandle key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, TestKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    key.put(), nullptr);
}

#else

bool UnderWine() {
    return false;
}

// winsim gives the Windows answers on every path: none is a branch of its own here.
void WindowsBranch(const std::string&) {}

// The host sets up whatever a case needs.
std::string MachineLacks(Need) {
    return "";
}

std::string WineVersion() {
    return "";
}

void PutFolder(const std::string& path) {
    winsim::AddDirectory(path);
}

void PutFile(const std::string& path, const std::string& text) {
    winsim::WriteFile(path, text);
}

std::string TestFolder() {
    const std::string folder = "C:\\zelk-conformance\\" + CaseName() + "\\";
    winsim::AddDirectory(folder);
    return folder;
}

void PutAbsentDevice(const std::string& instanceId, const std::string& hardwareId,
                     const GUID& classGuid) {
    winsim::Device device;
    device.instanceId = instanceId;
    device.hardwareIds = {hardwareId};
    device.present = false;
    device.classGuid = classGuid;
    winsim::AddDevice(device);
}

MSIHANDLE OpenSession() {
    MSIHANDLE session = winsim::OpenSession();
    winsim::SetProperty(session, "Probe", "value");
    return session;
}

void CloseSession(MSIHANDLE) {}  // the installer owns the sessions it hands out

std::string ProbeInCustomAction(MSIHANDLE session) {
    return ProbePropertySizes(session);
}

// A session the caller opened itself: winsim's local view, with the same property.
std::string ProbeLocally(MSIHANDLE) {
    const MSIHANDLE local = winsim::OpenSession(winsim::SessionView::Local);
    winsim::SetProperty(local, "Probe", "value");
    return ProbePropertySizes(local);
}

void PutRecordingProgram(const std::string& path) {
    winsim::AddFile(path);
}

// The simulated program ends at once; the latest launch is the one a case asks about.
std::string RecordedCommandLine(const std::string&) {
    const auto& launches = winsim::Launches();
    return launches.empty() ? "" : launches.back().commandLine;
}

std::string LoadableDriver() {
    const std::string path = "C:\\zelk-conformance\\zelk_testdrv.sys";
    winsim::AddFile(path);
    return path;
}

bool UseCodePage(UINT codePage) {
    winsim::SetCodePage(codePage);
    return true;
}

void Pause(DWORD) {}

bool FilteredTokenAvailable() {
    return true;
}

void UseFilteredToken() {
    winsim::SetElevated(false);
}

// The parts of a machine the cases take for granted.
void Case::SetUp() {
    winsim::Reset();
    winsim::AddDirectory("C:\\Windows\\system32\\drivers");
    winsim::AddFile("C:\\Windows\\system32\\cmd.exe");
    winsim::SetCurrentDirectory("C:\\zelk-tests");  // where the Wine runner starts the suite
    winsim::CreateKey("SYSTEM\\CurrentControlSet\\Services");
    winsim::CreateKey("HARDWARE");
    winsim::CreateKey(TestKey());
}

#endif

}  // namespace conformance
