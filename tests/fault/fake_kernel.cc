// A kernel whose calls fail on demand, for the faults the real one cannot produce. Linked
// into the fault-test executable, its Inference and Instance take the place of the real
// kernel's; Blob, Status and the utilities stay the real ones.
#include "fake_kernel.h"

#include <new>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <utility>

namespace nerova {

namespace {

void ThrowOnce(FakeThrow& what) {
    const FakeThrow kind = std::exchange(what, FakeThrow::kNone);
    if (kind == FakeThrow::kCv) CV_Error(cv::Error::StsBadArg, "injected");
    if (kind == FakeThrow::kBadAlloc) throw std::bad_alloc();
    if (kind == FakeThrow::kOther) throw std::runtime_error("injected");
}

}  // namespace

FakeKernelControl& FakeKernel() {
    static FakeKernelControl control;
    return control;
}

void RecordCall(const char* name) {
    if (FakeKernel().record_calls) FakeKernel().calls.push_back(name);
}

class InferenceImpl {
  public:
    NetworkConfig network;
};

class InstanceImpl {
  public:
    std::vector<float> rows;
    BlobDesc desc;  // kept, so that a steady stream of frames allocates nothing here
};

Inference::Inference() : impl_(new InferenceImpl()) {}
Inference::~Inference() { RecordCall("~Inference"); }

Status Inference::Init(ModelConfig&, NetworkConfig& network) {
    RecordCall("Init");
    ThrowOnce(FakeKernel().throw_in_init);
    impl_->network = network;
    if (FakeKernel().fail_init) return Status(NEROVA_ERR_KERNEL_MODEL_INVALID, "injected");
    return Status();
}

Status Inference::DeInit() {
    RecordCall("Inference::DeInit");
    return Status();
}

Status Inference::SetNetworkConfig(NetworkConfig& network) {
    RecordCall("SetNetworkConfig");
    impl_->network = network;
    return Status();
}

std::shared_ptr<Instance> Inference::CreateInstance(Status& status,
                                                    std::map<std::string, std::vector<int>>) {
    RecordCall("CreateInstance");
    FakeKernel().instance_devices.push_back(impl_->network.device_type);
    const bool fail = FakeKernel().fail_create_instance > 0;
    FakeKernel().fail_create_instance -= fail;
    status = fail ? Status(NEROVA_ERR_KERNEL_DEVICE, "injected") : Status();
    return std::shared_ptr<Instance>(new Instance(std::make_unique<InstanceImpl>()));
}

Status Inference::GetModelInputShapesMap(std::map<std::string, std::vector<int>>& shapes) {
    shapes = FakeKernel().input_shapes;
    return Status();
}

Instance::Instance(std::unique_ptr<InstanceImpl> impl) : impl_(std::move(impl)) {}
Instance::~Instance() { RecordCall("~Instance"); }

Status Instance::DeInit() {
    RecordCall("Instance::DeInit");
    return Status();
}

Status Instance::SetInputBlob(std::shared_ptr<Blob>, ParamConverter*, std::string) {
    RecordCall("SetInputBlob");
    return FakeKernel().fail_set_input ? Status(NEROVA_ERR_KERNEL_BLOB, "injected") : Status();
}

Status Instance::Forward() {
    RecordCall("Forward");
    ThrowOnce(FakeKernel().throw_in_forward);
    return FakeKernel().fail_forward ? Status(NEROVA_ERR_KERNEL_FORWARD, "injected") : Status();
}

Status Instance::GetOutputBlob(std::shared_ptr<Blob>& blob, ParamConverter*, std::string,
                               NerovaDeviceType device, NerovaDataFormat format) {
    RecordCall("GetOutputBlob");
    if (FakeKernel().fail_get_output) return Status(NEROVA_ERR_KERNEL_BLOB, "injected");
    const FakeKernelControl& k = FakeKernel();
    impl_->rows.assign(k.output_offset_floats, -1.0f);  // garbage in front of the data
    impl_->rows.insert(impl_->rows.end(), k.output_rows.begin(), k.output_rows.end());
    BlobDesc& desc = impl_->desc;
    desc.device_type = device;
    desc.data_format = format;
    desc.dims = k.output_dims;
    BlobHandle handle;
    handle.base = impl_->rows.empty() ? nullptr : impl_->rows.data();
    handle.bytes_offset = k.output_offset_floats * sizeof(float);
    if (!blob) blob = std::make_shared<Blob>();
    blob->SetBlobDesc(desc, false);
    blob->SetHandle(handle);
    return Status();
}

Status Instance::GetInputBlob(std::shared_ptr<Blob>&) {
    return Status(NEROVA_ERR_KERNEL_BLOB, "the fake kernel reads the host's tensor");
}

std::string Instance::Backend() const { return "fake"; }

std::string Instance::BackendNote() const { return ""; }

}  // namespace nerova
