// The INF reader: the [Version] section's class, and how the parser answers a text that is no
// INF. SetupDiGetINFClassA reads through here.
#include "devices.h"

#include <algorithm>
#include <cstdio>

namespace winsim::detail {
namespace {

constexpr const char* kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr DWORD kExpectedSectionName = 0xE0000000;  // ERROR_EXPECTED_SECTION_NAME
constexpr DWORD kWrongInfStyle = 0xE0000100;        // ERROR_WRONG_INF_STYLE

std::optional<GUID> ParseGuid(const std::string& text) {
    GUID guid{};
    uint8_t* const bytes = guid.Data4;
    char close = 0;
    const int read =
        std::sscanf(text.c_str(), "{%8x-%4hx-%4hx-%2hhx%2hhx-%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%c",
                    &guid.Data1, &guid.Data2, &guid.Data3, &bytes[0], &bytes[1], &bytes[2],
                    &bytes[3], &bytes[4], &bytes[5], &bytes[6], &bytes[7], &close);
    return read == 12 && close == '}' ? std::optional(guid) : std::nullopt;
}

// The name a device class is registered under on this machine; "" for a class not installed.
std::string RegisteredClassName(const GUID& guid) {
    return StringValue(std::string(kClassKey) + GuidText(guid), "Class").value_or("");
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    return first == std::string::npos
               ? ""
               : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Unquote(const std::string& text) {
    const bool quoted = text.size() >= 2 && text.front() == '"' && text.back() == '"';
    return quoted ? text.substr(1, text.size() - 2) : text;
}

// The text's lines, trimmed; INFs end their lines with "\r\n" or "\n".
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(Trim(text.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

// Class and ClassGuid of an INF's [Version] section.
struct InfVersion {
    std::optional<std::string> className;
    std::optional<std::string> classGuid;
};

InfVersion ReadInfVersion(const std::string& text) {
    InfVersion version;
    bool inVersion = false;
    for (std::string line : Lines(text)) {
        line = Trim(line.substr(0, line.find(';')));
        if (!line.empty() && line.front() == '[') {
            inVersion = EqualNoCase(line, "[Version]");
            continue;
        }
        size_t equals = line.find('=');
        if (!inVersion || equals == std::string::npos) {
            continue;
        }
        std::string key = Trim(line.substr(0, equals));
        std::string value = Unquote(Trim(line.substr(equals + 1)));
        if (EqualNoCase(key, "Class")) {
            version.className = value;
        } else if (EqualNoCase(key, "ClassGuid")) {
            version.classGuid = value;
        }
    }
    return version;
}

// Whether a [Version] section signs the text as a Windows INF.
bool SignedAsInf(const std::string& text) {
    const std::string lower = Lower(text);
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

}  // namespace

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// No section at all, or lines before the first section (a syntax error only where a signed
// header follows them).
DWORD InfSyntaxError(const std::string& text) {
    for (const std::string& line : Lines(text)) {
        if (!line.empty() && line.front() != ';') {
            if (line.front() == '[') {
                return 0;
            }
            return SignedAsInf(text) ? kExpectedSectionName : kWrongInfStyle;
        }
    }
    return kWrongInfStyle;
}

bool DescribesDriverPackage(const std::string& text) {
    for (const std::string& line : Lines(text)) {
        if (EqualNoCase(Trim(line.substr(0, line.find(';'))), "[Manufacturer]")) {
            return true;
        }
    }
    return false;
}

}  // namespace winsim::detail

using namespace winsim;
using namespace winsim::detail;

BOOL WINAPI SetupDiGetINFClassA(PCSTR infName, LPGUID classGuid, PSTR className,
                                DWORD classNameSize, PDWORD requiredSize) {
    return Simulate(
        kClearingBool, "SetupDiGetINFClassA",
        {Str(infName), Ptr(classGuid), Ptr(className), Num(classNameSize), Ptr(requiredSize)},
        [&]() -> DWORD {
            if (infName == nullptr || classGuid == nullptr || className == nullptr) {
                return ERROR_INVALID_PARAMETER;
            }
            std::optional<std::string> text = FileText(infName);
            if (!text) {
                return ERROR_FILE_NOT_FOUND;
            }
            InfVersion version = ReadInfVersion(*text);
            if ((!version.className || version.className->empty()) && !version.classGuid) {
                return ERROR_INVALID_CLASS;
            }
            const std::optional<GUID> guid =
                version.classGuid ? ParseGuid(*version.classGuid) : std::optional<GUID>{};
            // A GUID without a name stands for the class registered under it; "" if none is.
            std::string name = version.className.value_or("");
            if (name.empty() && guid) {
                name = RegisteredClassName(*guid);
            }
            if (DWORD error =
                    CopyOut(name.c_str(), name.size() + 1, className, classNameSize, requiredSize);
                error != ERROR_SUCCESS) {
                return error;
            }
            // A class that names no valid GUID is not installed on the system: GUID_NULL.
            *classGuid = guid.value_or(GUID{});
            return ERROR_SUCCESS;
        });
}
