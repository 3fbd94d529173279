// Runs the post-processing tail of a lowered network (graph_lowering.h) natively: the row
// arithmetic that follows a detection network's body (reshapes, slices, concatenation,
// elementwise arithmetic with broadcasting, sigmoid, logarithm, exponential) on tensors of a
// few thousand values, where OpenCV DNN's per-layer dispatch costs more than the arithmetic.
// Shapes are static: every buffer is sized at creation and a run allocates nothing. A tail
// with any other operator stays on OpenCV DNN. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_TAIL_RUNNER_H_
#define NEROVA_PLATFORM_KERNEL_TAIL_RUNNER_H_

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "graph_lowering.h"
#include "lowering_context.h"

namespace nerova {
namespace lowering {

class TailRunner {
  public:
    // The tail of a lowered plan; its inputs are the boundaries the tail reads, whose data
    // Bind supplies before each Run. Null, with why set, when the plan has no tail or an
    // operator or operand is outside what it runs.
    static std::unique_ptr<TailRunner> Create(const Plan& plan, std::string* why);
    ~TailRunner();

    // The data of input name for the runs to come (NCHW or as its dims say, densely packed).
    void Bind(const std::string& name, const float* data);
    void Run();
    // The graph's outputs, in their declared order.
    const std::vector<std::string>& outputs() const { return outputs_; }
    const float* output(size_t index) const;
    const std::vector<int>& output_dims(size_t index) const;

  private:
    using Tensor = TailTensor;
    using Step = TailStep;

    TailRunner() = default;
    bool AddNode(const onnx::NodeProto& node, std::string* why);
    int TensorOf(const std::string& name) const;

    std::vector<Tensor> tensors_;
    std::map<std::string, int> names_;
    std::vector<Step> steps_;
    std::vector<std::string> outputs_;
    std::vector<int> output_tensors_;
    std::vector<std::vector<int>> output_dims_;
    int64_t opset_ = 11;
};

}  // namespace lowering
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_TAIL_RUNNER_H_
