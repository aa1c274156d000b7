// setupapi, cfgmgr32 and newdev over a simulated device tree and driver store. Device
// properties live on the device; its instance key below Enum mirrors them, as on Windows.
#include "machine.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace winsim {
namespace {

constexpr const char* kEnumKey = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr const char* kInfFolder = "C:\\Windows\\INF\\";
constexpr const char* kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\";

// A device instance: registered in the tree, or still an element of the list that created it.
struct Node {
    std::string instanceId;
    std::optional<std::vector<BYTE>> hardwareIds;
    bool present = true;
    std::optional<DWORD> configFlags;
    std::string service;
    std::string className;
    GUID classGuid{};
    std::string driverInf;
    bool hasBestDriver = false;
    bool registered = false;
};

struct DeviceInfoList {
    std::optional<GUID> classGuid;
    std::vector<DEVINST> elements;  // an element whose node is gone was removed
    std::unordered_set<DEVINST> members;

    void Add(DEVINST devInst) {
        elements.push_back(devInst);
        members.insert(devInst);
    }
};

// Every lookup of a device is a hash lookup, so that a property read costs the same in a tree of
// any size; the order of creation is that of the devnode numbers.
struct Devices {
    std::unordered_map<DEVINST, Node> nodes;
    std::unordered_map<std::string, DEVINST> byId;  // by upper-cased instance ID
    std::set<DeviceInfoList*> lists;
    DEVINST nextDevInst = 1;
    DWORD pendingWait = WAIT_OBJECT_0;
    std::map<std::string, DWORD> refused;  // by upper-cased INF path
    std::vector<StagedPackage> staged;
    std::map<std::string, DriverOffer> offers;  // by upper-cased INF path
};

Devices& State() {
    static Devices devices;
    return devices;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::optional<GUID> ParseGuid(const std::string& text) {
    unsigned int parts[11] = {};
    char close = 0;
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &parts[0], &parts[1],
                    &parts[2], &parts[3], &parts[4], &parts[5], &parts[6], &parts[7], &parts[8],
                    &parts[9], &parts[10], &close) != 12 ||
        close != '}') {
        return std::nullopt;
    }
    GUID guid{};
    guid.Data1 = parts[0];
    guid.Data2 = static_cast<uint16_t>(parts[1]);
    guid.Data3 = static_cast<uint16_t>(parts[2]);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = static_cast<uint8_t>(parts[3 + i]);
    }
    return guid;
}

// The name a device class is registered under on this machine; "" for a class not installed.
std::string RegisteredClassName(const GUID& guid) {
    return StringValue(std::string(kClassKey) + GuidText(guid), "Class").value_or("");
}

std::vector<BYTE> MultiString(const std::vector<std::string>& strings) {
    std::vector<BYTE> data;
    for (const std::string& text : strings) {
        data.insert(data.end(), text.begin(), text.end());
        data.push_back(0);
    }
    data.push_back(0);
    return data;
}

// The strings of a multi-string, up to its closing empty string or the end of the data.
std::vector<std::string> Strings(const std::vector<BYTE>& data) {
    std::vector<std::string> strings;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = start;
        while (end < data.size() && data[end] != 0) {
            ++end;
        }
        if (end == start) {
            break;
        }
        strings.emplace_back(data.begin() + start, data.begin() + end);
        start = end + 1;
    }
    return strings;
}

std::string EnumKeyOf(const Node& node) {
    return kEnumKey + node.instanceId;
}

// Writes the instance key of a registered device from its properties.
void MirrorToRegistry(const Node& node) {
    const std::string key = EnumKeyOf(node);
    CreateKey(key);
    if (node.hardwareIds) {
        SetValue(key, "HardwareID", REG_MULTI_SZ, *node.hardwareIds);
    }
    if (node.configFlags) {
        SetDword(key, "ConfigFlags", *node.configFlags);
    }
    if (!node.service.empty()) {
        SetString(key, "Service", node.service);
    }
    if (!node.className.empty()) {
        SetString(key, "Class", node.className);
    }
    SetString(key, "ClassGUID", GuidText(node.classGuid));
}

Node* FindNode(const std::string& instanceId, bool registeredOnly) {
    auto id = State().byId.find(detail::Upper(instanceId));
    if (id == State().byId.end()) {
        return nullptr;
    }
    Node& node = State().nodes.at(id->second);
    return node.registered || !registeredOnly ? &node : nullptr;
}

