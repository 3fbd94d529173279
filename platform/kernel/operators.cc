#include "operators.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <utility>

#include "graph_check.h"
#include "lowering_context.h"
#include "onnx_attrs.h"
#include "opencv_graph.h"

namespace nerova {
namespace ops {

namespace {

// ---------------------------------------------------------------------------------------
// Shared admission rules.

using graph_check::kMaxTensorElements;
using lowering::BodyBuilder;
using lowering::Constant;
using lowering::Op;
using lowering::OpKind;
using onnx_attrs::Attr;
using onnx_attrs::AttrFloat;
using onnx_attrs::AttrInt;
using onnx_attrs::AttrInts;
using onnx_attrs::AttrString;
using onnx_attrs::ElementCount;
using onnx_attrs::ReadFloats;
using onnx_attrs::ReadInts;

// Pads, kernel sides and strides beyond this are no real network's.
constexpr int64_t kMaxWindow = 4096;
// Resize and Upsample factors.
constexpr float kMaxScale = 64.0f;

using Ranks = std::vector<size_t>;

bool AllIn(const Dims& v, int64_t lo, int64_t hi) {
    return std::all_of(v.begin(), v.end(), [&](int64_t x) { return x >= lo && x <= hi; });
}

bool AxisOk(int64_t axis, size_t rank, bool end_inclusive = false) {
    const int64_t r = static_cast<int64_t>(rank);
    return axis >= -r && (end_inclusive ? axis <= r : axis < r);
}

// Window attributes of a 2-D convolution or pooling: sizes, strides, dilations and pads.
// ONNX's shape inference divides the padded side by the stride (a stride of 0 is SIGFPE, and
// so is -1 once a huge pad has wrapped the side round to INT64_MIN), so this runs before it.
std::string WindowWhy(const onnx::NodeProto& n, const Dims& kernel) {
    const Dims strides = AttrInts(n, "strides"), dilations = AttrInts(n, "dilations");
    const Dims pads = AttrInts(n, "pads");
    static const std::set<std::string> kAutoPads = {"NOTSET", "SAME_UPPER", "SAME_LOWER", "VALID"};
    if (kernel.size() != 2 || !AllIn(kernel, 1, kMaxWindow)) return "kernel sides out of range";
    if (!strides.empty() && (strides.size() != 2 || !AllIn(strides, 1, kMaxWindow)))
        return "strides out of range";
    if (!dilations.empty() && (dilations.size() != 2 || !AllIn(dilations, 1, kMaxWindow)))
        return "dilations out of range";
    if (!pads.empty() && (pads.size() != 4 || !AllIn(pads, 0, kMaxWindow)))
        return "pads out of range";
    if (!kAutoPads.count(AttrString(n, "auto_pad", "NOTSET"))) return "auto_pad not admitted";
    return "";
}

std::string SameRank(const AdmissionContext&, const onnx::NodeProto&, const Ranks&, size_t*) {
    return "";
}

std::string FourD(const AdmissionContext&, const onnx::NodeProto&, const Ranks& in, size_t*) {
    return in[0] == 4 ? "" : "only 4-D input is admitted";
}

// Attributes that scale an activation: finite.
std::string FiniteAttributes(const AdmissionContext&, const onnx::NodeProto& n) {
    for (const auto& a : n.attribute())
        if (!std::isfinite(a.f())) return "attribute '" + a.name() + "' is not finite";
    return "";
}

// A 2-D window as XNNPACK takes it, resolved from ONNX's attributes for an input of h x w.
struct Window {
    int64_t kh = 1, kw = 1, sh = 1, sw = 1, dh = 1, dw = 1;
    int64_t top = 0, left = 0, bottom = 0, right = 0;
};

bool ResolveWindow(const onnx::NodeProto& n, int64_t kh, int64_t kw, int64_t h, int64_t w,
                   Window* win) {
    const Dims strides = AttrInts(n, "strides", {1, 1});
    const Dims dilations = AttrInts(n, "dilations", {1, 1});
    const Dims pads = AttrInts(n, "pads", {0, 0, 0, 0});
    if (strides.size() != 2 || dilations.size() != 2 || pads.size() != 4) return false;
    *win = Window{kh,           kw,      strides[0], strides[1], dilations[0],
                  dilations[1], pads[0], pads[1],    pads[2],    pads[3]};
    const std::string auto_pad = AttrString(n, "auto_pad", "NOTSET");
    if (auto_pad == "VALID") {
        win->top = win->left = win->bottom = win->right = 0;
    } else if (auto_pad == "SAME_UPPER" || auto_pad == "SAME_LOWER") {
        const bool upper = auto_pad == "SAME_UPPER";
        auto same = [upper](int64_t side, int64_t k, int64_t s, int64_t d, int64_t* begin,
                            int64_t* end) {
            const int64_t out = (side + s - 1) / s;
            const int64_t total = std::max<int64_t>((out - 1) * s + (k - 1) * d + 1 - side, 0);
            *begin = upper ? total / 2 : total - total / 2;
            *end = total - *begin;
        };
        same(h, kh, win->sh, win->dh, &win->top, &win->bottom);
        same(w, kw, win->sw, win->dw, &win->left, &win->right);
    } else if (auto_pad != "NOTSET") {
        return false;
    }
    const int64_t limit = std::numeric_limits<int32_t>::max();
    for (int64_t v : {win->kh, win->kw, win->sh, win->sw, win->dh, win->dw, win->top, win->left,
                      win->bottom, win->right})
        if (v < 0 || v > limit) return false;
    return win->kh >= 1 && win->kw >= 1 && win->sh >= 1 && win->sw >= 1 && win->dh >= 1 &&
           win->dw >= 1;
}

// Output side of a window over a padded side (floor mode); 0 when the window does not fit.
int64_t WindowOut(int64_t side, int64_t before, int64_t after, int64_t k, int64_t s, int64_t d) {
    const int64_t padded = side + before + after;
    const int64_t extent = (k - 1) * d + 1;
    return padded < extent ? 0 : (padded - extent) / s + 1;
}

void SetWindow(const Window& w, Op* op) {
    op->kernel_h = static_cast<uint32_t>(w.kh);
    op->kernel_w = static_cast<uint32_t>(w.kw);
    op->stride_h = static_cast<uint32_t>(w.sh);
    op->stride_w = static_cast<uint32_t>(w.sw);
    op->dilation_h = static_cast<uint32_t>(w.dh);
    op->dilation_w = static_cast<uint32_t>(w.dw);
    op->pad_top = static_cast<uint32_t>(w.top);
    op->pad_left = static_cast<uint32_t>(w.left);
    op->pad_bottom = static_cast<uint32_t>(w.bottom);
    op->pad_right = static_cast<uint32_t>(w.right);
}

// A convolution's filter and bias as constants, and the operator computing n's output.
std::string PushFiltered(BodyBuilder& b, const onnx::NodeProto& n, const Dims& y, uint32_t in,
                         Op op, std::vector<float> filter, std::vector<size_t> filter_dims,
                         std::vector<float> bias) {
    const size_t channels = bias.size();
    const uint32_t f = b.NewConstant(std::move(filter), std::move(filter_dims));
    op.inputs = {in, f, b.NewConstant(std::move(bias), {channels})};
    op.output = b.AddOutput(n, y);
    b.Push(op);
    return "";
}

// A convolution's bias, one constant per output channel, or zeros without one.
bool BiasOf(const BodyBuilder& b, const onnx::NodeProto& n, int64_t channels,
            std::vector<float>* bias) {
    if (n.input_size() <= 2 || n.input(2).empty()) {
        bias->assign(static_cast<size_t>(channels), 0.0f);
        return true;
    }
    Constant c;
    if (!b.ConstantOf(n.input(2), &c) || c.uniform || c.dims != Dims{channels}) return false;
    *bias = std::move(c.data);
    return true;
}

const char kOutputDiffers[] = "the output is not one float tensor of the dims XNNPACK computes";

// The XNNPACK column of an operator of one computed operand (the first), the others constant.
template <std::string (*kLower)(BodyBuilder&, const onnx::NodeProto&, const Dims&, uint32_t)>
std::string OnBody(BodyBuilder& b, const onnx::NodeProto& n) {
    const Dims* x = nullptr;
    uint32_t in = 0;
    const std::string why = b.BodyInput(n, &x, &in);
    return why.empty() ? kLower(b, n, *x, in) : why;
}

// An operator computing one tensor of its input's dims from it alone; a clamp folds into the
// operator before when it can.
std::string PushUnary(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in, Op o,
                      int max_inputs) {
    if (!std::isfinite(o.alpha)) return "its parameter is not finite";
    if (n.input_size() > max_inputs) return "too many operands";
    if (!b.OutputIs(n, x)) return kOutputDiffers;
    if (o.kind == OpKind::kClamp && b.FuseClamp(n.input(0), o.out_min, o.out_max)) {
        b.Alias(n, in);
        return "";
    }
    o.inputs = {in};
    o.output = b.AddOutput(n, x);
    b.Push(o);
    return "";
}

template <OpKind kKind>
std::string LowerPlain(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    Op o;
    o.kind = kKind;
    return PushUnary(b, n, x, in, o, 1);
}

std::string ReadConstant(BodyBuilder& b, const onnx::NodeProto& n) { return b.ReadConstantNode(n); }

// ---------------------------------------------------------------------------------------
// Conv, ConvTranspose.

std::string ConvRanks(const AdmissionContext&, const onnx::NodeProto&, const Ranks& in, size_t*) {
    if (in[0] != 4) return "only 4-D input is admitted";
    return in.size() >= 2 && in[1] == 4 ? "" : "weights must be 4-D";
}

// ---------------------------------------------------------------------------------------
// Shared native tail rules.

using lowering::TailNode;
using lowering::TailTensor;

const char kNotFloat[] = "an operand read as floats is absent or not a float tensor";

// Numpy broadcasting of two shapes; false when they do not broadcast.
bool Broadcast(const Dims& a, const Dims& b, Dims* out) {
    const size_t rank = std::max(a.size(), b.size());
    out->assign(rank, 1);
    for (size_t i = 0; i < rank; ++i) {
        const int64_t x = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
        const int64_t y = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
        if (x != y && x != 1 && y != 1) return false;
        (*out)[i] = std::max(x, y);
    }
    return true;
}

// For each element of out, the offset of the element of in that broadcasts to it.
std::vector<uint32_t> BroadcastOffsets(const Dims& in, const Dims& out) {
    const size_t rank = out.size();
    Dims padded(rank - in.size(), 1);
    padded.insert(padded.end(), in.begin(), in.end());
    Dims stride(rank, 0);
    int64_t s = 1;
    for (size_t i = rank; i-- > 0;) {
        stride[i] = padded[i] == 1 ? 0 : s;
        s *= padded[i];
    }
    std::vector<uint32_t> offsets(static_cast<size_t>(ElementCount(out)));
    Dims index(rank, 0);
    for (size_t k = 0; k < offsets.size(); ++k) {
        int64_t off = 0;
        for (size_t i = 0; i < rank; ++i) off += index[i] * stride[i];
        offsets[k] = static_cast<uint32_t>(off);
        for (size_t i = rank; i-- > 0;) {
            if (++index[i] < out[i]) break;
            index[i] = 0;
        }
    }
    return offsets;
}

std::string ConvAttributes(const AdmissionContext& c, const onnx::NodeProto& n) {
    const onnx::TensorProto* w = c.Const(n, 1);
    if (!w || w->dims_size() != 4)
        return "only 2-D convolutions with constant weights are admitted";
    const Dims w_kernel(w->dims().begin() + 2, w->dims().end());
    const Dims kernel = AttrInts(n, "kernel_shape");
    if (!kernel.empty() && kernel != w_kernel) return "kernel_shape differs from the weights";
    const std::string why = WindowWhy(n, w_kernel);
    if (!why.empty()) return why;
    // Conv's output channels and ConvTranspose's input channels split into the groups; this
    // also bounds the channel counts that group multiplies.
    const int64_t group = AttrInt(n, "group", 1);
    if (group < 1 || w->dims(0) % group != 0) return "group out of range";
    if (n.op_type() == "ConvTranspose") {
        const Dims out_pad = AttrInts(n, "output_padding");
        Dims strides = AttrInts(n, "strides");
        if (strides.empty()) strides = {1, 1};
        if (!out_pad.empty() && out_pad.size() != 2) return "output_padding out of range";
        for (size_t i = 0; i < out_pad.size(); ++i)
            if (out_pad[i] < 0 || out_pad[i] >= strides[i]) return "output_padding out of range";
        if (Attr(n, "output_shape")) return "output_shape is not admitted";
    }
    return "";
}

std::string ConvShapes(const AdmissionContext& c, const onnx::NodeProto& n, const Dims& x) {
    const bool conv = n.op_type() == "Conv";
    const Dims& w = *c.Shape(n, 1);  // a constant, checked before inference
    const int64_t group = AttrInt(n, "group", 1);
    const int64_t in_channels = conv ? w[1] * group : w[0];
    const int64_t out_channels = conv ? w[0] : w[1] * group;
    if (x[1] % group != 0 || w[0] % group != 0 || x[1] != in_channels)
        return "group and channel counts do not match";
    const Dims* bias = c.Shape(n, 2);
    if (bias && (bias->size() != 1 || (*bias)[0] != out_channels || !c.Const(n, 2)))
        return "bias is not one constant per output channel";
    return "";
}

std::string LowerConv(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    Constant w;
    if (n.input_size() < 2 || !b.ConstantOf(n.input(1), &w) || w.uniform || w.dims.size() != 4)
        return "the weights are not a 4-D float constant";
    const int64_t O = w.dims[0], Cg = w.dims[1], kh = w.dims[2], kw = w.dims[3];
    const int64_t group = AttrInt(n, "group", 1);
    if (group < 1 || x[1] != Cg * group || O % group != 0 || O < 1)
        return "group and channel counts do not match";
    std::vector<float> bias;
    if (!BiasOf(b, n, O, &bias)) return "the bias is not one float per output channel";
    if (AttrInts(n, "kernel_shape", {kh, kw}) != Dims{kh, kw})
        return "kernel_shape differs from the weights";
    Window win;
    if (!ResolveWindow(n, kh, kw, x[2], x[3], &win)) return "the window does not resolve";
    const Dims y = {x[0], O, WindowOut(x[2], win.top, win.bottom, kh, win.sh, win.dh),
                    WindowOut(x[3], win.left, win.right, kw, win.sw, win.dw)};
    if (!b.OutputIs(n, y)) return kOutputDiffers;
    // One filter per channel runs on XNNPACK's depthwise kernels, which take the filter
    // as (1, kh, kw, O); every other grouping as a convolution, OHWI.
    const bool depthwise = Cg == 1 && group > 1;
    std::vector<float> filter(w.data.size());
    for (int64_t o = 0; o < O; ++o)
        for (int64_t i = 0; i < Cg; ++i)
            for (int64_t r = 0; r < kh; ++r)
                for (int64_t c = 0; c < kw; ++c)
                    filter[static_cast<size_t>(depthwise ? (r * kw + c) * O + o
                                                         : ((o * kh + r) * kw + c) * Cg + i)] =
                        w.data[static_cast<size_t>(((o * Cg + i) * kh + r) * kw + c)];
    Op op;
    op.kind = depthwise ? OpKind::kDepthwiseConvolution : OpKind::kConvolution;
    SetWindow(win, &op);
    op.groups = static_cast<uint32_t>(group);
    op.group_in = static_cast<size_t>(Cg);
    op.group_out = static_cast<size_t>(O / group);
    const std::vector<size_t> filter_dims =
        depthwise ? std::vector<size_t>{1, static_cast<size_t>(kh), static_cast<size_t>(kw),
                                        static_cast<size_t>(O)}
                  : std::vector<size_t>{static_cast<size_t>(O), static_cast<size_t>(kh),
                                        static_cast<size_t>(kw), static_cast<size_t>(Cg)};
    return PushFiltered(b, n, y, in, std::move(op), std::move(filter), filter_dims,
                        std::move(bias));
}

std::string LowerConvTranspose(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x,
                               uint32_t in) {
    Constant w;
    if (n.input_size() < 2 || !b.ConstantOf(n.input(1), &w) || w.uniform || w.dims.size() != 4)
        return "the weights are not a 4-D float constant";
    const int64_t Cin = w.dims[0], Og = w.dims[1], kh = w.dims[2], kw = w.dims[3];
    const int64_t group = AttrInt(n, "group", 1);
    if (group < 1 || x[1] != Cin || Cin % group != 0 || Og < 1)
        return "group and channel counts do not match";
    const int64_t O = Og * group, Cg = Cin / group;
    std::vector<float> bias;
    if (!BiasOf(b, n, O, &bias)) return "the bias is not one float per output channel";
    if (Attr(n, "output_shape") || AttrInts(n, "kernel_shape", {kh, kw}) != Dims{kh, kw})
        return "output_shape is given, or kernel_shape differs from the weights";
    const std::string auto_pad = AttrString(n, "auto_pad", "NOTSET");
    if (auto_pad != "NOTSET" && auto_pad != "VALID") return "auto_pad " + auto_pad;
    Window win;
    if (!ResolveWindow(n, kh, kw, x[2], x[3], &win)) return "the window does not resolve";
    const Dims adjust = AttrInts(n, "output_padding", {0, 0});
    if (adjust.size() != 2 || adjust[0] < 0 || adjust[1] < 0 || adjust[0] >= win.sh ||
        adjust[1] >= win.sw)
        return "output_padding out of range";
    const int64_t oh =
        win.sh * (x[2] - 1) + adjust[0] + (kh - 1) * win.dh + 1 - win.top - win.bottom;
    const int64_t ow =
        win.sw * (x[3] - 1) + adjust[1] + (kw - 1) * win.dw + 1 - win.left - win.right;
    const Dims y = {x[0], O, oh, ow};
    if (oh < 1 || ow < 1 || !b.OutputIs(n, y)) return kOutputDiffers;
    // ONNX (Cin, O/group, kh, kw) to XNNPACK's (group * O/group, kh, kw, Cin/group).
    std::vector<float> filter(w.data.size());
    for (int64_t g = 0; g < group; ++g)
        for (int64_t i = 0; i < Cg; ++i)
            for (int64_t o = 0; o < Og; ++o)
                for (int64_t r = 0; r < kh; ++r)
                    for (int64_t c = 0; c < kw; ++c)
                        filter[static_cast<size_t>((((g * Og + o) * kh + r) * kw + c) * Cg + i)] =
                            w.data[static_cast<size_t>((((g * Cg + i) * Og + o) * kh + r) * kw +
                                                       c)];
    Op op;
    op.kind = OpKind::kDeconvolution;
    SetWindow(win, &op);
    op.adjust_h = static_cast<uint32_t>(adjust[0]);
    op.adjust_w = static_cast<uint32_t>(adjust[1]);
    op.groups = static_cast<uint32_t>(group);
    op.group_in = static_cast<size_t>(Cg);
    op.group_out = static_cast<size_t>(Og);
    return PushFiltered(b, n, y, in, std::move(op), std::move(filter),
                        {static_cast<size_t>(O), static_cast<size_t>(kh), static_cast<size_t>(kw),
                         static_cast<size_t>(Cg)},
                        std::move(bias));
}

// ---------------------------------------------------------------------------------------
// MaxPool, AveragePool, GlobalAveragePool, GlobalMaxPool.

std::string PoolAttributes(const AdmissionContext&, const onnx::NodeProto& n) {
    const Dims kernel = AttrInts(n, "kernel_shape");
    const Dims pads = AttrInts(n, "pads");
    if (n.output_size() != 1) return "only pooling with one output is admitted";
    const std::string why = WindowWhy(n, kernel);
    if (!why.empty()) return why;
    if (!AllIn(AttrInts(n, "dilations"), 1, 1)) return "dilated pooling is not admitted";
    for (size_t i = 0; i < pads.size(); ++i)
        if (pads[i] >= kernel[i % 2]) return "a pad is not smaller than the window";
    if (!AllIn({AttrInt(n, "ceil_mode", 0)}, 0, 1) || AttrInt(n, "storage_order", 0) != 0)
        return "ceil_mode or storage_order out of range";
    return "";
}

std::string LowerPool(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    const bool max = n.op_type() == "MaxPool";
    const Dims kernel = AttrInts(n, "kernel_shape");
    if (kernel.size() != 2 || AttrInt(n, "ceil_mode", 0) != 0 ||
        AttrInt(n, "storage_order", 0) != 0 || n.output_size() != 1)
        return "ceil_mode, storage_order or a second output";
    if (kernel[0] * kernel[1] < 2) return "XNNPACK pools over two values or more";
    Window win;
    if (!ResolveWindow(n, kernel[0], kernel[1], x[2], x[3], &win))
        return "the window does not resolve";
    // Averages over padding differ in what they count; only unpadded windows go here.
    if (!max && (win.top || win.left || win.bottom || win.right || win.dh != 1 || win.dw != 1))
        return "a padded average";
    const Dims y = {x[0], x[1], WindowOut(x[2], win.top, win.bottom, win.kh, win.sh, win.dh),
                    WindowOut(x[3], win.left, win.right, win.kw, win.sw, win.dw)};
    if (!b.OutputIs(n, y)) return kOutputDiffers;
    Op op;
    op.kind = max ? OpKind::kMaxPool : OpKind::kAveragePool;
    SetWindow(win, &op);
    op.inputs = {in};
    op.output = b.AddOutput(n, y);
    b.Push(op);
    return "";
}

std::string LowerGlobalAveragePool(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x,
                                   uint32_t in) {
    const Dims y = {x[0], x[1], 1, 1};
    if (!b.OutputIs(n, y)) return kOutputDiffers;
    Op o;
    o.kind = OpKind::kGlobalAveragePool;
    o.inputs = {in};
    o.output = b.AddOutput(n, y);
    b.Push(o);
    return "";
}

// ---------------------------------------------------------------------------------------
// Resize, Upsample.

std::string ResizeAttributes(const AdmissionContext& c, const onnx::NodeProto& n) {
    const bool resize = n.op_type() == "Resize";
    const std::string mode = AttrString(n, "mode", "nearest");
    if (mode != "nearest" && mode != "linear" && mode != "bilinear")
        return "mode '" + mode + "' is not admitted";
    std::vector<float> scales;
    const int scales_input = resize && n.input_size() > 2 ? 2 : 1;
    if (const auto* a = Attr(n, "scales")) {
        scales.assign(a->floats().begin(), a->floats().end());
    } else if (const auto* t = c.Const(n, scales_input)) {
        if (!ReadFloats(*t, &scales)) return "scales must be float constants";
    } else if (!(resize && c.Const(n, 3))) {
        return "scales or sizes must be constants";
    }
    for (float s : scales)
        if (!std::isfinite(s) || s <= 0 || s > kMaxScale) return "scale out of range";
    return "";
}

// Nearest upsampling by whole factors: a depthwise transposed convolution whose s x s
// filter of ones copies each input pixel into its s x s block, exactly.
std::string LowerResize(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    if (AttrString(n, "mode", "nearest") != "nearest") return "only nearest upsampling is taken";
    const std::string transform = AttrString(n, "coordinate_transformation_mode", "half_pixel");
    const std::string rounding = AttrString(n, "nearest_mode", "round_prefer_floor");
    // For whole factors these two pick the same source pixel: floor(i / s).
    const bool floor_pick = (transform == "asymmetric" && rounding == "floor") ||
                            (transform == "half_pixel" && rounding == "round_prefer_floor");
    if (n.op_type() == "Resize" && !floor_pick)
        return "the coordinate transformation and rounding do not pick floor(i / s)";
    const Dims* y = b.Shape(n.output(0));
    if (!y || y->size() != 4 || (*y)[0] != x[0] || (*y)[1] != x[1])
        return "the output is not the input's batch and channels";
    const int64_t sh = (*y)[2] / x[2], sw = (*y)[3] / x[3];
    if (sh < 1 || sw < 1 || sh * x[2] != (*y)[2] || sw * x[3] != (*y)[3] || sh > 64 || sw > 64 ||
        !b.OutputIs(n, *y))
        return "the factors are not whole numbers from 1 to 64";
    // Declared scales, when given, must be those factors (sizes are then what inference gave).
    for (int i = 1; i < n.input_size(); ++i) {
        if (n.input(i).empty()) continue;
        Constant c;
        if (!b.ConstantOf(n.input(i), &c)) return "an operand is not a float constant";
        const bool is_scales =
            (n.op_type() == "Upsample" && i == 1) || (n.op_type() == "Resize" && i == 2);
        if (is_scales && !c.data.empty() && !c.uniform &&
            c.data != std::vector<float>{1.0f, 1.0f, float(sh), float(sw)})
            return "the scales are not the factors of the sides";
    }
    if (sh == 1 && sw == 1) {
        b.Alias(n, in);
        return "";
    }
    const size_t C = static_cast<size_t>(x[1]);
    Op op;
    op.kind = OpKind::kDeconvolution;
    op.kernel_h = op.stride_h = static_cast<uint32_t>(sh);
    op.kernel_w = op.stride_w = static_cast<uint32_t>(sw);
    op.groups = static_cast<uint32_t>(C);
    op.group_in = op.group_out = 1;
    op.nearest = true;
    const size_t taps = static_cast<size_t>(sh * sw);
    return PushFiltered(b, n, *y, in, std::move(op), std::vector<float>(C * taps, 1.0f),
                        {C, static_cast<size_t>(sh), static_cast<size_t>(sw), 1},
                        std::vector<float>(C, 0.0f));
}

// ---------------------------------------------------------------------------------------
// Pad.

std::string PadRanks(const AdmissionContext& c, const onnx::NodeProto& n, const Ranks& in,
                     size_t*) {
    Dims pads;
    if (!c.IntsFrom(n, "pads", 1, &pads) || pads.size() != 2 * in[0])
        return "pads must be a constant of two values per axis";
    return "";
}

std::string PadAttributes(const AdmissionContext& c, const onnx::NodeProto& n) {
    Dims pads;
    if (!c.IntsFrom(n, "pads", 1, &pads) || !AllIn(pads, 0, kMaxWindow))
        return "pads must be constant, non-negative and bounded";
    const std::string mode = AttrString(n, "mode", "constant");
    if (mode != "constant" && mode != "edge" && mode != "reflect")
        return "mode '" + mode + "' is not admitted";
    return "";
}

std::string PadShapes(const AdmissionContext& c, const onnx::NodeProto& n, const Dims& x) {
    if (AttrString(n, "mode", "constant") != "reflect") return "";
    Dims pads;
    c.IntsFrom(n, "pads", 1, &pads);
    for (size_t i = 0; i < pads.size(); ++i)
        if (pads[i] >= x[i % x.size()]) return "a reflected pad is not smaller than its side";
    return "";
}

std::string LowerPad(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    if (AttrString(n, "mode", "constant") != "constant") return "only constant padding is taken";
    Dims pads = AttrInts(n, "pads");
    float value = AttrFloat(n, "value", 0.0f);
    if (n.input_size() > 1) {
        const onnx::TensorProto* p = b.TensorOf(n.input(1));
        if (!p || !ReadInts(*p, &pads)) return "the pads are not an integer constant";
    }
    if (n.input_size() > 2 && !n.input(2).empty()) {
        Constant c;
        if (!b.ConstantOf(n.input(2), &c) || c.data.size() != 1)
            return "the value is not one float constant";
        value = c.data[0];
    }
    if (n.input_size() > 3 || pads.size() != 8 || !std::isfinite(value))
        return "pads of another rank, or a value not finite";
    Dims y(4);
    for (int i = 0; i < 4; ++i) {
        if (pads[i] < 0 || pads[i + 4] < 0) return "a negative pad";
        y[i] = x[i] + pads[i] + pads[i + 4];
    }
    if (!b.OutputIs(n, y)) return kOutputDiffers;
    Op op;
    op.kind = OpKind::kPad;
    const int nhwc[4] = {0, 2, 3, 1};
    for (int axis : nhwc) {
        op.pre.push_back(static_cast<size_t>(pads[axis]));
        op.post.push_back(static_cast<size_t>(pads[axis + 4]));
    }
    op.pad_value = value;
    op.inputs = {in};
    op.output = b.AddOutput(n, y);
    b.Push(op);
    return "";
}

// ---------------------------------------------------------------------------------------
// BatchNormalization.

std::string BatchNormRanks(const AdmissionContext&, const onnx::NodeProto&, const Ranks& in,
                           size_t*) {
    return in[0] >= 2 ? "" : "input of rank 2 or more only";
}

std::string BatchNormAttributes(const AdmissionContext& c, const onnx::NodeProto& n) {
    if (n.output_size() != 1) return "one output only";
    for (int i = 1; i <= 4; ++i) {
        const auto* p = c.Const(n, i);
        if (!p || p->dims_size() != 1)
            return "parameters must be constants of one value per channel";
    }
    const float eps = AttrFloat(n, "epsilon", 1e-5f);
    return std::isfinite(eps) && eps >= 0 ? "" : "epsilon out of range";
}

std::string BatchNormShapes(const AdmissionContext& c, const onnx::NodeProto& n, const Dims& x) {
    for (int i = 1; i <= 4; ++i)
        if ((*c.Shape(n, i))[0] != x[1])
            return "parameters must be constants of one value per channel";
    return "";
}

std::string LowerBatchNorm(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    if (n.input_size() != 5 || n.output_size() != 1 || !b.OutputIs(n, x))
        return "five operands and one output of the input's shape";
    Constant p[4];
    for (int i = 0; i < 4; ++i)
        if (!b.ConstantOf(n.input(i + 1), &p[i]) || p[i].dims != Dims{x[1]})
            return "the parameters are not float constants of one value per channel";
    const float eps = AttrFloat(n, "epsilon", 1e-5f);
    const size_t C = static_cast<size_t>(x[1]);
    std::vector<float> scale(C), shift(C);
    auto at = [](const Constant& c, size_t i) { return c.uniform ? c.data[0] : c.data[i]; };
    for (size_t c = 0; c < C; ++c) {
        scale[c] = at(p[0], c) / std::sqrt(at(p[3], c) + eps);
        shift[c] = at(p[1], c) - at(p[2], c) * scale[c];
    }
    const uint32_t scaled = b.NewConstant(std::move(scale), {1, 1, 1, C});
    const uint32_t shifted = b.NewConstant(std::move(shift), {1, 1, 1, C});
    const uint32_t mid = b.NewValue(lowering::Nhwc(x));
    Op mul;
    mul.kind = OpKind::kMultiply;
    mul.inputs = {in, scaled};
    mul.output = mid;
    b.Push(mul);
    Op add;
    add.kind = OpKind::kAdd;
    add.inputs = {mid, shifted};
    add.output = b.AddOutput(n, x);
    b.Push(add);
    return "";
}

// ---------------------------------------------------------------------------------------
// Add, Sub, Mul, Div, Max, Min.

std::string BroadcastRanks(const AdmissionContext&, const onnx::NodeProto&, const Ranks& in,
                           size_t* out) {
    *out = *std::max_element(in.begin(), in.end());
    return "";
}

std::string BroadcastShapes(const AdmissionContext& c, const onnx::NodeProto& n, const Dims&) {
    // OpenCV 4.6 broadcasts the other operands into a computed one, and writes past its
    // buffers when broadcasting grows it instead ((1,3,2) plus a (2,3,1,1) constant).
    const Dims& y = c.shapes.at(n.output(0));
    bool computed = false;
    for (int i = 0; i < n.input_size(); ++i) computed = computed || !c.Const(n, i);
    for (int i = 0; i < n.input_size(); ++i) {
        const Dims* operand = c.Shape(n, i);
        if (operand && *operand == y && (!computed || !c.Const(n, i))) return "";
    }
    return "broadcasting grows a computed operand";
}

std::string LowerBinary(BodyBuilder& b, const onnx::NodeProto& n) {
    if (n.input_size() != 2 || n.output_size() != 1) return "two operands and one output";
    const Dims* y = b.Shape(n.output(0));
    if (!y || y->size() != 4) return "the result is not 4-D";
    uint32_t ids[2];
    bool computed = false;
    for (int i = 0; i < 2; ++i) {
        const Dims* s = b.HeadShape(n.input(i));
        if (s) {
            if (s->size() != 4) return "a computed operand is not 4-D";
            for (int k = 0; k < 4; ++k)
                if ((*s)[k] != (*y)[k] && (*s)[k] != 1)
                    return "a computed operand does not broadcast to the result";
            ids[i] = b.Head(n.input(i));
            computed = true;
            continue;
        }
        Constant c;
        if (!b.ConstantOf(n.input(i), &c) || !b.BroadcastConstant(c, *y, &ids[i]))
            return "an operand is neither in the body nor a float constant that broadcasts";
    }
    if (!computed) return "no operand is in the body";
    if (!b.OutputIs(n, *y)) return kOutputDiffers;
    static const std::map<std::string, OpKind> kinds = {
        {"Add", OpKind::kAdd},    {"Sub", OpKind::kSubtract}, {"Mul", OpKind::kMultiply},
        {"Div", OpKind::kDivide}, {"Max", OpKind::kMaximum},  {"Min", OpKind::kMinimum}};
    Op op;
    op.kind = kinds.at(n.op_type());
    op.inputs = {ids[0], ids[1]};
    op.output = b.AddOutput(n, *y);
    b.Push(op);
    return "";
}

float AddOf(float a, float b) { return a + b; }
float SubOf(float a, float b) { return a - b; }
float MulOf(float a, float b) { return a * b; }
float DivOf(float a, float b) { return a / b; }

// Broadcast arithmetic of two operands; one of one element, or of the result's dims, runs on
// plain loops.
template <float (*kF)(float, float)>
std::string TailBinary(TailNode& t, const onnx::NodeProto& n) {
    if (!t.Floats()) return kNotFloat;
    if (n.input_size() != 2 || !Broadcast(t.dims(0), t.dims(1), &t.out_dims))
        return "two operands that broadcast";
    const Dims& out = t.out_dims;
    const int a = t.in[0], b = t.in[1], y = t.y;
    const bool same = t.dims(0) == t.dims(1);
    const bool b_one = ElementCount(t.dims(1)) == 1 && t.dims(0) == out;
    const bool a_one = ElementCount(t.dims(0)) == 1 && t.dims(1) == out;
    if (same || b_one || a_one) {
        t.run = [a, b, y, same, b_one](std::vector<TailTensor>& v) {
            const float* p = v[size_t(a)].data();
            const float* q = v[size_t(b)].data();
            float* dst = v[size_t(y)].mutable_data();
            const size_t count = v[size_t(y)].count();
            if (same)
                for (size_t i = 0; i < count; ++i) dst[i] = kF(p[i], q[i]);
            else if (b_one)
                for (size_t i = 0; i < count; ++i) dst[i] = kF(p[i], q[0]);
            else
                for (size_t i = 0; i < count; ++i) dst[i] = kF(p[0], q[i]);
        };
        return "";
    }
    if (ElementCount(out) > lowering::kMaxTailElements) return "the result is too large";
    const std::vector<uint32_t> pa = BroadcastOffsets(t.dims(0), out);
    const std::vector<uint32_t> pb = BroadcastOffsets(t.dims(1), out);
    t.run = [a, b, y, pa, pb](std::vector<TailTensor>& v) {
        const float* p = v[size_t(a)].data();
        const float* q = v[size_t(b)].data();
        float* dst = v[size_t(y)].mutable_data();
        for (size_t i = 0; i < pa.size(); ++i) dst[i] = kF(p[pa[i]], q[pb[i]]);
    };
    return "";
}

// ---------------------------------------------------------------------------------------
// Activations: Relu, Clip, LeakyRelu, Elu, HardSigmoid, PRelu, Sigmoid, Tanh, Softplus, and
// the elementwise functions Abs, Neg, Exp, Log, Sqrt.

std::string ClipAttributes(const AdmissionContext& c, const onnx::NodeProto& n) {
    for (int i = 1; i < n.input_size(); ++i) {
        const auto* p = c.Const(n, i);
        // A scalar: every dim 1 (GCC 12 misreads a vector built here as a bad free).
        if (!n.input(i).empty() && (!p || !std::all_of(p->dims().begin(), p->dims().end(),
                                                       [](int64_t d) { return d == 1; })))
            return "bounds must be constant scalars";
    }
    return "";
}

std::string PReluAttributes(const AdmissionContext& c, const onnx::NodeProto& n) {
    return c.Const(n, 1) ? "" : "the slope must be a constant";
}

std::string LowerRelu(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    Op o;
    o.kind = OpKind::kClamp;
    o.out_min = 0.0f;
    return PushUnary(b, n, x, in, o, 1);
}

std::string LowerClip(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    Op o;
    o.kind = OpKind::kClamp;
    o.out_min = AttrFloat(n, "min", o.out_min);
    o.out_max = AttrFloat(n, "max", o.out_max);
    for (int i = 1; i < n.input_size() && i <= 2; ++i) {
        if (n.input(i).empty()) continue;
        Constant c;
        if (!b.ConstantOf(n.input(i), &c) || c.data.size() != 1)
            return "a bound is not one float constant";
        (i == 1 ? o.out_min : o.out_max) = c.data[0];
    }
    if (std::isnan(o.out_min) || std::isnan(o.out_max) || o.out_min >= o.out_max)
        return "the bounds are not an interval";
    return PushUnary(b, n, x, in, o, 3);
}

std::string LowerLeakyRelu(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    Op o;
    o.kind = OpKind::kLeakyRelu;
    o.alpha = AttrFloat(n, "alpha", 0.01f);
    return PushUnary(b, n, x, in, o, 1);
}

std::string LowerElu(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    Op o;
    o.kind = OpKind::kElu;
    o.alpha = AttrFloat(n, "alpha", 1.0f);
    if (!(o.alpha > 0.0f)) return "XNNPACK takes a positive alpha only";
    return PushUnary(b, n, x, in, o, 1);
}

float SigmoidOf(float v) { return 1.0f / (1.0f + std::exp(-v)); }
float ReluOf(float v) { return v > 0.0f ? v : 0.0f; }
float LogOf(float v) { return std::log(v); }
float ExpOf(float v) { return std::exp(v); }
float NegOf(float v) { return -v; }
float AbsOf(float v) { return std::fabs(v); }

template <float (*kF)(float)>
std::string TailUnary(TailNode& t, const onnx::NodeProto& n) {
    if (!t.Floats()) return kNotFloat;
    if (n.input_size() != 1) return "more than one operand";
    t.out_dims = t.dims(0);
    const int x = t.in[0], y = t.y;
    t.run = [x, y](std::vector<TailTensor>& v) {
        const float* src = v[size_t(x)].data();
        float* dst = v[size_t(y)].mutable_data();
        const size_t count = v[size_t(y)].count();
        for (size_t i = 0; i < count; ++i) dst[i] = kF(src[i]);
    };
    return "";
}

// XNNPACK takes one slope per channel. ONNX broadcasts a slope right-aligned, so (C, 1, 1),
// (1, C, 1, 1) and one value are per channel; so is (C) as OpenCV reads it, except where it
// could be per column (C equal to the width). Any other slope stays on OpenCV.
std::string LowerPRelu(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    Constant s;
    if (n.input_size() != 2 || !b.ConstantOf(n.input(1), &s))
        return "the slope is not a float constant";
    if (!b.OutputIs(n, x)) return kOutputDiffers;
    Dims d(4 - std::min<size_t>(s.dims.size(), 4), 1);
    d.insert(d.end(), s.dims.begin(), s.dims.end());
    const bool aligned =
        d.size() == 4 && d[0] == 1 && d[2] == 1 && d[3] == 1 && (d[1] == 1 || d[1] == x[1]);
    const bool channels = s.dims == Dims{x[1]} && x[1] != x[3];
    if (!aligned && !channels) return "the slope is not one value per channel";
    const size_t C = static_cast<size_t>(x[1]);
    const bool one = s.uniform || ElementCount(s.dims) == 1;
    std::vector<float> slope(C);
    for (size_t c = 0; c < C; ++c) slope[c] = one ? s.data[0] : s.data[c];
    Op op;
    op.kind = OpKind::kPRelu;
    op.inputs = {in, b.NewConstant(std::move(slope), {C})};
    op.output = b.AddOutput(n, x);
    b.Push(op);
    return "";
}

// ---------------------------------------------------------------------------------------
// Gemm, MatMul.

std::string GemmRanks(const AdmissionContext&, const onnx::NodeProto&, const Ranks& in,
                      size_t* out) {
    if (in[0] != 2 || in.size() < 2 || in[1] != 2) return "operands are not matrices";
    *out = 2;
    return "";
}

std::string GemmAttributes(const AdmissionContext&, const onnx::NodeProto& n) {
    if (!AllIn({AttrInt(n, "transA", 0), AttrInt(n, "transB", 0)}, 0, 1) ||
        !std::isfinite(AttrFloat(n, "alpha", 1)) || !std::isfinite(AttrFloat(n, "beta", 1)))
        return "attributes out of range";
    return "";
}

std::string GemmShapes(const AdmissionContext& c, const onnx::NodeProto& n, const Dims&) {
    const Dims* bias = c.Shape(n, 2);
    const Dims& y = c.shapes.at(n.output(0));  // rank 2, as propagated
    if (!bias) return "";
    const int64_t count = ElementCount(*bias);  // bounded, as every shape after inference
    if (count != 1 && count != y[1] && count != y[0] * y[1])
        return "C does not broadcast to the result";
    return "";
}

std::string MatMulRanks(const AdmissionContext&, const onnx::NodeProto&, const Ranks& in,
                        size_t* out) {
    if (in.size() != 2 || in[0] < 2 || in[0] > 4 || in[1] < 2 || in[1] > 4)
        return "operands of rank 2 to 4 only";
    *out = std::max(in[0], in[1]);
    return "";
}

// ---------------------------------------------------------------------------------------
// Shapes and data movement: Identity, Dropout, Flatten, Reshape, Transpose, Squeeze,
// Unsqueeze, Concat, Split, Slice.

std::string DropoutAttributes(const AdmissionContext&, const onnx::NodeProto& n) {
    return n.output_size() == 1 ? "" : "the mask output is not admitted";
}

std::string FlattenRanks(const AdmissionContext&, const onnx::NodeProto& n, const Ranks& in,
                         size_t* out) {
    if (!AxisOk(AttrInt(n, "axis", 1), in[0], true)) return "axis out of range";
    *out = 2;
    return "";
}

std::string ReshapeRanks(const AdmissionContext& c, const onnx::NodeProto& n, const Ranks&,
                         size_t* out) {
    Dims shape;
    const auto* t = c.Const(n, 1);
    if (!t || !ReadInts(*t, &shape) || shape.empty() || shape.size() > 6)
        return "the target shape must be a constant of 1 to 6 values";
    *out = shape.size();
    return "";
}

std::string ReshapeAttributes(const AdmissionContext&, const onnx::NodeProto& n) {
    return AttrInt(n, "allowzero", 0) == 0 ? "" : "allowzero is not admitted";
}

// Identity, Flatten and Reshape copy their input as it lies; only the dims differ.
void CopyStep(TailNode& t) {
    const int x = t.in[0], y = t.y;
    t.run = [x, y](std::vector<TailTensor>& v) {
        std::memcpy(v[size_t(y)].mutable_data(), v[size_t(x)].data(),
                    v[size_t(x)].count() * sizeof(float));
    };
}

std::string TailIdentity(TailNode& t, const onnx::NodeProto&) {
    if (!t.Floats()) return kNotFloat;
    t.out_dims = t.dims(0);
    CopyStep(t);
    return "";
}

std::string TailFlatten(TailNode& t, const onnx::NodeProto& n) {
    if (!t.Floats()) return kNotFloat;
    const Dims& d = t.dims(0);
    int64_t axis = Attr(n, "axis") ? Attr(n, "axis")->i() : 1;
    if (axis < 0) axis += static_cast<int64_t>(d.size());
    if (axis < 0 || axis > static_cast<int64_t>(d.size())) return "axis out of range";
    const Dims head(d.begin(), d.begin() + axis), rest(d.begin() + axis, d.end());
    t.out_dims = {ElementCount(head), ElementCount(rest)};
    CopyStep(t);
    return "";
}

std::string TailReshape(TailNode& t, const onnx::NodeProto& n) {
    if (!t.Floats(1)) return kNotFloat;
    const Dims& d = t.dims(0);
    Dims shape;
    if (n.input_size() != 2 || !t.Ints(1, &shape) ||
        (Attr(n, "allowzero") && Attr(n, "allowzero")->i() != 0))
        return "the shape is not an integer constant";
    int64_t known = 1, unknown = -1;
    Dims& out = t.out_dims;
    out = shape;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 0 && i < d.size()) out[i] = d[i];
        if (out[i] == -1) {
            if (unknown >= 0) return "more than one dim is inferred";
            unknown = static_cast<int64_t>(i);
        } else if (out[i] <= 0) {
            return "a dim is not positive";
        } else {
            known *= out[i];
        }
    }
    if (unknown >= 0) {
        if (known == 0 || ElementCount(d) % known != 0) return "the inferred dim is not whole";
        out[static_cast<size_t>(unknown)] = ElementCount(d) / known;
    }
    if (ElementCount(out) != ElementCount(d)) return "the element counts differ";
    CopyStep(t);
    return "";
}

std::string TransposeRanks(const AdmissionContext&, const onnx::NodeProto& n, const Ranks& in,
                           size_t*) {
    Dims perm = AttrInts(n, "perm");
    std::sort(perm.begin(), perm.end());
    for (size_t i = 0; i < perm.size(); ++i)
        if (perm.size() != in[0] || perm[i] != static_cast<int64_t>(i))
            return "perm is not a permutation of the axes";
    return "";
}

std::string LowerIdentity(BodyBuilder& b, const onnx::NodeProto& n, const Dims& x, uint32_t in) {
    if (n.output_size() != 1 || !b.OutputIs(n, x)) return kOutputDiffers;
    b.Alias(n, in);
    return "";
}

// A body tensor transposed to NHWC is the body's own buffer, which the tail reads uncopied.
std::string LowerTranspose(BodyBuilder& b, const onnx::NodeProto& n) {
    if (n.input_size() != 1 || !b.InBody(n.input(0)) || AttrInts(n, "perm") != Dims{0, 2, 3, 1})
        return "only a transpose of the body to NHWC is taken";
    b.View(n, b.Head(n.input(0)));
    return "";
}

// Squeeze, Unsqueeze, ReduceMean and ReduceMax: axes given as an attribute or a constant.
std::string AxesRanks(const AdmissionContext& c, const onnx::NodeProto& n, size_t r, bool grows,
                      bool reduces, size_t* out) {
    Dims axes;
    if (!c.IntsFrom(n, "axes", 1, &axes)) return "axes must be constants";
    const bool keeps = reduces && AttrInt(n, "keepdims", 1) != 0;
    if (!reduces && axes.empty()) return "axes must be given";
    const size_t axis_rank = grows ? r + axes.size() : r;
    std::set<int64_t> unique;
    for (int64_t a : axes) {
        if (!AxisOk(a, axis_rank)) return "axis out of range";
        unique.insert(a < 0 ? a + static_cast<int64_t>(axis_rank) : a);
    }
    if (unique.size() != axes.size()) return "repeated axis";
    if (grows)
        *out = axis_rank;
    else if (!keeps)
        *out = axes.empty() ? 0 : r - axes.size();
    return "";
}

std::string SqueezeRanks(const AdmissionContext& c, const onnx::NodeProto& n, const Ranks& in,
                         size_t* out) {
    return AxesRanks(c, n, in[0], false, false, out);
}

std::string UnsqueezeRanks(const AdmissionContext& c, const onnx::NodeProto& n, const Ranks& in,
                           size_t* out) {
    return AxesRanks(c, n, in[0], true, false, out);
}

std::string ReduceRanks(const AdmissionContext& c, const onnx::NodeProto& n, const Ranks& in,
                        size_t* out) {
    return AxesRanks(c, n, in[0], false, true, out);
}

std::string ConcatRanks(const AdmissionContext&, const onnx::NodeProto& n, const Ranks& in,
                        size_t*) {
    if (!AxisOk(AttrInt(n, "axis", 0), in[0])) return "axis out of range";
    if (std::any_of(in.begin(), in.end(), [&](size_t k) { return k != in[0]; }))
        return "inputs of different ranks";
    return "";
}

// A computed tensor joined with constants of one value along an axis is that tensor
// padded with the value (how channel padding of residual blocks is written).
std::string LowerConcat(BodyBuilder& b, const onnx::NodeProto& n) {
    const Dims* y = b.Shape(n.output(0));
    if (!y || y->size() != 4 || n.output_size() != 1) return "the result is not one 4-D tensor";
    int64_t axis = AttrInt(n, "axis", 1);
    if (axis < 0) axis += 4;
    if (axis < 0 || axis > 3) return "axis out of range";
    int computed = -1;
    float value = 0.0f;
    bool have_value = false;
    int64_t before = 0, after = 0;
    for (int i = 0; i < n.input_size(); ++i) {
        const Dims* s = b.Shape(n.input(i));
        if (!s || s->size() != 4) return "an operand is not 4-D";
        for (int k = 0; k < 4; ++k)
            if (k != axis && (*s)[k] != (*y)[k]) return "the operands' sides differ";
        if (b.InBody(n.input(i))) {
            if (computed >= 0) return "more than one operand is computed";
            computed = i;
            continue;
        }
        Constant c;
        if (!b.ConstantOf(n.input(i), &c) || c.data.empty())
            return "an operand is neither in the body nor a float constant";
        for (float v : c.data) {
            if (!have_value) value = v, have_value = true;
            if (v != value || !std::isfinite(v))
                return "the constants are not one finite value throughout";
        }
        (computed < 0 ? before : after) += (*s)[axis];
    }
    if (computed < 0) return "no operand is in the body";
    const Dims& x = *b.Shape(n.input(computed));
    if (!b.OutputIs(n, *y)) return kOutputDiffers;
    Op op;
    op.kind = OpKind::kPad;
    const int nhwc[4] = {0, 2, 3, 1};
    for (int a : nhwc) {
        op.pre.push_back(a == axis ? static_cast<size_t>(before) : 0);
        op.post.push_back(a == axis ? static_cast<size_t>(after) : 0);
    }
    op.pad_value = value;
    op.inputs = {b.Head(n.input(computed))};
    if (x[axis] + before + after != (*y)[axis]) return kOutputDiffers;
    op.output = b.AddOutput(n, *y);
    b.Push(op);
    return "";
}

std::string TailConcat(TailNode& t, const onnx::NodeProto& n) {
    if (!t.Floats()) return kNotFloat;
    const int rank = static_cast<int>(t.dims(0).size());
    int64_t axis = Attr(n, "axis") ? Attr(n, "axis")->i() : 1;
    if (axis < 0) axis += rank;
    if (axis < 0 || axis >= rank) return "axis out of range";
    Dims& out = t.out_dims;
    out = t.dims(0);
    out[static_cast<size_t>(axis)] = 0;
    std::vector<size_t> inner;  // elements per outer index, per input
    for (size_t i = 0; i < t.in.size(); ++i) {
        const Dims& d = t.dims(static_cast<int>(i));
        if (static_cast<int>(d.size()) != rank) return "inputs of different ranks";
        for (int k = 0; k < rank; ++k)
            if (k != axis && d[static_cast<size_t>(k)] != out[static_cast<size_t>(k)])
                return "the inputs' sides differ";
        out[static_cast<size_t>(axis)] += d[static_cast<size_t>(axis)];
        inner.push_back(static_cast<size_t>(ElementCount(Dims(d.begin() + axis, d.end()))));
    }
    const size_t outer = static_cast<size_t>(ElementCount(Dims(out.begin(), out.begin() + axis)));
    const std::vector<int> in = t.in;
    const int y = t.y;
    t.run = [in, inner, outer, y](std::vector<TailTensor>& v) {
        float* dst = v[size_t(y)].mutable_data();
        for (size_t o = 0; o < outer; ++o)
            for (size_t i = 0; i < in.size(); ++i) {
                std::memcpy(dst, v[size_t(in[i])].data() + o * inner[i], inner[i] * sizeof(float));
                dst += inner[i];
            }
    };
    return "";
}

// Split, and Softmax and LogSoftmax with their default of the last axis.
template <int64_t kDefaultAxis>
std::string AxisRanks(const AdmissionContext&, const onnx::NodeProto& n, const Ranks& in, size_t*) {
    return AxisOk(AttrInt(n, "axis", kDefaultAxis), in[0]) ? "" : "axis out of range";
}

std::string SplitAttributes(const AdmissionContext& c, const onnx::NodeProto& n) {
    Dims split;
    if (!c.IntsFrom(n, "split", 1, &split) || !AllIn(split, 1, kMaxTensorElements))
        return "split sizes must be positive constants";
    return "";
}

std::string SliceRanks(const AdmissionContext& c, const onnx::NodeProto& n, const Ranks& in,
                       size_t*) {
    Dims axes;
    if (!c.IntsFrom(n, "axes", 3, &axes)) return "axes must be constants";
    for (int64_t a : axes)
        if (!AxisOk(a, in[0])) return "axis out of range";
    return "";
}

std::string SliceAttributes(const AdmissionContext& c, const onnx::NodeProto& n) {
    Dims starts, ends, steps;
    if (!c.IntsFrom(n, "starts", 1, &starts) || !c.IntsFrom(n, "ends", 2, &ends) ||
        !c.IntsFrom(n, "steps", 4, &steps) || starts.empty() || starts.size() != ends.size())
        return "starts and ends must be constants of one length";
    return AllIn(steps, 1, 1) ? "" : "only unit steps are admitted";
}

std::string TailSlice(TailNode& t, const onnx::NodeProto& n) {
    if (!t.Floats(1)) return kNotFloat;
    const Dims& d = t.dims(0);
    const int64_t rank = static_cast<int64_t>(d.size());
    if (rank == 0) return "a scalar input";
    Dims starts, ends, axes, steps;
    if (t.opset < 10) {
        if (!Attr(n, "starts") || !Attr(n, "ends")) return "starts or ends missing";
        starts = AttrInts(n, "starts");
        ends = AttrInts(n, "ends");
        axes = AttrInts(n, "axes");
    } else if (!t.Ints(1, &starts) || !t.Ints(2, &ends) ||
               (n.input_size() > 3 && t.in[3] >= 0 && !t.Ints(3, &axes)) ||
               (n.input_size() > 4 && t.in[4] >= 0 && !t.Ints(4, &steps))) {
        return "starts, ends, axes or steps are not integer constants";
    }
    if (axes.empty())
        for (size_t i = 0; i < starts.size(); ++i) axes.push_back(static_cast<int64_t>(i));
    if (starts.size() != ends.size() || axes.size() != starts.size())
        return "starts, ends and axes of different lengths";
    for (int64_t s : steps)
        if (s != 1) return "a step other than 1";
    Dims begin(d.size(), 0);
    Dims& out = t.out_dims;
    out = d;
    for (size_t i = 0; i < axes.size(); ++i) {
        int64_t a = axes[i] < 0 ? axes[i] + rank : axes[i];
        if (a < 0 || a >= rank) return "axis out of range";
        const int64_t side = d[static_cast<size_t>(a)];
        auto clamp = [side](int64_t v) {
            if (v < 0) v += side;
            return std::max<int64_t>(0, std::min(v, side));
        };
        const int64_t b = clamp(starts[i]), e = clamp(ends[i]);
        if (e <= b) return "an empty slice";  // an empty tensor is no row
        begin[static_cast<size_t>(a)] = b;
        out[static_cast<size_t>(a)] = e - b;
    }
    // Copy runs of the innermost dim, one per index of the outer dims.
    Dims stride(d.size(), 1);
    for (size_t i = d.size() - 1; i-- > 0;) stride[i] = stride[i + 1] * d[i + 1];
    std::vector<uint32_t> starts_of;  // source offset of each run
    const Dims outer(out.begin(), out.end() - 1);
    Dims index(outer.size(), 0);
    const int64_t runs = ElementCount(outer);
    for (int64_t k = 0; k < runs; ++k) {
        int64_t off = begin.back();
        for (size_t i = 0; i < outer.size(); ++i) off += (index[i] + begin[i]) * stride[i];
        starts_of.push_back(static_cast<uint32_t>(off));
        for (size_t i = outer.size(); i-- > 0;) {
            if (++index[i] < outer[i]) break;
            index[i] = 0;
        }
    }
    const size_t run_length = static_cast<size_t>(out.back());
    const int x = t.in[0], y = t.y;
    t.run = [x, y, starts_of, run_length](std::vector<TailTensor>& v) {
        const float* src = v[size_t(x)].data();
        float* dst = v[size_t(y)].mutable_data();
        for (uint32_t s : starts_of) {
            std::memcpy(dst, src + s, run_length * sizeof(float));
            dst += run_length;
        }
    };
    return "";
}

// ---------------------------------------------------------------------------------------
// Constant, ConstantOfShape.

std::string ConstantOfShapeRanks(const AdmissionContext& c, const onnx::NodeProto& n, const Ranks&,
                                 size_t* out) {
    Dims shape;
    const auto* t = c.Const(n, 0);
    if (!t || !ReadInts(*t, &shape) || shape.size() > 6)
        return "the shape must be a constant of up to 6 values";
    *out = shape.size();
    return "";
}

std::string ConstantOfShapeAttributes(const AdmissionContext&, const onnx::NodeProto& n) {
    const auto* value = Attr(n, "value");
    if (value && (!value->has_t() || value->t().data_type() != onnx::TensorProto::FLOAT))
        return "the value must be a float";
    return "";
}

// ---------------------------------------------------------------------------------------
// OpenCV DNN's column: each construct OpenCV 4.6 computes otherwise than ONNX means it,
// rewritten into nodes it computes right. What it cannot run at all fails its first forward,
// which the kernel runs when it creates an instance on OpenCV.

using lowering::OpenCvGraph;

void RemoveAttribute(onnx::NodeProto* n, const char* name) {
    auto* attrs = n->mutable_attribute();
    for (int i = attrs->size() - 1; i >= 0; --i)
        if (attrs->Get(i).name() == name) attrs->DeleteSubrange(i, 1);
}

void SetInts(onnx::NodeProto* n, const char* name, const Dims& values) {
    RemoveAttribute(n, name);
    onnx::AttributeProto* a = n->add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::INTS);
    for (int64_t v : values) a->add_ints(v);
}

