#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>
#include <stdexcept>

#include "graph_check.h"
#include "graph_lowering.h"
#include "nerova/kernel.h"
#include "opencv_graph.h"
#include "quantize.h"
#include "tail_runner.h"
#include "xnn_runner.h"

namespace nerova {

namespace {

std::string DeviceName(NerovaDeviceType type) {
    const std::string name = StringConfigConverter::DeviceTypeToString(type);
    return name.empty() ? "device type " + std::to_string(static_cast<int>(type)) : name;
}

std::string ModelTypeName(NerovaModelType type) {
    const std::string name = StringConfigConverter::ModelTypeToString(type);
    return name.empty() ? "model type " + std::to_string(static_cast<int>(type)) : name;
}

// OpenCV's importer prints its own diagnostics for a bad graph; the kernel reports through
// Status instead, so they are silenced while a network is read. The log level is
// process-wide: the first of concurrent readers saves it and the last one restores it.
class SilencedOpenCvLog {
  public:
    SilencedOpenCvLog() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (readers_++ == 0) {
            saved_ = cv::utils::logging::getLogLevel();
            cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        }
    }
    ~SilencedOpenCvLog() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--readers_ == 0) cv::utils::logging::setLogLevel(saved_);
    }
    SilencedOpenCvLog(const SilencedOpenCvLog&) = delete;
    SilencedOpenCvLog& operator=(const SilencedOpenCvLog&) = delete;

  private:
    static std::mutex mutex_;
    static int readers_;
    static cv::utils::logging::LogLevel saved_;
};
std::mutex SilencedOpenCvLog::mutex_;
int SilencedOpenCvLog::readers_ = 0;
cv::utils::logging::LogLevel SilencedOpenCvLog::saved_ = cv::utils::logging::LOG_LEVEL_INFO;

// OpenCV's copy of a model, rewritten where OpenCV would compute a construct otherwise than
// ONNX means it (opencv_graph.h). Throws what the importer throws; a model OpenCV must not be
// handed is a std::runtime_error saying why.
cv::dnn::Net ReadOnnx(const std::string& model) {
    std::string bytes;
    const std::string why = lowering::ForOpenCv(model, &bytes);
    if (!why.empty()) throw std::runtime_error(why);
    SilencedOpenCvLog silenced;
    return cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
}

// One forward on zeros: some admitted broadcasts make OpenCV's forward fail on every frame,
// which an instance should say when it is created rather than on each frame. It also does
// the first forward's allocations before the first frame. Empty, or why OpenCV cannot run it.
std::string TryForward(cv::dnn::Net& net, const std::vector<std::string>& names,
                       const std::vector<std::vector<int>>& dims,
                       const std::vector<std::string>& outputs) {
    try {
        for (size_t i = 0; i < names.size(); ++i)
            net.setInput(
                cv::Mat(static_cast<int>(dims[i].size()), dims[i].data(), CV_32F, cv::Scalar(0)),
                names[i]);
        std::vector<cv::Mat> results;
        net.forward(results, outputs);
    } catch (const std::exception& e) {
        std::string what = e.what();
        while (!what.empty() && std::isspace(static_cast<unsigned char>(what.back())))
            what.pop_back();
        return "OpenCV DNN cannot run the network: " + what;
    }
    return "";
}

// The layers whose results a forward delivers: the graph's declared outputs, in their order,
// when OpenCV has a layer of each name (its importer names a layer after its node's first
// output); else its unconnected layers, a dead end among them.
std::vector<std::string> OutputLayers(const cv::dnn::Net& net,
                                      const std::vector<std::string>& declared) {
    const std::vector<std::string> layers = net.getLayerNames();
    for (const std::string& name : declared)
        if (std::find(layers.begin(), layers.end(), name) == layers.end())
            return net.getUnconnectedOutLayersNames();
    return declared.empty() ? net.getUnconnectedOutLayersNames() : declared;
}

