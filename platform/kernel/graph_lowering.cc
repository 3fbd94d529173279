#include "graph_lowering.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "lowering_context.h"
#include "onnx_attrs.h"
#include "operators.h"

namespace nerova {
namespace lowering {

using onnx_attrs::Attr;
using onnx_attrs::ElementCount;
using onnx_attrs::ReadFloats;
using onnx_attrs::ReadInts;

std::vector<size_t> Nhwc(const Dims& nchw) {
    return {static_cast<size_t>(nchw[0]), static_cast<size_t>(nchw[2]),
            static_cast<size_t>(nchw[3]), static_cast<size_t>(nchw[1])};
}

std::string BodyBuilder::Run() {
    ReadShapes();
    for (const auto& t : g_.initializer()) initializers_[t.name()] = &t;
    std::vector<const onnx::ValueInfoProto*> inputs;
    for (const auto& in : g_.input())
        if (!initializers_.count(in.name())) inputs.push_back(&in);
    if (inputs.size() != 1) return "the graph has more than one input";
    const std::string& input = inputs[0]->name();
    const Dims* x = Shape(input);
    if (!x || x->size() != 4 || ElementCount(*x) <= 0 || types_[input] != onnx::TensorProto::FLOAT)
        return "the input is not a 4-D float tensor";
    plan_->input_name = input;
    plan_->input_dims.assign(x->begin(), x->end());
    plan_->input = NewValue(Nhwc(*x));
    plan_->values[plan_->input].name = input;
    head_[input] = plan_->input;

    for (const auto& n : g_.node())
        for (const auto& name : n.input()) ++readers_[name];
    for (const auto& out : g_.output()) ++readers_[out.name()];
    std::vector<int> tail;
    std::string stop;  // the first node reading the body that the body does not take, and why
    for (int i = 0; i < g_.node_size(); ++i) {
        const onnx::NodeProto& n = g_.node(i);
        const ops::Operator* entry = ops::Find(n.op_type());  // admitted, so in the table
        const size_t first_op = plan_->ops.size();
        const size_t first_value = plan_->values.size();
        const std::string why = !entry                 ? "the operator is not in the table"
                                : !entry->xnn          ? "XNNPACK has no " + n.op_type()
                                : n.output_size() == 0 ? "the node has no output"
                                                       : entry->xnn(*this, n);
        if (why.empty()) {
            for (size_t k = first_op; k < plan_->ops.size(); ++k) {
                plan_->ops[k].node = ops::NodeLabel(n, i);
                plan_->ops[k].node_index = i;
            }
            int step = 0;
            for (size_t v = first_value; v < plan_->values.size(); ++v)
                if (plan_->values[v].constant < 0 && plan_->values[v].name.empty())
                    plan_->values[v].name = n.output(0) + "#" + std::to_string(step++);
            if (head_.count(n.output(0))) ++plan_->lowered_nodes;
            continue;
        }
        const bool reads_body = std::any_of(n.input().begin(), n.input().end(),
                                            [&](const std::string& in) { return InBody(in); });
        if (stop.empty() && reads_body) stop = ops::NodeLabel(n, i) + ": " + why;
        tail.push_back(i);
    }
    if (plan_->ops.empty())
        return "no operator of the graph maps onto XNNPACK" +
               (stop.empty() ? "" : " (" + stop + ")");

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
        if (n.output_size() == 1 && constants_.count(n.output(0)) && tail_reads.count(n.output(0)))
            kept.push_back(i);
    }
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    plan_->tail_nodes = static_cast<int>(tail.size());
    if (!tail.empty()) return BuildTail(kept, tail_reads);
    return "";
}

void BodyBuilder::ReadShapes() {
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

const Dims* BodyBuilder::Shape(const std::string& name) const {
    auto it = shapes_.find(name);
    return it == shapes_.end() ? nullptr : &it->second;
}

uint32_t BodyBuilder::NewValue(std::vector<size_t> dims, int constant) {
    Value value;
    value.dims = std::move(dims);
    value.constant = constant;
    plan_->values.push_back(std::move(value));
    return static_cast<uint32_t>(plan_->values.size() - 1);
}

uint32_t BodyBuilder::NewConstant(std::vector<float> data, std::vector<size_t> dims) {
    plan_->constants.push_back(std::move(data));
    return NewValue(std::move(dims), static_cast<int>(plan_->constants.size() - 1));
}

std::string BodyBuilder::ReadConstantNode(const onnx::NodeProto& n) {
    if (n.output_size() != 1) return "the node has more than one output";
    if (n.op_type() == "Constant") {
        const auto* value = Attr(n, "value");
        if (value && value->has_t()) constant_nodes_[n.output(0)] = &value->t();
        constants_.insert(n.output(0));
        return "";
    }
    // ConstantOfShape: a uniform tensor of a constant shape.
    const onnx::TensorProto* shape = n.input_size() == 1 ? TensorOf(n.input(0)) : nullptr;
    Dims dims;
    if (!shape || !ReadInts(*shape, &dims)) return "the shape is not a constant";
    float v = 0.0f;
    if (const auto* value = Attr(n, "value")) {
        std::vector<float> f;
        if (!value->has_t() || !ReadFloats(value->t(), &f) || f.size() != 1)
            return "the value is not one float";
        v = f[0];
    }
    uniform_[n.output(0)] = Constant{dims, {v}, true};
    constants_.insert(n.output(0));
    return "";
}

const onnx::TensorProto* BodyBuilder::TensorOf(const std::string& name) const {
    auto it = initializers_.find(name);
    if (it != initializers_.end()) return it->second;
    auto node = constant_nodes_.find(name);
    return node == constant_nodes_.end() ? nullptr : node->second;
}

bool BodyBuilder::IsConstant(const std::string& name) const {
    return initializers_.count(name) || constants_.count(name);
}

bool BodyBuilder::ConstantOf(const std::string& name, Constant* c) const {
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

bool BodyBuilder::BroadcastConstant(const Constant& c, const Dims& out, uint32_t* id) {
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

uint32_t BodyBuilder::AddOutput(const onnx::NodeProto& n, const Dims& dims) {
    const uint32_t id = NewValue(Nhwc(dims));
    plan_->values[id].name = n.output(0);
    head_[n.output(0)] = id;
    return id;
}

bool BodyBuilder::OutputIs(const onnx::NodeProto& n, const Dims& expected) const {
    if (n.output_size() != 1) return false;
    const Dims* y = Shape(n.output(0));
    auto type = types_.find(n.output(0));
    return y && *y == expected && type != types_.end() &&
           type->second == onnx::TensorProto::FLOAT &&
           std::all_of(y->begin(), y->end(), [](int64_t d) { return d > 0; });
}

const Dims* BodyBuilder::HeadShape(const std::string& name) const {
    return head_.count(name) ? Shape(name) : nullptr;
}

bool BodyBuilder::FuseClamp(const std::string& input, float lo, float hi) {
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
        const float fused_min = std::max(op->out_min, lo), fused_max = std::min(op->out_max, hi);
        if (!(fused_min < fused_max)) return false;
        op->out_min = fused_min;
        op->out_max = fused_max;
        return true;
    }
    return false;
}

void BodyBuilder::AddBoundary(const std::string& name, bool tail_input) {
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

std::string BodyBuilder::BuildTail(const std::vector<int>& nodes,
                                   const std::set<std::string>& reads) {
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
    // The shapes inference gave the tail's values, which OpenCV's rewrites go by.
    for (const auto& v : g_.value_info())
        if (produced.count(v.name())) *g->add_value_info() = v;
    if (g->output_size() == 0) return "";  // dead ends only: nothing of the tail is read
    if (!tail.SerializeToString(&plan_->tail)) return "the tail cannot be serialised";
    return "";
}

std::string BodyBuilder::BodyInput(const onnx::NodeProto& n, const Dims** x, uint32_t* in) const {
    *x = n.input_size() > 0 ? HeadShape(n.input(0)) : nullptr;
    if (!*x || (*x)->size() != 4) return "its input is not a 4-D tensor of the body";
    for (int i = 1; i < n.input_size(); ++i)
        if (!n.input(i).empty() && !IsConstant(n.input(i)))
            return "an operand other than the first is computed";
    *in = Head(n.input(0));
    return "";
}

std::string Lower(const onnx::ModelProto& checked, Plan* plan) {
    *plan = Plan();
    return BodyBuilder(checked, plan).Run();
}

}  // namespace lowering
}  // namespace nerova
