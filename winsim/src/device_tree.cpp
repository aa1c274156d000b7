// The device tree: setupapi's device information lists and cfgmgr32's devnode status over the
// simulated devices. Device properties live on the device; its instance key below Enum mirrors
// them, as on Windows.
#include "devices.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace winsim {
namespace {

using detail::Node;

constexpr const char* kEnumKey = "SYSTEM\\CurrentControlSet\\Enum\\";

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
    DEVINST nextDevInst = 1;
};

constexpr auto State = detail::AreaState<Devices>;

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

std::string EnumKeyOf(const Node& node) {
    return kEnumKey + node.device.instanceId;
}

Node* NodeAt(DEVINST devInst) {
    return detail::FindIn(State().nodes, devInst);
}

Node* FindNode(const std::string& instanceId, bool registeredOnly) {
    const DEVINST* devInst = detail::FindIn(State().byId, detail::Upper(instanceId));
    Node* node = devInst ? NodeAt(*devInst) : nullptr;
    return node && (node->registered || !registeredOnly) ? node : nullptr;
}

// Visits the devnodes in the order they were created.
template <class Visit>
void ForEachNode(Visit visit) {
    for (DEVINST devInst = 1; devInst < State().nextDevInst; ++devInst) {
        if (Node* node = NodeAt(devInst)) {
            visit(devInst, *node);
        }
    }
}

void RemoveNode(DEVINST devInst) {
    if (const Node* node = NodeAt(devInst)) {
        State().byId.erase(detail::Upper(node->device.instanceId));
        State().nodes.erase(devInst);
    }
}

DeviceInfoList* FindList(HDEVINFO handle) {
    return detail::Get<DeviceInfoList>(handle, HandleKind::DeviceList);
}

// Resolves a list and one of its elements to the device behind it; the error on failure.
DWORD ResolveElement(HDEVINFO handle, PSP_DEVINFO_DATA data, Node*& node) {
    DeviceInfoList* list = FindList(handle);
    if (list == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (data == nullptr) {
        return ERROR_INVALID_PARAMETER;  // no record is a bad argument, a short one a bad buffer
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    if (list->members.count(data->DevInst) == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    node = NodeAt(data->DevInst);
    return node ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_NO_SUCH_DEVINST);
}

// The entry of a call on a list: the body gets the list.
template <class Body>
BOOL OnList(const char* name, std::initializer_list<std::string> args, HDEVINFO handle, Body body) {
    return detail::Simulate(detail::kClearingBool, name, args, [&]() -> DWORD {
        DeviceInfoList* list = FindList(handle);
        return list ? body(*list) : static_cast<DWORD>(ERROR_INVALID_HANDLE);
    });
}

// The entry of a call on one element of a list: the body gets the device behind it.
template <class Body>
BOOL OnElement(const char* name, std::initializer_list<std::string> args, HDEVINFO list,
               PSP_DEVINFO_DATA element, Body body) {
    return detail::Simulate(detail::kClearingBool, name, args, [&]() -> DWORD {
        Node* node = nullptr;
        const DWORD error = ResolveElement(list, element, node);
        return error == ERROR_SUCCESS ? body(*node) : error;
    });
}

void FillElement(const Node& node, DEVINST devInst, PSP_DEVINFO_DATA data) {
    data->ClassGuid = node.device.classGuid;
    data->DevInst = devInst;
    data->Reserved = devInst;
}

DEVINST AddNode(Node node) {
    DEVINST devInst = State().nextDevInst++;
    State().byId[detail::Upper(node.device.instanceId)] = devInst;
    State().nodes[devInst] = std::move(node);
    return devInst;
}

// The lowest four-digit instance number under ROOT\<name> that neither a device nor a
// leftover instance key uses.
std::string GenerateRootInstanceId(const std::string& name) {
    for (unsigned number = 0;; ++number) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%04u", number);
        const std::string id = "ROOT\\" + detail::Upper(name) + "\\" + digits;
        if (FindNode(id, false) == nullptr && !KeyExists(kEnumKey + id)) {
            return id;
        }
    }
}

std::vector<BYTE> TextBytes(const std::string& text) {
    return {text.c_str(), text.c_str() + text.size() + 1};
}

// A property's registry type and bytes; nullopt for a property the device does not have.
std::optional<RegValue> ReadProperty(const Node& node, DWORD property) {
    const Device& device = node.device;
    if (property == SPDRP_HARDWAREID && node.hardwareIds) {
        return RegValue{REG_MULTI_SZ, *node.hardwareIds};
    }
    if (property == SPDRP_CONFIGFLAGS && device.configFlags) {
        const auto* flags = reinterpret_cast<const BYTE*>(&*device.configFlags);
        return RegValue{REG_DWORD, {flags, flags + sizeof(DWORD)}};
    }
    if (property == SPDRP_SERVICE && !device.service.empty()) {
        return RegValue{REG_SZ, TextBytes(device.service)};
    }
    if (property == SPDRP_CLASS && !device.className.empty()) {
        return RegValue{REG_SZ, TextBytes(device.className)};
    }
    return std::nullopt;
}

// Sets a property the product writes; the error if it cannot.
DWORD WriteProperty(Node& node, DWORD property, const BYTE* buffer, DWORD size) {
    if (property == SPDRP_HARDWAREID) {
        node.hardwareIds.reset();
        if (size != 0) {
            node.hardwareIds.emplace(buffer, buffer + size);
        }
        return ERROR_SUCCESS;
    }
    if (property != SPDRP_CONFIGFLAGS) {
        return ERROR_INVALID_REG_PROPERTY;
    }
    if (size != sizeof(DWORD)) {
        return ERROR_INVALID_DATA;
    }
    DWORD flags = 0;
    std::memcpy(&flags, buffer, sizeof flags);
    node.device.configFlags = flags;
    return ERROR_SUCCESS;
}

}  // namespace

