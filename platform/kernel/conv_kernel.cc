#include "conv_kernel.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#ifdef NEROVA_HAVE_CPUINFO
#include <cpuinfo.h>
#endif

namespace nerova {
namespace lowering {

namespace {

constexpr size_t kPanel = 16;  // outputs per packed panel: two AVX2 registers
constexpr size_t kRows = 6;    // pixels per block: 12 accumulators of the 16 registers
// Pixels per task on a pool: enough that a task outweighs handing it out.
constexpr size_t kTaskRows = 16 * kRows;

// kRows pixels by NR outputs (16 or 8) of one panel: the filter's row for each input is
// loaded once and multiplied into every pixel's broadcast input.
template <size_t NR>
__attribute__((target("avx2,fma"))) void Block(const float* in, size_t inputs, const float* panel,
                                               const float* bias, float* out, size_t stride,
                                               size_t width, float low, float high) {
    constexpr size_t kRegs = NR / 8;
    // The accumulators live in registers only if every loop over them is unrolled, which -O2
    // does not do by itself.
    __m256 acc[kRows][kRegs];
#pragma GCC unroll 8
    for (size_t r = 0; r < kRows; ++r)
#pragma GCC unroll 2
        for (size_t j = 0; j < kRegs; ++j) acc[r][j] = _mm256_loadu_ps(bias + 8 * j);
    for (size_t i = 0; i < inputs; ++i, panel += kPanel) {
        __m256 w[kRegs];
#pragma GCC unroll 2
        for (size_t j = 0; j < kRegs; ++j) w[j] = _mm256_loadu_ps(panel + 8 * j);
#pragma GCC unroll 8
        for (size_t r = 0; r < kRows; ++r) {
            const __m256 x = _mm256_broadcast_ss(in + r * inputs + i);
#pragma GCC unroll 2
            for (size_t j = 0; j < kRegs; ++j) acc[r][j] = _mm256_fmadd_ps(x, w[j], acc[r][j]);
        }
    }
    const __m256 lo = _mm256_set1_ps(low), hi = _mm256_set1_ps(high);
#pragma GCC unroll 8
    for (size_t r = 0; r < kRows; ++r) {
        float* o = out + r * stride;
        if (width == NR) {
            for (size_t j = 0; j < kRegs; ++j)
                _mm256_storeu_ps(o + 8 * j, _mm256_min_ps(_mm256_max_ps(acc[r][j], lo), hi));
        } else {
            float row[NR];
            for (size_t j = 0; j < kRegs; ++j)
                _mm256_storeu_ps(row + 8 * j, _mm256_min_ps(_mm256_max_ps(acc[r][j], lo), hi));
            std::memcpy(o, row, width * sizeof(float));
        }
    }
}

// n floats; the window rows it copies are a few dozen bytes, shorter than a call to memcpy.
__attribute__((target("avx2"))) void Copy(const float* from, float* to, size_t n) {
    size_t j = 0;
    for (; j + 8 <= n; j += 8) _mm256_storeu_ps(to + j, _mm256_loadu_ps(from + j));
    if (j < n) {
        // The rest under a mask: nothing past either end is touched.
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n - j)), lane);
        _mm256_maskstore_ps(to + j, mask, _mm256_maskload_ps(from + j, mask));
    }
}

}  // namespace

bool ConvKernelRuns() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

bool ConvKernelPays() {
#ifdef NEROVA_HAVE_CPUINFO
    static const bool pays = ConvKernelRuns() && cpuinfo_initialize() &&
                             !(cpuinfo_has_x86_avx512f() && cpuinfo_has_x86_avx512bw() &&
                               cpuinfo_has_x86_avx512dq() && cpuinfo_has_x86_avx512vl());
    return pays;
#else
    return false;
#endif
}

ConvKernel::ConvKernel(const ConvShape& shape, const float* filter, const float* bias, float low,
                       float high)
    : shape_(shape),
      window_(shape.kernel_h * shape.kernel_w * shape.channels),
      in_place_(shape.kernel_h == 1 && shape.kernel_w == 1 && shape.stride_h == 1 &&
                shape.stride_w == 1 && shape.pad_top == 0 && shape.pad_left == 0 &&
                shape.in_h == shape.out_h && shape.in_w == shape.out_w),
      low_(low),
      high_(high) {
    const size_t outputs = shape.outputs;
    const size_t panels = (outputs + kPanel - 1) / kPanel;
    panels_.assign(panels * window_ * kPanel, 0.0f);
    bias_.assign(panels * kPanel, 0.0f);
    for (size_t o = 0; o < outputs; ++o) {
        bias_[o] = bias[o];
        float* column = &panels_[(o / kPanel) * window_ * kPanel + o % kPanel];
        for (size_t i = 0; i < window_; ++i) column[i * kPanel] = filter[o * window_ + i];
    }
}

void ConvKernel::Rows(const float* in, float* out, size_t first, size_t count) const {
    const size_t outputs = shape_.outputs;
    const size_t blocks = count / kRows;
    const size_t panels = (outputs + kPanel - 1) / kPanel;
    alignas(32) float windows[kRows * kMaxWindow];
    // Pixels outermost: a block's windows stay in the first-level cache for every panel, and
    // the packed filter (a few kilobytes for these layers) for every block.
    for (size_t b = 0; b < blocks; ++b) {
        const size_t pixel = first + b * kRows;
        const float* x = in + pixel * window_;
        if (!in_place_) {
            GatherWindows(shape_, in, pixel, kRows, 0.0f, windows, window_, Copy);
            x = windows;
        }
        for (size_t p = 0; p < panels; ++p) {
            const size_t width = std::min(kPanel, outputs - p * kPanel);
            float* y = out + pixel * outputs + p * kPanel;
            const float* panel = &panels_[p * window_ * kPanel];
            if (width > 8)
                Block<16>(x, window_, panel, &bias_[p * kPanel], y, outputs, width, low_, high_);
            else
                Block<8>(x, window_, panel, &bias_[p * kPanel], y, outputs, width, low_, high_);
        }
    }
    // The last few pixels, one at a time.
    for (size_t pixel = first + blocks * kRows; pixel < first + count; ++pixel) {
        const float* x = in + pixel * window_;
        if (!in_place_) {
            GatherWindows(shape_, in, pixel, 1, 0.0f, windows, window_, Copy);
            x = windows;
        }
        for (size_t o = 0; o < outputs; ++o) {
            const float* column = &panels_[(o / kPanel) * window_ * kPanel + o % kPanel];
            float sum = bias_[o];
            for (size_t i = 0; i < window_; ++i) sum += x[i] * column[i * kPanel];
            out[pixel * outputs + o] = std::min(high_, std::max(low_, sum));
        }
    }
}

void ConvKernel::Run(const float* in, float* out, size_t batch, pthreadpool_t pool) const {
    const size_t pixels = batch * shape_.out_h * shape_.out_w;
    ParallelTiles(pool, pixels, kTaskRows,
                  [&](size_t first, size_t count) { Rows(in, out, first, count); });
}

}  // namespace lowering
}  // namespace nerova
