#include "quantize.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <limits>
#include <sstream>

#include "lowering_context.h"
#include "operators.h"

namespace nerova {
namespace lowering {

namespace {

const char kHeader[] = "nerova-int8-ranges 1";

// Operators whose int8 form leaves values as they are (a maximum, a padding, a clamp, a
// copy): their output keeps the input's quantisation.
bool KeepsQuantisation(const Op& op) {
    return op.kind == OpKind::kMaxPool || op.kind == OpKind::kPad || op.kind == OpKind::kClamp ||
           op.nearest;
}

}  // namespace

void QuantFor(float low, float high, float* scale, int32_t* zero_point) {
    low = std::min(low, 0.0f);
    high = std::max(high, 0.0f);
    // A tensor that never left 0 still needs a scale XNNPACK accepts.
    const float s = std::max((high - low) / 255.0f, 1e-6f);
    const long zero = std::lround(-128.0 - static_cast<double>(low) / s);
    *scale = s;
    *zero_point = static_cast<int32_t>(std::min(127L, std::max(-128L, zero)));
}

std::string FormatRanges(const Ranges& ranges) {
    std::ostringstream out;
    out << kHeader << '\n' << std::setprecision(9);
    for (const auto& r : ranges)
        out << r.second.first << ' ' << r.second.second << ' ' << r.first << '\n';
    return out.str();
}

std::string ParseRanges(const std::string& text, Ranges* ranges) {
    ranges->clear();
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader)
        return std::string("the first line is not \"") + kHeader + "\"";
    for (int number = 2; std::getline(in, line); ++number) {
        if (line.empty()) continue;
        const char* p = line.c_str();
        char* end = nullptr;
        const float low = std::strtof(p, &end);
        const bool low_read = end != p && *end == ' ';
        p = end;
        const float high = low_read ? std::strtof(p, &end) : 0.0f;
        const bool read = low_read && end != p && *end == ' ' && end[1] != '\0';
        if (!read || !std::isfinite(low) || !std::isfinite(high) || low > high)
            return "line " + std::to_string(number) + " is not \"LOW HIGH NAME\" with LOW <= HIGH";
        if (!ranges->emplace(std::string(end + 1), std::make_pair(low, high)).second)
            return "line " + std::to_string(number) + " repeats a tensor";
    }
    return "";
}

std::vector<std::string> Quantize(const onnx::ModelProto& model, const Ranges& ranges, Plan* plan) {
    std::vector<std::string> notes;
    const onnx::GraphProto& g = model.graph();
    std::vector<Value>& values = plan->values;
    // What leaves the body (the heads' scores and box offsets) is computed in float: one 8-bit
    // step over a head's whole range would be several logits or pixels, and the reader takes
    // float anyway. By design, so no note.
    std::vector<bool> leaves(values.size(), false);
    for (const Boundary& b : plan->boundaries)
        if (b.value < leaves.size()) leaves[b.value] = true;
    // A value read or written in int8: its own range, or its producer's input's quantisation.
    auto quantise = [&](uint32_t v) {
        Value& value = values[v];
        if (value.int8) return true;
        auto r = ranges.find(value.name);
        if (r == ranges.end()) return false;
        QuantFor(r->second.first, r->second.second, &value.scale, &value.zero_point);
        value.int8 = true;
        return true;
    };
    // The plan's operators grouped by node, in plan order (a node's operators are adjacent).
    for (size_t first = 0; first < plan->ops.size();) {
        size_t last = first;
        while (last < plan->ops.size() && plan->ops[last].node_index == plan->ops[first].node_index)
            ++last;
        const int index = plan->ops[first].node_index;
        Int8Node node{*plan, {}};
        for (size_t k = first; k < last; ++k) node.ops.push_back(&plan->ops[k]);
        bool head = false;
        for (size_t k = first; k < last; ++k)
            head = head || (plan->ops[k].output < leaves.size() && leaves[plan->ops[k].output]);
        if (head) {
            first = last;
            continue;
        }
        std::string why;
        if (index < 0 || index >= g.node_size()) {
            why = "it is no node of the graph";
        } else {
            const ops::Operator* entry = ops::Find(g.node(index).op_type());
            why = !entry || !entry->int8
                      ? "XNNPACK computes " + g.node(index).op_type() + " in float only"
                      : entry->int8(node, g.node(index));
        }
        // Every operand and result needs its quantisation: from the calibration, or kept from
        // the operand by an operator that leaves values as they are.
        for (size_t k = first; k < last && why.empty(); ++k) {
            const Op& op = plan->ops[k];
            for (uint32_t in : op.inputs)
                if (values[in].constant < 0 && !quantise(in))
                    why = "the calibration has no range of '" + values[in].name + "'";
            if (!why.empty()) break;
            if (KeepsQuantisation(op)) {
                Value& out = values[op.output];
                out.int8 = true;
                out.scale = values[op.inputs[0]].scale;
                out.zero_point = values[op.inputs[0]].zero_point;
            } else if (!quantise(op.output)) {
                why = "the calibration has no range of '" + values[op.output].name + "'";
            }
        }
        if (why.empty()) {
            for (size_t k = first; k < last; ++k) plan->ops[k].int8 = true;
            plan->int8 = true;
        } else {
            notes.push_back(plan->ops[first].node + " stays in float: " + why);
        }
        first = last;
    }
    return notes;
}

}  // namespace lowering
}  // namespace nerova
