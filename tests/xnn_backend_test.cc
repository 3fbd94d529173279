// The XNNPACK backend against OpenCV DNN: every lowered operator gives OpenCV's numbers, the
// bundled networks lower their whole body, the detector finds the same faces on both, and a
// network XNNPACK cannot take stays on OpenCV with its reason.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <set>

#include "face_detector/face_detector_peer.h"
#include "graph_lowering.h"
#include "lowering_util.h"
#include "nerova/kernel.h"
#include "nerova_face_detector.h"
#include "tail_runner.h"
#include "test_util.h"
#ifdef NEROVA_HAVE_XNNPACK
#include "conv_kernel.h"
#include "xnn_runner.h"
#endif

namespace nerova {
namespace {

using nerova_test::PlanOf;
using nerova_test::RandomInput;
using nerova_test::ReadFile;
using nerova_test::TestModel;

#ifdef NEROVA_HAVE_XNNPACK
const char* const kFastBackend = "XNNPACK";
#else
const char* const kFastBackend = "OpenCV DNN";
#endif

struct Loaded {
    Inference inference;
    std::shared_ptr<Instance> instance;
};

std::unique_ptr<Loaded> Load(const std::string& bytes, NerovaNetworkType type,
                             NerovaDeviceType device = NEROVA_DEVICE_X86, int threads = 1) {
    ModelConfig model;
    model.model_type = NEROVA_MODEL_TYPE_ONNX;
    model.model_contents.push_back(bytes);
    NetworkConfig network;
    network.network_type = type;
    network.device_type = device;
    network.thread_num = threads;
    auto loaded = std::make_unique<Loaded>();
    EXPECT_EQ(loaded->inference.Init(model, network), NEROVA_OK);
    Status status;
    loaded->instance = loaded->inference.CreateInstance(status, {});
    EXPECT_EQ(status, NEROVA_OK) << status.message();
    return loaded;
}

// Runs the instance on input and returns the named outputs' values.
std::vector<std::vector<float>> Outputs(Instance& instance, const std::shared_ptr<Blob>& input,
                                        const std::vector<std::string>& names) {
    EXPECT_EQ(instance.SetInputBlob(input, nullptr, ""), NEROVA_OK);
    const Status status = instance.Forward();
    EXPECT_EQ(status, NEROVA_OK) << status.message();
    std::vector<std::vector<float>> values;
    for (const std::string& name : names) {
        std::shared_ptr<Blob> out;
        EXPECT_EQ(
            instance.GetOutputBlob(out, nullptr, name, NEROVA_DEVICE_X86, NEROVA_DATA_FORMAT_NCHW),
            NEROVA_OK)
            << name;
        if (!out) return values;
        const float* data = static_cast<const float*>(out->GetHandle().base);
        values.emplace_back(data, data + Blob::BytesOf(out->desc()) / sizeof(float));
    }
    return values;
}

void ExpectClose(const std::vector<std::vector<float>>& got,
                 const std::vector<std::vector<float>>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t k = 0; k < want.size(); ++k) {
        ASSERT_EQ(got[k].size(), want[k].size()) << what << " output " << k;
        for (size_t i = 0; i < want[k].size(); ++i)
            ASSERT_NEAR(got[k][i], want[k][i], 1e-4f * std::max(1.0f, std::abs(want[k][i])))
                << what << " output " << k << " element " << i;
    }
}

// Lowers a network as the kernel does and returns the plan.
// The operators a plan leaves to OpenCV.
std::set<std::string> TailOperators(const lowering::Plan& plan) {
    onnx::ModelProto tail;
    EXPECT_TRUE(plan.tail.empty() || tail.ParseFromString(plan.tail));
    std::set<std::string> ops;
    for (const auto& node : tail.graph().node()) ops.insert(node.op_type());
    return ops;
}

// Whether the plan's tail runs natively.
bool NativeTail(const lowering::Plan& plan) {
    std::string why;
    return lowering::TailRunner::Create(plan, &why) != nullptr;
}

TEST(XnnBackendTest, EveryLoweredOperatorGivesOpenCvsNumbers) {
    const struct {
        const char* file;
        std::vector<int> input;
        std::vector<std::string> outputs;
    } kNetworks[] = {
        {"residual", {1, 3, 17, 19}, {"output"}},
        {"same_pads", {1, 4, 21, 18}, {"output"}},
        {"pyramid", {1, 3, 16, 12}, {"body", "rows"}},
        {"arithmetic", {1, 5, 7, 9}, {"output"}},
        {"shared_boundary", {1, 3, 6, 5}, {"first", "second"}},
        {"clip", {1, 3, 5, 6}, {"output"}},
        {"row_tail", {1, 3, 5, 6}, {"output"}},
        {"heads", {1, 3, 13, 11}, {"cls", "obj", "box", "kps", "down"}},
    };
    for (const auto& net : kNetworks) {
        const std::string bytes =
            ReadFile(TestModel(std::string("lowering/") + net.file + ".onnx"));
        // Only the row arithmetic is left after the body: every body operator was lowered,
        // and the tail runs natively unless it holds what the native tail does not run.
        const lowering::Plan plan = PlanOf(bytes);
        const std::set<std::string> tail_ops = TailOperators(plan);
        for (const std::string& op : tail_ops)
            EXPECT_TRUE(op != "Conv" && op != "ConvTranspose" && op != "Resize" &&
                        op != "MaxPool" && op != "Pad" && op != "Transpose")
                << net.file << ": " << op << " left after the body";
        EXPECT_EQ(NativeTail(plan), !tail_ops.empty() && !tail_ops.count("ReduceMean")) << net.file;
        auto fast = Load(bytes, NEROVA_NETWORK_TYPE_TNN);  // the kernel's choice
        auto plain = Load(bytes, NEROVA_NETWORK_TYPE_OPENCV);
        ASSERT_TRUE(fast->instance && plain->instance) << net.file;
        EXPECT_EQ(fast->instance->Backend(), kFastBackend) << fast->instance->BackendNote();
        EXPECT_EQ(plain->instance->Backend(), "OpenCV DNN");
        for (unsigned seed : {1u, 2u}) {
            const auto input = RandomInput(net.input, seed);
            const auto want = Outputs(*plain->instance, input, net.outputs);
            ExpectClose(Outputs(*fast->instance, input, net.outputs), want, net.file);
            // The first output, which a caller gets by no name, is the same one.
            ExpectClose(Outputs(*fast->instance, input, {""}),
                        Outputs(*plain->instance, input, {""}), std::string(net.file) + " first");
            // A pool of threads computes the same numbers.
            auto threaded = Load(bytes, NEROVA_NETWORK_TYPE_XNNPACK, NEROVA_DEVICE_X86, 2);
            ExpectClose(Outputs(*threaded->instance, input, net.outputs), want,
                        std::string(net.file) + " on two threads");
        }
    }
}

TEST(XnnBackendTest, ConfigurationChoosesTheBackendAndSaysWhyItFellBack) {
    const std::string residual = ReadFile(TestModel("lowering/residual.onnx"));
    const std::string plain = ReadFile(TestModel("not_lowerable.onnx"));
    const std::map<const std::string*, std::vector<int>> inputs = {{&residual, {1, 3, 17, 19}},
                                                                   {&plain, {1, 3, 4, 4}}};
    const struct {
        const std::string* bytes;
        NerovaNetworkType type;
        NerovaDeviceType device;
        std::string backend;
        std::string note;  // part of the reason, or empty for none
    } kCases[] = {
        {&residual, NEROVA_NETWORK_TYPE_TNN, NEROVA_DEVICE_X86, kFastBackend, ""},
        {&residual, NEROVA_NETWORK_TYPE_OPENCV, NEROVA_DEVICE_X86, "OpenCV DNN", ""},
        {&residual, NEROVA_NETWORK_TYPE_XNNPACK, NEROVA_DEVICE_NAIVE, "OpenCV DNN", ""},
#ifdef NEROVA_HAVE_XNNPACK
        {&plain, NEROVA_NETWORK_TYPE_TNN, NEROVA_DEVICE_X86, "OpenCV DNN",
         "no operator of the graph maps onto XNNPACK"},
#else
        {&residual, NEROVA_NETWORK_TYPE_XNNPACK, NEROVA_DEVICE_X86, "OpenCV DNN",
         "this build has no XNNPACK"},
        {&plain, NEROVA_NETWORK_TYPE_TNN, NEROVA_DEVICE_X86, "OpenCV DNN", ""},
#endif
    };
    for (const auto& c : kCases) {
        auto loaded = Load(*c.bytes, c.type, c.device);
        ASSERT_TRUE(loaded->instance);
        const std::string what =
            "type " + std::to_string(c.type) + " device " + std::to_string(c.device);
        EXPECT_EQ(loaded->instance->Backend(), c.backend) << what;
        if (c.note.empty())
            EXPECT_EQ(loaded->instance->BackendNote(), "") << what;
        else
            EXPECT_NE(loaded->instance->BackendNote().find(c.note), std::string::npos)
                << what << ": " << loaded->instance->BackendNote();
        // Whatever the backend, the network runs.
        const auto values = Outputs(*loaded->instance, RandomInput(inputs.at(c.bytes), 3), {""});
        ASSERT_EQ(values.size(), 1u) << what;
        EXPECT_FALSE(values[0].empty()) << what;
    }
}

// A one-node network: x (input dims) -> op_type(x, slope) -> y, the slope an initializer.
std::string OneNodeGraph(const std::string& op_type, const std::vector<int64_t>& input,
                         const std::vector<int64_t>& slope_dims, const std::vector<float>& slope) {
    onnx::ModelProto model;
    model.set_ir_version(7);
    model.add_opset_import()->set_version(11);
    onnx::GraphProto* g = model.mutable_graph();
    g->set_name("one_node");
    auto declare = [](onnx::ValueInfoProto* v, const char* name, const std::vector<int64_t>& d) {
        v->set_name(name);
        auto* t = v->mutable_type()->mutable_tensor_type();
        t->set_elem_type(onnx::TensorProto::FLOAT);
        for (int64_t k : d) t->mutable_shape()->add_dim()->set_dim_value(k);
    };
    declare(g->add_input(), "x", input);
    declare(g->add_output(), "y", input);
    onnx::TensorProto* w = g->add_initializer();
    w->set_name("slope");
    w->set_data_type(onnx::TensorProto::FLOAT);
    for (int64_t k : slope_dims) w->add_dims(k);
    for (float v : slope) w->add_float_data(v);
    onnx::NodeProto* n = g->add_node();
    n->set_name("the_node");
    n->set_op_type(op_type);
    n->add_input("x");
    n->add_input("slope");
    n->add_output("y");
    return model.SerializeAsString();
}

// XNNPACK takes one PRelu slope per channel (or one for all); any other slope keeps the
// network on OpenCV, and the note names the node. A slope of C values is per channel unless
// it could be per column (C equal to the width).
TEST(XnnBackendTest, PReluLowersPerChannelSlopesOnly) {
    const struct {
        std::vector<int64_t> input, slope;
        bool lowered;
    } kCases[] = {
        {{1, 3, 4, 5}, {3}, true},          {{1, 3, 4, 5}, {3, 1, 1}, true},
        {{1, 3, 4, 5}, {1, 3, 1, 1}, true}, {{1, 3, 4, 5}, {1}, true},
        {{1, 3, 4, 5}, {1, 1, 1}, true},    {{1, 3, 4, 5}, {5}, false},
        {{1, 3, 4, 5}, {4, 1}, false},      {{1, 3, 4, 5}, {3, 4, 5}, false},
        {{1, 3, 4, 3}, {3}, false},
    };
    for (const auto& c : kCases) {
        int64_t count = 1;
        for (int64_t d : c.slope) count *= d;
        std::vector<float> slope;
        for (int64_t i = 0; i < count; ++i) slope.push_back(0.5f + 3.0f * float(i));
        const std::string bytes = OneNodeGraph("PRelu", c.input, c.slope, slope);
        std::string what = "slope";
        for (int64_t d : c.slope) what += " " + std::to_string(d);
        auto fast = Load(bytes, NEROVA_NETWORK_TYPE_TNN);
        auto plain = Load(bytes, NEROVA_NETWORK_TYPE_OPENCV);
        ASSERT_TRUE(fast->instance && plain->instance) << what;
#ifdef NEROVA_HAVE_XNNPACK
        EXPECT_EQ(fast->instance->Backend(), c.lowered ? "XNNPACK" : "OpenCV DNN") << what;
        if (!c.lowered) {
            EXPECT_NE(fast->instance->BackendNote().find("node 0 'the_node' (PRelu)"),
                      std::string::npos)
                << what << ": " << fast->instance->BackendNote();
        }
#endif
        const auto input = RandomInput({c.input.begin(), c.input.end()}, 7);
        ExpectClose(Outputs(*fast->instance, input, {""}), Outputs(*plain->instance, input, {""}),
                    what);
    }
}

// Constructs OpenCV DNN computes otherwise than ONNX means them unless the kernel rewrites
// them (SAME_LOWER pads, a constant divided by a computed tensor, dilated transposed filters,
// slopes not per channel, broadcasts from the left), each against numpy's result on both
// backends. A network no backend can run is refused when the instance is made, saying why.
TEST(XnnBackendTest, EveryConstructGivesNumpysResultOnBothBackends) {
    const std::map<std::string, std::string> kRefused = {
        {"add_channel_mean", "OpenCV DNN cannot run the network"}};
    const std::string folder = TestModel("constructs");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".onnx") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 40u);
    for (const std::string& name : names) {
        const std::string bytes = ReadFile(folder + "/" + name + ".onnx");
        const std::string ref = ReadFile(folder + "/" + name + ".ref");
        const std::vector<int> dims = {1, 2, 7, 8};
        const size_t in_count = 1 * 2 * 7 * 8;
        ASSERT_GT(ref.size(), in_count * sizeof(float)) << name;
        std::vector<float> values(ref.size() / sizeof(float));
        std::memcpy(values.data(), ref.data(), values.size() * sizeof(float));
        auto input = RandomInput(dims, 1);
        std::copy_n(values.begin(), in_count, static_cast<float*>(input->GetHandle().base));
        const std::vector<std::vector<float>> want = {{values.begin() + in_count, values.end()}};
        for (NerovaNetworkType type : {NEROVA_NETWORK_TYPE_TNN, NEROVA_NETWORK_TYPE_OPENCV}) {
            const std::string what =
                name + (type == NEROVA_NETWORK_TYPE_OPENCV ? " on OpenCV DNN" : " by choice");
            ModelConfig model;
            model.model_type = NEROVA_MODEL_TYPE_ONNX;
            model.model_contents.push_back(bytes);
            NetworkConfig network;
            network.network_type = type;
            network.device_type = NEROVA_DEVICE_X86;
            network.thread_num = 1;
            Inference inference;
            const Status init = inference.Init(model, network);
            ASSERT_EQ(init, NEROVA_OK) << what << ": " << init.message();
            Status status;
            auto instance = inference.CreateInstance(status, {});
            auto refused = kRefused.find(name);
            if (refused != kRefused.end()) {
                EXPECT_FALSE(instance) << what;
                EXPECT_NE(status.message().find(refused->second), std::string::npos)
                    << what << ": " << status.message();
                continue;
            }
            ASSERT_TRUE(instance) << what << ": " << status.message();
            ExpectClose(Outputs(*instance, input, {""}), want, what);
        }
    }
}

