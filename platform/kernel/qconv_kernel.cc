#include "qconv_kernel.h"

// GCC 12's AVX-512 intrinsics start from a deliberately undefined register (`__m512 __Y = __Y`),
// which its own uninitialised-value warnings flag once inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#ifdef NEROVA_HAVE_CPUINFO
#include <cpuinfo.h>
#endif

namespace nerova {
namespace lowering {

namespace {

constexpr size_t kPanel = 16;  // outputs per panel: one register of int32 sums
constexpr size_t kBlock = 8;   // pixels per block: 8 x 2 panels of sums in 16 registers

#define NEROVA_VNNI __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni")))
#define NEROVA_AVX2 __attribute__((target("avx2,fma")))

// The AVX2 form: 8 outputs per register of sums, blocks of 6 pixels by 2 panels in 12
// registers, channels in 16-bit pairs (vpmaddwd sums two products per lane, exactly).
constexpr size_t kPanel2 = 8;
constexpr size_t kBlock2 = 6;

// Requantises 16 sums to int8 codes, XNNPACK's way: a float scale, a clamp, rounding to
// nearest even, the zero point.
NEROVA_VNNI inline __m128i Requantise(__m512i sums, __m512 scale, __m512 low, __m512 high,
                                      __m512i zero) {
    __m512 f = _mm512_mul_ps(_mm512_cvtepi32_ps(sums), scale);
    f = _mm512_min_ps(_mm512_max_ps(f, low), high);
    return _mm512_cvtsepi32_epi8(_mm512_add_epi32(_mm512_cvtps_epi32(f), zero));
}

// A kernel's packed weights (int8 for VNNI, widened to int16 for AVX2) and requantisation.
template <typename Weight>
struct Args {
    const Weight* panels;
    const int32_t* bias;
    const float* scale;
    size_t channels, outputs;
    size_t groups;    // of channels: 4 (VNNI) or 2 (AVX2) to a group
    float low, high;  // the clamp, less the zero point
    int32_t zero;
    // Where a pixel's groups lie: window_rows runs of row_groups groups, pitch values apart,
    // a pixel step values after the one before.
    size_t window_rows = 1, row_groups = 0, step = 0, pitch = 0;
    // AVX2: each output's zero point and clamp (less its zero point), whole panels of them;
    // null where all outputs share the ones above.
    const int32_t* zeros = nullptr;
    const float *lows = nullptr, *highs = nullptr;
};

// Adds groups groups of four products of pixels np (stride apart) to the sums of panel w0 (and
// w1 when pair).
template <int np>
NEROVA_VNNI inline __attribute__((always_inline)) void Sums(__m512i* s0, __m512i* s1,
                                                            const int8_t* in, size_t stride,
                                                            const int8_t* w0, const int8_t* w1,
                                                            size_t groups, bool pair) {
    const __m512i flip = _mm512_set1_epi32(static_cast<int32_t>(0x80808080u));
    for (size_t q = 0; q < groups; ++q) {
        const __m512i f0 = _mm512_loadu_si512(w0 + q * kPanel * 4);
        const __m512i f1 = pair ? _mm512_loadu_si512(w1 + q * kPanel * 4) : f0;
        for (int i = 0; i < np; ++i) {
            int32_t four;
            std::memcpy(&four, in + i * stride + q * 4, 4);
            const __m512i x = _mm512_xor_si512(_mm512_set1_epi32(four), flip);
            s0[i] = _mm512_dpbusd_epi32(s0[i], x, f0);
            if (pair) s1[i] = _mm512_dpbusd_epi32(s1[i], x, f1);
        }
    }
}

// Pixels np (at most kBlock, rows stride apart) against panels p and p + 1 (two when pair).
// rows: each window in a.window_rows runs of a.row_groups groups, a.pitch apart; else one run.
template <int np, bool rows>
NEROVA_VNNI void Block(const Args<int8_t>& a, const int8_t* in, size_t stride, int8_t* out,
                       size_t p, bool pair) {
    __m512i s0[np], s1[np];
    const __m512i b0 = _mm512_loadu_si512(a.bias + p * kPanel);
    const __m512i b1 = pair ? _mm512_loadu_si512(a.bias + (p + 1) * kPanel) : b0;
    for (int i = 0; i < np; ++i) s0[i] = b0, s1[i] = b1;
    const int8_t* w0 = a.panels + p * a.groups * kPanel * 4;
    const int8_t* w1 = w0 + a.groups * kPanel * 4;
    if constexpr (rows) {
        const size_t run = a.row_groups * kPanel * 4;  // weights per window row
        for (size_t r = 0; r < a.window_rows; ++r)
            Sums<np>(s0, s1, in + r * a.pitch, stride, w0 + r * run, w1 + r * run, a.row_groups,
                     pair);
    } else {
        Sums<np>(s0, s1, in, stride, w0, w1, a.groups, pair);
    }
    const __m512 low = _mm512_set1_ps(a.low), high = _mm512_set1_ps(a.high);
    const __m512i zero = _mm512_set1_epi32(a.zero);
    const __m512 c0 = _mm512_loadu_ps(a.scale + p * kPanel);
    const __m512 c1 = pair ? _mm512_loadu_ps(a.scale + (p + 1) * kPanel) : c0;
    const size_t first = p * kPanel;
    const size_t n0 = std::min(kPanel, a.outputs - first);
    const __mmask16 m0 = static_cast<__mmask16>((1u << n0) - 1);
    const size_t n1 = pair ? std::min(kPanel, a.outputs - first - kPanel) : 0;
    const __mmask16 m1 = static_cast<__mmask16>((1u << n1) - 1);
    for (int i = 0; i < np; ++i) {
        int8_t* row = out + i * a.outputs + first;
        _mm_mask_storeu_epi8(row, m0, Requantise(s0[i], c0, low, high, zero));
        if (pair) _mm_mask_storeu_epi8(row + kPanel, m1, Requantise(s1[i], c1, low, high, zero));
    }
}

// Whole blocks of kb pixels, then the rest: block(np, first pixel) with np a constant.
template <size_t kb, typename F>
inline void Blocks(size_t count, F block) {
    size_t i = 0;
    for (; i + kb <= count; i += kb) block(std::integral_constant<int, int(kb)>(), i);
    switch (count - i) {
        case 7:
            if constexpr (kb > 7) block(std::integral_constant<int, 7>(), i);
            break;
        case 6:
            if constexpr (kb > 6) block(std::integral_constant<int, 6>(), i);
            break;
        case 5:
            if constexpr (kb > 5) block(std::integral_constant<int, 5>(), i);
            break;
        case 4:
            if constexpr (kb > 4) block(std::integral_constant<int, 4>(), i);
            break;
        case 3:
            block(std::integral_constant<int, 3>(), i);
            break;
        case 2:
            block(std::integral_constant<int, 2>(), i);
            break;
        case 1:
            block(std::integral_constant<int, 1>(), i);
            break;
        default:
            break;
    }
}

// Blocks of pixels against every panel, two at a time. x(i, n): pixels i to i + n, a.step
// apart.
template <bool rows, typename X>
NEROVA_VNNI void PanelsOf(const Args<int8_t>& a, size_t count, X x, int8_t* out) {
    const size_t panels = (a.outputs + kPanel - 1) / kPanel;
    Blocks<kBlock>(count, [&](auto np, size_t i) NEROVA_VNNI {
        constexpr int n = decltype(np)::value;
        const int8_t* in = x(i, size_t(n));
        for (size_t p = 0; p < panels; p += 2)
            Block<n, rows>(a, in, a.step, out + i * a.outputs, p, p + 1 < panels);
    });
}

template <typename X>
NEROVA_VNNI void Panels(const Args<int8_t>& a, size_t count, X x, int8_t* out) {
    if (a.window_rows > 1)
        PanelsOf<true>(a, count, x, out);
    else
        PanelsOf<false>(a, count, x, out);
}

NEROVA_AVX2 inline __m256i Requantise2(__m256i sums, __m256 scale, __m256 low, __m256 high,
                                       __m256i zero) {
    __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(sums), scale);
    f = _mm256_min_ps(_mm256_max_ps(f, low), high);
    return _mm256_add_epi32(_mm256_cvtps_epi32(f), zero);
}

// Pixels np of x, widened to 16 bits (window rows of pairs), against kp panels from p: at
// most 12 registers of sums. lanes: each output its own zero point and clamp (kept apart: the
// registers they take would push sums out).
template <int np, int kp, bool lanes>
NEROVA_AVX2 void Block2(const Args<int16_t>& a, const int16_t* x, int8_t* out, size_t p) {
    static_assert(np * kp <= 12, "sums beyond the registers");
    __m256i s[kp][np];
    for (int k = 0; k < kp; ++k) {
        const __m256i b =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.bias + (p + k) * kPanel2));
        for (int i = 0; i < np; ++i) s[k][i] = b;
    }
    const size_t panel = a.groups * kPanel2 * 2;  // weights per panel
    const int16_t* w = a.panels + p * panel;
    size_t g = 0;  // the group of pairs
    for (size_t r = 0; r < a.window_rows; ++r, x += a.pitch)
        for (size_t q = 0; q < a.row_groups; ++q, ++g) {
            __m256i f[kp];
            for (int k = 0; k < kp; ++k)
                f[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + k * panel + g * 16));
            for (int i = 0; i < np; ++i) {
                int32_t two;
                std::memcpy(&two, x + i * a.step + q * 2, 4);
                const __m256i v = _mm256_set1_epi32(two);
                for (int k = 0; k < kp; ++k)
                    s[k][i] = _mm256_add_epi32(s[k][i], _mm256_madd_epi16(v, f[k]));
            }
        }
    constexpr int kq = lanes ? kp : 1;  // registers of zero points and clamps
    __m256 c[kp], low[kq], high[kq];
    __m256i zero[kq];
    for (int k = 0; k < kp; ++k) c[k] = _mm256_loadu_ps(a.scale + (p + k) * kPanel2);
    for (int k = 0; k < kq; ++k) {
        const size_t at = (p + k) * kPanel2;
        low[k] = lanes ? _mm256_loadu_ps(a.lows + at) : _mm256_set1_ps(a.low);
        high[k] = lanes ? _mm256_loadu_ps(a.highs + at) : _mm256_set1_ps(a.high);
        zero[k] = lanes ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.zeros + at))
                        : _mm256_set1_epi32(a.zero);
    }
    const size_t first = p * kPanel2;
    const size_t n = std::min(kp * kPanel2, a.outputs - first);
    for (int i = 0; i < np; ++i) {
        // Codes of the panels in order, 16 to a register; whole panels stored as they are.
        __m128i codes[(kp + 1) / 2];
        for (int k = 0; k < kp; k += 2) {
            const int k0 = lanes ? k : 0, k1 = lanes ? k + 1 : 0;
            const __m256i q0 = Requantise2(s[k][i], c[k], low[k0], high[k0], zero[k0]);
            const __m256i q1 =
                k + 1 < kp ? Requantise2(s[k + 1][i], c[k + 1], low[k1], high[k1], zero[k1]) : q0;
            codes[k / 2] = _mm_packs_epi16(
                _mm_packs_epi32(_mm256_castsi256_si128(q0), _mm256_extracti128_si256(q0, 1)),
                _mm_packs_epi32(_mm256_castsi256_si128(q1), _mm256_extracti128_si256(q1, 1)));
        }
        int8_t* row = out + i * a.outputs + first;
        if (n == kp * kPanel2) {
            for (int k = 0; k < kp; k += 2) {
                if (k + 1 < kp)
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + k * kPanel2), codes[k / 2]);
                else
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(row + k * kPanel2), codes[k / 2]);
            }
        } else {
            alignas(16) int8_t part[sizeof codes];
            std::memcpy(part, codes, sizeof codes);
            std::memcpy(row, part, n);
        }
    }
}

