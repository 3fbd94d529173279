#include "graph_check.h"

#include <onnx/checker.h>
#include <onnx/defs/schema.h>
#include <onnx/shape_inference/implementation.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include "onnx_attrs.h"
#include "operators.h"

namespace nerova {
namespace graph_check {

namespace {

using Dims = std::vector<int64_t>;

// Opsets whose operator definitions OpenCV 4.6's importer follows.
constexpr int64_t kMinOpset = 7;
constexpr int64_t kMaxOpset = 17;

size_t ElementBytes(int type) {
    switch (type) {
        case onnx::TensorProto::FLOAT:
        case onnx::TensorProto::INT32:
        case onnx::TensorProto::UINT32:
            return 4;
        case onnx::TensorProto::DOUBLE:
        case onnx::TensorProto::INT64:
        case onnx::TensorProto::UINT64:
        case onnx::TensorProto::COMPLEX64:
            return 8;
        case onnx::TensorProto::COMPLEX128:
            return 16;
        case onnx::TensorProto::FLOAT16:
        case onnx::TensorProto::BFLOAT16:
        case onnx::TensorProto::INT16:
        case onnx::TensorProto::UINT16:
            return 2;
        case onnx::TensorProto::INT8:
        case onnx::TensorProto::UINT8:
        case onnx::TensorProto::BOOL:
            return 1;
        default:
            return 0;
    }
}

// Element count of dims, or -1 when a dim is negative or the count passes limit.
int64_t CountOf(const Dims& dims, int64_t limit) {
    int64_t count = 1;
    for (int64_t d : dims) {
        if (d < 0 || (d > 0 && count > limit / d)) return -1;
        count *= d;
    }
    return count <= limit ? count : -1;
}

// Whether the tensor carries exactly the data its dims announce. OpenCV copies as many bytes
// as the dims say, whatever the tensor holds.
bool TensorDataMatches(const onnx::TensorProto& t) {
    if (t.data_location() == onnx::TensorProto::EXTERNAL) return false;  // memory only
    const int64_t signed_count =
        CountOf(Dims(t.dims().begin(), t.dims().end()), kMaxTensorElements);
    if (signed_count < 0) return false;
    const uint64_t count = static_cast<uint64_t>(signed_count);
    const int type = t.data_type();
    if (t.has_raw_data()) {
        const size_t bytes = ElementBytes(type);
        return bytes != 0 && t.raw_data().size() == count * bytes;
    }
    switch (type) {
        case onnx::TensorProto::FLOAT:
            return static_cast<uint64_t>(t.float_data_size()) == count;
        case onnx::TensorProto::COMPLEX64:
            return static_cast<uint64_t>(t.float_data_size()) == 2 * count;
        case onnx::TensorProto::DOUBLE:
            return static_cast<uint64_t>(t.double_data_size()) == count;
        case onnx::TensorProto::COMPLEX128:
            return static_cast<uint64_t>(t.double_data_size()) == 2 * count;
        case onnx::TensorProto::INT64:
            return static_cast<uint64_t>(t.int64_data_size()) == count;
        case onnx::TensorProto::UINT32:
        case onnx::TensorProto::UINT64:
            return static_cast<uint64_t>(t.uint64_data_size()) == count;
        case onnx::TensorProto::STRING:
            return static_cast<uint64_t>(t.string_data_size()) == count;
        default:
            return static_cast<uint64_t>(t.int32_data_size()) == count;
    }
}

bool GraphTensorsMatch(const onnx::GraphProto& graph) {
    for (const auto& t : graph.initializer())
        if (!TensorDataMatches(t)) return false;
    for (const auto& node : graph.node()) {
        for (const auto& attr : node.attribute()) {
            if (attr.has_t() && !TensorDataMatches(attr.t())) return false;
            for (const auto& t : attr.tensors())
                if (!TensorDataMatches(t)) return false;
            if (attr.has_g() && !GraphTensorsMatch(attr.g())) return false;
            for (const auto& g : attr.graphs())
                if (!GraphTensorsMatch(g)) return false;
        }
    }
    return true;
}

using onnx_attrs::Attr;

class GraphChecker {
  public:
    GraphChecker(const onnx::GraphProto& graph, int opset) : g_(graph), opset_(opset) {}