// Whether the configuration asks for XNNPACK's body: the plain device type and the OpenCV
// network type keep the whole network on OpenCV; every other CPU configuration takes the
// faster backend when it can.
bool WantsXnn(const NetworkConfig& config) {
    return config.network_type != NEROVA_NETWORK_TYPE_OPENCV &&
           config.device_type != NEROVA_DEVICE_NAIVE && config.device_type != NEROVA_DEVICE_OPENCL;
}

}  // namespace

class InferenceImpl {
  public:
    ModelConfig model_config;
    NetworkConfig network_config;
    bool loaded = false;
    std::string inferred;    // the admitted model with its inferred shapes
    cv::dnn::Net first_net;  // read by Init, handed to the first instance
    bool first_net_taken = false;
    std::map<std::string, std::vector<int>> input_shapes;
    std::vector<std::string> input_names;   // declaration order
    std::vector<std::string> output_names;  // declaration order
    // The graph lowered for XNNPACK, or null with plan_why saying why it cannot be.
    std::shared_ptr<const lowering::Plan> plan;
    std::string plan_why;
    // With PRECISION_LOW and a calibration: the plan with its int8 operators marked, and what
    // stays in float.
    std::shared_ptr<const lowering::Plan> int8_plan;
    std::string int8_note;
};

class InstanceImpl {
  public:
    cv::dnn::Net net;  // the whole network, or with xnn the tail after the lowered body
    std::vector<std::string> input_names;
    std::vector<std::string> output_names;
    std::vector<cv::Mat> outputs;
    bool has_input = false;
    bool ran = false;
    std::string backend_note;

    // XNNPACK's body: the runner, its plan, the bound input and the tensors the tail reads.
    std::unique_ptr<lowering::XnnRunner> xnn;
    std::shared_ptr<const lowering::Plan> plan;
    std::shared_ptr<Blob> input;
    std::vector<cv::Mat> boundaries;        // per plan boundary: NCHW copy or NHWC view
    std::vector<std::string> tail_outputs;  // the tail's output layers
    std::vector<cv::Mat> tail_results;
    std::unique_ptr<lowering::TailRunner> tail;  // the tail run natively; else net runs it
    std::vector<int> output_sources;             // per output: tail output index, or -1 - boundary

    // A calibration's float copy of the body, each value in a buffer of its own, and the
    // range each took so far.
    std::unique_ptr<lowering::XnnRunner> recorder;
    std::shared_ptr<const lowering::Plan> float_plan;
    std::vector<std::pair<float, float>> seen;

    Status BindXnnInput(std::shared_ptr<Blob> blob, const std::string& name);
    Status ForwardXnn();
    void Record();
};

namespace {

// NCHW to NHWC and back, for the tensors that cross between the two backends.
void ToNhwc(const float* src, int n, int c, int hw, float* dst) {
    for (int b = 0; b < n; ++b, src += c * hw, dst += c * hw)
        for (int i = 0; i < hw; ++i)
            for (int ch = 0; ch < c; ++ch) dst[i * c + ch] = src[ch * hw + i];
}

void ToNchw(const float* src, int n, int c, int hw, float* dst) {
    for (int b = 0; b < n; ++b, src += c * hw, dst += c * hw)
        for (int i = 0; i < hw; ++i)
            for (int ch = 0; ch < c; ++ch) dst[ch * hw + i] = src[i * c + ch];
}

}  // namespace

Status InstanceImpl::BindXnnInput(std::shared_ptr<Blob> blob, const std::string& name) {
    if (!name.empty() && name != plan->input_name)
        return Status(NEROVA_ERR_KERNEL_BLOB, "no network input named " + name);
    std::vector<int> dims = plan->input_dims;
    if (blob->desc().data_format == NEROVA_DATA_FORMAT_NHWC)
        dims = {dims[0], dims[2], dims[3], dims[1]};
    if (blob->desc().dims != dims)
        return Status(NEROVA_ERR_KERNEL_BLOB, "input blob dims differ from the network input's");
    input = std::move(blob);
    has_input = true;
    return Status();
}