// Rows of channels codes (from stride apart) widened to 16 bits, each padded with a zero to
// whole pairs.
NEROVA_AVX2 void Widen(const int8_t* in, size_t from, size_t channels, size_t rows, int16_t* x) {
    const size_t stride = (channels + 1) / 2 * 2;
    for (size_t i = 0; i < rows; ++i, in += from, x += stride) {
        size_t c = 0;
        for (; c + 16 <= channels; c += 16)
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(x + c),
                _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + c))));
        // The rest in 8 and 4 at a time, never reading past the row.
        if (c + 8 <= channels) {
            _mm_storeu_si128(
                reinterpret_cast<__m128i*>(x + c),
                _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + c))));
            c += 8;
        }
        if (c + 4 <= channels) {
            int32_t four;
            std::memcpy(&four, in + c, 4);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(x + c),
                             _mm_cvtepi8_epi16(_mm_cvtsi32_si128(four)));
            c += 4;
        }
        for (; c < channels; ++c) x[c] = in[c];
        if (channels % 2) x[channels] = 0;
    }
}

// Blocks of pixels against every panel: three panels (17 to 24 outputs) at once over blocks
// of 4 pixels, which loads each input pair once instead of twice; else pairs of panels over
// blocks of kBlock2. x(i, n): pixels i to i + n, widened.
template <bool lanes, typename X>
NEROVA_AVX2 void PanelsOf(const Args<int16_t>& a, size_t count, X x, int8_t* out) {
    const size_t panels = (a.outputs + kPanel2 - 1) / kPanel2;
    if (panels == 3) {
        Blocks<4>(count, [&](auto np, size_t i) NEROVA_AVX2 {
            constexpr int n = decltype(np)::value;
            Block2<n, 3, lanes>(a, x(i, size_t(n)), out + i * a.outputs, 0);
        });
        return;
    }
    Blocks<kBlock2>(count, [&](auto np, size_t i) NEROVA_AVX2 {
        constexpr int n = decltype(np)::value;
        const int16_t* rows = x(i, size_t(n));
        for (size_t p = 0; p < panels; p += 2) {
            if (p + 1 < panels)
                Block2<n, 2, lanes>(a, rows, out + i * a.outputs, p);
            else
                Block2<n, 1, lanes>(a, rows, out + i * a.outputs, p);
        }
    });
}

