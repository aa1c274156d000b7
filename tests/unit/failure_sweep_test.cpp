// Every export on its success path, rerun with each of its platform calls failing in turn and
// with each of its own allocations failing in turn. Whatever fails, no exception escapes, no
// handle stays open, and the result is one the export documents: an export that passes failures
// on answers 0 only when its work is on the machine.
#include "export_scenarios.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <set>

namespace {

// ---- Allocation countdown ----------------------------------------------------------------------
// While armed, counts the allocations made outside simulated platform calls (the product's own)
// and makes the one numbered `failAt` throw. The product's allocations still live when the
// export returns are its leaks.
struct Allocations {
    bool armed = false;
    long counted = 0;
    long failAt = 0;  // 0: none fails
    bool failed = false;
    static constexpr size_t kMaxLive = 4096;
    void* live[kMaxLive] = {};
    size_t liveCount = 0;
};

Allocations allocations;

void Track(void* block) {
    if (allocations.liveCount < Allocations::kMaxLive) {
        allocations.live[allocations.liveCount++] = block;
    }
}

void Untrack(void* block) {
    for (size_t i = 0; i < allocations.liveCount; ++i) {
        if (allocations.live[i] == block) {
            allocations.live[i] = allocations.live[--allocations.liveCount];
            return;
        }
    }
}

void* Allocate(size_t size) {
    const bool counts = allocations.armed && !winsim::InPlatformCall();
    if (counts && ++allocations.counted == allocations.failAt) {
        allocations.failed = true;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    if (counts) {
        Track(block);
    }
    return block;
}

void Release(void* block) noexcept {
    if (allocations.liveCount != 0) {
        Untrack(block);
    }
    std::free(block);
}

// Runs the export with the allocation numbered `failAt` failing (0: none); returns how many
// allocations the product made and leaves the ones it did not release in `allocations`.
long RunCountingAllocations(const scenarios::Scenario& scenario, MSIHANDLE session, long failAt,
                            UINT& result, bool& escaped) {
    allocations.counted = 0;
    allocations.failAt = failAt;
    allocations.failed = false;
    allocations.liveCount = 0;
    allocations.armed = true;
    try {
        result = scenario.action(session);
    } catch (...) {
        escaped = true;
    }
    allocations.armed = false;
    return allocations.counted;
}

// ---- Platform call failures --------------------------------------------------------------------
// Calls whose result is their error code: a failure with code 0 would be a success.
bool ReportsThroughResult(const std::string& call) {
    static const std::set<std::string> byResult = {
        "CM_Get_DevNode_Status", "MsiGetPropertyA", "MsiSetPropertyA",   "MsiRecordSetStringA",
        "MsiCloseHandle",        "MsiCreateRecord", "MsiProcessMessage", "_stat64"};
    return call.rfind("Reg", 0) == 0 || byResult.count(call) != 0;
}

bool ReleasesAHandle(const std::string& call) {
    static const std::set<std::string> closers = {
        "CloseHandle",    "RegCloseKey", "CloseServiceHandle", "SetupDiDestroyDeviceInfoList",
        "MsiCloseHandle", "LocalFree"};
    return closers.count(call) != 0;
}

// An error the call could plausibly report, and, for calls that report through GetLastError,
// none at all.
std::vector<DWORD> InjectedErrors(const std::string& call) {
    static const std::map<std::string, DWORD> plausible = {
        {"CreateProcessA", ERROR_FILE_NOT_FOUND},
        {"CM_Get_DevNode_Status", CR_INVALID_DEVNODE},
        {"SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY},
        {"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY},
        {"SetupCopyOEMInfA", ERROR_GENERAL_SYNTAX},
        {"StartServiceA", ERROR_FILE_NOT_FOUND},
        {"ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {"_stat64", ERROR_FILE_NOT_FOUND},
    };
    auto found = plausible.find(call);
    const DWORD error = found != plausible.end() ? found->second : ERROR_ACCESS_DENIED;
    if (ReportsThroughResult(call)) {
        return {error};
    }
    return {error, ERROR_SUCCESS};
}

// The n-th call to `calls[index]` among the calls before it, counting from 1.
int OrdinalOf(const std::vector<winsim::Call>& calls, size_t index) {
    int ordinal = 0;
    for (size_t i = 0; i <= index; ++i) {
        ordinal += calls[i].name == calls[index].name ? 1 : 0;
    }
    return ordinal;
}

// ---- What every run must show ------------------------------------------------------------------
// The result is one the export documents for a run in which something failed.
void ExpectDocumentedResult(const scenarios::Scenario& scenario, UINT result,
                            const std::string& what) {
    if (!scenario.reportsFailures) {
        const bool noData = scenario.action == CA_InstallDriver && result == ERROR_INVALID_DATA;
        EXPECT_TRUE(result == ERROR_SUCCESS || noData) << what << ": " << result;
        return;
    }
    EXPECT_EQ(result == ERROR_SUCCESS, scenario.jobDone()) << what << ": " << result;
}

// Runs each scenario once, so that first-use work (the package table, the run-time lookup of
// RegDeleteKeyExA) is behind every counted run.
void WarmUp() {
    for (const scenarios::Scenario& scenario : scenarios::All()) {
        scenario.action(scenarios::Prepare(scenario));
    }
}

}  // namespace

// Replaced for the whole test program; the countdown only acts while armed.
void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* block) noexcept {
    Release(block);
}
void operator delete[](void* block) noexcept {
    Release(block);
}
void operator delete(void* block, size_t) noexcept {
    Release(block);
}
void operator delete[](void* block, size_t) noexcept {
    Release(block);
}

TEST(FailureSweep, EveryPlatformCallFailingInTurn) {
    WarmUp();
    size_t calls = 0;
    size_t injected = 0;
    for (const scenarios::Scenario& scenario : scenarios::All()) {
        UINT result = scenario.action(scenarios::Prepare(scenario));
        ASSERT_EQ(result, 0u) << scenario.name;
        ASSERT_TRUE(scenario.jobDone()) << scenario.name;
        ASSERT_EQ(winsim::OpenHandles(), 0) << scenario.name;
        const std::vector<winsim::Call> recorded = winsim::Calls();
        for (size_t index = 0; index < recorded.size(); ++index) {
            // The calls that cannot fail on Windows are not made to fail here either.
            if (!recorded[index].canFail) {
                continue;
            }
            ++calls;
            const std::string& call = recorded[index].name;
            for (DWORD error : InjectedErrors(call)) {
                const MSIHANDLE session = scenarios::Prepare(scenario);
                winsim::FailCall(call, {error, OrdinalOf(recorded, index), std::nullopt});
                const std::string what = std::string(scenario.name) + ", " + call + " #" +
                                         std::to_string(OrdinalOf(recorded, index)) +
                                         " failing with " + std::to_string(error);
                bool escaped = false;
                try {
                    result = scenario.action(session);
                } catch (...) {
                    escaped = true;
                }
                ++injected;
                EXPECT_FALSE(escaped) << what;
                EXPECT_EQ(winsim::OpenHandles(), ReleasesAHandle(call) ? 1 : 0) << what;
                ExpectDocumentedResult(scenario, result, what);
            }
        }
    }
    std::printf("fault sweep: %zu scenarios, %zu platform calls, %zu injected faults\n",
                scenarios::All().size(), calls, injected);
}

TEST(FailureSweep, EveryAllocationFailingInTurn) {
    WarmUp();
    size_t runs = 0;
    for (const scenarios::Scenario& scenario : scenarios::All()) {
        UINT result = ~0u;
        bool escaped = false;
        const long total =
            RunCountingAllocations(scenario, scenarios::Prepare(scenario), 0, result, escaped);
        ASSERT_FALSE(escaped) << scenario.name;
        ASSERT_EQ(result, 0u) << scenario.name;
        ASSERT_EQ(allocations.liveCount, 0u) << scenario.name;

        for (long failAt = 1; failAt <= total; ++failAt) {
            const std::string what =
                std::string(scenario.name) + ", allocation " + std::to_string(failAt) + " failing";
            result = ~0u;
            escaped = false;
            RunCountingAllocations(scenario, scenarios::Prepare(scenario), failAt, result, escaped);
            ++runs;
            EXPECT_TRUE(allocations.failed) << what;
            EXPECT_FALSE(escaped) << what;
            EXPECT_EQ(allocations.liveCount, 0u) << what << " leaks";
            EXPECT_EQ(winsim::OpenHandles(), 0) << what;
            const UINT documented = scenario.reportsFailures ? ERROR_NOT_ENOUGH_MEMORY : 0;
            EXPECT_TRUE(result == documented || (result == 0 && scenario.jobDone()))
                << what << ": " << result;
        }
    }
    std::printf("allocation sweep: %zu scenarios, %zu runs with an allocation failing\n",
                scenarios::All().size(), runs);
}