Status InstanceImpl::ForwardXnn() {
    const std::vector<int>& d = plan->input_dims;
    const BlobHandle handle = input->GetHandle();
    const float* data =
        reinterpret_cast<const float*>(static_cast<const char*>(handle.base) + handle.bytes_offset);
    if (input->desc().data_format != NEROVA_DATA_FORMAT_NHWC)
        ToNhwc(data, d[0], d[1], d[2] * d[3], xnn->input());
    else if (data != xnn->input())  // a host's own NHWC tensor rather than the instance's
        std::copy_n(data, size_t(d[0]) * d[1] * d[2] * d[3], xnn->input());
    std::string why;
    if (!xnn->Run(&why)) return Status(NEROVA_ERR_KERNEL_FORWARD, why);
    if (recorder) Record();
    for (size_t i = 0; i < plan->boundaries.size(); ++i) {
        const lowering::Boundary& b = plan->boundaries[i];
        if (b.nhwc) continue;  // a view of the runner's buffer, set once
        ToNchw(xnn->boundary(i), b.dims[0], b.dims[1], b.dims[2] * b.dims[3],
               boundaries[i].ptr<float>());
    }
    if (tail) {
        tail->Run();  // its inputs were bound once, to buffers that stay
    } else if (!tail_outputs.empty()) {
        try {
            for (size_t i = 0; i < plan->boundaries.size(); ++i)
                if (plan->boundaries[i].tail_input)
                    net.setInput(boundaries[i], plan->boundaries[i].name);
            net.forward(tail_results, tail_outputs);
        } catch (const std::exception& e) {
            return Status(NEROVA_ERR_KERNEL_FORWARD, e.what());
        }
    }
    outputs.resize(output_sources.size());
    for (size_t i = 0; i < output_sources.size(); ++i) {
        const int source = output_sources[i];
        outputs[i] = source >= 0 ? tail_results[static_cast<size_t>(source)]
                                 : boundaries[static_cast<size_t>(-1 - source)];
    }
    return Status();
}

void InstanceImpl::Record() {
    const std::vector<int>& d = plan->input_dims;
    std::copy_n(xnn->input(), size_t(d[0]) * d[1] * d[2] * d[3], recorder->input());
    std::string why;
    if (!recorder->Run(&why)) return;
    for (size_t v = 0; v < float_plan->values.size(); ++v) {
        const float* data = recorder->value(static_cast<uint32_t>(v));
        const lowering::Value& value = float_plan->values[v];
        if (!data || value.constant >= 0 || value.name.empty()) continue;
        size_t count = 1;
        for (size_t dim : value.dims) count *= dim;
        auto range = std::minmax_element(data, data + count);
        seen[v].first = std::min(seen[v].first, *range.first);
        seen[v].second = std::max(seen[v].second, *range.second);
    }
}

Instance::Instance(std::unique_ptr<InstanceImpl> impl) : impl_(std::move(impl)) {}
Instance::~Instance() = default;

Status Instance::DeInit() {
    impl_->outputs.clear();
    impl_->has_input = false;
    impl_->ran = false;
    return Status();
}

