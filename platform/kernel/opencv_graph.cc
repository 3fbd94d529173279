#include "opencv_graph.h"

#include "onnx_attrs.h"
#include "operators.h"

namespace nerova {
namespace lowering {

OpenCvGraph::OpenCvGraph(onnx::GraphProto* graph) : g_(graph) {
    auto record = [this](const onnx::ValueInfoProto& v) {
        names_.insert(v.name());
        if (!v.type().has_tensor_type() || !v.type().tensor_type().has_shape()) return;
        Dims dims;
        for (const auto& d : v.type().tensor_type().shape().dim()) {
            if (!d.has_dim_value()) return;
            dims.push_back(d.dim_value());
        }
        shapes_[v.name()] = dims;
    };
    for (const auto& v : g_->input()) record(v);
    for (const auto& v : g_->value_info()) record(v);
    for (const auto& v : g_->output()) record(v);
    for (const auto& t : g_->initializer()) {
        constants_[t.name()] = &t;
        shapes_[t.name()] = Dims(t.dims().begin(), t.dims().end());
        names_.insert(t.name());
    }
    for (const auto& n : g_->node()) {
        for (const auto& o : n.output()) names_.insert(o);
        const auto* value = onnx_attrs::Attr(n, "value");
        if (n.op_type() == "Constant" && n.output_size() == 1 && value && value->has_t()) {
            constants_[n.output(0)] = &value->t();
            shapes_[n.output(0)] = Dims(value->t().dims().begin(), value->t().dims().end());
        }
    }
}

const OpenCvGraph::Dims* OpenCvGraph::Shape(const std::string& name) const {
    auto it = shapes_.find(name);
    return it == shapes_.end() ? nullptr : &it->second;
}

bool OpenCvGraph::Floats(const std::string& name, std::vector<float>* values) const {
    auto it = constants_.find(name);
    return it != constants_.end() && it->second->data_type() == onnx::TensorProto::FLOAT &&
           onnx_attrs::ReadFloats(*it->second, values);
}

onnx::NodeProto* OpenCvGraph::Add(const std::string& op_type,
                                  const std::vector<std::string>& inputs,
                                  const std::string& output) {
    changed_ = true;
    onnx::NodeProto* n = out_.Add();
    n->set_op_type(op_type);
    n->set_name(output);  // OpenCV names a layer after its node; outputs are unique
    for (const std::string& in : inputs) n->add_input(in);
    n->add_output(output);
    return n;
}

onnx::NodeProto* OpenCvGraph::Copy(const onnx::NodeProto& n) {
    changed_ = true;
    onnx::NodeProto* copy = out_.Add();
    *copy = n;
    return copy;
}

std::string OpenCvGraph::AddConstant(const std::string& base, const Dims& dims,
                                     std::vector<float> values) {
    changed_ = true;
    onnx::TensorProto t;
    t.set_name(NewName(base));
    t.set_data_type(onnx::TensorProto::FLOAT);
    for (int64_t d : dims) t.add_dims(d);
    t.set_raw_data(values.data(), values.size() * sizeof(float));
    shapes_[t.name()] = dims;
    added_.push_back(std::move(t));
    constants_[added_.back().name()] = &added_.back();
    return added_.back().name();
}

std::string OpenCvGraph::AddInts(const std::string& base, const std::vector<int64_t>& values) {
    changed_ = true;
    onnx::TensorProto t;
    t.set_name(NewName(base));
    t.set_data_type(onnx::TensorProto::INT64);
    t.add_dims(static_cast<int64_t>(values.size()));
    for (int64_t v : values) t.add_int64_data(v);
    added_.push_back(std::move(t));
    return added_.back().name();
}

std::string OpenCvGraph::NewName(const std::string& base) {
    std::string name = base;
    for (int i = 1; names_.count(name); ++i) name = base + "_" + std::to_string(i);
    names_.insert(name);
    return name;
}

void OpenCvGraph::Finish() {
    g_->mutable_node()->Swap(&out_);
    out_.Clear();
    for (onnx::TensorProto& t : added_) *g_->add_initializer() = std::move(t);
    added_.clear();
    constants_.clear();  // the pointers may point into the replaced nodes
}

std::string ForOpenCv(const std::string& model, std::string* bytes) {
    onnx::ModelProto proto;
    if (model.size() > static_cast<size_t>(INT32_MAX) ||
        !proto.ParseFromArray(model.data(), static_cast<int>(model.size())))
        return "the model cannot be read";
    OpenCvGraph graph(proto.mutable_graph());
    const onnx::GraphProto& g = proto.graph();
    for (int i = 0; i < g.node_size(); ++i) {
        const onnx::NodeProto& n = g.node(i);
        const ops::Operator* entry = ops::Find(n.op_type());
        if (!entry || !entry->opencv) {
            graph.Keep(n);
            continue;
        }
        const std::string why = entry->opencv(graph, n);
        if (!why.empty()) return ops::NodeLabel(n, i) + ": " + why;
    }
    if (!graph.changed()) {  // nothing to change: the bytes as they came
        *bytes = model;
        return "";
    }
    graph.Finish();
    return proto.SerializeToString(bytes) ? "" : "the rewritten model cannot be serialised";
}

}  // namespace lowering
}  // namespace nerova
