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

TEST(KernelTest, RunsAffineNetworkWithExactNumbers) {
    ModelConfig model = OnnxConfig(ReadFile(TestModel("affine.onnx")));
    NetworkConfig network;  // default device 32 must run
    Inference inference;
    ASSERT_EQ(inference.Init(model, network), NEROVA_OK);

    std::map<std::string, std::vector<int>> shapes;
    ASSERT_EQ(inference.GetModelInputShapesMap(shapes), NEROVA_OK);
    ASSERT_EQ(shapes.size(), 1u);
    EXPECT_EQ(shapes["data"], (std::vector<int>{1, 3, 2, 2}));

    Status status;
    auto instance = inference.CreateInstance(status, {});
    ASSERT_EQ(status, NEROVA_OK) << status.message();

    BlobDesc desc;
    desc.device_type = DeviceUtils::GetDefaultCpuDeviceType();
    desc.data_format = NEROVA_DATA_FORMAT_NCHW;
    desc.dims = {1, 3, 2, 2};
    auto input = std::make_shared<Blob>(desc, true);
    float* x = static_cast<float*>(input->GetHandle().base);
    for (int i = 0; i < 12; ++i) x[i] = static_cast<float>(i);
    ASSERT_EQ(instance->SetInputBlob(input, nullptr, ""), NEROVA_OK);
    ASSERT_EQ(instance->Forward(), NEROVA_OK);
    std::shared_ptr<Blob> output = std::make_shared<Blob>();
    Blob* slot = output.get();
    ASSERT_EQ(instance->GetOutputBlob(output, nullptr, "", DeviceUtils::GetDefaultCpuDeviceType(),
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

// Networks the ONNX checker accepts that crashed OpenCV's importer, broke a size limit or use
// what the kernel does not admit (tests/make_test_models.py names each case).
TEST(KernelTest, RefusesHostileNetworksBeforeOpenCvSeesThem) {
    const std::string folder = std::string(NEROVA_TEST_MODELS) + "/hostile";
    size_t seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        ModelConfig model = OnnxConfig(ReadFile(entry.path().string()));
        NetworkConfig network;
        Inference inference;
        const Status status = inference.Init(model, network);
        EXPECT_EQ(status.code(), NEROVA_ERR_KERNEL_MODEL_INVALID)
            << entry.path().filename() << ": " << status.message();
        ++seen;
    }
    EXPECT_GE(seen, 25u);
}

TEST(KernelTest, ThreadCountsAboveTheCapAreRefused) {
    ModelConfig model = OnnxConfig(ReadFile(TestModel("affine.onnx")));
    for (int threads :
         {-5, 0, 1, NEROVA_MAX_THREAD_NUM, NEROVA_MAX_THREAD_NUM + 1, 65537, INT32_MAX}) {
        NetworkConfig network;
        network.thread_num = threads;
        Inference inference;
        ASSERT_EQ(inference.Init(model, network), NEROVA_OK);
        Status status;
        const bool created = inference.CreateInstance(status, {}) != nullptr;
        EXPECT_EQ(created, threads <= NEROVA_MAX_THREAD_NUM) << threads << ": " << status.message();
    }
}

TEST(KernelTest, RefusesWhatItCannotLoad) {
    const std::string onnx = ReadFile(TestModel("affine.onnx"));
    std::string truncated = onnx.substr(0, onnx.size() / 2);
    std::string flipped = onnx;
    for (size_t i = 0; i < flipped.size(); i += 7) flipped[i] = static_cast<char>(~flipped[i]);
    struct Case {
        const char* what;
        ModelConfig config;
        NerovaError code;
    };
    ModelConfig empty;
    empty.model_type = NEROVA_MODEL_TYPE_ONNX;
    const Case cases[] = {
        {"TNN", OnnxConfig(onnx, NEROVA_MODEL_TYPE_TNN), NEROVA_ERR_KERNEL_MODEL_TYPE},
        {"MNN", OnnxConfig(onnx, NEROVA_MODEL_TYPE_MNN), NEROVA_ERR_KERNEL_MODEL_TYPE},
        {"TFLite", OnnxConfig(onnx, NEROVA_MODEL_TYPE_TFLITE), NEROVA_ERR_KERNEL_MODEL_TYPE},
        {"TensorRT engine", OnnxConfig(onnx, NEROVA_MODEL_TYPE_TENSORRT, true),
         NEROVA_ERR_KERNEL_MODEL_TYPE},
        {"OpenVINO IR", OnnxConfig(onnx, NEROVA_MODEL_TYPE_OPENVINO, true),
         NEROVA_ERR_KERNEL_MODEL_TYPE},
        {"no contents", empty, NEROVA_ERR_KERNEL_MODEL_INVALID},
        {"empty bytes", OnnxConfig(""), NEROVA_ERR_KERNEL_MODEL_INVALID},
        {"text", OnnxConfig("not a model at all"), NEROVA_ERR_KERNEL_MODEL_INVALID},
        {"truncated", OnnxConfig(truncated), NEROVA_ERR_KERNEL_MODEL_INVALID},
        {"corrupted", OnnxConfig(flipped), NEROVA_ERR_KERNEL_MODEL_INVALID},
        // Found by fuzzing: a node reads an input no earlier node makes, which crashed
        // OpenCV's importer before the graph was validated.
        {"unsorted graph",
         OnnxConfig(ReadFile(std::string(NEROVA_SOURCE_DIR) + "/tests/data/unsorted_graph.onnx")),
         NEROVA_ERR_KERNEL_MODEL_INVALID},
        // Also found by fuzzing: weights shorter than their dims, read past their end.
        {"importer throws a standard exception",
         OnnxConfig(ReadFile(std::string(NEROVA_SOURCE_DIR) + "/tests/data/importer_throws.onnx")),
         NEROVA_ERR_KERNEL_MODEL_INVALID},
        {"short weights",
         OnnxConfig(ReadFile(std::string(NEROVA_SOURCE_DIR) + "/tests/data/short_weights.onnx")),
         NEROVA_ERR_KERNEL_MODEL_INVALID},
    };
    for (Case c : cases) {
        NetworkConfig network;
        Inference inference;
        const Status status = inference.Init(c.config, network);
        EXPECT_EQ(status.code(), c.code) << c.what << ": " << status.message();
        EXPECT_NE(status.message(), "OK") << c.what;
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

TEST(KernelTest, DevicesOutsideTheCpuFailWithTheirName) {
    ModelConfig model = OnnxConfig(ReadFile(TestModel("affine.onnx")));
    for (NerovaDeviceType device : {NEROVA_DEVICE_NAIVE, NEROVA_DEVICE_X86, NEROVA_DEVICE_ARM}) {
        NetworkConfig network;
        network.device_type = device;
        Inference inference;
        ASSERT_EQ(inference.Init(model, network), NEROVA_OK);
        Status status;
        EXPECT_NE(inference.CreateInstance(status, {}), nullptr) << device;
        EXPECT_EQ(status, NEROVA_OK) << device;
    }
    NetworkConfig network;
    network.device_type = NEROVA_DEVICE_CUDA;
    Inference inference;
    ASSERT_EQ(inference.Init(model, network), NEROVA_OK);
    Status status;
    EXPECT_EQ(inference.CreateInstance(status, {}), nullptr);
    EXPECT_EQ(status.code(), NEROVA_ERR_KERNEL_DEVICE);
    EXPECT_NE(status.message().find("DEVICE_CUDA"), std::string::npos) << status.message();
    // After switching to the CPU the same inference object creates instances, more than once.
    network.device_type = DeviceUtils::GetDefaultCpuDeviceType();
    inference.SetNetworkConfig(network);
    EXPECT_NE(inference.CreateInstance(status, {}), nullptr);
    EXPECT_NE(inference.CreateInstance(status, {}), nullptr);
    EXPECT_EQ(status, NEROVA_OK);
}

TEST(KernelTest, InstanceRefusesUnusableTensors) {
    ModelConfig model = OnnxConfig(ReadFile(TestModel("affine.onnx")));
    NetworkConfig network;
    Inference inference;
    ASSERT_EQ(inference.Init(model, network), NEROVA_OK);
    Status status;
    auto instance = inference.CreateInstance(status, {});
    ASSERT_TRUE(instance);
    EXPECT_NE(instance->Forward(), NEROVA_OK) << "no input bound yet";
    std::shared_ptr<Blob> out;
    EXPECT_NE(instance->GetOutputBlob(out, nullptr, "", NEROVA_DEVICE_X86,
                                      NEROVA_DATA_FORMAT_HOST_DEFAULT),
              NEROVA_OK);
    BlobDesc desc;
    desc.device_type = NEROVA_DEVICE_X86;
    desc.data_format = NEROVA_DATA_FORMAT_NCHW;
    desc.dims = {1, 3, 2, 2};
    auto no_memory = std::make_shared<Blob>(desc, false);
    EXPECT_NE(instance->SetInputBlob(no_memory, nullptr, ""), NEROVA_OK);
    EXPECT_NE(instance->SetInputBlob(nullptr, nullptr, ""), NEROVA_OK);
    auto good = std::make_shared<Blob>(desc, true);
    EXPECT_NE(instance->SetInputBlob(good, nullptr, "no_such_input"), NEROVA_OK);
    BlobDesc gpu = desc;
    gpu.device_type = NEROVA_DEVICE_CUDA;
    EXPECT_NE(instance->SetInputBlob(std::make_shared<Blob>(gpu, true), nullptr, ""), NEROVA_OK);
}

TEST(KernelTest, CopiesShareTheNetwork) {
    ModelConfig model = OnnxConfig(ReadFile(TestModel("affine.onnx")));
    NetworkConfig network;
    auto inference = std::make_unique<Inference>();
    ASSERT_EQ(inference->Init(model, network), NEROVA_OK);
    Status status;
    auto instance = inference->CreateInstance(status, {});
    ASSERT_EQ(status, NEROVA_OK);
    Inference inference_copy(*inference);
    Instance instance_copy(*instance);
    inference_copy = *inference;
    inference.reset();  // the copies keep the network; ASan sees any double release
    instance.reset();
    std::map<std::string, std::vector<int>> shapes;
    EXPECT_EQ(inference_copy.GetModelInputShapesMap(shapes), NEROVA_OK);
    EXPECT_EQ(shapes.size(), 1u);
    BlobDesc desc;
    desc.device_type = DeviceUtils::GetDefaultCpuDeviceType();
    desc.data_format = NEROVA_DATA_FORMAT_NCHW;
    desc.dims = {1, 3, 2, 2};
    EXPECT_EQ(instance_copy.SetInputBlob(std::make_shared<Blob>(desc, true), nullptr, ""),
              NEROVA_OK);
    EXPECT_EQ(instance_copy.Forward(), NEROVA_OK);
}

TEST(RecordsTest, MovingIntoItselfKeepsTheRecordAndModelIoCopiesShare) {
    auto self_move = [](auto& r) {
        auto* same = &r;
        r = std::move(*same);
    };
    ModelConfig mc;
    mc.model_contents = {"bytes"};
    mc.inputs_name = {"in"};
    mc.outputs_name = {"out"};
    NetworkConfig nc;
    nc.extra_strings = {"dir"};
    nc.cache_path = "cache";
    ParamConverter pc;
    pc.bias = {5};
    ModelReserveConfig rc;
    rc.reserve = "reserve";
    BlobDesc bd;
    bd.dims = {1, 3};
    bd.name = "input";
    MemorySizeInfo ms;
    ms.sizes = {7};
    self_move(mc);
    self_move(nc);
    self_move(pc);
    self_move(rc);
    self_move(bd);
    self_move(ms);
    EXPECT_EQ(mc.model_contents.size() + mc.inputs_name.size() + mc.outputs_name.size(), 3u);
    EXPECT_EQ(nc.extra_strings.size() + nc.cache_path.size(), 6u);
    EXPECT_EQ(pc.bias, std::vector<float>{5});
    EXPECT_EQ(rc.reserve, "reserve");
    EXPECT_EQ(bd.dims.size() + bd.name.size(), 7u);
    EXPECT_EQ(ms.sizes, std::vector<int64_t>{7});

    module::ModelIO io;
    io.entries["input"] = std::make_shared<Blob>();
    module::ModelIO copy(io);
    EXPECT_EQ(copy.entries.at("input"), io.entries.at("input"));
    const module::ModelIO* same = &copy;
    copy = *same;
    EXPECT_EQ(copy.entries.at("input"), io.entries.at("input"));
}

TEST(KernelTest, EveryConfigurationNameReadsBackAsItsValue) {
    int named = 0;
    for (int v = 0; v < NEROVA_UNSET_VALUE; ++v) {
        const std::string names[] = {
            StringConfigConverter::DeviceTypeToString(static_cast<NerovaDeviceType>(v)),
            StringConfigConverter::ModelTypeToString(static_cast<NerovaModelType>(v)),
            StringConfigConverter::PixelFormatToString(static_cast<NerovaPixelFormat>(v))};
        const int back[] = {StringConfigConverter::StringToDeviceType(names[0]),
                            StringConfigConverter::StringToModelType(names[1]),
                            StringConfigConverter::StringToPixelFormat(names[2])};
        for (int i = 0; i < 3; ++i) {
            if (names[i].empty()) continue;
            ++named;
            EXPECT_EQ(back[i], v) << names[i];
        }
    }
    EXPECT_GE(named, 25);
    EXPECT_EQ(StringConfigConverter::StringToModelType("model_type_onnx"), NEROVA_UNSET_VALUE);
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
