#include "xnn_runner.h"

#ifdef NEROVA_HAVE_XNNPACK

#include <pthreadpool.h>
#include <xnnpack.h>

#include <map>
#include <mutex>

namespace nerova {
namespace lowering {

namespace {

std::string Failed(const char* what, xnn_status status) {
    return std::string(what) + " failed (XNNPACK status " +
           std::to_string(static_cast<int>(status)) + ")";
}

// XNNPACK is initialised once per process and stays so: runtimes of several detectors and
// threads share its kernels' tables.
xnn_status Initialise() {
    static std::once_flag once;
    static xnn_status status = xnn_status_uninitialized;
    std::call_once(once, [] { status = xnn_initialize(nullptr); });
    return status;
}

size_t Elements(const std::vector<size_t>& dims) {
    size_t n = 1;
    for (size_t d : dims) n *= d;
    return n;
}

xnn_status DefineOp(xnn_subgraph_t sg, const Op& op, const std::vector<uint32_t>& id) {
    const uint32_t in = id[op.inputs[0]], out = id[op.output];
    auto second = [&] { return id[op.inputs[1]]; };
    switch (op.kind) {
        case OpKind::kConvolution:
            return xnn_define_convolution_2d(
                sg, op.pad_top, op.pad_right, op.pad_bottom, op.pad_left, op.kernel_h, op.kernel_w,
                op.stride_h, op.stride_w, op.dilation_h, op.dilation_w, op.groups, op.group_in,
                op.group_out, op.out_min, op.out_max, in, second(), id[op.inputs[2]], out, 0);
        case OpKind::kDeconvolution:
            return xnn_define_deconvolution_2d(
                sg, op.pad_top, op.pad_right, op.pad_bottom, op.pad_left, op.adjust_h, op.adjust_w,
                op.kernel_h, op.kernel_w, op.stride_h, op.stride_w, op.dilation_h, op.dilation_w,
                op.groups, op.group_in, op.group_out, op.out_min, op.out_max, in, second(),
                id[op.inputs[2]], out, 0);
        case OpKind::kClamp:
            return xnn_define_clamp(sg, op.out_min, op.out_max, in, out, 0);
        case OpKind::kLeakyRelu:
            return xnn_define_leaky_relu(sg, op.alpha, in, out, 0);
        case OpKind::kElu:
            return xnn_define_elu(sg, op.alpha, in, out, 0);
        case OpKind::kPRelu:
            return xnn_define_prelu(sg, in, second(), out, 0);
        case OpKind::kSigmoid:
            return xnn_define_sigmoid(sg, in, out, 0);
        case OpKind::kAbs:
            return xnn_define_abs(sg, in, out, 0);
        case OpKind::kNegate:
            return xnn_define_negate(sg, in, out, 0);
        case OpKind::kAdd:
            return xnn_define_add2(sg, op.out_min, op.out_max, in, second(), out, 0);
        case OpKind::kSubtract:
            return xnn_define_subtract(sg, op.out_min, op.out_max, in, second(), out, 0);
        case OpKind::kMultiply:
            return xnn_define_multiply2(sg, op.out_min, op.out_max, in, second(), out, 0);
        case OpKind::kDivide:
            return xnn_define_divide(sg, op.out_min, op.out_max, in, second(), out, 0);
        case OpKind::kMaximum:
            return xnn_define_maximum2(sg, in, second(), out, 0);
        case OpKind::kMinimum:
            return xnn_define_minimum2(sg, in, second(), out, 0);
        case OpKind::kMaxPool:
            return xnn_define_max_pooling_2d(sg, op.pad_top, op.pad_right, op.pad_bottom,
                                             op.pad_left, op.kernel_h, op.kernel_w, op.stride_h,
                                             op.stride_w, op.dilation_h, op.dilation_w, op.out_min,
                                             op.out_max, in, out, 0);
        case OpKind::kAveragePool:
            return xnn_define_average_pooling_2d(sg, op.pad_top, op.pad_right, op.pad_bottom,
                                                 op.pad_left, op.kernel_h, op.kernel_w, op.stride_h,
                                                 op.stride_w, op.out_min, op.out_max, in, out, 0);
        case OpKind::kGlobalAveragePool:
            return xnn_define_global_average_pooling_2d(sg, op.out_min, op.out_max, in, out, 0);
        case OpKind::kPad:
            return xnn_define_static_constant_pad(sg, op.pre.data(), op.post.data(), op.pad_value,
                                                  in, out, 0);
    }
    return xnn_status_invalid_parameter;
}

}  // namespace

struct XnnRunner::Handles {
    xnn_subgraph_t subgraph = nullptr;
    xnn_runtime_t runtime = nullptr;
    pthreadpool_t pool = nullptr;
    ~Handles() {
        if (runtime) xnn_delete_runtime(runtime);
        if (subgraph) xnn_delete_subgraph(subgraph);
        if (pool) pthreadpool_destroy(pool);
    }
};

XnnRunner::~XnnRunner() = default;

bool XnnAvailable() { return true; }

std::unique_ptr<XnnRunner> XnnRunner::Create(std::shared_ptr<const Plan> plan, int threads,
                                             std::string* why) {
    xnn_status status = Initialise();
    if (status != xnn_status_success) {
        *why = Failed("XNNPACK's initialisation", status);
        return nullptr;
    }
    std::unique_ptr<XnnRunner> r(new XnnRunner());
    r->plan_ = std::move(plan);
    const Plan& p = *r->plan_;
    r->handles_.reset(new Handles());
    Handles& h = *r->handles_;

    // External ids: 0 the input, then one per distinct value the boundaries read.
    std::map<uint32_t, uint32_t> external;
    for (const Boundary& b : p.boundaries)
        if (b.value != p.input && !external.count(b.value))
            external.emplace(b.value, static_cast<uint32_t>(external.size() + 1));
    status = xnn_create_subgraph(static_cast<uint32_t>(external.size() + 1), 0, &h.subgraph);
    if (status != xnn_status_success) {
        *why = Failed("creating the subgraph", status);
        return nullptr;
    }
    // Every buffer XNNPACK reads may be read XNN_EXTRA_BYTES past its end.
    const size_t extra = XNN_EXTRA_BYTES / sizeof(float) + 1;
    std::vector<uint32_t> id(p.values.size(), XNN_INVALID_VALUE_ID);
    std::map<uint32_t, size_t> output_slot;
    for (size_t v = 0; v < p.values.size(); ++v) {
        const Value& value = p.values[v];
        uint32_t external_id = XNN_INVALID_VALUE_ID, flags = 0;
        const void* data = nullptr;
        if (v == p.input) {
            external_id = 0;
            flags = XNN_VALUE_FLAG_EXTERNAL_INPUT;
            r->input_.assign(Elements(value.dims) + extra, 0.0f);
        } else if (external.count(static_cast<uint32_t>(v))) {
            external_id = external[static_cast<uint32_t>(v)];
            flags = XNN_VALUE_FLAG_EXTERNAL_OUTPUT;
            output_slot[static_cast<uint32_t>(v)] = r->outputs_.size();
            r->outputs_.emplace_back(Elements(value.dims) + extra, 0.0f);
        } else if (value.constant >= 0) {
            data = p.constants[static_cast<size_t>(value.constant)].data();
        }
        status = xnn_define_tensor_value(h.subgraph, xnn_datatype_fp32, value.dims.size(),
                                         value.dims.data(), data, external_id, flags, &id[v]);
        if (status != xnn_status_success) {
            *why = Failed("defining a tensor", status);
            return nullptr;
        }
    }
    for (const Op& op : p.ops) {
        status = DefineOp(h.subgraph, op, id);
        if (status != xnn_status_success) {
            *why = Failed("defining an operator", status);
            return nullptr;
        }
    }
    if (threads > 1) {
        h.pool = pthreadpool_create(static_cast<size_t>(threads));
        if (!h.pool) {
            *why = "the thread pool cannot be created";
            return nullptr;
        }
    }
    status = xnn_create_runtime_v2(h.subgraph, h.pool, 0, &h.runtime);
    if (status != xnn_status_success) {
        *why = Failed("creating the runtime", status);
        return nullptr;
    }
    std::vector<xnn_external_value> bindings = {{0, r->input_.data()}};
    for (const auto& e : external)
        bindings.push_back({e.second, r->outputs_[output_slot[e.first]].data()});
    status = xnn_setup_runtime(h.runtime, bindings.size(), bindings.data());
    if (status != xnn_status_success) {
        *why = Failed("setting up the runtime", status);
        return nullptr;
    }
    for (const Boundary& b : p.boundaries)
        r->boundary_data_.push_back(b.value == p.input ? r->input_.data()
                                                       : r->outputs_[output_slot[b.value]].data());
    return r;
}

bool XnnRunner::Run(std::string* why) {
    const xnn_status status = xnn_invoke_runtime(handles_->runtime);
    if (status == xnn_status_success) return true;
    *why = Failed("running the network", status);
    return false;
}

}  // namespace lowering
}  // namespace nerova

#else  // a build without XNNPACK keeps every network on OpenCV

namespace nerova {
namespace lowering {

struct XnnRunner::Handles {};
XnnRunner::~XnnRunner() = default;

bool XnnAvailable() { return false; }

std::unique_ptr<XnnRunner> XnnRunner::Create(std::shared_ptr<const Plan>, int, std::string* why) {
    *why = "this build has no XNNPACK";
    return nullptr;
}

bool XnnRunner::Run(std::string* why) {
    *why = "this build has no XNNPACK";
    return false;
}

}  // namespace lowering
}  // namespace nerova

#endif