// dims right-aligned to rank, ones before them.
Dims Aligned(const Dims& dims, size_t rank) {
    Dims d(rank - std::min(rank, dims.size()), 1);
    d.insert(d.end(), dims.begin(), dims.end());
    return d;
}

// values of dims broadcast to out as ONNX does; false when they do not broadcast.
bool BroadcastTo(const std::vector<float>& values, const Dims& dims, const Dims& out,
                 std::vector<float>* result) {
    if (dims.size() > out.size() || ElementCount(dims) != static_cast<int64_t>(values.size()))
        return false;
    const Dims d = Aligned(dims, out.size());
    for (size_t k = 0; k < out.size(); ++k)
        if (d[k] != out[k] && d[k] != 1) return false;
    const int64_t count = ElementCount(out);
    if (count <= 0 || count > kMaxTensorElements) return false;
    result->resize(static_cast<size_t>(count));
    std::vector<int64_t> index(out.size(), 0);
    for (int64_t i = 0; i < count; ++i) {
        int64_t from = 0;
        for (size_t k = 0; k < out.size(); ++k) from = from * d[k] + (d[k] == 1 ? 0 : index[k]);
        (*result)[static_cast<size_t>(i)] = values[static_cast<size_t>(from)];
        for (size_t k = out.size(); k-- > 0;) {
            if (++index[k] < out[k]) break;
            index[k] = 0;
        }
    }
    return true;
}

