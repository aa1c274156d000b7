// zelk_ca_check [--ignore ID[,ID...]] PACKAGE.msi: checks how an installer package wires the
// custom actions of zelk_ca.dll and prints one line per finding, "error: ZCA021: ACTION: ..."
// or "warning: ...", each with the ID of its rule, and an "info:" line with the version of the
// DLL the package carries. --ignore (and the package's Property ZelkCaCheckIgnore) leaves the
// rules it lists out.
// Exit code 0 without errors (warnings allowed), 1 with errors, 2 when the package cannot be
// read. zelk_ca_check --version prints the version of the release it belongs to.
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <string>

#include "package_checks.h"
#include "package_tables.h"
#include "zelk_version.h"

namespace {

constexpr int kClean = 0;
constexpr int kErrorsFound = 1;
constexpr int kUnreadable = 2;

int CheckPackageFile(const std::string& path, const std::set<std::string>& ignored) {
    std::string why;
    const auto tables = zelk::checker::ReadPackageTables(path, why);
    if (!tables) {
        std::fprintf(stderr, "zelk_ca_check: %s\n", why.c_str());
        return kUnreadable;
    }
    int errors = 0;
    int warnings = 0;
    for (const zelk::checker::Finding& finding : zelk::checker::CheckPackage(*tables, ignored)) {
        std::printf("%s: %s: %s: %s\n", SeverityName(finding.severity), finding.rule.c_str(),
                    finding.subject.c_str(), finding.message.c_str());
        errors += finding.severity == zelk::checker::Severity::Error ? 1 : 0;
        warnings += finding.severity == zelk::checker::Severity::Warning ? 1 : 0;
    }
    std::printf("%s: %d error(s), %d warning(s)\n", path.c_str(), errors, warnings);
    return errors == 0 ? kClean : kErrorsFound;
}

constexpr const char* kUsage =
    "usage: zelk_ca_check [--ignore ID[,ID...]] PACKAGE.msi | --version\n";

int Run(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zelk_ca_check %s\n", zelk::kVersion);
        return kClean;
    }
    std::set<std::string> ignored;
    int at = 1;
    if (argc == 4 && std::strcmp(argv[1], "--ignore") == 0) {
        std::string unknown;
        const auto rules = zelk::checker::ParseRuleList(argv[2], unknown);
        if (!rules) {
            std::fprintf(stderr,
                         "zelk_ca_check: --ignore names \"%s\", which is no rule of this checker\n",
                         unknown.substr(0, 64).c_str());
            return kUnreadable;
        }
        ignored = *rules;
        at = 3;
    }
    if (argc != at + 1) {
        std::fputs(kUsage, stderr);
        return kUnreadable;
    }
    return CheckPackageFile(argv[at], ignored);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "zelk_ca_check: the checker failed on this package: %s\n",
                     failure.what());
        return kUnreadable;
    } catch (...) {
        std::fprintf(stderr, "zelk_ca_check: the checker failed on this package.\n");
        return kUnreadable;
    }
}
