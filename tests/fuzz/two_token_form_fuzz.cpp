// CA_InstallDriver's two-token form: a package that installs, and any state location. The
// answer is 0 or 13 and nothing stays open; an answer of 0 recorded the outcome somewhere, and
// never in the root of HKEY_LOCAL_MACHINE.
#include "export_scenarios.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    winsim::Reset();
    fuzz::ChooseCodePage(input);
    const MSIHANDLE session = winsim::OpenSession();
    scenarios::AddPackage("zelk_usb.inf");
    const std::string stateLocation = input.ConsumeRemainingBytesAsString();
    winsim::SetProperty(session, "CustomActionData",
                        scenarios::PackagePath("zelk_usb.inf") + "@" + stateLocation);

    const UINT result = CA_InstallDriver(session);
    fuzz::Require(winsim::OpenHandles() == 0, "no handle left open");
    fuzz::Require(result == ERROR_SUCCESS || result == ERROR_INVALID_DATA, "0 or 13");
    fuzz::Require(winsim::ValueNames("").empty(), "nothing recorded in the root");
    return 0;
}
