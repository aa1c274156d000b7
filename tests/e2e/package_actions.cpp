// Reads a package's custom actions that call the DLL, with the installer's database API.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdlib>

#include "package_actions.h"
#include "runtime/handles.h"
#include "zelk_exports.h"

namespace zelk::e2e {
namespace {

// Custom action types: the low six bits give the kind and the source.
constexpr int kKindMask = 0x3F;
constexpr int kDllFromBinary = 1;
constexpr int kDllFromFile = 17;
constexpr int kPropertyFromText = 51;

// Any installer handle: database, view or record.
using MsiHandle = MsiRecord;

std::string FieldText(MSIHANDLE record, UINT field) {
    DWORD size = 0;
    char empty[1] = {};
    if (MsiRecordGetStringA(record, field, empty, &size) != ERROR_MORE_DATA) {
        return "";
    }
    std::string text(size + 1, '\0');
    ++size;
    if (MsiRecordGetStringA(record, field, text.data(), &size) != ERROR_SUCCESS) {
        return "";
    }
    text.resize(size);
    return text;
}

using Rows = std::vector<std::vector<std::string>>;

// Every row of the query as its fields' text; none when the table is missing.
Rows Query(MSIHANDLE database, const char* sql, UINT fields) {
    Rows rows;
    MsiHandle view;
    if (MsiDatabaseOpenViewA(database, sql, view.put()) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), 0) != ERROR_SUCCESS) {
        return rows;
    }
    for (;;) {
        MsiHandle record;
        if (MsiViewFetch(view.get(), record.put()) != ERROR_SUCCESS) {
            return rows;
        }
        auto& row = rows.emplace_back();
        for (UINT field = 1; field <= fields; ++field) {
            row.push_back(FieldText(record.get(), field));
        }
    }
}

bool IsExportName(const std::string& entry) {
    for (const char* name : kExportNames) {
        if (entry == name) {
            return true;
        }
    }
    return false;
}

bool CallsTheDll(int type, const std::string& entry) {
    const int kind = type & kKindMask;
    return (kind == kDllFromBinary || kind == kDllFromFile) && IsExportName(entry);
}

// The key of a state location "K\V" after the package token, or of a state key "K\".
std::string StateKeyIn(const std::string& data) {
    const auto at = data.find('@');
    const std::string location = at == std::string::npos ? data : data.substr(at + 1);
    const auto slash = location.rfind('\\');
    if (slash == std::string::npos || location.find('[') != std::string::npos) {
        return "";
    }
    if (at == std::string::npos && slash + 1 != location.size()) {
        return "";
    }
    return location.substr(0, slash);
}

// The first state key that the data of one of the DLL's actions names.
std::string FindStateKey(const Rows& customActions, const std::vector<DllAction>& actions) {
    for (const auto& row : customActions) {
        const int type = std::atoi(row[1].c_str());
        if ((type & kKindMask) != kPropertyFromText) {
            continue;
        }
        bool feedsOurs = row[2] == "CustomActionData";
        for (const auto& action : actions) {
            feedsOurs = feedsOurs || row[2] == action.name;
        }
        if (const auto key = StateKeyIn(row[3]); feedsOurs && !key.empty()) {
            return key;
        }
    }
    return "";
}

}  // namespace

std::optional<Package> ReadPackage(const std::string& path) {
    MsiHandle database;
    if (MsiOpenDatabaseA(path.c_str(), MSIDBOPEN_READONLY, database.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    Package package;
    const auto codes =
        Query(database.get(), "SELECT `Value` FROM `Property` WHERE `Property` = 'ProductCode'", 1);
    package.productCode = codes.empty() ? "" : codes[0][0];
    const auto rows =
        Query(database.get(), "SELECT `Action`, `Type`, `Source`, `Target` FROM `CustomAction`", 4);
    for (const auto& row : rows) {
        const int type = std::atoi(row[1].c_str());
        if (CallsTheDll(type, row[3])) {
            package.actions.push_back({row[0], type, row[3]});
        }
    }
    package.stateKey = FindStateKey(rows, package.actions);
    return package;
}

}  // namespace zelk::e2e
