#include "package_tables.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>

#include "formatted_text.h"
#include "runtime/handles.h"
#include "runtime/paths.h"

namespace zelk::checker {
namespace {

// Any installer handle: database, view or record.
using MsiHandle = MsiRecord;

// msidbUpgradeAttributesOnlyDetect.
constexpr int kUpgradeOnlyDetect = 0x2;
// Registry roots: HKEY_LOCAL_MACHINE, and HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER as ALLUSERS
// says.
constexpr int kRegistryMachine = 2;
constexpr int kRegistryPerInstallation = -1;
// msidbComponentAttributes64bit: without it, the registry reflector puts a component's
// HKLM\SOFTWARE keys below SOFTWARE\WOW6432Node.
constexpr int kComponent64Bit = 0x100;

bool StartsWithSoftware(const std::string& key) {
    constexpr std::string_view kSoftware = "software\\";
    if (key.size() < kSoftware.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kSoftware.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(key[i])) != kSoftware[i]) {
            return false;
        }
    }
    return true;
}

// Custom action types of a DLL from the Binary table and from the File table.
constexpr int kBaseAndSourceMask = 0x37;
constexpr int kDllInBinary = 0x01;
constexpr int kDllInFile = 0x11;

// A DLL is read only this far: its headers, exports and version lie well within it.
constexpr std::size_t kMaxDllBytes = 64U << 20;

std::string SystemMessage(UINT code) {
    LocalText text;
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    text.reset(buffer);
    std::string message = length != 0 ? std::string(buffer, length) : std::string();
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message + " (" + std::to_string(code) + ")";
}

std::string FieldText(MSIHANDLE record, UINT field) {
    DWORD size = 0;
    char empty[1] = {};
    if (MsiRecordGetStringA(record, field, empty, &size) != ERROR_MORE_DATA) {
        return "";
    }
    std::string text(size + 1, '\0');
    size += 1;
    if (MsiRecordGetStringA(record, field, text.data(), &size) != ERROR_SUCCESS) {
        return "";
    }
    text.resize(size);
    return text;
}

int FieldInteger(MSIHANDLE record, UINT field) {
    const int value = MsiRecordGetInteger(record, field);
    return value == static_cast<int>(MSI_NULL_INTEGER) ? 0 : value;
}

class TableReader {
  public:
    explicit TableReader(MSIHANDLE database) : database_(database) {}

    bool HasTable(const char* table) const {
        return MsiDatabaseIsTablePersistentA(database_, table) == MSICONDITION_TRUE;
    }

    // Calls take(record) for every row of the query; false, with why set, when it fails.
    template <typename Take>
    bool ForEachRow(const std::string& query, Take take, std::string& why) const {
        MSIHANDLE raw = 0;
        UINT result = MsiDatabaseOpenViewA(database_, query.c_str(), &raw);
        MsiHandle view(raw);
        if (result == ERROR_SUCCESS) {
            result = MsiViewExecute(view.get(), 0);
        }
        while (result == ERROR_SUCCESS) {
            MSIHANDLE fetched = 0;
            result = MsiViewFetch(view.get(), &fetched);
            MsiHandle record(fetched);
            if (result == ERROR_SUCCESS) {
                take(record.get());
            }
        }
        if (result != ERROR_NO_MORE_ITEMS) {
            why = "its tables cannot be read (" + query + "): " + SystemMessage(result) + ".";
            return false;
        }
        return true;
    }

  private:
    MSIHANDLE database_;
};

