// advapi32 registry over an in-memory tree below HKEY_LOCAL_MACHINE. Key names compare without
// regard to case; subkeys enumerate in sorted order, values in the order they were created.
#include "machine.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>

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
    std::set<OpenKey*> handles;
};

Registry& State() {
    static Registry registry;
    return registry;
}

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

Node* Find(const std::string& fullPath) {
    std::vector<std::string> parts;
    if (!SplitPath(fullPath, parts)) {
        return nullptr;
    }
    Node* node = &State().root;
    for (const std::string& part : parts) {
        auto child = node->children.find(detail::Upper(part));
        if (child == node->children.end()) {
            return nullptr;
        }
        node = child->second.get();
    }
    return node;
}

Node* Create(const std::string& fullPath, bool* created = nullptr) {
    std::vector<std::string> parts;
    if (!SplitPath(fullPath, parts)) {
        return nullptr;
    }
    Node* node = &State().root;
    bool made = false;
    for (const std::string& part : parts) {
        auto& slot = node->children[detail::Upper(part)];
        if (!slot) {
            slot = std::make_unique<Node>();
            slot->name = part;
            made = true;
        }
        node = slot.get();
    }
    if (created) {
        *created = made;
    }
    return node;
}

std::string Join(const std::string& base, const std::string& sub) {
    if (base.empty()) {
        return sub;
    }
    if (sub.empty()) {
        return base;
    }
    return base + "\\" + sub;
}

// Resolves a key handle to its path; false for a handle that is not open.
bool BasePath(HKEY key, std::string& path, REGSAM& access) {
    if (key == HKEY_LOCAL_MACHINE) {
        path.clear();
        access = detail::Elevated() ? KEY_ALL_ACCESS : KEY_READ;
        return true;
    }
    auto* open = reinterpret_cast<OpenKey*>(key);
    if (State().handles.count(open) == 0) {
        return false;
    }
    path = open->path;
    access = open->access;
    return true;
}

auto FindValue(Node& node, const std::string& name) {
    return std::find_if(node.values.begin(), node.values.end(),
                        [&](const auto& entry) { return detail::EqualNoCase(entry.first, name); });
}

HKEY NewHandle(const std::string& path, REGSAM access) {
    auto* open = new OpenKey{path, access};
    State().handles.insert(open);
    detail::CountOpen(HandleKind::RegistryKey);
    return reinterpret_cast<HKEY>(open);
}

// Resolves the node behind an open handle, with the rights the operation needs.
LSTATUS Resolve(HKEY key, REGSAM needed, Node*& node) {
    std::string path;
    REGSAM access = 0;
    if (!BasePath(key, path, access)) {
        return ERROR_INVALID_HANDLE;
    }
    node = Find(path);
    if (node == nullptr) {
        return ERROR_KEY_DELETED;
    }
    // The machine root is no hive: it holds no values of its own.
    if ((access & needed) != needed || (path.empty() && (needed & KEY_SET_VALUE))) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

}  // namespace

void CreateKey(const std::string& path) {
    Create(path);
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
    std::string parentPath;
    for (const auto& part : parts) {
        parentPath = Join(parentPath, part);
    }
    if (Node* parent = Find(parentPath)) {
        parent->children.erase(leaf);
    }
}

void SetValue(const std::string& keyPath, const std::string& name, DWORD type,
              std::vector<BYTE> data) {
    Node* node = Create(keyPath);
    auto existing = FindValue(*node, name);
    if (existing != node->values.end()) {
        existing->second = RegValue{type, std::move(data)};
    } else {
        node->values.emplace_back(name, RegValue{type, std::move(data)});
    }
}

void SetString(const std::string& keyPath, const std::string& name, const std::string& text,
               DWORD type) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    SetValue(keyPath, name, type, std::move(data));
}

void SetDword(const std::string& keyPath, const std::string& name, DWORD value) {
    std::vector<BYTE> data(4);
    std::memcpy(data.data(), &value, 4);
    SetValue(keyPath, name, REG_DWORD, std::move(data));
}