// The constant operand name as a constant of the output's dims, for OpenCV to read
// element for element.
std::string Expanded(OpenCvGraph& g, const std::string& name, const Dims& out,
                     bool negate = false) {
    const Dims* d = g.Shape(name);
    std::vector<float> values, full;
    if (!d || !g.Floats(name, &values) || !BroadcastTo(values, *d, out, &full)) return "";
    if (negate)
        for (float& v : full) v = -v;
    return g.AddConstant(name + "_expanded", out, std::move(full));
}

// A convolution's window as its weights' shape gives it; empty when that is not known.
Dims WeightsKernel(const OpenCvGraph& g, const onnx::NodeProto& n) {
    const Dims* w = n.input_size() > 1 ? g.Shape(n.input(1)) : nullptr;
    if (!w || w->size() != 4) return {};
    return {(*w)[2], (*w)[3]};
}

// The kernel_shape that ONNX lets the weights imply and OpenCV's importer needs; empty when it
// is given or the weights' shape is not known.
Dims ImpliedKernel(const onnx::NodeProto& n, const Dims& weights) {
    return Attr(n, "kernel_shape") ? Dims{} : weights;
}

// SAME pads as explicit ones (OpenCV pads SAME_LOWER as if it were SAME_UPPER), and a
// convolution's kernel_shape spelled out.
std::string OpenCvWindow(OpenCvGraph& g, const onnx::NodeProto& n) {
    const std::string auto_pad = AttrString(n, "auto_pad", "NOTSET");
    const bool same = auto_pad == "SAME_UPPER" || auto_pad == "SAME_LOWER";
    const Dims weights = n.op_type() == "Conv" ? WeightsKernel(g, n) : Dims{};
    const Dims implied = ImpliedKernel(n, weights);
    if (!same && implied.empty()) {
        g.Keep(n);
        return "";
    }
    Window win;
    if (same) {
        const Dims* x = n.input_size() > 0 ? g.Shape(n.input(0)) : nullptr;
        const Dims kernel = !weights.empty() ? weights : AttrInts(n, "kernel_shape");
        if (!x || x->size() != 4 || kernel.size() != 2 ||
            !ResolveWindow(n, kernel[0], kernel[1], (*x)[2], (*x)[3], &win))
            return "its SAME pads cannot be resolved";
    }
    onnx::NodeProto* c = g.Copy(n);
    if (!implied.empty()) SetInts(c, "kernel_shape", implied);
    if (same) {
        RemoveAttribute(c, "auto_pad");
        SetInts(c, "pads", {win.top, win.left, win.bottom, win.right});
    }
    return "";
}

