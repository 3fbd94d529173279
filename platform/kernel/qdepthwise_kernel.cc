#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "qconv_kernel.h"

namespace nerova {
namespace lowering {

namespace {

#define NEROVA_AVX2 __attribute__((target("avx2,fma")))

constexpr size_t kGroup = 16;  // channels per group: two registers of int32 sums
constexpr size_t kHalf = 8;    // a last group this short takes one

// The codes of one group of a pixel widened to 16 bits, less the input's zero point; zero
// where the pixel lies outside the row (in the padding).
NEROVA_AVX2 inline __m256i Widened(const int8_t* row, long x, size_t width, size_t channels,
                                   size_t first, __m256i zero) {
    if (x < 0 || static_cast<size_t>(x) >= width) return _mm256_setzero_si256();
    const int8_t* at = row + static_cast<size_t>(x) * channels + first;
    const size_t n = std::min(kGroup, channels - first);
    __m128i codes;
    if (n == kGroup) {
        codes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    } else if (n == kHalf) {
        codes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at));
    } else {
        alignas(16) int8_t part[kGroup] = {};
        std::memcpy(part, at, n);
        codes = _mm_load_si128(reinterpret_cast<const __m128i*>(part));
    }
    // Channels past the last of a short group read as minus the zero point; zero weights
    // multiply them.
    return _mm256_sub_epi16(_mm256_cvtepi8_epi16(codes), zero);
}

// Group g of a row's widened positions: position p holds padded pixels p and p + 1 (the
// input's pixels from pad_left on). A half group's pairs fill one register in channel order.
NEROVA_AVX2 void WidenRow(const int8_t* line, const ConvShape& s, size_t g, size_t span,
                          __m256i zero, int16_t* to) {
    constexpr size_t kPosition = 2 * kGroup;
    const size_t first = g * kGroup;
    const bool half = s.channels - first <= kHalf, whole = s.channels - first >= kGroup;
    const long left = -static_cast<long>(s.pad_left);
    __m256i a = Widened(line, left, s.in_w, s.channels, first, zero);
    for (size_t p = 0; p < span; ++p, to += kPosition) {
        const long x = left + long(p) + 1;
        __m256i b;
        // Inside the row, more than half a group: 16 codes loaded as they lie. Past a short
        // group's channels they are the next pixel's, which zero weights multiply; the row's
        // last pixel loads them only from a whole group, never past the input's end.
        if (!half && x >= 0 && size_t(x) < s.in_w && (whole || size_t(x) + 1 < s.in_w))
            b = _mm256_sub_epi16(
                _mm256_cvtepi8_epi16(_mm_loadu_si128(
                    reinterpret_cast<const __m128i*>(line + size_t(x) * s.channels + first))),
                zero);
        else
            b = Widened(line, x, s.in_w, s.channels, first, zero);
        if (half) {
            const __m128i a8 = _mm256_castsi256_si128(a), b8 = _mm256_castsi256_si128(b);
            _mm256_store_si256(
                reinterpret_cast<__m256i*>(to),
                _mm256_set_m128i(_mm_unpackhi_epi16(a8, b8), _mm_unpacklo_epi16(a8, b8)));
        } else {
            _mm256_store_si256(reinterpret_cast<__m256i*>(to), _mm256_unpacklo_epi16(a, b));
            _mm256_store_si256(reinterpret_cast<__m256i*>(to + 16), _mm256_unpackhi_epi16(a, b));
        }
        a = b;
    }
}

}  // namespace

