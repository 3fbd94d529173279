// An int8 convolution of one group of our own, run between XNNPACK's operators on the runner's
// buffers: Debian 12's XNNPACK multiplies 8-bit values in 16-bit pairs, no faster than its
// float kernels. With AVX-512 VNNI one instruction sums four 8-bit products per lane; on AVX2
// the kernel multiplies 16-bit pairs too, but in register blocks that reuse each weight and
// input load across 12 sums. Pointwise layers read their input in place, wider windows are
// gathered per block of pixels. The arithmetic is XNNPACK's: int32 sums, a float scale per
// output channel, rounding to nearest even, the output's zero point and clamp. Internal to
// the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_QCONV_KERNEL_H_
#define NEROVA_PLATFORM_KERNEL_QCONV_KERNEL_H_

#include <pthreadpool.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "conv_kernel.h"

namespace nerova {
namespace lowering {

// The forms the int8 kernels come in.
enum class QIsa { kNone, kAvx2, kAvx512Vnni };

// The form that pays on this CPU, as the CPU description XNNPACK reads (cpuinfo) has it:
// AVX-512 VNNI where it has that, else AVX2 with FMA where XNNPACK has no AVX-512 kernels of
// its own, else none.
QIsa QKernelIsa();
// Whether this CPU can run the form (AVX2 and FMA; AVX-512 F, BW, VL and VNNI).
bool QIsaRuns(QIsa isa);

class QConvKernel {
  public:
    // The longest window it takes (values per output pixel): a block's gathered windows live
    // on the stack of the thread that computes it.
    static constexpr size_t kMaxWindow = 1024;

    // shape: one group, NHWC, its window at most kMaxWindow values. filter: OHWI, symmetric per
    // output channel (zero point 0); bias: outputs int32 values on the scale input scale x
    // filter scale; scale: per output channel, input scale x filter scale / output scale.
    // Outputs are clamped to [low, high] (int8 codes). isa: one this CPU runs; kNone takes
    // the AVX2 form, which every CPU the kernels run on has.
    QConvKernel(const ConvShape& shape, const int8_t* filter, const int32_t* bias,
                const float* scale, int32_t input_zero, int32_t output_zero, int8_t low,
                int8_t high, QIsa isa = QKernelIsa());
    // Each output with its own zero point and clamp (output_zeros, lows and highs: outputs
    // values each): convolutions of one input computed as one, their outputs side by side.
    // Where they differ the AVX2 form runs, which every VNNI core has.
    QConvKernel(const ConvShape& shape, const int8_t* filter, const int32_t* bias,
                const float* scale, int32_t input_zero, const int32_t* output_zeros,
                const int8_t* lows, const int8_t* highs, QIsa isa = QKernelIsa());
    // out = requantised (bias + filter x (in - input zero)) for pixels output pixels (the
    // batch's), the input's zero point outside it; in may be read up to 3 bytes past its
    // end. Blocks of pixels are shared among the pool's threads (null: the caller's).
    void Run(const int8_t* in, int8_t* out, size_t pixels, pthreadpool_t pool) const;

    // The same numbers in plain C++, for tests.
    static void Reference(const ConvShape& shape, const int8_t* filter, const int32_t* bias,
                          const float* scale, int32_t input_zero, int32_t output_zero, int8_t low,
                          int8_t high, const int8_t* in, int8_t* out, size_t pixels);

  private:
    void Pixels(const int8_t* in, int8_t* out, size_t first, size_t count) const;

    bool uniform_;  // one zero point and clamp for all outputs
    QIsa isa_;
    ConvShape shape_;
    size_t window_;  // values per output pixel
    size_t groups_;  // of them in groups of 4 (VNNI) or 2 (AVX2), rounded up
    bool in_place_;  // a 1x1 window at stride 1, unpadded: the input row is the window
    // Windows over fewer than 16 channels: each window row is its own run of groups
    // (row_groups_ of them, 0 otherwise), read in place from the input rows, copied (widened
    // on AVX2) once per chunk_ output pixels.
    size_t row_groups_ = 0, chunk_ = 0;
    int32_t input_zero_, output_zero_;  // the output's: the VNNI form takes one
    int8_t low_, high_;
    // VNNI: per 16 outputs, groups_ x 16 x 4 weights; AVX2: per 8 outputs, groups_ x 8 x 2
    // weights widened to 16 bits. Zero past the window (past each window row with row pairs)
    // and the outputs.
    std::vector<int8_t> panels_;
    std::vector<int16_t> panels16_;
    // Per output, zero-padded to whole panels: the bias less what the input's zero point (and
    // with VNNI the +128 that makes the input unsigned) add to the sum.
    std::vector<int32_t> bias_;
    std::vector<float> scale_;
    // AVX2: per output, zero-padded to whole panels: its zero point and clamp less it.
    std::vector<int32_t> zeros_;
    std::vector<float> lows_, highs_;
};

// An int8 depthwise convolution (one filter per channel) in AVX2, where XNNPACK's int8
// depthwise kernels are no faster than its float ones (and its AVX-512 ones slower than this).
// Each input row a window reads is widened once to 16-bit values less the zero point, each
// position holding a pixel and the next one channel by channel: a window row of 3 taps is then
// two 16-bit pair products per lane (vpmaddwd), read straight from that row. XNNPACK's
// arithmetic, as QConvKernel's.
class QDepthwiseKernel {
  public:
    static constexpr size_t kMaxKernel = 7;  // rows and columns of the window