// Dilations folded into the weights: OpenCV transposes an undilated filter whatever the
// dilations say, and zeros between the taps give the same sums. Pads that differ from side to
// side, which OpenCV's importer refuses, become a slice of the unpadded output.
std::string OpenCvConvTranspose(OpenCvGraph& g, const onnx::NodeProto& n) {
    const Dims d = AttrInts(n, "dilations", {1, 1});
    const Dims pads = AttrInts(n, "pads", {0, 0, 0, 0});
    const bool dilated = d.size() == 2 && (d[0] != 1 || d[1] != 1);
    const bool asymmetric = pads.size() == 4 && (pads[0] != pads[2] || pads[1] != pads[3]) &&
                            AttrString(n, "auto_pad", "NOTSET") == "NOTSET";
    const Dims implied = ImpliedKernel(n, WeightsKernel(g, n));
    if (!dilated && !asymmetric && implied.empty()) {
        g.Keep(n);
        return "";
    }
    onnx::NodeProto* c = g.Copy(n);
    if (!implied.empty()) SetInts(c, "kernel_shape", implied);
    if (asymmetric) {  // OpenCV pads both sides alike: the whole output, then the pads cut off
        const Dims* y = g.Shape(n.output(0));
        if (!y || y->size() != 4) return "the output has no known shape";
        const std::string full = g.NewName(n.output(0) + "_uncut");
        RemoveAttribute(c, "pads");
        c->set_output(0, full);
        c->set_name(full);
        g.Add("Slice",
              {full, g.AddInts(full + "_starts", {pads[0], pads[1]}),
               g.AddInts(full + "_ends", {pads[0] + (*y)[2], pads[1] + (*y)[3]}),
               g.AddInts(full + "_axes", {2, 3})},
              n.output(0));
    }
    if (!dilated) return "";
    const Dims* wd = n.input_size() > 1 ? g.Shape(n.input(1)) : nullptr;
    std::vector<float> w;
    if (!wd || wd->size() != 4 || !g.Floats(n.input(1), &w) ||
        ElementCount(*wd) != static_cast<int64_t>(w.size()))
        return "the weights are not a float constant";
    const Dims& s = *wd;
    const Dims spread_dims = {s[0], s[1], d[0] * (s[2] - 1) + 1, d[1] * (s[3] - 1) + 1};
    const int64_t count = ElementCount(spread_dims);
    if (count <= 0 || count > kMaxTensorElements)
        return "the weights are too large with their dilations spelled out";
    std::vector<float> spread(static_cast<size_t>(count), 0.0f);
    for (int64_t o = 0; o < s[0] * s[1]; ++o)
        for (int64_t i = 0; i < s[2]; ++i)
            for (int64_t j = 0; j < s[3]; ++j)
                spread[static_cast<size_t>((o * spread_dims[2] + i * d[0]) * spread_dims[3] +
                                           j * d[1])] =
                    w[static_cast<size_t>((o * s[2] + i) * s[3] + j)];
    c->set_input(1, g.AddConstant(n.input(1) + "_dilated", spread_dims, std::move(spread)));
    RemoveAttribute(c, "dilations");
    SetInts(c, "kernel_shape", {spread_dims[2], spread_dims[3]});
    return "";
}

