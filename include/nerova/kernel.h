// The inference kernel: loads ONNX networks and runs them on the CPU (OpenCV DNN does the
// arithmetic, the ONNX library reads the graph's declared inputs).
#ifndef NEROVA_INCLUDE_KERNEL_H_
#define NEROVA_INCLUDE_KERNEL_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nerova/blob_records.h"
#include "nerova/config_records.h"
#include "nerova/kernel_export.h"
#include "nerova/nerova_defines.h"

namespace nerova {

class NEROVA_KERNEL_EXPORT Status {
  public:
    Status(NerovaError code = NEROVA_OK, std::string message = "OK")
        : code_(code), message_(std::move(message)) {}
    NerovaError code() const { return code_; }
    const std::string& message() const { return message_; }
    bool operator==(NerovaError code) const { return code_ == code; }
    bool operator!=(NerovaError code) const { return code_ != code; }
    operator NerovaError() const { return code_; }

  private:
    NerovaError code_;
    std::string message_;
};

// A tensor: a description plus a data handle. Memory is either owned by the blob
// (allocated for its dims when asked) or supplied by the caller and used uncopied.
class NEROVA_KERNEL_EXPORT Blob {
  public:
    Blob();
    // With alloc_memory, allocates zeroed memory for the product of dims of data_type;
    // a description with no dims or a non-positive dim allocates nothing.
    Blob(BlobDesc& desc, bool alloc_memory);
    Blob(BlobDesc& desc, BlobHandle handle);
    virtual ~Blob();
    Blob(const Blob&) = delete;
    Blob& operator=(const Blob&) = delete;

    BlobDesc GetBlobDesc() const { return desc_; }
    // The description without a copy, for per-frame readers that must not allocate.
    const BlobDesc& desc() const { return desc_; }
    // Replaces the description; with alloc_memory the blob allocates for the new dims.
    void SetBlobDesc(BlobDesc& desc, bool alloc_memory = false);
    BlobHandle GetHandle() const { return handle_; }
    void SetHandle(BlobHandle& handle) { handle_ = handle; }
    // Extent of dimension index, or 0 when the description has no such dimension.
    int GetDim(int index) const;
    // Bytes the description needs (0 when a dim is non-positive or the type is unknown).
    static size_t BytesOf(const BlobDesc& desc);

  private:
    void Allocate();

    BlobDesc desc_;
    BlobHandle handle_;
    std::vector<unsigned char> owned_;
};

class Inference;
class InstanceImpl;

// A runnable copy of a loaded network. The output tensors' memory belongs to the instance
// and stays valid until the next Forward, DeInit or the instance's destruction. Copies of an
// Instance share one network and its state; the last one to go releases it.
class NEROVA_KERNEL_EXPORT Instance {
  public:
    ~Instance();
    Instance(const Instance&) = default;
    Instance& operator=(const Instance&) = default;

    Status DeInit();
    // Binds a host float NCHW tensor to the input called name ("" = the first input); an
    // XNNPACK instance also takes NHWC (its own, from GetInputBlob, or a host's).
    // converter must be null: this kernel converts nothing.
    Status SetInputBlob(std::shared_ptr<Blob> blob, ParamConverter* converter, std::string name);
    Status Forward();
    // Delivers the output called name ("" = the first output) as a host float tensor in
    // data format NEROVA_DATA_FORMAT_HOST_DEFAULT (1002) or NCHW, which are laid out alike.
    // An empty slot receives a new Blob; an existing one is re-described in place.
    Status GetOutputBlob(std::shared_ptr<Blob>& blob, ParamConverter* converter, std::string name,
                         NerovaDeviceType device, NerovaDataFormat format);
    // The instance's own input memory, in the layout its backend reads (NHWC, dims N, H, W,
    // C), for a host that writes the input in place: binding it then copies nothing. The
    // memory belongs to the instance. Fails on a backend that reads the host's tensor
    // (OpenCV DNN): the host then binds a tensor of its own.
    Status GetInputBlob(std::shared_ptr<Blob>& blob);
    // Calibration for int8: from now on each forward also runs the network's body in float with
    // every tensor kept, and widens the range seen of each. XNNPACK instances only.
    Status RecordRanges();
    // The ranges seen since RecordRanges, as a model folder's "calibration.txt" holds them;
    // empty when nothing is recorded.
    std::string RecordedRanges() const;
    // "XNNPACK" when the network's body runs on XNNPACK (its post-processing tail, if any, on
    // OpenCV DNN), else "OpenCV DNN".
    std::string Backend() const;
    // Why the network runs on OpenCV DNN although XNNPACK was asked for (by name, or by the
    // default choice in a build that has it), or which nodes stay in float although int8 was
    // asked for (PRECISION_LOW); empty otherwise.
    std::string BackendNote() const;

  private:
    friend class Inference;
    explicit Instance(std::unique_ptr<InstanceImpl> impl);
    std::shared_ptr<InstanceImpl> impl_;
};

class InferenceImpl;

// Copies of an Inference share one loaded network, as copies of an Instance do.
class NEROVA_KERNEL_EXPORT Inference {
  public:
    Inference();
    virtual ~Inference();
    Inference(const Inference&) = default;
    Inference& operator=(const Inference&) = default;

