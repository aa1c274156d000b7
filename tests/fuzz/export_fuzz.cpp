// One export (FUZZED_EXPORT, set by the build) over a machine prepared for one of its
// scenarios, with fuzzed CustomActionData, fuzzed values in the registry keys the exports read
// and a device with fuzzed properties: no crash, no handle left open, and a result the export
// documents.
#include "export_scenarios.h"
#include "fuzz_support.h"
#include "platform/win32.h"

#include <iterator>

namespace {

const char* const kReadKeys[] = {
    scenarios::kStateKey,
    scenarios::kUninstallEntry,
    scenarios::kGermanUninstallEntry,
    "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\CAN-HARDWARE\\0000",
};
const char* const kValueNames[] = {"usb", "usb_Text", "virtual", "UninstallString", "Service", ""};
const DWORD kTypes[] = {REG_NONE,  REG_SZ,       REG_EXPAND_SZ, REG_BINARY,
                        REG_DWORD, REG_MULTI_SZ, REG_QWORD};

template <typename T, size_t N>
const T& Pick(FuzzedDataProvider& input, const T (&choices)[N]) {
    return choices[input.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

void FuzzRegistry(FuzzedDataProvider& input) {
    for (int count = input.ConsumeIntegralInRange(0, 4); count > 0; --count) {
        const std::string key = Pick(input, kReadKeys);
        const std::string name =
            input.ConsumeBool() ? Pick(input, kValueNames) : input.ConsumeRandomLengthString(300);
        const DWORD type = Pick(input, kTypes);
        const std::string bytes = input.ConsumeRandomLengthString(300);
        winsim::SetValue(key, name, type, std::vector<BYTE>(bytes.begin(), bytes.end()));
    }
}

void FuzzDevice(FuzzedDataProvider& input) {
    if (!input.ConsumeBool()) {
        return;
    }
    winsim::Device device;
    device.instanceId = "ROOT\\CAN-HARDWARE\\0099";
    device.present = input.ConsumeBool();
    if (input.ConsumeBool()) {
        device.configFlags = input.ConsumeIntegral<DWORD>();
    }
    device.service = input.ConsumeRandomLengthString(40);
    // The hardware IDs as the fuzzer made them, terminators or not.
    scenarios::SetRawHardwareIds(winsim::AddDevice(device), input.ConsumeRandomLengthString(300));
}

std::vector<const scenarios::Scenario*> ScenariosOf(scenarios::Export action) {
    std::vector<const scenarios::Scenario*> found;
    for (const scenarios::Scenario& scenario : scenarios::All()) {
        if (scenario.action == action) {
            found.push_back(&scenario);
        }
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<const scenarios::Scenario*> mine = ScenariosOf(FUZZED_EXPORT);
    FuzzedDataProvider input(data, size);
    const scenarios::Scenario& scenario =
        *mine[input.ConsumeIntegralInRange<size_t>(0, mine.size() - 1)];
    const MSIHANDLE session = scenarios::Prepare(scenario);
    fuzz::ChooseCodePage(input);
    const bool ownData = input.ConsumeBool();
    if (!ownData) {
        winsim::SetProperty(session, "CustomActionData", input.ConsumeRandomLengthString(300));
    }
    FuzzRegistry(input);
    FuzzDevice(input);

    const UINT result = FUZZED_EXPORT(session);
    fuzz::Require(winsim::OpenHandles() == 0, "no handle left open");
    if (!scenario.reportsFailures) {
        const bool noData = scenario.action == CA_InstallDriver && result == ERROR_INVALID_DATA;
        fuzz::Require(result == ERROR_SUCCESS || noData, "an action that never fails answers 0");
    } else if (result == ERROR_SUCCESS && ownData) {
        fuzz::Require(scenario.jobDone(), "0 only once the work is done");
    }
    return 0;
}
