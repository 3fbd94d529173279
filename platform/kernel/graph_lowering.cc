#include "graph_lowering.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "onnx_attrs.h"

namespace nerova {
namespace lowering {

namespace {

using Dims = std::vector<int64_t>;

// A constant operand: its ONNX dims and its values (one value repeated when uniform).
struct Constant {
    Dims dims;
    std::vector<float> data;
    bool uniform = false;
};

using onnx_attrs::Attr;
using onnx_attrs::AttrFloat;
using onnx_attrs::AttrInt;
using onnx_attrs::AttrInts;
using onnx_attrs::AttrString;
using onnx_attrs::ElementCount;
using onnx_attrs::ReadFloats;
using onnx_attrs::ReadInts;

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

std::vector<size_t> Nhwc(const Dims& nchw) {
    return {static_cast<size_t>(nchw[0]), static_cast<size_t>(nchw[2]),
            static_cast<size_t>(nchw[3]), static_cast<size_t>(nchw[1])};
}

class Lowerer {
  public:
    Lowerer(const onnx::ModelProto& model, Plan* plan)
        : model_(model), g_(model.graph()), plan_(plan) {}

    std::string Run() {
        ReadShapes();
        for (const auto& t : g_.initializer()) initializers_[t.name()] = &t;
        std::vector<const onnx::ValueInfoProto*> inputs;
        for (const auto& in : g_.input())
            if (!initializers_.count(in.name())) inputs.push_back(&in);
        if (inputs.size() != 1) return "the graph has more than one input";
        const std::string& input = inputs[0]->name();
        const Dims* x = Shape(input);
        if (!x || x->size() != 4 || ElementCount(*x) <= 0 ||
            types_[input] != onnx::TensorProto::FLOAT)
            return "the input is not a 4-D float tensor";
        plan_->input_name = input;
        plan_->input_dims.assign(x->begin(), x->end());
        plan_->input = NewValue(Nhwc(*x));
        head_[input] = plan_->input;

        for (const auto& n : g_.node())
            for (const auto& name : n.input()) ++readers_[name];
        for (const auto& out : g_.output()) ++readers_[out.name()];
        std::vector<int> tail;
        for (int i = 0; i < g_.node_size(); ++i) {
            const onnx::NodeProto& n = g_.node(i);
            if (n.op_type() == "Constant" || n.op_type() == "ConstantOfShape") {
                ReadConstantNode(n);
                if (!constants_.count(n.output(0))) tail.push_back(i);
                continue;
            }
            if (LowerNode(n)) {
                ++plan_->lowered_nodes;
                continue;
            }
            if (n.op_type() == "Transpose" && n.input_size() == 1 && head_.count(n.input(0)) &&
                AttrInts(n, "perm") == Dims{0, 2, 3, 1}) {
                views_[n.output(0)] = head_[n.input(0)];
                continue;
            }
            tail.push_back(i);
        }
        if (plan_->ops.empty()) return "no operator of the graph maps onto XNNPACK";

        for (const auto& out : g_.output()) plan_->outputs.push_back(out.name());
        std::set<std::string> tail_reads;
        for (int i : tail)
            for (const auto& in : g_.node(i).input()) tail_reads.insert(in);
        for (const std::string& name : tail_reads) AddBoundary(name, true);
        for (const std::string& name : plan_->outputs) AddBoundary(name, false);
        // Every node after the body: constants the tail reads go with it.
        std::vector<int> kept = tail;
        for (int i = 0; i < g_.node_size(); ++i) {
            const auto& n = g_.node(i);
            if ((n.op_type() == "Constant" || n.op_type() == "ConstantOfShape") &&
                constants_.count(n.output(0)) && tail_reads.count(n.output(0)))
                kept.push_back(i);
        }
        std::sort(kept.begin(), kept.end());
        kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
        plan_->tail_nodes = static_cast<int>(tail.size());
        if (!tail.empty()) return BuildTail(kept, tail_reads);
        return "";
    }