template <typename X>
NEROVA_AVX2 void Panels2(const Args<int16_t>& a, size_t count, X x, int8_t* out) {
    if (a.zeros)
        PanelsOf<true>(a, count, x, out);
    else
        PanelsOf<false>(a, count, x, out);
}

// rows(i, n): the windows of pixels i to i + n, from apart.
template <typename Rows>
NEROVA_AVX2 void Run2(const Args<int16_t>& a, Rows rows, size_t from, int8_t* out, size_t count) {
    alignas(32) int16_t x[kBlock2 * QConvKernel::kMaxWindow];
    Panels2(
        a, count,
        [&](size_t i, size_t n) {
            Widen(rows(i, n), from, a.channels, n, x);
            return static_cast<const int16_t*>(x);
        },
        out);
}

// Bytes of the input rows a chunk of pixels reads (widened on AVX2): its rows live on the
// stack.
constexpr size_t kRowScratch = 32768;
constexpr size_t kMaxChunk = 16 * kBlock2;

// Values per input row for n pixels of one output row: the columns their windows span, and a
// group past them (the end of a window row may read into the group, which zero weights
// multiply).
inline size_t RowPitch(const ConvShape& s, size_t n, size_t group) {
    return ((n - 1) * s.stride_w + s.kernel_w) * s.channels + group;
}