    // Before shape inference: the input, the constants and every value's rank, with the
    // checks that need only ranks. ONNX's own inference reads attributes against ranks
    // without checking them (a 2-D kernel_shape on a 3-D input crashes it), so it must
    // only see graphs that pass these.
    std::string CheckBeforeInference(Admitted* admitted) {
        std::string why = CheckInputs(admitted);
        if (!why.empty()) return why;
        if (!(why = CollectConstants()).empty()) return why;
        c_.ranks[admitted->input_name] = admitted->input_dims.size();
        for (const auto& c : c_.constants)
            c_.ranks[c.first] = static_cast<size_t>(c.second->dims_size());
        for (const auto& n : g_.node()) {
            why = CheckRanks(n);
            if (why.empty()) why = CheckAttributes(n);
            if (!why.empty()) return n.op_type() + " node '" + n.name() + "': " + why;
        }
        // ONNX's checker lets an output name what nothing computes; OpenCV's importer drops it,
        // which leaves the backends with different outputs.
        for (const auto& v : g_.output())
            if (!c_.ranks.count(v.name())) return "no node computes output '" + v.name() + "'";
        return "";
    }

    // After shape inference: every shape known, non-empty and bounded, then each node.
    std::string CheckAfterInference() {
        std::string why = CollectShapes();
        if (!why.empty()) return why;
        for (const auto& n : g_.node()) {
            why = CheckNode(n);
            if (!why.empty()) return n.op_type() + " node '" + n.name() + "': " + why;
        }
        return "";
    }

  private:
    std::string CheckInputs(Admitted* admitted) {
        std::set<std::string> initializers;
        for (const auto& t : g_.initializer()) initializers.insert(t.name());
        const onnx::ValueInfoProto* input = nullptr;
        for (const auto& v : g_.input()) {
            if (initializers.count(v.name())) continue;
            if (input) return "the network has more than one input";
            input = &v;
        }
        if (!input) return "the network has no input";
        const auto& type = input->type();
        if (!type.has_tensor_type() || type.tensor_type().elem_type() != onnx::TensorProto::FLOAT)
            return "the input is not a float tensor";
        if (!type.tensor_type().has_shape()) return "the input has no shape";
        Dims dims;
        for (const auto& d : type.tensor_type().shape().dim()) {
            if (!d.has_dim_value() || d.dim_value() <= 0)
                return "the input's dims are not all fixed and positive";
            dims.push_back(d.dim_value());
        }
        if (dims.empty() || dims.size() > 6) return "the input's rank is not 1 to 6";
        for (size_t i = 2; i < dims.size(); ++i)
            if (dims[i] > kMaxInputSide)
                return "an input side exceeds " + std::to_string(kMaxInputSide);
        if (CountOf(dims, kMaxInputElements) < 0)
            return "the input exceeds " + std::to_string(kMaxInputElements) + " elements";
        admitted->input_name = input->name();
        admitted->input_dims.assign(dims.begin(), dims.end());
        return "";
    }

    // Initializers and Constant outputs, by name; empty ones only where an operator takes
    // an empty tensor for "absent" (Resize's roi and scales).
    std::string CollectConstants() {
        std::set<std::string> may_be_empty;
        for (const auto& n : g_.node())
            if (n.op_type() == "Resize")
                for (int i = 1; i < std::min(n.input_size(), 3); ++i)
                    may_be_empty.insert(n.input(i));
        auto admit = [&](const std::string& name, const onnx::TensorProto& t) -> std::string {
            const int type = t.data_type();
            if (type != onnx::TensorProto::FLOAT && type != onnx::TensorProto::INT64 &&
                type != onnx::TensorProto::INT32)
                return "constant '" + name + "' is neither float nor integer";
            const Dims dims(t.dims().begin(), t.dims().end());
            const int64_t count = CountOf(dims, kMaxTensorElements);
            if (count < 0) return "constant '" + name + "' is too large";
            if (count == 0 && !may_be_empty.count(name)) return "constant '" + name + "' is empty";
            c_.constants[name] = &t;
            return "";
        };
        for (const auto& t : g_.initializer()) {
            const std::string why = admit(t.name(), t);
            if (!why.empty()) return why;
        }
        for (const auto& n : g_.node()) {
            if (n.op_type() != "Constant") continue;
            const auto* value = Attr(n, "value");
            if (!value || !value->has_t() || n.attribute_size() != 1 || n.output_size() != 1)
                return "Constant node '" + n.name() + "' holds no plain tensor value";
            const std::string why = admit(n.output(0), value->t());
            if (!why.empty()) return why;
        }
        return "";
    }

