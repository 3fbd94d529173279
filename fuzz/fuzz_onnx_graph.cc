// The kernel loading networks mutated as graphs, not as bytes: flipped bytes seldom leave a
// model that parses, let alone one whose only fault is an attribute value. This target parses
// each input as an ONNX model and changes what the admission check must judge: attribute
// values (0, negative, huge, NaN and infinities), tensor dims and data sizes, operator types
// from the kernel's allow-list, and the wiring between nodes. Inputs that do not parse get
// byte mutations. Every mutation is drawn from the seed libFuzzer passes, so a run with -seed
// is repeatable. The run itself is fuzz_onnx_load's: load, create, run, fetch the output.
#include <onnx/defs/schema.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "graph_check.h"
#include "graph_lowering.h"
#include "quantize.h"
#ifdef NEROVA_HAVE_XNNPACK
#include "conv_kernel.h"
#include "qconv_kernel.h"
#include "xnn_runner.h"
#endif

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

using Rng = std::mt19937;

size_t Below(Rng& rng, size_t n) { return n ? rng() % n : 0; }
bool OneIn(Rng& rng, unsigned n) { return rng() % n == 0; }

template <typename T, size_t N>
const T& Pick(Rng& rng, const T (&values)[N]) {
    return values[Below(rng, N)];
}

// Integers that sit on an edge somewhere: sizes, limits, wrap-arounds, and small ones.
int64_t Int(Rng& rng) {
    static const int64_t kEdges[] = {0,
                                     1,
                                     -1,
                                     2,
                                     -2,
                                     3,
                                     4,
                                     7,
                                     16,
                                     64,
                                     4096,
                                     4097,
                                     int64_t(1) << 27,
                                     int64_t(1) << 31,
                                     INT32_MAX,
                                     INT32_MIN,
                                     INT64_MAX,
                                     INT64_MIN,
                                     INT64_MAX - 14,  // a padded side of 16 wraps to INT64_MIN
                                     INT64_MIN + 1};
    if (OneIn(rng, 3)) return static_cast<int64_t>(Below(rng, 19)) - 9;
    return Pick(rng, kEdges);
}

float Float(Rng& rng) {
    static const float kEdges[] = {0.0f,    -0.0f,  1.0f,          -1.0f,    0.5f,     2.0f,
                                   64.0f,   65.0f,  1e-30f,        1e30f,    FLT_MAX,  -FLT_MAX,
                                   FLT_MIN, 1e-45f, std::nanf(""), INFINITY, -INFINITY};
    if (OneIn(rng, 4)) return static_cast<float>(Below(rng, 2001)) / 100.0f - 10.0f;
    return Pick(rng, kEdges);
}

std::string String(Rng& rng) {
    static const char* const kStrings[] = {"NOTSET",
                                           "SAME_UPPER",
                                           "SAME_LOWER",
                                           "VALID",
                                           "nearest",
                                           "linear",
                                           "bilinear",
                                           "cubic",
                                           "constant",
                                           "reflect",
                                           "edge",
                                           "half_pixel",
                                           "asymmetric",
                                           "align_corners",
                                           "tf_crop_and_resize",
                                           "round_prefer_floor",
                                           "floor",
                                           ""};
    return Pick(rng, kStrings);
}

int Opset(const onnx::ModelProto& model) {
    for (const auto& o : model.opset_import())
        if (o.domain().empty() || o.domain() == "ai.onnx") return static_cast<int>(o.version());
    return 13;
}

const onnx::OpSchema* SchemaOf(const onnx::ModelProto& model, const onnx::NodeProto& node) {
    return onnx::OpSchemaRegistry::Schema(node.op_type(), Opset(model), node.domain());
}

// Every tensor name the graph knows, and the empty name of an absent optional input.
std::vector<std::string> Names(const onnx::GraphProto& g) {
    std::vector<std::string> names = {""};
    for (const auto& v : g.input()) names.push_back(v.name());
    for (const auto& t : g.initializer()) names.push_back(t.name());
    for (const auto& n : g.node())
        for (const auto& o : n.output()) names.push_back(o);
    return names;
}