// The row form: for each run of pixels within one output row (at most chunk), the input rows
// their windows read are copied once (copy(from, n, to): n values, widened on AVX2), the zero
// point outside the image, and each pixel reads its window rows in place, stride_w x channels
// values after the one before. panels(a, n, x, out) computes them, x(i, n) their rows.
template <typename T, typename Copy, typename Panels>
void RowRuns(Args<T> a, const ConvShape& s, T outside, size_t chunk, size_t group, const int8_t* in,
             int8_t* out, size_t first, size_t count, Copy copy, Panels panels) {
    alignas(64) T x[kRowScratch / sizeof(T)];
    const size_t plane = s.out_h * s.out_w;
    a.window_rows = s.kernel_h;
    a.step = s.stride_w * s.channels;
    for (size_t p = first, end = first + count; p < end;) {
        const size_t image = p / plane, oy = p % plane / s.out_w, ox = p % s.out_w;
        const size_t n = std::min({end - p, s.out_w - ox, chunk});
        a.pitch = RowPitch(s, n, group);
        const long left = long(ox * s.stride_w) - long(s.pad_left);
        const long from = std::max(left, 0L);
        const long to = std::min(left + long((n - 1) * s.stride_w + s.kernel_w), long(s.in_w));
        for (size_t ky = 0; ky < s.kernel_h; ++ky) {
            T* row = x + ky * a.pitch;
            // Unsigned: a row above the image wraps past in_h and reads as outside.
            const size_t iy = oy * s.stride_h + ky - s.pad_top;
            if (iy >= s.in_h || from >= to) {
                std::fill_n(row, a.pitch, outside);
                continue;
            }
            const size_t inside = size_t(from - left) * s.channels;
            const size_t length = size_t(to - from) * s.channels;
            std::fill_n(row, inside, outside);
            copy(in + ((image * s.in_h + iy) * s.in_w + size_t(from)) * s.channels, length,
                 row + inside);
            std::fill(row + inside + length, row + a.pitch, outside);
        }
        panels(
            a, n, [&](size_t i, size_t) { return static_cast<const T*>(x + i * a.step); },
            out + p * a.outputs);
        p += n;
    }
}

}  // namespace

bool QIsaRuns(QIsa isa) {
    switch (isa) {
        case QIsa::kAvx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case QIsa::kAvx512Vnni:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni");
        case QIsa::kNone:
            break;
    }
    return true;
}

