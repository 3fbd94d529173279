#include "tail_runner.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "onnx_attrs.h"

namespace nerova {
namespace lowering {

namespace {

using Dims = std::vector<int64_t>;

// Tensors here are rows of a detection network's output: a few hundred thousand values at
// most. A larger one stays with OpenCV.
constexpr int64_t kMaxElements = int64_t(1) << 22;

using onnx_attrs::Attr;
using onnx_attrs::ElementCount;
using onnx_attrs::ReadFloats;
using onnx_attrs::ReadInts;

// Numpy broadcasting of two shapes; false when they do not broadcast.
bool Broadcast(const Dims& a, const Dims& b, Dims* out) {
    const size_t rank = std::max(a.size(), b.size());
    out->assign(rank, 1);
    for (size_t i = 0; i < rank; ++i) {
        const int64_t x = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
        const int64_t y = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
        if (x != y && x != 1 && y != 1) return false;
        (*out)[i] = std::max(x, y);
    }
    return true;
}

// For each element of out, the offset of the element of in that broadcasts to it.
std::vector<uint32_t> BroadcastOffsets(const Dims& in, const Dims& out) {
    const size_t rank = out.size();
    Dims padded(rank - in.size(), 1);
    padded.insert(padded.end(), in.begin(), in.end());
    Dims stride(rank, 0);
    int64_t s = 1;
    for (size_t i = rank; i-- > 0;) {
        stride[i] = padded[i] == 1 ? 0 : s;
        s *= padded[i];
    }
    std::vector<uint32_t> offsets(static_cast<size_t>(ElementCount(out)));
    Dims index(rank, 0);
    for (size_t k = 0; k < offsets.size(); ++k) {
        int64_t off = 0;
        for (size_t i = 0; i < rank; ++i) off += index[i] * stride[i];
        offsets[k] = static_cast<uint32_t>(off);
        for (size_t i = rank; i-- > 0;) {
            if (++index[i] < out[i]) break;
            index[i] = 0;
        }
    }
    return offsets;
}

}  // namespace

TailRunner::~TailRunner() = default;

size_t TailRunner::Tensor::count() const { return static_cast<size_t>(ElementCount(dims)); }

int TailRunner::TensorOf(const std::string& name) const {
    auto it = names_.find(name);
    return it == names_.end() ? -1 : it->second;
}

std::unique_ptr<TailRunner> TailRunner::Create(const Plan& plan, std::string* why) {
    onnx::ModelProto tail;
    if (plan.tail.empty() || !tail.ParseFromString(plan.tail)) {
        *why = "the plan has no tail";
        return nullptr;
    }
    std::map<std::string, std::vector<int>> inputs;
    for (const Boundary& b : plan.boundaries)
        if (b.tail_input) inputs[b.name] = b.dims;
    std::unique_ptr<TailRunner> r(new TailRunner());
    for (const auto& o : tail.opset_import())
        if (o.domain().empty() || o.domain() == "ai.onnx") r->opset_ = o.version();
    const onnx::GraphProto& g = tail.graph();
    for (const auto& in : g.input()) {
        auto it = inputs.find(in.name());
        if (it == inputs.end()) continue;  // an initializer listed as an input
        Tensor t;
        t.dims.assign(it->second.begin(), it->second.end());
        r->names_[in.name()] = static_cast<int>(r->tensors_.size());
        r->tensors_.push_back(std::move(t));
    }
    for (const auto& init : g.initializer()) {
        Tensor t;
        t.dims.assign(init.dims().begin(), init.dims().end());
        t.integer = init.data_type() != onnx::TensorProto::FLOAT;
        if (t.integer ? !ReadInts(init, &t.ints) : !ReadFloats(init, &t.own)) {
            *why = "constant " + init.name() + " is neither float nor integer";
            return nullptr;
        }
        if (static_cast<int64_t>(t.integer ? t.ints.size() : t.own.size()) !=
            ElementCount(t.dims)) {
            *why = "constant " + init.name() + " does not hold its dims";
            return nullptr;
        }
        r->names_[init.name()] = static_cast<int>(r->tensors_.size());
        r->tensors_.push_back(std::move(t));
    }
    for (const auto& node : g.node())
        if (!r->AddNode(node, why)) return nullptr;
    for (const auto& out : g.output()) {
        const int t = r->TensorOf(out.name());
        if (t < 0) {
            *why = "output " + out.name() + " is not computed";
            return nullptr;
        }
        if (r->tensors_[static_cast<size_t>(t)].dims.empty()) {
            *why = "output " + out.name() + " is a scalar";
            return nullptr;
        }
        r->outputs_.push_back(out.name());
        r->output_tensors_.push_back(t);
        const Dims& d = r->tensors_[static_cast<size_t>(t)].dims;
        r->output_dims_.emplace_back(d.begin(), d.end());
    }
    return r;
}

void TailRunner::Bind(const std::string& name, const float* data) {
    const int t = TensorOf(name);
    if (t >= 0) tensors_[static_cast<size_t>(t)].bound = data;
}

void TailRunner::Run() {
    for (const Step& step : steps_) step(tensors_);
}

const float* TailRunner::output(size_t index) const {
    return tensors_[static_cast<size_t>(output_tensors_[index])].data();
}

const std::vector<int>& TailRunner::output_dims(size_t index) const { return output_dims_[index]; }

bool TailRunner::AddNode(const onnx::NodeProto& n, std::string* why) {
    const std::string& op = n.op_type();
    *why = op + " is not run natively";
    if (n.output_size() != 1 || n.input_size() < 1) return false;
    std::vector<int> in;
    for (const auto& name : n.input()) {
        if (name.empty()) {
            in.push_back(-1);
            continue;
        }
        const int t = TensorOf(name);
        if (t < 0) return false;
        in.push_back(t);
    }
    auto dims = [&](int i) -> const Dims& { return tensors_[static_cast<size_t>(in[i])].dims; };
    // A constant operand's values as integers (shapes, starts, ends, axes).
    auto ints = [&](int i, Dims* out) {
        if (i >= static_cast<int>(in.size()) || in[i] < 0) return false;
        const Tensor& t = tensors_[static_cast<size_t>(in[i])];
        if (!t.integer) return false;
        *out = t.ints;
        return true;
    };
    // Every operand that is read as floats must be a float tensor.
    const int float_operands = op == "Slice" || op == "Reshape" ? 1 : static_cast<int>(in.size());
    for (int i = 0; i < float_operands; ++i)
        if (in[static_cast<size_t>(i)] < 0 || tensors_[static_cast<size_t>(in[i])].integer)
            return false;
    Dims out_dims;
    Step run;
    const int x = in[0];
    const int y = static_cast<int>(tensors_.size());  // the output's index, once added

    if (op == "Identity" || op == "Reshape" || op == "Flatten") {
        const Dims& d = dims(0);
        if (op == "Identity") {
            out_dims = d;
        } else if (op == "Flatten") {
            int64_t axis = Attr(n, "axis") ? Attr(n, "axis")->i() : 1;
            if (axis < 0) axis += static_cast<int64_t>(d.size());
            if (axis < 0 || axis > static_cast<int64_t>(d.size())) return false;
            const Dims head(d.begin(), d.begin() + axis), rest(d.begin() + axis, d.end());
            out_dims = {ElementCount(head), ElementCount(rest)};
        } else {
            Dims shape;
            if (n.input_size() != 2 || !ints(1, &shape) ||
                (Attr(n, "allowzero") && Attr(n, "allowzero")->i() != 0))
                return false;
            int64_t known = 1, unknown = -1;
            out_dims = shape;
            for (size_t i = 0; i < shape.size(); ++i) {
                if (shape[i] == 0 && i < d.size()) out_dims[i] = d[i];
                if (out_dims[i] == -1) {
                    if (unknown >= 0) return false;
                    unknown = static_cast<int64_t>(i);
                } else if (out_dims[i] <= 0) {
                    return false;
                } else {
                    known *= out_dims[i];
                }
            }
            if (unknown >= 0) {
                if (known == 0 || ElementCount(d) % known != 0) return false;
                out_dims[static_cast<size_t>(unknown)] = ElementCount(d) / known;
            }
        }
        if (ElementCount(out_dims) != ElementCount(d)) return false;
        run = [x, y](std::vector<Tensor>& t) {
            std::memcpy(t[size_t(y)].mutable_data(), t[size_t(x)].data(),
                        t[size_t(x)].count() * sizeof(float));
        };
    } else if (op == "Concat") {
        const int rank = static_cast<int>(dims(0).size());
        int64_t axis = Attr(n, "axis") ? Attr(n, "axis")->i() : 1;
        if (axis < 0) axis += rank;
        if (axis < 0 || axis >= rank) return false;
        out_dims = dims(0);
        out_dims[static_cast<size_t>(axis)] = 0;
        std::vector<size_t> inner;  // elements per outer index, per input
        for (size_t i = 0; i < in.size(); ++i) {
            const Dims& d = dims(static_cast<int>(i));
            if (in[i] < 0 || static_cast<int>(d.size()) != rank) return false;
            for (int k = 0; k < rank; ++k)
                if (k != axis && d[static_cast<size_t>(k)] != out_dims[static_cast<size_t>(k)])
                    return false;
            out_dims[static_cast<size_t>(axis)] += d[static_cast<size_t>(axis)];
            inner.push_back(static_cast<size_t>(ElementCount(Dims(d.begin() + axis, d.end()))));
        }
        const size_t outer =
            static_cast<size_t>(ElementCount(Dims(out_dims.begin(), out_dims.begin() + axis)));
        run = [in, inner, outer, y](std::vector<Tensor>& t) {
            float* dst = t[size_t(y)].mutable_data();
            for (size_t o = 0; o < outer; ++o)
                for (size_t i = 0; i < in.size(); ++i) {
                    std::memcpy(dst, t[size_t(in[i])].data() + o * inner[i],
                                inner[i] * sizeof(float));
                    dst += inner[i];
                }
        };
    } else if (op == "Slice") {
        const Dims& d = dims(0);
        const int64_t rank = static_cast<int64_t>(d.size());
        if (rank == 0) return false;
        Dims starts, ends, axes, steps;
        if (opset_ < 10) {
            if (!Attr(n, "starts") || !Attr(n, "ends")) return false;
            starts.assign(Attr(n, "starts")->ints().begin(), Attr(n, "starts")->ints().end());
            ends.assign(Attr(n, "ends")->ints().begin(), Attr(n, "ends")->ints().end());
            if (Attr(n, "axes"))
                axes.assign(Attr(n, "axes")->ints().begin(), Attr(n, "axes")->ints().end());
        } else if (!ints(1, &starts) || !ints(2, &ends) ||
                   (n.input_size() > 3 && in[3] >= 0 && !ints(3, &axes)) ||
                   (n.input_size() > 4 && in[4] >= 0 && !ints(4, &steps))) {
            return false;
        }
        if (axes.empty())
            for (size_t i = 0; i < starts.size(); ++i) axes.push_back(static_cast<int64_t>(i));
        if (starts.size() != ends.size() || axes.size() != starts.size()) return false;
        for (int64_t s : steps)
            if (s != 1) return false;
        Dims begin(d.size(), 0);
        out_dims = d;
        for (size_t i = 0; i < axes.size(); ++i) {
            int64_t a = axes[i] < 0 ? axes[i] + rank : axes[i];
            if (a < 0 || a >= rank) return false;
            const int64_t side = d[static_cast<size_t>(a)];
            auto clamp = [side](int64_t v) {
                if (v < 0) v += side;
                return std::max<int64_t>(0, std::min(v, side));
            };
            const int64_t b = clamp(starts[i]), e = clamp(ends[i]);
            if (e <= b) return false;  // an empty tensor is no row
            begin[static_cast<size_t>(a)] = b;
            out_dims[static_cast<size_t>(a)] = e - b;
        }
        // Copy runs of the innermost dim, one per index of the outer dims.
        Dims stride(d.size(), 1);
        for (size_t i = d.size() - 1; i-- > 0;) stride[i] = stride[i + 1] * d[i + 1];
        std::vector<uint32_t> starts_of;  // source offset of each run
        const Dims outer(out_dims.begin(), out_dims.end() - 1);
        Dims index(outer.size(), 0);
        const int64_t runs = ElementCount(outer);
        for (int64_t k = 0; k < runs; ++k) {
            int64_t off = begin.back();
            for (size_t i = 0; i < outer.size(); ++i) off += (index[i] + begin[i]) * stride[i];
            starts_of.push_back(static_cast<uint32_t>(off));
            for (size_t i = outer.size(); i-- > 0;) {
                if (++index[i] < outer[i]) break;
                index[i] = 0;
            }
        }
        const size_t run_length = static_cast<size_t>(out_dims.back());
        run = [x, y, starts_of, run_length](std::vector<Tensor>& t) {
            const float* src = t[size_t(x)].data();
            float* dst = t[size_t(y)].mutable_data();
            for (uint32_t s : starts_of) {
                std::memcpy(dst, src + s, run_length * sizeof(float));
                dst += run_length;
            }
        };
    } else if (op == "Add" || op == "Sub" || op == "Mul" || op == "Div") {
        if (n.input_size() != 2 || !Broadcast(dims(0), dims(1), &out_dims)) return false;
        using Fn = float (*)(float, float);
        const Fn f = op == "Add"   ? Fn([](float a, float b) { return a + b; })
                     : op == "Sub" ? Fn([](float a, float b) { return a - b; })
                     : op == "Mul" ? Fn([](float a, float b) { return a * b; })
                                   : Fn([](float a, float b) { return a / b; });
        const int a = in[0], b = in[1];
        const bool same = dims(0) == dims(1);
        const bool b_one = ElementCount(dims(1)) == 1 && dims(0) == out_dims;
        const bool a_one = ElementCount(dims(0)) == 1 && dims(1) == out_dims;
        if (same || b_one || a_one) {
            run = [a, b, y, f, same, b_one](std::vector<Tensor>& t) {
                const float* p = t[size_t(a)].data();
                const float* q = t[size_t(b)].data();
                float* dst = t[size_t(y)].mutable_data();
                const size_t count = t[size_t(y)].count();
                if (same)
                    for (size_t i = 0; i < count; ++i) dst[i] = f(p[i], q[i]);
                else if (b_one)
                    for (size_t i = 0; i < count; ++i) dst[i] = f(p[i], q[0]);
                else
                    for (size_t i = 0; i < count; ++i) dst[i] = f(p[0], q[i]);
            };
        } else {
            if (ElementCount(out_dims) > kMaxElements) return false;
            const std::vector<uint32_t> pa = BroadcastOffsets(dims(0), out_dims);
            const std::vector<uint32_t> pb = BroadcastOffsets(dims(1), out_dims);
            run = [a, b, y, f, pa, pb](std::vector<Tensor>& t) {
                const float* p = t[size_t(a)].data();
                const float* q = t[size_t(b)].data();
                float* dst = t[size_t(y)].mutable_data();
                for (size_t i = 0; i < pa.size(); ++i) dst[i] = f(p[pa[i]], q[pb[i]]);
            };
        }
    } else if (op == "Sigmoid" || op == "Relu" || op == "Log" || op == "Exp" || op == "Neg" ||
               op == "Abs") {
        if (n.input_size() != 1) return false;
        out_dims = dims(0);
        using Fn = float (*)(float);
        const Fn f = op == "Sigmoid" ? Fn([](float v) { return 1.0f / (1.0f + std::exp(-v)); })
                     : op == "Relu"  ? Fn([](float v) { return v > 0.0f ? v : 0.0f; })
                     : op == "Log"   ? Fn([](float v) { return std::log(v); })
                     : op == "Exp"   ? Fn([](float v) { return std::exp(v); })
                     : op == "Neg"   ? Fn([](float v) { return -v; })
                                     : Fn([](float v) { return std::fabs(v); });
        run = [x, y, f](std::vector<Tensor>& t) {
            const float* src = t[size_t(x)].data();
            float* dst = t[size_t(y)].mutable_data();
            const size_t count = t[size_t(y)].count();
            for (size_t i = 0; i < count; ++i) dst[i] = f(src[i]);
        };
    } else {
        return false;
    }
    if (ElementCount(out_dims) <= 0 || ElementCount(out_dims) > kMaxElements) return false;
    Tensor t;
    t.dims = out_dims;
    t.own.assign(static_cast<size_t>(ElementCount(out_dims)), 0.0f);
    names_[n.output(0)] = y;
    tensors_.push_back(std::move(t));
    steps_.push_back(std::move(run));
    why->clear();
    return true;
}

}  // namespace lowering
}  // namespace nerova
