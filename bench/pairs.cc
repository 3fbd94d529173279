// Each backend's forward and whole frame against OpenCV DNN's bare forward of the same
// network, measured in alternating rounds on one thread. A round times four things (the
// library's whole frame on XNNPACK and on OpenCV, and the bare forward on each backend) in an
// order that rotates from round to round; the ratios are taken within the round, and the
// medians and 10th/90th percentiles of the per-round ratios are reported, wall time and CPU
// time side by side. A shared machine's drift then hits all four alike. A bare forward is the
// detector's own network's, as its frame calls it (a second network of the same file runs a
// few percent faster or slower by where its buffers land). A whole frame faster than its own
// network's forward in nine rounds of ten cannot be: the run reports it as an error (exit 1).
// Efficiency is the forward's arithmetic (from the lowered graph) over the time, against the
// peak this core reaches in a loop of fused multiply-adds.
// A third run, the XNNPACK body in int8 (calibrated on the frame itself: its speed, not its
// accuracy), is timed in the same rounds against the same bare forward.
// The run starts by naming the CPU and the instruction sets each library dispatches to.
// With NEROVA_PAIRS_OPERATORS set, a last table says where the body's time goes, by kind of
// operator.
// A second table times the XNNPACK body alone with its values in the runner's shared buffers
// against XNNPACK's own memory planning, in the same rotating rounds; a third, the body on one
// thread against two, and a fourth the int8 forward on one thread against two (both only where
// the run may use two cores).
//   nerova_pairs [ROUNDS] [MODEL ...]     (default 30 rounds; the bundled models, and the
//                                          converted YuNet ones where they are present)
#include <cpuinfo.h>
#include <immintrin.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "face_detector/face_detector_peer.h"
#include "graph_check.h"
#include "graph_lowering.h"
#include "nerova/kernel.h"
#include "nerova_face_detector.h"
#include "xnn_runner.h"

namespace {

constexpr int kRepeats = 5;  // runs of each measurement per round

struct Time {
    double wall_ms, cpu_ms;
};

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

Time Measure(const std::function<void()>& f) {
    const auto w0 = std::chrono::steady_clock::now();
    const double c0 = CpuMs();
    for (int i = 0; i < kRepeats; ++i) f();
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - w0).count();
    return {wall / kRepeats, (CpuMs() - c0) / kRepeats};
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

std::string Spread(const std::vector<double>& v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f (%.3f-%.3f)", Percentile(v, 0.5), Percentile(v, 0.1),
                  Percentile(v, 0.9));
    return text;
}

// Fused multiply-adds on independent accumulators: what one core computes at best, in
// GFLOP/s. AVX-512 where the CPU has it, else AVX2.
__attribute__((target("avx512f"))) double PeakAvx512(long iterations) {
    __m512 acc[12];
    for (auto& a : acc) a = _mm512_set1_ps(0.0f);
    const __m512 x = _mm512_set1_ps(0.999f), y = _mm512_set1_ps(1e-3f);
    const double c0 = CpuMs();
    for (long i = 0; i < iterations; ++i)
        for (auto& a : acc) a = _mm512_fmadd_ps(a, x, y);
    const double ms = CpuMs() - c0;
    float sink = 0;
    for (auto& a : acc) {
        float lanes[16];
        _mm512_storeu_ps(lanes, a);
        for (float l : lanes) sink += l;
    }
    if (sink == 12345.0f) std::puts("");  // keeps the loop
    return iterations * 12.0 * 16 * 2 / (ms * 1e6);
}

__attribute__((target("avx2,fma"))) double PeakAvx2(long iterations) {
    __m256 acc[12];
    for (auto& a : acc) a = _mm256_set1_ps(0.0f);
    const __m256 x = _mm256_set1_ps(0.999f), y = _mm256_set1_ps(1e-3f);
    const double c0 = CpuMs();
    for (long i = 0; i < iterations; ++i)
        for (auto& a : acc) a = _mm256_fmadd_ps(a, x, y);
    const double ms = CpuMs() - c0;
    float sink = 0;
    for (auto& a : acc) {
        float lanes[8];
        _mm256_storeu_ps(lanes, a);
        for (float l : lanes) sink += l;
    }
    if (sink == 12345.0f) std::puts("");
    return iterations * 12.0 * 8 * 2 / (ms * 1e6);
}