QDepthwiseKernel::QDepthwiseKernel(const ConvShape& shape, const int8_t* filter,
                                   const int32_t* bias, const float* scale, int32_t input_zero,
                                   int32_t output_zero, int8_t low, int8_t high)
    : shape_(shape),
      groups_((shape.channels + kGroup - 1) / kGroup),
      pairs_((shape.kernel_w + 1) / 2),
      span_(Span(shape)),
      input_zero_(input_zero),
      output_zero_(output_zero),
      low_(low),
      high_(high) {
    // A widened position holds the pixel and the next one, channel by channel, as the 16-bit
    // unpacks of a group's two halves leave them: the low register takes channels 0-3 and
    // 8-11, the high one 4-7 and 12-15. A last group of at most 8 channels is one register,
    // channels in order. The weights, bias and scale follow that order.
    static constexpr size_t kOrder[kGroup] = {0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15};
    const size_t channels = shape.channels, kw = shape.kernel_w;
    weights_.assign(groups_ * shape.kernel_h * pairs_ * 2 * kGroup, 0);
    bias_.assign(groups_ * kGroup, 0);
    scale_.assign(groups_ * kGroup, 0.0f);
    for (size_t g = 0; g < groups_; ++g)
        for (size_t lane = 0; lane < kGroup; ++lane) {
            const bool half = shape.channels - g * kGroup <= kHalf;
            const size_t c = g * kGroup + (half ? lane : kOrder[lane]);
            if (c >= channels) continue;
            bias_[g * kGroup + lane] = bias[c];
            scale_[g * kGroup + lane] = scale[c];
            for (size_t ky = 0; ky < shape.kernel_h; ++ky)
                for (size_t kp = 0; kp < pairs_; ++kp)
                    for (size_t t = 0; t < 2; ++t) {
                        const size_t kx = 2 * kp + t;
                        if (kx >= kw) continue;
                        weights_[((g * shape.kernel_h + ky) * pairs_ + kp) * 2 * kGroup + lane * 2 +
                                 t] = filter[(ky * kw + kx) * channels + c];
                    }
        }
}

size_t QDepthwiseKernel::Span(const ConvShape& shape) {
    return (shape.out_w - 1) * shape.stride_w + shape.kernel_w;
}

size_t QDepthwiseKernel::ScratchBytes(const ConvShape& shape) {
    // kernel_h rows of widened positions and the padding's, a row's low halves of scaled sums
    // (8 per pixel), and the slack that puts them on 32 bytes.
    const size_t groups = (shape.channels + kGroup - 1) / kGroup;
    return (shape.kernel_h + 1) * groups * Span(shape) * 2 * kGroup * sizeof(int16_t) +
           shape.out_w * 8 * sizeof(int32_t) + 32;
}

namespace {

// XNNPACK's requantisation of 8 sums: a float scale, the top of the clamp less the zero
// point, rounding to nearest even; the zero point and the bottom come after the packs.
NEROVA_AVX2 inline __m256i Scaled(__m256i sums, __m256 scale, __m256 top) {
    return _mm256_cvtps_epi32(_mm256_min_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(sums), scale), top));
}

NEROVA_AVX2 inline void StoreCodes(__m128i codes, size_t n, int8_t* to) {
    if (n == kGroup) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), codes);
    } else if (n == kHalf) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), codes);
    } else {
        alignas(16) int8_t part[kGroup];
        _mm_store_si128(reinterpret_cast<__m128i*>(part), codes);
        std::memcpy(to, part, n);
    }
}