QIsa QKernelIsa() {
#ifdef NEROVA_HAVE_CPUINFO
    // What XNNPACK's own description says; under a test that hides AVX-512 from it, ours
    // follow.
    static const QIsa isa = [] {
        if (!cpuinfo_initialize()) return QIsa::kNone;
        const bool avx512 = cpuinfo_has_x86_avx512f() && cpuinfo_has_x86_avx512bw() &&
                            cpuinfo_has_x86_avx512dq() && cpuinfo_has_x86_avx512vl();
        if (avx512 && cpuinfo_has_x86_avx512vnni() && QIsaRuns(QIsa::kAvx512Vnni))
            return QIsa::kAvx512Vnni;
        if (!avx512 && cpuinfo_has_x86_avx2() && cpuinfo_has_x86_fma3() && QIsaRuns(QIsa::kAvx2))
            return QIsa::kAvx2;
        return QIsa::kNone;
    }();
    return isa;
#else
    return QIsa::kNone;
#endif
}

QConvKernel::QConvKernel(const ConvShape& shape, const int8_t* filter, const int32_t* bias,
                         const float* scale, int32_t input_zero, int32_t output_zero, int8_t low,
                         int8_t high, QIsa isa)
    : QConvKernel(shape, filter, bias, scale, input_zero,
                  std::vector<int32_t>(shape.outputs, output_zero).data(),
                  std::vector<int8_t>(shape.outputs, low).data(),
                  std::vector<int8_t>(shape.outputs, high).data(), isa) {}

namespace {

// Whether every output has the first one's value.
template <typename T>
bool Uniform(const T* values, size_t n) {
    return std::all_of(values, values + n, [&](T v) { return v == values[0]; });
}

}  // namespace

QConvKernel::QConvKernel(const ConvShape& shape, const int8_t* filter, const int32_t* bias,
                         const float* scale, int32_t input_zero, const int32_t* output_zeros,
                         const int8_t* lows, const int8_t* highs, QIsa isa)
    : uniform_(Uniform(output_zeros, shape.outputs) && Uniform(lows, shape.outputs) &&
               Uniform(highs, shape.outputs)),
      isa_(isa == QIsa::kAvx512Vnni && uniform_ ? isa : QIsa::kAvx2),
      shape_(shape),
      window_(shape.kernel_h * shape.kernel_w * shape.channels),
      groups_(isa_ == QIsa::kAvx2 ? (window_ + 1) / 2 : (window_ + 3) / 4),
      in_place_(shape.kernel_h == 1 && shape.kernel_w == 1 && shape.stride_h == 1 &&
                shape.stride_w == 1 && shape.pad_top == 0 && shape.pad_left == 0 &&
                shape.in_h == shape.out_h && shape.in_w == shape.out_w),
      input_zero_(input_zero),
      output_zero_(output_zeros[0]),
      low_(lows[0]),
      high_(highs[0]) {
    const size_t outputs = shape.outputs;
    const bool vnni = isa_ == QIsa::kAvx512Vnni;
    const size_t width = vnni ? kPanel : kPanel2, group = vnni ? 4 : 2;
    // Gathering a window of few channels copies a few bytes at a time; reading the windows
    // from the input rows, copied (widened on AVX2) once per run of pixels, copies each value
    // about kernel_h x kernel_w / stride times fewer.
    const size_t row = shape.kernel_w * shape.channels;
    if (!in_place_ && shape.channels < 16) {
        row_groups_ = (row + group - 1) / group;
        groups_ = shape.kernel_h * row_groups_;
        const size_t value = vnni ? 1 : 2;  // bytes
        for (chunk_ = vnni ? 16 * kBlock : kMaxChunk;
             chunk_ > 1 && shape.kernel_h * RowPitch(shape, chunk_, group) * value > kRowScratch;)
            --chunk_;
    }
    const size_t panels = (outputs + width - 1) / width;
    if (vnni)
        panels_.assign(panels * groups_ * width * group, 0);
    else
        panels16_.assign(panels * groups_ * width * group, 0);
    bias_.assign(panels * width, 0);
    scale_.assign(panels * width, 0.0f);
    zeros_.assign(panels * width, 0);
    lows_.assign(panels * width, 0.0f);
    highs_.assign(panels * width, 0.0f);
    for (size_t o = 0; o < outputs; ++o) {
        int64_t sum = 0;
        for (size_t c = 0; c < window_; ++c) {
            const int8_t w = filter[o * window_ + c];
            sum += w;
            const size_t g = row_groups_ ? c / row * row_groups_ + c % row / group : c / group;
            const size_t e = row_groups_ ? c % row % group : c % group;
            const size_t at = ((o / width) * groups_ + g) * width * group + (o % width) * group + e;
            if (vnni)
                panels_[at] = w;
            else
                panels16_[at] = w;
        }
        // The kernel sums x w (VNNI: (x + 128) w): take back what the zero point (and 128)
        // add.
        bias_[o] = static_cast<int32_t>(bias[o] - ((vnni ? 128 : 0) + int64_t(input_zero)) * sum);
        scale_[o] = scale[o];
        zeros_[o] = output_zeros[o];
        lows_[o] = float(lows[o] - output_zeros[o]);
        highs_[o] = float(highs[o] - output_zeros[o]);
    }
}