std::optional<RegValue> Value(const std::string& keyPath, const std::string& name) {
    Node* node = Find(keyPath);
    if (node == nullptr) {
        return std::nullopt;
    }
    auto found = FindValue(*node, name);
    if (found == node->values.end()) {
        return std::nullopt;
    }
    return found->second;
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
    std::vector<std::string> names;
    if (Node* node = Find(keyPath)) {
        for (const auto& entry : node->values) {
            names.push_back(entry.first);
        }
    }
    return names;
}

std::vector<std::string> SubKeyNames(const std::string& keyPath) {
    std::vector<std::string> names;
    if (Node* node = Find(keyPath)) {
        for (const auto& entry : node->children) {
            names.push_back(entry.second->name);
        }
    }
    return names;
}

namespace detail {
void ResetRegistry() {
    for (OpenKey* open : State().handles) {
        delete open;
    }
    State().handles.clear();
    State().root = Node{};
}
}  // namespace detail

}  // namespace winsim

using winsim::Num;
using winsim::Str;
using winsim::detail::Enter;

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    using namespace winsim;
    auto failure = Enter("RegOpenKeyExA", {detail::Key(key), Str(subKey), Num(options), Num(access),
                                           detail::Ptr(result)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string base;
    REGSAM baseAccess = 0;
    if (!BasePath(key, base, baseAccess)) {
        return ERROR_INVALID_HANDLE;
    }
    std::string sub = subKey ? subKey : "";
    std::vector<std::string> parts;
    if (!SplitPath(sub, parts)) {
        return kBadPathname;
    }
    std::string path = base;
    for (const auto& part : parts) {
        path = Join(path, part);
    }
    if (Find(path) == nullptr) {
        return Find(base) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    }
    if (Denied(access)) {
        return ERROR_ACCESS_DENIED;
    }
    // No subkey of the root hands back the predefined handle itself, not a new one.
    *result = key == HKEY_LOCAL_MACHINE && parts.empty() ? key : NewHandle(path, access);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className,
                               DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                               PHKEY result, LPDWORD disposition) {
    using namespace winsim;
    auto failure =
        Enter("RegCreateKeyExA",
              {detail::Key(key), Str(subKey), Num(reserved), Str(className), Num(options),
               Num(access), detail::Ptr(security), detail::Ptr(result), detail::Ptr(disposition)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    if (result == nullptr || subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string sub = subKey;
    if (!sub.empty() && sub[0] == '\\') {
        return kBadPathname;
    }
    Node* node = nullptr;
    if (LSTATUS status = Resolve(key, 0, node); status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<std::string> parts;
    if (!SplitPath(sub, parts)) {
        return kBadPathname;
    }
    std::string base;
    REGSAM baseAccess = 0;
    BasePath(key, base, baseAccess);
    std::string path = base;
    for (const auto& part : parts) {
        path = Join(path, part);
    }
    // Creating needs KEY_CREATE_SUB_KEY on the parent; opening an existing key, the rights asked.
    // Nobody creates keys directly below the machine root: those are the hives.
    const bool exists = Find(path) != nullptr;
    const bool belowRoot = base.empty() && parts.size() == 1;
    if (Denied(exists ? access : KEY_CREATE_SUB_KEY) || (!exists && belowRoot)) {
        return ERROR_ACCESS_DENIED;
    }
    bool created = false;
    Create(path, &created);
    if (disposition) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *result = NewHandle(path, access);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    using namespace winsim;
    auto failure = Enter("RegCloseKey", {detail::Key(key)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    auto* open = reinterpret_cast<OpenKey*>(key);
    if (State().handles.erase(open) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    delete open;
    detail::CountClose(HandleKind::RegistryKey);
    return ERROR_SUCCESS;
}

namespace {

LSTATUS DeleteSubKey(HKEY key, LPCSTR subKey) {
    using namespace winsim;
    std::string base;
    REGSAM access = 0;
    if (!BasePath(key, base, access)) {
        return ERROR_INVALID_HANDLE;
    }
    if (subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::string> parts;
    if (!SplitPath(subKey, parts)) {
        return kBadPathname;
    }
    if (parts.empty() && key == HKEY_LOCAL_MACHINE) {
        return ERROR_ACCESS_DENIED;  // a predefined root cannot be deleted
    }
    std::string path = base;
    for (const auto& part : parts) {
        path = Join(path, part);
    }
    Node* node = Find(path);
    if (node == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!node->children.empty() || Denied(DELETE)) {
        return ERROR_ACCESS_DENIED;  // only a key without subkeys, and only with DELETE rights
    }
    DeleteKeyTree(path);
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    using namespace winsim;
    auto failure = Enter("RegDeleteKeyA", {detail::Key(key), Str(subKey)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    return DeleteSubKey(key, subKey);
}

LSTATUS WINAPI RegDeleteKeyExA(HKEY key, LPCSTR subKey, REGSAM view, DWORD reserved) {
    using namespace winsim;
    auto failure =
        Enter("RegDeleteKeyExA", {detail::Key(key), Str(subKey), Num(view), Num(reserved)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    return DeleteSubKey(key, subKey);
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    using namespace winsim;
    auto failure = Enter("RegDeleteValueA", {detail::Key(key), Str(valueName)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    Node* node = nullptr;
    if (LSTATUS status = Resolve(key, KEY_SET_VALUE, node); status != ERROR_SUCCESS) {
        return status;
    }
    auto found = FindValue(*node, valueName ? valueName : "");
    if (found == node->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    node->values.erase(found);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                              const BYTE* data, DWORD size) {
    using namespace winsim;
    const detail::PlatformScope rendering;  // the data are copied for the log
    std::string rendered = data ? std::string(reinterpret_cast<const char*>(data), size) : "null";
    auto failure = Enter("RegSetValueExA", {detail::Key(key), Str(valueName), Num(reserved),
                                            Num(type), rendered, Num(size)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    Node* node = nullptr;
    if (LSTATUS status = Resolve(key, KEY_SET_VALUE, node); status != ERROR_SUCCESS) {
        return status;
    }
    if (data == nullptr && size != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<BYTE> bytes(data, data + size);
    std::string name = valueName ? valueName : "";
    auto existing = FindValue(*node, name);
    if (existing != node->values.end()) {
        existing->second = RegValue{type, std::move(bytes)};
    } else {
        node->values.emplace_back(name, RegValue{type, std::move(bytes)});
    }
    return ERROR_SUCCESS;
}

namespace {

// Copies value data out as the registry does: size in and out, ERROR_MORE_DATA when short.
LSTATUS CopyData(const winsim::RegValue& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (type) {
        *type = value.type;
    }
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
    if (size) {
        *size = needed;
    }
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD size) {
    using namespace winsim;
    auto failure =
        Enter("RegQueryValueExA", {detail::Key(key), Str(valueName), detail::Ptr(reserved),
                                   detail::Ptr(type), detail::Ptr(data), Num(size ? *size : 0)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    Node* node = nullptr;
    if (LSTATUS status = Resolve(key, KEY_QUERY_VALUE, node); status != ERROR_SUCCESS) {
        return status;
    }
    auto found = FindValue(*node, valueName ? valueName : "");
    if (found == node->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    return CopyData(found->second, type, data, size);
}

LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD reserved, LPSTR className, LPDWORD classLength,
                             PFILETIME lastWriteTime) {
    using namespace winsim;
    auto failure = Enter("RegEnumKeyExA", {detail::Key(key), Num(index), detail::Ptr(name),
                                           Num(nameLength ? *nameLength : 0), detail::Ptr(reserved),
                                           detail::Ptr(className), detail::Ptr(classLength),
                                           detail::Ptr(lastWriteTime)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    Node* node = nullptr;
    if (LSTATUS status = Resolve(key, KEY_ENUMERATE_SUB_KEYS, node); status != ERROR_SUCCESS) {
        return status;
    }
    if (name == nullptr || nameLength == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (index >= node->children.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    auto child = node->children.begin();
    std::advance(child, index);
    const std::string& childName = child->second->name;
    if (*nameLength <= childName.size()) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, childName.c_str(), childName.size() + 1);
    *nameLength = static_cast<DWORD>(childName.size());
    if (lastWriteTime) {
        *lastWriteTime = FILETIME{0, 0};
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    using namespace winsim;
    auto failure = Enter("RegEnumValueA",
                         {detail::Key(key), Num(index), detail::Ptr(name),
                          Num(nameLength ? *nameLength : 0), detail::Ptr(reserved),
                          detail::Ptr(type), detail::Ptr(data), Num(dataSize ? *dataSize : 0)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    Node* node = nullptr;
    if (LSTATUS status = Resolve(key, KEY_QUERY_VALUE, node); status != ERROR_SUCCESS) {
        return status;
    }
    if (name == nullptr || nameLength == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (index >= node->values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const auto& entry = node->values[index];
    if (*nameLength <= entry.first.size()) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, entry.first.c_str(), entry.first.size() + 1);
    *nameLength = static_cast<DWORD>(entry.first.size());
    return CopyData(entry.second, type, data, dataSize);
}

namespace {

// Bytes a value takes in the registry, where strings are kept in UTF-16.
DWORD StoredSize(const winsim::RegValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) {
        return static_cast<DWORD>(value.data.size());
    }
    const std::string text(value.data.begin(), value.data.end());
    return static_cast<DWORD>(2 * winsim::detail::Utf16Length(text));
}

}  // namespace

LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLength, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                LPDWORD securityDescriptor, PFILETIME lastWriteTime) {
    using namespace winsim;
    auto failure = Enter(
        "RegQueryInfoKeyA",
        {detail::Key(key), detail::Ptr(className), detail::Ptr(classLength), detail::Ptr(reserved),
         detail::Ptr(subKeys), detail::Ptr(maxSubKeyLength), detail::Ptr(maxClassLength),
         detail::Ptr(values), detail::Ptr(maxValueNameLength), detail::Ptr(maxValueLength),
         detail::Ptr(securityDescriptor), detail::Ptr(lastWriteTime)});
    if (failure) {
        return static_cast<LSTATUS>(failure->error);
    }
    Node* node = nullptr;
    if (LSTATUS status = Resolve(key, KEY_QUERY_VALUE, node); status != ERROR_SUCCESS) {
        return status;
    }
    if (subKeys) {
        *subKeys = static_cast<DWORD>(node->children.size());
    }
    if (values) {
        *values = static_cast<DWORD>(node->values.size());
    }
    // Lengths as the registry stores names and strings: in UTF-16 code units.
    DWORD longestName = 0;
    DWORD longestData = 0;
    for (const auto& entry : node->values) {
        longestName = std::max(longestName, static_cast<DWORD>(detail::Utf16Length(entry.first)));
        longestData = std::max(longestData, StoredSize(entry.second));
    }
    DWORD longestKey = 0;
    for (const auto& child : node->children) {
        longestKey =
            std::max(longestKey, static_cast<DWORD>(detail::Utf16Length(child.second->name)));
    }
    if (maxSubKeyLength) {
        *maxSubKeyLength = longestKey;
    }
    if (maxValueNameLength) {
        *maxValueNameLength = longestName;
    }
    if (maxValueLength) {
        *maxValueLength = longestData;
    }
    if (maxClassLength) {
        *maxClassLength = 0;
    }
    if (classLength) {
        *classLength = 0;
    }
    if (securityDescriptor) {
        *securityDescriptor = 0;
    }
    if (lastWriteTime) {
        *lastWriteTime = FILETIME{0, 0};
    }
    return ERROR_SUCCESS;
}