Status Instance::SetInputBlob(std::shared_ptr<Blob> blob, ParamConverter* converter,
                              std::string name) {
    if (!blob) return Status(NEROVA_ERR_KERNEL_BLOB, "input blob is null");
    if (converter) return Status(NEROVA_ERR_KERNEL_BLOB, "this kernel converts no input");
    const BlobDesc desc = blob->GetBlobDesc();
    const BlobHandle handle = blob->GetHandle();
    if (!DeviceUtils::IsCpuReadable(desc.device_type))
        return Status(NEROVA_ERR_KERNEL_BLOB, "input blob is not in host memory");
    if (desc.data_type != NEROVA_DATA_TYPE_FLOAT)
        return Status(NEROVA_ERR_KERNEL_BLOB, "input blob must hold 32-bit floats");
    const bool interleaved = impl_->xnn && desc.data_format == NEROVA_DATA_FORMAT_NHWC;
    if (desc.data_format != NEROVA_DATA_FORMAT_NCHW &&
        desc.data_format != NEROVA_DATA_FORMAT_HOST_DEFAULT && !interleaved)
        return Status(NEROVA_ERR_KERNEL_BLOB, impl_->xnn
                                                  ? "input blob must be planar (NCHW) or NHWC"
                                                  : "input blob must be planar (NCHW)");
    if (!handle.base || Blob::BytesOf(desc) == 0)
        return Status(NEROVA_ERR_KERNEL_BLOB, "input blob has no memory or an empty shape");
    if (!name.empty() && std::find(impl_->input_names.begin(), impl_->input_names.end(), name) ==
                             impl_->input_names.end())
        return Status(NEROVA_ERR_KERNEL_BLOB, "no network input named " + name);
    if (impl_->xnn) return impl_->BindXnnInput(std::move(blob), name);
    void* data = static_cast<char*>(handle.base) + handle.bytes_offset;
    const cv::Mat mat(static_cast<int>(desc.dims.size()), desc.dims.data(), CV_32F, data);
    try {
        impl_->net.setInput(mat, name);
    } catch (const std::exception& e) {
        return Status(NEROVA_ERR_KERNEL_BLOB, e.what());
    }
    impl_->has_input = true;
    return Status();
}

Status Instance::Forward() {
    if (!impl_->has_input) return Status(NEROVA_ERR_KERNEL_NOT_READY, "no input bound");
    impl_->ran = false;
    if (impl_->xnn) {
        const Status status = impl_->ForwardXnn();
        if (status != NEROVA_OK) return status;
    } else {
        try {
            impl_->net.forward(impl_->outputs, impl_->output_names);
        } catch (const std::exception& e) {
            return Status(NEROVA_ERR_KERNEL_FORWARD, e.what());
        }
    }
    for (cv::Mat& m : impl_->outputs) {
        if (m.depth() != CV_32F) m.convertTo(m, CV_32F);
        if (!m.isContinuous()) m = m.clone();
    }
    impl_->ran = true;
    return Status();
}

Status Instance::GetOutputBlob(std::shared_ptr<Blob>& blob, ParamConverter* converter,
                               std::string name, NerovaDeviceType device, NerovaDataFormat format) {
    if (converter) return Status(NEROVA_ERR_KERNEL_BLOB, "this kernel converts no output");
    if (!impl_->ran) return Status(NEROVA_ERR_KERNEL_NOT_READY, "network has not run");
    if (!DeviceUtils::IsCpuReadable(device))
        return Status(NEROVA_ERR_KERNEL_DEVICE, "outputs are delivered in host memory only");
    if (format != NEROVA_DATA_FORMAT_HOST_DEFAULT && format != NEROVA_DATA_FORMAT_NCHW)
        return Status(NEROVA_ERR_KERNEL_BLOB, "unsupported output data format");
    size_t index = 0;
    if (!name.empty()) {
        auto it = std::find(impl_->output_names.begin(), impl_->output_names.end(), name);
        if (it == impl_->output_names.end())
            return Status(NEROVA_ERR_KERNEL_BLOB, "no network output named " + name);
        index = static_cast<size_t>(it - impl_->output_names.begin());
    }
    if (index >= impl_->outputs.size()) return Status(NEROVA_ERR_KERNEL_BLOB, "no output");
    cv::Mat& out = impl_->outputs[index];
    BlobDesc desc;
    desc.device_type = device;
    desc.data_type = NEROVA_DATA_TYPE_FLOAT;
    desc.data_format = format;
    desc.dims.assign(out.size.p, out.size.p + out.dims);
    desc.name = impl_->output_names[index];
    BlobHandle handle;
    handle.base = out.data;
    if (!blob) blob = std::make_shared<Blob>();
    blob->SetBlobDesc(desc, false);
    blob->SetHandle(handle);
    return Status();
}

