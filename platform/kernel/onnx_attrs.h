// Reading ONNX nodes' attributes and constant integer tensors, shared by the admission check,
// the lowering and the native tail. Internal to the kernel.
#ifndef NEROVA_PLATFORM_KERNEL_ONNX_ATTRS_H_
#define NEROVA_PLATFORM_KERNEL_ONNX_ATTRS_H_

#include <onnx/defs/tensor_proto_util.h>
#include <onnx/onnx_pb.h>

#include <cstdint>
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

// A constant tensor of 64- or 32-bit integers; false for another type or unreadable data.
inline bool IntsOf(const onnx::TensorProto& t, std::vector<int64_t>* out) {
    try {
        if (t.data_type() == onnx::TensorProto::INT64) {
            *out = onnx::ParseData<int64_t>(&t);
            return true;
        }
        if (t.data_type() == onnx::TensorProto::INT32) {
            const std::vector<int32_t> v = onnx::ParseData<int32_t>(&t);
            out->assign(v.begin(), v.end());
            return true;
        }
    } catch (const std::exception&) {
    }
    return false;
}

}  // namespace onnx_attrs
}  // namespace nerova

#endif  // NEROVA_PLATFORM_KERNEL_ONNX_ATTRS_H_