// Widened positions lie on 32 bytes; the weights, in a vector, need not.
NEROVA_AVX2 inline __m256i Load(const int16_t* at) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(at));
}
NEROVA_AVX2 inline __m256i LoadU(const int16_t* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// One output row of one group: the kernel's rows of widened positions (rows[ky]) against the
// group's weights, with room in halves for 8 sums per pixel. Inlined with kh and pairs constant
// where the caller knows them.
NEROVA_AVX2 __attribute__((always_inline)) inline void GroupRow(
    const int16_t* const* rows, size_t span, size_t g, const int16_t* weights, const int32_t* bias,
    const float* scale, size_t kh, size_t pairs, size_t stride, size_t out_w, size_t channels,
    int8_t low, int8_t high, int32_t zero, int32_t* halves, int8_t* out) {
    constexpr size_t kPosition = 2 * kGroup;
    const __m256 c0 = _mm256_loadu_ps(scale + g * kGroup);
    const __m256 c1 = _mm256_loadu_ps(scale + g * kGroup + 8);
    const __m256 top = _mm256_set1_ps(float(high - zero));
    const __m256i vzero = _mm256_set1_epi16(static_cast<int16_t>(zero));
    const __m128i bottom = _mm_set1_epi8(low);
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bias + g * kGroup));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bias + g * kGroup + 8));
    const int16_t* w = weights + g * kh * pairs * kPosition;
    const size_t first = g * kGroup, n = std::min(kGroup, channels - first);
    constexpr size_t kTaps =
        QDepthwiseKernel::kMaxKernel * ((QDepthwiseKernel::kMaxKernel + 1) / 2);
    __m256i f[kTaps];  // one register of weights per window tap pair, held across the row
    // Pixel x's sums over the window from `from` (the bias), on the register `half` values into
    // each widened position (0 or 16).
    auto sums = [&](size_t x, size_t half, __m256i from) NEROVA_AVX2 {
        for (size_t ky = 0; ky < kh; ++ky) {
            const int16_t* q = rows[ky] + (g * span + x * stride) * kPosition + half;
            for (size_t kp = 0; kp < pairs; ++kp)
                from = _mm256_add_epi32(
                    from, _mm256_madd_epi16(Load(q + kp * 2 * kPosition), f[ky * pairs + kp]));
        }
        return from;
    };
    if (n <= kHalf) {
        for (size_t t = 0; t < kh * pairs; ++t) f[t] = LoadU(w + t * kPosition);
        for (size_t x = 0; x < out_w; ++x) {
            const __m256i v = Scaled(sums(x, 0, b0), c0, top);
            const __m128i words = _mm_adds_epi16(
                _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)),
                _mm256_castsi256_si128(vzero));
            StoreCodes(_mm_max_epi8(_mm_packs_epi16(words, words), bottom), n,
                       out + x * channels + first);
        }
        return;
    }
    // Each half of the group in a pass of its own, its weights held in registers; the low
    // half's scaled sums wait in `halves` for the high half's.
    for (size_t t = 0; t < kh * pairs; ++t) f[t] = LoadU(w + t * kPosition);
    for (size_t x = 0; x < out_w; ++x) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(halves + 8 * x),
                           Scaled(sums(x, 0, b0), c0, top));
    }
    for (size_t t = 0; t < kh * pairs; ++t) f[t] = LoadU(w + t * kPosition + 16);
    for (size_t x = 0; x < out_w; ++x) {
        const __m256i s1 = sums(x, 16, b1);
        const __m256i v0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(halves + 8 * x));
        // Packing the two halves puts the channels back in order.
        const __m256i words = _mm256_adds_epi16(_mm256_packs_epi32(v0, Scaled(s1, c1, top)), vzero);
        const __m128i codes =
            _mm_packs_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
        StoreCodes(_mm_max_epi8(codes, bottom), n, out + x * channels + first);
    }
}

}  // namespace

// Output rows first to first + count of the batch.
struct QDepthwiseRows {
    NEROVA_AVX2 static void Run(const QDepthwiseKernel& k, const int8_t* in, int8_t* out,
                                size_t first, size_t count);
};