  private:
    void ReadShapes() {
        auto read = [this](const onnx::ValueInfoProto& v) {
            if (!v.type().has_tensor_type()) return;
            const auto& t = v.type().tensor_type();
            types_[v.name()] = t.elem_type();
            if (!t.has_shape()) return;
            Dims dims;
            for (const auto& d : t.shape().dim()) {
                if (!d.has_dim_value()) return;
                dims.push_back(d.dim_value());
            }
            shapes_[v.name()] = dims;
        };
        for (const auto& v : g_.input()) read(v);
        for (const auto& v : g_.value_info()) read(v);
        for (const auto& v : g_.output()) read(v);
        for (const auto& t : g_.initializer()) {
            shapes_[t.name()] = Dims(t.dims().begin(), t.dims().end());
            types_[t.name()] = t.data_type();
        }
    }

    const Dims* Shape(const std::string& name) const {
        auto it = shapes_.find(name);
        return it == shapes_.end() ? nullptr : &it->second;
    }

    uint32_t NewValue(std::vector<size_t> dims, int constant = -1) {
        plan_->values.push_back(Value{std::move(dims), constant});
        return static_cast<uint32_t>(plan_->values.size() - 1);
    }

    uint32_t NewConstant(std::vector<float> data, std::vector<size_t> dims) {
        plan_->constants.push_back(std::move(data));
        return NewValue(std::move(dims), static_cast<int>(plan_->constants.size() - 1));
    }

    void ReadConstantNode(const onnx::NodeProto& n) {
        if (n.output_size() != 1) return;
        if (n.op_type() == "Constant") {
            const auto* value = Attr(n, "value");
            if (value && value->has_t()) constant_nodes_[n.output(0)] = &value->t();
            constants_.insert(n.output(0));
            return;
        }
        // ConstantOfShape: a uniform tensor of a constant shape.
        const onnx::TensorProto* shape = n.input_size() == 1 ? TensorOf(n.input(0)) : nullptr;
        Dims dims;
        if (!shape || !ReadInts(*shape, &dims)) return;
        float v = 0.0f;
        if (const auto* value = Attr(n, "value")) {
            std::vector<float> f;
            if (!value->has_t() || !ReadFloats(value->t(), &f) || f.size() != 1) return;
            v = f[0];
        }
        uniform_[n.output(0)] = Constant{dims, {v}, true};
        constants_.insert(n.output(0));
    }

    const onnx::TensorProto* TensorOf(const std::string& name) const {
        auto it = initializers_.find(name);
        if (it != initializers_.end()) return it->second;
        auto node = constant_nodes_.find(name);
        return node == constant_nodes_.end() ? nullptr : node->second;
    }

    bool IsConstant(const std::string& name) const {
        return initializers_.count(name) || constants_.count(name);
    }

    // A float constant's dims and values (uniform ones unexpanded).
    bool ConstantOf(const std::string& name, Constant* c) const {
        auto u = uniform_.find(name);
        if (u != uniform_.end()) {
            *c = u->second;
            return ElementCount(c->dims) >= 0;
        }
        const onnx::TensorProto* t = TensorOf(name);
        if (!t) return false;
        c->dims.assign(t->dims().begin(), t->dims().end());
        c->uniform = false;
        const int64_t count = ElementCount(c->dims);
        if (count < 0 || static_cast<size_t>(count) > kMaxConstantElements) return false;
        return ReadFloats(*t, &c->data) && c->data.size() == static_cast<size_t>(count);
    }

    // Expands a constant that broadcasts to out (4-D NCHW) into NHWC data with dims that
    // broadcast in XNNPACK's NHWC operators.
    bool BroadcastConstant(const Constant& c, const Dims& out, uint32_t* id) {
        if (c.dims.size() > 4) return false;
        Dims d(4 - c.dims.size(), 1);
        d.insert(d.end(), c.dims.begin(), c.dims.end());
        for (int i = 0; i < 4; ++i)
            if (d[i] != 1 && d[i] != out[i]) return false;
        const int64_t count = ElementCount(d);
        if (count <= 0 || static_cast<size_t>(count) > kMaxConstantElements) return false;
        std::vector<float> data(static_cast<size_t>(count));
        const int64_t N = d[0], C = d[1], H = d[2], W = d[3];
        for (int64_t n = 0; n < N; ++n)
            for (int64_t ch = 0; ch < C; ++ch)
                for (int64_t y = 0; y < H; ++y)
                    for (int64_t x = 0; x < W; ++x) {
                        const int64_t src = ((n * C + ch) * H + y) * W + x;
                        data[static_cast<size_t>(((n * H + y) * W + x) * C + ch)] =
                            c.uniform ? c.data[0] : c.data[static_cast<size_t>(src)];
                    }
        *id = NewConstant(std::move(data), Nhwc(d));
        return true;
    }

