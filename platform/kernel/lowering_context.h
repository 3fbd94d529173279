// The contexts the backends' columns of the operator table (operators.h) lower a node into:
// the XNNPACK body under construction, and a node of the native tail. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_LOWERING_CONTEXT_H_
#define NEROVA_PLATFORM_KERNEL_LOWERING_CONTEXT_H_

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "graph_lowering.h"
#include "onnx_attrs.h"

namespace nerova {
namespace lowering {

using Dims = std::vector<int64_t>;

// A constant operand: its ONNX dims and its values (one value repeated when uniform).
struct Constant {
    Dims dims;
    std::vector<float> data;
    bool uniform = false;
};

std::vector<size_t> Nhwc(const Dims& nchw);

// The lowering of one graph: the body grows node by node as each node's entry adds its
// operators; what no entry takes becomes the tail.
class BodyBuilder {
  public:
    BodyBuilder(const onnx::ModelProto& model, Plan* plan)
        : model_(model), g_(model.graph()), plan_(plan) {}
    std::string Run();

    // What the entries read: inferred shapes, the body's tensors (NHWC) and constants.
    const Dims* Shape(const std::string& name) const;
    // The ONNX (NCHW) shape of a tensor the body computes; null for any other.
    const Dims* HeadShape(const std::string& name) const;
    bool InBody(const std::string& name) const { return head_.count(name) != 0; }
    uint32_t Head(const std::string& name) const { return head_.at(name); }
    bool IsConstant(const std::string& name) const;
    const onnx::TensorProto* TensorOf(const std::string& name) const;
    // A float constant's dims and values (uniform ones unexpanded).
    bool ConstantOf(const std::string& name, Constant* c) const;
    // The node's first input as a 4-D tensor of the body, with every other input constant:
    // what a node of one computed operand needs. Empty, or why not.
    std::string BodyInput(const onnx::NodeProto& n, const Dims** x, uint32_t* in) const;

    // What the entries add.
    uint32_t NewValue(std::vector<size_t> dims, int constant = -1);
    uint32_t NewConstant(std::vector<float> data, std::vector<size_t> dims);
    // Expands a constant that broadcasts to out (4-D NCHW) into NHWC data with dims that
    // broadcast in XNNPACK's NHWC operators.
    bool BroadcastConstant(const Constant& c, const Dims& out, uint32_t* id);
    // Whether the node has one output, a 4-D float of exactly the expected dims.
    bool OutputIs(const onnx::NodeProto& n, const Dims& expected) const;
    // The node's one output: a 4-D float tensor of the given dims, added to the body.
    uint32_t AddOutput(const onnx::NodeProto& n, const Dims& dims);
    // The node's output is value itself (an identity), or value read as NHWC (a transpose
    // the tail reads uncopied).
    void Alias(const onnx::NodeProto& n, uint32_t value) { head_[n.output(0)] = value; }
    void View(const onnx::NodeProto& n, uint32_t value) { views_[n.output(0)] = value; }
    void Push(const Op& op) { plan_->ops.push_back(op); }
    // Folds a clamp into the operator that computes its input, when nothing else reads that
    // input: one pass over the tensor instead of two.
    bool FuseClamp(const std::string& input, float lo, float hi);
    // Records a Constant or ConstantOfShape node's value for the entries that read it.
    std::string ReadConstantNode(const onnx::NodeProto& n);

  private:
    void ReadShapes();
    void AddBoundary(const std::string& name, bool tail_input);
    std::string BuildTail(const std::vector<int>& nodes, const std::set<std::string>& reads);

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

// Tensors of the native tail are rows of a detection network's output: a few hundred
// thousand values at most. A larger one stays with OpenCV.
constexpr int64_t kMaxTailElements = int64_t(1) << 22;

// A tensor of the native tail: computed values, a constant, or an input's bound data.
struct TailTensor {
    Dims dims;
    std::vector<float> own;     // computed values and float constants
    std::vector<int64_t> ints;  // integer constants (shapes, starts, ends, axes)
    bool integer = false;
    const float* bound = nullptr;  // an input's data
    const float* data() const { return bound ? bound : own.data(); }
    float* mutable_data() { return own.data(); }
    size_t count() const { return static_cast<size_t>(onnx_attrs::ElementCount(dims)); }
};
using TailStep = std::function<void(std::vector<TailTensor>&)>;

// A node of the native tail as its entry lowers it: the operands, and what the entry sets,
// the output's dims and the step computing it (every buffer is sized before any run).
struct TailNode {
    const std::vector<TailTensor>& tensors;
    std::vector<int> in;  // the operands' tensor indices, -1 for an absent one
    int64_t opset = 11;
    int y = -1;  // the output's tensor index
    Dims out_dims;
    TailStep run;

    const Dims& dims(int i) const { return tensors[static_cast<size_t>(in[i])].dims; }
    // A constant operand's values as integers (shapes, starts, ends, axes).
    bool Ints(int i, Dims* out) const {
        if (i >= static_cast<int>(in.size()) || in[i] < 0) return false;
        const TailTensor& t = tensors[static_cast<size_t>(in[i])];
        if (!t.integer) return false;
        *out = t.ints;
        return true;
    }
    // Whether the first count operands (every one for -1), read as floats, are float tensors.
    bool Floats(int count = -1) const {
        const int n = count < 0 ? static_cast<int>(in.size()) : count;
        for (int i = 0; i < n; ++i)
            if (in[static_cast<size_t>(i)] < 0 || tensors[static_cast<size_t>(in[i])].integer)
                return false;
        return true;
    }
};

// A node's operators in the body, as the int8 column of its entry sees them.
struct Int8Node {
    const Plan& plan;
    std::vector<const Op*> ops;
    bool Computed(uint32_t value) const { return plan.values[value].constant < 0; }
};

}  // namespace lowering
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_LOWERING_CONTEXT_H_
