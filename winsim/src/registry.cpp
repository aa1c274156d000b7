// advapi32 registry over an in-memory tree below HKEY_LOCAL_MACHINE. Key names compare without
// regard to case; subkeys enumerate in sorted order, values in the order they were created.
#include "core.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace winsim {
namespace {

struct Node {
    std::string name;
    std::map<std::string, std::unique_ptr<Node>> children;  // keyed by upper-cased name
    std::vector<std::pair<std::string, RegValue>> values;
};

struct OpenKey {
    std::string path;  // upper-cased components joined by '\', "" for the root
    REGSAM access;
};

struct Registry {
    Node root;
};

constexpr auto State = detail::AreaState<Registry>;

constexpr LSTATUS kBadPathname = 161;  // ERROR_BAD_PATHNAME

constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericAll = 0x10000000;

// Rights that a filtered token does not hold on keys below HKEY_LOCAL_MACHINE (the generic
// rights included, as they map onto them).
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE |
                                WRITE_DAC | WRITE_OWNER | kGenericWrite | kGenericAll;

bool Denied(REGSAM access) {
    return !detail::Elevated() && (access & kWriteRights) != 0;
}

// Splits a subkey path into components, character by character in the code page; a single
// trailing backslash is tolerated as Windows does, empty components elsewhere are not.
bool SplitPath(const std::string& path, std::vector<std::string>& parts) {
    parts = detail::Components(path, "\\");
    if (parts.size() > 1 && parts.back().empty()) {
        parts.pop_back();
    }
    if (parts.size() == 1 && parts.front().empty()) {
        parts.clear();
    }
    return std::none_of(parts.begin(), parts.end(),
                        [](const std::string& part) { return part.empty(); });
}

// The key at `fullPath`; with `create`, the keys missing on the way are made (and `created` set).
Node* Find(const std::string& fullPath, bool create = false, bool* created = nullptr) {
    std::vector<std::string> parts;
    if (!SplitPath(fullPath, parts)) {
        return nullptr;
    }
    Node* node = &State().root;
    for (const std::string& part : parts) {
        const std::string name = detail::Upper(part);
        std::unique_ptr<Node>* child = detail::FindIn(node->children, name);
        if (child == nullptr && !create) {
            return nullptr;
        }
        if (child == nullptr) {
            child = &(node->children[name] = std::make_unique<Node>(Node{part, {}, {}}));
            detail::Put(created, true);
        }
        node = child->get();
    }
    return node;
}

// The path of `parts` below `base`.
std::string Below(std::string base, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) {
        base += (base.empty() ? "" : "\\") + part;
    }
    return base;
}

// The key behind a handle; nullopt for a handle that is not open.
std::optional<OpenKey> Opened(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return OpenKey{"", static_cast<REGSAM>(detail::Elevated() ? KEY_ALL_ACCESS : KEY_READ)};
    }
    const OpenKey* open = detail::Get<OpenKey>(key, HandleKind::RegistryKey);
    return open ? std::optional(*open) : std::nullopt;
}

// A subkey named below an open key: the key's path, the subkey's parts and its full path.
struct SubKey {
    std::string base;
    std::vector<std::string> parts;
    std::string path;
};

// Reads `subKey` below `key` (null reads as ""); the status of a handle or a name that is none.
LSTATUS ReadSubKey(HKEY key, const char* subKey, SubKey& read) {
    const std::optional<OpenKey> open = Opened(key);
    if (!open) {
        return ERROR_INVALID_HANDLE;
    }
    if (!SplitPath(subKey ? subKey : "", read.parts)) {
        return kBadPathname;
    }
    read.base = open->path;
    read.path = Below(read.base, read.parts);
    return ERROR_SUCCESS;
}

auto FindValue(Node& node, const std::string& name) {
    return std::find_if(node.values.begin(), node.values.end(),
                        [&](const auto& entry) { return detail::EqualNoCase(entry.first, name); });
}

// Writes a value, replacing one of the same name in its place.
void Store(Node& node, const std::string& name, RegValue value) {
    auto existing = FindValue(node, name);
    if (existing != node.values.end()) {
        existing->second = std::move(value);
    } else {
        node.values.emplace_back(name, std::move(value));
    }
}

HKEY NewHandle(const std::string& path, REGSAM access) {
    return detail::Open<HKEY>(HandleKind::RegistryKey,
                              std::make_shared<OpenKey>(OpenKey{path, access}));
}