// The CPU's model name, as the kernel reports it.
std::string CpuModel() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line))
        if (line.compare(0, 10, "model name") == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

// Whether XNNPACK runs its AVX-512 kernels: it asks cpuinfo, as this does (and as
// avx2_only.c, preloaded, answers otherwise), for AVX-512 F, BW, DQ and VL; else AVX2 + FMA.
bool XnnpackAvx512() {
    return cpuinfo_initialize() && cpuinfo_has_x86_avx512f() && cpuinfo_has_x86_avx512bw() &&
           cpuinfo_has_x86_avx512dq() && cpuinfo_has_x86_avx512vl();
}

// What this machine offers and what each library runs: OpenCV dispatches at run time
// (OPENCV_CPU_DISABLE holds it back), XNNPACK by cpuinfo's description.
void PrintMachine() {
    std::string has;
    const struct {
        const char* name;
        bool present;
    } kSets[] = {{"avx2", __builtin_cpu_supports("avx2") != 0},
                 {"fma", __builtin_cpu_supports("fma") != 0},
                 {"avx512f", __builtin_cpu_supports("avx512f") != 0},
                 {"avx512bw", __builtin_cpu_supports("avx512bw") != 0},
                 {"avx512dq", __builtin_cpu_supports("avx512dq") != 0},
                 {"avx512vl", __builtin_cpu_supports("avx512vl") != 0},
                 {"avx512vnni", __builtin_cpu_supports("avx512vnni") != 0}};
    for (const auto& set : kSets)
        if (set.present) has += std::string(has.empty() ? "" : " ") + set.name;
    std::printf("CPU: %s; instruction sets: %s\n", CpuModel().c_str(), has.c_str());
    std::printf("XNNPACK kernels: %s; OpenCV dispatch: %s (its AVX-512 layers %s)\n",
                XnnpackAvx512() ? "AVX-512 (SKX)" : "AVX2 + FMA", cv::getCPUFeaturesLine().c_str(),
                cv::checkHardwareSupport(CV_CPU_AVX512_SKX) ? "on" : "off");
}

double PeakGflops() {
    double best = 0;
    for (int i = 0; i < 5; ++i)
        best = std::max(best, XnnpackAvx512() ? PeakAvx512(20000000) : PeakAvx2(20000000));
    return best;
}

// Floating-point operations of a forward: the lowered body's (a multiply-add counts two),
// which is all but a few thousand of the tail's.
double ForwardFlops(const std::string& bytes) {
    onnx::ModelProto proto;
    nerova::graph_check::Admitted admitted;
    nerova::lowering::Plan plan;
    if (!proto.ParseFromString(bytes) ||
        !nerova::graph_check::CheckModel(proto, &admitted).empty() ||
        !nerova::lowering::Lower(proto, &plan).empty())
        return 0;
    double flops = 0;
    auto count = [&](uint32_t v) {
        double n = 1;
        for (size_t d : plan.values[v].dims) n *= static_cast<double>(d);
        return n;
    };
    using nerova::lowering::OpKind;
    for (const auto& op : plan.ops) {
        const double taps = double(op.kernel_h) * op.kernel_w;
        if (op.kind == OpKind::kConvolution || op.kind == OpKind::kDepthwiseConvolution)
            flops += 2 * count(op.output) * taps * op.group_in;
        else if (op.kind == OpKind::kDeconvolution)
            flops += 2 * count(op.inputs[0]) * taps * op.group_out;
        else if (op.kind == OpKind::kMaxPool || op.kind == OpKind::kAveragePool)
            flops += count(op.output) * taps;
        else
            flops += count(op.output);
    }
    return flops;
}

// One way of running the lowered body.
struct Body {
    int threads;
    nerova::lowering::Memory memory;
};

// Two ways of one run over alternating rounds: a table row of the median times of each, and
// the second's over the first's per round, wall and CPU time.
std::string AlternateRow(const std::string& name, int rounds,
                         const std::function<void()> (&ways)[2]) {
    std::vector<double> wall, cpu, ms[2];
    for (int round = 0; round < rounds; ++round) {
        Time t[2];
        for (int k = 0; k < 2; ++k) {
            const int which = (round + k) % 2;
            t[which] = Measure(ways[which]);
        }
        for (int k = 0; k < 2; ++k) ms[k].push_back(t[k].wall_ms);
        wall.push_back(t[1].wall_ms / t[0].wall_ms);
        cpu.push_back(t[1].cpu_ms / t[0].cpu_ms);
    }
    char row[256];
    std::snprintf(row, sizeof row, "| `%s` | %.2f ms | %.2f ms | %s | %s |\n", name.c_str(),
                  Percentile(ms[0], 0.5), Percentile(ms[1], 0.5), Spread(wall).c_str(),
                  Spread(cpu).c_str());
    return row;
}

// The lowered body of a model's network run two ways, over alternating rounds: the median
// times of each, and the second's over the first's per round, wall and CPU time; "" when the
// network does not lower.
std::string BodyRow(const std::string& name, const std::string& bytes, int rounds,
                    const Body (&ways)[2]) {
    namespace lw = nerova::lowering;
    onnx::ModelProto proto;
    nerova::graph_check::Admitted admitted;
    auto plan = std::make_shared<lw::Plan>();
    if (!proto.ParseFromString(bytes) ||
        !nerova::graph_check::CheckModel(proto, &admitted).empty() ||
        !lw::Lower(proto, plan.get()).empty())
        return "";
    std::string why;
    std::unique_ptr<lw::XnnRunner> runner[2];
    for (int k = 0; k < 2; ++k) {
        runner[k] = lw::XnnRunner::Create(plan, ways[k].threads, &why, ways[k].memory);
        if (!runner[k]) return "";
    }
    size_t inputs = 1;
    for (int d : plan->input_dims) inputs *= static_cast<size_t>(d);
    for (auto& r : runner) {
        for (size_t i = 0; i < inputs; ++i) r->input()[i] = static_cast<float>(i % 251) - 125;
        r->Run(&why);  // warm up
    }
    return AlternateRow(name, rounds,
                        {[&] { runner[0]->Run(&why); }, [&] { runner[1]->Run(&why); }});
}

// What an operator of the body is, for the table of where its time goes.
std::string Category(const nerova::lowering::Op& op) {
    using nerova::lowering::OpKind;
    switch (op.kind) {
        case OpKind::kConvolution:
            // The first that reads the image's three channels.
            if (op.group_in * op.groups == 3 && op.kernel_h > 1) return "entry convolution";
            return op.kernel_h == 1 && op.kernel_w == 1 ? "pointwise convolutions"
                                                        : "other convolutions";
        case OpKind::kDepthwiseConvolution:
            return "depthwise convolutions";
        case OpKind::kAdd:
            return "additions";
        case OpKind::kMaxPool:
            return "max pooling";
        case OpKind::kPad:
            return "padding";
        default:
            return "other operators";
    }
}

struct Kind {
    double ms[2] = {0, 0};  // on XNNPACK's operators; with ours where they take them
    bool ours = false;
    int count = 0;
};

// Where the lowered body's time goes, on one thread: each of its operators runs alone, as a
// body of its own whose input is its first operand (a second computed operand, as of an
// addition, held as a constant) and whose one boundary is its result, and its time is counted
// to its kind. Each operator then meets its operands cold rather than in cache from the one
// before: the sum is an upper bound of the body's time. Medians over rounds; "" when the
// network does not lower.
std::string OperatorRows(const std::string& name, const std::string& bytes, int rounds) {
    namespace lw = nerova::lowering;
    onnx::ModelProto proto;
    nerova::graph_check::Admitted admitted;
    lw::Plan plan;
    if (!proto.ParseFromString(bytes) ||
        !nerova::graph_check::CheckModel(proto, &admitted).empty() ||
        !lw::Lower(proto, &plan).empty())
        return "";
    std::string why;
    std::vector<std::array<double, 2>> op_ms;  // XNNPACK's, ours (0: not ours)
    for (const lw::Op& op : plan.ops) {
        auto alone = std::make_shared<lw::Plan>();
        auto add = [&](uint32_t v, bool computed) {
            lw::Value value = plan.values[v];
            if (value.constant >= 0) {
                alone->constants.push_back(plan.constants[static_cast<size_t>(value.constant)]);
                value.constant = static_cast<int>(alone->constants.size() - 1);
            } else if (!computed) {
                size_t n = 1;
                for (size_t d : value.dims) n *= d;
                alone->constants.emplace_back(n, 0.5f);
                value.constant = static_cast<int>(alone->constants.size() - 1);
            }
            alone->values.push_back(value);
            return static_cast<uint32_t>(alone->values.size() - 1);
        };
        lw::Op single = op;
        for (size_t i = 0; i < op.inputs.size(); ++i) single.inputs[i] = add(op.inputs[i], i == 0);
        alone->input = single.inputs[0];
        single.output = add(op.output, true);
        alone->ops = {single};
        lw::Boundary result;
        result.name = "result";
        result.value = single.output;
        result.nhwc = true;
        for (size_t d : alone->values[result.value].dims)
            result.dims.push_back(static_cast<int>(d));
        alone->boundaries = {result};
        // XNNPACK's operator, and ours where it takes the operator and this CPU runs it.
        double times[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const lw::Native native = k == 0 ? lw::Native::kNever : lw::Native::kAlways;
            auto runner = lw::XnnRunner::Create(alone, 1, &why, lw::Memory::kShared, native);
            if (!runner) return "";
            if (k == 1 && !runner->native_steps()) break;
            size_t inputs = 1;
            for (size_t d : alone->values[alone->input].dims) inputs *= d;
            for (size_t i = 0; i < inputs; ++i)
                runner->input()[i] = static_cast<float>(i % 251) / 25.0f - 5.0f;
            runner->Run(&why);
            std::vector<double> ms;
            for (int r = 0; r < rounds; ++r)
                ms.push_back(Measure([&] { runner->Run(&why); }).cpu_ms);
            times[k] = Percentile(ms, 0.5);
        }
        op_ms.push_back({times[0], times[1]});
    }
    // A kind's time on our kernel counts XNNPACK's for the operators ours does not take.
    double total[2] = {0, 0};
    std::map<std::string, Kind> kinds;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        Kind& kind = kinds[Category(plan.ops[k])];
        kind.ms[0] += op_ms[k][0];
        kind.ms[1] += op_ms[k][1] > 0 ? op_ms[k][1] : op_ms[k][0];
        kind.ours |= op_ms[k][1] > 0;
        kind.count += 1;
        total[0] += op_ms[k][0];
        total[1] += op_ms[k][1] > 0 ? op_ms[k][1] : op_ms[k][0];
    }
    std::string rows;
    for (const auto& [category, kind] : kinds) {
        char ours[64] = "-";
        if (kind.ours)
            std::snprintf(ours, sizeof ours, "%.2f ms (%.0f %%)", kind.ms[1],
                          100 * kind.ms[1] / total[1]);
        char row[256];
        std::snprintf(row, sizeof row, "| `%s` | %s | %d | %.2f ms (%.0f %%) | %s |\n",
                      name.c_str(), category.c_str(), kind.count, kind.ms[0],
                      100 * kind.ms[0] / total[0], ours);
        rows += row;
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
    std::vector<std::string> models(argv + std::min(argc, 2), argv + argc);
    // Model names resolve in the source tree's models (and NEROVA_MODELS, when set).
    setenv("NEROVA_MODELS", NEROVA_SOURCE_DIR "/models", 0);
    char path[4096];
    if (models.empty()) {
        for (const char* name :
             {"face_detector_back_256", "face_detector_front_128", "yunet_n_320", "yunet_n_640"})
            if (NerovaFaceDetectorFindModel(name, path, sizeof path) == NEROVA_OK)
                models.push_back(name);
    }
    cv::setNumThreads(1);
    // Two threads against one means nothing where the run is held to one core (taskset).
    cpu_set_t allowed;
    const bool two_cores =
        sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) >= 2;
    PrintMachine();
    const double peak = PeakGflops();
    std::printf("One thread; this core's measured peak: %.0f GFLOP/s (%s FMA loop).\n\n", peak,
                XnnpackAvx512() ? "AVX-512" : "AVX2");
    cv::Mat photo = cv::imread(std::string(NEROVA_SOURCE_DIR) + "/models/samples/group_1897.jpg");
    cv::Mat frame;
    cv::resize(photo, frame, cv::Size(1280, 720));
    const NerovaFrame f{NEROVA_PIXEL_FORMAT_BGR,
                        frame.cols,
                        frame.rows,
                        {frame.data},
                        {static_cast<int32_t>(frame.step[0])}};
    int status = 0;
    std::string planner_rows, thread_rows, int8_thread_rows, operator_rows;
    std::printf(
        "| model | frame, XNNPACK | frame, OpenCV | forward, XNNPACK | forward, OpenCV | "
        "frame XNNPACK / forward OpenCV: wall | CPU | forward XNNPACK / OpenCV | frame OpenCV "
        "/ forward OpenCV | efficiency XNNPACK, OpenCV | forward, XNNPACK int8 | int8 forward / "
        "forward OpenCV: wall | CPU |\n"
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |\n");
    for (const std::string& name : models) {
        void* fast = nullptr;
        void* plain = nullptr;
        NerovaCustomRuntime x86{NEROVA_DEVICE_X86, 0, 1}, naive{NEROVA_DEVICE_NAIVE, 0, 1};
        if (NerovaFaceDetectorFindModel(name.c_str(), path, sizeof path) != NEROVA_OK ||
            NerovaFaceDetectorCreate(path, "", &x86, &fast) != NEROVA_OK ||
            NerovaFaceDetectorCreate(path, "", &naive, &plain) != NEROVA_OK) {
            std::fprintf(stderr, "nerova_pairs: cannot load %s\n", name.c_str());
            return 1;
        }
        auto* algorithm = static_cast<nerova::module::FaceDetectorAlgorithm*>(fast);
        if (nerova::module::FaceDetectorTestPeer::instance(*algorithm)->Backend() != "XNNPACK") {
            std::fprintf(
                stderr, "nerova_pairs: %s does not run on XNNPACK: %s\n", name.c_str(),
                nerova::module::FaceDetectorTestPeer::instance(*algorithm)->BackendNote().c_str());
            return 1;
        }
        for (void* h : {fast, plain}) NerovaFaceDetectorSetTopK(h, 100);
        // Both bare forwards run on the very tensor the pipeline writes: planar as OpenCV's
        // detector writes it, and interleaved into the XNNPACK instances' own input.
        auto* planar = static_cast<nerova::module::FaceDetectorAlgorithm*>(plain);
        planar->PreProcess(&f);
        const auto& input = nerova::module::FaceDetectorTestPeer::input_blob(*planar);
        nerova::BlobDesc desc = input->GetBlobDesc();
        const cv::Mat blob = cv::Mat(static_cast<int>(desc.dims.size()), desc.dims.data(), CV_32F,
                                     input->GetHandle().base)
                                 .clone();
        nerova::Inference inference;
        nerova::ModelConfig model;
        model.model_type = NEROVA_MODEL_TYPE_ONNX;
        {
            std::ifstream file(path, std::ios::binary);
            model.model_contents.emplace_back(std::istreambuf_iterator<char>(file),
                                              std::istreambuf_iterator<char>());
        }
        nerova::NetworkConfig network;
        network.device_type = NEROVA_DEVICE_X86;
        network.network_type = NEROVA_NETWORK_TYPE_XNNPACK;
        nerova::Status made = inference.Init(model, network);
        auto instance = inference.CreateInstance(made, {});
        std::shared_ptr<nerova::Blob> kernel_input;
        if (made != NEROVA_OK || instance->Backend() != "XNNPACK" ||
            instance->GetInputBlob(kernel_input) != NEROVA_OK) {
            std::fprintf(stderr, "nerova_pairs: %s: no XNNPACK instance\n", name.c_str());
            return 1;
        }
        {
            float* nhwc = static_cast<float*>(kernel_input->GetHandle().base);
            const size_t pixels = size_t(desc.dims[2]) * desc.dims[3], channels = desc.dims[1];
            for (size_t i = 0; i < pixels; ++i)
                for (size_t c = 0; c < channels; ++c)
                    nhwc[i * channels + c] = blob.ptr<float>()[c * pixels + i];
        }
        // The same body in int8, on ranges recorded from this very tensor.
        if (instance->RecordRanges() != NEROVA_OK ||
            instance->SetInputBlob(kernel_input, nullptr, "") != NEROVA_OK ||
            instance->Forward() != NEROVA_OK) {
            std::fprintf(stderr, "nerova_pairs: %s: cannot record ranges\n", name.c_str());
            return 1;
        }
        model.model_contents.push_back(instance->RecordedRanges());
        network.precision = NEROVA_PRECISION_LOW;
        nerova::Inference inference8;
        made = inference8.Init(model, network);
        auto instance8 = inference8.CreateInstance(made, {});
        std::shared_ptr<nerova::Blob> input8;
        if (made != NEROVA_OK || instance8->GetInputBlob(input8) != NEROVA_OK) {
            std::fprintf(stderr, "nerova_pairs: %s: no int8 instance\n", name.c_str());
            return 1;
        }
        if (!instance8->BackendNote().empty())
            std::fprintf(stderr, "nerova_pairs: %s int8: %s\n", name.c_str(),
                         instance8->BackendNote().c_str());
        std::copy_n(static_cast<const float*>(kernel_input->GetHandle().base),
                    nerova::Blob::BytesOf(kernel_input->desc()) / sizeof(float),
                    static_cast<float*>(input8->GetHandle().base));
        std::shared_ptr<nerova::Blob> result;
        // A detector's own forward, as its frame runs it, on its own network: two networks of
        // one file differ by a few percent on where their buffers land, so a frame is held to
        // the forward of its own network, which it cannot beat.
        auto own_forward = [&result](nerova::module::FaceDetectorAlgorithm* a) {
            using Peer = nerova::module::FaceDetectorTestPeer;
            Peer::instance(*a)->SetInputBlob(Peer::input_blob(*a), nullptr, "");
            Peer::instance(*a)->Forward();
            Peer::instance(*a)->GetOutputBlob(result, nullptr, "", NEROVA_DEVICE_X86,
                                              NEROVA_DATA_FORMAT_HOST_DEFAULT);
        };
        algorithm->PreProcess(&f);
        const std::function<void()> runs[5] = {
            [&] {  // 0: whole frame, XNNPACK
                NerovaFaceInfo* faces = nullptr;
                uint32_t count = 0;
                NerovaFaceDetectorProcess(fast, &f, &faces, &count);
                NerovaFaceDetectorOutputRelease(faces);
            },
            [&] { own_forward(planar); },  // 1: bare forward, OpenCV
            [&] {                          // 2: whole frame, OpenCV
                NerovaFaceInfo* faces = nullptr;
                uint32_t count = 0;
                NerovaFaceDetectorProcess(plain, &f, &faces, &count);
                NerovaFaceDetectorOutputRelease(faces);
            },
            [&] { own_forward(algorithm); },  // 3: bare forward, XNNPACK (tail included)
            [&] {                             // 4: bare forward, XNNPACK in int8
                instance8->SetInputBlob(input8, nullptr, "");
                instance8->Forward();
                instance8->GetOutputBlob(result, nullptr, "", NEROVA_DEVICE_X86,
                                         NEROVA_DATA_FORMAT_NCHW);
            },
        };
        for (const auto& run : runs) run();  // warm up
        std::vector<double> headline, headline_cpu, speedup, plain_over, fast_over, int8_over,
            int8_cpu;
        std::vector<double> ms[5];
        for (int r = 0; r < rounds; ++r) {
            Time t[5];
            for (int k = 0; k < 5; ++k) {
                const int which = (r + k) % 5;
                t[which] = Measure(runs[which]);
            }
            for (int k = 0; k < 5; ++k) ms[k].push_back(t[k].wall_ms);
            int8_over.push_back(t[4].wall_ms / t[1].wall_ms);
            int8_cpu.push_back(t[4].cpu_ms / t[1].cpu_ms);
            headline.push_back(t[0].wall_ms / t[1].wall_ms);
            headline_cpu.push_back(t[0].cpu_ms / t[1].cpu_ms);
            speedup.push_back(t[3].wall_ms / t[1].wall_ms);
            plain_over.push_back(t[2].wall_ms / t[1].wall_ms);
            fast_over.push_back(t[0].wall_ms / t[3].wall_ms);
        }
        const double flops = ForwardFlops(model.model_contents[0]);
        const double eff_fast = flops / (Percentile(ms[3], 0.5) * 1e6) / peak;
        const double eff_plain = flops / (Percentile(ms[1], 0.5) * 1e6) / peak;
        std::printf(
            "| `%s` | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %s | %s | %s | %s | %.0f %%, "
            "%.0f %% | %.2f ms | %s | %s |\n",
            name.c_str(), Percentile(ms[0], 0.5), Percentile(ms[2], 0.5), Percentile(ms[3], 0.5),
            Percentile(ms[1], 0.5), Spread(headline).c_str(), Spread(headline_cpu).c_str(),
            Spread(speedup).c_str(), Spread(plain_over).c_str(), 100 * eff_fast, 100 * eff_plain,
            Percentile(ms[4], 0.5), Spread(int8_over).c_str(), Spread(int8_cpu).c_str());
        // On OpenCV a frame's own work is 1 to 4 % of its forward, as much as a round's noise
        // (more with a busy neighbour): one round in two can come out below 1. A frame faster
        // in nine rounds of ten cannot be.
        if (Percentile(plain_over, 0.9) < 1.0 || Percentile(fast_over, 0.9) < 1.0) {
            std::fprintf(stderr,
                         "nerova_pairs: %s: a whole frame ran faster than its own network's "
                         "forward in nine rounds of ten (90th percentile %.3f on OpenCV, %.3f on "
                         "XNNPACK), which cannot be; the measurement is wrong\n",
                         name.c_str(), Percentile(plain_over, 0.9), Percentile(fast_over, 0.9));
            status = 1;
        }
        NerovaFaceDetectorDestroy(fast);
        NerovaFaceDetectorDestroy(plain);
        using nerova::lowering::Memory;
        planner_rows += BodyRow(name, model.model_contents[0], rounds,
                                {{1, Memory::kShared}, {1, Memory::kXnnpack}});
        if (two_cores) {
            thread_rows += BodyRow(name, model.model_contents[0], rounds,
                                   {{1, Memory::kShared}, {2, Memory::kShared}});
            // The int8 forward above, on one thread, against one on two, on the same input.
            nerova::NetworkConfig two = network;
            two.thread_num = 2;
            nerova::Inference inference8_two;
            made = inference8_two.Init(model, two);
            auto instance8_two = inference8_two.CreateInstance(made, {});
            std::shared_ptr<nerova::Blob> input8_two;
            if (made != NEROVA_OK || instance8_two->GetInputBlob(input8_two) != NEROVA_OK) {
                std::fprintf(stderr, "nerova_pairs: %s: no int8 instance on two threads\n",
                             name.c_str());
                return 1;
            }
            std::copy_n(static_cast<const float*>(input8->GetHandle().base),
                        nerova::Blob::BytesOf(input8->desc()) / sizeof(float),
                        static_cast<float*>(input8_two->GetHandle().base));
            auto forward = [&result](nerova::Instance& in, const std::shared_ptr<nerova::Blob>& b) {
                in.SetInputBlob(b, nullptr, "");
                in.Forward();
                in.GetOutputBlob(result, nullptr, "", NEROVA_DEVICE_X86, NEROVA_DATA_FORMAT_NCHW);
            };
            forward(*instance8_two, input8_two);  // warm up
            int8_thread_rows += AlternateRow(name, rounds,
                                             {[&] { forward(*instance8, input8); },
                                              [&] { forward(*instance8_two, input8_two); }});
        }
        if (getenv("NEROVA_PAIRS_OPERATORS"))
            operator_rows += OperatorRows(name, model.model_contents[0], std::min(rounds, 9));
    }
    std::printf(
        "\nXNNPACK body, one thread: values in the runner's shared buffers against XNNPACK's own "
        "memory planning\n\n| model | shared buffers | XNNPACK's planning | XNNPACK's / shared: "
        "wall | CPU |\n| --- | --- | --- | --- | --- |\n%s",
        planner_rows.c_str());
    if (two_cores)
        for (const auto& [what, rows] : {std::make_pair("XNNPACK body", &thread_rows),
                                         std::make_pair("int8 forward", &int8_thread_rows)})
            std::printf(
                "\n%s on one thread and on two (the runner's pool)\n\n| model | one thread | two "
                "threads | two / one: wall | CPU |\n| --- | --- | --- | --- | --- |\n%s",
                what, rows->c_str());
    else
        std::printf("\nOne thread against two: not measured, this run may use one core only\n");
    if (!operator_rows.empty())
        std::printf(
            "\nWhere the XNNPACK body's time goes, one thread (CPU time of each operator run "
            "alone; on XNNPACK's operators, and with our convolution kernel where it takes "
            "them)\n\n"
            "| model | operators | count | XNNPACK | our kernel |\n| --- | --- | --- | --- | --- "
            "|\n%s",
            operator_rows.c_str());
    return status;
}
