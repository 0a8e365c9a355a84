// Internal device control with arbitrary request blocks (tests/fuzz/targets.h).
#include "tests/fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    fuzz::InternalRequest(input);
    return 0;
}