// An XNNPACK instance reads planar tensors, a host's interleaved ones and its own input
// alike; OpenCV has no input of its own and reads planar only.
TEST(XnnBackendTest, InputLayoutsGiveTheSameNumbers) {
    const std::string bytes = ReadFile(TestModel("lowering/pyramid.onnx"));
    const std::vector<int> nchw = {1, 3, 16, 12}, nhwc = {1, 16, 12, 3};
    const auto planar = RandomInput(nchw, 5);
    auto interleaved = RandomInput(nhwc, 0);
    const float* src = static_cast<const float*>(planar->GetHandle().base);
    float* dst = static_cast<float*>(interleaved->GetHandle().base);
    for (int i = 0; i < 16 * 12; ++i)
        for (int c = 0; c < 3; ++c) dst[i * 3 + c] = src[c * 16 * 12 + i];
    BlobDesc desc = interleaved->GetBlobDesc();
    desc.data_format = NEROVA_DATA_FORMAT_NHWC;
    interleaved->SetBlobDesc(desc);

    auto plain = Load(bytes, NEROVA_NETWORK_TYPE_OPENCV);
    std::shared_ptr<Blob> own;
    EXPECT_NE(plain->instance->GetInputBlob(own), NEROVA_OK);
    EXPECT_EQ(plain->instance->SetInputBlob(interleaved, nullptr, ""), NEROVA_ERR_KERNEL_BLOB);
    const auto want = Outputs(*plain->instance, planar, {"body", "rows"});
#ifdef NEROVA_HAVE_XNNPACK
    auto fast = Load(bytes, NEROVA_NETWORK_TYPE_XNNPACK);
    ASSERT_EQ(fast->instance->GetInputBlob(own), NEROVA_OK);
    EXPECT_EQ(own->desc().dims, nhwc);
    std::copy_n(dst, 16 * 12 * 3, static_cast<float*>(own->GetHandle().base));
    for (const auto& input : {planar, interleaved, own})
        ExpectClose(Outputs(*fast->instance, input, {"body", "rows"}), want, "layout");
    // A planar tensor of the wrong shape, or one given as interleaved, is refused.
    desc.dims = nchw;
    interleaved->SetBlobDesc(desc);
    EXPECT_EQ(fast->instance->SetInputBlob(interleaved, nullptr, ""), NEROVA_ERR_KERNEL_BLOB);
#endif
}

