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

namespace nerova {
namespace graph_check {

namespace {

using Dims = std::vector<int64_t>;

// Opsets whose operator definitions OpenCV 4.6's importer follows.
constexpr int64_t kMinOpset = 7;
constexpr int64_t kMaxOpset = 17;
// Pads, kernel sides and strides beyond this are no real network's.
constexpr int64_t kMaxWindow = 4096;
// Resize and Upsample factors.
constexpr float kMaxScale = 64.0f;

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
using onnx_attrs::AttrFloat;
using onnx_attrs::AttrInt;
using onnx_attrs::AttrString;
using onnx_attrs::ReadFloats;
using onnx_attrs::ReadInts;

Dims AttrInts(const onnx::NodeProto& n, const char* name) { return onnx_attrs::AttrInts(n, name); }

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

const std::set<std::string>& AllowedSet() {
    static const std::set<std::string> ops = {"Abs",
                                              "Add",
                                              "AveragePool",
                                              "BatchNormalization",
                                              "Clip",
                                              "Concat",
                                              "Constant",
                                              "ConstantOfShape",
                                              "Conv",
                                              "ConvTranspose",
                                              "Div",
                                              "Dropout",
                                              "Elu",
                                              "Exp",
                                              "Flatten",
                                              "Gemm",
                                              "GlobalAveragePool",
                                              "GlobalMaxPool",
                                              "HardSigmoid",
                                              "Identity",
                                              "LeakyRelu",
                                              "Log",
                                              "LogSoftmax",
                                              "MatMul",
                                              "Max",
                                              "MaxPool",
                                              "Min",
                                              "Mul",
                                              "Neg",
                                              "PRelu",
                                              "Pad",
                                              "ReduceMax",
                                              "ReduceMean",
                                              "Relu",
                                              "Reshape",
                                              "Resize",
                                              "Sigmoid",
                                              "Slice",
                                              "Softmax",
                                              "Softplus",
                                              "Split",
                                              "Sqrt",
                                              "Squeeze",
                                              "Sub",
                                              "Tanh",
                                              "Transpose",
                                              "Unsqueeze",
                                              "Upsample"};
    return ops;
}

class GraphChecker {
  public:
    explicit GraphChecker(const onnx::GraphProto& graph) : g_(graph) {}

    // Before shape inference: the input, the constants and every value's rank, with the
    // checks that need only ranks. ONNX's own inference reads attributes against ranks
    // without checking them (a 2-D kernel_shape on a 3-D input crashes it), so it must
    // only see graphs that pass these.
    std::string CheckBeforeInference(Admitted* admitted) {
        std::string why = CheckInputs(admitted);
        if (!why.empty()) return why;
        if (!(why = CollectConstants()).empty()) return why;
        ranks_[admitted->input_name] = admitted->input_dims.size();
        for (const auto& c : constants_)
            ranks_[c.first] = static_cast<size_t>(c.second->dims_size());
        for (const auto& n : g_.node()) {
            why = CheckRanks(n);
            if (why.empty()) why = CheckAttributes(n);
            if (!why.empty()) return n.op_type() + " node '" + n.name() + "': " + why;
        }
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
            constants_[name] = &t;
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
            shapes_[v.name()] = dims;
            types_[v.name()] = type.tensor_type().elem_type();
        };
        for (const auto& v : g_.input()) record(v);
        for (const auto& v : g_.value_info()) record(v);
        for (const auto& v : g_.output()) record(v);
        for (const auto& c : constants_) {
            shapes_[c.first] = Dims(c.second->dims().begin(), c.second->dims().end());
            types_[c.first] = c.second->data_type();
        }
        for (const auto& n : g_.node()) {
            for (const auto& out : n.output()) {
                if (out.empty()) continue;
                auto it = shapes_.find(out);
                if (it == shapes_.end()) return "the shape of '" + out + "' cannot be inferred";
                if (constants_.count(out)) continue;
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
                auto rank = ranks_.find(out);
                if (rank == ranks_.end() || rank->second != it->second.size())
                    return "the rank of '" + out + "' differs from its inferred shape";
            }
        }
        for (const auto& v : g_.output())
            if (!shapes_.count(v.name()))
                return "the shape of output '" + v.name() + "' is unknown";
        return "";
    }

