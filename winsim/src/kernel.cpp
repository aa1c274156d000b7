// kernel32 and the CRT: last error, files, processes, modules, system texts, code pages.
#include "core.h"

#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace winsim {
namespace {

struct Kernel {
    UINT codePage = 1252;
    std::set<std::string> files;                  // upper-cased full paths
    std::map<std::string, std::string> contents;  // by upper-cased path; absent means empty
    std::set<std::string> directories{
        "C:\\"};  // upper-cased full paths; only roots end in a backslash
    std::string currentDirectory = "C:\\Windows\\system32";
    std::string systemDirectory = "C:\\Windows\\system32";
    std::vector<Launch> launches;
    std::set<std::string> absentProcs;
    std::map<DWORD, std::optional<std::string>> messages;
};

constexpr auto State = detail::AreaState<Kernel>;

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

// Names joined into a path; a drive alone is its root ("C:\\").
std::string JoinNames(const std::vector<std::string>& names) {
    std::string path;
    for (size_t i = 0; i < names.size(); ++i) {
        path += (i ? "\\" : "") + names[i];
    }
    return names.size() == 1 && path.size() == 2 && path[1] == ':' ? path + "\\" : path;
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
    return detail::Upper(JoinNames(names));
}

// The folder that holds a normalized path ("" for a root).
std::string ParentOf(const std::string& normalized) {
    std::vector<std::string> names = detail::Components(normalized, "\\");
    if (names.size() < 2 || names[1].empty()) {
        return "";
    }
    names.pop_back();
    return JoinNames(names);
}

bool IsAbsolute(const std::string& path) {
    return (path.size() >= 2 && path[1] == ':') ||
           (!path.empty() && (path[0] == '\\' || path[0] == '/'));
}

// Adds the folders that hold `path`; the path normalized.
std::string AddParents(const std::string& path) {
    const std::string normalized = NormalizePath(path);
    for (std::string parent = ParentOf(normalized); !parent.empty(); parent = ParentOf(parent)) {
        State().directories.insert(parent);
    }
    return normalized;
}

// The system's text for a message number, as scripted or as Windows words it.
std::optional<std::string> SystemMessage(DWORD messageId) {
    if (const auto* scripted = detail::FindIn(State().messages, messageId)) {
        return *scripted;
    }
    const std::string* known = detail::FindIn(DefaultMessages(), messageId);
    return known ? std::optional(*known) : std::nullopt;
}

}  // namespace

void SetCodePage(UINT codePage) {
    State().codePage = codePage;
}

void AddFile(const std::string& path) {
    State().files.insert(AddParents(path));
}

void AddDirectory(const std::string& path) {
    State().directories.insert(AddParents(path));
}

void WriteFile(const std::string& path, const std::string& text) {
    AddFile(path);
    State().contents[NormalizePath(path)] = text;
}

void RemoveFile(const std::string& path) {
    const std::string normalized = NormalizePath(path);
    State().files.erase(normalized);
    State().contents.erase(normalized);
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
unsigned CodePage() {
    return State().codePage;
}

bool IsLeadByte(unsigned char c) {
    return State().codePage == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

std::optional<std::string> FileText(const std::string& path) {
    const std::string normalized = NormalizePath(path);
    if (State().files.count(normalized) == 0) {
        return std::nullopt;
    }
    const std::string* text = FindIn(State().contents, normalized);
    return text ? *text : std::string();
}

}  // namespace detail

}  // namespace winsim