void SetValue(onnx::AttributeProto* a, Rng& rng) {
    switch (a->type()) {
        case onnx::AttributeProto::INT:
            a->set_i(Int(rng));
            break;
        case onnx::AttributeProto::FLOAT:
            a->set_f(Float(rng));
            break;
        case onnx::AttributeProto::STRING:
            a->set_s(String(rng));
            break;
        case onnx::AttributeProto::INTS: {
            const size_t n = a->ints_size();
            if (n == 0 || OneIn(rng, 4)) {  // a new length: what the ranks are checked against
                a->clear_ints();
                const size_t len = Below(rng, 6);
                for (size_t i = 0; i < len; ++i) a->add_ints(OneIn(rng, 2) ? 1 : Int(rng));
            } else {
                a->set_ints(static_cast<int>(Below(rng, n)), Int(rng));
            }
            break;
        }
        case onnx::AttributeProto::FLOATS: {
            const size_t n = a->floats_size();
            if (n == 0 || OneIn(rng, 4))
                a->add_floats(Float(rng));
            else
                a->set_floats(static_cast<int>(Below(rng, n)), Float(rng));
            break;
        }
        default:
            break;
    }
}

// An existing attribute's value changes, or one the operator's schema knows is added with a
// value of its type, or one is removed.
void MutateAttribute(const onnx::ModelProto& model, onnx::NodeProto* node, Rng& rng) {
    const onnx::OpSchema* schema = SchemaOf(model, *node);
    const size_t choice = Below(rng, 8);
    if (node->attribute_size() > 0 && choice < 5) {
        SetValue(node->mutable_attribute(static_cast<int>(Below(rng, node->attribute_size()))),
                 rng);
    } else if (schema && !schema->attributes().empty() && choice < 7) {
        auto it = schema->attributes().begin();
        std::advance(it, Below(rng, schema->attributes().size()));
        onnx::AttributeProto* a = nullptr;
        for (auto& existing : *node->mutable_attribute())
            if (existing.name() == it->first) a = &existing;
        if (!a) {
            a = node->add_attribute();
            a->set_name(it->first);
            a->set_type(it->second.type);
        }
        SetValue(a, rng);
    } else if (node->attribute_size() > 0) {
        auto* attrs = node->mutable_attribute();
        attrs->SwapElements(static_cast<int>(Below(rng, attrs->size())), attrs->size() - 1);
        attrs->RemoveLast();
    }
}

template <typename Field, typename Make>
void ResizeField(Field* f, size_t n, Make make) {
    while (static_cast<size_t>(f->size()) > n) f->RemoveLast();
    while (static_cast<size_t>(f->size()) < n) f->Add(make());
}

