// Lowering of an admitted ONNX graph for the XNNPACK backend. The part of the graph that
// XNNPACK's subgraph operators can compute (the convolutional body: convolutions, pooling,
// elementwise arithmetic, activations, constant padding, nearest upsampling) becomes a plan of
// operators on NHWC tensors; the rest (the post-processing tail: reshapes, slices, logarithms,
// concatenation of rows) stays an ONNX graph for OpenCV, fed with the tensors where the two
// meet. The plan is plain data, built without XNNPACK, so it can be checked and fuzzed in any
// build. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_GRAPH_LOWERING_H_
#define NEROVA_PLATFORM_KERNEL_GRAPH_LOWERING_H_

#include <onnx/onnx_pb.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace nerova {
namespace lowering {

constexpr uint32_t kNoValue = std::numeric_limits<uint32_t>::max();
// A constant the plan materialises (a weight, a broadcast operand) holds at most this many
// floats; a larger one leaves its node to OpenCV.
constexpr size_t kMaxConstantElements = size_t(1) << 24;

enum class OpKind {
    kConvolution,
    kDepthwiseConvolution,  // filter (1, kh, kw, channels x multiplier); group_out = multiplier
    kDeconvolution,
    kClamp,
    kLeakyRelu,
    kElu,
    kPRelu,
    kSigmoid,
    kAbs,
    kNegate,
    kAdd,
    kSubtract,
    kMultiply,
    kDivide,
    kMaximum,
    kMinimum,
    kMaxPool,
    kAveragePool,
    kGlobalAveragePool,
    kPad,
};

struct Value {
    std::vector<size_t> dims;  // NHWC for activations; constants in the layout their op reads
    int constant = -1;         // index into Plan::constants, or -1 for a computed value
    // A computed value's name, the ONNX tensor it holds ("#k" after it for the k-th step of a
    // node lowered into several): what a calibration's ranges are keyed by.
    std::string name;
    // In an int8 plan, a value some operator reads or writes in int8: real = scale * (q - zero).
    bool int8 = false;
    float scale = 1.0f;
    int32_t zero_point = 0;
};

struct Op {
    OpKind kind = OpKind::kClamp;
    // Convolutions: input, filter (OHWI), bias. Binary ops: both operands. Others: one input.
    std::vector<uint32_t> inputs;
    uint32_t output = kNoValue;
    uint32_t pad_top = 0, pad_right = 0, pad_bottom = 0, pad_left = 0;
    uint32_t kernel_h = 1, kernel_w = 1, stride_h = 1, stride_w = 1;
    uint32_t dilation_h = 1, dilation_w = 1, adjust_h = 0, adjust_w = 0;
    uint32_t groups = 1;
    size_t group_in = 0, group_out = 0;
    float out_min = -std::numeric_limits<float>::infinity();
    float out_max = std::numeric_limits<float>::infinity();
    float alpha = 0.0f;             // LeakyRelu slope, Elu alpha
    std::vector<size_t> pre, post;  // Pad, NHWC order
    float pad_value = 0.0f;
    std::string node;  // the ONNX node it computes, as messages name it
    int node_index = -1;
    bool int8 = false;     // in an int8 plan: computed on int8 operands (Value::int8)
    bool nearest = false;  // a nearest upsampling (a deconvolution whose filter copies)
};

// A tensor of the lowered part that is read outside it: by the tail or as a graph output.
struct Boundary {
    std::string name;  // the ONNX name its reader uses
    uint32_t value = kNoValue;
    // The reader takes the tensor transposed to NHWC (a Transpose with perm 0,2,3,1 absorbed
    // here): the computed buffer as it is, no copy. Otherwise it is copied out to NCHW.
    bool nhwc = false;
    std::vector<int> dims;    // as the reader sees them
    bool tail_input = false;  // an input of the tail (else only a graph output)
};

struct Plan {
    std::vector<Value> values;
    std::vector<std::vector<float>> constants;
    std::vector<Op> ops;  // in an order where every input is computed before it is read
    uint32_t input = kNoValue;
    std::string input_name;
    std::vector<int> input_dims;  // NCHW, as the graph declares it
    std::vector<Boundary> boundaries;
    // The nodes left to OpenCV as a serialised ONNX model whose inputs are boundaries; empty
    // when the lowered part computes every graph output.
    std::string tail;
    std::vector<std::string> outputs;  // the graph's outputs, in order
    int lowered_nodes = 0;
    int tail_nodes = 0;
    bool int8 = false;  // some operators run in int8 (quantize.h)
};

// Lowers an admitted graph (after graph_check::CheckModel, whose shape inference it reads).
// Empty on success; otherwise why XNNPACK cannot take the graph, and plan is unspecified.
std::string Lower(const onnx::ModelProto& checked, Plan* plan);

}  // namespace lowering
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_GRAPH_LOWERING_H_