bool ReadTables(const TableReader& reader, PackageTables& tables, std::string& why) {
    if (reader.HasTable("CustomAction") &&
        !reader.ForEachRow(
            "SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`",
            [&](MSIHANDLE row) {
                tables.customActions.push_back({FieldText(row, 1), FieldInteger(row, 2),
                                                FieldText(row, 3), FieldText(row, 4)});
            },
            why)) {
        return false;
    }
    if (reader.HasTable("InstallExecuteSequence") &&
        !reader.ForEachRow(
            "SELECT `Action`, `Condition`, `Sequence` FROM `InstallExecuteSequence`",
            [&](MSIHANDLE row) {
                if (!MsiRecordIsNull(row, 3)) {
                    tables.installExecuteSequence.push_back(
                        {FieldText(row, 1), FieldText(row, 2), FieldInteger(row, 3)});
                }
            },
            why)) {
        return false;
    }
    if (reader.HasTable("Property") &&
        !reader.ForEachRow(
            "SELECT `Property`, `Value` FROM `Property`",
            [&](MSIHANDLE row) { tables.properties[FieldText(row, 1)] = FieldText(row, 2); },
            why)) {
        return false;
    }
    if (reader.HasTable("Directory") &&
        !reader.ForEachRow(
            "SELECT `Directory`, `Directory_Parent`, `DefaultDir` FROM `Directory`",
            [&](MSIHANDLE row) {
                tables.directories[FieldText(row, 1)] = {FieldText(row, 2), FieldText(row, 3)};
            },
            why)) {
        return false;
    }
    if (reader.HasTable("Component") &&
        !reader.ForEachRow(
            "SELECT `Component`, `Directory_`, `Attributes`, `Condition` FROM `Component`",
            [&](MSIHANDLE row) {
                const std::string component = FieldText(row, 1);
                tables.componentDirectories[component] = FieldText(row, 2);
                tables.componentAttributes[component] = FieldInteger(row, 3);
                if (!MsiRecordIsNull(row, 4)) {
                    tables.componentConditions[component] = FieldText(row, 4);
                }
            },
            why)) {
        return false;
    }
    if (reader.HasTable("File") &&
        !reader.ForEachRow(
            "SELECT `File`, `Component_`, `FileName` FROM `File`",
            [&](MSIHANDLE row) {
                tables.files[FieldText(row, 1)] = {FieldText(row, 2), FieldText(row, 3)};
            },
            why)) {
        return false;
    }
    if (reader.HasTable("Feature") && !reader.ForEachRow(
                                          "SELECT `Feature`, `Level` FROM `Feature`",
                                          [&](MSIHANDLE row) {
                                              tables.features.push_back(FieldText(row, 1));
                                              tables.featureLevels[FieldText(row, 1)] =
                                                  FieldInteger(row, 2);
                                          },
                                          why)) {
        return false;
    }
    if (reader.HasTable("FeatureComponents") &&
        !reader.ForEachRow(
            "SELECT `Feature_`, `Component_` FROM `FeatureComponents`",
            [&](MSIHANDLE row) {
                tables.componentFeatures.emplace(FieldText(row, 2), FieldText(row, 1));
            },
            why)) {
        return false;
    }
    if (reader.HasTable("Condition") &&
        !reader.ForEachRow(
            "SELECT `Feature_`, `Level`, `Condition` FROM `Condition`",
            [&](MSIHANDLE row) {
                tables.featureConditions.push_back(
                    {FieldText(row, 1), FieldInteger(row, 2), FieldText(row, 3)});
            },
            why)) {
        return false;
    }
    if (reader.HasTable("ServiceControl") &&
        !reader.ForEachRow(
            "SELECT `ServiceControl`, `Name`, `Event`, `Component_` FROM `ServiceControl`",
            [&](MSIHANDLE row) {
                tables.serviceControls.push_back({FieldText(row, 1), FieldText(row, 2),
                                                  FieldInteger(row, 3), FieldText(row, 4)});
            },
            why)) {
        return false;
    }
    if (reader.HasTable("Registry") &&
        !reader.ForEachRow(
            "SELECT `Root`, `Key`, `Component_` FROM `Registry`",
            [&](MSIHANDLE row) {
                const int root = FieldInteger(row, 1);
                const auto attributes = tables.componentAttributes.find(FieldText(row, 3));
                const bool wow64 = attributes != tables.componentAttributes.end() &&
                                   (attributes->second & kComponent64Bit) == 0 &&
                                   StartsWithSoftware(FieldText(row, 2));
                if ((root == kRegistryMachine || root == kRegistryPerInstallation) && !wow64) {
                    tables.machineRegistryKeys.push_back(FieldText(row, 2));
                }
            },
            why)) {
        return false;
    }
    std::map<std::string, std::pair<int, std::string>> locators;
    if (reader.HasTable("RegLocator") &&
        !reader.ForEachRow(
            "SELECT `Signature_`, `Root`, `Key` FROM `RegLocator`",
            [&](MSIHANDLE row) {
                locators[FieldText(row, 1)] = {FieldInteger(row, 2), FieldText(row, 3)};
            },
            why)) {
        return false;
    }
    if (reader.HasTable("AppSearch") &&
        !reader.ForEachRow(
            "SELECT `Property`, `Signature_` FROM `AppSearch`",
            [&](MSIHANDLE row) {
                const auto locator = locators.find(FieldText(row, 2));
                if (locator != locators.end()) {
                    tables.registrySearches.push_back(
                        {FieldText(row, 1), locator->second.first, locator->second.second});
                }
            },
            why)) {
        return false;
    }
    return !reader.HasTable("Upgrade") ||
           reader.ForEachRow(
               "SELECT `ActionProperty`, `Attributes`, `UpgradeCode`, `VersionMin`, "
               "`VersionMax` FROM `Upgrade`",
               [&](MSIHANDLE row) {
                   // Rows that only detect, newer versions among them, remove nothing.
                   if ((FieldInteger(row, 2) & kUpgradeOnlyDetect) == 0) {
                       tables.upgradeProperties.push_back(FieldText(row, 1));
                   }
                   tables.upgrades.push_back({FieldText(row, 3), FieldInteger(row, 2),
                                              FieldText(row, 4), FieldText(row, 5),
                                              FieldText(row, 1)});
               },
               why);
}

