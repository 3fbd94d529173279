// Runs a lowered plan (graph_lowering.h) on an XNNPACK runtime: one subgraph per instance,
// buffers for the input and every boundary fixed at creation, so a forward pass allocates
// nothing. Built only when XNNPACK is available. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_XNN_RUNNER_H_
#define NEROVA_PLATFORM_KERNEL_XNN_RUNNER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph_lowering.h"

namespace nerova {
namespace lowering {

// Where the computed values live: kShared, in a few buffers of the runner's, values whose lives
// do not overlap in one (every value external to XNNPACK); kXnnpack, only the input and the
// boundaries in the runner's buffers, the rest planned by XNNPACK itself; kEvery, each value in
// a buffer of its own, readable after a run (for a calibration). An int8 plan's values are
// XNNPACK's own but for the input, the boundaries and those handed between XNNPACK and our
// int8 kernels (any Memory is then kXnnpack).
enum class Memory { kShared, kXnnpack, kEvery };

// Whether convolutions of one group run on our own kernels instead of XNNPACK's: in a float
// plan with Memory::kShared, on conv_kernel.h (kAuto where it pays, kAlways and kAvx2 wherever
// the CPU can run it, for tests); in an int8 plan, its entry and pointwise convolutions on
// qconv_kernel.h (kAuto in the form that pays here, kAlways in the widest form this CPU runs,
// kAvx2 in the AVX2 form). kNever keeps every one on XNNPACK.
enum class Native { kAuto, kAlways, kAvx2, kNever };

class XnnRunner {
  public:
    // threads above 1 run the operators on a pool of that many threads owned by the runner;
    // 1 or less runs them on the caller's thread. Null, with why set, when XNNPACK cannot
    // build or run the plan on this machine.
    static std::unique_ptr<XnnRunner> Create(std::shared_ptr<const Plan> plan, int threads,
                                             std::string* why, Memory memory = Memory::kShared,
                                             Native native = Native::kAuto);
    ~XnnRunner();
    XnnRunner(const XnnRunner&) = delete;
    XnnRunner& operator=(const XnnRunner&) = delete;

    // The input, NHWC, to be filled before Run.
    float* input() { return input_; }
    // False, with why set, when XNNPACK reports a failure.
    bool Run(std::string* why);
    // A boundary's tensor after Run, NHWC, in the plan's boundary order.
    const float* boundary(size_t index) const { return boundary_data_[index]; }
    // A computed value after Run, NHWC: with Memory::kEvery every one, else null but for the
    // input and the boundaries.
    const float* value(uint32_t v) const { return value_data_[v]; }
    // How many of the body's operators run on our convolution kernel.
    size_t native_steps() const;

  private:
    XnnRunner() = default;
    struct Handles;

    std::shared_ptr<const Plan> plan_;  // holds the static weights the runtime reads
    std::unique_ptr<Handles> handles_;
    std::vector<std::vector<float>> buffers_;  // every computed value lives in one of them
    std::vector<std::vector<int8_t>> bytes_;   // int8 values between our kernel and XNNPACK
    float* input_ = nullptr;
    std::vector<const float*> boundary_data_;
    std::vector<const float*> value_data_;
    // An int8 plan's weights and scales, which XNNPACK reads where they lie.
    std::vector<std::vector<int8_t>> filters_;
    std::vector<std::vector<int32_t>> biases_;
    std::vector<std::vector<float>> scales_;
};

// Whether this build has the XNNPACK backend.
bool XnnAvailable();

// Whether op is an int8 body's entry that our kernel computes from the float input: a
// pointwise convolution of the input over as many channels in as out, few enough.
bool IsInt8Entry(const Plan& p, const Op& op);

}  // namespace lowering
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_XNN_RUNNER_H_
