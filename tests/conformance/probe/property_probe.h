// The property probe, run both inside a real custom action (the DLL beside it) and by the suite
// itself: what MsiGetPropertyA reports for the property "Probe" ("value").
#pragma once

#include "platform/win32.h"

#include <string>

namespace conformance {

constexpr const char* kProbeAction = "ZelkProbeProperty";  // the package's custom action
constexpr const char* kProbeAnswer = "ProbeAnswer";        // where the action leaves its answer

// One "result size text;" per query: without a buffer, then through buffers of 0, 1, 5 and 6
// characters, each holding "#" before the call.
inline std::string ProbePropertySizes(MSIHANDLE session) {
    std::string answers;
    const auto ask = [&](char* buffer, DWORD capacity) {
        DWORD size = capacity;
        const UINT result = MsiGetPropertyA(session, "Probe", buffer, &size);
        answers += std::to_string(result) + " " + std::to_string(size) + " " +
                   (buffer ? buffer : "") + ";";
    };
    ask(nullptr, 0);
    for (DWORD capacity : {0u, 1u, 5u, 6u}) {
        char buffer[8] = "#";
        ask(buffer, capacity);
    }
    return answers;
}

}  // namespace conformance