// Whether OpenCV broadcasts a constant of dims into out as ONNX does: one value, the
// output's own dims, or one value per channel.
bool OpenCvBroadcasts(const Dims& dims, const Dims& out) {
    if (ElementCount(dims) == 1) return true;
    if (dims.size() > out.size()) return false;
    const Dims d = Aligned(dims, out.size());
    if (d == out) return true;
    Dims channel(out.size(), 1);
    if (out.size() == 4) channel[1] = out[1];
    return out.size() == 4 && d == channel;
}

// A computed tensor repeated count times along axis: copies of copies (Concat), as many as
// count has binary digits, then the ones it sums to.
std::string Repeated(OpenCvGraph& g, const std::string& name, int64_t axis, int64_t count) {
    auto concat = [&](const std::vector<std::string>& parts) {
        const std::string y = g.NewName(name + "_repeated");
        onnx::NodeProto* c = g.Add("Concat", parts, y);
        onnx::AttributeProto* a = c->add_attribute();
        a->set_name("axis");
        a->set_type(onnx::AttributeProto::INT);
        a->set_i(axis);
        return y;
    };
    std::vector<std::string> powers = {name};  // powers[k]: 2^k copies
    while (count >> powers.size()) powers.push_back(concat({powers.back(), powers.back()}));
    std::vector<std::string> parts;
    for (size_t k = 0; k < powers.size(); ++k)
        if (count >> k & 1) parts.push_back(powers[k]);
    return parts.size() == 1 ? parts[0] : concat(parts);
}

