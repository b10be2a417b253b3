// The libFuzzer entry point of one target, chosen at build time.
#include <cstddef>
#include <cstdint>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return VELK_FUZZ_BODY(data, size);
}