DEVINST AddDevice(const Device& device) {
    if (Node* existing = FindNode(device.instanceId, false)) {
        DeleteKeyTree(EnumKeyOf(*existing));
        RemoveNode(State().byId.at(detail::Upper(device.instanceId)));
    }
    Node node{device, std::nullopt, true};
    node.device.hardwareIds.clear();
    if (!device.hardwareIds.empty()) {
        node.hardwareIds.emplace();
        for (const std::string& id : device.hardwareIds) {
            node.hardwareIds->insert(node.hardwareIds->end(), id.c_str(),
                                     id.c_str() + id.size() + 1);
        }
        node.hardwareIds->push_back(0);
    }
    detail::MirrorToRegistry(node);
    return AddNode(std::move(node));
}

void SetDevicePresent(const std::string& instanceId, bool present) {
    if (Node* node = FindNode(instanceId, true)) {
        node->device.present = present;
    }
}

std::optional<Device> FindDevice(const std::string& instanceId) {
    const Node* node = FindNode(instanceId, true);
    if (node == nullptr) {
        return std::nullopt;
    }
    Device device = node->device;
    if (node->hardwareIds) {
        device.hardwareIds = detail::Strings(*node->hardwareIds);
    }
    return device;
}

std::vector<std::string> DeviceInstanceIds() {
    std::vector<std::string> ids;
    ForEachNode([&](DEVINST, const Node& node) {
        if (node.registered) {
            ids.push_back(node.device.instanceId);
        }
    });
    return ids;
}

std::optional<std::vector<BYTE>> DeviceHardwareIdData(const std::string& instanceId) {
    const Node* node = FindNode(instanceId, true);
    return node ? node->hardwareIds : std::nullopt;
}

int UnregisteredDeviceElements() {
    return static_cast<int>(
        std::count_if(State().nodes.begin(), State().nodes.end(),
                      [](const auto& entry) { return !entry.second.registered; }));
}