// The bundled networks keep nothing but their row arithmetic for OpenCV: every convolution,
// pooling and upsampling runs on XNNPACK, and the tail reads the body's maps uncopied.
TEST(XnnBackendTest, BundledNetworksLowerTheirWholeBody) {
    for (const char* name : {"face_detector_back_256", "face_detector_front_128"}) {
        const lowering::Plan plan =
            PlanOf(ReadFile(std::string(NEROVA_SOURCE_DIR) + "/models/" + name + "/model.onnx"));
        for (const std::string& op : TailOperators(plan))
            EXPECT_TRUE(op != "Conv" && op != "MaxPool" && op != "Transpose")
                << name << ": " << op << " left to OpenCV";
        for (const auto& b : plan.boundaries) EXPECT_TRUE(b.nhwc) << name << ": " << b.name;
        EXPECT_TRUE(NativeTail(plan)) << name;
        EXPECT_EQ(plan.tail_nodes, 22) << name;  // 4 reshapes and the row arithmetic
    }
}

#ifdef NEROVA_HAVE_XNNPACK
// Our convolution kernel against a plain sum, at shapes that leave every kind of remainder:
// pixels past whole blocks and tasks, outputs past whole panels, one input, a clamp, windows
// read in place and gathered (strides, pads on every side, a batch of two).
TEST(XnnBackendTest, ConvKernelGivesThePlainSums) {
    if (!lowering::ConvKernelRuns()) GTEST_SKIP() << "this CPU has no AVX2 and FMA";
    struct Case {
        size_t batch, in_h, in_w, channels, outputs, kernel, stride, pad;
        float low, high;
    };
    const float kInf = std::numeric_limits<float>::infinity();
    const Case kCases[] = {
        {1, 1, 1, 1, 1, 1, 1, 0, -kInf, kInf}, {1, 1, 5, 3, 8, 1, 1, 0, -kInf, kInf},
        {1, 2, 3, 24, 9, 1, 1, 0, 0, kInf},    {1, 1, 97, 24, 24, 1, 1, 0, 0, 6},
        {2, 10, 20, 7, 16, 1, 1, 0, -1, 1},    {1, 1, 193, 40, 17, 1, 1, 0, -kInf, 0},
        {1, 25, 40, 96, 40, 1, 1, 0, 0, kInf}, {1, 31, 29, 3, 24, 5, 2, 2, -kInf, kInf},
        {2, 16, 16, 3, 24, 5, 2, 1, 0, kInf},  {1, 9, 13, 8, 20, 3, 1, 1, -1, 1},
        {1, 12, 12, 16, 8, 1, 2, 0, 0, 6},     {1, 3, 3, 5, 7, 3, 3, 2, -kInf, kInf}};
    pthreadpool_t pool = pthreadpool_create(2);
    for (const Case& c : kCases) {
        lowering::ConvShape s;
        s.in_h = c.in_h, s.in_w = c.in_w, s.channels = c.channels, s.outputs = c.outputs;
        s.kernel_h = s.kernel_w = c.kernel, s.stride_h = s.stride_w = c.stride;
        s.pad_top = s.pad_left = c.pad;
        s.out_h = (c.in_h + 2 * c.pad - c.kernel) / c.stride + 1;
        s.out_w = (c.in_w + 2 * c.pad - c.kernel) / c.stride + 1;
        const size_t window = c.kernel * c.kernel * c.channels;
        std::mt19937 rng(static_cast<unsigned>(c.in_w * 131 + c.outputs));
        std::uniform_real_distribution<float> value(-2.0f, 2.0f);
        std::vector<float> in(c.batch * c.in_h * c.in_w * c.channels), filter(c.outputs * window),
            bias(c.outputs);
        for (float& v : in) v = value(rng);
        for (float& v : filter) v = value(rng);
        for (float& v : bias) v = value(rng);
        const lowering::ConvKernel kernel(s, filter.data(), bias.data(), c.low, c.high);
        const std::string what = std::to_string(c.in_h) + "x" + std::to_string(c.in_w) + "x" +
                                 std::to_string(c.channels) + " k" + std::to_string(c.kernel) +
                                 " s" + std::to_string(c.stride) + " p" + std::to_string(c.pad);
        for (pthreadpool_t threads : {static_cast<pthreadpool_t>(nullptr), pool}) {
            const size_t pixels = c.batch * s.out_h * s.out_w;
            std::vector<float> out(pixels * c.outputs, -7.0f);
            kernel.Run(in.data(), out.data(), c.batch, threads);
            for (size_t p = 0; p < pixels; ++p)
                for (size_t o = 0; o < c.outputs; ++o) {
                    const size_t image = p / (s.out_h * s.out_w);
                    const long oy = static_cast<long>(p / s.out_w % s.out_h);
                    const long ox = static_cast<long>(p % s.out_w);
                    double sum = bias[o];
                    for (size_t ky = 0; ky < c.kernel; ++ky)
                        for (size_t kx = 0; kx < c.kernel; ++kx) {
                            const long iy = oy * long(c.stride) + long(ky) - long(c.pad);
                            const long ix = ox * long(c.stride) + long(kx) - long(c.pad);
                            if (iy < 0 || ix < 0 || iy >= long(c.in_h) || ix >= long(c.in_w))
                                continue;
                            for (size_t i = 0; i < c.channels; ++i)
                                sum +=
                                    double(
                                        in[((image * c.in_h + size_t(iy)) * c.in_w + size_t(ix)) *
                                               c.channels +
                                           i]) *
                                    filter[o * window + (ky * c.kernel + kx) * c.channels + i];
                        }
                    const double want = std::min<double>(c.high, std::max<double>(c.low, sum));
                    ASSERT_NEAR(out[p * c.outputs + o], want, 1e-4 * std::max(1.0, std::abs(want)))
                        << what << " -> " << c.outputs << ", pixel " << p << " output " << o
                        << (threads ? " on two threads" : "");
                }
        }
    }
    pthreadpool_destroy(pool);
}

