// The end-to-end program's entry. Under Wine (windows mode too) it lays the stand-ins where the
// installer's processes load them (tests/e2e/groups.txt tells Wine to load them); with --report
// it ends with the report of what each custom action did. --machine NAME runs that machine's
// scenarios of the table it carries (the kit's run.cmd does); --machines lists the names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "e2e.h"
#include "machines.h"
#include "support/wine_detection.h"

namespace zelk::e2e {

std::vector<std::string>& ReportLines();

}  // namespace zelk::e2e

namespace {

constexpr int kUsage = 2;

void PrintMachines() {
    for (const auto& machine : zelk::e2e::Machines()) {
        std::printf("%s\n", machine.name.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    bool report = false;
    for (int i = 1; i < argc; ++i) {
        report = report || std::strcmp(argv[i], "--report") == 0;
        if (std::strcmp(argv[i], "--machines") == 0) {
            PrintMachines();
            return 0;
        }
        if (std::strcmp(argv[i], "--machine") != 0) {
            continue;
        }
        const auto filter = i + 1 < argc ? zelk::e2e::FilterOf(argv[i + 1]) : std::nullopt;
        if (!filter) {
            std::printf("e2e: --machine takes one of these names:\n");
            PrintMachines();
            return kUsage;
        }
        GTEST_FLAG_SET(filter, *filter);
        ++i;
    }
    zelk::wine::WindowsBranchSink() = [](const std::string& name, const std::string& value) {
        testing::Test::RecordProperty(name, value);
    };
    if (zelk::wine::WineBeneath() && !zelk::e2e::LayStandIns()) {
        std::fprintf(stderr, "e2e: the stand-ins could not be laid: error %lu\n", GetLastError());
        return 2;
    }
    const int result = RUN_ALL_TESTS();
    if (report && !zelk::e2e::ReportLines().empty()) {
        std::printf("\n");
        for (const auto& line : zelk::e2e::ReportLines()) {
            std::printf("%s\n", line.c_str());
        }
        std::printf("\n");
    }
    return result;
}
