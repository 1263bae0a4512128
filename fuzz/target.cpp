// libFuzzer entry: one input is one run of the whole program.
#include <cstddef>
#include <cstdint>

#include "scripted.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::run_input(data, size);
    return 0;
}