// Two operands: a constant OpenCV would broadcast its own way is spelled out to the output's
// dims; a computed operand broadcast along a row or a column, which OpenCV 4.6 gets wrong or
// refuses, is repeated to the output's dims (one per channel it broadcasts right); a computed
// operand that broadcasts goes second; a computed divisor becomes a product with
// its reciprocal (OpenCV divides the other way round when the dividend is a constant or broadcast),
// and a constant divisor is copied for its Div alone; Max and Min with a constant, which OpenCV's
// importer refuses, become a difference through Relu.
std::string OpenCvBinary(OpenCvGraph& g, const onnx::NodeProto& n) {
    const Dims* out = n.output_size() == 1 ? g.Shape(n.output(0)) : nullptr;
    if (n.input_size() != 2 || !out) {
        g.Keep(n);
        return "";
    }
    const std::string& op = n.op_type();
    const bool extreme = op == "Max" || op == "Min";
    std::string in[2] = {n.input(0), n.input(1)};
    bool changed = false;
    for (std::string& name : in) {
        const Dims* d = g.Shape(name);
        if (!g.IsConstant(name) || !d || (!extreme && OpenCvBroadcasts(*d, *out)) ||
            (extreme && *d == *out))
            continue;
        name = Expanded(g, name, *out);
        if (name.empty()) return "a constant operand does not broadcast to the result";
        changed = true;
    }
    const bool constant[2] = {g.IsConstant(in[0]), g.IsConstant(in[1])};
    const Dims* dims[2] = {g.Shape(in[0]), g.Shape(in[1])};
    for (int i = 0; i < 2; ++i) {
        const Dims* d = dims[i];
        if (constant[i] || !d || d->size() != out->size() || out->size() < 3) continue;
        bool spatial = false, per_channel = true;
        for (size_t axis = 2; axis < out->size(); ++axis) {
            spatial = spatial || (*d)[axis] != (*out)[axis];
            per_channel = per_channel && (*d)[axis] == 1;
        }
        if (!spatial || per_channel) continue;
        Dims grown = *d;
        for (size_t axis = 2; axis < out->size(); ++axis)
            if ((*d)[axis] == 1 && (*out)[axis] > 1) {
                in[i] = Repeated(g, in[i], static_cast<int64_t>(axis), (*out)[axis]);
                grown[axis] = (*out)[axis];
            }
        if (grown == *out) dims[i] = out;
        changed = true;
    }
    const std::string& y = n.output(0);
    const Dims* first = dims[0];
    const Dims* second = dims[1];
    // OpenCV broadcasts a computed operand only when it comes second.
    if (!constant[0] && !constant[1] && first && second && *first != *out && *second == *out) {
        if (op == "Sub") {  // b - a as (-a) + b
            const std::string neg = g.NewName(y + "_negated");
            g.Add("Neg", {in[1]}, neg);
            g.Add("Add", {neg, in[0]}, y);
            return "";
        }
        if (op != "Div") {
            std::swap(in[0], in[1]);
            changed = true;
        }
    }
    if (op == "Div" && !constant[1] && (constant[0] || !first || *first != *out)) {
        const std::string r = g.NewName(y + "_reciprocal");
        g.Add("Reciprocal", {in[1]}, r);
        g.Add("Mul", {r, in[0]}, y);  // the full operand first, as OpenCV broadcasts
        return "";
    }
    if (op == "Div" && constant[1] && !constant[0] && in[1] == n.input(1)) {
        // OpenCV's importer turns a constant divisor into its reciprocal in place, so every
        // later reader of that constant would get 1/c: this Div gets a copy of its own.
        std::vector<float> values;
        const Dims* d = g.Shape(in[1]);
        if (!d || !g.Floats(in[1], &values)) return "the divisor's values are not known";
        in[1] = g.AddConstant(in[1] + "_divisor", *d, std::move(values));
        changed = true;
    }
    if (extreme && (constant[0] || constant[1])) {
        // max(x, c) = x + relu(c - x); min(x, c) = x - relu(x - c)
        const std::string& x = constant[0] ? in[1] : in[0];
        const std::string& c = constant[0] ? in[0] : in[1];
        const std::string diff = g.NewName(y + "_difference"), relu = g.NewName(y + "_relu");
        if (op == "Max")
            g.Add("Sub", {c, x}, diff);
        else
            g.Add("Sub", {x, c}, diff);
        g.Add("Relu", {diff}, relu);
        g.Add(op == "Max" ? "Add" : "Sub", {x, relu}, y);
        return "";
    }
    if (!changed) {
        g.Keep(n);
        return "";
    }
    onnx::NodeProto* c = g.Copy(n);
    c->set_input(0, in[0]);
    c->set_input(1, in[1]);
    return "";
}

