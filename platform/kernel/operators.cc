#include "operators.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "graph_check.h"
#include "onnx_attrs.h"

namespace nerova {
namespace ops {

namespace {

// ---------------------------------------------------------------------------------------
// Shared admission rules.

using graph_check::kMaxTensorElements;
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

// ---------------------------------------------------------------------------------------
// Conv, ConvTranspose.

std::string ConvRanks(const AdmissionContext&, const onnx::NodeProto&, const Ranks& in, size_t*) {
    if (in[0] != 4) return "only 4-D input is admitted";
    return in.size() >= 2 && in[1] == 4 ? "" : "weights must be 4-D";
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

std::string TransposeRanks(const AdmissionContext&, const onnx::NodeProto& n, const Ranks& in,
                           size_t*) {
    Dims perm = AttrInts(n, "perm");
    std::sort(perm.begin(), perm.end());
    for (size_t i = 0; i < perm.size(); ++i)
        if (perm.size() != in[0] || perm[i] != static_cast<int64_t>(i))
            return "perm is not a permutation of the axes";
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

}  // namespace

// ---------------------------------------------------------------------------------------
// The table, by op_type.

const std::vector<Operator>& Table() {
    static const std::vector<Operator> table = {
        // op_type, ranks, attributes, shapes, XNNPACK body, native tail
        {"Abs", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"Add", BroadcastRanks, nullptr, BroadcastShapes, nullptr, nullptr},
        {"AveragePool", FourD, PoolAttributes, nullptr, nullptr, nullptr},
        {"BatchNormalization", BatchNormRanks, BatchNormAttributes, BatchNormShapes, nullptr,
         nullptr},
        {"Clip", SameRank, ClipAttributes, nullptr, nullptr, nullptr},
        {"Concat", ConcatRanks, nullptr, nullptr, nullptr, nullptr},
        {"Constant", nullptr, nullptr, nullptr, nullptr, nullptr},
        {"ConstantOfShape", ConstantOfShapeRanks, ConstantOfShapeAttributes, nullptr, nullptr,
         nullptr},
        {"Conv", ConvRanks, ConvAttributes, ConvShapes, nullptr, nullptr},
        {"ConvTranspose", ConvRanks, ConvAttributes, ConvShapes, nullptr, nullptr},
        {"Div", BroadcastRanks, nullptr, BroadcastShapes, nullptr, nullptr},
        {"Dropout", SameRank, DropoutAttributes, nullptr, nullptr, nullptr},
        {"Elu", SameRank, FiniteAttributes, nullptr, nullptr, nullptr},
        {"Exp", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"Flatten", FlattenRanks, nullptr, nullptr, nullptr, nullptr},
        {"Gemm", GemmRanks, GemmAttributes, GemmShapes, nullptr, nullptr},
        {"GlobalAveragePool", FourD, nullptr, nullptr, nullptr, nullptr},
        {"GlobalMaxPool", FourD, nullptr, nullptr, nullptr, nullptr},
        {"HardSigmoid", SameRank, FiniteAttributes, nullptr, nullptr, nullptr},
        {"Identity", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"LeakyRelu", SameRank, FiniteAttributes, nullptr, nullptr, nullptr},
        {"Log", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"LogSoftmax", AxisRanks<-1>, nullptr, nullptr, nullptr, nullptr},
        {"MatMul", MatMulRanks, nullptr, nullptr, nullptr, nullptr},
        {"Max", BroadcastRanks, nullptr, BroadcastShapes, nullptr, nullptr},
        {"MaxPool", FourD, PoolAttributes, nullptr, nullptr, nullptr},
        {"Min", BroadcastRanks, nullptr, BroadcastShapes, nullptr, nullptr},
        {"Mul", BroadcastRanks, nullptr, BroadcastShapes, nullptr, nullptr},
        {"Neg", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"PRelu", SameRank, PReluAttributes, nullptr, nullptr, nullptr},
        {"Pad", PadRanks, PadAttributes, PadShapes, nullptr, nullptr},
        {"ReduceMax", ReduceRanks, nullptr, nullptr, nullptr, nullptr},
        {"ReduceMean", ReduceRanks, nullptr, nullptr, nullptr, nullptr},
        {"Relu", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"Reshape", ReshapeRanks, ReshapeAttributes, nullptr, nullptr, nullptr},
        {"Resize", FourD, ResizeAttributes, nullptr, nullptr, nullptr},
        {"Sigmoid", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"Slice", SliceRanks, SliceAttributes, nullptr, nullptr, nullptr},
        {"Softmax", AxisRanks<-1>, nullptr, nullptr, nullptr, nullptr},
        {"Softplus", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"Split", AxisRanks<0>, SplitAttributes, nullptr, nullptr, nullptr},
        {"Sqrt", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"Squeeze", SqueezeRanks, nullptr, nullptr, nullptr, nullptr},
        {"Sub", BroadcastRanks, nullptr, BroadcastShapes, nullptr, nullptr},
        {"Tanh", SameRank, nullptr, nullptr, nullptr, nullptr},
        {"Transpose", TransposeRanks, nullptr, nullptr, nullptr, nullptr},
        {"Unsqueeze", UnsqueezeRanks, nullptr, nullptr, nullptr, nullptr},
        {"Upsample", FourD, ResizeAttributes, nullptr, nullptr, nullptr},
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
    return "node " + std::to_string(index) + " '" + n.name() + "' (" + n.op_type() + ")";
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
