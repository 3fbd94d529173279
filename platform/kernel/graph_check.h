// Admission check of ONNX graphs before OpenCV's importer sees them. The importer trusts
// the graph: it divides by attribute values and weight dims and indexes with axes, and a
// graph that the ONNX checker accepts can still crash it (a zero weight dim, group 0). So
// the kernel admits only what it knows OpenCV imports safely: operators of an allow-list,
// shapes known and non-empty everywhere, attributes inside the ranges the importer handles,
// and tensors inside fixed size limits. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_GRAPH_CHECK_H_
#define NEROVA_PLATFORM_KERNEL_GRAPH_CHECK_H_

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nerova {
namespace graph_check {

// Network input: every side (dims after the first two) at most this many elements, and the
// whole input at most kMaxInputElements (three planes of 4096 x 4096).
constexpr int64_t kMaxInputSide = 4096;
constexpr int64_t kMaxInputElements = 3 * 4096 * 4096;
// Any tensor of the graph (weights, intermediate results, outputs): at most 2^27 elements
// (512 MiB of floats). Real face networks stay far below (the largest tensor of a 640 x 640
// network is about 1.6 million elements).
constexpr int64_t kMaxTensorElements = int64_t(1) << 27;

struct Admitted {
    std::string input_name;
    std::vector<int> input_dims;
};

// Empty when the model may be handed to OpenCV; otherwise why it is refused. On success
// fills admitted with the graph's single input. proto may be rewritten by shape inference.
std::string CheckModel(onnx::ModelProto& proto, Admitted* admitted);

// The operators the kernel admits, in a stable order (for messages and documentation).
const std::vector<std::string>& AllowedOperators();

}  // namespace graph_check
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_GRAPH_CHECK_H_
