// A convolution of one group of our own for AVX2 cores, run between XNNPACK's operators on the
// runner's buffers: XNNPACK's AVX2 float kernels reach about 40 % of the core's multiply-add
// peak on the detectors' narrow layers (pointwise ones and the entry convolution over three
// channels), this one about twice that. Where XNNPACK runs its AVX-512 kernels, which do
// better, it is not used. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_CONV_KERNEL_H_
#define NEROVA_PLATFORM_KERNEL_CONV_KERNEL_H_

#include <pthreadpool.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

namespace nerova {
namespace lowering {

// Whether the kernel pays here: AVX2 and FMA, and XNNPACK without its AVX-512 kernels (it
// asks cpuinfo, as this does).
bool ConvKernelPays();
// Whether this CPU can run it at all (AVX2 and FMA).
bool ConvKernelRuns();

// NHWC tensors; dilation 1. The window's values (kernel_h x kernel_w x channels) are gathered
// per pixel, unless the window is one pixel at stride 1 without pads, which reads in place.
struct ConvShape {
    size_t in_h = 1, in_w = 1, channels = 1;
    size_t out_h = 1, out_w = 1, outputs = 1;
    size_t kernel_h = 1, kernel_w = 1, stride_h = 1, stride_w = 1;
    size_t pad_top = 0, pad_left = 0;
};

// The window of output pixel (oy, ox) of an image, NHWC, into to (kernel_h x kernel_w x
// channels values), `outside` where it leaves the image; copy(from, to, n) copies n values.
template <typename T, typename Copy>
void GatherWindow(const ConvShape& s, const T* in, size_t image, size_t oy, size_t ox, T outside,
                  T* to, Copy copy) {
    const size_t row = s.kernel_w * s.channels;
    for (size_t ky = 0; ky < s.kernel_h; ++ky, to += row) {
        // Unsigned: a row above the image wraps past in_h and reads as outside.
        const size_t iy = oy * s.stride_h + ky - s.pad_top;
        if (iy >= s.in_h) {
            std::fill_n(to, row, outside);
            continue;
        }
        const T* line = in + (image * s.in_h + iy) * s.in_w * s.channels;
        const size_t left = ox * s.stride_w;  // the window's first column, plus pad_left
        if (left >= s.pad_left && left - s.pad_left + s.kernel_w <= s.in_w) {
            // Inside the image: the window's row is one run of the input's row.
            copy(line + (left - s.pad_left) * s.channels, to, row);
            continue;
        }
        for (size_t kx = 0; kx < s.kernel_w; ++kx) {
            const size_t ix = ox * s.stride_w + kx - s.pad_left;
            if (ix >= s.in_w)
                std::fill_n(to + kx * s.channels, s.channels, outside);
            else
                copy(line + ix * s.channels, to + kx * s.channels, s.channels);
        }
    }
}

// f(first, count) over tiles of [0, n), shared among the pool's threads (null: the caller's).
// pthreadpool hands tasks over and back through code ThreadSanitizer does not see; the same
// hand-over through two atomics is one it sees (and costs nothing worth counting).
template <typename F>
void ParallelTiles(pthreadpool_t pool, size_t n, size_t tile, const F& f) {
    struct Context {
        const F* f;
        std::atomic<int> given{0}, done{0};
    } context{&f};
    context.given.store(1, std::memory_order_release);
    pthreadpool_parallelize_1d_tile_1d(
        pool,
        [](void* c, size_t first, size_t count) {
            Context& t = *static_cast<Context*>(c);
            (void)t.given.load(std::memory_order_acquire);
            (*t.f)(first, count);
            t.done.fetch_add(1, std::memory_order_release);
        },
        &context, n, tile, 0);
    (void)context.done.load(std::memory_order_acquire);
}

// ParallelTiles where there are threads to share with and at least `least` items, else f(0, n)
// on the caller's thread (a short step is not worth the hand-over).
template <typename F>
void ShareTiles(pthreadpool_t pool, size_t n, size_t least, size_t tile, const F& f) {
    if (pool && pthreadpool_get_threads_count(pool) > 1 && n >= least)
        ParallelTiles(pool, n, tile, f);
    else if (n)
        f(size_t(0), n);
}

// The windows of count output pixels from `first` (over the batch) into to, stride values
// apart. Divisions cost more than a window's copies: the first pixel's place is divided out
// once, then stepped.
template <typename T, typename Copy>
void GatherWindows(const ConvShape& s, const T* in, size_t first, size_t count, T outside, T* to,
                   size_t stride, Copy copy) {
    const size_t plane = s.out_h * s.out_w;
    size_t image = first / plane, oy = first % plane / s.out_w, ox = first % s.out_w;
    for (size_t r = 0; r < count; ++r, to += stride) {
        GatherWindow(s, in, image, oy, ox, outside, to, copy);
        if (++ox == s.out_w) {
            ox = 0;
            if (++oy == s.out_h) oy = 0, ++image;
        }
    }
}

class ConvKernel {
  public:
    // The longest window it takes (values per pixel): a block's gathered windows live on the
    // stack of the thread that computes it.
    static constexpr size_t kMaxWindow = 1152;

    // filter: OHWI; bias: outputs values. shape's window at most kMaxWindow values.
    ConvKernel(const ConvShape& shape, const float* filter, const float* bias, float low,
               float high);
    // out = clamp(bias + convolution of in), over a batch of images; in and out must not
    // overlap. Rows of pixels are shared among the pool's threads (null: the caller's).
    void Run(const float* in, float* out, size_t batch, pthreadpool_t pool) const;

  private:
    void Rows(const float* in, float* out, size_t first, size_t count) const;

    ConvShape shape_;
    size_t window_;  // values per output pixel
    bool in_place_;  // a 1x1 window at stride 1, unpadded: the input row is the window
    float low_, high_;
    std::vector<float> panels_;  // per 16 outputs: window x 16 weights, zero past the end
    std::vector<float> bias_;    // outputs, zero-padded to whole panels
};

}  // namespace lowering
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_CONV_KERNEL_H_
