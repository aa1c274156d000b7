// The rows of an installer package that the checker looks at, read once and held as plain
// values, so that the checks themselves need no installer API.
#pragma once

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

struct PackageTables {
    std::vector<CustomActionRow> customActions;
    std::vector<SequenceRow> installExecuteSequence;
    std::map<std::string, std::string> properties;
    std::map<std::string, DirectoryRow> directories;
    std::map<std::string, std::string> componentDirectories;
    std::map<std::string, FileRow> files;
};

// Reads the tables of the package at path, opened read-only. On failure returns nothing and
// puts the reason into why.
std::optional<PackageTables> ReadPackageTables(const std::string& path, std::string& why);

}  // namespace zelk::checker
