// The rows of an installer package that the checker looks at, read once and held as plain
// values, so that the checks themselves need no installer API.
#pragma once

#include "platform/win32.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zelk::checker {

struct CustomActionRow {
    std::string action;
    int type = 0;
    std::string source;
    std::string target;
};

struct SequenceRow {
    std::string action;
    std::string condition;
    int sequence = 0;
};

struct DirectoryRow {
    std::string parent;
    std::string defaultDir;
};

struct FileRow {
    std::string component;
    std::string fileName;
};

struct ServiceControlRow {
    std::string id;
    std::string name;  // Formatted
    int event = 0;
    std::string component;
};

struct UpgradeRow {
    std::string upgradeCode;
    int attributes = 0;
    std::string versionMin;
    std::string versionMax;
    std::string actionProperty;
};

// A Condition table row: the feature takes the level when the condition holds.
struct FeatureCondition {
    std::string feature;
    int level = 0;
    std::string condition;
};

// An AppSearch row that reads the registry (RegLocator): the property it sets when the value
// is there.
struct RegistrySearch {
    std::string property;
    int root = 0;
    std::string key;
};

struct PackageTables {
    std::vector<CustomActionRow> customActions;
    std::vector<SequenceRow> installExecuteSequence;
    std::map<std::string, std::string> properties;
    std::map<std::string, DirectoryRow> directories;
    std::map<std::string, std::string> componentDirectories;
    std::map<std::string, FileRow> files;
    std::vector<std::string> features;
    // Each feature's Level, and the features each component belongs to.
    std::map<std::string, int> featureLevels;
    std::multimap<std::string, std::string> componentFeatures;
    std::vector<FeatureCondition> featureConditions;
    // Each component's Attributes and Condition, where the table gives them.
    std::map<std::string, int> componentAttributes;
    std::map<std::string, std::string> componentConditions;
    std::vector<ServiceControlRow> serviceControls;
    // The properties the Upgrade table sets when it finds an older version.
    std::vector<std::string> upgradeProperties;
    std::vector<UpgradeRow> upgrades;
    std::vector<RegistrySearch> registrySearches;
    // The keys the Registry table writes below HKEY_LOCAL_MACHINE (root 2, or -1 per machine)
    // in the 64-bit view: a 32-bit component's SOFTWARE keys go below WOW6432Node.
    std::vector<std::string> machineRegistryKeys;
    // The bytes of the Binary rows that DLL actions (type 1) call, by name.
    std::map<std::string, std::string> binaries;
    // The bytes of the files that DLL actions (type 17) call, by File key: those found beside
    // the package or where the package installs them.
    std::map<std::string, std::string> installedDlls;
};

// Reads the tables of the package at path, opened read-only. On failure returns nothing and
// puts into why a sentence that names the file and what is wrong with it.
std::optional<PackageTables> ReadPackageTables(const std::string& path, std::string& why);

// Reads the tables of an open database (a validation session's, for one); the files that DLL
// actions call are looked for in folder (none when empty) and where the package installs them.
std::optional<PackageTables> ReadDatabaseTables(MSIHANDLE database, const std::string& folder,
                                                std::string& why);

}  // namespace zelk::checker
