// kernel32 and the CRT: last error, files, processes, modules, system texts, code pages.
#include "machine.h"

#include <cstring>
#include <map>
#include <set>

namespace winsim {
namespace {

struct Kernel {
    DWORD lastError = 0;
    UINT codePage = 1252;
    std::set<std::string> files;                  // upper-cased full paths
    std::map<std::string, std::string> contents;  // by upper-cased path; absent means empty
    std::set<std::string> directories{
        "C:\\"};  // upper-cased full paths; only roots end in a backslash
    std::string currentDirectory = "C:\\Windows\\system32";
    std::string systemDirectory = "C:\\Windows\\system32";
    std::vector<Launch> launches;
    std::set<HANDLE> processHandles;
    uintptr_t nextHandle = 0x1000;
    std::set<std::string> absentProcs;
    std::map<DWORD, std::optional<std::string>> messages;
};

Kernel& State() {
    static Kernel kernel;
    return kernel;
}

const std::map<DWORD, std::string>& DefaultMessages() {
    static const std::map<DWORD, std::string> texts = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_GENERAL_SYNTAX, "The syntax of the INF is invalid.\r\n"},
        {ERROR_INVALID_CLASS, "The class is invalid.\r\n"},
    };
    return texts;
}

// A path that does not start at a root, read as Windows reads it: from the current directory
// ("name"), from the current drive's root ("\\name"), or from the current directory of its
// drive ("C:name"; only the current drive has one here, any other is read from its root). A
// network path ("\\\\server") is left as it stands.
std::string FromRoot(const std::string& path) {
    const std::string& current = State().currentDirectory;
    const auto separator = [&path](size_t i) {
        return i < path.size() && (path[i] == '\\' || path[i] == '/');
    };
    const bool drive = path.size() >= 2 && path[1] == ':';
    if ((drive && separator(2)) || (separator(0) && separator(1)) || path.empty()) {
        return path;
    }
    if (separator(0)) {
        return current.substr(0, 2) + path;
    }
    if (!drive) {
        return current + "\\" + path;
    }
    const bool currentDrive =
        detail::Upper(path.substr(0, 2)) == detail::Upper(current.substr(0, 2));
    return (currentDrive ? current : path.substr(0, 2)) + "\\" + path.substr(2);
}

// A file path as Windows reads it, upper-cased for comparison: "/" and "\\" both separate,
// doubled separators count once, "." and ".." are resolved (".." stops at the root), trailing
// dots and spaces of the last name are dropped, and a double-byte character is never split. A
// drive's root keeps its backslash ("C:\\").
std::string NormalizePath(const std::string& path) {
    std::vector<std::string> names;
    for (const std::string& name : detail::Components(FromRoot(path), "\\/")) {
        if (name == "..") {
            if (names.size() > 1) {
                names.pop_back();
            }
        } else if (name != "." && (!name.empty() || names.empty())) {
            names.push_back(name);
        }
    }
    // No trail byte is a dot or a space, so the bytes can be trimmed as they are. A name of
    // dots alone names the folder that holds it.
    if (names.size() > 1) {
        std::string& last = names.back();
        while (!last.empty() && (last.back() == '.' || last.back() == ' ')) {
            last.pop_back();
        }
        if (last.empty()) {
            names.pop_back();
        }
    }
    std::string normalized;
    for (size_t i = 0; i < names.size(); ++i) {
        normalized += (i ? "\\" : "") + names[i];
    }
    if (names.size() == 1 && normalized.size() == 2 && normalized[1] == ':') {
        normalized += "\\";
    }
    return detail::Upper(normalized);
}

