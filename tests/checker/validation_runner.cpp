// zelk_validate PACKAGE CUBE: validation as the tools do it, for the tests of the cube. It
// merges the cube into a copy of the package, opens an installer session on the copy, runs
// the actions of the cube's _ICESequence whose condition holds, and prints every message they
// post (INSTALLMESSAGE_USER), one a line. The package and the cube stay unchanged.
// Exit code 0 when every evaluator ran, 2 when validation could not run.
#include <cstdio>
#include <string>

#include "runtime/handles.h"

namespace {

constexpr int kValidated = 0;
constexpr int kCannotValidate = 2;

using MsiHandle = zelk::MsiRecord;

int WINAPI PrintUserMessage(void*, UINT type, const char* message) {
    if ((type & 0xFF000000U) == INSTALLMESSAGE_USER && message != nullptr) {
        std::printf("%s\n", message);
    }
    return IDOK;
}

int Fail(const std::string& what, UINT code) {
    std::fprintf(stderr, "zelk_validate: %s (%u)\n", what.c_str(), code);
    return kCannotValidate;
}

std::string FieldText(MSIHANDLE record, UINT field) {
    char text[256] = {};
    DWORD size = sizeof(text);
    return MsiRecordGetStringA(record, field, text, &size) == ERROR_SUCCESS ? text : "";
}

int RunEvaluators(MSIHANDLE session, MSIHANDLE database) {
    MSIHANDLE raw = 0;
    UINT result = MsiDatabaseOpenViewA(
        database, "SELECT `Action`, `Condition` FROM `_ICESequence` ORDER BY `Sequence`", &raw);
    const MsiHandle view(raw);
    if (result == ERROR_SUCCESS) {
        result = MsiViewExecute(view.get(), 0);
    }
    if (result != ERROR_SUCCESS) {
        return Fail("the cube has no readable _ICESequence table", result);
    }
    for (;;) {
        MSIHANDLE fetched = 0;
        result = MsiViewFetch(view.get(), &fetched);
        const MsiHandle row(fetched);
        if (result == ERROR_NO_MORE_ITEMS) {
            return kValidated;
        }
        if (result != ERROR_SUCCESS) {
            return Fail("cannot read the cube's _ICESequence table", result);
        }
        const std::string action = FieldText(row.get(), 1);
        const std::string condition = FieldText(row.get(), 2);
        if (!condition.empty() &&
            MsiEvaluateConditionA(session, condition.c_str()) != MSICONDITION_TRUE) {
            continue;
        }
        result = MsiDoActionA(session, action.c_str());
        if (result != ERROR_SUCCESS) {
            return Fail("the evaluator " + action + " did not run", result);
        }
    }
}

int Validate(const std::string& package, const std::string& cube) {
    char folder[MAX_PATH] = {};
    if (GetTempPathA(MAX_PATH, folder) == 0) {
        return Fail("no folder for temporary files", GetLastError());
    }
    const std::string copy = std::string(folder) + "zelk_validate.msi";
    if (!CopyFileA(package.c_str(), copy.c_str(), FALSE)) {
        return Fail("cannot copy " + package, GetLastError());
    }
    MSIHANDLE raw = 0;
    UINT result = MsiOpenDatabaseA(copy.c_str(), MSIDBOPEN_TRANSACT, &raw);
    const MsiHandle database(raw);
    if (result != ERROR_SUCCESS) {
        return Fail("cannot open the copy of " + package, result);
    }
    raw = 0;
    result = MsiOpenDatabaseA(cube.c_str(), MSIDBOPEN_READONLY, &raw);
    const MsiHandle evaluators(raw);
    if (result != ERROR_SUCCESS) {
        return Fail("cannot open " + cube, result);
    }
    result = MsiDatabaseMergeA(database.get(), evaluators.get(), "_MergeErrors");
    if (result != ERROR_SUCCESS) {
        return Fail("cannot merge " + cube + " into the package", result);
    }
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MsiSetExternalUIA(PrintUserMessage, INSTALLLOGMODE_USER, nullptr);
    raw = 0;
    const std::string handle = "#" + std::to_string(database.get());
    result = MsiOpenPackageA(handle.c_str(), &raw);
    const MsiHandle session(raw);
    if (result != ERROR_SUCCESS) {
        return Fail("cannot open a session on the merged package", result);
    }
    return RunEvaluators(session.get(), database.get());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zelk_validate PACKAGE.msi CUBE.cub\n");
        return kCannotValidate;
    }
    const int status = Validate(argv[1], argv[2]);
    std::fflush(stdout);
    return status;
}