    // The node's one output: a 4-D float tensor of the given dims, added to the body.
    uint32_t AddOutput(const onnx::NodeProto& n, const Dims& dims) {
        const uint32_t id = NewValue(Nhwc(dims));
        head_[n.output(0)] = id;
        return id;
    }

    // Whether the node has one output, a 4-D float of exactly the expected dims.
    bool OutputIs(const onnx::NodeProto& n, const Dims& expected) const {
        if (n.output_size() != 1) return false;
        const Dims* y = Shape(n.output(0));
        auto type = types_.find(n.output(0));
        return y && *y == expected && type != types_.end() &&
               type->second == onnx::TensorProto::FLOAT &&
               std::all_of(y->begin(), y->end(), [](int64_t d) { return d > 0; });
    }

    const Dims* HeadShape(const std::string& name) const {
        return head_.count(name) ? Shape(name) : nullptr;
    }

    bool LowerNode(const onnx::NodeProto& n) {
        const std::string& op = n.op_type();
        if (n.input_size() == 0) return false;
        const Dims* x = HeadShape(n.input(0));
        if (op == "Add" || op == "Sub" || op == "Mul" || op == "Div" || op == "Max" || op == "Min")
            return LowerBinary(n);
        if (op == "Concat") return LowerConcat(n);
        if (!x || x->size() != 4) return false;
        for (int i = 1; i < n.input_size(); ++i)
            if (!n.input(i).empty() && !IsConstant(n.input(i))) return false;
        const uint32_t in = head_[n.input(0)];
        if (op == "Identity" || op == "Dropout") {
            if (n.output_size() != 1 || !OutputIs(n, *x)) return false;
            head_[n.output(0)] = in;
            return true;
        }
        if (op == "Conv") return LowerConv(n, *x, in);
        if (op == "ConvTranspose") return LowerConvTranspose(n, *x, in);
        if (op == "Resize" || op == "Upsample") return LowerResize(n, *x, in);
        if (op == "MaxPool" || op == "AveragePool") return LowerPool(n, *x, in);
        if (op == "Pad") return LowerPad(n, *x, in);
        if (op == "BatchNormalization") return LowerBatchNorm(n, *x, in);
        if (op == "PRelu") return LowerPRelu(n, *x, in);
        Op o;
        if (op == "GlobalAveragePool") {
            const Dims y = {(*x)[0], (*x)[1], 1, 1};
            if (!OutputIs(n, y)) return false;
            o.kind = OpKind::kGlobalAveragePool;
            o.inputs = {in};
            o.output = AddOutput(n, y);
            plan_->ops.push_back(o);
            return true;
        }
        if (op == "Relu") {
            o.kind = OpKind::kClamp;
            o.out_min = 0.0f;
        } else if (op == "Clip") {
            o.kind = OpKind::kClamp;
            o.out_min = AttrFloat(n, "min", o.out_min);
            o.out_max = AttrFloat(n, "max", o.out_max);
            for (int i = 1; i < n.input_size() && i <= 2; ++i) {
                if (n.input(i).empty()) continue;
                Constant c;
                if (!ConstantOf(n.input(i), &c) || c.data.size() != 1) return false;
                (i == 1 ? o.out_min : o.out_max) = c.data[0];
            }
            if (std::isnan(o.out_min) || std::isnan(o.out_max) || o.out_min >= o.out_max)
                return false;
        } else if (op == "LeakyRelu") {
            o.kind = OpKind::kLeakyRelu;
            o.alpha = AttrFloat(n, "alpha", 0.01f);
        } else if (op == "Elu") {
            o.kind = OpKind::kElu;
            o.alpha = AttrFloat(n, "alpha", 1.0f);
            if (!(o.alpha > 0.0f)) return false;
        } else if (op == "Sigmoid") {
            o.kind = OpKind::kSigmoid;
        } else if (op == "Abs") {
            o.kind = OpKind::kAbs;
        } else if (op == "Neg") {
            o.kind = OpKind::kNegate;
        } else {
            return false;
        }
        if (!std::isfinite(o.alpha) || n.input_size() > (op == "Clip" ? 3 : 1) || !OutputIs(n, *x))
            return false;
        if (o.kind == OpKind::kClamp && FuseClamp(n.input(0), o.out_min, o.out_max)) {
            head_[n.output(0)] = in;
            return true;
        }
        o.inputs = {in};
        o.output = AddOutput(n, *x);
        plan_->ops.push_back(o);
        return true;
    }

