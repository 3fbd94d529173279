#include "xnn_runner.h"

#ifdef NEROVA_HAVE_XNNPACK

#include <pthreadpool.h>
#include <xnnpack.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <numeric>
#include <type_traits>

#include "conv_kernel.h"
#include "qconv_kernel.h"

namespace nerova {
namespace lowering {

namespace {

std::string Failed(const std::string& what, xnn_status status) {
    return what + " failed (XNNPACK status " + std::to_string(static_cast<int>(status)) + ")";
}

// XNNPACK's allocations come zeroed. Its int8 kernels read whole groups of bytes past the end of
// a row into the padding of their own buffers, and multiply them by zero weights: the result
// never depends on those bytes, but a memory checker sees uninitialised values flow into
// every output. Zeroing at allocation (at create, never per frame) keeps each byte they
// read defined.
void* ZeroedAllocate(void*, size_t size) { return std::calloc(1, size); }
void* Reallocate(void*, void* pointer, size_t size) { return std::realloc(pointer, size); }
void Deallocate(void*, void* pointer) { std::free(pointer); }
void* ZeroedAlignedAllocate(void*, size_t alignment, size_t size) {
    void* pointer = nullptr;
    if (posix_memalign(&pointer, std::max(alignment, sizeof(void*)), size) != 0) return nullptr;
    std::memset(pointer, 0, size);
    return pointer;
}
const xnn_allocator kZeroedAllocator = {nullptr,    ZeroedAllocate,        Reallocate,
                                        Deallocate, ZeroedAlignedAllocate, Deallocate};

// XNNPACK is initialised once per process and stays so: runtimes of several detectors and
// threads share its kernels' tables.
xnn_status Initialise() {
    static std::once_flag once;
    static xnn_status status = xnn_status_uninitialized;
    std::call_once(once, [] { status = xnn_initialize(&kZeroedAllocator); });
    return status;
}

size_t Elements(const std::vector<size_t>& dims) {
    size_t n = 1;
    for (size_t d : dims) n *= d;
    return n;
}

// The operator of op on subgraph values: id[i] for op.inputs[i], out for op.output.
xnn_status DefineOp(xnn_subgraph_t sg, const Op& op, const std::vector<uint32_t>& id,
                    uint32_t out) {
    const uint32_t in = id[0];
    auto second = [&] { return id[1]; };
    switch (op.kind) {
        case OpKind::kConvolution:
            return xnn_define_convolution_2d(
                sg, op.pad_top, op.pad_right, op.pad_bottom, op.pad_left, op.kernel_h, op.kernel_w,
                op.stride_h, op.stride_w, op.dilation_h, op.dilation_w, op.groups, op.group_in,
                op.group_out, op.out_min, op.out_max, in, second(), id[2], out, 0);
        case OpKind::kDepthwiseConvolution:
            return xnn_define_depthwise_convolution_2d(
                sg, op.pad_top, op.pad_right, op.pad_bottom, op.pad_left, op.kernel_h, op.kernel_w,
                op.stride_h, op.stride_w, op.dilation_h, op.dilation_w,
                static_cast<uint32_t>(op.group_out), op.groups, op.out_min, op.out_max, in,
                second(), id[2], out, 0);
        case OpKind::kDeconvolution:
            return xnn_define_deconvolution_2d(sg, op.pad_top, op.pad_right, op.pad_bottom,
                                               op.pad_left, op.adjust_h, op.adjust_w, op.kernel_h,
                                               op.kernel_w, op.stride_h, op.stride_w, op.dilation_h,
                                               op.dilation_w, op.groups, op.group_in, op.group_out,
                                               op.out_min, op.out_max, in, second(), id[2], out, 0);
        case OpKind::kClamp:
            return xnn_define_clamp(sg, op.out_min, op.out_max, in, out, 0);
        case OpKind::kLeakyRelu:
            return xnn_define_leaky_relu(sg, op.alpha, in, out, 0);
        case OpKind::kElu:
            return xnn_define_elu(sg, op.alpha, in, out, 0);
        case OpKind::kPRelu:
            return xnn_define_prelu(sg, in, second(), out, 0);
        case OpKind::kSigmoid:
            return xnn_define_sigmoid(sg, in, out, 0);
        case OpKind::kAbs:
            return xnn_define_abs(sg, in, out, 0);
        case OpKind::kNegate:
            return xnn_define_negate(sg, in, out, 0);
        case OpKind::kAdd:
            return xnn_define_add2(sg, op.out_min, op.out_max, in, second(), out, 0);
        case OpKind::kSubtract:
            return xnn_define_subtract(sg, op.out_min, op.out_max, in, second(), out, 0);
        case OpKind::kMultiply:
            return xnn_define_multiply2(sg, op.out_min, op.out_max, in, second(), out, 0);
        case OpKind::kDivide:
            return xnn_define_divide(sg, op.out_min, op.out_max, in, second(), out, 0);
        case OpKind::kMaximum:
            return xnn_define_maximum2(sg, in, second(), out, 0);
        case OpKind::kMinimum:
            return xnn_define_minimum2(sg, in, second(), out, 0);
        case OpKind::kMaxPool:
            return xnn_define_max_pooling_2d(sg, op.pad_top, op.pad_right, op.pad_bottom,
                                             op.pad_left, op.kernel_h, op.kernel_w, op.stride_h,
                                             op.stride_w, op.dilation_h, op.dilation_w, op.out_min,
                                             op.out_max, in, out, 0);
        case OpKind::kAveragePool:
            return xnn_define_average_pooling_2d(sg, op.pad_top, op.pad_right, op.pad_bottom,
                                                 op.pad_left, op.kernel_h, op.kernel_w, op.stride_h,
                                                 op.stride_w, op.out_min, op.out_max, in, out, 0);
        case OpKind::kGlobalAveragePool:
            return xnn_define_global_average_pooling_2d(sg, op.out_min, op.out_max, in, out, 0);
        case OpKind::kPad:
            return xnn_define_static_constant_pad(sg, op.pre.data(), op.post.data(), op.pad_value,
                                                  in, out, 0);
    }
    return xnn_status_invalid_parameter;
}

// An int8 convolution's filter, quantised per output channel and symmetrically, and its bias on
// the product of the input's and the filter's scales, as XNNPACK's int8 kernels accumulate.
struct QuantisedFilter {
    std::vector<int8_t> weights;  // in the filter's layout
    std::vector<int32_t> bias;
    std::vector<float> scale;  // per output channel
};

QuantisedFilter QuantiseFilter(const Plan& p, const Op& op) {
    const Value& w = p.values[op.inputs[1]];
    const std::vector<float>& weights = p.constants[static_cast<size_t>(w.constant)];
    const std::vector<float>& offsets =
        p.constants[static_cast<size_t>(p.values[op.inputs[2]].constant)];
    // Output channels: the first dim of a convolution's filter (OHWI), the last of a
    // depthwise one's (1, kh, kw, channels).
    const bool depthwise = op.kind == OpKind::kDepthwiseConvolution;
    const size_t channels = w.dims[depthwise ? w.dims.size() - 1 : 0];
    const size_t inner = depthwise ? 1 : weights.size() / channels;
    auto channel_of = [&](size_t i) { return depthwise ? i % channels : i / inner; };
    std::vector<float> largest(channels, 0.0f);
    for (size_t i = 0; i < weights.size(); ++i)
        largest[channel_of(i)] = std::max(largest[channel_of(i)], std::fabs(weights[i]));
    QuantisedFilter f;
    f.scale.resize(channels);
    for (size_t c = 0; c < channels; ++c)
        f.scale[c] = largest[c] > 0.0f ? largest[c] / 127.0f : 1.0f;
    f.weights.resize(weights.size());
    for (size_t i = 0; i < weights.size(); ++i)
        f.weights[i] = static_cast<int8_t>(std::lrint(weights[i] / f.scale[channel_of(i)]));
    f.bias.resize(channels);
    const float in_scale = p.values[op.inputs[0]].scale;
    for (size_t c = 0; c < channels; ++c) {
        const double steps =
            std::nearbyint(static_cast<double>(offsets[c]) / (in_scale * f.scale[c]));
        f.bias[c] = static_cast<int32_t>(std::min(2147483647.0, std::max(-2147483648.0, steps)));
    }
    return f;
}

// Defines the plan's values on the subgraph as its operators read and write them: float, or
// int8 where an int8 operator does (Value::int8), with a conversion where the two meet. An
// int8 convolution's filter is quantised per output channel, symmetrically; its bias to the
// product of the input's and the filter's scales, as XNNPACK's int8 kernels accumulate.
class Definer {
  public:
    Definer(const Plan& p, xnn_subgraph_t sg, std::vector<std::vector<int8_t>>* filters,
            std::vector<std::vector<int32_t>>* biases, std::vector<std::vector<float>>* scales)
        : p_(p),
          sg_(sg),
          filters_(filters),
          biases_(biases),
          scales_(scales),
          f32_(p.values.size(), XNN_INVALID_VALUE_ID),
          q8_(p.values.size(), XNN_INVALID_VALUE_ID) {}

