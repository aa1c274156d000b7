// The DLL custom action of the suite's installer package: it runs the property probe in the
// installer's custom-action process and leaves the answer in a property for the suite to read.
#include "property_probe.h"

extern "C" __declspec(dllexport) UINT WINAPI ZelkProbeProperty(MSIHANDLE session) {
    const std::string answer = conformance::ProbePropertySizes(session);
    return MsiSetPropertyA(session, conformance::kProbeAnswer, answer.c_str());
}