namespace detail {

void ForEachPresentDevice(const std::function<void(Node&)>& visit) {
    ForEachNode([&](DEVINST, Node& node) {
        if (node.registered && node.device.present) {
            visit(node);
        }
    });
}

void MirrorToRegistry(const Node& node) {
    static const std::pair<DWORD, const char*> kMirrored[] = {{SPDRP_HARDWAREID, "HardwareID"},
                                                              {SPDRP_CONFIGFLAGS, "ConfigFlags"},
                                                              {SPDRP_SERVICE, "Service"},
                                                              {SPDRP_CLASS, "Class"}};
    const std::string key = EnumKeyOf(node);
    CreateKey(key);
    for (const auto& [property, name] : kMirrored) {
        if (std::optional<RegValue> value = ReadProperty(node, property)) {
            SetValue(key, name, value->type, std::move(value->data));
        }
    }
    SetString(key, "ClassGUID", GuidText(node.device.classGuid));
}

std::vector<std::string> Strings(const std::vector<BYTE>& data) {
    std::vector<std::string> strings;
    for (auto start = data.begin(); start != data.end() && *start != 0;) {
        const auto end = std::find(start, data.end(), BYTE{0});
        strings.emplace_back(start, end);
        start = end == data.end() ? end : end + 1;
    }
    return strings;
}

}  // namespace detail
}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) {
    return Simulate(ValueCall<HDEVINFO>{INVALID_HANDLE_VALUE, true, true},
                    "SetupDiCreateDeviceInfoList", {Ptr(classGuid), Handle(parent)},
                    [&]() -> Result<HDEVINFO> {
                        auto list = std::make_shared<DeviceInfoList>();
                        if (classGuid) {
                            list->classGuid = *classGuid;
                        }
                        return Open<HDEVINFO>(HandleKind::DeviceList, list);
                    });
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO deviceInfoSet, PCSTR deviceName,
                                     const GUID* classGuid, PCSTR deviceDescription, HWND parent,
                                     DWORD creationFlags, PSP_DEVINFO_DATA deviceInfoData) {
    return OnList(
        "SetupDiCreateDeviceInfoA",
        {Handle(deviceInfoSet), Str(deviceName), Ptr(classGuid), Str(deviceDescription),
         Handle(parent), Num(creationFlags), Ptr(deviceInfoData)},
        deviceInfoSet, [&](DeviceInfoList& list) -> DWORD {
            if (deviceName == nullptr || classGuid == nullptr ||
                (creationFlags & ~(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) != 0) {
                return ERROR_INVALID_PARAMETER;
            }
            if (deviceInfoData != nullptr && deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
                return ERROR_INVALID_USER_BUFFER;
            }
            if (list.classGuid && !SameGuid(*list.classGuid, *classGuid)) {
                return ERROR_CLASS_MISMATCH;
            }
            const std::string name = deviceName;
            const bool generate = (creationFlags & DICD_GENERATE_ID) != 0;
            if (generate && (name.empty() || name.find('\\') != std::string::npos)) {
                return ERROR_INVALID_DEVINST_NAME;
            }
            if (!generate && FindNode(name, false) != nullptr) {
                return ERROR_DEVINST_ALREADY_EXISTS;
            }
            Node node;
            node.device.instanceId = generate ? GenerateRootInstanceId(name) : name;
            node.device.classGuid = *classGuid;
            DEVINST devInst = AddNode(std::move(node));
            list.Add(devInst);
            if (deviceInfoData) {
                FillElement(State().nodes[devInst], devInst, deviceInfoData);
            }
            return ERROR_SUCCESS;
        });
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet,
                                              PSP_DEVINFO_DATA deviceInfoData, DWORD property,
                                              const BYTE* propertyBuffer,
                                              DWORD propertyBufferSize) {
    return OnElement("SetupDiSetDeviceRegistryPropertyA",
                     {Handle(deviceInfoSet), Ptr(deviceInfoData), Num(property),
                      Bytes(propertyBuffer, propertyBufferSize), Num(propertyBufferSize)},
                     deviceInfoSet, deviceInfoData, [&](Node& node) -> DWORD {
                         if (propertyBuffer == nullptr && propertyBufferSize != 0) {
                             return ERROR_INVALID_USER_BUFFER;
                         }
                         if (node.registered && InstallDenied()) {
                             return ERROR_ACCESS_DENIED;  // the instance key is written at once
                         }
                         DWORD error =
                             WriteProperty(node, property, propertyBuffer, propertyBufferSize);
                         if (error == ERROR_SUCCESS && node.registered) {
                             MirrorToRegistry(node);
                         }
                         return error;
                     });
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION installFunction, HDEVINFO deviceInfoSet,
                                      PSP_DEVINFO_DATA deviceInfoData) {
    return Simulate(
        kClearingBool, "SetupDiCallClassInstaller",
        {Num(installFunction), Handle(deviceInfoSet), Ptr(deviceInfoData)}, [&]() -> DWORD {
            if (installFunction != DIF_REGISTERDEVICE) {
                return ERROR_INVALID_PARAMETER;
            }
            Node* node = nullptr;
            if (DWORD error = ResolveElement(deviceInfoSet, deviceInfoData, node); error != 0) {
                return error;
            }
            if (InstallDenied()) {
                return ERROR_ACCESS_DENIED;
            }
            if (!node->registered) {
                // A root-enumerated device is there as soon as it is registered, driver or not.
                node->registered = true;
                node->device.present = true;
                MirrorToRegistry(*node);
            }
            return ERROR_SUCCESS;
        });
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags) {
    return Simulate(
        ValueCall<HDEVINFO>{INVALID_HANDLE_VALUE, true, true}, "SetupDiGetClassDevsA",
        {Ptr(classGuid), Str(enumerator), Handle(parent), Num(flags)}, [&]() -> Result<HDEVINFO> {
            if ((flags & DIGCF_DEVICEINTERFACE) != 0 ||
                (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0)) {
                return Error{ERROR_INVALID_PARAMETER};
            }
            auto list = std::make_shared<DeviceInfoList>();
            ForEachNode([&](DEVINST devInst, const Node& node) {
                const Device& device = node.device;
                const std::string root = device.instanceId.substr(0, device.instanceId.find('\\'));
                if (node.registered && (device.present || (flags & DIGCF_PRESENT) == 0) &&
                    ((flags & DIGCF_ALLCLASSES) || SameGuid(device.classGuid, *classGuid)) &&
                    (enumerator == nullptr || EqualNoCase(root, enumerator))) {
                    list->Add(devInst);
                }
            });
            return Open<HDEVINFO>(HandleKind::DeviceList, list);
        });
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                                  PSP_DEVINFO_DATA deviceInfoData) {
    return OnList("SetupDiEnumDeviceInfo",
                  {Handle(deviceInfoSet), Num(memberIndex), Ptr(deviceInfoData)}, deviceInfoSet,
                  [&](DeviceInfoList& list) -> DWORD {
                      if (deviceInfoData == nullptr) {
                          return ERROR_INVALID_PARAMETER;
                      }
                      if (deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
                          return ERROR_INVALID_USER_BUFFER;
                      }
                      if (memberIndex >= list.elements.size()) {
                          return ERROR_NO_MORE_ITEMS;
                      }
                      const DEVINST devInst = list.elements[memberIndex];
                      // A removed device keeps its place in the list.
                      static const Node removed;
                      const Node* node = NodeAt(devInst);
                      FillElement(node ? *node : removed, devInst, deviceInfoData);
                      return ERROR_SUCCESS;
                  });
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet,
                                              PSP_DEVINFO_DATA deviceInfoData, DWORD property,
                                              PDWORD propertyRegDataType, PBYTE propertyBuffer,
                                              DWORD propertyBufferSize, PDWORD requiredSize) {
    return OnElement(
        "SetupDiGetDeviceRegistryPropertyA",
        {Handle(deviceInfoSet), Ptr(deviceInfoData), Num(property), Ptr(propertyRegDataType),
         Ptr(propertyBuffer), Num(propertyBufferSize), Ptr(requiredSize)},
        deviceInfoSet, deviceInfoData, [&](Node& node) -> DWORD {
            const std::optional<RegValue> value = ReadProperty(node, property);
            if (!value) {
                return ERROR_INVALID_DATA;
            }
            Put(propertyRegDataType, value->type);
            const DWORD error = CopyOut(value->data.data(), value->data.size(), propertyBuffer,
                                        propertyBufferSize, requiredSize);
            return propertyBuffer == nullptr && propertyBufferSize != 0
                       ? static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)
                       : error;
        });
}