namespace {

// n bytes; a window's rows are a few dozen, shorter than a call to memcpy. Nothing past either
// end is touched.
inline void CopyBytes(const int8_t* from, int8_t* to, size_t n) {
    size_t j = 0;
    for (; j + 16 <= n; j += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + j),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + j)));
    if (n & 8) std::memcpy(to + j, from + j, 8), j += 8;
    if (n & 4) std::memcpy(to + j, from + j, 4), j += 4;
    if (n & 2) std::memcpy(to + j, from + j, 2), j += 2;
    if (n & 1) to[j] = from[j];
}

}  // namespace

void QConvKernel::Pixels(const int8_t* in, int8_t* out, size_t first, size_t count) const {
    const float low = float(low_ - output_zero_), high = float(high_ - output_zero_);
    Args<int16_t> a2{panels16_.data(), bias_.data(), scale_.data(), window_,     shape_.outputs,
                     groups_,          low,          high,          output_zero_};
    if (!uniform_) a2.zeros = zeros_.data(), a2.lows = lows_.data(), a2.highs = highs_.data();
    Args<int8_t> a{panels_.data(), bias_.data(), scale_.data(), window_,     shape_.outputs,
                   groups_,        low,          high,          output_zero_};
    const bool avx2 = isa_ == QIsa::kAvx2;
    if (row_groups_) {
        if (avx2) {
            a2.row_groups = row_groups_;
            RowRuns(
                a2, shape_, static_cast<int16_t>(input_zero_), chunk_, 2, in, out, first, count,
                [](const int8_t* from, size_t n, int16_t* to) { Widen(from, 0, n, 1, to); },
                [](const Args<int16_t>& b, size_t n, auto x, int8_t* to) { Panels2(b, n, x, to); });
        } else {
            a.row_groups = row_groups_;
            RowRuns(
                a, shape_, static_cast<int8_t>(input_zero_), chunk_, 4, in, out, first, count,
                [](const int8_t* from, size_t n, int8_t* to) { std::memcpy(to, from, n); },
                [](const Args<int8_t>& b, size_t n, auto x, int8_t* to) { Panels(b, n, x, to); });
        }
        return;
    }
    // A block's windows: the input rows themselves, or gathered (with the group's padding
    // zeroed, which the zero weights there multiply).
    alignas(64) int8_t windows[kBlock * (kMaxWindow + 4)];
    const size_t stride = in_place_ ? window_ : groups_ * (avx2 ? 2 : 4);
    if (!in_place_)
        for (size_t r = 0; r < kBlock; ++r)
            std::memset(windows + r * stride + window_, 0, stride - window_);
    auto rows = [&](size_t i, size_t n) -> const int8_t* {
        if (in_place_) return in + (first + i) * window_;
        GatherWindows(shape_, in, first + i, n, static_cast<int8_t>(input_zero_), windows, stride,
                      CopyBytes);
        return windows;
    };
    if (avx2) {
        a2.row_groups = groups_;
        a2.step = groups_ * 2;  // the widened windows
        Run2(a2, rows, stride, out + first * shape_.outputs, count);
        return;
    }
    a.row_groups = groups_;
    a.step = stride;
    Panels(a, count, rows, out + first * shape_.outputs);
}

void QConvKernel::Run(const int8_t* in, int8_t* out, size_t pixels, pthreadpool_t pool) const {
    // Tiles of 8 blocks, enough of them to balance the threads.
    ShareTiles(pool, pixels, 2 * 64, (isa_ == QIsa::kAvx2 ? kBlock2 : kBlock) * 8,
               [&](size_t first, size_t count) { Pixels(in, out, first, count); });
}

void QConvKernel::Reference(const ConvShape& s, const int8_t* filter, const int32_t* bias,
                            const float* scale, int32_t input_zero, int32_t output_zero, int8_t low,
                            int8_t high, const int8_t* in, int8_t* out, size_t pixels) {
    const size_t plane = s.out_h * s.out_w;
    for (size_t p = 0; p < pixels; ++p)
        for (size_t o = 0; o < s.outputs; ++o) {
            int32_t sum = bias[o];
            const int8_t* w = filter + o * s.kernel_h * s.kernel_w * s.channels;
            for (size_t ky = 0; ky < s.kernel_h; ++ky)
                for (size_t kx = 0; kx < s.kernel_w; ++kx)
                    for (size_t c = 0; c < s.channels; ++c, ++w) {
                        const long y =
                            long(p % plane / s.out_w * s.stride_h + ky) - long(s.pad_top);
                        const long x = long(p % s.out_w * s.stride_w + kx) - long(s.pad_left);
                        if (y < 0 || x < 0 || y >= long(s.in_h) || x >= long(s.in_w)) continue;
                        const size_t at =
                            ((p / plane * s.in_h + size_t(y)) * s.in_w + size_t(x)) * s.channels +
                            c;
                        sum += int32_t(*w) * (in[at] - input_zero);
                    }
            float f = float(sum) * scale[o];
            f = std::min(std::max(f, float(low - output_zero)), float(high - output_zero));
            out[p * s.outputs + o] = static_cast<int8_t>(std::nearbyint(f) + output_zero);
        }
}