    // A float value in one of the runner's buffers.
    xnn_status External(uint32_t v, uint32_t external_id, uint32_t flags) {
        const Value& value = p_.values[v];
        // One an earlier step wrote holds its values when this step starts.
        if (flags == XNN_VALUE_FLAG_EXTERNAL_INPUT) computed_[v] = true;
        return xnn_define_tensor_value(sg_, xnn_datatype_fp32, value.dims.size(), value.dims.data(),
                                       nullptr, external_id, flags, &f32_[v]);
    }

    // An int8 value in one of the runner's byte buffers, between steps.
    xnn_status ExternalInt8(uint32_t v, uint32_t external_id, uint32_t flags) {
        const Value& value = p_.values[v];
        return xnn_define_quantized_tensor_value(sg_, xnn_datatype_qint8, value.zero_point,
                                                 value.scale, value.dims.size(), value.dims.data(),
                                                 nullptr, external_id, flags, &q8_[v]);
    }

    xnn_status Operator(const Op& op) {
        std::vector<uint32_t> in(op.inputs.size(), XNN_INVALID_VALUE_ID);
        xnn_status status = xnn_status_success;
        const bool filtered = op.kind == OpKind::kConvolution ||
                              op.kind == OpKind::kDepthwiseConvolution ||
                              op.kind == OpKind::kDeconvolution;
        if (!op.int8) {
            for (size_t i = 0; i < in.size() && status == xnn_status_success; ++i)
                status = Float(op.inputs[i], &in[i]);
            uint32_t out = XNN_INVALID_VALUE_ID;
            if (status == xnn_status_success) status = Float(op.output, &out);
            if (status == xnn_status_success) status = DefineOp(sg_, op, in, out);
            computed_[op.output] = true;
            return status;
        }
        status = Int8(op.inputs[0], &in[0]);
        if (filtered && status == xnn_status_success) {
            status = Filter(op, &in[1], &in[2]);
        } else {
            for (size_t i = 1; i < in.size() && status == xnn_status_success; ++i)
                status = Int8(op.inputs[i], &in[i]);
        }
        uint32_t out = XNN_INVALID_VALUE_ID;
        if (status == xnn_status_success) status = Int8(op.output, &out);
        if (status == xnn_status_success) status = DefineOp(sg_, op, in, out);
        computed_[op.output] = true;
        // A result the runner's buffer holds (a boundary) is handed over in float.
        if (status == xnn_status_success && f32_[op.output] != XNN_INVALID_VALUE_ID)
            status = xnn_define_convert(sg_, out, f32_[op.output], 0);
        return status;
    }

