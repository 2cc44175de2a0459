// libFuzzer entry for the reader of the recogniser's output (see WhisperJsonProperties.h).
// Built by scripts/fuzz with clang: -fsanitize=fuzzer,address,undefined.
#include "WhisperJsonProperties.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const auto broken = zorvel::fuzz::checkWhisperJson({reinterpret_cast<const char*>(data), size})) {
        std::fprintf(stderr, "broken promise: %s\n", broken->c_str());
        std::abort();
    }
    return 0;
}
