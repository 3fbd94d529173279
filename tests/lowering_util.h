// Helpers for the tests of the lowering: a network's checked and lowered plan.
#ifndef NEROVA_TESTS_LOWERING_UTIL_H_
#define NEROVA_TESTS_LOWERING_UTIL_H_

#include <onnx/onnx_pb.h>

#include <string>

#include "graph_lowering.h"

namespace nerova_test {

// The plan of an ONNX network that must parse, pass the graph check and lower (a failure is
// the test's); its proto in proto when given.
nerova::lowering::Plan PlanOf(const std::string& bytes, onnx::ModelProto* proto = nullptr);

}  // namespace nerova_test

#endif  // NEROVA_TESTS_LOWERING_UTIL_H_