// The body with its convolutions on our kernel between stretches of XNNPACK's operators
// computes XNNPACK's numbers, on the test networks and the bundled ones.
TEST(XnnBackendTest, ConvKernelBetweenXnnpackStretchesKeepsTheNumbers) {
    if (!lowering::ConvKernelRuns()) GTEST_SKIP() << "this CPU has no AVX2 and FMA";
    const std::string kNetworks[] = {
        TestModel("lowering/residual.onnx"), TestModel("lowering/pyramid.onnx"),
        TestModel("lowering/same_pads.onnx"),
        std::string(NEROVA_SOURCE_DIR) + "/models/face_detector_front_128/model.onnx",
        std::string(NEROVA_SOURCE_DIR) + "/models/face_detector_back_256/model.onnx"};
    for (const std::string& file : kNetworks) {
        auto plan = std::make_shared<lowering::Plan>(PlanOf(ReadFile(file)));
        size_t dense = 0;
        for (const auto& op : plan->ops)
            dense += op.kind == lowering::OpKind::kConvolution && op.groups == 1;
        for (int threads : {1, 2}) {
            std::string why;
            auto xnnpack = lowering::XnnRunner::Create(
                plan, threads, &why, lowering::Memory::kShared, lowering::Native::kNever);
            auto ours = lowering::XnnRunner::Create(plan, threads, &why, lowering::Memory::kShared,
                                                    lowering::Native::kAlways);
            ASSERT_TRUE(xnnpack && ours) << file << ": " << why;
            EXPECT_EQ(ours->native_steps(), dense) << file;
            EXPECT_EQ(xnnpack->native_steps(), 0u) << file;
            size_t inputs = 1;
            for (int d : plan->input_dims) inputs *= static_cast<size_t>(d);
            for (size_t i = 0; i < inputs; ++i)
                xnnpack->input()[i] = ours->input()[i] = static_cast<float>(i % 251) / 20 - 6;
            ASSERT_TRUE(xnnpack->Run(&why) && ours->Run(&why)) << why;
            for (size_t b = 0; b < plan->boundaries.size(); ++b) {
                size_t n = 1;
                for (size_t d : plan->values[plan->boundaries[b].value].dims) n *= d;
                for (size_t i = 0; i < n; ++i) {
                    const float want = xnnpack->boundary(b)[i], got = ours->boundary(b)[i];
                    ASSERT_NEAR(got, want, 1e-3f * std::max(1.0f, std::abs(want)))
                        << file << " (" << dense << " dense convolutions), boundary " << b
                        << " element " << i << " on " << threads << " threads";
                }
            }
        }
    }
}
#endif