QEntryKernel::QEntryKernel(size_t channels, const float* filter, const float* bias, float scale,
                           int32_t zero, int8_t low, int8_t high, QIsa isa)
    : isa_(isa), channels_(channels), low_(float(low)), high_(float(high)) {
    // Element i of the interleaved pixels is channel j = i % channels of its pixel, a sum of
    // the values at i - j + c: a short filter along the row, periodic in j.
    coef_.assign(channels * 7 * kPanel, 0.0f);
    bias_.assign(channels * kPanel, 0.0f);
    for (size_t k = 0; k < channels; ++k)
        for (size_t e = 0; e < kPanel; ++e) {
            const size_t j = (k * kPanel + e) % channels;
            bias_[k * kPanel + e] = bias[j] / scale + float(zero);
            for (size_t c = 0; c < channels; ++c) {
                const size_t d = c + 3 - j;  // 0..6
                coef_[(k * 7 + d) * kPanel + e] = filter[j * channels + c] / scale;
            }
        }
    // Only the distances some lane uses: a model's mean and scale (a diagonal filter) is one.
    for (int d = 0; d < 7; ++d) {
        bool used = false;
        for (size_t k = 0; k < channels; ++k)
            for (size_t e = 0; e < kPanel; ++e) used = used || coef_[(k * 7 + d) * kPanel + e] != 0;
        if (used) taps_.push_back(d);
    }
}

namespace {

// One element as the vector lanes compute it: the same fused sums in the same order.
inline int8_t EntryCode(const float* x, size_t i, size_t lane, const float* coef, const float* bias,
                        float low, float high, size_t first, size_t end) {
    float acc = bias[lane];
    for (size_t d = 0; d < 7; ++d) {
        const long at = long(i) + long(d) - 3;
        const float c = coef[d * kPanel + lane];
        if (c != 0.0f && at >= long(first) && size_t(at) < end) acc = std::fma(c, x[at], acc);
    }
    // Clamped as vmaxps and vminps do, which take their second operand for a NaN: to low.
    acc = acc > low ? acc : low;
    return static_cast<int8_t>(std::nearbyint(acc < high ? acc : high));
}

NEROVA_VNNI void EntryChunks(const float* x, int8_t* out, size_t first, size_t chunks,
                             size_t channels, const float* coef, const float* bias, float lo,
                             float hi, const std::vector<int>& taps) {
    const __m512 low = _mm512_set1_ps(lo), high = _mm512_set1_ps(hi);
    for (size_t n = 0; n < chunks; ++n) {
        const size_t base = first + n * channels * kPanel;
        for (size_t k = 0; k < channels; ++k) {
            const float* c = coef + k * 7 * kPanel;
            __m512 acc = _mm512_loadu_ps(bias + k * kPanel);
            const float* at = x + base + k * kPanel;
            for (int d : taps)
                acc = _mm512_fmadd_ps(_mm512_loadu_ps(c + d * kPanel), _mm512_loadu_ps(at + d - 3),
                                      acc);
            acc = _mm512_min_ps(_mm512_max_ps(acc, low), high);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + base + k * kPanel),
                             _mm512_cvtsepi32_epi8(_mm512_cvtps_epi32(acc)));
        }
    }
}

// The same in two halves of 8 lanes, in the same order: the same numbers.
NEROVA_AVX2 void EntryChunks2(const float* x, int8_t* out, size_t first, size_t chunks,
                              size_t channels, const float* coef, const float* bias, float lo,
                              float hi, const std::vector<int>& taps) {
    const __m256 low = _mm256_set1_ps(lo), high = _mm256_set1_ps(hi);
    for (size_t n = 0; n < chunks; ++n) {
        const size_t base = first + n * channels * kPanel;
        for (size_t k = 0; k < channels; ++k)
            for (size_t h = 0; h < kPanel; h += 8) {
                const float* c = coef + k * 7 * kPanel + h;
                __m256 acc = _mm256_loadu_ps(bias + k * kPanel + h);
                const float* at = x + base + k * kPanel + h;
                for (int d : taps)
                    acc = _mm256_fmadd_ps(_mm256_loadu_ps(c + d * kPanel),
                                          _mm256_loadu_ps(at + d - 3), acc);
                const __m256i v = _mm256_cvtps_epi32(_mm256_min_ps(_mm256_max_ps(acc, low), high));
                const __m128i w =
                    _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out + base + k * kPanel + h),
                                 _mm_packs_epi16(w, w));
            }
    }
}

}  // namespace

