// The kernel loading corrupted model bytes: a valid small network with bytes flipped,
// truncated or replaced by the input. Whatever loads must also run or refuse cleanly.
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nerova_fuzz::LoadAndRunOnnx(data, size);
    return 0;
}