  private:
    // The float form of v: its constant data, its buffer, a new value XNNPACK holds, or the
    // conversion of its int8 form.
    xnn_status Float(uint32_t v, uint32_t* id) {
        const Value& value = p_.values[v];
        if (f32_[v] == XNN_INVALID_VALUE_ID) {
            const void* data = value.constant >= 0
                                   ? p_.constants[static_cast<size_t>(value.constant)].data()
                                   : nullptr;
            xnn_status status =
                xnn_define_tensor_value(sg_, xnn_datatype_fp32, value.dims.size(),
                                        value.dims.data(), data, XNN_INVALID_VALUE_ID, 0, &f32_[v]);
            if (status == xnn_status_success && q8_[v] != XNN_INVALID_VALUE_ID)
                status = xnn_define_convert(sg_, q8_[v], f32_[v], 0);
            if (status != xnn_status_success) return status;
        }
        *id = f32_[v];
        return xnn_status_success;
    }

    // The int8 form of v: a new value XNNPACK holds, or the conversion of its float form.
    xnn_status Int8(uint32_t v, uint32_t* id) {
        const Value& value = p_.values[v];
        if (!value.int8 || value.constant >= 0) return xnn_status_invalid_parameter;
        if (q8_[v] == XNN_INVALID_VALUE_ID) {
            xnn_status status = xnn_define_quantized_tensor_value(
                sg_, xnn_datatype_qint8, value.zero_point, value.scale, value.dims.size(),
                value.dims.data(), nullptr, XNN_INVALID_VALUE_ID, 0, &q8_[v]);
            // A float value already defined is an operand computed in float, or the input.
            if (status == xnn_status_success && f32_[v] != XNN_INVALID_VALUE_ID && Computed(v))
                status = xnn_define_convert(sg_, f32_[v], q8_[v], 0);
            if (status != xnn_status_success) return status;
        }
        *id = q8_[v];
        return xnn_status_success;
    }

    // Whether v's float form holds values by now: the input, or a value an operator computed.
    bool Computed(uint32_t v) const { return v == p_.input || computed_[v]; }

    xnn_status Filter(const Op& op, uint32_t* filter, uint32_t* bias) {
        const Value& w = p_.values[op.inputs[1]];
        const bool depthwise = op.kind == OpKind::kDepthwiseConvolution;
        const size_t channel_dim = depthwise ? w.dims.size() - 1 : 0;
        const size_t channels = w.dims[channel_dim];
        QuantisedFilter f = QuantiseFilter(p_, op);
        std::vector<int8_t> q = std::move(f.weights);
        std::vector<int32_t> qb = std::move(f.bias);
        std::vector<float> w_scale = std::move(f.scale);
        std::vector<float> b_scale(channels);
        for (size_t c = 0; c < channels; ++c)
            b_scale[c] = p_.values[op.inputs[0]].scale * w_scale[c];
        // Stored where they stay: a moved vector keeps its buffer, which XNNPACK reads.
        filters_->push_back(std::move(q));
        biases_->push_back(std::move(qb));
        scales_->push_back(std::move(w_scale));
        const float* filter_scale = scales_->back().data();
        scales_->push_back(std::move(b_scale));
        const float* bias_scale = scales_->back().data();
        xnn_status status = xnn_define_channelwise_quantized_tensor_value(
            sg_, xnn_datatype_qcint8, filter_scale, w.dims.size(), channel_dim, w.dims.data(),
            filters_->back().data(), XNN_INVALID_VALUE_ID, 0, filter);
        if (status != xnn_status_success) return status;
        return xnn_define_channelwise_quantized_tensor_value(
            sg_, xnn_datatype_qcint32, bias_scale, 1, 0, &channels, biases_->back().data(),
            XNN_INVALID_VALUE_ID, 0, bias);
    }