// Resolves the node behind an open handle, with the rights the operation needs.
LSTATUS Resolve(HKEY key, REGSAM needed, Node*& node) {
    const std::optional<OpenKey> open = Opened(key);
    if (!open) {
        return ERROR_INVALID_HANDLE;
    }
    node = Find(open->path);
    if (node == nullptr) {
        return ERROR_KEY_DELETED;
    }
    // The machine root is no hive: it holds no values of its own.
    if ((open->access & needed) != needed || (open->path.empty() && (needed & KEY_SET_VALUE))) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// The entry of a call on an open key that needs `needed` rights: the body gets the key's node.
template <class Body>
LSTATUS OnKey(const char* name, std::initializer_list<std::string> args, HKEY key, REGSAM needed,
              Body body) {
    return detail::Simulate(detail::kRegistry, name, args, [&]() -> LSTATUS {
        Node* node = nullptr;
        const LSTATUS status = Resolve(key, needed, node);
        return status == ERROR_SUCCESS ? body(*node) : status;
    });
}

LSTATUS DeleteSubKey(HKEY key, LPCSTR subKey) {
    SubKey sub;
    if (LSTATUS status = ReadSubKey(key, subKey, sub); status != ERROR_SUCCESS) {
        return status;
    }
    if (subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (sub.parts.empty() && key == HKEY_LOCAL_MACHINE) {
        return ERROR_ACCESS_DENIED;  // a predefined root cannot be deleted
    }
    Node* node = Find(sub.path);
    if (node == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!node->children.empty() || Denied(DELETE)) {
        return ERROR_ACCESS_DENIED;  // only a key without subkeys, and only with DELETE rights
    }
    DeleteKeyTree(sub.path);
    return ERROR_SUCCESS;
}

// Copies value data out as the registry does: size in and out, ERROR_MORE_DATA when short.
LSTATUS CopyData(const RegValue& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    detail::Put(type, value.type);
    auto needed = static_cast<DWORD>(value.data.size());
    if (data != nullptr) {
        if (size == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed > 0) {
            std::memcpy(data, value.data.data(), needed);
        }
    }
    detail::Put(size, needed);
    return ERROR_SUCCESS;
}

// Copies a name out for the enumerations: ERROR_MORE_DATA when it does not fit with its NUL.
LSTATUS CopyName(const std::string& text, LPSTR name, LPDWORD nameLength) {
    if (*nameLength <= text.size()) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, text.c_str(), text.size() + 1);
    *nameLength = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

// Bytes a value takes in the registry, where strings are kept in UTF-16.
DWORD StoredSize(const RegValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) {
        return static_cast<DWORD>(value.data.size());
    }
    const std::string text(value.data.begin(), value.data.end());
    return static_cast<DWORD>(2 * detail::Utf16Length(text));
}

}  // namespace

void CreateKey(const std::string& path) {
    Find(path, true);
}

bool KeyExists(const std::string& path) {
    return Find(path) != nullptr;
}

void DeleteKeyTree(const std::string& path) {
    std::vector<std::string> parts;
    if (!SplitPath(path, parts) || parts.empty()) {
        return;
    }
    std::string leaf = detail::Upper(parts.back());
    parts.pop_back();
    if (Node* parent = Find(Below("", parts))) {
        parent->children.erase(leaf);
    }
}

void SetValue(const std::string& keyPath, const std::string& name, DWORD type,
              std::vector<BYTE> data) {
    Store(*Find(keyPath, true), name, RegValue{type, std::move(data)});
}

void SetString(const std::string& keyPath, const std::string& name, const std::string& text,
               DWORD type) {
    SetValue(keyPath, name, type, {text.c_str(), text.c_str() + text.size() + 1});
}

void SetDword(const std::string& keyPath, const std::string& name, DWORD value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&value);
    SetValue(keyPath, name, REG_DWORD, {bytes, bytes + sizeof value});
}

std::optional<RegValue> Value(const std::string& keyPath, const std::string& name) {
    Node* node = Find(keyPath);
    if (node == nullptr) {
        return std::nullopt;
    }
    auto found = FindValue(*node, name);
    return found == node->values.end() ? std::nullopt : std::optional(found->second);
}