    // Folds a clamp into the operator that computes its input, when nothing else reads that
    // input: one pass over the tensor instead of two.
    bool FuseClamp(const std::string& input, float lo, float hi) {
        if (readers_[input] != 1) return false;
        const uint32_t value = head_[input];
        for (auto op = plan_->ops.rbegin(); op != plan_->ops.rend(); ++op) {
            if (op->output != value) continue;
            switch (op->kind) {
                case OpKind::kConvolution:
                case OpKind::kDepthwiseConvolution:
                case OpKind::kDeconvolution:
                case OpKind::kAdd:
                case OpKind::kSubtract:
                case OpKind::kMultiply:
                case OpKind::kDivide:
                case OpKind::kMaxPool:
                case OpKind::kAveragePool:
                case OpKind::kGlobalAveragePool:
                case OpKind::kClamp:
                    break;
                default:
                    return false;
            }
            const float fused_min = std::max(op->out_min, lo),
                        fused_max = std::min(op->out_max, hi);
            if (!(fused_min < fused_max)) return false;
            op->out_min = fused_min;
            op->out_max = fused_max;
            return true;
        }
        return false;
    }

    // A convolution's filter and bias as constants, and the operator computing n's output.
    bool PushFiltered(const onnx::NodeProto& n, const Dims& y, uint32_t in, Op op,
                      std::vector<float> filter, std::vector<size_t> filter_dims,
                      std::vector<float> bias) {
        const size_t channels = bias.size();
        const uint32_t f = NewConstant(std::move(filter), std::move(filter_dims));
        op.inputs = {in, f, NewConstant(std::move(bias), {channels})};
        op.output = AddOutput(n, y);
        plan_->ops.push_back(op);
        return true;
    }

    // A convolution's bias, one constant per output channel, or zeros without one.
    bool BiasOf(const onnx::NodeProto& n, int64_t channels, std::vector<float>* bias) const {
        if (n.input_size() <= 2 || n.input(2).empty()) {
            bias->assign(static_cast<size_t>(channels), 0.0f);
            return true;
        }
        Constant b;
        if (!ConstantOf(n.input(2), &b) || b.uniform || b.dims != Dims{channels}) return false;
        *bias = std::move(b.data);
        return true;
    }

    bool LowerConv(const onnx::NodeProto& n, const Dims& x, uint32_t in) {
        Constant w;
        if (n.input_size() < 2 || !ConstantOf(n.input(1), &w) || w.uniform || w.dims.size() != 4)
            return false;
        const int64_t O = w.dims[0], Cg = w.dims[1], kh = w.dims[2], kw = w.dims[3];
        const int64_t group = AttrInt(n, "group", 1);
        if (group < 1 || x[1] != Cg * group || O % group != 0 || O < 1) return false;
        std::vector<float> bias;
        if (!BiasOf(n, O, &bias) || AttrInts(n, "kernel_shape", {kh, kw}) != Dims{kh, kw})
            return false;
        Window win;
        if (!ResolveWindow(n, kh, kw, x[2], x[3], &win)) return false;
        const Dims y = {x[0], O, WindowOut(x[2], win.top, win.bottom, kh, win.sh, win.dh),
                        WindowOut(x[3], win.left, win.right, kw, win.sw, win.dw)};
        if (!OutputIs(n, y)) return false;
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
        return PushFiltered(n, y, in, std::move(op), std::move(filter), filter_dims,
                            std::move(bias));
    }