Status Instance::GetInputBlob(std::shared_ptr<Blob>& blob) {
    if (!impl_->xnn)
        return Status(NEROVA_ERR_KERNEL_BLOB, "this backend reads the host's own input tensor");
    const std::vector<int>& d = impl_->plan->input_dims;
    BlobDesc desc;
    desc.device_type = DeviceUtils::GetDefaultCpuDeviceType();
    desc.data_type = NEROVA_DATA_TYPE_FLOAT;
    desc.data_format = NEROVA_DATA_FORMAT_NHWC;
    desc.dims = {d[0], d[2], d[3], d[1]};
    desc.name = impl_->plan->input_name;
    BlobHandle handle;
    handle.base = impl_->xnn->input();
    blob = std::make_shared<Blob>(desc, handle);
    return Status();
}

Status Instance::RecordRanges() {
    if (!impl_->xnn || !impl_->float_plan)
        return Status(NEROVA_ERR_KERNEL_NOT_READY, "only the XNNPACK body records ranges");
    std::string why;
    impl_->recorder =
        lowering::XnnRunner::Create(impl_->float_plan, 1, &why, lowering::Memory::kEvery);
    if (!impl_->recorder) return Status(NEROVA_ERR_KERNEL_FORWARD, why);
    impl_->seen.assign(impl_->float_plan->values.size(), {std::numeric_limits<float>::infinity(),
                                                          -std::numeric_limits<float>::infinity()});
    return Status();
}

std::string Instance::RecordedRanges() const {
    lowering::Ranges ranges;
    if (!impl_->recorder) return "";
    for (size_t v = 0; v < impl_->seen.size(); ++v)
        if (impl_->seen[v].first <= impl_->seen[v].second)
            ranges[impl_->float_plan->values[v].name] = impl_->seen[v];
    return lowering::FormatRanges(ranges);
}

std::string Instance::Backend() const { return impl_->xnn ? "XNNPACK" : "OpenCV DNN"; }

std::string Instance::BackendNote() const { return impl_->backend_note; }

namespace {

// The declared outputs that the tail computes, in their order.
std::vector<std::string> TailOutputs(const lowering::Plan& plan) {
    std::vector<std::string> names;
    for (const std::string& name : plan.outputs) {
        const bool in_body =
            std::any_of(plan.boundaries.begin(), plan.boundaries.end(),
                        [&](const lowering::Boundary& b) { return b.name == name; });
        if (!in_body) names.push_back(name);
    }
    return names;
}

// Builds the XNNPACK runner of a plan into impl, with the tail on OpenCV and the tensors
// where the two meet. False, with why set, when XNNPACK or OpenCV cannot take its part.
bool SetUpXnn(const std::shared_ptr<const lowering::Plan>& plan, int threads, InstanceImpl* impl,
              std::string* why) {
    impl->xnn = lowering::XnnRunner::Create(plan, threads, why);
    if (!impl->xnn) return false;
    impl->plan = plan;
    for (size_t i = 0; i < plan->boundaries.size(); ++i) {
        const lowering::Boundary& b = plan->boundaries[i];
        if (b.nhwc)
            impl->boundaries.emplace_back(static_cast<int>(b.dims.size()), b.dims.data(), CV_32F,
                                          const_cast<float*>(impl->xnn->boundary(i)));
        else
            impl->boundaries.emplace_back(static_cast<int>(b.dims.size()), b.dims.data(), CV_32F);
    }
    std::string native_why;
    if ((impl->tail = lowering::TailRunner::Create(*plan, &native_why))) {
        // The tail's results stay where the runner computed them.
        for (size_t i = 0; i < plan->boundaries.size(); ++i)
            if (plan->boundaries[i].tail_input)
                impl->tail->Bind(plan->boundaries[i].name, impl->boundaries[i].ptr<float>());
        for (size_t k = 0; k < impl->tail->outputs().size(); ++k) {
            const std::vector<int>& d = impl->tail->output_dims(k);
            impl->tail_outputs.push_back(impl->tail->outputs()[k]);
            impl->tail_results.emplace_back(static_cast<int>(d.size()), d.data(), CV_32F,
                                            const_cast<float*>(impl->tail->output(k)));
        }
    } else if (!plan->tail.empty()) {
        try {
            impl->net = ReadOnnx(plan->tail);
            impl->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
            impl->net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
            impl->tail_outputs = OutputLayers(impl->net, TailOutputs(*plan));
        } catch (const std::exception& e) {
            *why = std::string("the tail cannot be loaded: ") + e.what();
            return false;
        }
        if (impl->net.empty() || impl->tail_outputs.empty()) {
            *why = "the tail has no layers";
            return false;
        }
        std::vector<std::string> names;
        std::vector<std::vector<int>> dims;
        for (const lowering::Boundary& b : plan->boundaries)
            if (b.tail_input) {
                names.push_back(b.name);
                dims.push_back(b.dims);
            }
        *why = TryForward(impl->net, names, dims, impl->tail_outputs);
        if (!why->empty()) return false;
    }
    // The declared outputs in their order, each from the tail or the body; a tail whose
    // outputs OpenCV names otherwise gives its own first, then the body's.
    const bool declared = impl->tail_outputs == TailOutputs(*plan);
    if (!declared)
        for (size_t i = 0; i < impl->tail_outputs.size(); ++i) {
            impl->output_names.push_back(impl->tail_outputs[i]);
            impl->output_sources.push_back(static_cast<int>(i));
        }
    for (const std::string& name : plan->outputs) {
        auto b = std::find_if(plan->boundaries.begin(), plan->boundaries.end(),
                              [&](const lowering::Boundary& x) { return x.name == name; });
        auto t = std::find(impl->tail_outputs.begin(), impl->tail_outputs.end(), name);
        if (b != plan->boundaries.end())
            impl->output_sources.push_back(-1 - static_cast<int>(b - plan->boundaries.begin()));
        else if (declared && t != impl->tail_outputs.end())
            impl->output_sources.push_back(static_cast<int>(t - impl->tail_outputs.begin()));
        else
            continue;
        impl->output_names.push_back(name);
    }
    return true;
}

}  // namespace

