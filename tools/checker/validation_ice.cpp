// zelk_ca_ice.dll: the checker's second front end, an evaluator for Windows Installer
// validation. A validation tool merges dist/zelk_ca.cub into a copy of the package, opens a
// session on it and runs the cube's action ZELKCA01, which calls this export; every finding
// comes back as an ICE message (INSTALLMESSAGE_USER), which the tool lists beside its own.
#include <exception>
#include <string>

#include "package_checks.h"
#include "package_tables.h"
#include "runtime/handles.h"

namespace {

// The name validation tools print before each message of this evaluator.
constexpr const char* kIceName = "ZELKCA01";

// ICE message types.
constexpr int kIceFailure = 0;
constexpr int kIceError = 1;
constexpr int kIceWarning = 2;
constexpr int kIceInfo = 3;

// Where a message points: a table, a column and a row's key, each left out when empty.
struct IceLocation {
    std::string table;
    std::string column;
    std::string key;
};

// Fields: name, type, description, help location (none), then where: table, column, key. A
// validation tool reads the first blank field as the end of the location.
std::string IceMessage(int type, const std::string& description, const IceLocation& where = {}) {
    std::string message =
        std::string(kIceName) + "\t" + std::to_string(type) + "\t" + description + "\t";
    if (!where.table.empty()) {
        message += "\t" + where.table;
        if (!where.column.empty()) {
            message += "\t" + where.column + "\t" + where.key;
        }
    }
    return message;
}

std::string IceMessage(const zelk::checker::Finding& finding) {
    using zelk::checker::Severity;
    const int type = finding.severity == Severity::Error     ? kIceError
                     : finding.severity == Severity::Warning ? kIceWarning
                                                             : kIceInfo;
    return IceMessage(type, finding.rule + ": " + finding.subject + ": " + finding.message,
                      {finding.table, finding.column, finding.subject});
}

// The text goes into field 1 behind the template "[1]": the installer formats the template,
// and the brackets of a package's formatted values in the text stay as they are.
void Post(MSIHANDLE install, const std::string& message) {
    zelk::MsiRecord record(MsiCreateRecord(1));
    MsiRecordSetStringA(record.get(), 0, "[1]");
    MsiRecordSetStringA(record.get(), 1, message.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_USER, record.get());
}

void Validate(MSIHANDLE install) {
    const zelk::MsiRecord database(MsiGetActiveDatabase(install));
    if (!database) {
        Post(install, IceMessage(kIceFailure, "the validation session has no database."));
        return;
    }
    std::string why;
    // The session's database is a copy the tool made: no folder holds the package's files.
    const auto tables = zelk::checker::ReadDatabaseTables(database.get(), "", why);
    if (!tables) {
        Post(install, IceMessage(kIceFailure, "the package " + why));
        return;
    }
    for (const zelk::checker::Finding& finding : zelk::checker::CheckPackage(*tables)) {
        Post(install, IceMessage(finding));
    }
}

}  // namespace

// An evaluator reports through its messages and returns success, so that the tool runs the
// evaluators after it.
extern "C" __declspec(dllexport) UINT __stdcall ZELKCA01(MSIHANDLE install) {
    try {
        Validate(install);
    } catch (const std::exception& failure) {
        Post(install,
             IceMessage(kIceFailure, std::string("the evaluator failed: ") + failure.what()));
    } catch (...) {
        Post(install, IceMessage(kIceFailure, "the evaluator failed on this package."));
    }
    return ERROR_SUCCESS;
}