// A Concat of one operand as an Identity: OpenCV's one-input Concat does not give its input.
std::string OpenCvConcat(OpenCvGraph& g, const onnx::NodeProto& n) {
    if (n.input_size() != 1 || n.output_size() != 1) {
        g.Keep(n);
        return "";
    }
    g.Add("Identity", {n.input(0)}, n.output(0));
    return "";
}

// A slope that is not one value per channel as relu(x) - relu(-x) * slope: OpenCV applies
// any slope per channel, from its first values.
std::string OpenCvPRelu(OpenCvGraph& g, const onnx::NodeProto& n) {
    const Dims* x = n.input_size() == 2 ? g.Shape(n.input(0)) : nullptr;
    const Dims* s = x ? g.Shape(n.input(1)) : nullptr;
    if (!x || !s || x->size() < 2) return "the slope or the input has no known shape";
    const Dims d = Aligned(*s, x->size());
    Dims channel(x->size(), 1);
    channel[1] = (*x)[1];
    const bool per_channel = ElementCount(*s) == 1 || d == channel ||
                             (x->size() == 4 && *s == Dims{(*x)[1]} && (*x)[1] != (*x)[3]);
    if (per_channel) {
        g.Keep(n);
        return "";
    }
    const std::string negated = Expanded(g, n.input(1), *x, true);
    if (negated.empty()) return "the slope does not broadcast to the input";
    const std::string& y = n.output(0);
    const std::string neg = g.NewName(y + "_negated"), low = g.NewName(y + "_below"),
                      high = g.NewName(y + "_above"), scaled = g.NewName(y + "_scaled");
    g.Add("Neg", {n.input(0)}, neg);
    g.Add("Relu", {neg}, low);
    g.Add("Relu", {n.input(0)}, high);
    g.Add("Mul", {low, negated}, scaled);
    g.Add("Add", {high, scaled}, y);
    return "";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// int8 on XNNPACK.

using lowering::Int8Node;

// Operators of the given kinds alone (none, for a clamp folded into the operator before).
template <OpKind... kKinds>
std::string Int8Kinds(Int8Node& q, const onnx::NodeProto&) {
    for (const Op* op : q.ops)
        if (((op->kind != kKinds) && ...)) return "XNNPACK has no int8 form of this lowering";
    return "";
}

// Convolutions and depthwise convolutions; a transposed one stays in float.
std::string Int8Conv(Int8Node& q, const onnx::NodeProto& n) {
    return Int8Kinds<OpKind::kConvolution, OpKind::kDepthwiseConvolution>(q, n);
}

// Nearest upsampling: a copy of int8 codes (the runner's own, XNNPACK has no int8 form), of an
// input an int8 operator writes.
std::string Int8Nearest(Int8Node& q, const onnx::NodeProto&) {
    for (const Op* op : q.ops) {
        if (!op->nearest) return "XNNPACK has no int8 form of this lowering";
        const auto writer = std::find_if(q.plan.ops.begin(), q.plan.ops.end(),
                                         [&](const Op& w) { return w.output == op->inputs[0]; });
        if (writer == q.plan.ops.end() || !writer->int8) return "its input is computed in float";
    }
    return "";
}

// Elementwise arithmetic of two computed tensors: a constant operand would need a
// quantisation of its own, which the calibration does not measure.
std::string Int8Binary(Int8Node& q, const onnx::NodeProto& n) {
    const std::string why = Int8Kinds<OpKind::kAdd, OpKind::kSubtract, OpKind::kMultiply>(q, n);
    if (!why.empty()) return why;
    for (const Op* op : q.ops)
        for (uint32_t in : op->inputs)
            if (!q.Computed(in)) return "a constant operand stays in float";
    return "";
}

// ---------------------------------------------------------------------------------------
// The table, by op_type.

const std::vector<Operator>& Table() {
    static const std::vector<Operator> table = {
        // op_type, ranks, attributes, shapes, XNNPACK body, native tail, OpenCV DNN, int8
        {"Abs", SameRank, nullptr, nullptr, OnBody<LowerPlain<OpKind::kAbs>>, TailUnary<AbsOf>,
         nullptr, nullptr},
        {"Add", BroadcastRanks, nullptr, BroadcastShapes, LowerBinary, TailBinary<AddOf>,
         OpenCvBinary, Int8Binary},
        {"AveragePool", FourD, PoolAttributes, nullptr, OnBody<LowerPool>, nullptr, OpenCvWindow,
         nullptr},
        {"BatchNormalization", BatchNormRanks, BatchNormAttributes, BatchNormShapes,
         OnBody<LowerBatchNorm>, nullptr, nullptr, nullptr},
        {"Clip", SameRank, ClipAttributes, nullptr, OnBody<LowerClip>, nullptr, nullptr,
         Int8Kinds<OpKind::kClamp>},
        {"Concat", ConcatRanks, nullptr, nullptr, LowerConcat, TailConcat, OpenCvConcat,
         Int8Kinds<OpKind::kPad>},
        {"Constant", nullptr, nullptr, nullptr, ReadConstant, nullptr, nullptr, nullptr},
        {"ConstantOfShape", ConstantOfShapeRanks, ConstantOfShapeAttributes, nullptr, ReadConstant,
         nullptr, nullptr, nullptr},
        {"Conv", ConvRanks, ConvAttributes, ConvShapes, OnBody<LowerConv>, nullptr, OpenCvWindow,
         Int8Conv},
        {"ConvTranspose", ConvRanks, ConvAttributes, ConvShapes, OnBody<LowerConvTranspose>,
         nullptr, OpenCvConvTranspose, nullptr},
        {"Div", BroadcastRanks, nullptr, BroadcastShapes, LowerBinary, TailBinary<DivOf>,
         OpenCvBinary, nullptr},
        {"Dropout", SameRank, DropoutAttributes, nullptr, OnBody<LowerIdentity>, nullptr, nullptr,
         nullptr},
        {"Elu", SameRank, FiniteAttributes, nullptr, OnBody<LowerElu>, nullptr, nullptr, nullptr},
        {"Exp", SameRank, nullptr, nullptr, nullptr, TailUnary<ExpOf>, nullptr, nullptr},
        {"Flatten", FlattenRanks, nullptr, nullptr, nullptr, TailFlatten, nullptr, nullptr},
        {"Gemm", GemmRanks, GemmAttributes, GemmShapes, nullptr, nullptr, nullptr, nullptr},
        {"GlobalAveragePool", FourD, nullptr, nullptr, OnBody<LowerGlobalAveragePool>, nullptr,
         nullptr, Int8Kinds<OpKind::kGlobalAveragePool>},
        {"GlobalMaxPool", FourD, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"HardSigmoid", SameRank, FiniteAttributes, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Identity", SameRank, nullptr, nullptr, OnBody<LowerIdentity>, TailIdentity, nullptr,
         nullptr},
        {"LeakyRelu", SameRank, FiniteAttributes, nullptr, OnBody<LowerLeakyRelu>, nullptr, nullptr,
         nullptr},
        {"Log", SameRank, nullptr, nullptr, nullptr, TailUnary<LogOf>, nullptr, nullptr},
        {"LogSoftmax", AxisRanks<-1>, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"MatMul", MatMulRanks, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Max", BroadcastRanks, nullptr, BroadcastShapes, LowerBinary, nullptr, OpenCvBinary,
         nullptr},
        {"MaxPool", FourD, PoolAttributes, nullptr, OnBody<LowerPool>, nullptr, OpenCvWindow,
         Int8Kinds<OpKind::kMaxPool>},
        {"Min", BroadcastRanks, nullptr, BroadcastShapes, LowerBinary, nullptr, OpenCvBinary,
         nullptr},
        {"Mul", BroadcastRanks, nullptr, BroadcastShapes, LowerBinary, TailBinary<MulOf>,
         OpenCvBinary, Int8Binary},
        {"Neg", SameRank, nullptr, nullptr, OnBody<LowerPlain<OpKind::kNegate>>, TailUnary<NegOf>,
         nullptr, nullptr},
        {"PRelu", SameRank, PReluAttributes, nullptr, OnBody<LowerPRelu>, nullptr, OpenCvPRelu,
         nullptr},
        {"Pad", PadRanks, PadAttributes, PadShapes, OnBody<LowerPad>, nullptr, nullptr,
         Int8Kinds<OpKind::kPad>},
        {"ReduceMax", ReduceRanks, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"ReduceMean", ReduceRanks, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Relu", SameRank, nullptr, nullptr, OnBody<LowerRelu>, TailUnary<ReluOf>, nullptr,
         Int8Kinds<OpKind::kClamp>},
        {"Reshape", ReshapeRanks, ReshapeAttributes, nullptr, nullptr, TailReshape, nullptr,
         nullptr},
        {"Resize", FourD, ResizeAttributes, nullptr, OnBody<LowerResize>, nullptr, nullptr,
         Int8Nearest},
        {"Sigmoid", SameRank, nullptr, nullptr, OnBody<LowerPlain<OpKind::kSigmoid>>,
         TailUnary<SigmoidOf>, nullptr, nullptr},
        {"Slice", SliceRanks, SliceAttributes, nullptr, nullptr, TailSlice, nullptr, nullptr},
        {"Softmax", AxisRanks<-1>, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Softplus", SameRank, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Split", AxisRanks<0>, SplitAttributes, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Sqrt", SameRank, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Squeeze", SqueezeRanks, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Sub", BroadcastRanks, nullptr, BroadcastShapes, LowerBinary, TailBinary<SubOf>,
         OpenCvBinary, Int8Binary},
        {"Tanh", SameRank, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Transpose", TransposeRanks, nullptr, nullptr, LowerTranspose, nullptr, nullptr, nullptr},
        {"Unsqueeze", UnsqueezeRanks, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"Upsample", FourD, ResizeAttributes, nullptr, OnBody<LowerResize>, nullptr, nullptr,
         Int8Nearest},
    };
    return table;
}

const Operator* Find(const std::string& op_type) {
    const std::vector<Operator>& table = Table();
    auto it =
        std::lower_bound(table.begin(), table.end(), op_type,
                         [](const Operator& e, const std::string& t) { return e.op_type < t; });
    return it != table.end() && it->op_type == op_type ? &*it : nullptr;
}

std::string NodeLabel(const onnx::NodeProto& n, int index) {
    // An unnamed node is known by its index and type alone.
    const std::string name = n.name().empty() ? "" : " '" + n.name() + "'";
    return "node " + std::to_string(index) + name + " (" + n.op_type() + ")";
}

const Dims* AdmissionContext::Shape(const onnx::NodeProto& n, int i) const {
    if (i >= n.input_size() || n.input(i).empty()) return nullptr;
    auto it = shapes.find(n.input(i));
    return it == shapes.end() ? nullptr : &it->second;
}

const onnx::TensorProto* AdmissionContext::Const(const onnx::NodeProto& n, int i) const {
    if (i >= n.input_size() || n.input(i).empty()) return nullptr;
    auto it = constants.find(n.input(i));
    return it == constants.end() ? nullptr : it->second;
}

bool AdmissionContext::IntsFrom(const onnx::NodeProto& n, const char* name, int i,
                                Dims* out) const {
    if (Attr(n, name)) {
        *out = AttrInts(n, name);
        return true;
    }
    if (i >= n.input_size() || n.input(i).empty()) {
        out->clear();
        return true;
    }
    const auto* t = Const(n, i);
    return t && ReadInts(*t, out);
}

}  // namespace ops
}  // namespace nerova