using namespace winsim;
using namespace winsim::detail;

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation) {
    return Simulate(
        kClearingBool, "CreateProcessA",
        {Str(applicationName), Str(commandLine), Ptr(processAttributes), Ptr(threadAttributes),
         Num(static_cast<uint32_t>(inheritHandles)), Num(creationFlags), Ptr(environment),
         Str(currentDirectory), Num(startupInfo ? startupInfo->cb : 0)},
        [&]() -> DWORD {
            if (applicationName == nullptr || startupInfo == nullptr ||
                processInformation == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            std::string name = applicationName;
            if (name.find_first_of("*?") != std::string::npos) {
                return ERROR_INVALID_NAME;
            }
            // The application name is not searched for along the path: a relative name is taken
            // relative to the current directory.
            std::string resolved = IsAbsolute(name) ? name : State().currentDirectory + "\\" + name;
            if (!FileExists(resolved)) {
                const std::string normalized = NormalizePath(resolved);
                return State().directories.count(normalized)             ? ERROR_ACCESS_DENIED
                       : State().directories.count(ParentOf(normalized)) ? ERROR_FILE_NOT_FOUND
                                                                         : ERROR_PATH_NOT_FOUND;
            }
            State().launches.push_back({name, Str(commandLine), commandLine != nullptr, resolved,
                                        creationFlags, startupInfo->cb, inheritHandles,
                                        environment == nullptr, currentDirectory == nullptr});
            const auto processId = static_cast<DWORD>(State().launches.size() * 4 + 1000);
            processInformation->hProcess =
                Open<HANDLE>(HandleKind::ProcessOrThread, std::make_shared<DWORD>(processId));
            processInformation->hThread =
                Open<HANDLE>(HandleKind::ProcessOrThread, std::make_shared<DWORD>(processId + 1));
            processInformation->dwProcessId = processId;
            processInformation->dwThreadId = processId + 1;
            return ERROR_SUCCESS;
        });
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return Simulate(ValueCall<DWORD>{WAIT_FAILED}, "WaitForSingleObject",
                    {Handle(handle), Num(milliseconds)}, [&]() -> Result<DWORD> {
                        // Simulated programs end at once.
                        return Get<DWORD>(handle, HandleKind::ProcessOrThread)
                                   ? Result<DWORD>(WAIT_OBJECT_0)
                                   : Error{ERROR_INVALID_HANDLE};
                    });
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    return Simulate(kBool, "CloseHandle", {Handle(handle)}, [&]() -> DWORD {
        const bool closed =
            ReleaseHandle(reinterpret_cast<uintptr_t>(handle), HandleKind::ProcessOrThread);
        return closed ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    return Simulate(
        ValueCall<HMODULE>{nullptr}, "GetModuleHandleA", {Str(moduleName)},
        [&]() -> Result<HMODULE> {
            static const char* const loaded[] = {"advapi32.dll", "kernel32.dll", "msi.dll",
                                                 "setupapi.dll"};
            for (const char* module : loaded) {
                if (moduleName && EqualNoCase(moduleName, module)) {
                    return reinterpret_cast<HMODULE>(const_cast<char*>(module));
                }
            }
            return Error{
                ERROR_FILE_NOT_FOUND};  // ERROR_MOD_NOT_FOUND on Windows; only null matters
        });
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    return Simulate(ValueCall<FARPROC>{nullptr}, "GetProcAddress", {Handle(module), Str(procName)},
                    [&]() -> Result<FARPROC> {
                        std::string name = Str(procName);
                        if (module != nullptr && name == "RegDeleteKeyExA" &&
                            State().absentProcs.count(name) == 0) {
                            return reinterpret_cast<FARPROC>(&RegDeleteKeyExA);
                        }
                        return Error{ERROR_PROC_NOT_FOUND};
                    });
}

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPSTR buffer, DWORD size, void* arguments) {
    return Simulate(ValueCall<DWORD>{0}, "FormatMessageA",
                    {Num(flags), Ptr(source), Num(messageId), Num(languageId), Ptr(buffer),
                     Num(size), Ptr(arguments)},
                    [&]() -> Result<DWORD> {
                        if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
                            return Error{ERROR_INVALID_PARAMETER};
                        }
                        const std::optional<std::string> text = SystemMessage(messageId);
                        if (!text) {
                            return Error{ERROR_MR_MID_NOT_FOUND};
                        }
                        if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
                            std::shared_ptr<char[]> allocated(new char[text->size() + 1]);
                            std::memcpy(allocated.get(), text->c_str(), text->size() + 1);
                            *reinterpret_cast<char**>(buffer) = allocated.get();
                            OpenHandle(HandleKind::LocalMemory, allocated,
                                       reinterpret_cast<uintptr_t>(allocated.get()));
                        } else if (size <= text->size()) {
                            return Error{ERROR_INSUFFICIENT_BUFFER};
                        } else {
                            std::memcpy(buffer, text->c_str(), text->size() + 1);
                        }
                        return static_cast<DWORD>(text->size());
                    });
}