// A removed device's element stays in its list but has no instance ID any more.
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                        PSTR deviceInstanceId, DWORD deviceInstanceIdSize,
                                        PDWORD requiredSize) {
    return OnElement("SetupDiGetDeviceInstanceIdA",
                     {Handle(deviceInfoSet), Ptr(deviceInfoData), Ptr(deviceInstanceId),
                      Num(deviceInstanceIdSize), Ptr(requiredSize)},
                     deviceInfoSet, deviceInfoData, [&](Node& node) -> DWORD {
                         const std::string& id = node.device.instanceId;
                         return CopyOut(id.c_str(), id.size() + 1, deviceInstanceId,
                                        deviceInstanceIdSize, requiredSize);
                     });
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData) {
    return OnElement("SetupDiRemoveDevice", {Handle(deviceInfoSet), Ptr(deviceInfoData)},
                     deviceInfoSet, deviceInfoData, [&](Node& node) -> DWORD {
                         if (!node.registered) {
                             return ERROR_DEVINFO_NOT_REGISTERED;
                         }
                         if (InstallDenied()) {
                             return ERROR_ACCESS_DENIED;
                         }
                         DeleteKeyTree(EnumKeyOf(node));
                         RemoveNode(deviceInfoData->DevInst);
                         return ERROR_SUCCESS;
                     });
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    return OnList("SetupDiDestroyDeviceInfoList", {Handle(deviceInfoSet)}, deviceInfoSet,
                  [&](DeviceInfoList& list) -> DWORD {
                      // Elements never registered exist only in their list.
                      for (DEVINST devInst : list.elements) {
                          if (const Node* node = NodeAt(devInst); node && !node->registered) {
                              RemoveNode(devInst);
                          }
                      }
                      ReleaseHandle(reinterpret_cast<uintptr_t>(deviceInfoSet),
                                    HandleKind::DeviceList);
                      return ERROR_SUCCESS;
                  });
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problemNumber, DEVINST devInst,
                                       ULONG flags) {
    return Simulate(kConfig, "CM_Get_DevNode_Status",
                    {Ptr(status), Ptr(problemNumber), Num(devInst), Num(flags)},
                    [&]() -> CONFIGRET {
                        if (status == nullptr || problemNumber == nullptr) {
                            return CR_INVALID_POINTER;
                        }
                        if (flags != 0) {
                            return CR_INVALID_FLAG;
                        }
                        if (devInst == 0 || devInst >= State().nextDevInst) {
                            return CR_INVALID_DEVNODE;
                        }
                        const Node* node = NodeAt(devInst);
                        if (node == nullptr || !node->registered || !node->device.present) {
                            return CR_NO_SUCH_DEVINST;
                        }
                        const Device& device = node->device;
                        const bool failed = device.driverInf.empty() && device.service.empty();
                        *status = failed ? DN_HAS_PROBLEM : DN_DRIVER_LOADED | DN_STARTED;
                        *problemNumber = failed ? CM_PROB_FAILED_INSTALL : 0;
                        return CR_SUCCESS;
                    });
}