namespace {

// With PRECISION_LOW: the plan with its int8 operators marked, from the calibration the model's
// second content holds. A calibration that cannot be read refuses the model; none at all runs
// it in float, with a note.
Status PlanInt8(InferenceImpl* impl, const ModelConfig& model_config,
                const onnx::ModelProto& proto) {
    if (model_config.model_contents.size() < 2) {
        impl->int8_note = "int8 needs the model's calibration (calibration.txt); it runs in float";
        return Status();
    }
    lowering::Ranges ranges;
    const std::string why = lowering::ParseRanges(model_config.model_contents[1], &ranges);
    if (!why.empty())
        return Status(NEROVA_ERR_KERNEL_MODEL_INVALID, "calibration.txt cannot be read: " + why);
    auto plan = std::make_shared<lowering::Plan>(*impl->plan);
    const std::vector<std::string> notes = lowering::Quantize(proto, ranges, plan.get());
    for (const std::string& note : notes)
        impl->int8_note += (impl->int8_note.empty() ? "" : "; ") + note;
    if (plan->int8) impl->int8_plan = std::move(plan);
    return Status();
}

}  // namespace

Inference::Inference() : impl_(new InferenceImpl()) {}
Inference::~Inference() = default;

Status Inference::Init(ModelConfig& model_config, NetworkConfig& network_config) {
    impl_->loaded = false;
    const NerovaModelType type = model_config.model_type;
    const bool onnx = type == NEROVA_MODEL_TYPE_ONNX ||
                      (!model_config.is_native &&
                       (type == NEROVA_MODEL_TYPE_TENSORRT || type == NEROVA_MODEL_TYPE_OPENVINO));
    if (!onnx) {
        return Status(NEROVA_ERR_KERNEL_MODEL_TYPE,
                      ModelTypeName(type) + " models are not supported by this kernel");
    }
    if (model_config.model_contents.empty() || model_config.model_contents[0].empty())
        return Status(NEROVA_ERR_KERNEL_MODEL_INVALID, "model contents are empty");
    const std::string& bytes = model_config.model_contents[0];

    onnx::ModelProto proto;
    if (bytes.size() > static_cast<size_t>(INT32_MAX) ||
        !proto.ParseFromArray(bytes.data(), static_cast<int>(bytes.size())) || !proto.has_graph()) {
        return Status(NEROVA_ERR_KERNEL_MODEL_INVALID, "model contents are not an ONNX model");
    }
    // OpenCV's importer trusts the graph and crashes on some that the ONNX checker accepts,
    // so only graphs the admission check passes reach it.
    graph_check::Admitted admitted;
    const std::string refused = graph_check::CheckModel(proto, &admitted);
    if (!refused.empty())
        return Status(NEROVA_ERR_KERNEL_MODEL_INVALID, "network refused: " + refused);
    impl_->plan.reset();
    impl_->plan_why.clear();
    if (lowering::XnnAvailable()) {
        auto plan = std::make_shared<lowering::Plan>();
        impl_->plan_why = lowering::Lower(proto, plan.get());
        if (impl_->plan_why.empty()) impl_->plan = std::move(plan);
    } else {
        impl_->plan_why = "this build has no XNNPACK";
    }
    impl_->int8_plan.reset();
    impl_->int8_note.clear();
    if (network_config.precision == NEROVA_PRECISION_LOW && impl_->plan) {
        const Status int8 = PlanInt8(impl_.get(), model_config, proto);
        if (int8 != NEROVA_OK) return int8;
    }
    std::map<std::string, std::vector<int>> shapes = {{admitted.input_name, admitted.input_dims}};
    std::vector<std::string> names = {admitted.input_name};

    // OpenCV reads the model with the shapes inference gave it, which its rewrites go by.
    if (!proto.SerializeToString(&impl_->inferred))
        return Status(NEROVA_ERR_KERNEL_MODEL_INVALID, "model cannot be serialised");
    try {
        impl_->first_net = ReadOnnx(impl_->inferred);
    } catch (const std::exception& e) {  // cv::Exception, and what the importer lets through
        return Status(NEROVA_ERR_KERNEL_MODEL_INVALID,
                      std::string("network cannot be loaded: ") + e.what());
    }
    if (impl_->first_net.empty())
        return Status(NEROVA_ERR_KERNEL_MODEL_INVALID, "network has no layers");
    impl_->first_net_taken = false;
    impl_->model_config = model_config;
    impl_->network_config = network_config;
    impl_->input_shapes = std::move(shapes);
    impl_->input_names = std::move(names);
    impl_->output_names.clear();
    for (const auto& out : proto.graph().output()) impl_->output_names.push_back(out.name());
    impl_->loaded = true;
    return Status();
}

