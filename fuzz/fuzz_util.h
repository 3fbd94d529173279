// Shared by the fuzz targets: one scratch model directory per process.
#ifndef NEROVA_FUZZ_FUZZ_UTIL_H_
#define NEROVA_FUZZ_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nerova/nerova_defines.h"

namespace nerova_fuzz {

// A directory that lives for the whole fuzzing process.
const std::string& ScratchDir();
// Removes every file of the scratch directory.
void ClearScratch();
void WriteFile(const std::string& name, const uint8_t* data, size_t size);

// What a run of a network gave: its first output's dims and values; empty when it did not run.
struct Run {
    std::vector<int> dims;
    std::vector<float> values;
    bool ran() const { return !dims.empty(); }
};

// Hands the bytes to the kernel as an ONNX model: load, create an instance on the backend
// (the kernel's choice by default), run it on a fixed input of the network's shape, fetch the
// first output. Whatever loads must run or refuse. With a calibration (a "calibration.txt"),
// the network is asked for in int8.
Run LoadAndRunOnnx(const uint8_t* data, size_t size,
                   NerovaNetworkType backend = NEROVA_NETWORK_TYPE_TNN,
                   const std::string* calibration = nullptr);

// Consumes bytes from the front of the fuzzer's input.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return size_ ? (--size_, *data_++) : 0; }
    uint32_t U32() {
        return Byte() | Byte() << 8 | Byte() << 16 | static_cast<uint32_t>(Byte()) << 24;
    }
    // Up to max bytes, taken as a chunk.
    std::string Bytes(size_t max) {
        const size_t n = std::min(max, size_);
        std::string s(reinterpret_cast<const char*>(data_), n);
        data_ += n;
        size_ -= n;
        return s;
    }
    size_t left() const { return size_; }
    const uint8_t* data() const { return data_; }

  private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace nerova_fuzz

#endif  // NEROVA_FUZZ_FUZZ_UTIL_H_