NEROVA_AVX2 void QDepthwiseRows::Run(const QDepthwiseKernel& k, const int8_t* in, int8_t* out,
                                     size_t first, size_t count) {
    const ConvShape& s = k.shape_;
    const size_t groups = k.groups_, span = k.span_, pairs = k.pairs_;
    const size_t position = 2 * kGroup;  // int16 values per widened position of a group
    const size_t row_size = groups * span * position;
    // The kernel's rows of widened positions: slot iy % kernel_h holds input row iy, so the
    // rows of one window never share a slot; the last slot is the padding's, all zero.
    thread_local std::vector<int16_t> scratch;
    const size_t need = QDepthwiseKernel::ScratchBytes(s) / sizeof(int16_t);
    if (scratch.size() < need) scratch.assign(need, 0);
    auto address = reinterpret_cast<uintptr_t>(scratch.data());
    int16_t* base = reinterpret_cast<int16_t*>((address + 31) / 32 * 32);
    int16_t* padding = base + s.kernel_h * row_size;
    std::memset(padding, 0, row_size * sizeof(int16_t));
    // A row's low halves of scaled sums (8 per pixel), on 32 bytes as the rows are.
    int32_t* halves = reinterpret_cast<int32_t*>(padding + row_size);
    // The input row (image x in_h + iy) each slot holds, or none.
    size_t held[QDepthwiseKernel::kMaxKernel];
    const size_t none = ~size_t(0);
    std::fill_n(held, s.kernel_h, none);
    const __m256i zero = _mm256_set1_epi16(static_cast<int16_t>(k.input_zero_));
    const int32_t output_zero = k.output_zero_;
    const int8_t low = k.low_, high = k.high_;
    const int16_t* weights = k.weights_.data();
    const int32_t* bias = k.bias_.data();
    const float* scale = k.scale_.data();
    const int16_t* rows[QDepthwiseKernel::kMaxKernel];
    for (size_t r = first; r < first + count; ++r) {
        const size_t image = r / s.out_h, oy = r % s.out_h;
        for (size_t ky = 0; ky < s.kernel_h; ++ky) {
            const size_t iy = oy * s.stride_h + ky - s.pad_top;  // wraps above the image
            if (iy >= s.in_h) {
                rows[ky] = padding;
                continue;
            }
            const size_t slot = iy % s.kernel_h, key = image * s.in_h + iy;
            int16_t* row = base + slot * row_size;
            rows[ky] = row;
            if (held[slot] == key) continue;
            held[slot] = key;
            const int8_t* line = in + key * s.in_w * s.channels;
            for (size_t g = 0; g < groups; ++g)
                WidenRow(line, s, g, span, zero, row + g * span * position);
        }
        int8_t* to = out + r * s.out_w * s.channels;
        for (size_t g = 0; g < groups; ++g) {
            // The common windows with their loops unrolled.
            if (s.kernel_h == 3 && pairs == 2)
                GroupRow(rows, span, g, weights, bias, scale, 3, 2, s.stride_w, s.out_w, s.channels,
                         low, high, output_zero, halves, to);
            else if (s.kernel_h == 5 && pairs == 3)
                GroupRow(rows, span, g, weights, bias, scale, 5, 3, s.stride_w, s.out_w, s.channels,
                         low, high, output_zero, halves, to);
            else
                GroupRow(rows, span, g, weights, bias, scale, s.kernel_h, pairs, s.stride_w,
                         s.out_w, s.channels, low, high, output_zero, halves, to);
        }
    }
}

void QDepthwiseKernel::Rows(const int8_t* in, int8_t* out, size_t first, size_t count) const {
    QDepthwiseRows::Run(*this, in, out, first, count);
}

void QDepthwiseKernel::Run(const int8_t* in, int8_t* out, size_t batch, pthreadpool_t pool) const {
    const size_t rows = batch * shape_.out_h;
    const size_t threads = pool ? pthreadpool_get_threads_count(pool) : 1;
    // A task widens its first window's rows anew: a few bands per thread balance the threads
    // without widening each row many times over.
    ShareTiles(pool, rows, 4, std::max<size_t>(2, (rows + threads * 2 - 1) / (threads * 2)),
               [&](size_t first, size_t count) { Rows(in, out, first, count); });
}

void QDepthwiseKernel::Reference(const ConvShape& s, const int8_t* filter, const int32_t* bias,
                                 const float* scale, int32_t input_zero, int32_t output_zero,
                                 int8_t low, int8_t high, const int8_t* in, int8_t* out,
                                 size_t batch) {
    for (size_t n = 0; n < batch; ++n)
        for (size_t oy = 0; oy < s.out_h; ++oy)
            for (size_t ox = 0; ox < s.out_w; ++ox)
                for (size_t c = 0; c < s.channels; ++c) {
                    int32_t sum = bias[c];
                    for (size_t ky = 0; ky < s.kernel_h; ++ky)
                        for (size_t kx = 0; kx < s.kernel_w; ++kx) {
                            const long y = long(oy * s.stride_h + ky) - long(s.pad_top);
                            const long x = long(ox * s.stride_w + kx) - long(s.pad_left);
                            if (y < 0 || x < 0 || y >= long(s.in_h) || x >= long(s.in_w)) continue;
                            const size_t at =
                                ((n * s.in_h + size_t(y)) * s.in_w + size_t(x)) * s.channels + c;
                            sum += int32_t(filter[(ky * s.kernel_w + kx) * s.channels + c]) *
                                   (in[at] - input_zero);
                        }
                    float f = float(sum) * scale[c];
                    f = std::min(std::max(f, float(low - output_zero)), float(high - output_zero));
                    out[((n * s.out_h + oy) * s.out_w + ox) * s.channels + c] =
                        static_cast<int8_t>(std::nearbyint(f) + output_zero);
                }
}

}  // namespace lowering
}  // namespace nerova