Status Inference::DeInit() {
    impl_->loaded = false;
    impl_->first_net = cv::dnn::Net();
    impl_->inferred.clear();
    impl_->model_config.model_contents.clear();
    return Status();
}

Status Inference::SetNetworkConfig(NetworkConfig& network_config) {
    impl_->network_config = network_config;
    return Status();
}

std::shared_ptr<Instance> Inference::CreateInstance(Status& status,
                                                    std::map<std::string, std::vector<int>>) {
    if (!impl_->loaded) {
        status = Status(NEROVA_ERR_KERNEL_NOT_READY, "no network loaded");
        return nullptr;
    }
    const NetworkConfig& config = impl_->network_config;
    // OpenCV's pool is process-wide and does not survive tens of thousands of threads.
    if (config.thread_num > NEROVA_MAX_THREAD_NUM) {
        status = Status(NEROVA_ERR_KERNEL_DEVICE,
                        "thread count " + std::to_string(config.thread_num) + " exceeds " +
                            std::to_string(NEROVA_MAX_THREAD_NUM));
        return nullptr;
    }
    int target = cv::dnn::DNN_TARGET_CPU;
    if (config.device_type == NEROVA_DEVICE_OPENCL) {
        if (!cv::ocl::haveOpenCL()) {
            status = Status(NEROVA_ERR_KERNEL_DEVICE, "DEVICE_OPENCL is not available here");
            return nullptr;
        }
        target = cv::dnn::DNN_TARGET_OPENCL;
    } else if (!DeviceUtils::IsCpuReadable(config.device_type)) {
        status = Status(NEROVA_ERR_KERNEL_DEVICE,
                        DeviceName(config.device_type) + " is not available in this build");
        return nullptr;
    }
    std::unique_ptr<InstanceImpl> impl(new InstanceImpl());
    if (WantsXnn(config)) {
        std::string why = impl_->plan_why;
        std::string int8_why;
        bool int8 = false;
        if (impl_->int8_plan) {
            int8 = SetUpXnn(impl_->int8_plan, config.thread_num, impl.get(), &int8_why);
            if (!int8) impl.reset(new InstanceImpl());
        }
        if (int8 || (impl_->plan && SetUpXnn(impl_->plan, config.thread_num, impl.get(), &why))) {
            impl->float_plan = impl_->plan;
            impl->backend_note = !int8_why.empty()
                                     ? "int8 cannot run here (" + int8_why + "); it runs in float"
                                     : impl_->int8_note;
            impl->input_names = impl_->input_names;
            // OpenCV's process-wide pool is set as on OpenCV DNN: it also runs an OpenCV tail
            // and the host's image operations (a resize, a colour conversion), which would
            // otherwise start threads of their own.
            if (config.thread_num > 0 && cv::getNumThreads() != config.thread_num)
                cv::setNumThreads(config.thread_num);
            // Init's OpenCV copy of the whole network is not needed; another instance on
            // OpenCV reads the model again.
            if (!impl_->first_net_taken) {
                impl_->first_net = cv::dnn::Net();
                impl_->first_net_taken = true;
            }
            status = Status();
            return std::shared_ptr<Instance>(new Instance(std::move(impl)));
        }
        // Without XNNPACK in the build, OpenCV is the only path and nothing needs saying,
        // unless the configuration asked for XNNPACK by name.
        std::string note;
        if (lowering::XnnAvailable() || config.network_type == NEROVA_NETWORK_TYPE_XNNPACK)
            note = "the network runs on OpenCV DNN alone: " + why;
        impl.reset(new InstanceImpl());  // a failed set-up leaves nothing behind
        impl->backend_note = note;
    }
    try {
        if (!impl_->first_net_taken) {
            impl->net = impl_->first_net;
            impl_->first_net_taken = true;
            impl_->first_net = cv::dnn::Net();
        } else {
            impl->net = ReadOnnx(impl_->inferred);
        }
        impl->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        impl->net.setPreferableTarget(target);
        impl->output_names = OutputLayers(impl->net, impl_->output_names);
    } catch (const std::exception& e) {
        status = Status(NEROVA_ERR_KERNEL_MODEL_INVALID, e.what());
        return nullptr;
    }
    std::vector<std::vector<int>> dims;
    for (const std::string& name : impl_->input_names) dims.push_back(impl_->input_shapes[name]);
    std::string why = TryForward(impl->net, impl_->input_names, dims, impl->output_names);
    if (!why.empty()) {
        if (!impl->backend_note.empty()) why = impl->backend_note + "; " + why;
        status = Status(NEROVA_ERR_KERNEL_MODEL_INVALID, why);
        return nullptr;
    }
    impl->input_names = impl_->input_names;
    if (config.thread_num > 0 && cv::getNumThreads() != config.thread_num)
        cv::setNumThreads(config.thread_num);
    status = Status();
    return std::shared_ptr<Instance>(new Instance(std::move(impl)));
}

Status Inference::GetModelInputShapesMap(std::map<std::string, std::vector<int>>& shapes) {
    if (!impl_->loaded) return Status(NEROVA_ERR_KERNEL_NOT_READY, "no network loaded");
    shapes = impl_->input_shapes;
    return Status();
}

}  // namespace nerova