// Dims, the amount of data, single values or the element type of a constant.
void MutateTensor(onnx::TensorProto* t, Rng& rng) {
    switch (Below(rng, 5)) {
        case 0:
            if (t->dims_size() > 0 && !OneIn(rng, 4)) {
                const int i = static_cast<int>(Below(rng, t->dims_size()));
                const uint64_t step = OneIn(rng, 2) ? 1 : ~uint64_t(0);  // wraps, as it may
                t->set_dims(i, OneIn(rng, 2) ? static_cast<int64_t>(t->dims(i) + step) : Int(rng));
            } else if (OneIn(rng, 2) && t->dims_size() > 0) {
                t->mutable_dims()->RemoveLast();
            } else {
                t->add_dims(OneIn(rng, 2) ? 1 : Int(rng));
            }
            break;
        case 1: {  // the data to a length: the dims' count, one off it, or empty
            int64_t count = 1;
            for (int64_t d : t->dims())
                if (d > 0 && d < (1 << 20) && count < (1 << 20)) count *= d;
            const size_t n = static_cast<size_t>(std::max<int64_t>(
                0, std::min<int64_t>(count + static_cast<int64_t>(Below(rng, 3)) - 1, 1 << 20)));
            const size_t width = t->data_type() == onnx::TensorProto::INT64 ? 8 : 4;
            if (t->has_raw_data())
                t->mutable_raw_data()->resize(OneIn(rng, 4) ? Below(rng, 9) : n * width);
            else if (t->data_type() == onnx::TensorProto::INT64)
                ResizeField(t->mutable_int64_data(), n, [] { return int64_t(1); });
            else
                ResizeField(t->mutable_float_data(), n, [] { return 1.0f; });
            break;
        }
        case 2:
        case 3: {  // one value: shapes, axes, pads and scales are constants too
            if (t->data_type() == onnx::TensorProto::INT64) {
                if (t->has_raw_data() && t->raw_data().size() >= 8) {
                    const int64_t v = Int(rng);
                    std::memcpy(&(*t->mutable_raw_data())[8 * Below(rng, t->raw_data().size() / 8)],
                                &v, 8);
                } else if (t->int64_data_size() > 0) {
                    t->set_int64_data(static_cast<int>(Below(rng, t->int64_data_size())), Int(rng));
                }
            } else if (t->data_type() == onnx::TensorProto::FLOAT) {
                if (t->has_raw_data() && t->raw_data().size() >= 4) {
                    const float v = Float(rng);
                    std::memcpy(&(*t->mutable_raw_data())[4 * Below(rng, t->raw_data().size() / 4)],
                                &v, 4);
                } else if (t->float_data_size() > 0) {
                    t->set_float_data(static_cast<int>(Below(rng, t->float_data_size())),
                                      Float(rng));
                }
            }
            break;
        }
        default: {
            static const int kTypes[] = {onnx::TensorProto::FLOAT, onnx::TensorProto::INT64,
                                         onnx::TensorProto::INT32, onnx::TensorProto::DOUBLE,
                                         onnx::TensorProto::UINT8, onnx::TensorProto::FLOAT16};
            t->set_data_type(Pick(rng, kTypes));
            break;
        }
    }
}

// The graph's input or output: its dims, its rank, its element type.
void MutateValueInfo(onnx::ValueInfoProto* v, Rng& rng) {
    auto* tensor = v->mutable_type()->mutable_tensor_type();
    auto* shape = tensor->mutable_shape();
    const size_t choice = Below(rng, 6);
    if (choice < 3 && shape->dim_size() > 0) {
        auto* d = shape->mutable_dim(static_cast<int>(Below(rng, shape->dim_size())));
        if (OneIn(rng, 6))
            d->set_dim_param("n");
        else
            d->set_dim_value(OneIn(rng, 2) ? static_cast<int64_t>(Below(rng, 9)) : Int(rng));
    } else if (choice == 3) {
        shape->add_dim()->set_dim_value(1 + Below(rng, 4));
    } else if (choice == 4 && shape->dim_size() > 0) {
        shape->mutable_dim()->RemoveLast();
    } else {
        tensor->set_elem_type(OneIn(rng, 2) ? onnx::TensorProto::FLOAT : onnx::TensorProto::INT64);
    }
}

// Which tensor a node reads or writes, and which nodes there are, in what order.
void MutateWiring(onnx::GraphProto* g, Rng& rng) {
    auto* nodes = g->mutable_node();
    if (nodes->empty()) return;
    const std::vector<std::string> names = Names(*g);
    const int index = static_cast<int>(Below(rng, nodes->size()));
    onnx::NodeProto* node = nodes->Mutable(index);
    switch (Below(rng, 7)) {
        case 0:
        case 1:
            if (node->input_size() > 0)
                node->set_input(static_cast<int>(Below(rng, node->input_size())),
                                names[Below(rng, names.size())]);
            break;
        case 2:
            if (node->output_size() > 0)
                node->set_output(static_cast<int>(Below(rng, node->output_size())),
                                 OneIn(rng, 2) ? names[Below(rng, names.size())]
                                               : "fresh_" + std::to_string(Below(rng, 4)));
            break;
        case 3:
            if (OneIn(rng, 2))
                node->add_input(names[Below(rng, names.size())]);
            else if (node->input_size() > 0)
                node->mutable_input()->RemoveLast();
            break;
        case 4:  // a node dropped
            nodes->DeleteSubrange(index, 1);
            break;
        case 5: {  // a node duplicated, at the end or in its own place
            const onnx::NodeProto copy = *node;
            *nodes->Add() = copy;
            if (OneIn(rng, 2)) nodes->SwapElements(nodes->size() - 1, index);
            break;
        }
        default:  // two nodes swap places
            nodes->SwapElements(static_cast<int>(Below(rng, nodes->size())),
                                static_cast<int>(Below(rng, nodes->size())));
            break;
    }
}

