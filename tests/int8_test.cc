// int8 on XNNPACK: a calibration recorded on the float body, read back from its text, runs
// the body in 8 bits close to float; a calibration that cannot be read refuses the model,
// and what cannot run in int8 stays in float with a note naming the node.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>

#include "lowering_util.h"
#include "nerova/kernel.h"
#include "qconv_kernel.h"
#include "quantize.h"
#include "test_util.h"
#include "xnn_runner.h"

namespace nerova {
namespace {

using nerova_test::RandomInput;
using nerova_test::ReadFile;
using nerova_test::TestModel;

TEST(Int8Test, CalibrationTextIsReadOrRefusedWithTheLine) {
    const std::string header = "nerova-int8-ranges 1\n";
    const struct {
        std::string text;
        std::string why;  // "" when read
        size_t tensors;
    } kCases[] = {
        {header + "-1.5 2 a b\n\n0 0 c\n", "", 2},
        {header, "", 0},
        {"nerova-int8-ranges 2\n0 1 a\n", "the first line", 0},
        {"", "the first line", 0},
        {header + "0 1\n", "line 2", 0},
        {header + "0 1 \n", "line 2", 0},
        {header + "2 1 a\n", "line 2", 0},
        {header + "0 1 a\n0 nan b\n", "line 3", 0},
        {header + "0 inf a\n", "line 2", 0},
        {header + "0 1 a\n0 2 a\n", "line 3 repeats", 0},
        {header + "zero 1 a\n", "line 2", 0},
        {header + "0,1 a\n", "line 2", 0},
    };
    for (const auto& c : kCases) {
        lowering::Ranges ranges;
        const std::string why = lowering::ParseRanges(c.text, &ranges);
        if (c.why.empty()) {
            EXPECT_EQ(why, "") << c.text;
            EXPECT_EQ(ranges.size(), c.tensors) << c.text;
            // What is written reads back the same.
            lowering::Ranges again;
            EXPECT_EQ(lowering::ParseRanges(lowering::FormatRanges(ranges), &again), "");
            EXPECT_EQ(again, ranges);
        } else {
            EXPECT_NE(why.find(c.why), std::string::npos) << c.text << " gave: " << why;
        }
    }
    lowering::Ranges named;
    ASSERT_EQ(lowering::ParseRanges(header + "-1.5 2 a b\n", &named), "");
    EXPECT_EQ(named.at("a b"), std::make_pair(-1.5f, 2.0f));
}

TEST(Int8Test, QuantisationHoldsZeroAndTheRange) {
    const struct {
        float low, high;
    } kRanges[] = {{0, 6}, {-3, 5}, {2, 9}, {-7, -1}, {0, 0}, {-1e-9f, 1e-9f}};
    for (const auto& r : kRanges) {
        float scale;
        int32_t zero;
        lowering::QuantFor(r.low, r.high, &scale, &zero);
        ASSERT_GT(scale, 0.0f);
        ASSERT_GE(zero, -128);
        ASSERT_LE(zero, 127);
        // 0 is exact, and both ends are within a step of a code.
        const float low = std::min(r.low, 0.0f), high = std::max(r.high, 0.0f);
        EXPECT_GE(low, (-128 - zero) * scale - scale / 2) << r.low << " " << r.high;
        EXPECT_LE(high, (127 - zero) * scale + scale / 2) << r.low << " " << r.high;
    }
}

#ifdef NEROVA_HAVE_XNNPACK

struct Net {
    Inference inference;
    std::shared_ptr<Instance> instance;
    Status status;
};

std::unique_ptr<Net> Load(const std::string& bytes, const std::string* calibration,
                          int threads = 1) {
    ModelConfig model;
    model.model_type = NEROVA_MODEL_TYPE_ONNX;
    model.model_contents.push_back(bytes);
    if (calibration) model.model_contents.push_back(*calibration);
    NetworkConfig network;
    network.network_type = NEROVA_NETWORK_TYPE_XNNPACK;
    network.device_type = NEROVA_DEVICE_X86;
    network.precision = calibration ? NEROVA_PRECISION_LOW : NEROVA_PRECISION_AUTO;
    network.thread_num = threads;
    auto net = std::make_unique<Net>();
    net->status = net->inference.Init(model, network);
    if (net->status == NEROVA_OK) net->instance = net->inference.CreateInstance(net->status, {});
    return net;
}

std::vector<float> Output(Instance& instance, const std::shared_ptr<Blob>& input,
                          const std::string& name) {
    EXPECT_EQ(instance.SetInputBlob(input, nullptr, ""), NEROVA_OK);
    EXPECT_EQ(instance.Forward(), NEROVA_OK);
    std::shared_ptr<Blob> out;
    EXPECT_EQ(
        instance.GetOutputBlob(out, nullptr, name, NEROVA_DEVICE_X86, NEROVA_DATA_FORMAT_NCHW),
        NEROVA_OK);
    if (!out) return {};
    const float* data = static_cast<const float*>(out->GetHandle().base);
    return std::vector<float>(data, data + Blob::BytesOf(out->desc()) / sizeof(float));
}

// The calibration of a network: its float body over a few inputs.
std::string Calibrate(const std::string& bytes, const std::vector<int>& dims) {
    auto net = Load(bytes, nullptr);
    if (!net->instance) {
        ADD_FAILURE() << "the network does not load (status " << net->status << ")";
        return "";
    }
    EXPECT_EQ(net->instance->RecordRanges(), NEROVA_OK);
    for (unsigned seed = 10; seed < 16; ++seed) Output(*net->instance, RandomInput(dims, seed), "");
    return net->instance->RecordedRanges();
}

TEST(Int8Test, QuantisedBodyStaysCloseToFloat) {
    const struct {
        const char* file;
        std::vector<int> input;
        std::string output;
        const char* stays;  // a node the note names as kept in float, or ""
    } kNetworks[] = {
        {"residual", {1, 3, 17, 19}, "output", ""},
        {"same_pads", {1, 4, 21, 18}, "output", "AveragePool"},
        {"pyramid", {1, 3, 16, 12}, "body", "ConvTranspose"},
        {"clip", {1, 3, 5, 6}, "output", ""},
        {"upsample", {1, 3, 16, 12}, "output", ""},
    };
    for (const auto& n : kNetworks) {
        const std::string bytes = ReadFile(TestModel(std::string("lowering/") + n.file + ".onnx"));
        const std::string calibration = Calibrate(bytes, n.input);
        auto plain = Load(bytes, nullptr);
        // On the instance's own pool too, where the quantised operators split their work.
        for (int threads : {1, 2}) {
            auto int8 = Load(bytes, &calibration, threads);
            ASSERT_EQ(int8->status, NEROVA_OK) << n.file << ": " << int8->status.message();
            EXPECT_EQ(int8->instance->Backend(), "XNNPACK") << n.file;
            const std::string note = int8->instance->BackendNote();
            if (*n.stays) {
                EXPECT_NE(note.find(std::string(n.stays) + " in float only"), std::string::npos)
                    << n.file << ": " << note;
            }
            for (unsigned seed : {1u, 2u}) {
                const auto input = RandomInput(n.input, seed);
                const std::vector<float> want = Output(*plain->instance, input, n.output);
                const std::vector<float> got = Output(*int8->instance, input, n.output);
                ASSERT_EQ(got.size(), want.size()) << n.file;
                const auto range = std::minmax_element(want.begin(), want.end());
                const float span = *range.second - *range.first;
                float worst = 0;
                for (size_t i = 0; i < want.size(); ++i)
                    worst = std::max(worst, std::abs(got[i] - want[i]));
                // A few 8-bit steps of error through the whole body, not more.
                EXPECT_LT(worst, 0.05f * span)
                    << n.file << " seed " << seed << ", " << threads << " threads, note: " << note;
            }
        }
    }
}

// A network's plan as the kernel lowers it, quantised on a calibration over a few inputs.
lowering::Plan QuantisedPlan(const std::string& bytes, const std::vector<int>& input,
                             std::vector<std::string>* notes) {
    lowering::Ranges ranges;
    EXPECT_EQ(lowering::ParseRanges(Calibrate(bytes, input), &ranges), "");
    onnx::ModelProto proto;
    lowering::Plan plan = nerova_test::PlanOf(bytes, &proto);
    *notes = lowering::Quantize(proto, ranges, &plan);
    return plan;
}

TEST(Int8Test, WhatLeavesTheBodyIsComputedInFloat) {
    const struct {
        const char* file;
        std::vector<int> input;
    } kNetworks[] = {{"residual", {1, 3, 17, 19}}, {"pyramid", {1, 3, 16, 12}}};
    for (const auto& n : kNetworks) {
        const std::string bytes = ReadFile(TestModel(std::string("lowering/") + n.file + ".onnx"));
        std::vector<std::string> notes;
        const lowering::Plan plan = QuantisedPlan(bytes, n.input, &notes);
        EXPECT_TRUE(plan.int8) << n.file;
        std::vector<bool> leaves(plan.values.size(), false);
        for (const auto& b : plan.boundaries) leaves[b.value] = true;
        int heads = 0;
        for (const auto& op : plan.ops) {
            if (!leaves[op.output]) continue;
            ++heads;
            EXPECT_FALSE(op.int8) << n.file << ": " << op.node;
            // By design, not a fallback: no note names it.
            for (const auto& note : notes)
                EXPECT_EQ(note.find(op.node + " "), std::string::npos) << note;
        }
        EXPECT_GT(heads, 0) << n.file;
    }
}

// The forms of our int8 kernels this CPU runs.
std::vector<std::pair<lowering::QIsa, const char*>> KernelForms() {
    std::vector<std::pair<lowering::QIsa, const char*>> forms;
    if (lowering::QIsaRuns(lowering::QIsa::kAvx2)) {
        forms.emplace_back(lowering::QIsa::kAvx2, "AVX2");
        forms.emplace_back(lowering::QIsa::kNone, "no form asked for");  // the AVX2 one
    }
    if (lowering::QIsaRuns(lowering::QIsa::kAvx512Vnni))
        forms.emplace_back(lowering::QIsa::kAvx512Vnni, "AVX-512 VNNI");
    return forms;
}

// An int8 layer's random input codes, symmetric filter, bias within +-bias_span and scales
// from scale_floor up.
struct RandomLayer {
    std::vector<int8_t> filter, in;
    std::vector<int32_t> bias;
    std::vector<float> scale;
    RandomLayer(unsigned seed, size_t weights, size_t inputs, size_t outputs, int bias_span,
                float scale_floor)
        : filter(weights), in(inputs), bias(outputs), scale(outputs) {
        std::mt19937 rng(seed);
        for (auto& v : filter) v = static_cast<int8_t>(int(rng() % 255) - 127);
        for (auto& v : in) v = static_cast<int8_t>(int(rng() % 256) - 128);
        for (size_t o = 0; o < outputs; ++o) {
            bias[o] = int32_t(rng() % unsigned(2 * bias_span)) - bias_span;
            scale[o] = scale_floor + float(rng() % 100) * 2e-5f;
        }
    }
};

// Pointwise layers read in place; windows (strided, padded on every side, a batch of two) are
// gathered with the input's zero point outside.
TEST(Int8Test, QConvKernelDoesXnnpacksArithmetic) {
    if (KernelForms().empty()) GTEST_SKIP() << "this CPU has no AVX2";
    const struct {
        size_t channels, outputs, batch, in_h, in_w, kernel, stride, pad, out_h, out_w;
        int32_t in_zero, out_zero;
        int8_t low, high;
    } kCases[] = {
        {64, 64, 1, 80, 80, 1, 1, 0, 80, 80, -5, 3, -128, 127},
        {16, 16, 1, 1, 129, 1, 1, 0, 1, 129, 0, -128, -128, 127},
        {3, 8, 1, 1, 7, 1, 1, 0, 1, 7, 127, 0, -128, 127},
        {5, 17, 1, 3, 11, 1, 1, 0, 3, 11, -128, 10, 10, 127},
        {24, 40, 1, 10, 30, 1, 1, 0, 10, 30, 7, -20, -20, 60},
        {96, 1, 1, 3, 3, 1, 1, 0, 3, 3, -1, 0, -128, 0},
        {1, 33, 1, 1, 1, 1, 1, 0, 1, 1, 0, 0, -128, 127},
        {66, 10, 1, 1, 1000, 1, 1, 0, 1, 1000, 100, -100, -128, 127},
        {1024, 24, 1, 1, 13, 1, 1, 0, 1, 13, -128, 0, -128, 127},
        {3, 24, 1, 33, 32, 5, 2, 1, 16, 16, 9, -3, -128, 127},  // the default model's entry
        {3, 16, 2, 17, 18, 3, 2, 1, 9, 9, -128, 5, -128, 127},
        {8, 12, 1, 6, 7, 3, 1, 1, 6, 7, 20, 0, -50, 100},
        {4, 9, 1, 5, 5, 3, 3, 0, 1, 1, 0, 0, -128, 127},
        {2, 16, 1, 4, 9, 1, 2, 0, 2, 5, -7, 1, -128, 127},  // strided pointwise: gathered
        // Rows wider than the row form copies at once; window rows of odd lengths; a chunk
        // shortened by a wide stride.
        {3, 16, 1, 5, 250, 3, 1, 1, 5, 250, -128, 0, -128, 127},
        {1, 8, 1, 20, 20, 7, 3, 3, 7, 7, 5, 5, -128, 127},
        {15, 20, 1, 30, 200, 7, 4, 3, 8, 50, -9, 2, -100, 127},
    };
    pthreadpool_t pool = pthreadpool_create(2);
    for (const auto& c : kCases) {
        lowering::ConvShape shape;
        shape.in_h = c.in_h, shape.in_w = c.in_w, shape.channels = c.channels;
        shape.out_h = c.out_h, shape.out_w = c.out_w, shape.outputs = c.outputs;
        shape.kernel_h = shape.kernel_w = c.kernel;
        shape.stride_h = shape.stride_w = c.stride;
        shape.pad_top = shape.pad_left = c.pad;
        const size_t window = c.kernel * c.kernel * c.channels;
        const size_t pixels = c.batch * c.out_h * c.out_w;
        const RandomLayer layer(static_cast<unsigned>(window * 97 + c.outputs), c.outputs * window,
                                c.batch * c.in_h * c.in_w * c.channels + 3, c.outputs, 20000,
                                2e-4f);
        const auto& [filter, in, bias, scale] = layer;
        std::vector<int8_t> want(pixels * c.outputs);
        lowering::QConvKernel::Reference(shape, filter.data(), bias.data(), scale.data(), c.in_zero,
                                         c.out_zero, c.low, c.high, in.data(), want.data(), pixels);
        for (const auto& [isa, form] : KernelForms()) {
            const lowering::QConvKernel kernel(shape, filter.data(), bias.data(), scale.data(),
                                               c.in_zero, c.out_zero, c.low, c.high, isa);
            for (pthreadpool_t threads : {static_cast<pthreadpool_t>(nullptr), pool}) {
                std::vector<int8_t> got(want.size(), 99);
                kernel.Run(in.data(), got.data(), pixels, threads);
                for (size_t i = 0; i < want.size(); ++i)
                    ASSERT_EQ(int(got[i]), int(want[i]))
                        << form << ": " << c.kernel << "x" << c.kernel << "x" << c.channels
                        << " -> " << c.outputs << " over " << pixels << " pixels, element " << i
                        << (threads ? " on two threads" : "");
            }
        }
    }
    pthreadpool_destroy(pool);
}

// Depthwise windows over whole and part groups of 16 channels (8, and fewer, which load
// through a copy), strided, padded on one side or every side, wider than tall, a batch of two,
// rows split among threads.
TEST(Int8Test, QDepthwiseKernelDoesXnnpacksArithmetic) {
    if (!lowering::QIsaRuns(lowering::QIsa::kAvx2)) GTEST_SKIP() << "this CPU has no AVX2";
    const struct {
        size_t channels, batch, in_h, in_w, kernel_h, kernel_w, stride, pad_top, pad_left, out_h,
            out_w;
        int32_t in_zero, out_zero;
        int8_t low, high;
    } kCases[] = {
        {24, 1, 40, 40, 3, 3, 1, 1, 1, 40, 40, -5, 3, -128, 127},
        {64, 1, 20, 21, 3, 3, 2, 1, 1, 10, 11, 127, -128, -128, 127},
        {40, 2, 9, 7, 5, 5, 1, 2, 2, 9, 7, -128, 10, 0, 127},
        {6, 1, 5, 9, 3, 3, 1, 0, 0, 3, 7, 0, 0, -128, 127},
        {20, 1, 8, 8, 3, 3, 2, 0, 0, 4, 4, 20, -20, -20, 60},
        {16, 1, 1, 1, 3, 3, 1, 1, 1, 1, 1, 3, 0, -128, 127},
        {8, 3, 6, 30, 2, 7, 1, 0, 3, 5, 30, -1, 5, -100, 100},
        {1, 1, 4, 4, 1, 1, 1, 0, 0, 4, 4, 9, 9, -128, 127},
        {13, 1, 7, 11, 3, 3, 1, 1, 1, 7, 11, 4, -7, -128, 127},   // a group more than half full
        {32, 1, 9, 10, 7, 7, 1, 3, 3, 9, 10, -60, 2, -128, 127},  // 7x7: loops not unrolled
    };
    pthreadpool_t pool = pthreadpool_create(2);
    for (const auto& c : kCases) {
        lowering::ConvShape shape;
        shape.in_h = c.in_h, shape.in_w = c.in_w, shape.channels = shape.outputs = c.channels;
        shape.out_h = c.out_h, shape.out_w = c.out_w;
        shape.kernel_h = c.kernel_h, shape.kernel_w = c.kernel_w;
        shape.stride_h = shape.stride_w = c.stride;
        shape.pad_top = c.pad_top, shape.pad_left = c.pad_left;
        const RandomLayer layer(static_cast<unsigned>(c.channels * 31 + c.kernel_w),
                                c.kernel_h * c.kernel_w * c.channels,
                                c.batch * c.in_h * c.in_w * c.channels, c.channels, 2000, 2e-3f);
        const auto& [filter, in, bias, scale] = layer;
        std::vector<int8_t> want(c.batch * c.out_h * c.out_w * c.channels);
        lowering::QDepthwiseKernel::Reference(shape, filter.data(), bias.data(), scale.data(),
                                              c.in_zero, c.out_zero, c.low, c.high, in.data(),
                                              want.data(), c.batch);
        const lowering::QDepthwiseKernel kernel(shape, filter.data(), bias.data(), scale.data(),
                                                c.in_zero, c.out_zero, c.low, c.high);
        for (pthreadpool_t threads : {static_cast<pthreadpool_t>(nullptr), pool}) {
            std::vector<int8_t> got(want.size(), 99);
            kernel.Run(in.data(), got.data(), c.batch, threads);
            size_t clamped = 0;
            for (size_t i = 0; i < want.size(); ++i) {
                ASSERT_EQ(int(got[i]), int(want[i]))
                    << c.kernel_h << "x" << c.kernel_w << " over " << c.channels
                    << " channels, stride " << c.stride << ", element " << i
                    << (threads ? " on two threads" : "");
                clamped += want[i] == c.low || want[i] == c.high;
            }
            // The sums reach the clamp without all of them lying there.
            EXPECT_LT(clamped, want.size()) << c.channels << " channels";
        }
    }
    pthreadpool_destroy(pool);
}

// Float values become XNNPACK's codes: rounded to nearest even, clamped, NaN to the top.
TEST(Int8Test, QuantisedInputRoundsAsXnnpack) {
    if (KernelForms().empty()) GTEST_SKIP() << "this CPU has no AVX2";
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // scale 0.5, zero point 3: x / 0.5 + 3.
    const std::vector<std::pair<float, int>> kValues = {
        {0.0f, 3},    {0.25f, 3},   {0.75f, 5},     {-0.25f, 3},       {-0.75f, 1},     {1.25f, 5},
        {62.0f, 127}, {62.5f, 127}, {-65.0f, -127}, {-65.5f, -128},    {-1e9f, -128},   {1e9f, 127},
        {-inf, -128}, {inf, 127},   {nan, 127},     {-20000.0f, -128}, {20000.0f, 127}, {10.0f, 23},
    };
    // Twice over, once inside a vector of 16 and once in the tail; and a frame's worth, shared
    // out among two threads.
    pthreadpool_t pool = pthreadpool_create(2);
    for (const auto& [copies, threads] :
         {std::pair(size_t(2), pthreadpool_t(nullptr)), std::pair(size_t(1001), pool)}) {
        std::vector<float> in;
        for (size_t copy = 0; copy < copies; ++copy)
            for (const auto& v : kValues) in.push_back(v.first);
        std::vector<int8_t> got(in.size(), 0);
        lowering::QuantiseCodes(in.data(), got.data(), in.size(), 0.5f, 3, threads);
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(int(got[i]), kValues[i % kValues.size()].second)
                << "value " << in[i] << " at " << i << " of " << in.size();
    }
    pthreadpool_destroy(pool);
}

// Heads of one input side by side, each with its own zero point and clamp, give each head's
// own numbers: in place (pointwise), from widened rows (few channels), gathered (strided).
TEST(Int8Test, QConvKernelOfSideBySideHeadsGivesEachHeadsNumbers) {
    if (KernelForms().empty()) GTEST_SKIP() << "this CPU has no AVX2";
    struct Head {
        size_t outputs;
        int32_t zero;
        int8_t low, high;
    };
    const struct {
        size_t channels, in_h, in_w, kernel, stride, pad, out_h, out_w;
        std::vector<Head> heads;
    } kCases[] = {
        {64,
         9,
         13,
         1,
         1,
         0,
         9,
         13,
         {{1, -20, -128, 127}, {1, 0, 0, 127}, {4, 7, -128, 127}, {10, -128, -128, 127}}},
        {3, 11, 10, 3, 2, 1, 6, 5, {{5, 3, -100, 90}, {7, -9, -128, 127}, {9, 0, -128, 0}}},
        {20, 7, 7, 1, 2, 0, 4, 4, {{2, 1, -128, 127}, {3, 100, 100, 127}}},
    };
    for (const auto& c : kCases) {
        lowering::ConvShape shape;
        shape.in_h = c.in_h, shape.in_w = c.in_w, shape.channels = c.channels;
        shape.out_h = c.out_h, shape.out_w = c.out_w;
        shape.kernel_h = shape.kernel_w = c.kernel;
        shape.stride_h = shape.stride_w = c.stride;
        shape.pad_top = shape.pad_left = c.pad;
        std::vector<int32_t> zeros;
        std::vector<int8_t> lows, highs;
        for (const Head& h : c.heads) {
            zeros.resize(zeros.size() + h.outputs, h.zero);
            lows.resize(zeros.size(), h.low);
            highs.resize(zeros.size(), h.high);
        }
        shape.outputs = zeros.size();
        const size_t window = c.kernel * c.kernel * c.channels, pixels = c.out_h * c.out_w;
        const RandomLayer layer(static_cast<unsigned>(window + shape.outputs),
                                shape.outputs * window, c.in_h * c.in_w * c.channels + 3,
                                shape.outputs, 20000, 2e-4f);
        const auto& [filter, in, bias, scale] = layer;
        const int32_t in_zero = -3;
        for (const auto& [isa, form] : KernelForms()) {
            const lowering::QConvKernel kernel(shape, filter.data(), bias.data(), scale.data(),
                                               in_zero, zeros.data(), lows.data(), highs.data(),
                                               isa);
            std::vector<int8_t> got(pixels * shape.outputs, 99);
            kernel.Run(in.data(), got.data(), pixels, nullptr);
            size_t first = 0;
            for (const Head& h : c.heads) {
                lowering::ConvShape one = shape;
                one.outputs = h.outputs;
                std::vector<int8_t> want(pixels * h.outputs);
                lowering::QConvKernel::Reference(
                    one, filter.data() + first * window, bias.data() + first, scale.data() + first,
                    in_zero, h.zero, h.low, h.high, in.data(), want.data(), pixels);
                for (size_t i = 0; i < want.size(); ++i)
                    ASSERT_EQ(int(got[i / h.outputs * shape.outputs + first + i % h.outputs]),
                              int(want[i]))
                        << form << ": " << c.kernel << "x" << c.kernel << "x" << c.channels
                        << ", the head from output " << first << ", element " << i;
                first += h.outputs;
            }
        }
    }
}

// The int8 body with its pointwise convolutions on our kernel between stretches of XNNPACK's
// operators computes XNNPACK's own int8 numbers (on networks whose entry is not ours: that one
// rounds the float input once, where XNNPACK rounds twice).
TEST(Int8Test, QConvKernelBetweenXnnpackStretchesKeepsTheNumbers) {
    if (KernelForms().empty()) GTEST_SKIP() << "this CPU has no AVX2";
    const struct {
        std::string file;
        std::vector<int> input;
    } kNetworks[] = {
        {TestModel("lowering/residual.onnx"), {1, 3, 17, 19}},
        {TestModel("lowering/upsample.onnx"), {1, 3, 16, 12}},
        {TestModel("lowering/depthwise.onnx"), {1, 3, 23, 4}},
        {TestModel("lowering/heads.onnx"), {1, 3, 13, 11}},  // siblings computed as one
    };
    for (const auto& n : kNetworks) {
        std::vector<std::string> notes;
        auto plan =
            std::make_shared<lowering::Plan>(QuantisedPlan(ReadFile(n.file), n.input, &notes));
        ASSERT_TRUE(plan->int8) << n.file;
        for (const auto& [threads, native] :
             {std::pair(1, lowering::Native::kAlways), std::pair(2, lowering::Native::kAlways),
              std::pair(1, lowering::Native::kAvx2), std::pair(2, lowering::Native::kAvx2)}) {
            std::string why;
            auto xnnpack = lowering::XnnRunner::Create(
                plan, threads, &why, lowering::Memory::kShared, lowering::Native::kNever);
            auto ours =
                lowering::XnnRunner::Create(plan, threads, &why, lowering::Memory::kShared, native);
            ASSERT_TRUE(xnnpack && ours) << n.file << ": " << why;
            EXPECT_GT(ours->native_steps(), 0u) << n.file;
            EXPECT_EQ(xnnpack->native_steps(), 0u) << n.file;
            const auto input = RandomInput(n.input, 3);
            size_t count = 1;
            for (int d : n.input) count *= static_cast<size_t>(d);
            const float* nchw = static_cast<const float*>(input->GetHandle().base);
            const size_t c = size_t(n.input[1]), hw = count / c;
            for (size_t i = 0; i < hw; ++i)
                for (size_t k = 0; k < c; ++k)
                    xnnpack->input()[i * c + k] = ours->input()[i * c + k] = 40 * nchw[k * hw + i];
            ASSERT_TRUE(xnnpack->Run(&why) && ours->Run(&why)) << why;
            for (size_t b = 0; b < plan->boundaries.size(); ++b) {
                size_t size = 1;
                for (size_t d : plan->values[plan->boundaries[b].value].dims) size *= d;
                for (size_t i = 0; i < size; ++i)
                    ASSERT_EQ(ours->boundary(b)[i], xnnpack->boundary(b)[i])
                        << n.file << ", boundary " << b << " element " << i << " on " << threads
                        << " threads" << (native == lowering::Native::kAvx2 ? ", AVX2" : "");
            }
        }
    }
}

// Each form gives the same codes: the same fused sums in the same order. Filters: full, a
// model's mean and scale (diagonal), and the diagonal with the next channel's value added
// (the kernel sums only the distances some output uses).
TEST(Int8Test, EntryKernelRoundsTheFloatInputOnce) {
    if (KernelForms().empty()) GTEST_SKIP() << "this CPU has no AVX2";
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-130.0f, 130.0f);
    pthreadpool_t pool = pthreadpool_create(2);
    for (size_t channels = 1; channels <= lowering::QEntryKernel::kMaxChannels; ++channels)
        for (size_t pixels : {1, 15, 16, 17, 33, 100, 1000, 20011})  // the last shared out
            for (int pattern = 0; pattern < 3; ++pattern) {
                std::vector<float> filter(channels * channels), bias(channels);
                std::vector<float> in(pixels * channels + 4, 0.0f);
                for (size_t i = 0; i < filter.size(); ++i) {
                    const size_t j = i / channels, c = i % channels;
                    filter[i] = pattern == 0 || c == j || (pattern == 2 && c == j + 1)
                                    ? value(rng) / 100
                                    : 0.0f;
                }
                for (float& v : bias) v = value(rng);
                for (size_t i = 0; i < pixels * channels; ++i) in[i] = value(rng);
                const float scale = 0.9f;
                const int32_t zero = 5;
                const int8_t low = -100, high = 120;
                std::vector<int8_t> first;
                for (const auto& [isa, form] : KernelForms()) {
                    const lowering::QEntryKernel kernel(channels, filter.data(), bias.data(), scale,
                                                        zero, low, high, isa);
                    std::vector<int8_t> got(pixels * channels, 99);
                    kernel.Run(in.data(), got.data(), pixels);
                    if (first.empty()) first = got;
                    EXPECT_EQ(got, first) << form << ", " << channels << " channels, " << pixels
                                          << ", filter " << pattern;
                    std::vector<int8_t> shared(got.size(), 99);
                    kernel.Run(in.data(), shared.data(), pixels, pool);
                    EXPECT_EQ(shared, got)
                        << form << " on two threads, " << channels << " channels, " << pixels;
                    size_t off = 0;
                    for (size_t p = 0; p < pixels; ++p)
                        for (size_t j = 0; j < channels; ++j) {
                            double sum = bias[j];
                            for (size_t c = 0; c < channels; ++c)
                                sum += double(filter[j * channels + c]) * in[p * channels + c];
                            const double code = std::min<double>(
                                high, std::max<double>(low, std::nearbyint(sum / scale) + zero));
                            const int g = got[p * channels + j];
                            ASSERT_LE(std::abs(g - code), 1)
                                << form << ", " << channels << " channels, pixel " << p << " of "
                                << pixels;
                            off += g != code;
                        }
                    EXPECT_LE(off, pixels * channels / 50) << channels << " channels, " << pixels;
                }
            }
    pthreadpool_destroy(pool);
}

// Nearest upsampling copies int8 codes: the same numbers as XNNPACK's float upsampling of the
// same codes between two conversions.
TEST(Int8Test, NearestUpsamplingCopiesInt8Codes) {
    std::vector<std::string> notes;
    auto copied = std::make_shared<lowering::Plan>(
        QuantisedPlan(ReadFile(TestModel("lowering/upsample.onnx")), {1, 3, 16, 12}, &notes));
    auto converted = std::make_shared<lowering::Plan>(*copied);
    int nearest = 0;
    for (auto& op : converted->ops)
        if (op.nearest && op.int8) op.int8 = false, ++nearest;
    ASSERT_EQ(nearest, 1) << "the upsampling runs in int8 between int8 operators";
    std::string why;
    auto a = lowering::XnnRunner::Create(copied, 1, &why, lowering::Memory::kShared,
                                         lowering::Native::kNever);
    auto b = lowering::XnnRunner::Create(converted, 1, &why, lowering::Memory::kShared,
                                         lowering::Native::kNever);
    ASSERT_TRUE(a && b) << why;
    const auto input = RandomInput({1, 3, 16, 12}, 5);
    const float* nchw = static_cast<const float*>(input->GetHandle().base);
    for (size_t i = 0; i < 16 * 12; ++i)
        for (size_t k = 0; k < 3; ++k)
            a->input()[i * 3 + k] = b->input()[i * 3 + k] = nchw[k * 192 + i];
    ASSERT_TRUE(a->Run(&why) && b->Run(&why)) << why;
    for (size_t i = 0; i < 16 * 12 * 5; ++i) ASSERT_EQ(a->boundary(0)[i], b->boundary(0)[i]) << i;
}

TEST(Int8Test, MissingOrBrokenCalibrationFallsBackOrRefuses) {
    const std::string bytes = ReadFile(TestModel("lowering/residual.onnx"));
    // No calibration: float, and the note says why.
    {
        ModelConfig model;
        model.model_type = NEROVA_MODEL_TYPE_ONNX;
        model.model_contents.push_back(bytes);
        NetworkConfig network;
        network.network_type = NEROVA_NETWORK_TYPE_XNNPACK;
        network.precision = NEROVA_PRECISION_LOW;
        Inference inference;
        ASSERT_EQ(inference.Init(model, network), NEROVA_OK);
        Status status;
        auto instance = inference.CreateInstance(status, {});
        ASSERT_EQ(status, NEROVA_OK);
        EXPECT_NE(instance->BackendNote().find("calibration.txt"), std::string::npos);
    }
    const std::string broken = "nerova-int8-ranges 1\n1 0 c0\n";
    auto refused = Load(bytes, &broken);
    EXPECT_EQ(refused->status, NEROVA_ERR_KERNEL_MODEL_INVALID);
    EXPECT_NE(refused->status.message().find("line 2"), std::string::npos);
    // A calibration that misses a tensor keeps the nodes around it in float, named.
    std::string partial = Calibrate(bytes, {1, 3, 17, 19});
    const size_t line = partial.find(" c1\n");
    ASSERT_NE(line, std::string::npos) << partial;
    partial.erase(partial.rfind('\n', line) + 1, line + 4 - partial.rfind('\n', line));
    auto kept = Load(bytes, &partial);
    ASSERT_EQ(kept->status, NEROVA_OK);
    EXPECT_NE(kept->instance->BackendNote().find("no range of 'c1'"), std::string::npos)
        << kept->instance->BackendNote();
}

#endif  // NEROVA_HAVE_XNNPACK

}  // namespace
}  // namespace nerova
