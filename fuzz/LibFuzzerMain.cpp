// libFuzzer entry of one target; FUZZ_TARGET names the entry point.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::FUZZ_TARGET(data, size);
    return 0;
}