    bool LowerConvTranspose(const onnx::NodeProto& n, const Dims& x, uint32_t in) {
        Constant w;
        if (n.input_size() < 2 || !ConstantOf(n.input(1), &w) || w.uniform || w.dims.size() != 4)
            return false;
        const int64_t Cin = w.dims[0], Og = w.dims[1], kh = w.dims[2], kw = w.dims[3];
        const int64_t group = AttrInt(n, "group", 1);
        if (group < 1 || x[1] != Cin || Cin % group != 0 || Og < 1) return false;
        const int64_t O = Og * group, Cg = Cin / group;
        std::vector<float> bias;
        if (!BiasOf(n, O, &bias) || Attr(n, "output_shape") ||
            AttrInts(n, "kernel_shape", {kh, kw}) != Dims{kh, kw})
            return false;
        const std::string auto_pad = AttrString(n, "auto_pad", "NOTSET");
        if (auto_pad != "NOTSET" && auto_pad != "VALID") return false;
        Window win;
        if (!ResolveWindow(n, kh, kw, x[2], x[3], &win)) return false;
        const Dims adjust = AttrInts(n, "output_padding", {0, 0});
        if (adjust.size() != 2 || adjust[0] < 0 || adjust[1] < 0 || adjust[0] >= win.sh ||
            adjust[1] >= win.sw)
            return false;
        const int64_t oh =
            win.sh * (x[2] - 1) + adjust[0] + (kh - 1) * win.dh + 1 - win.top - win.bottom;
        const int64_t ow =
            win.sw * (x[3] - 1) + adjust[1] + (kw - 1) * win.dw + 1 - win.left - win.right;
        const Dims y = {x[0], O, oh, ow};
        if (oh < 1 || ow < 1 || !OutputIs(n, y)) return false;
        // ONNX (Cin, O/group, kh, kw) to XNNPACK's (group * O/group, kh, kw, Cin/group).
        std::vector<float> filter(w.data.size());
        for (int64_t g = 0; g < group; ++g)
            for (int64_t i = 0; i < Cg; ++i)
                for (int64_t o = 0; o < Og; ++o)
                    for (int64_t r = 0; r < kh; ++r)
                        for (int64_t c = 0; c < kw; ++c)
                            filter[static_cast<size_t>((((g * Og + o) * kh + r) * kw + c) * Cg +
                                                       i)] =
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
        return PushFiltered(n, y, in, std::move(op), std::move(filter),
                            {static_cast<size_t>(O), static_cast<size_t>(kh),
                             static_cast<size_t>(kw), static_cast<size_t>(Cg)},
                            std::move(bias));
    }

    // Nearest upsampling by whole factors: a depthwise transposed convolution whose s x s
    // filter of ones copies each input pixel into its s x s block, exactly.
    bool LowerResize(const onnx::NodeProto& n, const Dims& x, uint32_t in) {
        if (AttrString(n, "mode", "nearest") != "nearest") return false;
        const std::string transform = AttrString(n, "coordinate_transformation_mode", "half_pixel");
        const std::string rounding = AttrString(n, "nearest_mode", "round_prefer_floor");
        // For whole factors these two pick the same source pixel: floor(i / s).
        const bool floor_pick = (transform == "asymmetric" && rounding == "floor") ||
                                (transform == "half_pixel" && rounding == "round_prefer_floor");
        if (n.op_type() == "Resize" && !floor_pick) return false;
        const Dims* y = Shape(n.output(0));
        if (!y || y->size() != 4 || (*y)[0] != x[0] || (*y)[1] != x[1]) return false;
        const int64_t sh = (*y)[2] / x[2], sw = (*y)[3] / x[3];
        if (sh < 1 || sw < 1 || sh * x[2] != (*y)[2] || sw * x[3] != (*y)[3] || sh > 64 ||
            sw > 64 || !OutputIs(n, *y))
            return false;
        // Declared scales, when given, must be those factors (sizes are then what inference gave).
        for (int i = 1; i < n.input_size(); ++i) {
            if (n.input(i).empty()) continue;
            Constant c;
            if (!ConstantOf(n.input(i), &c)) return false;
            const bool is_scales =
                (n.op_type() == "Upsample" && i == 1) || (n.op_type() == "Resize" && i == 2);
            if (is_scales && !c.data.empty() && !c.uniform &&
                c.data != std::vector<float>{1.0f, 1.0f, float(sh), float(sw)})
                return false;
        }
        if (sh == 1 && sw == 1) {
            head_[n.output(0)] = in;
            return true;
        }
        const size_t C = static_cast<size_t>(x[1]);
        Op op;
        op.kind = OpKind::kDeconvolution;
        op.kernel_h = op.stride_h = static_cast<uint32_t>(sh);
        op.kernel_w = op.stride_w = static_cast<uint32_t>(sw);
        op.groups = static_cast<uint32_t>(C);
        op.group_in = op.group_out = 1;
        const size_t taps = static_cast<size_t>(sh * sw);
        return PushFiltered(n, *y, in, std::move(op), std::vector<float>(C * taps, 1.0f),
                            {C, static_cast<size_t>(sh), static_cast<size_t>(sw), 1},
                            std::vector<float>(C, 0.0f));
    }

