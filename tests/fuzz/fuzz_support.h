// Shared by the fuzz targets: a fuzzed code page, and invariants that end the run when broken.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <winsim/control.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// A broken invariant is a finding like a crash: libFuzzer keeps the input.
inline void Require(bool holds, const char* invariant) {
    if (!holds) {
        std::fprintf(stderr, "broken invariant: %s\n", invariant);
        std::abort();
    }
}

// The system's ANSI code page: single-byte, or the Japanese double-byte one.
inline void ChooseCodePage(FuzzedDataProvider& input) {
    winsim::SetCodePage(input.ConsumeBool() ? 932 : 1252);
}

}  // namespace fuzz
