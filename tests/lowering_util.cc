#include "lowering_util.h"

#include <gtest/gtest.h>

#include "graph_check.h"

namespace nerova_test {

nerova::lowering::Plan PlanOf(const std::string& bytes, onnx::ModelProto* proto) {
    onnx::ModelProto parsed;
    onnx::ModelProto& model = proto ? *proto : parsed;
    EXPECT_TRUE(model.ParseFromString(bytes));
    nerova::graph_check::Admitted admitted;
    EXPECT_EQ(nerova::graph_check::CheckModel(model, &admitted), "");
    nerova::lowering::Plan plan;
    EXPECT_EQ(nerova::lowering::Lower(model, &plan), "");
    return plan;
}

}  // namespace nerova_test