    // Loads the network from model_config.model_contents[0]. ONNX (8193) always, and the
    // TensorRT (4096) and OpenVINO (8192) types when is_native is false (then the file is
    // ONNX). Other types, empty contents and bytes that are no valid ONNX model fail.
    Status Init(ModelConfig& model_config, NetworkConfig& network_config);
    Status DeInit();
    Status SetNetworkConfig(NetworkConfig& network_config);
    // Device types 0, 16 and 32 run on the CPU; OpenCL only where OpenCV reports it
    // available; every other device fails with a Status naming it.
    // Backend: on devices 16 and 32 the body of the network runs on XNNPACK when the build
    // has it and the graph lowers onto it, unless network_type is NETWORK_TYPE_OPENCV; the
    // plain device 0 and OpenCL keep the whole network on OpenCV DNN.
    // Threads: on XNNPACK a thread_num above 1 gives the instance its own pool of that many
    // threads. On either backend a positive thread_num also sets OpenCV's thread count
    // (for OpenCV DNN, and for the image operations around the network), which is
    // process-wide: the last instance created wins.
    // The shapes map is accepted for interface compatibility; inputs keep their declared
    // shapes (this kernel does not reshape).
    std::shared_ptr<Instance> CreateInstance(Status& status,
                                             std::map<std::string, std::vector<int>> shapes);
    // Every graph input that is not an initializer, name to declared dims. A symbolic or
    // unknown dimension is reported as -1.
    Status GetModelInputShapesMap(std::map<std::string, std::vector<int>>& shapes);

  private:
    std::shared_ptr<InferenceImpl> impl_;
};

// Configuration strings to enumeration values; an unknown string gives NEROVA_UNSET_VALUE.
class NEROVA_KERNEL_EXPORT StringConfigConverter {
  public:
    static NerovaModelType StringToModelType(const std::string& s);
    static NerovaDeviceType StringToDeviceType(const std::string& s);
    static NerovaDataType StringToDataType(const std::string& s);
    static NerovaDataFormat StringToDataFormat(const std::string& s);
    static NerovaNetworkType StringToNetworkType(const std::string& s);
    static NerovaShareMemoryMode StringToShareMemoryMode(const std::string& s);
    static NerovaPrecision StringToPrecision(const std::string& s);
    // "INTERP_TYPE_NEAREST", "INTERP_TYPE_LINEAR".
    static NerovaInterpType StringToInterpType(const std::string& s);
    // "PIXEL_FORMAT_RGBA", "PIXEL_FORMAT_BGR", "PIXEL_FORMAT_RGB", "PIXEL_FORMAT_BGRA",
    // "PIXEL_FORMAT_GRAY", "PIXEL_FORMAT_NV12", "PIXEL_FORMAT_NV21", "PIXEL_FORMAT_YV12".
    static NerovaPixelFormat StringToPixelFormat(const std::string& s);
    // "BORDER_TYPE_CONSTANT", "BORDER_TYPE_REFLECT".
    static NerovaBorderType StringToBorderType(const std::string& s);

    // The other direction, from the same tables: "" for a value without a string.
    static std::string ModelTypeToString(NerovaModelType type);
    static std::string DeviceTypeToString(NerovaDeviceType type);
    static std::string PixelFormatToString(NerovaPixelFormat format);
};

class NEROVA_KERNEL_EXPORT TypeUtils {
  public:
    // The conversion from src to dst, or NEROVA_COLOR_CONVERT_NONE when there is none.
    static NerovaColorConversionType CaclulateColorConversionType(NerovaPixelFormat src,
                                                                  NerovaPixelFormat dst);
};

class NEROVA_KERNEL_EXPORT DeviceUtils {
  public:
    // The CPU device of this build (X86 on x86 machines, ARM on ARM ones).
    static NerovaDeviceType GetDefaultCpuDeviceType();
    // Whether a 32-bit value from a host names a device of the enumeration.
    static bool IsDeviceType(int32_t value) {
        return value == NEROVA_DEVICE_NAIVE || value == NEROVA_DEVICE_X86 ||
               value == NEROVA_DEVICE_ARM ||
               (value >= NEROVA_DEVICE_OPENCL && value <= NEROVA_DEVICE_VULKAN);
    }
    static bool IsCpuReadable(NerovaDeviceType type) {
        return type == NEROVA_DEVICE_NAIVE || type == NEROVA_DEVICE_X86 ||
               type == NEROVA_DEVICE_ARM;
    }
};

class NEROVA_KERNEL_EXPORT FileUtils {
  public:
    // Directory part of path (both separators recognised). With is_file false a trailing
    // separator is dropped first, so "a/b/" gives "a". A path without a separator gives
    // "."; the root stays the root.
    static std::string GetFileParentPath(const std::string& path, bool is_file);
};

}  // namespace nerova

#endif  // NEROVA_INCLUDE_KERNEL_H_