    const Plan& p_;
    xnn_subgraph_t sg_;
    std::vector<std::vector<int8_t>>* filters_;
    std::vector<std::vector<int32_t>>* biases_;
    std::vector<std::vector<float>>* scales_;
    std::vector<uint32_t> f32_, q8_;
    std::vector<bool> computed_ = std::vector<bool>(p_.values.size(), false);
};

constexpr size_t kAlignFloats = 16;  // 64 bytes

// Which buffer holds each computed value (-1 for constants), and each buffer's size in floats.
struct Placement {
    std::vector<int> buffer_of;
    std::vector<size_t> capacity;
};

// Assigns buffers in operator order: an output takes the smallest free buffer that holds it
// (or grows the largest free one), and an input's buffer is freed after its last reader. The
// input and the boundaries keep buffers of their own: they are read outside the runtime.
Placement Place(const Plan& p, Memory memory) {
    const size_t n = p.values.size();
    std::vector<int> last_read(n, -1);
    for (size_t k = 0; k < p.ops.size(); ++k)
        for (uint32_t in : p.ops[k].inputs) last_read[in] = static_cast<int>(k);
    std::vector<bool> pinned(n, memory == Memory::kEvery);
    pinned[p.input] = true;
    for (const Boundary& b : p.boundaries) pinned[b.value] = true;
    // XNNPACK gives a value that no operator reads no memory of its own, yet its operator
    // writes it: such a value lives in the runner's buffers.
    for (size_t v = 0; v < n; ++v)
        if (last_read[v] < 0) pinned[v] = true;
    Placement placement;
    placement.buffer_of.assign(n, -1);
    for (size_t v = 0; v < n; ++v) {
        if (!pinned[v] || p.values[v].constant >= 0) continue;
        placement.buffer_of[v] = static_cast<int>(placement.capacity.size());
        placement.capacity.push_back(Elements(p.values[v].dims));
    }
    if (memory != Memory::kShared) return placement;  // the rest is XNNPACK's own, or pinned
    std::vector<int> free;
    auto release = [&](uint32_t v) {
        const int b = placement.buffer_of[v];
        if (pinned[v] || b < 0 || std::find(free.begin(), free.end(), b) != free.end()) return;
        free.push_back(b);
    };
    for (size_t k = 0; k < p.ops.size(); ++k) {
        const uint32_t out = p.ops[k].output;
        if (placement.buffer_of[out] < 0) {
            const size_t need = Elements(p.values[out].dims);
            auto capacity_of = [&](int b) { return placement.capacity[static_cast<size_t>(b)]; };
            auto best = free.end();
            for (auto it = free.begin(); it != free.end(); ++it)
                if (capacity_of(*it) >= need &&
                    (best == free.end() || capacity_of(*it) < capacity_of(*best)))
                    best = it;
            if (best == free.end())
                best = std::max_element(free.begin(), free.end(), [&](int a, int b) {
                    return capacity_of(a) < capacity_of(b);
                });
            if (best == free.end()) {
                placement.buffer_of[out] = static_cast<int>(placement.capacity.size());
                placement.capacity.push_back(need);
            } else {
                placement.buffer_of[out] = *best;
                size_t& capacity = placement.capacity[static_cast<size_t>(*best)];
                capacity = std::max(capacity, need);
                free.erase(best);
            }
        }
        for (uint32_t in : p.ops[k].inputs)
            if (last_read[in] == static_cast<int>(k)) release(in);
        if (last_read[out] < 0) release(out);  // computed but never read
    }
    return placement;
}

}  // namespace

namespace {

// One step of a run: an XNNPACK runtime over a stretch of the plan's operators, or one of ours
// between two stretches (a convolution, a conversion, an upsampling), on the runner's buffers.
struct Step {
    xnn_subgraph_t subgraph = nullptr;
    xnn_runtime_t runtime = nullptr;
    std::function<void(pthreadpool_t)> run;  // one of ours
    bool convolution = false;                // run is a convolution (native_steps counts them)
};

}  // namespace

struct XnnRunner::Handles {
    std::vector<Step> steps;
    pthreadpool_t pool = nullptr;
    ~Handles() {
        for (Step& step : steps) {
            if (step.runtime) xnn_delete_runtime(step.runtime);
            if (step.subgraph) xnn_delete_subgraph(step.subgraph);
        }
        if (pool) pthreadpool_destroy(pool);
    }
};

XnnRunner::~XnnRunner() = default;

bool XnnAvailable() { return true; }

namespace {

// A convolution our kernel computes: one group, no dilation, constant weights and bias, a
// window it can gather.
bool IsOwnConv(const Plan& p, const Op& op) {
    if (op.kind != OpKind::kConvolution || op.groups != 1 || op.dilation_h != 1 ||
        op.dilation_w != 1 || op.inputs.size() != 3 || p.values[op.inputs[1]].constant < 0 ||
        p.values[op.inputs[2]].constant < 0)
        return false;
    const std::vector<size_t>& in = p.values[op.inputs[0]].dims;
    return in.size() == 4 && p.values[op.output].dims.size() == 4 &&
           op.kernel_h * op.kernel_w * in[3] <= ConvKernel::kMaxWindow;
}

// Where ours beats XNNPACK's AVX2 kernels, as bench/pairs.cc times them: pointwise layers
// (about 1.8x) and wide windows (the 5x5 entry over three channels, 1.8x). With a window of
// 3x3 over three channels, or fewer than 8 outputs (a 16-wide panel mostly empty), XNNPACK's
// are as fast or faster.
bool OwnConvPays(const Plan& p, const Op& op) {
    const size_t window = op.kernel_h * op.kernel_w * p.values[op.inputs[0]].dims[3];
    return p.values[op.output].dims[3] >= 8 &&
           ((op.kernel_h == 1 && op.kernel_w == 1) || window >= 48);
}

ConvShape Shape(const Plan& p, const Op& op) {
    const std::vector<size_t>& in = p.values[op.inputs[0]].dims;
    const std::vector<size_t>& out = p.values[op.output].dims;
    ConvShape shape;
    shape.in_h = in[1], shape.in_w = in[2], shape.channels = in[3];
    shape.out_h = out[1], shape.out_w = out[2], shape.outputs = out[3];
    shape.kernel_h = op.kernel_h, shape.kernel_w = op.kernel_w;
    shape.stride_h = op.stride_h, shape.stride_w = op.stride_w;
    shape.pad_top = op.pad_top, shape.pad_left = op.pad_left;
    return shape;
}

std::shared_ptr<ConvKernel> OwnConv(const Plan& p, const Op& op) {
    return std::make_shared<ConvKernel>(
        Shape(p, op), p.constants[static_cast<size_t>(p.values[op.inputs[1]].constant)].data(),
        p.constants[static_cast<size_t>(p.values[op.inputs[2]].constant)].data(), op.out_min,
        op.out_max);
}

// The int8 code of a clamp bound, as XNNPACK quantises an operator's output range.
int8_t Code(float bound, const Value& v) {
    const float code = bound / v.scale + static_cast<float>(v.zero_point);
    return static_cast<int8_t>(std::lrintf(std::min(std::max(code, -128.0f), 127.0f)));
}

// A pointwise convolution of one group at stride 1, unpadded, with constant weights.
bool IsPointwise(const Plan& p, const Op& op) {
    return op.kind == OpKind::kConvolution && op.groups == 1 && op.kernel_h == 1 &&
           op.kernel_w == 1 && op.stride_h == 1 && op.stride_w == 1 && !op.pad_top &&
           !op.pad_left && !op.pad_bottom && !op.pad_right && op.inputs.size() == 3 &&
           p.values[op.inputs[1]].constant >= 0 && p.values[op.inputs[2]].constant >= 0 &&
           p.values[op.inputs[0]].dims.size() == 4 && p.values[op.output].dims.size() == 4;
}

// Which form of our int8 kernels runs, if any.
QIsa QIsaFor(Native native) {
    switch (native) {
        case Native::kAuto:
            return QKernelIsa();
        case Native::kAlways:
            return QIsaRuns(QIsa::kAvx512Vnni) ? QIsa::kAvx512Vnni
                   : QIsaRuns(QIsa::kAvx2)     ? QIsa::kAvx2
                                               : QIsa::kNone;
        case Native::kAvx2:
            return QIsaRuns(QIsa::kAvx2) ? QIsa::kAvx2 : QIsa::kNone;
        case Native::kNever:
            break;
    }
    return QIsa::kNone;
}

// An int8 convolution our kernel computes: one a float one would be, its window short enough.
bool IsOwnQConv(const Plan& p, const Op& op) {
    return op.int8 && IsOwnConv(p, op) &&
           op.kernel_h * op.kernel_w * p.values[op.inputs[0]].dims[3] <= QConvKernel::kMaxWindow;
}

// An int8 depthwise convolution our kernel computes: one filter per channel, no dilation,
// constant weights and bias, a window of at most 7 x 7, no empty (or absurd) dimension, and
// its widened rows within a few megabytes.
bool IsOwnQDepthwise(const Plan& p, const Op& op) {
    if (!op.int8 || op.kind != OpKind::kDepthwiseConvolution || op.group_out != 1 ||
        op.dilation_h != 1 || op.dilation_w != 1 || op.inputs.size() != 3 ||
        p.values[op.inputs[1]].constant < 0 || p.values[op.inputs[2]].constant < 0 ||
        op.kernel_h > QDepthwiseKernel::kMaxKernel || op.kernel_w > QDepthwiseKernel::kMaxKernel)
        return false;
    const std::vector<size_t>& in = p.values[op.inputs[0]].dims;
    const std::vector<size_t>& out = p.values[op.output].dims;
    if (in.size() != 4 || out.size() != 4 || in[3] != out[3] || op.kernel_h < 1 || op.kernel_w < 1)
        return false;
    for (size_t d = 0; d < 4; ++d)
        if (in[d] < 1 || out[d] < 1 || in[d] > (size_t(1) << 20) || out[d] > (size_t(1) << 20))
            return false;
    return QDepthwiseKernel::ScratchBytes(Shape(p, op)) <= (size_t(8) << 20);
}

// Which of an int8 plan's operators run on our kernels: the entry, and int8 convolutions whose
// input an int8 operator writes (so the step before hands it over in int8) or which read the
// float input (which a step of ours converts first).
std::vector<bool> QNatives(const Plan& p, const std::vector<int>& writer, Memory placed, QIsa isa) {
    std::vector<bool> ours(p.ops.size(), false);
    if (!p.int8 || placed != Memory::kXnnpack || isa == QIsa::kNone) return ours;
    const bool depthwise = QIsaRuns(QIsa::kAvx2);
    for (size_t k = 0; k < p.ops.size(); ++k) {
        const Op& op = p.ops[k];
        if (IsInt8Entry(p, op)) {
            ours[k] = true;
            continue;
        }
        // Depthwise layers on our AVX2 kernel on every core that has AVX2: where XNNPACK
        // runs AVX-512, its own are slower still (the int8 forward takes 5 to 14 % longer).
        if (!IsOwnQConv(p, op) && !(depthwise && IsOwnQDepthwise(p, op))) continue;
        const int w = writer[op.inputs[0]];
        ours[k] = op.inputs[0] == p.input || (w >= 0 && p.ops[static_cast<size_t>(w)].int8);
    }
    return ours;
}

// Our int8 depthwise kernel for op: the filter quantised, each channel's scale (input scale x
// filter scale / output scale), the zero points and the clamp's codes.
std::shared_ptr<QDepthwiseKernel> OwnQDepthwise(const Plan& p, const Op& op) {
    const Value& in = p.values[op.inputs[0]];
    const Value& out = p.values[op.output];
    const QuantisedFilter f = QuantiseFilter(p, op);
    std::vector<float> scale(f.scale.size());
    for (size_t c = 0; c < scale.size(); ++c) scale[c] = in.scale * f.scale[c] / out.scale;
    return std::make_shared<QDepthwiseKernel>(Shape(p, op), f.weights.data(), f.bias.data(),
                                              scale.data(), in.zero_point, out.zero_point,
                                              Code(op.out_min, out), Code(op.out_max, out));
}

// Convolutions of our AVX2 int8 kernel that read one input through the same window (a
// detector's heads: scores, box offsets, landmarks), computed as one: alone, a head of one to
// ten outputs fills a few of a panel's 8 lanes. siblings[k]: the later ones op k computes with
// its own (none for the others); led[k]: op k is computed by an earlier one's step.
void Siblings(const Plan& p, const std::vector<bool>& qnative, QIsa isa,
              std::vector<std::vector<size_t>>* siblings, std::vector<bool>* led) {
    siblings->assign(p.ops.size(), {});
    led->assign(p.ops.size(), false);
    if (isa != QIsa::kAvx2) return;
    auto conv = [&](size_t k) {
        const Op& op = p.ops[k];
        return qnative[k] && !op.nearest && op.kind == OpKind::kConvolution && !IsInt8Entry(p, op);
    };
    auto same = [&](const Op& a, const Op& b) {
        const ConvShape x = Shape(p, a), y = Shape(p, b);
        return a.inputs[0] == b.inputs[0] && x.out_h == y.out_h && x.out_w == y.out_w &&
               x.kernel_h == y.kernel_h && x.kernel_w == y.kernel_w && x.stride_h == y.stride_h &&
               x.stride_w == y.stride_w && x.pad_top == y.pad_top && x.pad_left == y.pad_left &&
               p.values[a.output].dims[0] == p.values[b.output].dims[0];
    };
    for (size_t k = 0; k < p.ops.size(); ++k) {
        if ((*led)[k] || !conv(k)) continue;
        size_t outputs = p.values[p.ops[k].output].dims[3];
        for (size_t j = k + 1; j < p.ops.size(); ++j) {
            const size_t more = p.values[p.ops[j].output].dims[3];
            // Only heads that share panels gain: wide layers fill their own.
            if ((*led)[j] || !conv(j) || !same(p.ops[k], p.ops[j]) || outputs + more > 32) continue;
            (*siblings)[k].push_back(j);
            (*led)[j] = true;
            outputs += more;
        }
    }
}

// Our int8 kernel for ops (one, or siblings of one input, their outputs side by side): the
// filters quantised, each output's scale (input scale x filter scale / output scale), zero
// point and clamp codes.
std::shared_ptr<QConvKernel> OwnQConv(const Plan& p, const std::vector<size_t>& ops, QIsa isa) {
    const Value& in = p.values[p.ops[ops[0]].inputs[0]];
    ConvShape shape = Shape(p, p.ops[ops[0]]);
    shape.outputs = 0;
    std::vector<int8_t> weights, lows, highs;
    std::vector<int32_t> bias, zeros;
    std::vector<float> scale;
    for (size_t k : ops) {
        const Op& op = p.ops[k];
        const Value& out = p.values[op.output];
        const QuantisedFilter f = QuantiseFilter(p, op);
        weights.insert(weights.end(), f.weights.begin(), f.weights.end());
        bias.insert(bias.end(), f.bias.begin(), f.bias.end());
        for (float s : f.scale) scale.push_back(in.scale * s / out.scale);
        zeros.resize(scale.size(), out.zero_point);
        lows.resize(scale.size(), Code(op.out_min, out));
        highs.resize(scale.size(), Code(op.out_max, out));
        shape.outputs += f.scale.size();
    }
    return std::make_shared<QConvKernel>(shape, weights.data(), bias.data(), scale.data(),
                                         in.zero_point, zeros.data(), lows.data(), highs.data(),
                                         isa);
}

// Each pixel's outputs of side-by-side heads (stride to a pixel) into the heads' own values:
// to[h] holds head h's outputs[h] a pixel.
void SplitOutputs(const int8_t* from, size_t pixels, size_t stride, const std::vector<int8_t*>& to,
                  const std::vector<size_t>& outputs) {
    size_t at = 0;
    for (size_t h = 0; h < to.size(); at += outputs[h], ++h) {
        const int8_t* x = from + at;
        int8_t* y = to[h];
        auto copy = [&](auto n) {
            for (size_t i = 0; i < pixels; ++i) std::memcpy(y + i * n, x + i * stride, n);
        };
        // Sizes the compiler copies in one or two moves; others as they come.
        switch (outputs[h]) {
            case 1:
                copy(std::integral_constant<size_t, 1>());
                break;
            case 2:
                copy(std::integral_constant<size_t, 2>());
                break;
            case 4:
                copy(std::integral_constant<size_t, 4>());
                break;
            case 8:
                copy(std::integral_constant<size_t, 8>());
                break;
            case 10:
                copy(std::integral_constant<size_t, 10>());
                break;
            default:
                copy(outputs[h]);
        }
    }
}

}  // namespace

bool IsInt8Entry(const Plan& p, const Op& op) {
    const size_t channels = p.values[op.output].dims.back();
    return op.int8 && IsPointwise(p, op) && op.inputs[0] == p.input &&
           p.values[op.inputs[0]].dims.back() == channels && channels <= QEntryKernel::kMaxChannels;
}

std::unique_ptr<XnnRunner> XnnRunner::Create(std::shared_ptr<const Plan> plan, int threads,
                                             std::string* why, Memory memory, Native native) {
    xnn_status status = Initialise();
    if (status != xnn_status_success) {
        *why = Failed("XNNPACK's initialisation", status);
        return nullptr;
    }
    std::unique_ptr<XnnRunner> r(new XnnRunner());
    r->plan_ = std::move(plan);
    const Plan& p = *r->plan_;
    r->handles_.reset(new Handles());
    Handles& h = *r->handles_;

    // With kShared every computed value is external, in the runner's own buffers: values
    // whose lives do not overlap share one, so a frame streams through a few buffers that stay
    // in cache instead of a fresh one per tensor.
    const Memory placed = p.int8 ? Memory::kXnnpack : memory;
    Placement placement = Place(p, placed);
    // An int8 plan's entry and convolutions run on our kernels, between stretches of XNNPACK's
    // operators; a value one step writes and another reads then lies in a buffer of the
    // runner's: bytes where its writer computes it in int8, else floats.
    std::vector<int> writer(p.values.size(), -1);
    for (size_t k = 0; k < p.ops.size(); ++k) writer[p.ops[k].output] = static_cast<int>(k);
    const QIsa isa = QIsaFor(native);
    std::vector<bool> qnative = QNatives(p, writer, placed, isa);
    for (size_t k = 0; k < p.ops.size(); ++k)
        qnative[k] = qnative[k] || (p.ops[k].int8 && p.ops[k].nearest);
    std::vector<int> step_of(p.ops.size(), 0);
    for (size_t k = 1; k < p.ops.size(); ++k)
        step_of[k] = step_of[k - 1] + (qnative[k] || qnative[k - 1] ? 1 : 0);
    std::vector<std::vector<size_t>> siblings;
    std::vector<bool> led;
    Siblings(p, qnative, isa, &siblings, &led);
    std::vector<bool> crossing(p.values.size(), false);
    for (size_t k = 0; k < p.ops.size(); ++k)
        for (uint32_t in : p.ops[k].inputs)
            if (writer[in] >= 0 && step_of[static_cast<size_t>(writer[in])] != step_of[k])
                crossing[in] = true;
    // Our convolutions read the float input's codes, which a step of ours computes first.
    bool quantise_input = false;
    for (size_t k = 0; k < p.ops.size(); ++k)
        quantise_input = quantise_input ||
                         (qnative[k] && p.ops[k].inputs[0] == p.input && !IsInt8Entry(p, p.ops[k]));
    std::vector<int8_t*> bytes_of(p.values.size(), nullptr);
    for (size_t v = 0; v < p.values.size(); ++v) {
        // What our kernels write lies in bytes, even a value no step reads.
        const bool ours_write = writer[v] >= 0 && qnative[static_cast<size_t>(writer[v])];
        const bool codes = quantise_input && v == p.input;
        if (!codes && !ours_write && (!crossing[v] || placement.buffer_of[v] >= 0)) continue;
        if (codes || p.ops[static_cast<size_t>(writer[v])].int8) {
            const size_t size = Elements(p.values[v].dims) + XNN_EXTRA_BYTES + 64;
            r->bytes_.emplace_back(size, int8_t(0));
            auto address = reinterpret_cast<uintptr_t>(r->bytes_.back().data());
            bytes_of[v] = reinterpret_cast<int8_t*>((address + 63) / 64 * 64);
        } else {
            placement.buffer_of[v] = static_cast<int>(placement.capacity.size());
            placement.capacity.push_back(Elements(p.values[v].dims));
        }
    }
    // Every buffer XNNPACK reads may be read XNN_EXTRA_BYTES past its end.
    const size_t extra = XNN_EXTRA_BYTES / sizeof(float) + 1;
    // Each starts on a cache line: AVX-512 loads that straddle two lines cost twice.
    std::vector<float*> buffer;
    for (size_t capacity : placement.capacity) {
        r->buffers_.emplace_back(capacity + extra + kAlignFloats, 0.0f);
        auto address = reinterpret_cast<uintptr_t>(r->buffers_.back().data());
        const uintptr_t align = kAlignFloats * sizeof(float);
        buffer.push_back(reinterpret_cast<float*>((address + align - 1) / align * align));
    }
    auto data_of = [&](uint32_t v) {
        const int b = placement.buffer_of[v];
        return b < 0 || p.values[v].constant >= 0 ? nullptr : buffer[static_cast<size_t>(b)];
    };
    r->value_data_.assign(p.values.size(), nullptr);
    for (size_t v = 0; v < p.values.size(); ++v)
        r->value_data_[v] = data_of(static_cast<uint32_t>(v));
    // Convolutions of one group run on our kernel where it pays (or where asked), between
    // stretches of XNNPACK's operators; only a float body whose every value lies in the
    // runner's buffers can be cut so.
    const bool forced = native == Native::kAlways || native == Native::kAvx2;
    const bool natives = placed == Memory::kShared && !p.int8 &&
                         (forced ? ConvKernelRuns() : native == Native::kAuto && ConvKernelPays());
    auto ours = [&](const Op& op) {
        return natives && IsOwnConv(p, op) && (forced || OwnConvPays(p, op));
    };
    if (threads > 1) {
        h.pool = pthreadpool_create(static_cast<size_t>(threads));
        if (!h.pool) {
            *why = "the thread pool cannot be created";
            return nullptr;
        }
    }
    if (quantise_input) {
        const Value& in = p.values[p.input];
        Step step;
        step.run = [from = data_of(p.input), to = bytes_of[p.input], n = Elements(in.dims),
                    scale = in.scale, zero = in.zero_point](pthreadpool_t pool) {
            QuantiseCodes(from, to, n, scale, zero, pool);
        };
        h.steps.push_back(std::move(step));
    }
    for (size_t first = 0; first < p.ops.size();) {
        const Op& op = p.ops[first];
        const Value& out = p.values[op.output];
        const std::vector<size_t>& d = p.values[op.inputs[0]].dims;
        Step step;
        if (qnative[first] && op.nearest) {
            step.run = [from = bytes_of[op.inputs[0]], to = bytes_of[op.output], d,
                        sh = op.stride_h, sw = op.stride_w](pthreadpool_t) {
                UpsampleNearest(from, to, d[0], d[1], d[2], d[3], sh, sw);
            };
        } else if (qnative[first] && IsInt8Entry(p, op)) {
            const size_t channels = out.dims.back();
            auto entry = std::make_shared<QEntryKernel>(
                channels, p.constants[static_cast<size_t>(p.values[op.inputs[1]].constant)].data(),
                p.constants[static_cast<size_t>(p.values[op.inputs[2]].constant)].data(), out.scale,
                out.zero_point, Code(op.out_min, out), Code(op.out_max, out), isa);
            step.run = [entry, from = data_of(op.inputs[0]), to = bytes_of[op.output],
                        pixels = Elements(out.dims) / channels](pthreadpool_t pool) {
                entry->Run(from, to, pixels, pool);
            };
        } else if (qnative[first] && op.kind == OpKind::kDepthwiseConvolution) {
            step.run = [conv = OwnQDepthwise(p, op), from = bytes_of[op.inputs[0]],
                        to = bytes_of[op.output], batch = out.dims[0]](pthreadpool_t pool) {
                conv->Run(from, to, batch, pool);
            };
        } else if (led[first]) {
            ++first;  // computed with its first sibling
            continue;
        } else if (qnative[first] && !siblings[first].empty()) {
            std::vector<size_t> ops = {first};
            ops.insert(ops.end(), siblings[first].begin(), siblings[first].end());
            std::vector<int8_t*> to;
            std::vector<size_t> outputs;
            for (size_t k : ops) {
                to.push_back(bytes_of[p.ops[k].output]);
                outputs.push_back(p.values[p.ops[k].output].dims[3]);
            }
            const size_t pixels = Elements(out.dims) / out.dims[3];
            auto conv = OwnQConv(p, ops, isa);
            const size_t stride = std::accumulate(outputs.begin(), outputs.end(), size_t(0));
            auto side_by_side = std::make_shared<std::vector<int8_t>>(pixels * stride);
            step.run = [conv, from = bytes_of[op.inputs[0]], side_by_side, to, outputs, pixels,
                        stride](pthreadpool_t pool) {
                conv->Run(from, side_by_side->data(), pixels, pool);
                SplitOutputs(side_by_side->data(), pixels, stride, to, outputs);
            };
        } else if (qnative[first]) {
            step.run = [conv = OwnQConv(p, {first}, isa), from = bytes_of[op.inputs[0]],
                        to = bytes_of[op.output], pixels = Elements(out.dims) / out.dims[3]](
                           pthreadpool_t pool) { conv->Run(from, to, pixels, pool); };
        } else if (ours(op)) {
            step.run = [conv = OwnConv(p, op), from = data_of(op.inputs[0]),
                        to = data_of(op.output), batch = out.dims[0]](pthreadpool_t pool) {
                conv->Run(from, to, batch, pool);
            };
        }
        if (step.run) {
            step.convolution = !op.nearest;
            h.steps.push_back(std::move(step));
            ++first;
            continue;
        }
        size_t last = first;
        while (last < p.ops.size() && !ours(p.ops[last]) && !qnative[last]) ++last;
        // The stretch's values in the runner's buffers: float and external, defined first
        // (inputs it reads from before it, outputs it writes); a computed value without one
        // (an int8 plan's inner values) is XNNPACK's own, defined where first computed or read.
        std::vector<int> touched(p.values.size(), 0);  // 1 read, 2 written
        for (size_t k = first; k < last; ++k) {
            for (uint32_t v : p.ops[k].inputs) touched[v] = std::max(touched[v], 1);
            touched[p.ops[k].output] = 2;
        }
        uint32_t externals = 0;
        for (size_t v = 0; v < p.values.size(); ++v)
            externals += (touched[v] && data_of(static_cast<uint32_t>(v))) +
                         (touched[v] && bytes_of[v]);  // the input can have both
        status = xnn_create_subgraph(externals, 0, &step.subgraph);
        if (status != xnn_status_success) {
            *why = Failed("creating the subgraph", status);
            return nullptr;
        }
        h.steps.push_back(std::move(step));
        Step& made = h.steps.back();
        Definer definer(p, made.subgraph, &r->filters_, &r->biases_, &r->scales_);
        std::vector<xnn_external_value> bindings;
        for (size_t v = 0; v < p.values.size(); ++v) {
            float* data = data_of(static_cast<uint32_t>(v));
            if (!touched[v] || !data) continue;
            const uint32_t external_id = static_cast<uint32_t>(bindings.size());
            const uint32_t flags =
                touched[v] == 1 ? XNN_VALUE_FLAG_EXTERNAL_INPUT : XNN_VALUE_FLAG_EXTERNAL_OUTPUT;
            bindings.push_back({external_id, data});
            status = definer.External(static_cast<uint32_t>(v), external_id, flags);
            if (status != xnn_status_success) {
                *why = Failed("defining a tensor", status);
                return nullptr;
            }
        }
        for (size_t v = 0; v < p.values.size(); ++v) {
            if (!touched[v] || !bytes_of[v]) continue;
            const uint32_t external_id = static_cast<uint32_t>(bindings.size());
            const uint32_t flags =
                touched[v] == 1 ? XNN_VALUE_FLAG_EXTERNAL_INPUT : XNN_VALUE_FLAG_EXTERNAL_OUTPUT;
            bindings.push_back({external_id, bytes_of[v]});
            status = definer.ExternalInt8(static_cast<uint32_t>(v), external_id, flags);
            if (status != xnn_status_success) {
                *why = Failed("defining a tensor", status);
                return nullptr;
            }
        }
        for (size_t k = first; k < last; ++k) {
            status = definer.Operator(p.ops[k]);
            if (status != xnn_status_success) {
                *why = Failed("defining the operator of " + p.ops[k].node, status);
                return nullptr;
            }
        }
        status = xnn_create_runtime_v2(made.subgraph, h.pool, 0, &made.runtime);
        if (status != xnn_status_success) {
            *why = Failed("creating the runtime", status);
            return nullptr;
        }
        status = xnn_setup_runtime(made.runtime, bindings.size(), bindings.data());
        if (status != xnn_status_success) {
            *why = Failed("setting up the runtime", status);
            return nullptr;
        }
        first = last;
    }
    r->input_ = buffer[static_cast<size_t>(placement.buffer_of[p.input])];
    for (const Boundary& b : p.boundaries)
        r->boundary_data_.push_back(buffer[static_cast<size_t>(placement.buffer_of[b.value])]);
    return r;
}

size_t XnnRunner::native_steps() const {
    size_t n = 0;
    for (const Step& step : handles_->steps) n += step.convolution;
    return n;
}

bool XnnRunner::Run(std::string* why) {
    for (const Step& step : handles_->steps) {
        if (step.run) {
            step.run(handles_->pool);
            continue;
        }
        const xnn_status status = xnn_invoke_runtime(step.runtime);
        if (status != xnn_status_success) {
            *why = Failed("running the network", status);
            return false;
        }
    }
    return true;
}

}  // namespace lowering
}  // namespace nerova

#else  // a build without XNNPACK keeps every network on OpenCV

namespace nerova {
namespace lowering {

struct XnnRunner::Handles {};
XnnRunner::~XnnRunner() = default;

bool XnnAvailable() { return false; }

bool IsInt8Entry(const Plan&, const Op&) { return false; }

std::unique_ptr<XnnRunner> XnnRunner::Create(std::shared_ptr<const Plan>, int, std::string* why,
                                             Memory, Native) {
    *why = "this build has no XNNPACK";
    return nullptr;
}

size_t XnnRunner::native_steps() const { return 0; }

bool XnnRunner::Run(std::string* why) {
    *why = "this build has no XNNPACK";
    return false;
}

}  // namespace lowering
}  // namespace nerova

#endif