// The folder that holds a normalized path ("" for a root).
std::string ParentOf(const std::string& normalized) {
    std::vector<std::string> names = detail::Components(normalized, "\\");
    if (names.size() < 2 || names[1].empty()) {
        return "";
    }
    names.pop_back();
    std::string parent;
    for (size_t i = 0; i < names.size(); ++i) {
        parent += (i ? "\\" : "") + names[i];
    }
    return names.size() == 1 ? parent + "\\" : parent;
}

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') ||
           (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

void AddParents(const std::string& path) {
    for (std::string parent = ParentOf(NormalizePath(path)); !parent.empty();
         parent = ParentOf(parent)) {
        State().directories.insert(parent);
    }
}

bool IsLeadByte(BYTE c) {
    return State().codePage == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

}  // namespace

void SetCodePage(UINT codePage) {
    State().codePage = codePage;
}

void AddFile(const std::string& path) {
    AddParents(path);
    State().files.insert(NormalizePath(path));
}

void AddDirectory(const std::string& path) {
    AddParents(path);
    State().directories.insert(NormalizePath(path));
}

void WriteFile(const std::string& path, const std::string& text) {
    AddFile(path);
    State().contents[NormalizePath(path)] = text;
}

void RemoveFile(const std::string& path) {
    State().files.erase(NormalizePath(path));
    State().contents.erase(NormalizePath(path));
}

bool FileExists(const std::string& path) {
    return State().files.count(NormalizePath(path)) > 0;
}

void SetCurrentDirectory(const std::string& directory) {
    State().currentDirectory = directory;
    AddDirectory(directory);
}

void SetSystemDirectory(const std::string& directory) {
    State().systemDirectory = directory;
}

const std::vector<Launch>& Launches() {
    return State().launches;
}

void SetProcAbsent(const std::string& procName, bool absent) {
    if (absent) {
        State().absentProcs.insert(procName);
    } else {
        State().absentProcs.erase(procName);
    }
}

void SetSystemMessage(DWORD code, std::optional<std::string> text) {
    State().messages[code] = std::move(text);
}

namespace detail {
std::optional<std::string> FileText(const std::string& path) {
    std::string normalized = NormalizePath(path);
    if (State().files.count(normalized) == 0) {
        return std::nullopt;
    }
    auto found = State().contents.find(normalized);
    return found == State().contents.end() ? std::string() : found->second;
}

void ResetKernel() {
    State() = Kernel{};
}
}  // namespace detail

}  // namespace winsim

using winsim::detail::Enter;

DWORD WINAPI GetLastError() {
    return winsim::State().lastError;
}

