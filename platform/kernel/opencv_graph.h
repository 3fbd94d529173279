// OpenCV DNN's column of the operator table: the graph as OpenCV is handed it. OpenCV 4.6
// computes some admitted constructs wrongly without a word (a constant divided by a computed
// tensor gives the quotient the other way round, SAME_LOWER pads as SAME_UPPER, a dilated
// transposed convolution as an undilated one, a slope not per channel as per channel), so
// each entry rewrites its node into nodes OpenCV computes as ONNX means them. Internal to the
// kernel.
#ifndef NEROVA_PLATFORM_KERNEL_OPENCV_GRAPH_H_
#define NEROVA_PLATFORM_KERNEL_OPENCV_GRAPH_H_

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace nerova {
namespace lowering {

// The graph being rewritten, as an entry of the table sees it: shapes and constants of the
// original graph, and the nodes of the new one.
class OpenCvGraph {
  public:
    using Dims = std::vector<int64_t>;
    explicit OpenCvGraph(onnx::GraphProto* graph);

    // An inferred shape; null when unknown.
    const Dims* Shape(const std::string& name) const;
    // A constant's float values (an initializer's or a Constant node's); false for any other.
    bool Floats(const std::string& name, std::vector<float>* values) const;
    bool IsConstant(const std::string& name) const { return constants_.count(name) != 0; }

    // The node as it is, or new nodes in its place.
    void Keep(const onnx::NodeProto& n) { *out_.Add() = n; }
    // A copy of the node to change, in its place.
    onnx::NodeProto* Copy(const onnx::NodeProto& n);
    onnx::NodeProto* Add(const std::string& op_type, const std::vector<std::string>& inputs,
                         const std::string& output);
    // A new float initializer of the given dims and values; returns its name.
    std::string AddConstant(const std::string& base, const Dims& dims, std::vector<float> values);
    // A new integer initializer (starts, ends, axes); returns its name.
    std::string AddInts(const std::string& base, const std::vector<int64_t>& values);
    // A name no value of the graph has, from base.
    std::string NewName(const std::string& base);

    // Whether any node was replaced.
    bool changed() const { return changed_; }
    // Replaces the graph's nodes with the rewritten ones.
    void Finish();

  private:
    onnx::GraphProto* g_;
    std::map<std::string, Dims> shapes_;
    std::map<std::string, const onnx::TensorProto*> constants_;
    std::set<std::string> names_;
    google::protobuf::RepeatedPtrField<onnx::NodeProto> out_;
    std::deque<onnx::TensorProto> added_;  // stable addresses, read through constants_
    bool changed_ = false;
};

// The model as OpenCV DNN is to read it, serialised into bytes: every node passed through its
// entry's OpenCV column. Empty, or why the model cannot be handed to OpenCV.
std::string ForOpenCv(const std::string& model, std::string* bytes);

}  // namespace lowering
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_OPENCV_GRAPH_H_