std::optional<DWORD> DwordValue(const std::string& keyPath, const std::string& name) {
    auto value = Value(keyPath, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) {
        return std::nullopt;
    }
    DWORD number = 0;
    std::memcpy(&number, value->data.data(), 4);
    return number;
}

std::optional<std::string> StringValue(const std::string& keyPath, const std::string& name) {
    auto value = Value(keyPath, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    std::string text(value->data.begin(), value->data.end());
    if (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

std::vector<std::string> ValueNames(const std::string& keyPath) {
    const Node* node = Find(keyPath);
    return node ? detail::Collect(node->values, [](const auto& entry) { return entry.first; })
                : std::vector<std::string>{};
}

std::vector<std::string> SubKeyNames(const std::string& keyPath) {
    const Node* node = Find(keyPath);
    return node ? detail::Collect(node->children,
                                  [](const auto& entry) { return entry.second->name; })
                : std::vector<std::string>{};
}

}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    return Simulate(
        kRegistry, "RegOpenKeyExA", {Key(key), Str(subKey), Num(options), Num(access), Ptr(result)},
        [&]() -> LSTATUS {
            if (result == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            SubKey sub;
            if (LSTATUS status = ReadSubKey(key, subKey, sub); status != ERROR_SUCCESS) {
                return status;
            }
            if (Find(sub.path) == nullptr) {
                return Find(sub.base) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
            }
            if (Denied(access)) {
                return ERROR_ACCESS_DENIED;
            }
            // No subkey of the root hands back the predefined handle itself, not a new one.
            *result =
                key == HKEY_LOCAL_MACHINE && sub.parts.empty() ? key : NewHandle(sub.path, access);
            return ERROR_SUCCESS;
        });
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className,
                               DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                               PHKEY result, LPDWORD disposition) {
    return Simulate(
        kRegistry, "RegCreateKeyExA",
        {Key(key), Str(subKey), Num(reserved), Str(className), Num(options), Num(access),
         Ptr(security), Ptr(result), Ptr(disposition)},
        [&]() -> LSTATUS {
            if (result == nullptr || subKey == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            if (subKey[0] == '\\') {
                return kBadPathname;
            }
            Node* node = nullptr;
            SubKey sub;
            if (LSTATUS status = Resolve(key, 0, node); status != ERROR_SUCCESS) {
                return status;
            }
            if (LSTATUS status = ReadSubKey(key, subKey, sub); status != ERROR_SUCCESS) {
                return status;
            }
            // Creating needs KEY_CREATE_SUB_KEY on the parent; opening an existing key, the rights
            // asked. Nobody creates keys directly below the machine root: those are the hives.
            const bool exists = Find(sub.path) != nullptr;
            const bool belowRoot = sub.base.empty() && sub.parts.size() == 1;
            if (Denied(exists ? access : KEY_CREATE_SUB_KEY) || (!exists && belowRoot)) {
                return ERROR_ACCESS_DENIED;
            }
            bool created = false;
            Find(sub.path, true, &created);
            Put(disposition, created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY);
            *result = NewHandle(sub.path, access);
            return ERROR_SUCCESS;
        });
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    return Simulate(kRegistry, "RegCloseKey", {Key(key)}, [&]() -> LSTATUS {
        const bool closed =
            key == HKEY_LOCAL_MACHINE ||
            ReleaseHandle(reinterpret_cast<uintptr_t>(key), HandleKind::RegistryKey);
        return closed ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    return Simulate(kRegistry, "RegDeleteKeyA", {Key(key), Str(subKey)},
                    [&] { return DeleteSubKey(key, subKey); });
}

LSTATUS WINAPI RegDeleteKeyExA(HKEY key, LPCSTR subKey, REGSAM view, DWORD reserved) {
    return Simulate(kRegistry, "RegDeleteKeyExA", {Key(key), Str(subKey), Num(view), Num(reserved)},
                    [&] { return DeleteSubKey(key, subKey); });
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    return OnKey("RegDeleteValueA", {Key(key), Str(valueName)}, key, KEY_SET_VALUE,
                 [&](Node& node) -> LSTATUS {
                     auto found = FindValue(node, valueName ? valueName : "");
                     if (found == node.values.end()) {
                         return ERROR_FILE_NOT_FOUND;
                     }
                     node.values.erase(found);
                     return ERROR_SUCCESS;
                 });
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                              const BYTE* data, DWORD size) {
    return OnKey("RegSetValueExA",
                 {Key(key), Str(valueName), Num(reserved), Num(type), Bytes(data, size), Num(size)},
                 key, KEY_SET_VALUE, [&](Node& node) -> LSTATUS {
                     if (data == nullptr && size != 0) {
                         return ERROR_INVALID_PARAMETER;
                     }
                     Store(node, valueName ? valueName : "", RegValue{type, {data, data + size}});
                     return ERROR_SUCCESS;
                 });
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD size) {
    return OnKey(
        "RegQueryValueExA",
        {Key(key), Str(valueName), Ptr(reserved), Ptr(type), Ptr(data), Num(size ? *size : 0)}, key,
        KEY_QUERY_VALUE, [&](Node& node) -> LSTATUS {
            auto found = FindValue(node, valueName ? valueName : "");
            if (found == node.values.end()) {
                return ERROR_FILE_NOT_FOUND;
            }
            return CopyData(found->second, type, data, size);
        });
}

LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD reserved, LPSTR className, LPDWORD classLength,
                             PFILETIME lastWriteTime) {
    return OnKey("RegEnumKeyExA",
                 {Key(key), Num(index), Ptr(name), Num(nameLength ? *nameLength : 0), Ptr(reserved),
                  Ptr(className), Ptr(classLength), Ptr(lastWriteTime)},
                 key, KEY_ENUMERATE_SUB_KEYS, [&](Node& node) -> LSTATUS {
                     if (name == nullptr || nameLength == nullptr) {
                         return ERROR_INVALID_PARAMETER;
                     }
                     if (index >= node.children.size()) {
                         return ERROR_NO_MORE_ITEMS;
                     }
                     const std::string& child =
                         std::next(node.children.begin(), index)->second->name;
                     const LSTATUS status = CopyName(child, name, nameLength);
                     if (status == ERROR_SUCCESS) {
                         Put(lastWriteTime, FILETIME{0, 0});
                     }
                     return status;
                 });
}

LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return OnKey("RegEnumValueA",
                 {Key(key), Num(index), Ptr(name), Num(nameLength ? *nameLength : 0), Ptr(reserved),
                  Ptr(type), Ptr(data), Num(dataSize ? *dataSize : 0)},
                 key, KEY_QUERY_VALUE, [&](Node& node) -> LSTATUS {
                     if (name == nullptr || nameLength == nullptr) {
                         return ERROR_INVALID_PARAMETER;
                     }
                     if (index >= node.values.size()) {
                         return ERROR_NO_MORE_ITEMS;
                     }
                     const auto& entry = node.values[index];
                     if (LSTATUS status = CopyName(entry.first, name, nameLength);
                         status != ERROR_SUCCESS) {
                         return status;
                     }
                     return CopyData(entry.second, type, data, dataSize);
                 });
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                LPDWORD securityDescriptor, PFILETIME lastWriteTime) {
    return OnKey("RegQueryInfoKeyA",
                 {Key(key), Ptr(className), Ptr(classLength), Ptr(reserved), Ptr(subKeys),
                  Ptr(maxSubKeyLength), Ptr(maxClassLength), Ptr(values), Ptr(maxValueNameLength),
                  Ptr(maxValueLength), Ptr(securityDescriptor), Ptr(lastWriteTime)},
                 key, KEY_QUERY_VALUE, [&](Node& node) -> LSTATUS {
                     // Lengths as the registry stores names and strings: in UTF-16 code units.
                     DWORD longestName = 0;
                     DWORD longestData = 0;
                     for (const auto& entry : node.values) {
                         longestName =
                             std::max(longestName, static_cast<DWORD>(Utf16Length(entry.first)));
                         longestData = std::max(longestData, StoredSize(entry.second));
                     }
                     DWORD longestKey = 0;
                     for (const auto& child : node.children) {
                         longestKey = std::max(longestKey,
                                               static_cast<DWORD>(Utf16Length(child.second->name)));
                     }
                     Put(subKeys, static_cast<DWORD>(node.children.size()));
                     Put(values, static_cast<DWORD>(node.values.size()));
                     Put(maxSubKeyLength, longestKey);
                     Put(maxValueNameLength, longestName);
                     Put(maxValueLength, longestData);
                     Put(maxClassLength, 0);
                     Put(classLength, 0);
                     Put(securityDescriptor, 0);
                     Put(lastWriteTime, FILETIME{0, 0});
                     return ERROR_SUCCESS;
                 });
}