void QEntryKernel::Run(const float* in, int8_t* out, size_t pixels, pthreadpool_t pool) const {
    const size_t chunk = channels_ * kPanel, end = pixels * channels_;
    // The first chunk and what is left after the whole ones, lane by lane: they would read
    // before the input or past its padding.
    const size_t whole = end / chunk;
    const size_t vector_from = whole > 1 ? 1 : whole;
    for (size_t i = 0; i < std::min(end, vector_from * chunk); ++i) {
        const size_t k = i / kPanel, e = i % kPanel;
        out[i] = EntryCode(in, i, e, coef_.data() + k * 7 * kPanel, bias_.data() + k * kPanel, low_,
                           high_, 0, end);
    }
    const size_t count = whole > vector_from ? whole - vector_from : 0;
    // A whole frame is thousands of chunks: a few tiles per thread.
    ShareTiles(pool, count, 256, std::max<size_t>(64, count / 16), [&](size_t first, size_t n) {
        const size_t from = (vector_from + first) * chunk;
        if (isa_ != QIsa::kAvx512Vnni)
            EntryChunks2(in, out, from, n, channels_, coef_.data(), bias_.data(), low_, high_,
                         taps_);
        else
            EntryChunks(in, out, from, n, channels_, coef_.data(), bias_.data(), low_, high_,
                        taps_);
    });
    for (size_t i = std::max(whole, vector_from) * chunk; i < end; ++i) {
        const size_t k = (i % chunk) / kPanel, e = i % kPanel;
        out[i] = EntryCode(in, i, e, coef_.data() + k * 7 * kPanel, bias_.data() + k * kPanel, low_,
                           high_, 0, end);
    }
}

namespace {

NEROVA_AVX2 void QuantiseAvx2(const float* in, int8_t* out, size_t count, float scale,
                              int32_t zero) {
    // XNNPACK's steps: times the reciprocal, the top clamp (which takes NaN), rounding, the
    // zero point and the saturating packs.
    const float inv = 1.0f / scale, top = float(127 - zero);
    const __m256 vinv = _mm256_set1_ps(inv), vtop = _mm256_set1_ps(top);
    const __m256i vzero = _mm256_set1_epi16(static_cast<int16_t>(zero));
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i a =
            _mm256_cvtps_epi32(_mm256_min_ps(_mm256_mul_ps(_mm256_loadu_ps(in + i), vinv), vtop));
        const __m256i b = _mm256_cvtps_epi32(
            _mm256_min_ps(_mm256_mul_ps(_mm256_loadu_ps(in + i + 8), vinv), vtop));
        const __m256i w =
            _mm256_adds_epi16(_mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8), vzero);
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(out + i),
            _mm_packs_epi16(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1)));
    }
    for (; i < count; ++i) {
        const float f = in[i] * inv;
        const float clamped = std::max(f < top ? f : top, -1e6f);
        const long code = std::lrint(clamped) + zero;
        out[i] = static_cast<int8_t>(std::min(127L, std::max(-128L, code)));
    }
}

}  // namespace

void QuantiseCodes(const float* in, int8_t* out, size_t count, float scale, int32_t zero,
                   pthreadpool_t pool) {
    // Tiles of whole vectors, a few per thread.
    ShareTiles(pool, count, 8192, (count / 16 + 15) / 16 * 16, [&](size_t first, size_t n) {
        QuantiseAvx2(in + first, out + first, n, scale, zero);
    });
}

void UpsampleNearest(const int8_t* in, int8_t* out, size_t batch, size_t height, size_t width,
                     size_t channels, size_t sh, size_t sw) {
    const size_t out_row = width * sw * channels;
    for (size_t y = 0; y < batch * height; ++y, in += width * channels) {
        int8_t* row = out + y * sh * out_row;
        for (size_t x = 0; x < width; ++x)
            for (size_t k = 0; k < sw; ++k)
                std::memcpy(row + (x * sw + k) * channels, in + x * channels, channels);
        for (size_t k = 1; k < sh; ++k) std::memcpy(row + k * out_row, row, out_row);
    }
}

}  // namespace lowering
}  // namespace nerova