    std::string CollectShapes() {
        auto record = [&](const onnx::ValueInfoProto& v) {
            const auto& type = v.type();
            if (!type.has_tensor_type() || !type.tensor_type().has_shape()) return;
            Dims dims;
            for (const auto& d : type.tensor_type().shape().dim())
                dims.push_back(d.has_dim_value() ? d.dim_value() : -1);
            c_.shapes[v.name()] = dims;
            types_[v.name()] = type.tensor_type().elem_type();
        };
        for (const auto& v : g_.input()) record(v);
        for (const auto& v : g_.value_info()) record(v);
        for (const auto& v : g_.output()) record(v);
        for (const auto& c : c_.constants) {
            c_.shapes[c.first] = Dims(c.second->dims().begin(), c.second->dims().end());
            types_[c.first] = c.second->data_type();
        }
        for (const auto& n : g_.node()) {
            for (const auto& out : n.output()) {
                if (out.empty()) continue;
                auto it = c_.shapes.find(out);
                if (it == c_.shapes.end()) return "the shape of '" + out + "' cannot be inferred";
                if (c_.constants.count(out)) continue;
                if (types_[out] != onnx::TensorProto::FLOAT)
                    return "'" + out + "' is not a float tensor";
                const int64_t count = CountOf(it->second, kMaxTensorElements);
                if (count == 0 || std::any_of(it->second.begin(), it->second.end(),
                                              [](int64_t d) { return d <= 0; }))
                    return "'" + out + "' has an unknown or empty shape";
                if (count < 0)
                    return "'" + out + "' exceeds " + std::to_string(kMaxTensorElements) +
                           " elements";
                // The checks before inference went by the ranks they propagated.
                auto rank = c_.ranks.find(out);
                if (rank == c_.ranks.end() || rank->second != it->second.size())
                    return "the rank of '" + out + "' differs from its inferred shape";
            }
        }
        for (const auto& v : g_.output())
            if (!c_.shapes.count(v.name()))
                return "the shape of output '" + v.name() + "' is unknown";
        return "";
    }

    std::string CheckRanks(const onnx::NodeProto& n) {
        if (!n.domain().empty() && n.domain() != "ai.onnx") return "operator domain not admitted";
        const ops::Operator* entry = ops::Find(n.op_type());
        if (!entry) return "operator not admitted by this kernel";
        for (const auto& a : n.attribute())
            if (a.type() == onnx::AttributeProto::GRAPH || a.type() == onnx::AttributeProto::GRAPHS)
                return "subgraphs are not admitted";
        if (!entry->ranks) return "";  // Constant: its rank is its tensor's, recorded already
        std::vector<size_t> in;
        for (int i = 0; i < n.input_size(); ++i) {
            if (n.input(i).empty()) {
                in.push_back(0);
                continue;
            }
            auto it = c_.ranks.find(n.input(i));
            if (it == c_.ranks.end()) return "the rank of input '" + n.input(i) + "' is unknown";
            in.push_back(it->second);
        }
        if (in.empty()) return "the operator has no input";
        size_t out = in[0];
        const std::string why = entry->ranks(c_, n, in, &out);
        if (!why.empty()) return why;
        for (const auto& o : n.output())
            if (!o.empty()) c_.ranks[o] = out;
        return "";
    }