    bool LowerPool(const onnx::NodeProto& n, const Dims& x, uint32_t in) {
        const bool max = n.op_type() == "MaxPool";
        const Dims kernel = AttrInts(n, "kernel_shape");
        if (kernel.size() != 2 || AttrInt(n, "ceil_mode", 0) != 0 ||
            AttrInt(n, "storage_order", 0) != 0 || n.output_size() != 1)
            return false;
        if (kernel[0] * kernel[1] < 2) return false;  // XNNPACK pools over two or more
        Window win;
        if (!ResolveWindow(n, kernel[0], kernel[1], x[2], x[3], &win)) return false;
        // Averages over padding differ in what they count; only unpadded windows go here.
        if (!max && (win.top || win.left || win.bottom || win.right || win.dh != 1 || win.dw != 1))
            return false;
        const Dims y = {x[0], x[1], WindowOut(x[2], win.top, win.bottom, win.kh, win.sh, win.dh),
                        WindowOut(x[3], win.left, win.right, win.kw, win.sw, win.dw)};
        if (!OutputIs(n, y)) return false;
        Op op;
        op.kind = max ? OpKind::kMaxPool : OpKind::kAveragePool;
        SetWindow(win, &op);
        op.inputs = {in};
        op.output = AddOutput(n, y);
        plan_->ops.push_back(op);
        return true;
    }

    bool LowerPad(const onnx::NodeProto& n, const Dims& x, uint32_t in) {
        if (AttrString(n, "mode", "constant") != "constant") return false;
        Dims pads = AttrInts(n, "pads");
        float value = AttrFloat(n, "value", 0.0f);
        if (n.input_size() > 1) {
            const onnx::TensorProto* p = TensorOf(n.input(1));
            if (!p || !ReadInts(*p, &pads)) return false;
        }
        if (n.input_size() > 2 && !n.input(2).empty()) {
            Constant c;
            if (!ConstantOf(n.input(2), &c) || c.data.size() != 1) return false;
            value = c.data[0];
        }
        if (n.input_size() > 3 || pads.size() != 8 || !std::isfinite(value)) return false;
        Dims y(4);
        for (int i = 0; i < 4; ++i) {
            if (pads[i] < 0 || pads[i + 4] < 0) return false;
            y[i] = x[i] + pads[i] + pads[i + 4];
        }
        if (!OutputIs(n, y)) return false;
        Op op;
        op.kind = OpKind::kPad;
        const int nhwc[4] = {0, 2, 3, 1};
        for (int axis : nhwc) {
            op.pre.push_back(static_cast<size_t>(pads[axis]));
            op.post.push_back(static_cast<size_t>(pads[axis + 4]));
        }
        op.pad_value = value;
        op.inputs = {in};
        op.output = AddOutput(n, y);
        plan_->ops.push_back(op);
        return true;
    }