// Another operator of the kernel's allow-list (now and then one it refuses), with as many
// inputs as its schema takes.
void MutateOperator(const onnx::ModelProto& model, onnx::GraphProto* g, Rng& rng) {
    if (g->node_size() == 0) return;
    onnx::NodeProto* node = g->mutable_node(static_cast<int>(Below(rng, g->node_size())));
    static const char* const kRefused[] = {"Hardmax", "Gather", "Shape", "Tile", "LRN", "Expand"};
    const auto& allowed = nerova::graph_check::AllowedOperators();
    node->set_op_type(OneIn(rng, 10) ? std::string(Pick(rng, kRefused))
                                     : allowed[Below(rng, allowed.size())]);
    const onnx::OpSchema* schema = SchemaOf(model, *node);
    if (!schema) return;
    const std::vector<std::string> names = Names(*g);
    while (node->input_size() > std::min(schema->max_input(), 8))
        node->mutable_input()->RemoveLast();
    while (node->input_size() < schema->min_input())
        node->add_input(names[Below(rng, names.size())]);
    if (!OneIn(rng, 4)) node->clear_attribute();  // the old operator's attributes mostly
}

void Mutate(onnx::ModelProto* model, Rng& rng) {
    onnx::GraphProto* g = model->mutable_graph();
    const size_t choice = Below(rng, 20);
    if (choice < 8) {
        if (g->node_size() > 0)
            MutateAttribute(*model, g->mutable_node(static_cast<int>(Below(rng, g->node_size()))),
                            rng);
    } else if (choice < 11) {
        std::vector<onnx::TensorProto*> tensors;
        for (auto& t : *g->mutable_initializer()) tensors.push_back(&t);
        for (auto& n : *g->mutable_node())
            for (auto& a : *n.mutable_attribute())
                if (a.has_t()) tensors.push_back(a.mutable_t());
        if (!tensors.empty()) MutateTensor(tensors[Below(rng, tensors.size())], rng);
    } else if (choice < 15) {
        MutateWiring(g, rng);
    } else if (choice < 17) {
        MutateOperator(*model, g, rng);
    } else if (choice < 19) {
        auto* infos = OneIn(rng, 2) ? g->mutable_input() : g->mutable_output();
        if (!infos->empty())
            MutateValueInfo(infos->Mutable(static_cast<int>(Below(rng, infos->size()))), rng);
    } else {
        for (auto& o : *model->mutable_opset_import())
            if (o.domain().empty()) o.set_version(OneIn(rng, 4) ? Int(rng) : 6 + Below(rng, 13));
    }
}

bool Parse(const uint8_t* data, size_t size, onnx::ModelProto* model) {
    return size <= static_cast<size_t>(INT_MAX) &&
           model->ParseFromArray(data, static_cast<int>(size)) && model->has_graph();
}

size_t Emit(const onnx::ModelProto& model, uint8_t* out, size_t max_size) {
    const std::string bytes = model.SerializeAsString();
    if (bytes.empty() || bytes.size() > max_size) return 0;
    std::memcpy(out, bytes.data(), bytes.size());
    return bytes.size();
}

}  // namespace