    // shape: NHWC, outputs == channels, a window of at most kMaxKernel x kMaxKernel; filter:
    // (kernel_h, kernel_w, channels), symmetric per channel; bias, scale, zero points and
    // clamp as QConvKernel's. Needs AVX2 (QIsaRuns(QIsa::kAvx2)).
    QDepthwiseKernel(const ConvShape& shape, const int8_t* filter, const int32_t* bias,
                     const float* scale, int32_t input_zero, int32_t output_zero, int8_t low,
                     int8_t high);
    // The batch's output rows, shared among the pool's threads (null: the caller's).
    void Run(const int8_t* in, int8_t* out, size_t batch, pthreadpool_t pool) const;
    // Scratch each thread keeps for a shape (its widened rows), allocated once per thread.
    static size_t ScratchBytes(const ConvShape& shape);

    static void Reference(const ConvShape& shape, const int8_t* filter, const int32_t* bias,
                          const float* scale, int32_t input_zero, int32_t output_zero, int8_t low,
                          int8_t high, const int8_t* in, int8_t* out, size_t batch);

  private:
    friend struct QDepthwiseRows;
    // Widened positions per row: the padded row's that the windows read.
    static size_t Span(const ConvShape& shape);
    void Rows(const int8_t* in, int8_t* out, size_t first, size_t count) const;

    ConvShape shape_;
    size_t groups_;  // of 16 channels, rounded up
    size_t pairs_;   // of taps per window row, rounded up
    size_t span_;    // Span(shape_)
    int32_t input_zero_, output_zero_;
    int8_t low_, high_;
    // Per group, window row and pair: 2 x 16 lanes of 16-bit pairs, in the widened order
    // (zero past the row's taps and the channels); bias and scale per group in that order.
    std::vector<int16_t> weights_;
    std::vector<int32_t> bias_;
    std::vector<float> scale_;
};

// Float values to int8 codes as XNNPACK's conversion computes them: x / scale rounded to
// nearest even, plus the zero point, clamped to int8 (NaN to 127). On AVX2, the CPUs of the
// kernels above.
void QuantiseCodes(const float* in, int8_t* out, size_t count, float scale, int32_t zero,
                   pthreadpool_t pool = nullptr);

// The entry of an int8 body: a pointwise convolution of the float input over 1 to 4 channels
// into as many (the converted models' mean and scale), written straight as int8 codes.
// XNNPACK would quantise the input first and then run an int8 convolution whose 16-wide
// panels are almost all padding; this reads the floats once and rounds once.
class QEntryKernel {
  public:
    static constexpr size_t kMaxChannels = 4;
    // filter: channels x channels (output-major); the codes are clamp(round(value / scale) +
    // zero, low, high). isa: as QConvKernel's.
    QEntryKernel(size_t channels, const float* filter, const float* bias, float scale, int32_t zero,
                 int8_t low, int8_t high, QIsa isa = QKernelIsa());
    // in: pixels x channels floats, readable 4 values past its end. Runs of pixels are shared
    // among the pool's threads (null: the caller's).
    void Run(const float* in, int8_t* out, size_t pixels, pthreadpool_t pool = nullptr) const;

  private:
    QIsa isa_;
    size_t channels_;
    // For each of the channels vectors of a 16-pixel chunk, the coefficient of the value d
    // places away (d from -3 to 3), per lane; and the bias per lane. Scaled to codes.
    std::vector<float> coef_, bias_;
    std::vector<int> taps_;  // the distances whose coefficient is not zero in every lane
    float low_, high_;
};

// Nearest upsampling of int8 codes by whole factors, NHWC: each input pixel fills its sh x sw
// block. XNNPACK has no int8 form of it.
void UpsampleNearest(const int8_t* in, int8_t* out, size_t batch, size_t height, size_t width,
                     size_t channels, size_t sh, size_t sw);

}  // namespace lowering
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_QCONV_KERNEL_H_