    // Attribute values and constant operands, before shape inference: ONNX's inference and
    // OpenCV's importer divide by and index with them unchecked. Only ranks are known here.
    std::string CheckAttributes(const onnx::NodeProto& n) const {
        const ops::Operator* entry = ops::Find(n.op_type());
        return entry->attributes ? entry->attributes(c_, n) : "";
    }

    // After shape inference, what needs the operands' dims.
    std::string CheckNode(const onnx::NodeProto& n) const {
        for (int i = 0; i < n.input_size(); ++i)
            if (!n.input(i).empty() && !c_.shapes.count(n.input(i)))
                return "input '" + n.input(i) + "' has no known shape";
        std::string why = CheckOperandTypes(n);
        if (!why.empty()) return why;
        const Dims* x = c_.Shape(n, 0);
        if (!x) return "";  // only Constant and ConstantOfShape, whose operands are constants
        const ops::Operator* entry = ops::Find(n.op_type());
        // The rest was checked before inference, with the ranks inference confirms.
        return entry->shapes ? entry->shapes(c_, n, *x) : "";
    }

    // Operands of the output's type (the schema's shared type constraint, as Concat's or Add's
    // are) must be float, as the output is: ONNX's inference takes the type from the first
    // one, and both backends would read an integer tensor's bits as floats.
    std::string CheckOperandTypes(const onnx::NodeProto& n) const {
        const onnx::OpSchema* schema = onnx::OpSchemaRegistry::Schema(n.op_type(), opset_);
        if (!schema || schema->outputs().empty() || schema->inputs().empty()) return "";
        const std::string& output_type = schema->outputs()[0].GetTypeStr();
        const auto& formal = schema->inputs();
        for (int i = 0; i < n.input_size(); ++i) {
            if (n.input(i).empty()) continue;
            const size_t f = std::min(static_cast<size_t>(i), formal.size() - 1);
            if (formal[f].GetTypeStr() != output_type) continue;
            auto type = types_.find(n.input(i));
            if (type != types_.end() && type->second != onnx::TensorProto::FLOAT)
                return "input '" + n.input(i) + "' is not a float tensor";
        }
        return "";
    }

    const onnx::GraphProto& g_;
    const int opset_;
    ops::AdmissionContext c_;  // ranks, shapes and constants, read by the operators' entries
    std::map<std::string, int> types_;
};

}  // namespace

const std::vector<std::string>& AllowedOperators() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const ops::Operator& entry : ops::Table()) v.push_back(entry.op_type);
        return v;
    }();
    return names;
}

std::string CheckModel(onnx::ModelProto& proto, Admitted* admitted) {
    for (const auto& opset : proto.opset_import()) {
        if (!opset.domain().empty() && opset.domain() != "ai.onnx") continue;
        if (opset.version() < kMinOpset || opset.version() > kMaxOpset)
            return "opset " + std::to_string(opset.version()) + " is outside " +
                   std::to_string(kMinOpset) + " to " + std::to_string(kMaxOpset);
    }
    try {
        onnx::checker::check_model(proto);
    } catch (const std::exception& e) {
        return std::string("invalid ONNX graph: ") + e.what();
    }
    if (!GraphTensorsMatch(proto.graph()))
        return "a tensor of the graph does not hold the data its shape needs";
    int opset = kMaxOpset;
    for (const auto& o : proto.opset_import())
        if (o.domain().empty() || o.domain() == "ai.onnx") opset = static_cast<int>(o.version());
    GraphChecker checker(proto.graph(), opset);
    const std::string why = checker.CheckBeforeInference(admitted);
    if (!why.empty()) return why;
    // Declared shapes of intermediate values are the importer's business, not the file's:
    // shapes come from inference alone.
    proto.mutable_graph()->clear_value_info();
    try {
        onnx::shape_inference::InferShapes(proto, onnx::OpSchemaRegistry::Instance(),
                                           onnx::ShapeInferenceOptions(true, 1, true));
    } catch (const std::exception& e) {
        return std::string("shapes cannot be inferred: ") + e.what();
    }
    return checker.CheckAfterInference();
}

}  // namespace graph_check
}  // namespace nerova
