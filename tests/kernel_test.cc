// The real kernel on real ONNX networks: numbers, shapes, devices and refusals.
#include "nerova/kernel.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "nerova/model_io.h"
#include "test_util.h"

namespace nerova {
namespace {

using nerova_test::ReadFile;
using nerova_test::TestModel;

ModelConfig OnnxConfig(const std::string& bytes, NerovaModelType type = NEROVA_MODEL_TYPE_ONNX,
                       bool native = true) {
    ModelConfig config;
    config.model_type = type;
    config.is_native = native;
    config.model_contents.push_back(bytes);
    return config;
}

// A tensor of the affine network's input shape, with or without memory.
std::shared_ptr<Blob> AffineInput(
    bool memory = true, NerovaDeviceType device = DeviceUtils::GetDefaultCpuDeviceType()) {
    BlobDesc desc;
    desc.device_type = device;
    desc.data_format = NEROVA_DATA_FORMAT_NCHW;
    desc.dims = {1, 3, 2, 2};
    return std::make_shared<Blob>(desc, memory);
}

// A fresh inference on the affine network: (1,3,2,2) -> (1,2,2,2), out0 = x0 + 2 x1 - x2 + 1,
// out1 = 0.5 x2 - 3.
std::unique_ptr<Inference> Affine(NetworkConfig network = NetworkConfig()) {
    ModelConfig model = OnnxConfig(ReadFile(TestModel("affine.onnx")));
    auto inference = std::make_unique<Inference>();
    EXPECT_EQ(inference->Init(model, network), NEROVA_OK);
    return inference;
}

TEST(KernelTest, CopiesRunTheSharedNetworkWithExactNumbers) {
    auto inference = Affine();  // default device 32 must run
    Status status;
    auto instance = inference->CreateInstance(status, {});
    ASSERT_EQ(status, NEROVA_OK) << status.message();
    Inference inference_copy(*inference);
    Instance copy(*instance);
    inference_copy = *inference;
    inference.reset();  // the copies keep the network; ASan sees any double release
    instance.reset();

    std::map<std::string, std::vector<int>> shapes;
    ASSERT_EQ(inference_copy.GetModelInputShapesMap(shapes), NEROVA_OK);
    EXPECT_EQ(shapes, (std::map<std::string, std::vector<int>>{{"data", {1, 3, 2, 2}}}));
    auto input = AffineInput();
    float* x = static_cast<float*>(input->GetHandle().base);
    for (int i = 0; i < 12; ++i) x[i] = static_cast<float>(i);
    ASSERT_EQ(copy.SetInputBlob(input, nullptr, ""), NEROVA_OK);
    ASSERT_EQ(copy.Forward(), NEROVA_OK);
    std::shared_ptr<Blob> output = std::make_shared<Blob>();
    Blob* slot = output.get();
    ASSERT_EQ(copy.GetOutputBlob(output, nullptr, "", DeviceUtils::GetDefaultCpuDeviceType(),
                                 NEROVA_DATA_FORMAT_HOST_DEFAULT),
              NEROVA_OK);
    EXPECT_EQ(output.get(), slot) << "an existing slot is re-described in place";
    const BlobDesc out_desc = output->GetBlobDesc();
    EXPECT_EQ(out_desc.dims, (std::vector<int>{1, 2, 2, 2}));
    EXPECT_EQ(out_desc.data_format, NEROVA_DATA_FORMAT_HOST_DEFAULT);
    const float* y = static_cast<const float*>(output->GetHandle().base);
    for (int p = 0; p < 4; ++p) {
        const float x0 = x[p], x1 = x[4 + p], x2 = x[8 + p];
        EXPECT_FLOAT_EQ(y[p], x0 + 2 * x1 - x2 + 1) << p;
        EXPECT_FLOAT_EQ(y[4 + p], 0.5f * x2 - 3) << p;
    }
}

// Bytes that are no network, and networks the ONNX checker accepts that crashed OpenCV's
// importer, broke a size limit or use what the kernel does not admit (the hostile folder;
// tests/make_test_models.py names each case).
TEST(KernelTest, RefusesHostileNetworksBeforeOpenCvSeesThem) {
    const std::string onnx = ReadFile(TestModel("affine.onnx"));
    const std::string truncated = onnx.substr(0, onnx.size() / 2);
    std::string flipped = onnx;
    for (size_t i = 0; i < flipped.size(); i += 7) flipped[i] = static_cast<char>(~flipped[i]);
    const std::string data = std::string(NEROVA_SOURCE_DIR) + "/tests/data/";
    ModelConfig empty;
    empty.model_type = NEROVA_MODEL_TYPE_ONNX;
    struct Case {
        std::string what;
        ModelConfig config;
        NerovaError code = NEROVA_ERR_KERNEL_MODEL_INVALID;
        bool checker_passes = false;  // refused by the kernel's own checks, not ONNX's checker
    };
    std::vector<Case> cases = {
        {"TNN", OnnxConfig(onnx, NEROVA_MODEL_TYPE_TNN), NEROVA_ERR_KERNEL_MODEL_TYPE},
        {"TensorRT engine", OnnxConfig(onnx, NEROVA_MODEL_TYPE_TENSORRT),
         NEROVA_ERR_KERNEL_MODEL_TYPE},
        {"OpenVINO IR", OnnxConfig(onnx, NEROVA_MODEL_TYPE_OPENVINO), NEROVA_ERR_KERNEL_MODEL_TYPE},
        {"no contents", empty},
        {"empty bytes", OnnxConfig("")},
        {"text", OnnxConfig("not a model at all")},
        {"truncated", OnnxConfig(truncated)},
        {"corrupted", OnnxConfig(flipped)},
        // Found by fuzzing: a node reads an input no earlier node makes, which crashed
        // OpenCV's importer before the graph was validated; the importer throwing a standard
        // exception; weights shorter than their dims, read past their end.
        {"unsorted graph", OnnxConfig(ReadFile(data + "unsorted_graph.onnx"))},
        {"importer throws", OnnxConfig(ReadFile(data + "importer_throws.onnx"))},
        {"short weights", OnnxConfig(ReadFile(data + "short_weights.onnx"))},
    };
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(NEROVA_TEST_MODELS) + "/hostile"))
        cases.push_back({entry.path().filename(), OnnxConfig(ReadFile(entry.path())),
                         NEROVA_ERR_KERNEL_MODEL_INVALID, true});
    ASSERT_GE(cases.size(), 49u);
    for (auto& c : cases) {
        NetworkConfig network;
        Inference inference;
        const Status status = inference.Init(c.config, network);
        EXPECT_EQ(status.code(), c.code) << c.what << ": " << status.message();
        EXPECT_NE(status.message(), "OK") << c.what;
        if (c.checker_passes) {
            EXPECT_EQ(status.message().find("invalid ONNX graph"), std::string::npos)
                << c.what << ": " << status.message();
        }
        Status create;
        EXPECT_EQ(inference.CreateInstance(create, {}), nullptr) << c.what;
        EXPECT_NE(create, NEROVA_OK) << c.what;
    }
    // ONNX stored under the TensorRT and OpenVINO types when not native.
    for (NerovaModelType type : {NEROVA_MODEL_TYPE_TENSORRT, NEROVA_MODEL_TYPE_OPENVINO}) {
        ModelConfig config = OnnxConfig(onnx, type, false);
        NetworkConfig network;
        Inference inference;
        EXPECT_EQ(inference.Init(config, network), NEROVA_OK) << type;
    }
}