#ifdef NEROVA_FUZZ_LOWERING
// fuzz_graph_lowering: the same mutations, judged by the XNNPACK lowering. What the admission
// check passes either lowers into a plan whose every operator reads values defined before it,
// or is refused with a reason; and the network then runs on both backends to the same
// numbers.
namespace {

void CheckPlan(const nerova::lowering::Plan& plan) {
    std::vector<bool> defined(plan.values.size(), false);
    if (plan.input >= plan.values.size()) __builtin_trap();
    defined[plan.input] = true;
    for (size_t v = 0; v < plan.values.size(); ++v) {
        const auto& value = plan.values[v];
        if (value.constant >= 0) {
            if (static_cast<size_t>(value.constant) >= plan.constants.size()) __builtin_trap();
            size_t n = 1;
            for (size_t d : value.dims) n *= d;
            if (plan.constants[static_cast<size_t>(value.constant)].size() != n) __builtin_trap();
            defined[v] = true;
        }
        for (size_t d : value.dims)
            if (d == 0) __builtin_trap();
    }
    for (const auto& op : plan.ops) {
        for (uint32_t in : op.inputs)
            if (in >= plan.values.size() || !defined[in]) __builtin_trap();
        if (op.output >= plan.values.size() || defined[op.output]) __builtin_trap();
        defined[op.output] = true;
    }
    for (const auto& b : plan.boundaries)
        if (b.value >= plan.values.size() || !defined[b.value]) __builtin_trap();
}

bool Finite(const onnx::TensorProto& t) {
    if (t.data_type() != onnx::TensorProto::FLOAT) return true;
    for (float v : t.float_data())
        if (!std::isfinite(v)) return false;
    const std::string& raw = t.raw_data();
    for (size_t i = 0; i + sizeof(float) <= raw.size(); i += sizeof(float)) {
        float v;
        std::memcpy(&v, raw.data() + i, sizeof v);
        if (!std::isfinite(v)) return false;
    }
    return true;
}

// Whether the graph holds an operator whose result magnifies a small change of its input
// without bound (a logarithm or a division near zero, a root near zero).
bool MagnifiesRounding(const onnx::GraphProto& g) {
    for (const auto& n : g.node())
        for (const char* op : {"Log", "Div", "Reciprocal", "Pow", "Sqrt"})
            if (n.op_type() == op) return true;
    return false;
}

// Whether every float the graph holds (weights, constants, attributes) is a finite number. An
// infinite weight makes NaN inside the network, and the backends' activations treat NaN
// differently: XNNPACK's clamps turn it into a bound (Relu gives 0, Clip its minimum), OpenCV
// DNN's keep it or give the other bound. No ONNX reading fixes the number such a network gives.
bool FiniteConstants(const onnx::GraphProto& g) {
    for (const auto& t : g.initializer())
        if (!Finite(t)) return false;
    for (const auto& node : g.node())
        for (const auto& a : node.attribute()) {
            if (!std::isfinite(a.f()) || (a.has_t() && !Finite(a.t()))) return false;
            for (float v : a.floats())
                if (!std::isfinite(v)) return false;
            for (const auto& t : a.tensors())
                if (!Finite(t)) return false;
        }
    return true;
}

// Ranges for every computed value, drawn from its name and the input's size: tame, wide,
// degenerate (never left 0) or one-sided, as calibrations of real networks give.
nerova::lowering::Ranges SyntheticRanges(const nerova::lowering::Plan& plan, size_t size) {
    static const std::pair<float, float> kRanges[] = {{-1.0f, 1.0f},      {0.0f, 6.0f},
                                                      {-900.0f, 1600.0f}, {0.0f, 0.0f},
                                                      {2.0f, 3.0f},       {-1e-8f, 1e-8f}};
    nerova::lowering::Ranges ranges;
    for (const auto& value : plan.values) {
        if (value.constant >= 0 || value.name.empty()) continue;
        const size_t pick =
            (std::hash<std::string>()(value.name) + size) % (std::size(kRanges) + 1);
        if (pick < std::size(kRanges)) ranges[value.name] = kRanges[pick];  // else: no range
    }
    return ranges;
}

// A quantised plan: every operand and result of an int8 operator has a quantisation XNNPACK
// takes.
void CheckQuantised(const nerova::lowering::Plan& plan) {
    std::vector<bool> leaves(plan.values.size(), false);
    for (const auto& b : plan.boundaries) leaves.at(b.value) = true;
    for (const auto& op : plan.ops) {
        if (!op.int8) continue;
        // What leaves the body is computed in float.
        if (leaves[op.output]) __builtin_trap();
        std::vector<uint32_t> values = op.inputs;
        values.push_back(op.output);
        for (uint32_t v : values) {
            const auto& value = plan.values[v];
            if (value.constant >= 0) continue;
            if (!value.int8 || !(value.scale > 0.0f) || !std::isfinite(value.scale) ||
                value.zero_point < -128 || value.zero_point > 127)
                __builtin_trap();
        }
    }
}

#ifdef NEROVA_HAVE_XNNPACK
// The largest magnitude among the values the body computes from the input both backends get
// (infinity for a NaN; 0 when there is nothing to look into). A division by a zero weight
// makes an infinity or a NaN inside the network from finite constants, and the backends'
// activations treat them differently (as for FiniteConstants). Large values that cancel
// leave rounding of their size on a small output, which the two backends' orders of sums
// round differently.
float LargestInside(const nerova::lowering::Plan& plan) {
    namespace lw = nerova::lowering;
    std::string why;
    auto runner = lw::XnnRunner::Create(std::make_shared<const lw::Plan>(plan), 1, &why,
                                        lw::Memory::kEvery, lw::Native::kNever);
    if (!runner || plan.input_dims.size() != 4) return 0.0f;  // nothing to look into
    // LoadAndRunOnnx's input, NCHW, laid out NHWC.
    const size_t n = static_cast<size_t>(plan.input_dims[0]);
    const size_t c = static_cast<size_t>(plan.input_dims[1]);
    const size_t h = static_cast<size_t>(plan.input_dims[2]);
    const size_t w = static_cast<size_t>(plan.input_dims[3]);
    for (size_t i = 0; i < n * c * h * w; ++i) {
        const size_t x = i % w, y = i / w % h, ch = i / (w * h) % c, image = i / (w * h * c);
        runner->input()[((image * h + y) * w + x) * c + ch] =
            static_cast<float>(i % 17) / 8.0f - 1.0f;
    }
    if (!runner->Run(&why)) return 0.0f;
    float largest = 0.0f;
    for (size_t v = 0; v < plan.values.size(); ++v) {
        const float* data = runner->value(static_cast<uint32_t>(v));
        if (!data || plan.values[v].constant >= 0) continue;
        size_t count = 1;
        for (size_t d : plan.values[v].dims) count *= d;
        for (size_t i = 0; i < count; ++i) {
            if (!std::isfinite(data[i])) return std::numeric_limits<float>::infinity();
            largest = std::max(largest, std::abs(data[i]));
        }
    }
    return largest;
}

// The plan run as native says, on the input every comparison uses; null when XNNPACK cannot
// build it on its own kernels (kNever). Cut into stretches, a body XNNPACK takes whole must
// build and run.
std::unique_ptr<nerova::lowering::XnnRunner> RunOn(
    const std::shared_ptr<const nerova::lowering::Plan>& plan, nerova::lowering::Native native) {
    namespace lw = nerova::lowering;
    std::string why;
    auto runner = lw::XnnRunner::Create(plan, 1, &why, lw::Memory::kShared, native);
    if (!runner) {
        if (native == lw::Native::kNever) return nullptr;
        __builtin_trap();
    }
    size_t inputs = 1;
    for (size_t d : plan->values[plan->input].dims) inputs *= d;
    for (size_t i = 0; i < inputs; ++i)
        runner->input()[i] = static_cast<float>(i % 13) / 6.0f - 1.0f;
    if (!runner->Run(&why)) __builtin_trap();
    return runner;
}

// The body with its one-group convolutions on our own kernel (chosen on AVX2 cores only; run
// here wherever the CPU can) computes XNNPACK's numbers, under the same terms as the two
// backends below.
void CompareConvKernel(const onnx::ModelProto& model, const nerova::lowering::Plan& plan) {
    namespace lw = nerova::lowering;
    if (!lw::ConvKernelRuns() || !FiniteConstants(model.graph())) return;
    const auto shared = std::make_shared<const lw::Plan>(plan);
    const auto xnnpack = RunOn(shared, lw::Native::kNever);
    if (!xnnpack) return;
    const auto ours = RunOn(shared, lw::Native::kAlways);
    for (size_t b = 0; b < plan.boundaries.size(); ++b) {
        size_t n = 1;
        for (size_t d : plan.values[plan.boundaries[b].value].dims) n *= d;
        const float* want = xnnpack->boundary(b);
        const float* got = ours->boundary(b);
        float scale = 1.0f;
        for (size_t i = 0; i < n; ++i) {
            if (!std::isfinite(want[i]) || !std::isfinite(got[i])) return;
            scale = std::max({scale, std::abs(want[i]), std::abs(got[i])});
        }
        if (scale > 1e6f) return;
        for (size_t i = 0; i < n; ++i)
            if (std::abs(got[i] - want[i]) >
                1e-3f * std::max({1.0f, std::abs(got[i]), std::abs(want[i])}) + 1e-5f * scale) {
                std::fprintf(stderr, "boundary %zu element %zu: ours %g, XNNPACK %g\n", b, i,
                             got[i], want[i]);
                __builtin_trap();
            }
    }
}

// The int8 body with its convolutions on our kernels, in each form this CPU runs (the AVX2 one
// with its depthwise layers too), gives XNNPACK's own int8 numbers exactly, unless its entry
// runs on ours (which rounds the float input once, where XNNPACK rounds twice).
void CompareQConvKernel(const nerova::lowering::Plan& quantised) {
    namespace lw = nerova::lowering;
    if (!quantised.int8) return;
    for (const auto& op : quantised.ops)
        if (lw::IsInt8Entry(quantised, op)) return;
    const auto shared = std::make_shared<const lw::Plan>(quantised);
    const auto xnnpack = RunOn(shared, lw::Native::kNever);
    if (!xnnpack) return;
    for (const auto& [isa, native] : {std::pair(lw::QIsa::kAvx512Vnni, lw::Native::kAlways),
                                      std::pair(lw::QIsa::kAvx2, lw::Native::kAvx2)}) {
        if (!lw::QIsaRuns(isa)) continue;
        const auto ours = RunOn(shared, native);
        for (size_t b = 0; b < quantised.boundaries.size(); ++b) {
            size_t n = 1;
            for (size_t d : quantised.values[quantised.boundaries[b].value].dims) n *= d;
            for (size_t i = 0; i < n; ++i) {
                const float want = xnnpack->boundary(b)[i], got = ours->boundary(b)[i];
                if (std::isnan(want) && std::isnan(got)) continue;
                if (got != want) {
                    std::fprintf(stderr,
                                 "int8 boundary %zu element %zu: ours (%s) %g, XNNPACK %g\n", b, i,
                                 isa == lw::QIsa::kAvx2 ? "AVX2" : "VNNI", got, want);
                    __builtin_trap();
                }
            }
        }
    }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    onnx::ModelProto model;
    if (!Parse(data, size, &model)) return 0;
    nerova::graph_check::Admitted admitted;
    if (!nerova::graph_check::CheckModel(model, &admitted).empty()) return 0;
    nerova::lowering::Plan plan;
    if (!nerova::lowering::Lower(model, &plan).empty()) return 0;
    CheckPlan(plan);
#ifdef NEROVA_HAVE_XNNPACK
    CompareConvKernel(model, plan);
#endif
    // The same network in int8, on ranges of every kind: whatever is quantised is so
    // consistently, and it runs to the float output's shape or is refused.
    const nerova::lowering::Ranges ranges = SyntheticRanges(plan, size);
    nerova::lowering::Plan quantised = plan;
    nerova::lowering::Quantize(model, ranges, &quantised);
    CheckQuantised(quantised);
#ifdef NEROVA_HAVE_XNNPACK
    CompareQConvKernel(quantised);
#endif
    const std::string calibration = nerova::lowering::FormatRanges(ranges);
    const auto int8 =
        nerova_fuzz::LoadAndRunOnnx(data, size, NEROVA_NETWORK_TYPE_XNNPACK, &calibration);
    const auto fast = nerova_fuzz::LoadAndRunOnnx(data, size, NEROVA_NETWORK_TYPE_XNNPACK);
    if (int8.ran() && fast.ran() && int8.dims != fast.dims) __builtin_trap();
    const auto plain = nerova_fuzz::LoadAndRunOnnx(data, size, NEROVA_NETWORK_TYPE_OPENCV);
    if (!fast.ran() || !plain.ran()) return 0;
    if (fast.dims != plain.dims || fast.values.size() != plain.values.size()) __builtin_trap();
    // The same numbers, to float rounding in sums of different order, for networks whose
    // values stay finite and tame. A mutated weight near the float range makes the order of
    // the sums decide where they overflow, and a clamp after an overflow or a NaN (Clip,
    // HardSigmoid: OpenCV's fused and plain activations treat NaN differently) can give any
    // number. Networks with a non-finite constant or a non-finite value inside the body, or whose
    // values inside or out hold a NaN or an infinity or reach far past 1e6, are not compared;
    // the tolerance grows with the largest value inside, whose rounding cancellation can leave
    // on a small output.
    if (!FiniteConstants(model.graph())) return 0;
    float scale = 1.0f;
#ifdef NEROVA_HAVE_XNNPACK
    scale = std::max(scale, LargestInside(plan));
    // Sums of values past a thousand that cancel leave rounding of their size, which a
    // logarithm or a division after them can make as large as any output.
    if (!std::isfinite(scale) || (scale > 1e3f && MagnifiesRounding(model.graph()))) return 0;
#endif
    for (const auto* run : {&fast, &plain})
        for (float v : run->values) {
            if (!std::isfinite(v)) return 0;
            scale = std::max(scale, std::abs(v));
        }
    if (scale > 1e6f) return 0;
    for (size_t i = 0; i < fast.values.size(); ++i) {
        const float a = fast.values[i], b = plain.values[i];
        if (std::abs(a - b) > 1e-3f * std::max({1.0f, std::abs(a), std::abs(b)}) + 1e-5f * scale) {
            std::fprintf(stderr, "output element %zu of %zu: XNNPACK %g, OpenCV DNN %g\n", i,
                         fast.values.size(), a, b);
            __builtin_trap();
        }
    }
    return 0;
}
#else
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nerova_fuzz::LoadAndRunOnnx(data, size);
    return 0;
}
#endif

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
    Rng rng(seed);
    onnx::ModelProto model;
    // Now and then bytes anyway: raw tensor data and what the parser itself makes of them.
    if (OneIn(rng, 10) || !Parse(data, size, &model)) return LLVMFuzzerMutate(data, size, max_size);
    const size_t rounds = 1 + Below(rng, 3);
    for (size_t i = 0; i < rounds; ++i) Mutate(&model, rng);
    const size_t written = Emit(model, data, max_size);
    return written ? written : LLVMFuzzerMutate(data, size, max_size);
}

// Splices a node of the second model, with the constants it reads that the first lacks, into
// the first one at some place.
extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1,
                                            const uint8_t* data2, size_t size2, uint8_t* out,
                                            size_t max_out_size, unsigned int seed) {
    Rng rng(seed);
    onnx::ModelProto a, b;
    if (!Parse(data1, size1, &a) || !Parse(data2, size2, &b) || b.graph().node_size() == 0)
        return 0;
    const onnx::NodeProto& node =
        b.graph().node(static_cast<int>(Below(rng, b.graph().node_size())));
    onnx::GraphProto* g = a.mutable_graph();
    const std::vector<std::string> names = Names(*g);
    for (const auto& input : node.input()) {
        if (std::find(names.begin(), names.end(), input) != names.end()) continue;
        for (const auto& t : b.graph().initializer())
            if (t.name() == input) *g->add_initializer() = t;
    }
    *g->add_node() = node;
    if (g->node_size() > 1 && OneIn(rng, 2))
        g->mutable_node()->SwapElements(g->node_size() - 1,
                                        static_cast<int>(Below(rng, g->node_size())));
    return Emit(a, out, max_out_size);
}