// Visits the devnodes in the order they were created.
template <class Visit>
void ForEachNode(Visit visit) {
    for (DEVINST devInst = 1; devInst < State().nextDevInst; ++devInst) {
        auto found = State().nodes.find(devInst);
        if (found != State().nodes.end()) {
            visit(devInst, found->second);
        }
    }
}

void RemoveNode(DEVINST devInst) {
    auto found = State().nodes.find(devInst);
    if (found != State().nodes.end()) {
        State().byId.erase(detail::Upper(found->second.instanceId));
        State().nodes.erase(found);
    }
}

DeviceInfoList* FindList(HDEVINFO handle) {
    auto* list = static_cast<DeviceInfoList*>(handle);
    return State().lists.count(list) ? list : nullptr;
}

// Resolves a list and one of its elements to the device behind it; the error on failure.
DWORD ResolveElement(HDEVINFO handle, PSP_DEVINFO_DATA data, Node*& node) {
    DeviceInfoList* list = FindList(handle);
    if (list == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    if (list->members.count(data->DevInst) == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    auto found = State().nodes.find(data->DevInst);
    if (found == State().nodes.end()) {
        return ERROR_NO_SUCH_DEVINST;
    }
    node = &found->second;
    return ERROR_SUCCESS;
}

void FillElement(const Node& node, DEVINST devInst, PSP_DEVINFO_DATA data) {
    data->ClassGuid = node.classGuid;
    data->DevInst = devInst;
    data->Reserved = devInst;
}

DEVINST AddNode(Node node) {
    DEVINST devInst = State().nextDevInst++;
    State().byId[detail::Upper(node.instanceId)] = devInst;
    State().nodes[devInst] = std::move(node);
    return devInst;
}

// The lowest four-digit instance number under ROOT\<name> that neither a device nor a
// leftover instance key uses.
std::string GenerateRootInstanceId(const std::string& name) {
    const std::string prefix = "ROOT\\" + detail::Upper(name) + "\\";
    for (unsigned number = 0;; ++number) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%04u", number);
        std::string id = prefix + digits;
        if (FindNode(id, false) == nullptr && !KeyExists(kEnumKey + id)) {
            return id;
        }
    }
}

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

// Class and ClassGuid of an INF's [Version] section.
struct InfVersion {
    std::optional<std::string> className;
    std::optional<std::string> classGuid;
};

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string Unquote(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

InfVersion ReadInfVersion(const std::string& text) {
    InfVersion version;
    bool inVersion = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() + 1 : end + 1;
        line = Trim(line.substr(0, line.find(';')));
        if (!line.empty() && line.front() == '[') {
            inVersion = detail::EqualNoCase(line, "[Version]");
            continue;
        }
        size_t equals = line.find('=');
        if (!inVersion || equals == std::string::npos) {
            continue;
        }
        std::string key = Trim(line.substr(0, equals));
        std::string value = Unquote(Trim(line.substr(equals + 1)));
        if (detail::EqualNoCase(key, "Class")) {
            version.className = value;
        } else if (detail::EqualNoCase(key, "ClassGuid")) {
            version.classGuid = value;
        }
    }
    return version;
}

// Whether the package at `infPath` would replace the device's current driver.
bool IsBetterMatch(const Node& node, const std::string& infPath, DWORD flags) {
    if (flags & INSTALLFLAG_FORCE) {
        return true;
    }
    return !node.hasBestDriver && !detail::EqualNoCase(node.driverInf, infPath);
}

bool CarriesHardwareId(const Node& node, const std::string& hardwareId) {
    if (!node.hardwareIds) {
        return false;
    }
    for (const std::string& id : Strings(*node.hardwareIds)) {
        if (detail::EqualNoCase(id, hardwareId)) {
            return true;
        }
    }
    return false;
}

// Copies a property value out as SetupDiGetDeviceRegistryProperty does.
DWORD CopyProperty(DWORD type, const std::vector<BYTE>& value, PDWORD typeOut, PBYTE buffer,
                   DWORD size, PDWORD required) {
    if (typeOut) {
        *typeOut = type;
    }
    const auto needed = static_cast<DWORD>(value.size());
    if (required) {
        *required = needed;
    }
    if (buffer == nullptr && size != 0) {
        return ERROR_INVALID_USER_BUFFER;
    }
    if (size < needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (needed > 0) {
        std::memcpy(buffer, value.data(), needed);
    }
    return ERROR_SUCCESS;
}

// SetupAPI clears the last error when a call succeeds.
BOOL Succeed() {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

constexpr DWORD kExpectedSectionName = 0xE0000000;  // ERROR_EXPECTED_SECTION_NAME
constexpr DWORD kWrongInfStyle = 0xE0000100;        // ERROR_WRONG_INF_STYLE

// Whether a [Version] section signs the text as a Windows INF.
bool SignedAsInf(const std::string& text) {
    const std::string lower = detail::Lower(text);
    const size_t version = lower.find("[version]");
    if (version == std::string::npos) {
        return false;
    }
    for (const char* signature : {"$chicago$", "$windows nt$", "$windows 95$"}) {
        if (lower.find(signature, version) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// How the INF parser answers a text that is no INF: no section at all, or lines before the
// first section (a syntax error only where a signed header follows them); 0 for a text it reads.
DWORD InfSyntaxError(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line =
            Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (!line.empty() && line.front() != ';') {
            if (line.front() == '[') {
                return 0;
            }
            return SignedAsInf(text) ? kExpectedSectionName : kWrongInfStyle;
        }
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return kWrongInfStyle;
}

// Device installation needs an administrator's full token.
bool Denied() {
    return !detail::Elevated();
}

std::vector<BYTE> TextBytes(const std::string& text) {
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

}  // namespace

DEVINST AddDevice(const Device& device) {
    if (Node* existing = FindNode(device.instanceId, false)) {
        DeleteKeyTree(EnumKeyOf(*existing));
        RemoveNode(State().byId.at(detail::Upper(device.instanceId)));
    }
    Node node;
    node.instanceId = device.instanceId;
    if (!device.hardwareIds.empty()) {
        node.hardwareIds = MultiString(device.hardwareIds);
    }
    node.present = device.present;
    node.configFlags = device.configFlags;
    node.service = device.service;
    node.className = device.className;
    node.classGuid = device.classGuid;
    node.driverInf = device.driverInf;
    node.hasBestDriver = device.hasBestDriver;
    node.registered = true;
    MirrorToRegistry(node);
    return AddNode(std::move(node));
}

void SetDevicePresent(const std::string& instanceId, bool present) {
    if (Node* node = FindNode(instanceId, true)) {
        node->present = present;
    }
}

std::optional<Device> FindDevice(const std::string& instanceId) {
    const Node* node = FindNode(instanceId, true);
    if (node == nullptr) {
        return std::nullopt;
    }
    Device device;
    device.instanceId = node->instanceId;
    if (node->hardwareIds) {
        device.hardwareIds = Strings(*node->hardwareIds);
    }
    device.present = node->present;
    device.configFlags = node->configFlags;
    device.service = node->service;
    device.className = node->className;
    device.classGuid = node->classGuid;
    device.driverInf = node->driverInf;
    device.hasBestDriver = node->hasBestDriver;
    return device;
}

std::vector<std::string> DeviceInstanceIds() {
    std::vector<std::string> ids;
    ForEachNode([&](DEVINST, const Node& node) {
        if (node.registered) {
            ids.push_back(node.instanceId);
        }
    });
    return ids;
}

std::optional<std::vector<BYTE>> DeviceHardwareIdData(const std::string& instanceId) {
    const Node* node = FindNode(instanceId, true);
    return node ? node->hardwareIds : std::nullopt;
}

int UnregisteredDeviceElements() {
    int count = 0;
    for (const auto& entry : State().nodes) {
        count += entry.second.registered ? 0 : 1;
    }
    return count;
}

void SetPendingInstallWait(DWORD result) {
    State().pendingWait = result;
}

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

void OfferDriver(const std::string& infPath, DriverOffer offer) {
    State().offers[detail::Upper(infPath)] = std::move(offer);
}

namespace detail {
void ResetDevices() {
    for (DeviceInfoList* list : State().lists) {
        delete list;
    }
    State() = Devices{};
}
}  // namespace detail

}  // namespace winsim

using winsim::Num;
using winsim::Str;
using winsim::detail::Enter;
using winsim::detail::Fail;

DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD timeout) {
    using namespace winsim;
    auto failure = Enter("CMP_WaitNoPendingInstallEvents", {Num(timeout)});
    if (failure) {
        SetLastError(failure->error);
        return static_cast<DWORD>(failure->result.value_or(WAIT_FAILED));
    }
    return State().pendingWait;
}

BOOL WINAPI SetupCopyOEMInfA(PCSTR sourceInfFileName, PCSTR oemSourceMediaLocation,
                             DWORD oemSourceMediaType, DWORD copyStyle, PSTR destinationInfFileName,
                             DWORD destinationInfFileNameSize, PDWORD requiredSize,
                             PSTR* destinationInfFileNameComponent) {
    using namespace winsim;
    auto failure =
        Enter("SetupCopyOEMInfA",
              {Str(sourceInfFileName), Str(oemSourceMediaLocation), Num(oemSourceMediaType),
               Num(copyStyle), detail::Ptr(destinationInfFileName), Num(destinationInfFileNameSize),
               detail::Ptr(requiredSize), detail::Ptr(destinationInfFileNameComponent)});
    if (failure) {
        return Fail(failure->error);
    }
    if (sourceInfFileName == nullptr || oemSourceMediaType > SPOST_URL ||
        (destinationInfFileName == nullptr && destinationInfFileNameSize != 0)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::optional<std::string> text = detail::FileText(sourceInfFileName);
    if (!text) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    if (Denied()) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (DWORD error = InfSyntaxError(*text); error != 0) {
        return Fail(error);
    }
    if (auto refused = State().refused.find(detail::Upper(sourceInfFileName));
        refused != State().refused.end()) {
        return Fail(refused->second);
    }
    const StagedPackage* existing = FindStaged(sourceInfFileName, *text);
    const std::string stored = existing ? existing->storedPath : NextStoredPath();
    const auto needed = static_cast<DWORD>(stored.size() + 1);
    if (requiredSize) {
        *requiredSize = needed;
    }
    auto answerName = [&]() {
        if (destinationInfFileName != nullptr && destinationInfFileNameSize >= needed) {
            std::memcpy(destinationInfFileName, stored.c_str(), needed);
            if (destinationInfFileNameComponent) {
                *destinationInfFileNameComponent =
                    destinationInfFileName + stored.find_last_of('\\') + 1;
            }
        }
    };
    if (existing && (copyStyle & SP_COPY_NOOVERWRITE)) {
        answerName();
        return Fail(ERROR_FILE_EXISTS);
    }
    if (destinationInfFileName != nullptr && destinationInfFileNameSize < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!existing) {
        Stage(sourceInfFileName, *text);
    }
    answerName();
    return Succeed();
}

BOOL WINAPI SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className,
                                DWORD classNameSize, PDWORD requiredSize) {
    using namespace winsim;
    auto failure =
        Enter("SetupDiGetINFClassA", {Str(infName), detail::Ptr(classGuid), detail::Ptr(className),
                                      Num(classNameSize), detail::Ptr(requiredSize)});
    if (failure) {
        return Fail(failure->error);
    }
    if (infName == nullptr || classGuid == nullptr || className == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::optional<std::string> text = detail::FileText(infName);
    if (!text) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    InfVersion version = ReadInfVersion(*text);
    if ((!version.className || version.className->empty()) && !version.classGuid) {
        return Fail(ERROR_INVALID_CLASS);
    }
    const std::optional<GUID> guid =
        version.classGuid ? ParseGuid(*version.classGuid) : std::optional<GUID>{};
    // A GUID without a name stands for the class registered under it; "" if none is.
    std::string name = version.className.value_or("");
    if (name.empty() && guid) {
        name = RegisteredClassName(*guid);
    }
    const auto needed = static_cast<DWORD>(name.size() + 1);
    if (requiredSize) {
        *requiredSize = needed;
    }
    if (classNameSize < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(className, name.c_str(), needed);
    // A class that names no valid GUID is not installed on the system: GUID_NULL.
    *classGuid = guid.value_or(GUID{});
    return Succeed();
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) {
    using namespace winsim;
    auto failure =
        Enter("SetupDiCreateDeviceInfoList", {detail::Ptr(classGuid), detail::Handle(parent)});
    if (failure) {
        SetLastError(failure->error);
        return INVALID_HANDLE_VALUE;
    }
    auto* list = new DeviceInfoList;
    if (classGuid) {
        list->classGuid = *classGuid;
    }
    State().lists.insert(list);
    detail::CountOpen(HandleKind::DeviceList);
    Succeed();
    return list;
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO deviceInfoSet, PCSTR deviceName,
                                     const GUID* classGuid, PCSTR deviceDescription, HWND parent,
                                     DWORD creationFlags, PSP_DEVINFO_DATA deviceInfoData) {
    using namespace winsim;
    auto failure = Enter("SetupDiCreateDeviceInfoA",
                         {detail::Handle(deviceInfoSet), Str(deviceName), detail::Ptr(classGuid),
                          Str(deviceDescription), detail::Handle(parent), Num(creationFlags),
                          detail::Ptr(deviceInfoData)});
    if (failure) {
        return Fail(failure->error);
    }
    DeviceInfoList* list = FindList(deviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (deviceName == nullptr || classGuid == nullptr ||
        (creationFlags & ~(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (deviceInfoData != nullptr && deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (list->classGuid && !SameGuid(*list->classGuid, *classGuid)) {
        return Fail(ERROR_CLASS_MISMATCH);
    }
    std::string name = deviceName;
    std::string instanceId;
    if (creationFlags & DICD_GENERATE_ID) {
        if (name.empty() || name.find('\\') != std::string::npos) {
            return Fail(ERROR_INVALID_DEVINST_NAME);
        }
        instanceId = GenerateRootInstanceId(name);
    } else {
        if (FindNode(name, false) != nullptr) {
            return Fail(ERROR_DEVINST_ALREADY_EXISTS);
        }
        instanceId = name;
    }
    Node node;
    node.instanceId = instanceId;
    node.classGuid = *classGuid;
    DEVINST devInst = AddNode(std::move(node));
    list->Add(devInst);
    if (deviceInfoData) {
        FillElement(State().nodes[devInst], devInst, deviceInfoData);
    }
    return Succeed();
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet,
                                              PSP_DEVINFO_DATA deviceInfoData, DWORD property,
                                              const BYTE* propertyBuffer,
                                              DWORD propertyBufferSize) {
    using namespace winsim;
    const detail::PlatformScope rendering;  // the data are copied for the log
    std::string rendered =
        propertyBuffer
            ? std::string(reinterpret_cast<const char*>(propertyBuffer), propertyBufferSize)
            : "null";
    auto failure = Enter("SetupDiSetDeviceRegistryPropertyA",
                         {detail::Handle(deviceInfoSet), detail::Ptr(deviceInfoData), Num(property),
                          rendered, Num(propertyBufferSize)});
    if (failure) {
        return Fail(failure->error);
    }
    Node* node = nullptr;
    if (DWORD error = ResolveElement(deviceInfoSet, deviceInfoData, node); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (propertyBuffer == nullptr && propertyBufferSize != 0) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (node->registered && Denied()) {
        return Fail(ERROR_ACCESS_DENIED);  // the instance key is written at once
    }
    if (property == SPDRP_HARDWAREID) {
        if (propertyBufferSize == 0) {
            node->hardwareIds.reset();
        } else {
            node->hardwareIds.emplace(propertyBuffer, propertyBuffer + propertyBufferSize);
        }
    } else if (property == SPDRP_CONFIGFLAGS) {
        if (propertyBufferSize != sizeof(DWORD)) {
            return Fail(ERROR_INVALID_DATA);
        }
        DWORD flags = 0;
        std::memcpy(&flags, propertyBuffer, sizeof flags);
        node->configFlags = flags;
    } else {
        return Fail(ERROR_INVALID_REG_PROPERTY);
    }
    if (node->registered) {
        MirrorToRegistry(*node);
    }
    return Succeed();
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                                      PSP_DEVINFO_DATA deviceInfoData) {
    using namespace winsim;
    auto failure =
        Enter("SetupDiCallClassInstaller",
              {Num(installFunction), detail::Handle(deviceInfoSet), detail::Ptr(deviceInfoData)});
    if (failure) {
        return Fail(failure->error);
    }
    if (installFunction != DIF_REGISTERDEVICE) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Node* node = nullptr;
    if (DWORD error = ResolveElement(deviceInfoSet, deviceInfoData, node); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (Denied()) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (!node->registered) {
        // A root-enumerated device is there as soon as it is registered, driver or not.
        node->registered = true;
        node->present = true;
        MirrorToRegistry(*node);
    }
    return Succeed();
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags) {
    using namespace winsim;
    auto failure = Enter("SetupDiGetClassDevsA", {detail::Ptr(classGuid), Str(enumerator),
                                                  detail::Handle(parent), Num(flags)});
    if (failure) {
        SetLastError(failure->error);
        return INVALID_HANDLE_VALUE;
    }
    if ((flags & DIGCF_DEVICEINTERFACE) != 0 ||
        (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* list = new DeviceInfoList;
    ForEachNode([&](DEVINST devInst, const Node& node) {
        if (!node.registered || ((flags & DIGCF_PRESENT) && !node.present)) {
            return;
        }
        if ((flags & DIGCF_ALLCLASSES) == 0 && !SameGuid(node.classGuid, *classGuid)) {
            return;
        }
        if (enumerator != nullptr &&
            !detail::EqualNoCase(node.instanceId.substr(0, node.instanceId.find('\\')),
                                 enumerator)) {
            return;
        }
        list->Add(devInst);
    });
    State().lists.insert(list);
    detail::CountOpen(HandleKind::DeviceList);
    Succeed();
    return list;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                                  PSP_DEVINFO_DATA deviceInfoData) {
    using namespace winsim;
    auto failure = Enter("SetupDiEnumDeviceInfo", {detail::Handle(deviceInfoSet), Num(memberIndex),
                                                   detail::Ptr(deviceInfoData)});
    if (failure) {
        return Fail(failure->error);
    }
    DeviceInfoList* list = FindList(deviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (deviceInfoData == nullptr || deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (memberIndex >= list->elements.size()) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    DEVINST devInst = list->elements[memberIndex];
    auto found = State().nodes.find(devInst);
    // A removed device keeps its place in the list.
    static const Node removed;
    FillElement(found == State().nodes.end() ? removed : found->second, devInst, deviceInfoData);
    return Succeed();
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet,
                                              PSP_DEVINFO_DATA deviceInfoData, DWORD property,
                                              PDWORD propertyRegDataType, PBYTE propertyBuffer,
                                              DWORD propertyBufferSize, PDWORD requiredSize) {
    using namespace winsim;
    auto failure = Enter("SetupDiGetDeviceRegistryPropertyA",
                         {detail::Handle(deviceInfoSet), detail::Ptr(deviceInfoData), Num(property),
                          detail::Ptr(propertyRegDataType), detail::Ptr(propertyBuffer),
                          Num(propertyBufferSize), detail::Ptr(requiredSize)});
    if (failure) {
        return Fail(failure->error);
    }
    Node* node = nullptr;
    if (DWORD error = ResolveElement(deviceInfoSet, deviceInfoData, node); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    DWORD type = REG_NONE;
    std::optional<std::vector<BYTE>> value;
    if (property == SPDRP_HARDWAREID) {
        type = REG_MULTI_SZ;
        value = node->hardwareIds;
    } else if (property == SPDRP_CONFIGFLAGS && node->configFlags) {
        type = REG_DWORD;
        value.emplace(sizeof(DWORD));
        std::memcpy(value->data(), &*node->configFlags, sizeof(DWORD));
    } else if (property == SPDRP_SERVICE && !node->service.empty()) {
        type = REG_SZ;
        value = TextBytes(node->service);
    } else if (property == SPDRP_CLASS && !node->className.empty()) {
        type = REG_SZ;
        value = TextBytes(node->className);
    }
    if (!value) {
        return Fail(ERROR_INVALID_DATA);
    }
    DWORD error = CopyProperty(type, *value, propertyRegDataType, propertyBuffer,
                               propertyBufferSize, requiredSize);
    return error == ERROR_SUCCESS ? Succeed() : Fail(error);
}

// A removed device's element stays in its list but has no instance ID any more.
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                        PSTR deviceInstanceId, DWORD deviceInstanceIdSize,
                                        PDWORD requiredSize) {
    using namespace winsim;
    auto failure = Enter(
        "SetupDiGetDeviceInstanceIdA",
        {detail::Handle(deviceInfoSet), detail::Ptr(deviceInfoData), detail::Ptr(deviceInstanceId),
         Num(deviceInstanceIdSize), detail::Ptr(requiredSize)});
    if (failure) {
        return Fail(failure->error);
    }
    Node* node = nullptr;
    if (DWORD error = ResolveElement(deviceInfoSet, deviceInfoData, node); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    const auto needed = static_cast<DWORD>(node->instanceId.size() + 1);
    if (requiredSize) {
        *requiredSize = needed;
    }
    if (deviceInstanceId == nullptr || deviceInstanceIdSize < needed) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(deviceInstanceId, node->instanceId.c_str(), needed);
    return Succeed();
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData) {
    using namespace winsim;
    auto failure =
        Enter("SetupDiRemoveDevice", {detail::Handle(deviceInfoSet), detail::Ptr(deviceInfoData)});
    if (failure) {
        return Fail(failure->error);
    }
    Node* node = nullptr;
    if (DWORD error = ResolveElement(deviceInfoSet, deviceInfoData, node); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (!node->registered) {
        return Fail(ERROR_DEVINFO_NOT_REGISTERED);
    }
    if (Denied()) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    DeleteKeyTree(EnumKeyOf(*node));
    RemoveNode(deviceInfoData->DevInst);
    return Succeed();
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    using namespace winsim;
    auto failure = Enter("SetupDiDestroyDeviceInfoList", {detail::Handle(deviceInfoSet)});
    if (failure) {
        return Fail(failure->error);
    }
    DeviceInfoList* list = FindList(deviceInfoSet);
    if (list == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // Elements never registered exist only in their list.
    for (DEVINST devInst : list->elements) {
        auto found = State().nodes.find(devInst);
        if (found != State().nodes.end() && !found->second.registered) {
            RemoveNode(devInst);
        }
    }
    State().lists.erase(list);
    delete list;
    detail::CountClose(HandleKind::DeviceList);
    return Succeed();
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problemNumber, DEVINST devInst,
                                       ULONG flags) {
    using namespace winsim;
    auto failure = Enter("CM_Get_DevNode_Status", {detail::Ptr(status), detail::Ptr(problemNumber),
                                                   Num(devInst), Num(flags)});
    if (failure) {
        return static_cast<CONFIGRET>(failure->error);
    }
    if (status == nullptr || problemNumber == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    if (devInst == 0 || devInst >= State().nextDevInst) {
        return CR_INVALID_DEVNODE;
    }
    auto found = State().nodes.find(devInst);
    if (found == State().nodes.end() || !found->second.registered || !found->second.present) {
        return CR_NO_SUCH_DEVINST;
    }
    const Node& node = found->second;
    if (node.driverInf.empty() && node.service.empty()) {
        *status = DN_HAS_PROBLEM;
        *problemNumber = CM_PROB_FAILED_INSTALL;
    } else {
        *status = DN_DRIVER_LOADED | DN_STARTED;
        *problemNumber = 0;
    }
    return CR_SUCCESS;
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR fullInfPath,
                                               DWORD installFlags, PBOOL rebootRequired) {
    using namespace winsim;
    auto failure = Enter("UpdateDriverForPlugAndPlayDevicesA",
                         {detail::Handle(parent), Str(hardwareId), Str(fullInfPath),
                          Num(installFlags), detail::Ptr(rebootRequired)});
    if (failure) {
        return Fail(failure->error);
    }
    if (hardwareId == nullptr || fullInfPath == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((installFlags & ~(INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE)) !=
        0) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    if (!detail::FileText(fullInfPath)) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    if (Denied()) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    DriverOffer offer;
    if (auto found = State().offers.find(detail::Upper(fullInfPath));
        found != State().offers.end()) {
        offer = found->second;
    }
    bool matched = false;
    bool installed = false;
    ForEachNode([&](DEVINST, Node& node) {
        if (!node.registered || !node.present || !CarriesHardwareId(node, hardwareId)) {
            return;
        }
        matched = true;
        if (!IsBetterMatch(node, fullInfPath, installFlags)) {
            return;
        }
        node.driverInf = fullInfPath;
        node.hasBestDriver = false;
        if (!offer.service.empty()) {
            node.service = offer.service;
        }
        MirrorToRegistry(node);
        installed = true;
    });
    if (!matched) {
        return Fail(ERROR_NO_SUCH_DEVINST);
    }
    if (!installed) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    if (rebootRequired) {
        *rebootRequired = offer.needsRestart ? TRUE : FALSE;
    }
    return TRUE;
}