TEST(KernelTest, InstancesOnTheCpuUpToTheThreadCap) {
    const NerovaDeviceType cpu = DeviceUtils::GetDefaultCpuDeviceType();
    const struct {
        NerovaDeviceType device;
        int threads;
        bool created;
    } cases[] = {
        {NEROVA_DEVICE_NAIVE, 1, true},
        {NEROVA_DEVICE_X86, 1, true},
        {NEROVA_DEVICE_ARM, 1, true},
        {NEROVA_DEVICE_CUDA, 1, false},
        {cpu, -5, true},
        {cpu, 0, true},
        {cpu, NEROVA_MAX_THREAD_NUM, true},
        {cpu, NEROVA_MAX_THREAD_NUM + 1, false},
        {cpu, 65537, false},
        {cpu, INT32_MAX, false},
    };
    for (const auto& c : cases) {
        NetworkConfig network;
        network.device_type = c.device;
        network.thread_num = c.threads;
        Status status;
        EXPECT_EQ(Affine(network)->CreateInstance(status, {}) != nullptr, c.created)
            << c.device << " " << c.threads << ": " << status.message();
        EXPECT_EQ(status.code(), c.created ? NEROVA_OK : NEROVA_ERR_KERNEL_DEVICE) << c.device;
    }
    // A refused device is named; after switching to the CPU the same inference object
    // creates instances, more than once.
    NetworkConfig network;
    network.device_type = NEROVA_DEVICE_CUDA;
    const auto inference = Affine(network);
    Status status;
    EXPECT_EQ(inference->CreateInstance(status, {}), nullptr);
    EXPECT_NE(status.message().find("DEVICE_CUDA"), std::string::npos) << status.message();
    network.device_type = cpu;
    inference->SetNetworkConfig(network);
    EXPECT_NE(inference->CreateInstance(status, {}), nullptr);
    EXPECT_NE(inference->CreateInstance(status, {}), nullptr);
    EXPECT_EQ(status, NEROVA_OK);
}

