// int8 inference on XNNPACK: a lowered plan whose operators can run on 8-bit integers does
// so, with each activation quantised by a range a calibration measured (per tensor, with a
// zero point) and each filter by its own largest weight per output channel (symmetric). The
// operator table's int8 column says which nodes can; every other node stays in float, with
// conversions where the two meet. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_QUANTIZE_H_
#define NEROVA_PLATFORM_KERNEL_QUANTIZE_H_

#include <onnx/onnx_pb.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "graph_lowering.h"

namespace nerova {
namespace lowering {

// The least and greatest value each computed tensor took over the calibration frames, by
// Value::name.
using Ranges = std::map<std::string, std::pair<float, float>>;

// The text of a model folder's "calibration.txt": a first line "nerova-int8-ranges 1", then
// one line per tensor, "LOW HIGH NAME" (the name to the end of the line).
std::string FormatRanges(const Ranges& ranges);
// Empty, or why the text is not such a file.
std::string ParseRanges(const std::string& text, Ranges* ranges);

// Marks the operators of plan that run in int8 and sets the quantisation of every value they
// read or write; plan->int8 says whether any does. Each node that keeps float although it
// computes in the body gets one note, naming it and saying why.
std::vector<std::string> Quantize(const onnx::ModelProto& model, const Ranges& ranges, Plan* plan);

// A tensor's quantisation for the range [low, high] (widened to hold 0): 256 steps.
void QuantFor(float low, float high, float* scale, int32_t* zero_point);

}  // namespace lowering
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_QUANTIZE_H_