    const Dims* Shape(const onnx::NodeProto& n, int i) const {
        if (i >= n.input_size() || n.input(i).empty()) return nullptr;
        auto it = shapes_.find(n.input(i));
        return it == shapes_.end() ? nullptr : &it->second;
    }
    const onnx::TensorProto* Const(const onnx::NodeProto& n, int i) const {
        if (i >= n.input_size() || n.input(i).empty()) return nullptr;
        auto it = constants_.find(n.input(i));
        return it == constants_.end() ? nullptr : it->second;
    }
    size_t Rank(const onnx::NodeProto& n, int i) const {
        const Dims* d = Shape(n, i);
        return d ? d->size() : 0;
    }
    // Integer values from attribute name, or else from constant input i (newer opsets).
    bool IntsFrom(const onnx::NodeProto& n, const char* name, int i, Dims* out) const {
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

    std::string CheckRanks(const onnx::NodeProto& n) {
        if (!n.domain().empty() && n.domain() != "ai.onnx") return "operator domain not admitted";
        if (!AllowedSet().count(n.op_type())) return "operator not admitted by this kernel";
        for (const auto& a : n.attribute())
            if (a.type() == onnx::AttributeProto::GRAPH || a.type() == onnx::AttributeProto::GRAPHS)
                return "subgraphs are not admitted";
        const std::string& op = n.op_type();
        if (op == "Constant") return "";  // its rank is its tensor's, recorded already
        std::vector<size_t> in;
        for (int i = 0; i < n.input_size(); ++i) {
            if (n.input(i).empty()) {
                in.push_back(0);
                continue;
            }
            auto it = ranks_.find(n.input(i));
            if (it == ranks_.end()) return "the rank of input '" + n.input(i) + "' is unknown";
            in.push_back(it->second);
        }
        if (in.empty()) return "the operator has no input";
        const size_t r = in[0];
        size_t out = r;
        if (op == "Conv" || op == "ConvTranspose" || op == "MaxPool" || op == "AveragePool" ||
            op == "GlobalAveragePool" || op == "GlobalMaxPool" || op == "Resize" ||
            op == "Upsample") {
            if (r != 4) return "only 4-D input is admitted";
            if ((op == "Conv" || op == "ConvTranspose") && (in.size() < 2 || in[1] != 4))
                return "weights must be 4-D";
        } else if (op == "Add" || op == "Sub" || op == "Mul" || op == "Div" || op == "Max" ||
                   op == "Min") {
            out = *std::max_element(in.begin(), in.end());
        } else if (op == "Gemm") {
            if (r != 2 || in.size() < 2 || in[1] != 2) return "operands are not matrices";
            out = 2;
        } else if (op == "MatMul") {
            if (in.size() != 2 || r < 2 || r > 4 || in[1] < 2 || in[1] > 4)
                return "operands of rank 2 to 4 only";
            out = std::max(r, in[1]);
        } else if (op == "Flatten") {
            if (!AxisOk(AttrInt(n, "axis", 1), r, true)) return "axis out of range";
            out = 2;
        } else if (op == "Reshape") {
            Dims shape;
            const auto* t = Const(n, 1);
            if (!t || !ReadInts(*t, &shape) || shape.empty() || shape.size() > 6)
                return "the target shape must be a constant of 1 to 6 values";
            out = shape.size();
        } else if (op == "ConstantOfShape") {
            Dims shape;
            const auto* t = Const(n, 0);
            if (!t || !ReadInts(*t, &shape) || shape.size() > 6)
                return "the shape must be a constant of up to 6 values";
            out = shape.size();
        } else if (op == "Transpose") {
            Dims perm = AttrInts(n, "perm");
            std::sort(perm.begin(), perm.end());
            for (size_t i = 0; i < perm.size(); ++i)
                if (perm.size() != r || perm[i] != static_cast<int64_t>(i))
                    return "perm is not a permutation of the axes";
        } else if (op == "Concat" || op == "Softmax" || op == "LogSoftmax" || op == "Split") {
            if (!AxisOk(AttrInt(n, "axis", op == "Softmax" || op == "LogSoftmax" ? -1 : 0), r))
                return "axis out of range";
            if (std::any_of(in.begin(), in.end(),
                            [&](size_t k) { return op == "Concat" && k != r; }))
                return "inputs of different ranks";
        } else if (op == "Squeeze" || op == "Unsqueeze" || op == "ReduceMean" ||
                   op == "ReduceMax") {
            Dims axes;
            if (!IntsFrom(n, "axes", 1, &axes)) return "axes must be constants";
            const bool grows = op == "Unsqueeze";
            const bool keeps =
                (op == "ReduceMean" || op == "ReduceMax") && AttrInt(n, "keepdims", 1) != 0;
            if ((op == "Squeeze" || grows) && axes.empty()) return "axes must be given";
            const size_t axis_rank = grows ? r + axes.size() : r;
            std::set<int64_t> unique;
            for (int64_t a : axes) {
                if (!AxisOk(a, axis_rank)) return "axis out of range";
                unique.insert(a < 0 ? a + static_cast<int64_t>(axis_rank) : a);
            }
            if (unique.size() != axes.size()) return "repeated axis";
            if (grows)
                out = axis_rank;
            else if (!keeps)
                out = axes.empty() ? 0 : r - axes.size();
        } else if (op == "Slice") {
            Dims axes;
            if (!IntsFrom(n, "axes", 3, &axes)) return "axes must be constants";
            for (int64_t a : axes)
                if (!AxisOk(a, r)) return "axis out of range";
        } else if (op == "Pad") {
            Dims pads;
            if (!IntsFrom(n, "pads", 1, &pads) || pads.size() != 2 * r)
                return "pads must be a constant of two values per axis";
        } else if (op == "BatchNormalization" && r < 2) {
            return "input of rank 2 or more only";
        }
        for (const auto& o : n.output())
            if (!o.empty()) ranks_[o] = out;
        return "";
    }

    // Attribute values and constant operands, before shape inference: ONNX's inference and
    // OpenCV's importer divide by and index with them unchecked. Only ranks are known here.
    std::string CheckAttributes(const onnx::NodeProto& n) const {
        const std::string& op = n.op_type();
        if (op == "Conv" || op == "ConvTranspose") {
            const onnx::TensorProto* w = Const(n, 1);
            if (!w || w->dims_size() != 4)
                return "only 2-D convolutions with constant weights are admitted";
            const Dims w_kernel(w->dims().begin() + 2, w->dims().end());
            const Dims kernel = AttrInts(n, "kernel_shape");
            if (!kernel.empty() && kernel != w_kernel)
                return "kernel_shape differs from the weights";
            const std::string why = WindowWhy(n, w_kernel);
            if (!why.empty()) return why;
            // Conv's output channels and ConvTranspose's input channels split into the groups;
            // this also bounds the channel counts that group multiplies.
            const int64_t group = AttrInt(n, "group", 1);
            if (group < 1 || w->dims(0) % group != 0) return "group out of range";
            if (op == "ConvTranspose") {
                const Dims out_pad = AttrInts(n, "output_padding");
                Dims strides = AttrInts(n, "strides");
                if (strides.empty()) strides = {1, 1};
                if (!out_pad.empty() && out_pad.size() != 2) return "output_padding out of range";
                for (size_t i = 0; i < out_pad.size(); ++i)
                    if (out_pad[i] < 0 || out_pad[i] >= strides[i])
                        return "output_padding out of range";
                if (Attr(n, "output_shape")) return "output_shape is not admitted";
            }
            return "";
        }
        if (op == "MaxPool" || op == "AveragePool") {
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
        if (op == "Gemm") {
            if (!AllIn({AttrInt(n, "transA", 0), AttrInt(n, "transB", 0)}, 0, 1) ||
                !std::isfinite(AttrFloat(n, "alpha", 1)) || !std::isfinite(AttrFloat(n, "beta", 1)))
                return "attributes out of range";
            return "";
        }
        if (op == "Reshape")
            return AttrInt(n, "allowzero", 0) == 0 ? "" : "allowzero is not admitted";
        if (op == "Split") {
            Dims split;
            if (!IntsFrom(n, "split", 1, &split) || !AllIn(split, 1, kMaxTensorElements))
                return "split sizes must be positive constants";
            return "";
        }
        if (op == "Slice") {
            Dims starts, ends, steps;
            if (!IntsFrom(n, "starts", 1, &starts) || !IntsFrom(n, "ends", 2, &ends) ||
                !IntsFrom(n, "steps", 4, &steps) || starts.empty() || starts.size() != ends.size())
                return "starts and ends must be constants of one length";
            return AllIn(steps, 1, 1) ? "" : "only unit steps are admitted";
        }
        if (op == "Resize" || op == "Upsample") {
            const std::string mode = AttrString(n, "mode", "nearest");
            if (mode != "nearest" && mode != "linear" && mode != "bilinear")
                return "mode '" + mode + "' is not admitted";
            std::vector<float> scales;
            const int scales_input = op == "Resize" && n.input_size() > 2 ? 2 : 1;
            if (const auto* a = Attr(n, "scales")) {
                scales.assign(a->floats().begin(), a->floats().end());
            } else if (const auto* t = Const(n, scales_input)) {
                if (!ReadFloats(*t, &scales)) return "scales must be float constants";
            } else if (!(op == "Resize" && Const(n, 3))) {
                return "scales or sizes must be constants";
            }
            for (float s : scales)
                if (!std::isfinite(s) || s <= 0 || s > kMaxScale) return "scale out of range";
            return "";
        }
        if (op == "Pad") {
            Dims pads;
            if (!IntsFrom(n, "pads", 1, &pads) || !AllIn(pads, 0, kMaxWindow))
                return "pads must be constant, non-negative and bounded";
            const std::string mode = AttrString(n, "mode", "constant");
            if (mode != "constant" && mode != "edge" && mode != "reflect")
                return "mode '" + mode + "' is not admitted";
            return "";
        }
        if (op == "BatchNormalization") {
            if (n.output_size() != 1) return "one output only";
            for (int i = 1; i <= 4; ++i) {
                const auto* p = Const(n, i);
                if (!p || p->dims_size() != 1)
                    return "parameters must be constants of one value per channel";
            }
            const float eps = AttrFloat(n, "epsilon", 1e-5f);
            return std::isfinite(eps) && eps >= 0 ? "" : "epsilon out of range";
        }
        if (op == "Clip") {
            for (int i = 1; i < n.input_size(); ++i) {
                const auto* p = Const(n, i);
                // A scalar: every dim 1 (GCC 12 misreads a vector built here as a bad free).
                if (!n.input(i).empty() && (!p || !std::all_of(p->dims().begin(), p->dims().end(),
                                                               [](int64_t d) { return d == 1; })))
                    return "bounds must be constant scalars";
            }
            return "";
        }
        if (op == "PRelu") return Const(n, 1) ? "" : "the slope must be a constant";
        if (op == "LeakyRelu" || op == "Elu" || op == "HardSigmoid") {
            for (const auto& a : n.attribute())
                if (!std::isfinite(a.f())) return "attribute '" + a.name() + "' is not finite";
            return "";
        }
        if (op == "ConstantOfShape") {
            const auto* value = Attr(n, "value");
            if (value && (!value->has_t() || value->t().data_type() != onnx::TensorProto::FLOAT))
                return "the value must be a float";
            return "";
        }
        if (op == "Dropout") return n.output_size() == 1 ? "" : "the mask output is not admitted";
        return "";
    }

    // After shape inference, what needs the operands' dims.
    std::string CheckNode(const onnx::NodeProto& n) const {
        for (int i = 0; i < n.input_size(); ++i)
            if (!n.input(i).empty() && !shapes_.count(n.input(i)))
                return "input '" + n.input(i) + "' has no known shape";
        const std::string& op = n.op_type();
        const Dims* x = Shape(n, 0);
        if (!x) return "";  // only Constant and ConstantOfShape, whose operands are constants
        if (op == "Conv" || op == "ConvTranspose") {
            const Dims& w = *Shape(n, 1);  // a constant, checked before inference
            const int64_t group = AttrInt(n, "group", 1);
            const int64_t in_channels = op == "Conv" ? w[1] * group : w[0];
            const int64_t out_channels = op == "Conv" ? w[0] : w[1] * group;
            if ((*x)[1] % group != 0 || w[0] % group != 0 || (*x)[1] != in_channels)
                return "group and channel counts do not match";
            const Dims* bias = Shape(n, 2);
            if (bias && (bias->size() != 1 || (*bias)[0] != out_channels || !Const(n, 2)))
                return "bias is not one constant per output channel";
            return "";
        }
        if (op == "Add" || op == "Sub" || op == "Mul" || op == "Div" || op == "Max" ||
            op == "Min") {
            // OpenCV 4.6 broadcasts the other operands into a computed one, and writes past its
            // buffers when broadcasting grows it instead ((1,3,2) plus a (2,3,1,1) constant).
            const Dims& y = shapes_.at(n.output(0));
            bool computed = false;
            for (int i = 0; i < n.input_size(); ++i) computed = computed || !Const(n, i);
            for (int i = 0; i < n.input_size(); ++i) {
                const Dims* operand = Shape(n, i);
                if (operand && *operand == y && (!computed || !Const(n, i))) return "";
            }
            return "broadcasting grows a computed operand";
        }
        if (op == "Gemm") {
            const Dims* c = Shape(n, 2);
            const Dims& y = shapes_.at(n.output(0));  // rank 2, as propagated
            if (c) {
                const int64_t count = CountOf(*c, kMaxTensorElements);
                if (count != 1 && count != y[1] && count != y[0] * y[1])
                    return "C does not broadcast to the result";
            }
            return "";
        }
        if (op == "Pad" && AttrString(n, "mode", "constant") == "reflect") {
            Dims pads;
            IntsFrom(n, "pads", 1, &pads);
            for (size_t i = 0; i < pads.size(); ++i)
                if (pads[i] >= (*x)[i % x->size()])
                    return "a reflected pad is not smaller than its side";
            return "";
        }
        if (op == "BatchNormalization") {
            for (int i = 1; i <= 4; ++i)
                if ((*Shape(n, i))[0] != (*x)[1])
                    return "parameters must be constants of one value per channel";
            return "";
        }
        return "";  // the rest was checked before inference, with the ranks inference confirms
    }

    const onnx::GraphProto& g_;
    std::map<std::string, size_t> ranks_;
    std::map<std::string, Dims> shapes_;
    std::map<std::string, int> types_;
    std::map<std::string, const onnx::TensorProto*> constants_;
};

}  // namespace

const std::vector<std::string>& AllowedOperators() {
    static const std::vector<std::string> ops(AllowedSet().begin(), AllowedSet().end());
    return ops;
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
    GraphChecker checker(proto.graph());
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
