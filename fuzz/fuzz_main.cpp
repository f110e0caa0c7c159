// The libFuzzer entry of one target, picked at build time by VPIFUZZ_TARGET (gate, reply or
// channel).
#include <cstddef>
#include <cstdint>

#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vpifuzz::VPIFUZZ_TARGET::FuzzOne(data, size);
}
