// The control device's private request from a program (tests/fuzz/targets.h).
#include "tests/fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    fuzz::ControlRequest(input);
    return 0;
}
