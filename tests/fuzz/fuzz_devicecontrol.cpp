// Device control with arbitrary codes, buffers and senders (tests/fuzz/targets.h).
#include "tests/fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    fuzz::DeviceControlRequest(input);
    return 0;
}
