// The kernel's operator table: one entry per ONNX operator the kernel admits, holding all it
// knows about that operator. The admission check, the XNNPACK lowering and the native tail
// look a node's entry up instead of keeping rules of their own, so that adding an operator,
// or a backend, touches the table alone (docs/operators.md). Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_OPERATORS_H_
#define NEROVA_PLATFORM_KERNEL_OPERATORS_H_

#include <onnx/onnx_pb.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace nerova {

namespace lowering {
class BodyBuilder;  // lowering_context.h
struct TailNode;
struct Int8Node;
class OpenCvGraph;  // opencv_graph.h
}  // namespace lowering

namespace ops {

using Dims = std::vector<int64_t>;

// What the admission check knows of the graph when it reads a node: every value's rank
// before shape inference, every shape after it, and the constant tensors by name.
struct AdmissionContext {
    std::map<std::string, size_t> ranks;
    std::map<std::string, Dims> shapes;
    std::map<std::string, const onnx::TensorProto*> constants;

    // Input i's shape or constant tensor; null when absent or unknown.
    const Dims* Shape(const onnx::NodeProto& n, int i) const;
    const onnx::TensorProto* Const(const onnx::NodeProto& n, int i) const;
    // Integer values from attribute name, or else from constant input i (newer opsets); empty
    // when neither is given, false when input i is not an integer constant.
    bool IntsFrom(const onnx::NodeProto& n, const char* name, int i, Dims* out) const;
};

// A backend's verdict on a node, one signature for every backend: empty when the backend
// took the node (and lowered it into its context), otherwise why not.
template <typename Context>
using Lowering = std::string (*)(Context& context, const onnx::NodeProto& n);

struct Operator {
    const char* op_type;

    // Admission: what OpenCV's importer and ONNX's inference take safely.
    // Before shape inference, with the inputs' ranks (0 for an absent input): empty or why
    // not; *out is the output rank, preset to the first input's. Null for Constant, whose
    // rank is its tensor's.
    std::string (*ranks)(const AdmissionContext& c, const onnx::NodeProto& n,
                         const std::vector<size_t>& in, size_t* out);
    // Before shape inference: attribute values and constant operands, which ONNX's inference
    // and OpenCV's importer divide by and index with unchecked. Null: nothing to check.
    std::string (*attributes)(const AdmissionContext& c, const onnx::NodeProto& n);
    // After shape inference, what needs the operands' dims; x is the first input's shape.
    // Null: nothing to check.
    std::string (*shapes)(const AdmissionContext& c, const onnx::NodeProto& n, const Dims& x);

    // The XNNPACK body. Null: never lowered.
    Lowering<lowering::BodyBuilder> xnn;
    // The native tail after the body. Null: not run natively.
    Lowering<lowering::TailNode> tail;
    // OpenCV DNN: the node as OpenCV is handed it, rewritten where OpenCV would compute it
    // otherwise than ONNX means it. Null: handed over as it is.
    Lowering<lowering::OpenCvGraph> opencv;
    // int8 on XNNPACK: whether the operators the XNNPACK column made of the node can run on
    // int8 operands (quantize.h). Null: they stay in float.
    Lowering<lowering::Int8Node> int8;
};

// The entry of op_type, or null for an operator the kernel does not admit.
const Operator* Find(const std::string& op_type);
// Every entry, ordered by op_type.
const std::vector<Operator>& Table();

// "node 3 'conv1' (Conv)": how messages name a node of the graph.
std::string NodeLabel(const onnx::NodeProto& n, int index);

}  // namespace ops
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_OPERATORS_H_
