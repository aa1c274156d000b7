#include "formatted_text.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace zelk::checker {
namespace {

// Windows' defaults for a 64-bit package on 64-bit Windows installed per machine on drive C:
// by the user "User".
const std::pair<const char*, const char*> kStandardFolders[] = {
    {"TARGETDIR", "C:\\"},
    {"ROOTDRIVE", "C:\\"},
    {"WindowsVolume", "C:\\"},
    {"WindowsFolder", "C:\\Windows\\"},
    {"System64Folder", "C:\\Windows\\system32\\"},
    {"SystemFolder", "C:\\Windows\\SysWOW64\\"},
    {"System16Folder", "C:\\Windows\\system\\"},
    {"FontsFolder", "C:\\Windows\\Fonts\\"},
    {"ProgramFiles64Folder", "C:\\Program Files\\"},
    {"ProgramFilesFolder", "C:\\Program Files (x86)\\"},
    {"CommonFiles64Folder", "C:\\Program Files\\Common Files\\"},
    {"CommonFilesFolder", "C:\\Program Files (x86)\\Common Files\\"},
    {"CommonAppDataFolder", "C:\\ProgramData\\"},
    {"TempFolder", "C:\\Users\\User\\AppData\\Local\\Temp\\"},
    {"AppDataFolder", "C:\\Users\\User\\AppData\\Roaming\\"},
    {"LocalAppDataFolder", "C:\\Users\\User\\AppData\\Local\\"},
    {"PersonalFolder", "C:\\Users\\User\\Documents\\"},
    {"DesktopFolder", "C:\\Users\\Public\\Desktop\\"},
    {"ProgramMenuFolder", "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\"},
    {"StartMenuFolder", "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\"},
};

// A Directory table chain longer than this is a loop.
constexpr int kMaxDirectoryDepth = 64;

std::string WithFinalBackslash(std::string path) {
    if (!path.empty() && path.back() != '\\') {
        path += '\\';
    }
    return path;
}

// The target name of a DefaultDir ("[target][:source]", each "short|long"): the long name.
std::string TargetName(const std::string& defaultDir) {
    std::string target = defaultDir.substr(0, defaultDir.find(':'));
    const std::size_t bar = target.find('|');
    return bar == std::string::npos ? target : target.substr(bar + 1);
}

ResolvedText PathOfDirectory(const PackageTables& tables, const std::string& directory, int depth) {
    const std::string standard = StandardFolder(directory);
    if (!standard.empty()) {
        return {standard, true};
    }
    // A folder the Property table names takes that value (an author's default INSTALLDIR).
    const auto property = tables.properties.find(directory);
    if (property != tables.properties.end() && !property->second.empty()) {
        return {WithFinalBackslash(property->second), true};
    }
    const auto row = tables.directories.find(directory);
    if (row == tables.directories.end() || depth > kMaxDirectoryDepth) {
        return {"", false};
    }
    if (row->second.parent.empty() || row->second.parent == directory) {
        return {StandardFolder("TARGETDIR"), true};
    }
    ResolvedText path = PathOfDirectory(tables, row->second.parent, depth + 1);
    const std::string name = TargetName(row->second.defaultDir);
    if (name != "." && !name.empty()) {
        path.text += name + "\\";
    }
    return path;
}

ResolvedText FilePath(const PackageTables& tables, const std::string& file) {
    const auto row = tables.files.find(file);
    if (row == tables.files.end()) {
        return {"", true};  // the installer formats an unknown file key as empty
    }
    const auto component = tables.componentDirectories.find(row->second.component);
    if (component == tables.componentDirectories.end()) {
        return {"", false};
    }
    ResolvedText path = DirectoryPath(tables, component->second);
    path.text += TargetName(row->second.fileName);
    return path;
}

// The value of one bracketed reference, its brackets already taken off.
ResolvedText Reference(const PackageTables& tables, const Properties& properties,
                       const std::string& inner) {
    if (inner.empty()) {
        return {"", true};
    }
    switch (inner[0]) {
        case '\\':
            return {inner.substr(1, 1), true};
        case '~':
            return {std::string(1, '\0'), true};
        case '%':
            return {"", false};
        case '#':
        case '!':
            return FilePath(tables, inner.substr(1));
        case '$': {
            const auto component = tables.componentDirectories.find(inner.substr(1));
            if (component == tables.componentDirectories.end()) {
                return {"", true};
            }
            return DirectoryPath(tables, component->second);
        }
        default:
            break;
    }
    if (tables.directories.count(inner) != 0 || !StandardFolder(inner).empty()) {
        return DirectoryPath(tables, inner);
    }
    const auto property = properties.find(inner);
    if (property == properties.end()) {
        return {"", false};
    }
    return {property->second, true};
}

// Resolves formatted from position at up to its end, or up to the "]" that closes the
// reference the caller is in (then at points past it).
ResolvedText ResolveFrom(const PackageTables& tables, const Properties& properties,
                         const std::string& formatted, std::size_t& at, int depth) {
    const bool inReference = depth > 0;
    ResolvedText out;
    while (at < formatted.size()) {
        const char c = formatted[at++];
        if (c == ']' && inReference) {
            return out;
        }
        if (c == '[' && at < formatted.size() && formatted[at] == '\\' &&
            at + 2 < formatted.size() && formatted[at + 2] == ']') {
            out.text += formatted[at + 1];  // [\x]: the character itself
            at += 3;
            continue;
        }
        if (c != '[') {
            out.text += c;
            continue;
        }
        if (depth == kMaxFormattedNesting) {
            at = formatted.size();
            out.exact = false;
            out.tooDeep = true;
            return out;
        }
        const ResolvedText inner = ResolveFrom(tables, properties, formatted, at, depth + 1);
        const ResolvedText value = Reference(tables, properties, inner.text);
        out.text += value.text;
        out.exact = out.exact && inner.exact && value.exact;
        out.tooDeep = out.tooDeep || inner.tooDeep;
    }
    return out;
}

// The names Windows gives to devices in every folder, with or without an extension.
const char* const kDeviceNames[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1",   "COM2",
                                    "COM3", "COM4", "COM5", "COM6", "COM7",   "COM8",
                                    "COM9", "LPT1", "LPT2", "LPT3", "LPT4",   "LPT5",
                                    "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool IsDeviceName(const std::string& name) {
    // Windows drops trailing spaces and an extension before it looks for a device.
    std::string stem = UpperAscii(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') {
        stem.pop_back();
    }
    return std::any_of(std::begin(kDeviceNames), std::end(kDeviceNames),
                       [&](const char* device) { return stem == device; });
}

}  // namespace

bool IsPlainFileName(const std::string& name) {
    constexpr const char* kSpecial = "\\/:*?\"<>|";
    if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ' ||
        name.find_first_of(kSpecial) != std::string::npos || IsDeviceName(name)) {
        return false;
    }
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

bool MayReadInstalledFile(const std::string& path) {
    const auto below = std::find_if(
        std::begin(kStandardFolders), std::end(kStandardFolders), [&](const auto& folder) {
            // Below a drive's root is anywhere: only the named folders count.
            const std::string root = folder.second;
            return root.size() > 3 && path.size() > root.size() &&
                   UpperAscii(path.substr(0, root.size())) == UpperAscii(root);
        });
    if (below == std::end(kStandardFolders)) {
        return false;
    }
    std::size_t start = 3;  // past "C:\"
    while (start < path.size()) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        if (!IsPlainFileName(path.substr(start, end - start))) {
            return false;
        }
        start = end + 1;
    }
    return path.back() != '\\';
}

std::string StandardFolder(const std::string& name) {
    for (const auto& [folder, path] : kStandardFolders) {
        if (name == folder) {
            return path;
        }
    }
    return "";
}

ResolvedText DirectoryPath(const PackageTables& tables, const std::string& directory) {
    return PathOfDirectory(tables, directory, 0);
}

ResolvedText ResolveFormatted(const PackageTables& tables, const std::string& formatted) {
    return ResolveFormatted(tables, formatted, tables.properties);
}

ResolvedText ResolveFormatted(const PackageTables& tables, const std::string& formatted,
                              const Properties& properties) {
    std::size_t at = 0;
    return ResolveFrom(tables, properties, formatted, at, 0);
}

}  // namespace zelk::checker