// Frees what FormatMessageA allocated; anything else is no local memory handle.
HLOCAL WINAPI LocalFree(HLOCAL memory) {
    return Simulate(ValueCall<HLOCAL>{memory}, "LocalFree", {Ptr(memory)}, [&]() -> Result<HLOCAL> {
        if (memory != nullptr &&
            !ReleaseHandle(reinterpret_cast<uintptr_t>(memory), HandleKind::LocalMemory)) {
            return Error{ERROR_INVALID_HANDLE};
        }
        return HLOCAL{nullptr};
    });
}

int WINAPI lstrlenA(LPCSTR text) {
    return Infallible("lstrlenA", {Str(text)},
                      [&] { return text ? static_cast<int>(std::strlen(text)) : 0; });
}

UINT WINAPI GetACP() {
    return Infallible("GetACP", {}, [] { return State().codePage; });
}

BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
    return Infallible("IsDBCSLeadByte", {Num(testChar)},
                      [&] { return IsLeadByte(testChar) ? TRUE : FALSE; });
}

int WINAPI LCMapStringA(LCID locale, DWORD mapFlags, LPCSTR source, int sourceLength,
                        LPSTR destination, int destinationLength) {
    return Simulate(
        ValueCall<int>{0}, "LCMapStringA",
        {Num(locale), Num(mapFlags), Str(source), Num(static_cast<uint32_t>(sourceLength)),
         Ptr(destination), Num(static_cast<uint32_t>(destinationLength))},
        [&]() -> Result<int> {
            bool lower = (mapFlags & LCMAP_LOWERCASE) != 0;
            bool upper = (mapFlags & LCMAP_UPPERCASE) != 0;
            if (source == nullptr || lower == upper) {
                return Error{ERROR_INVALID_PARAMETER};
            }
            size_t length =
                sourceLength < 0 ? std::strlen(source) + 1 : static_cast<size_t>(sourceLength);
            const std::string text(source, length);
            const std::string mapped = upper ? Upper(text) : Lower(text);
            if (destinationLength == 0) {
                return static_cast<int>(mapped.size());
            }
            if (destination == nullptr || static_cast<size_t>(destinationLength) < mapped.size()) {
                return Error{ERROR_INSUFFICIENT_BUFFER};
            }
            std::memcpy(destination, mapped.data(), mapped.size());
            return static_cast<int>(mapped.size());
        });
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return Simulate(ValueCall<UINT>{0}, "GetSystemDirectoryA", {Ptr(buffer), Num(size)},
                    [&]() -> Result<UINT> {
                        const std::string& directory = State().systemDirectory;
                        if (buffer == nullptr || size <= directory.size()) {
                            return static_cast<UINT>(directory.size() + 1);
                        }
                        std::memcpy(buffer, directory.c_str(), directory.size() + 1);
                        return static_cast<UINT>(directory.size());
                    });
}

// Fails with -1 and no last error, as the CRT does.
int _stat64(const char* path, struct _stat64* status) {
    return Simulate(ValueCall<int>{-1, false}, "_stat64", {Str(path)}, [&]() -> Result<int> {
        if (path == nullptr || status == nullptr || *path == '\0' ||
            std::string(path).find_first_of("*?") != std::string::npos) {
            return Error{ERROR_INVALID_PARAMETER};
        }
        // The CRT refuses a directory path with a trailing backslash, except a drive root.
        const std::string text = path;
        const std::string last = Characters(text).back();
        bool trailing = (last == "\\" || last == "/") && !(text.size() == 3 && text[1] == ':');
        std::string normalized = NormalizePath(text);
        bool isFile = !trailing && State().files.count(normalized) > 0;
        bool isDirectory = !trailing && State().directories.count(normalized) > 0;
        if (!isFile && !isDirectory) {
            return Error{ERROR_FILE_NOT_FOUND};
        }
        *status = {};
        status->st_mode = isDirectory ? 0x4000 : 0x8000;
        return 0;
    });
}
