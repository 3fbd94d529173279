// Reading ONNX nodes' attributes and constant tensors, shared by the admission check, the
// lowering and the native tail. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_ONNX_ATTRS_H_
#define NEROVA_PLATFORM_KERNEL_ONNX_ATTRS_H_

#include <onnx/onnx_pb.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace nerova {
namespace onnx_attrs {

inline const onnx::AttributeProto* Attr(const onnx::NodeProto& n, const char* name) {
    for (const auto& a : n.attribute())
        if (a.name() == name) return &a;
    return nullptr;
}

inline int64_t AttrInt(const onnx::NodeProto& n, const char* name, int64_t fallback) {
    const auto* a = Attr(n, name);
    return a ? a->i() : fallback;
}

inline float AttrFloat(const onnx::NodeProto& n, const char* name, float fallback) {
    const auto* a = Attr(n, name);
    return a ? a->f() : fallback;
}

inline std::vector<int64_t> AttrInts(const onnx::NodeProto& n, const char* name,
                                     std::vector<int64_t> fallback = {}) {
    const auto* a = Attr(n, name);
    return a ? std::vector<int64_t>(a->ints().begin(), a->ints().end()) : fallback;
}

inline std::string AttrString(const onnx::NodeProto& n, const char* name, const char* fallback) {
    const auto* a = Attr(n, name);
    return a ? a->s() : fallback;
}

// Elements of a tensor of these dims (admitted graphs keep every count far from overflow).
inline int64_t ElementCount(const std::vector<int64_t>& dims) {
    int64_t n = 1;
    for (int64_t d : dims) n *= d;
    return n;
}

// The values of an integer or float constant tensor whose data matches its dims (the
// admission check makes sure of that for every tensor of a graph).
template <typename T>
std::vector<T> RawValues(const std::string& raw) {
    std::vector<T> v(raw.size() / sizeof(T));
    if (!v.empty()) std::memcpy(v.data(), raw.data(), v.size() * sizeof(T));
    return v;
}

// A 64- or 32-bit integer tensor's values as 64-bit integers; false for another type.
inline bool ReadInts(const onnx::TensorProto& t, std::vector<int64_t>* out) {
    if (t.data_type() == onnx::TensorProto::INT64) {
        *out = t.has_raw_data()
                   ? RawValues<int64_t>(t.raw_data())
                   : std::vector<int64_t>(t.int64_data().begin(), t.int64_data().end());
        return true;
    }
    if (t.data_type() == onnx::TensorProto::INT32) {
        const std::vector<int32_t> v =
            t.has_raw_data() ? RawValues<int32_t>(t.raw_data())
                             : std::vector<int32_t>(t.int32_data().begin(), t.int32_data().end());
        out->assign(v.begin(), v.end());
        return true;
    }
    return false;
}

// A float tensor's values; false for another type.
inline bool ReadFloats(const onnx::TensorProto& t, std::vector<float>* out) {
    if (t.data_type() != onnx::TensorProto::FLOAT) return false;
    *out = t.has_raw_data() ? RawValues<float>(t.raw_data())
                            : std::vector<float>(t.float_data().begin(), t.float_data().end());
    return true;
}

}  // namespace onnx_attrs
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_ONNX_ATTRS_H_