TEST(KernelTest, InstanceRefusesUnusableTensors) {
    Status status;
    auto instance = Affine()->CreateInstance(status, {});
    ASSERT_TRUE(instance);
    EXPECT_NE(instance->Forward(), NEROVA_OK) << "no input bound yet";
    std::shared_ptr<Blob> out;
    EXPECT_NE(instance->GetOutputBlob(out, nullptr, "", NEROVA_DEVICE_X86,
                                      NEROVA_DATA_FORMAT_HOST_DEFAULT),
              NEROVA_OK);
    EXPECT_NE(instance->SetInputBlob(AffineInput(false, NEROVA_DEVICE_X86), nullptr, ""), NEROVA_OK)
        << "no memory";
    EXPECT_NE(instance->SetInputBlob(nullptr, nullptr, ""), NEROVA_OK);
    EXPECT_NE(
        instance->SetInputBlob(AffineInput(true, NEROVA_DEVICE_X86), nullptr, "no_such_input"),
        NEROVA_OK);
    EXPECT_NE(instance->SetInputBlob(AffineInput(true, NEROVA_DEVICE_CUDA), nullptr, ""),
              NEROVA_OK);
}

TEST(RecordsTest, MovingIntoItselfKeepsTheRecordAndModelIoCopiesShare) {
    // A record moved into itself keeps what it held.
    auto survives = [](auto record, auto member, auto value) {
        record.*member = value;
        auto* same = &record;
        record = std::move(*same);
        return record.*member == value;
    };
    EXPECT_TRUE(
        survives(ModelConfig(), &ModelConfig::model_contents, std::vector<std::string>{"b"}));
    EXPECT_TRUE(survives(NetworkConfig(), &NetworkConfig::cache_path, std::string("cache")));
    EXPECT_TRUE(survives(ParamConverter(), &ParamConverter::bias, std::vector<float>{5}));
    EXPECT_TRUE(survives(ModelReserveConfig(), &ModelReserveConfig::reserve, std::string("r")));
    EXPECT_TRUE(survives(BlobDesc(), &BlobDesc::name, std::string("input")));
    EXPECT_TRUE(survives(MemorySizeInfo(), &MemorySizeInfo::sizes, std::vector<int64_t>{7}));
    module::ModelIO io;
    io.entries["input"] = std::make_shared<Blob>();
    module::ModelIO copy(io);
    EXPECT_EQ(copy.entries.at("input"), io.entries.at("input"));
    const module::ModelIO* same = &copy;
    copy = *same;
    EXPECT_EQ(copy.entries.at("input"), io.entries.at("input"));
}

TEST(KernelTest, ParentPathRules) {
    struct Case {
        const char* path;
        bool is_file;
        const char* parent;
    };
    const Case cases[] = {
        {"/a/b/model.onnx", true, "/a/b"},
        {"a/b/model.onnx", true, "a/b"},
        {"model.onnx", true, "."},
        {"/model.onnx", true, "/"},
        {"a\\b\\m.onnx", true, "a\\b"},
        {"a/b\\m.onnx", true, "a/b"},
        {"a//b//m.onnx", true, "a//b"},
        {"a/b/", false, "a"},
        {"a/b/", true, "a/b"},
        {"", true, "."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FileUtils::GetFileParentPath(c.path, c.is_file), c.parent) << c.path;
}

}  // namespace
}  // namespace nerova
