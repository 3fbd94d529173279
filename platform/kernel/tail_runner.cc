#include "tail_runner.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "onnx_attrs.h"
#include "operators.h"

namespace nerova {
namespace lowering {

namespace {

using Dims = std::vector<int64_t>;

using onnx_attrs::ElementCount;
using onnx_attrs::ReadFloats;
using onnx_attrs::ReadInts;

}  // namespace

TailRunner::~TailRunner() = default;

int TailRunner::TensorOf(const std::string& name) const {
    auto it = names_.find(name);
    return it == names_.end() ? -1 : it->second;
}

std::unique_ptr<TailRunner> TailRunner::Create(const Plan& plan, std::string* why) {
    onnx::ModelProto tail;
    if (plan.tail.empty() || !tail.ParseFromString(plan.tail)) {
        *why = "the plan has no tail";
        return nullptr;
    }
    std::map<std::string, std::vector<int>> inputs;
    for (const Boundary& b : plan.boundaries)
        if (b.tail_input) inputs[b.name] = b.dims;
    std::unique_ptr<TailRunner> r(new TailRunner());
    for (const auto& o : tail.opset_import())
        if (o.domain().empty() || o.domain() == "ai.onnx") r->opset_ = o.version();
    const onnx::GraphProto& g = tail.graph();
    for (const auto& in : g.input()) {
        auto it = inputs.find(in.name());
        if (it == inputs.end()) continue;  // an initializer listed as an input
        Tensor t;
        t.dims.assign(it->second.begin(), it->second.end());
        r->names_[in.name()] = static_cast<int>(r->tensors_.size());
        r->tensors_.push_back(std::move(t));
    }
    for (const auto& init : g.initializer()) {
        Tensor t;
        t.dims.assign(init.dims().begin(), init.dims().end());
        t.integer = init.data_type() != onnx::TensorProto::FLOAT;
        if (t.integer ? !ReadInts(init, &t.ints) : !ReadFloats(init, &t.own)) {
            *why = "constant " + init.name() + " is neither float nor integer";
            return nullptr;
        }
        if (static_cast<int64_t>(t.integer ? t.ints.size() : t.own.size()) !=
            ElementCount(t.dims)) {
            *why = "constant " + init.name() + " does not hold its dims";
            return nullptr;
        }
        r->names_[init.name()] = static_cast<int>(r->tensors_.size());
        r->tensors_.push_back(std::move(t));
    }
    for (const auto& node : g.node())
        if (!r->AddNode(node, why)) return nullptr;
    for (const auto& out : g.output()) {
        const int t = r->TensorOf(out.name());
        if (t < 0) {
            *why = "output " + out.name() + " is not computed";
            return nullptr;
        }
        if (r->tensors_[static_cast<size_t>(t)].dims.empty()) {
            *why = "output " + out.name() + " is a scalar";
            return nullptr;
        }
        r->outputs_.push_back(out.name());
        r->output_tensors_.push_back(t);
        const Dims& d = r->tensors_[static_cast<size_t>(t)].dims;
        r->output_dims_.emplace_back(d.begin(), d.end());
    }
    return r;
}

void TailRunner::Bind(const std::string& name, const float* data) {
    const int t = TensorOf(name);
    if (t >= 0) tensors_[static_cast<size_t>(t)].bound = data;
}

void TailRunner::Run() {
    for (const Step& step : steps_) step(tensors_);
}

const float* TailRunner::output(size_t index) const {
    return tensors_[static_cast<size_t>(output_tensors_[index])].data();
}

const std::vector<int>& TailRunner::output_dims(size_t index) const { return output_dims_[index]; }

bool TailRunner::AddNode(const onnx::NodeProto& n, std::string* why) {
    *why = n.op_type() + " node '" + n.name() + "': ";
    if (n.output_size() != 1 || n.input_size() < 1) {
        *why += "not one output from one operand or more";
        return false;
    }
    TailNode t{tensors_, {}, opset_, static_cast<int>(tensors_.size()), {}, {}};
    for (const auto& name : n.input()) {
        const int k = name.empty() ? -1 : TensorOf(name);
        if (k < 0 && !name.empty()) {
            *why += "input " + name + " is not computed here";
            return false;
        }
        t.in.push_back(k);
    }
    const ops::Operator* entry = ops::Find(n.op_type());
    const std::string reason = !entry || !entry->tail ? "not run natively" : entry->tail(t, n);
    if (!reason.empty()) {
        *why += reason;
        return false;
    }
    const int64_t count = ElementCount(t.out_dims);
    if (count <= 0 || count > kMaxTailElements) {
        *why += "the output is empty or too large";
        return false;
    }
    Tensor out;
    out.dims = t.out_dims;
    out.own.assign(static_cast<size_t>(count), 0.0f);
    names_[n.output(0)] = t.y;
    tensors_.push_back(std::move(out));
    steps_.push_back(std::move(t.run));
    why->clear();
    return true;
}

}  // namespace lowering
}  // namespace nerova
