// Replays fuzz inputs without libFuzzer: every file named after the target goes once through
// that target's entry, from a heap block of exactly its size (so that AddressSanitizer sees a
// read past its end), as libFuzzer runs the files it is given. The host build links every
// target into this one program; `make fuzz` builds the real fuzzers.
//
// usage: fuzz_replay TARGET FILE...   runs the files; "Running: FILE" before each
//        fuzz_replay --list           the targets' names, one a line
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

namespace {

struct FuzzTarget {
    std::string_view name;
    int (*run)(const uint8_t* data, size_t size);
};

}  // namespace

#include "fuzz_targets.inc"

namespace {

const FuzzTarget* FindTarget(std::string_view name) {
    const auto found = std::ranges::find(kTargets, name, &FuzzTarget::name);
    return found == std::end(kTargets) ? nullptr : &*found;
}

bool ReadInput(const char* path, std::vector<char>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

// One input, in a block of its own of exactly its size.
void RunInput(const FuzzTarget& target, const std::vector<char>& bytes) {
    const auto block = std::make_unique_for_overwrite<uint8_t[]>(bytes.size());
    std::ranges::copy(bytes, block.get());
    target.run(block.get(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--list") {
        for (const FuzzTarget& target : kTargets) {
            std::printf("%.*s\n", static_cast<int>(target.name.size()), target.name.data());
        }
        return 0;
    }
    const FuzzTarget* target = argc >= 2 ? FindTarget(argv[1]) : nullptr;
    if (target == nullptr) {
        std::fprintf(stderr, "usage: fuzz_replay TARGET FILE... | --list\n");
        return 2;
    }
    std::vector<char> bytes;
    for (int index = 2; index < argc; ++index) {
        std::printf("Running: %s\n", argv[index]);
        std::fflush(stdout);
        if (!ReadInput(argv[index], bytes)) {
            std::fprintf(stderr, "fuzz_replay: cannot read %s\n", argv[index]);
            return 1;
        }
        RunInput(*target, bytes);
    }
    std::printf("Executed %d inputs\n", argc - 2);
    return 0;
}