// The sources (Binary or File keys) of the DLL actions of one kind.
std::set<std::string> DllSources(const PackageTables& tables, int kind) {
    std::set<std::string> sources;
    for (const CustomActionRow& row : tables.customActions) {
        if ((row.type & kBaseAndSourceMask) == kind) {
            sources.insert(row.source);
        }
    }
    return sources;
}

// An unreadable stream gives what was read, as a truncated DLL does.
std::string StreamBytes(MSIHANDLE record, UINT field) {
    std::string bytes(std::min<std::size_t>(MsiRecordDataSize(record, field), kMaxDllBytes), '\0');
    auto size = static_cast<DWORD>(bytes.size());
    if (MsiRecordReadStream(record, field, bytes.data(), &size) != ERROR_SUCCESS) {
        size = 0;
    }
    bytes.resize(std::min<std::size_t>(size, bytes.size()));
    return bytes;
}

bool ReadBinaries(const TableReader& reader, PackageTables& tables, std::string& why) {
    const std::set<std::string> wanted = DllSources(tables, kDllInBinary);
    return wanted.empty() || !reader.HasTable("Binary") ||
           reader.ForEachRow(
               "SELECT `Name`, `Data` FROM `Binary`",
               [&](MSIHANDLE row) {
                   const std::string name = FieldText(row, 1);
                   if (wanted.count(name) != 0) {
                       tables.binaries[name] = StreamBytes(row, 2);
                   }
               },
               why);
}

std::optional<std::string> FileBytes(const std::string& path) {
    if (path.empty()) {
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = std::max<std::streamoff>(file.tellg(), 0);
    file.seekg(0, std::ios::beg);
    std::string bytes(static_cast<std::size_t>(std::min<std::streamoff>(size, kMaxDllBytes)), '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
}

// A file that DLL actions call: beside the package, or where the package installs it.
void ReadInstalledDlls(PackageTables& tables, const std::string& folder) {
    for (const std::string& key : DllSources(tables, kDllInFile)) {
        if (tables.files.count(key) == 0) {
            continue;
        }
        // The package names both paths: only a plain name beside the package and a local path
        // below a standard folder are read, never a share, a device or a "\\?\\" path.
        const ResolvedText installed = ResolveFormatted(tables, "[#" + key + "]");
        const std::string name = FileNameOfPath(installed.text);
        const bool beside = !folder.empty() && IsPlainFileName(name);
        const bool there = installed.exact && MayReadInstalledFile(installed.text);
        std::string besidePath = folder;
        besidePath += '\\';
        besidePath += name;
        for (const std::string& path : {beside ? besidePath : "", there ? installed.text : ""}) {
            if (auto bytes = FileBytes(path)) {
                tables.installedDlls[key] = std::move(*bytes);
                break;
            }
        }
    }
}

// The folder of a path given with either slash; "." for a bare name.
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The first bytes of every compound file, the container format of installer databases.
constexpr unsigned char kCompoundFileSignature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Why the file at path cannot be an installer database, or "" when it may be one.
std::string WhyNotADatabase(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return path + " cannot be read: there is no such file, or it cannot be opened.";
    }
    unsigned char head[sizeof(kCompoundFileSignature)] = {};
    file.read(reinterpret_cast<char*>(head), sizeof(head));
    if (file.gcount() != static_cast<std::streamsize>(sizeof(head)) ||
        !std::equal(std::begin(head), std::end(head), std::begin(kCompoundFileSignature))) {
        return path + " is not an installer database: it is not a compound file, the format " +
               "of every .msi package.";
    }
    return "";
}

}  // namespace

std::optional<PackageTables> ReadDatabaseTables(MSIHANDLE database, const std::string& folder,
                                                std::string& why) {
    PackageTables tables;
    const TableReader reader(database);
    if (!ReadTables(reader, tables, why) || !ReadBinaries(reader, tables, why)) {
        return std::nullopt;
    }
    ReadInstalledDlls(tables, folder);
    return tables;
}

std::optional<PackageTables> ReadPackageTables(const std::string& path, std::string& why) {
    why = WhyNotADatabase(path);
    if (!why.empty()) {
        return std::nullopt;
    }
    MSIHANDLE raw = 0;
    const UINT opened = MsiOpenDatabaseA(path.c_str(), MSIDBOPEN_READONLY, &raw);
    MsiHandle database(raw);
    if (opened != ERROR_SUCCESS) {
        why = path + " is damaged or not an installer database: the installer cannot open it (" +
              SystemMessage(opened) + ").";
        return std::nullopt;
    }
    std::optional<PackageTables> tables = ReadDatabaseTables(database.get(), FolderOf(path), why);
    if (!tables) {
        why = path + " is damaged: " + why;
    }
    return tables;
}

}  // namespace zelk::checker