// The detector on both backends: the same faces, boxes, scores and points, on every sample
// photo and on tiles.
TEST(XnnBackendTest, DetectorFindsTheSameFacesOnBothBackends) {
    const std::string root = NEROVA_SOURCE_DIR;
    for (const char* name : {"face_detector_back_256", "face_detector_front_128"}) {
        const std::string path = root + "/models/" + name + "/model.onnx";
        void* fast = nullptr;
        void* plain = nullptr;
        NerovaCustomRuntime x86{NEROVA_DEVICE_X86, 0, 1}, naive{NEROVA_DEVICE_NAIVE, 0, 1};
        ASSERT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", &x86, &fast), NEROVA_OK);
        ASSERT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", &naive, &plain), NEROVA_OK);
        size_t compared = 0;
        for (const char* photo :
             {"astronaut.jpg", "astronaut_tiles.jpg", "group_1897.jpg", "no_face_coffee.jpg"}) {
            const cv::Mat bgr = cv::imread(root + "/models/samples/" + photo);
            const NerovaFrame frame = nerova_test::BgrFrame(bgr);
            for (int tiles : {1, 2}) {
                for (void* h : {fast, plain}) {
                    ASSERT_EQ(NerovaFaceDetectorSetTopK(h, 100), NEROVA_OK);
                    ASSERT_EQ(NerovaFaceDetectorSetTiles(h, tiles, tiles), NEROVA_OK);
                }
                NerovaFaceDetail *a = nullptr, *b = nullptr;
                uint32_t na = 0, nb = 0;
                ASSERT_EQ(NerovaFaceDetectorProcessDetails(fast, &frame, sizeof *a, &a, &na),
                          NEROVA_OK);
                ASSERT_EQ(NerovaFaceDetectorProcessDetails(plain, &frame, sizeof *b, &b, &nb),
                          NEROVA_OK);
                const std::string what =
                    std::string(name) + " " + photo + " tiles " + std::to_string(tiles);
                ASSERT_EQ(na, nb) << what;
                for (uint32_t i = 0; i < na; ++i) {
                    EXPECT_NEAR(a[i].score, b[i].score, 1e-4) << what;
                    const float* pa = &a[i].x1;
                    const float* pb = &b[i].x1;
                    for (int k = 0; k < 4; ++k) EXPECT_NEAR(pa[k], pb[k], 0.01) << what;
                    for (uint32_t k = 0; k < 2 * a[i].landmark_count; ++k)
                        EXPECT_NEAR(a[i].landmarks[k], b[i].landmarks[k], 0.01) << what;
                    ++compared;
                }
                NerovaFaceDetectorDetailsRelease(a);
                NerovaFaceDetectorDetailsRelease(b);
            }
        }
        EXPECT_GT(compared, 3u) << name;
        NerovaFaceDetectorDestroy(fast);
        NerovaFaceDetectorDestroy(plain);
    }
}

}  // namespace
}  // namespace nerova