    bool LowerBatchNorm(const onnx::NodeProto& n, const Dims& x, uint32_t in) {
        if (n.input_size() != 5 || n.output_size() != 1 || !OutputIs(n, x)) return false;
        Constant p[4];
        for (int i = 0; i < 4; ++i)
            if (!ConstantOf(n.input(i + 1), &p[i]) || p[i].dims != Dims{x[1]}) return false;
        const float eps = AttrFloat(n, "epsilon", 1e-5f);
        const size_t C = static_cast<size_t>(x[1]);
        std::vector<float> scale(C), shift(C);
        auto at = [](const Constant& c, size_t i) { return c.uniform ? c.data[0] : c.data[i]; };
        for (size_t c = 0; c < C; ++c) {
            scale[c] = at(p[0], c) / std::sqrt(at(p[3], c) + eps);
            shift[c] = at(p[1], c) - at(p[2], c) * scale[c];
        }
        const uint32_t a = NewConstant(std::move(scale), {1, 1, 1, C});
        const uint32_t b = NewConstant(std::move(shift), {1, 1, 1, C});
        const uint32_t mid = NewValue(Nhwc(x));
        Op mul;
        mul.kind = OpKind::kMultiply;
        mul.inputs = {in, a};
        mul.output = mid;
        plan_->ops.push_back(mul);
        Op add;
        add.kind = OpKind::kAdd;
        add.inputs = {mid, b};
        add.output = AddOutput(n, x);
        plan_->ops.push_back(add);
        return true;
    }

    bool LowerPRelu(const onnx::NodeProto& n, const Dims& x, uint32_t in) {
        Constant s;
        if (n.input_size() != 2 || !ConstantOf(n.input(1), &s) || !OutputIs(n, x)) return false;
        // One slope per channel (or one for all), as XNNPACK takes it.
        Dims d(4 - std::min<size_t>(s.dims.size(), 4), 1);
        d.insert(d.end(), s.dims.begin(), s.dims.end());
        if (d.size() != 4 || d[0] != 1 || d[2] != 1 || d[3] != 1 || (d[1] != 1 && d[1] != x[1]))
            return false;
        const size_t C = static_cast<size_t>(x[1]);
        std::vector<float> slope(C);
        for (size_t c = 0; c < C; ++c) slope[c] = (s.uniform || d[1] == 1) ? s.data[0] : s.data[c];
        Op op;
        op.kind = OpKind::kPRelu;
        op.inputs = {in, NewConstant(std::move(slope), {C})};
        op.output = AddOutput(n, x);
        plan_->ops.push_back(op);
        return true;
    }

    bool LowerBinary(const onnx::NodeProto& n) {
        if (n.input_size() != 2 || n.output_size() != 1) return false;
        const Dims* y = Shape(n.output(0));
        if (!y || y->size() != 4) return false;
        uint32_t ids[2];
        bool computed = false;
        for (int i = 0; i < 2; ++i) {
            const Dims* s = HeadShape(n.input(i));
            if (s) {
                if (s->size() != 4) return false;
                for (int k = 0; k < 4; ++k)
                    if ((*s)[k] != (*y)[k] && (*s)[k] != 1) return false;
                ids[i] = head_[n.input(i)];
                computed = true;
                continue;
            }
            Constant c;
            if (!ConstantOf(n.input(i), &c) || !BroadcastConstant(c, *y, &ids[i])) return false;
        }
        if (!computed || !OutputIs(n, *y)) return false;
        static const std::map<std::string, OpKind> kinds = {
            {"Add", OpKind::kAdd},    {"Sub", OpKind::kSubtract}, {"Mul", OpKind::kMultiply},
            {"Div", OpKind::kDivide}, {"Max", OpKind::kMaximum},  {"Min", OpKind::kMinimum}};
        Op op;
        op.kind = kinds.at(n.op_type());
        op.inputs = {ids[0], ids[1]};
        op.output = AddOutput(n, *y);
        plan_->ops.push_back(op);
        return true;
    }