void WINAPI SetLastError(DWORD error) {
    winsim::State().lastError = error;
}

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation) {
    using namespace winsim;
    auto failure = Enter("CreateProcessA",
                         {Str(applicationName), Str(commandLine), detail::Ptr(processAttributes),
                          detail::Ptr(threadAttributes), Num(static_cast<uint32_t>(inheritHandles)),
                          Num(creationFlags), detail::Ptr(environment), Str(currentDirectory),
                          Num(startupInfo ? startupInfo->cb : 0)});
    if (failure) {
        SetLastError(failure->error);
        return FALSE;
    }
    if (applicationName == nullptr || startupInfo == nullptr || processInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string name = applicationName;
    if (name.find_first_of("*?") != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    // The application name is not searched for along the path: a relative name is taken
    // relative to the current directory.
    std::string resolved = IsAbsolute(name) ? name : State().currentDirectory + "\\" + name;
    if (!FileExists(resolved)) {
        const std::string normalized = NormalizePath(resolved);
        SetLastError(State().directories.count(normalized)             ? ERROR_ACCESS_DENIED
                     : State().directories.count(ParentOf(normalized)) ? ERROR_FILE_NOT_FOUND
                                                                       : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    Launch launch;
    launch.applicationName = name;
    launch.commandLine = Str(commandLine);
    launch.commandLineWritable = commandLine != nullptr;
    launch.resolvedPath = resolved;
    launch.creationFlags = creationFlags;
    launch.startupInfoSize = startupInfo->cb;
    launch.inheritHandles = inheritHandles;
    launch.environmentNull = environment == nullptr;
    launch.currentDirectoryNull = currentDirectory == nullptr;
    State().launches.push_back(launch);

    HANDLE process = reinterpret_cast<HANDLE>(State().nextHandle++);
    HANDLE thread = reinterpret_cast<HANDLE>(State().nextHandle++);
    State().processHandles.insert(process);
    State().processHandles.insert(thread);
    detail::CountOpen(HandleKind::ProcessOrThread);
    detail::CountOpen(HandleKind::ProcessOrThread);
    processInformation->hProcess = process;
    processInformation->hThread = thread;
    processInformation->dwProcessId = static_cast<DWORD>(State().launches.size() * 4 + 1000);
    processInformation->dwThreadId = processInformation->dwProcessId + 1;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    using namespace winsim;
    auto failure = Enter("WaitForSingleObject", {detail::Handle(handle), Num(milliseconds)});
    if (failure) {
        SetLastError(failure->error);
        return static_cast<DWORD>(failure->result.value_or(WAIT_FAILED));
    }
    if (State().processHandles.count(handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    // Simulated programs end at once.
    return WAIT_OBJECT_0;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    using namespace winsim;
    auto failure = Enter("CloseHandle", {detail::Handle(handle)});
    if (failure) {
        SetLastError(failure->error);
        return FALSE;
    }
    if (State().processHandles.erase(handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    detail::CountClose(HandleKind::ProcessOrThread);
    return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    using namespace winsim;
    auto failure = Enter("GetModuleHandleA", {Str(moduleName)});
    if (failure) {
        SetLastError(failure->error);
        return nullptr;
    }
    static const char* const loaded[] = {"advapi32.dll", "kernel32.dll", "msi.dll", "setupapi.dll"};
    for (const char* module : loaded) {
        if (moduleName && detail::EqualNoCase(moduleName, module)) {
            return reinterpret_cast<HMODULE>(const_cast<char*>(module));
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);  // ERROR_MOD_NOT_FOUND on Windows; only null matters
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    using namespace winsim;
    auto failure = Enter("GetProcAddress", {detail::Handle(module), Str(procName)});
    if (failure) {
        SetLastError(failure->error);
        return nullptr;
    }
    std::string name = Str(procName);
    if (module != nullptr && name == "RegDeleteKeyExA" && State().absentProcs.count(name) == 0) {
        return reinterpret_cast<FARPROC>(&RegDeleteKeyExA);
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, void* arguments) {
    using namespace winsim;
    auto failure =
        Enter("FormatMessageA", {Num(flags), detail::Ptr(source), Num(messageId), Num(languageId),
                                 detail::Ptr(buffer), Num(size), detail::Ptr(arguments)});
    if (failure) {
        SetLastError(failure->error);
        return 0;
    }
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::optional<std::string> text;
    auto scripted = State().messages.find(messageId);
    if (scripted != State().messages.end()) {
        text = scripted->second;
    } else if (auto known = DefaultMessages().find(messageId); known != DefaultMessages().end()) {
        text = known->second;
    }
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        char* allocated = new char[text->size() + 1];
        std::memcpy(allocated, text->c_str(), text->size() + 1);
        *reinterpret_cast<char**>(buffer) = allocated;
        detail::CountOpen(HandleKind::LocalMemory);
    } else {
        if (size <= text->size()) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer, text->c_str(), text->size() + 1);
    }
    return static_cast<DWORD>(text->size());
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    using namespace winsim;
    Enter("LocalFree", {detail::Ptr(memory)});
    if (memory != nullptr) {
        delete[] static_cast<char*>(memory);
        detail::CountClose(HandleKind::LocalMemory);
    }
    return nullptr;
}

int WINAPI lstrlenA(LPCSTR text) {
    return text ? static_cast<int>(std::strlen(text)) : 0;
}

UINT WINAPI GetACP() {
    return winsim::State().codePage;
}

BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
    return winsim::IsLeadByte(testChar) ? TRUE : FALSE;
}

int WINAPI LCMapStringA(LCID locale, DWORD mapFlags, LPCSTR source, int sourceLength,
                        LPSTR destination, int destinationLength) {
    using namespace winsim;
    auto failure =
        Enter("LCMapStringA",
              {Num(locale), Num(mapFlags), Str(source), Num(static_cast<uint32_t>(sourceLength)),
               detail::Ptr(destination), Num(static_cast<uint32_t>(destinationLength))});
    if (failure) {
        SetLastError(failure->error);
        return 0;
    }
    bool lower = (mapFlags & LCMAP_LOWERCASE) != 0;
    bool upper = (mapFlags & LCMAP_UPPERCASE) != 0;
    if (source == nullptr || lower == upper) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = sourceLength < 0 ? std::strlen(source) + 1 : static_cast<size_t>(sourceLength);
    const std::string text(source, length);
    const std::string mapped = upper ? detail::Upper(text) : detail::Lower(text);
    if (destinationLength == 0) {
        return static_cast<int>(mapped.size());
    }
    if (destination == nullptr || static_cast<size_t>(destinationLength) < mapped.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(destination, mapped.data(), mapped.size());
    return static_cast<int>(mapped.size());
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    using namespace winsim;
    auto failure = Enter("GetSystemDirectoryA", {detail::Ptr(buffer), Num(size)});
    if (failure) {
        SetLastError(failure->error);
        return 0;
    }
    const std::string& directory = State().systemDirectory;
    if (buffer == nullptr || size <= directory.size()) {
        return static_cast<UINT>(directory.size() + 1);
    }
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<UINT>(directory.size());
}

int _stat64(const char* path, struct _stat64* status) {
    using namespace winsim;
    auto failure = Enter("_stat64", {Str(path)});
    if (failure || path == nullptr || status == nullptr) {
        return -1;
    }
    std::string text = path;
    if (text.empty() || text.find_first_of("*?") != std::string::npos) {
        return -1;
    }
    // The CRT refuses a directory path with a trailing backslash, except a drive root.
    const std::string last = detail::Characters(text).back();
    bool trailing = (last == "\\" || last == "/") && !(text.size() == 3 && text[1] == ':');
    std::string normalized = NormalizePath(text);
    bool isFile = !trailing && State().files.count(normalized) > 0;
    bool isDirectory = !trailing && State().directories.count(normalized) > 0;
    if (!isFile && !isDirectory) {
        return -1;
    }
    *status = {};
    status->st_mode = isDirectory ? 0x4000 : 0x8000;
    return 0;
}
