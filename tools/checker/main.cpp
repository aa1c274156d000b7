// zelk_ca_check PACKAGE.msi: checks how an installer package wires the custom actions of
// zelk_ca.dll and prints one line per finding, "error: ACTION: ..." or "warning: ACTION: ...",
// and an "info:" line with the version of the DLL the package carries.
// Exit code 0 without errors (warnings allowed), 1 with errors, 2 when the package cannot be
// read. zelk_ca_check --version prints the version of the release it belongs to.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "package_checks.h"
#include "package_tables.h"
#include "zelk_version.h"

namespace {

constexpr int kClean = 0;
constexpr int kErrorsFound = 1;
constexpr int kUnreadable = 2;

const char* SeverityName(zelk::checker::Severity severity) {
    switch (severity) {
        case zelk::checker::Severity::Error:
            return "error";
        case zelk::checker::Severity::Warning:
            return "warning";
        default:
            return "info";
    }
}

int CheckPackageFile(const std::string& path) {
    std::string why;
    const auto tables = zelk::checker::ReadPackageTables(path, why);
    if (!tables) {
        std::fprintf(stderr, "zelk_ca_check: %s\n", why.c_str());
        return kUnreadable;
    }
    int errors = 0;
    int warnings = 0;
    for (const zelk::checker::Finding& finding : zelk::checker::CheckPackage(*tables)) {
        std::printf("%s: %s: %s\n", SeverityName(finding.severity), finding.subject.c_str(),
                    finding.message.c_str());
        errors += finding.severity == zelk::checker::Severity::Error ? 1 : 0;
        warnings += finding.severity == zelk::checker::Severity::Warning ? 1 : 0;
    }
    std::printf("%s: %d error(s), %d warning(s)\n", path.c_str(), errors, warnings);
    return errors == 0 ? kClean : kErrorsFound;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zelk_ca_check PACKAGE.msi | --version\n");
        return kUnreadable;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("zelk_ca_check %s\n", zelk::kVersion);
        return kClean;
    }
    try {
        return CheckPackageFile(argv[1]);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "zelk_ca_check: the checker failed on this package: %s\n",
                     failure.what());
        return kUnreadable;
    } catch (...) {
        std::fprintf(stderr, "zelk_ca_check: the checker failed on this package.\n");
        return kUnreadable;
    }
}