    // A computed tensor joined with constants of one value along an axis is that tensor
    // padded with the value (how channel padding of residual blocks is written).
    bool LowerConcat(const onnx::NodeProto& n) {
        const Dims* y = Shape(n.output(0));
        if (!y || y->size() != 4 || n.output_size() != 1) return false;
        int64_t axis = AttrInt(n, "axis", 1);
        if (axis < 0) axis += 4;
        if (axis < 0 || axis > 3) return false;
        int computed = -1;
        float value = 0.0f;
        bool have_value = false;
        int64_t before = 0, after = 0;
        for (int i = 0; i < n.input_size(); ++i) {
            const Dims* s = Shape(n.input(i));
            if (!s || s->size() != 4) return false;
            for (int k = 0; k < 4; ++k)
                if (k != axis && (*s)[k] != (*y)[k]) return false;
            if (head_.count(n.input(i))) {
                if (computed >= 0) return false;
                computed = i;
                continue;
            }
            Constant c;
            if (!ConstantOf(n.input(i), &c) || c.data.empty()) return false;
            for (float v : c.data) {
                if (!have_value) value = v, have_value = true;
                if (v != value || !std::isfinite(v)) return false;
            }
            (computed < 0 ? before : after) += (*s)[axis];
        }
        if (computed < 0) return false;
        const Dims& x = *Shape(n.input(computed));
        if (!OutputIs(n, *y)) return false;
        Op op;
        op.kind = OpKind::kPad;
        const int nhwc[4] = {0, 2, 3, 1};
        for (int a : nhwc) {
            op.pre.push_back(a == axis ? static_cast<size_t>(before) : 0);
            op.post.push_back(a == axis ? static_cast<size_t>(after) : 0);
        }
        op.pad_value = value;
        op.inputs = {head_[n.input(computed)]};
        if (x[axis] + before + after != (*y)[axis]) return false;
        op.output = AddOutput(n, *y);
        plan_->ops.push_back(op);
        return true;
    }

    void AddBoundary(const std::string& name, bool tail_input) {
        if (name.empty() || boundary_names_.count(name)) return;
        Boundary b;
        b.name = name;
        b.tail_input = tail_input;
        auto head = head_.find(name);
        auto view = views_.find(name);
        if (head != head_.end()) {
            b.value = head->second;
            const Dims& d = *Shape(name);
            b.dims.assign(d.begin(), d.end());
        } else if (view != views_.end()) {
            b.value = view->second;
            b.nhwc = true;
            for (size_t d : plan_->values[b.value].dims) b.dims.push_back(static_cast<int>(d));
        } else {
            return;  // a constant or a tensor of the tail
        }
        boundary_names_.insert(name);
        plan_->boundaries.push_back(b);
    }

    std::string BuildTail(const std::vector<int>& nodes, const std::set<std::string>& reads) {
        onnx::ModelProto tail;
        tail.set_ir_version(model_.ir_version());
        *tail.mutable_opset_import() = model_.opset_import();
        onnx::GraphProto* g = tail.mutable_graph();
        g->set_name("tail");
        for (const Boundary& b : plan_->boundaries) {
            if (!b.tail_input || !reads.count(b.name)) continue;
            onnx::ValueInfoProto* in = g->add_input();
            in->set_name(b.name);
            auto* t = in->mutable_type()->mutable_tensor_type();
            t->set_elem_type(onnx::TensorProto::FLOAT);
            for (int d : b.dims) t->mutable_shape()->add_dim()->set_dim_value(d);
        }
        for (const auto& t : g_.initializer())
            if (reads.count(t.name())) *g->add_initializer() = t;
        for (int i : nodes) *g->add_node() = g_.node(i);
        std::set<std::string> produced;
        for (int i : nodes)
            for (const auto& o : g_.node(i).output()) produced.insert(o);
        for (const auto& out : g_.output())
            if (produced.count(out.name())) *g->add_output() = out;
        if (g->output_size() == 0) return "";  // dead ends only: nothing of the tail is read
        if (!tail.SerializeToString(&plan_->tail)) return "the tail cannot be serialised";
        return "";
    }

    const onnx::ModelProto& model_;
    const onnx::GraphProto& g_;
    Plan* plan_;
    std::map<std::string, Dims> shapes_;
    std::map<std::string, int> types_;
    std::map<std::string, const onnx::TensorProto*> initializers_;
    std::map<std::string, const onnx::TensorProto*> constant_nodes_;
    std::map<std::string, Constant> uniform_;
    std::set<std::string> constants_;  // outputs of Constant and ConstantOfShape nodes read here
    std::map<std::string, uint32_t> head_;   // computed by the lowered body, NHWC
    std::map<std::string, uint32_t> views_;  // a body tensor transposed to NHWC
    std::set<std::string> boundary_names_;
    std::map<std::string, int> readers_;  // nodes reading each tensor, graph outputs counted
};

}  // namespace

std::string Lower(const onnx::ModelProto& checked, Plan* plan) {
    *plan = Plan();
    return Lowerer(checked, plan).Run();
}

}  // namespace lowering
}  // namespace nerova
