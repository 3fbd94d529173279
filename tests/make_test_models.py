#!/usr/bin/python3
"""Writes the small ONNX networks that the tests run on the real kernel.

The "rows" networks answer every input with rows of ten floats,
    output = C + m * B,  m = mean over all input elements of (x_b + x_g + x_r) / 3,
so a test knows each output exactly: a frame of the mean colour gives m = 0 (output = C),
and a brighter frame raises the rows that B selects in proportion to the frame's area
inside the letterbox.
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def save(model, out_dir, name):
    model.opset_import[0].version = 11
    model.ir_version = 7
    onnx.checker.check_model(model)
    with open(os.path.join(out_dir, name), "wb") as f:
        f.write(model.SerializeToString())


def rows_model(h, w, const_rows, gain_rows=None, channels=3):
    width = len(const_rows[0])
    rows = np.asarray(const_rows, np.float32).reshape(-1, width)
    gain = np.zeros_like(rows) if gain_rows is None else np.asarray(gain_rows, np.float32).reshape(rows.shape)
    x = helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, channels, h, w])
    if channels == 3:  # m: the mean over channels and pixels, (1,3,H,W) -> (1,1)
        inits = [numpy_helper.from_array(np.full((1, 3, 1, 1), 1.0 / 3.0, np.float32), "f_w")]
        nodes = [helper.make_node("Conv", ["input", "f_w"], ["f_c"], kernel_shape=[1, 1]),
                 helper.make_node("GlobalAveragePool", ["f_c"], ["f_p"]),
                 helper.make_node("Flatten", ["f_p"], ["f_m"], axis=1)]
    else:
        inits = [numpy_helper.from_array(np.array([1, 1], np.int64), "one_one")]
        nodes = [helper.make_node("ReduceMean", ["input"], ["f_r"], keepdims=0),
                 helper.make_node("Reshape", ["f_r", "one_one"], ["f_m"])]
    inits += [numpy_helper.from_array(gain.reshape(rows.size, 1), "gain"),
              numpy_helper.from_array(rows.reshape(rows.size), "base"),
              numpy_helper.from_array(np.array([1, rows.shape[0], width], np.int64), "out_shape")]
    nodes += [helper.make_node("Gemm", ["f_m", "gain", "base"], ["flat"], transB=1),
              helper.make_node("Reshape", ["flat", "out_shape"], ["output"])]
    y = helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, rows.shape[0], width])
    return helper.make_model(helper.make_graph(nodes, "rows", [x], [y], inits))


def row(dx=0, dy=0, dw=0, dh=0, score=0.0, cx=0.5, cy=0.5, pw=0.2, ph=0.2):
    return [dx, dy, dw, dh, 1.0 - score, score, cx, cy, pw, ph]


def affine_model():
    """(1,3,2,2) -> (1,2,2,2): out0 = x0 + 2*x1 - x2 + 1, out1 = 0.5*x2 - 3."""
    w = np.array([[1, 2, -1], [0, 0, 0.5]], np.float32).reshape(2, 3, 1, 1)
    b = np.array([1, -3], np.float32)
    x = helper.make_tensor_value_info("data", TensorProto.FLOAT, [1, 3, 2, 2])
    y = helper.make_tensor_value_info("out", TensorProto.FLOAT, [1, 2, 2, 2])
    node = helper.make_node("Conv", ["data", "w", "b"], ["out"], kernel_shape=[1, 1])
    graph = helper.make_graph([node], "affine", [x], [y],
                              [numpy_helper.from_array(w, "w"), numpy_helper.from_array(b, "b")])
    return helper.make_model(graph)


def hostile_models():
    """Networks the ONNX checker accepts but the kernel must refuse: each one crashed OpenCV's
    importer or ONNX's shape inference, broke a size limit or used what the kernel does not
    admit. name -> model."""
    f32 = TensorProto.FLOAT
    int64_min, int64_max = -2**63, 2**63 - 1

    def net(nodes, inits, in_shape=(1, 3, 16, 16), out_rank=None, extra_inputs=(), opset=13):
        # The output's dims are left to inference, but its rank is declared: the checker
        # refuses a graph output without a shape.
        x = helper.make_tensor_value_info("x", f32, list(in_shape))
        rank = len(in_shape) if out_rank is None else out_rank
        y = helper.make_tensor_value_info("y", f32, ["y%d" % i for i in range(rank)])
        inits = [numpy_helper.from_array(np.asarray(v), k) for k, v in inits.items()]
        model = helper.make_model(helper.make_graph(nodes, "hostile", [x, *extra_inputs], [y], inits))
        model.opset_import[0].version = opset
        return model

    def conv(w_shape, op="Conv", **attrs):
        return net([helper.make_node(op, ["x", "w"], ["y"], **attrs)],
                   {"w": np.ones(w_shape, np.float32)})

    def gemm(b_shape):
        return net([helper.make_node("Flatten", ["x"], ["f"]),
                    helper.make_node("Gemm", ["f", "b"], ["y"])],
                   {"b": np.ones(b_shape, np.float32)}, in_shape=(1, 1, 1, 1), out_rank=2)

    def unary(op, in_shape=(1, 3, 16, 16), inits=None, inputs=(), out_rank=None, **attrs):
        return net([helper.make_node(op, ["x", *inputs], ["y"], **attrs)], inits or {}, in_shape,
                   out_rank)

    def resize(scales, in_shape=(1, 3, 16, 16)):
        return unary("Resize", in_shape, {"roi": np.zeros(0, np.float32), "s": np.array(scales, np.float32)},
                     ("roi", "s"))

    def custom_domain():
        model = net([helper.make_node("Relu", ["x"], ["y"], domain="com.example")], {})
        model.opset_import.append(helper.make_opsetid("com.example", 1))
        return model

    i64 = lambda *v: np.array(v, np.int64)
    # (16 + pad - 1) wraps to INT64_MIN, which ONNX's shape inference divides by the stride -1.
    pad_to_int64_min = int64_max - 14
    return {
        "gemm_weight_0x1": gemm((0, 1)),
        "gemm_weight_10x0": gemm((10, 0)),
        "conv_weight_0_out": conv((0, 3, 1, 1)),
        "conv_group_0": conv((3, 3, 1, 1), group=0),
        "conv_group_not_dividing": conv((4, 1, 1, 1), group=2),
        "conv_group_huge": conv((3, 3, 1, 1), group=pad_to_int64_min),  # channels * group overflowed
        "conv_stride_0": conv((3, 3, 3, 3), strides=[0, 1]),
        "conv_strides_0_0": conv((3, 3, 3, 3), strides=[0, 0]),
        "conv_stride_negative_pad_huge": conv((3, 3, 1, 1), strides=[-1, 1],
                                              pads=[pad_to_int64_min, 0, 0, 0]),
        "conv_dilation_0": conv((3, 3, 3, 3), dilations=[1, 0]),
        "conv_negative_pad": conv((3, 3, 3, 3), pads=[-1, 0, 0, 0]),
        "conv_kernel_shape_lies": conv((3, 3, 3, 3), kernel_shape=[5, 5]),
        "conv_3d": net([helper.make_node("Conv", ["x", "w"], ["y"])],
                       {"w": np.ones((1, 3, 1, 1, 1), np.float32)}, in_shape=(1, 3, 4, 4, 4)),
        "conv_weights_not_constant": net([helper.make_node("Conv", ["x", "x"], ["y"])], {},
                                         in_shape=(3, 3, 3, 3)),
        "convtranspose_strides_0_0": conv((3, 3, 3, 3), "ConvTranspose", strides=[0, 0]),
        "convtranspose_output_padding_short": conv((3, 3, 3, 3), "ConvTranspose", strides=[2, 2],
                                                   output_padding=[1]),
        "maxpool_kernel_0": unary("MaxPool", kernel_shape=[0, 2]),
        "maxpool_strides_0_0": unary("MaxPool", kernel_shape=[2, 2], strides=[0, 0]),
        "maxpool_stride_negative_pad_huge": unary("MaxPool", kernel_shape=[1, 1], strides=[-1, 1],
                                                  pads=[pad_to_int64_min, 0, 0, 0]),
        "maxpool_pad_not_below_window": unary("MaxPool", kernel_shape=[2, 2], pads=[2, 0, 0, 0]),
        "averagepool_strides_0_0": unary("AveragePool", kernel_shape=[2, 2], strides=[0, 0]),
        "averagepool_ceil_stride_0": unary("AveragePool", kernel_shape=[2, 2], strides=[1, 0],
                                           ceil_mode=1),
        "transpose_not_a_permutation": unary("Transpose", perm=[0, 1, 1, 2]),
        "softmax_axis_out_of_range": unary("Softmax", axis=7),
        "concat_axis_int64_min": unary("Concat", axis=int64_min),
        "resize_scale_infinite": resize([1, 1, np.inf, 1]),
        # Integer operands where the output's type is shared: inference types the result by
        # the first operand, and the backends would read the integers' bits as floats.
        "concat_integer_operand": unary("Concat", inits={"k": np.ones((1, 1, 16, 16), np.int32)},
                                        inputs=("k",), axis=1),
        "add_integer_operand": unary("Add", inits={"k": np.ones((1, 3, 16, 16), np.int64)},
                                     inputs=("k",)),
        "resize_beyond_tensor_limit": resize([1, 1, 64, 64], in_shape=(1, 3, 256, 256)),
        "pad_huge": unary("Pad", inits={"p": i64(0, 0, 0, 0, 0, 0, 100000, 0)}, inputs=("p",)),
        "reshape_to_zero_rows": net([helper.make_node("Reshape", ["x", "s"], ["y"], allowzero=1)],
                                    {"s": i64(1, 0, 10)}, in_shape=(1, 10), out_rank=3, opset=14),
        "output_with_zero_rows": net([helper.make_node("Slice", ["x", "a", "b", "c"], ["y"])],
                                     {"a": i64(5), "b": i64(5), "c": i64(1)}, in_shape=(1, 8, 10)),
        "slice_step_0": unary("Slice", inits={"a": i64(0), "b": i64(2), "c": i64(1), "d": i64(0)},
                              inputs=("a", "b", "c", "d")),
        "split_size_0": unary("Split", inits={"s": i64(0, 3)}, inputs=("s",), axis=1),
        "operator_not_admitted": unary("Hardmax"),
        "custom_domain": custom_domain(),
        "input_8192_square": unary("Relu", in_shape=(1, 3, 8192, 8192)),
        "input_too_many_elements": unary("Relu", in_shape=(1, 4, 4096, 4096)),
        "input_symbolic": unary("Relu", in_shape=("N", 3, 16, 16)),
        "input_integer": helper.make_model(helper.make_graph(
            [helper.make_node("Identity", ["x"], ["y"])], "int",
            [helper.make_tensor_value_info("x", TensorProto.INT64, [1, 3])],
            [helper.make_tensor_value_info("y", TensorProto.INT64, [1, 3])]),
            opset_imports=[helper.make_opsetid("", 13)]),
        "add_broadcast_grows_input": net([helper.make_node("Add", ["x", "c"], ["y"])],
                                         {"c": np.ones((2, 3, 1, 1), np.float32)}, in_shape=(1, 3, 2),
                                         out_rank=4),
        "two_inputs": net([helper.make_node("Add", ["x", "z"], ["y"])], {},
                          extra_inputs=[helper.make_tensor_value_info("z", f32, [1, 3, 16, 16])]),
        "integer_division": net([helper.make_node("Div", ["a", "b"], ["q"]),
                                 helper.make_node("Reshape", ["x", "q"], ["y"])],
                                {"a": i64(1, 3, 16, 16), "b": i64(1, 1, 0, 1)}),
        "output_no_node_computes": helper.make_model(helper.make_graph(
            [helper.make_node("Relu", ["x"], ["y"])], "dangling",
            [helper.make_tensor_value_info("x", f32, [1, 3, 16, 16])],
            [helper.make_tensor_value_info("y", f32, [1, 3, 16, 16]),
             helper.make_tensor_value_info("z", f32, [1, 3, 16, 16])]),
            opset_imports=[helper.make_opsetid("", 13)]),
    }


def lowering_models():
    """Networks whose bodies exercise each operator the XNNPACK backend lowers (odd sides,
    asymmetric pads, broadcasting, grouped and depthwise filters), with an OpenCV tail or none.
    The tests run each on both backends and compare."""
    rng = np.random.default_rng(7)

    def w(*shape, scale=0.3):
        return rng.normal(0, scale, shape).astype(np.float32)

    def model(nodes, inits, in_shape, outputs, opset=11):
        x = helper.make_tensor_value_info("input", TensorProto.FLOAT, in_shape)
        outs = [helper.make_tensor_value_info(n, TensorProto.FLOAT, None) for n in outputs]
        m = helper.make_model(helper.make_graph(
            nodes, "lowering", [x], outs, [numpy_helper.from_array(v, k) for k, v in inits.items()]))
        m.opset_import[0].version = opset
        m.ir_version = 7
        # Outputs declared with the shapes inference gives them.
        g = onnx.shape_inference.infer_shapes(m).graph
        inferred = {v.name: v for v in list(g.value_info) + list(g.output)}
        del m.graph.output[:]
        m.graph.output.extend(inferred[n] for n in outputs)
        return m

    N = helper.make_node
    nets = {}
    # Stride-2 entry with asymmetric pads, depthwise with bias, residual with channel padding
    # by a concatenated ConstantOfShape, pooling with a bottom/right pad, then a row tail.
    nets["residual"] = model([
        N("Conv", ["input", "w0", "b0"], ["c0"], kernel_shape=[3, 3], strides=[2, 2], pads=[1, 0, 2, 1]),
        N("Relu", ["c0"], ["r0"]),
        N("Conv", ["r0", "dw", "db"], ["c1"], kernel_shape=[3, 3], group=6, pads=[1, 1, 1, 1]),
        N("Conv", ["c1", "pw", "pb"], ["c2"], kernel_shape=[1, 1]),
        N("ConstantOfShape", ["zshape"], ["zeros"]),
        N("Concat", ["r0", "zeros"], ["padded"], axis=1),
        N("Add", ["c2", "padded"], ["sum"]),
        N("Relu", ["sum"], ["r1"]),
        N("MaxPool", ["r1"], ["p0"], kernel_shape=[2, 2], strides=[2, 2], pads=[0, 0, 1, 1]),
        N("Transpose", ["p0"], ["t0"], perm=[0, 2, 3, 1]),
        N("Reshape", ["t0", "rows"], ["flat"]),
        N("Sigmoid", ["flat"], ["output"]),
    ], {"w0": w(6, 3, 3, 3), "b0": w(6), "dw": w(6, 1, 3, 3), "db": w(6), "pw": w(10, 6, 1, 1),
        "pb": w(10), "zshape": np.array([1, 4, 9, 9], np.int64),
        "rows": np.array([1, -1, 10], np.int64)}, [1, 3, 17, 19], ["output"])
    # SAME padding, dilation, grouped filters and pooling straight to a 4-D output: no tail.
    nets["same_pads"] = model([
        N("Conv", ["input", "w0"], ["c0"], kernel_shape=[4, 4], strides=[2, 2], auto_pad="SAME_UPPER"),
        N("Conv", ["c0", "w1", "b1"], ["c1"], kernel_shape=[3, 3], dilations=[2, 2], group=2,
          pads=[2, 1, 2, 3]),
        N("Conv", ["c1", "w2"], ["c2"], kernel_shape=[2, 2], auto_pad="SAME_UPPER"),
        N("AveragePool", ["c2"], ["a0"], kernel_shape=[3, 2], strides=[1, 2]),
        N("GlobalAveragePool", ["a0"], ["output"]),
    ], {"w0": w(8, 4, 4, 4), "w1": w(6, 4, 3, 3), "b1": w(6), "w2": w(6, 6, 2, 2)}, [1, 4, 21, 18], ["output"])
    # A feature pyramid: nearest upsampling merged with an earlier map, a grouped transposed
    # convolution, and two outputs, one from the body and one through the tail.
    nets["pyramid"] = model([
        N("Conv", ["input", "w0", "b0"], ["c0"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        N("MaxPool", ["c0"], ["p0"], kernel_shape=[2, 2], strides=[2, 2]),
        N("Conv", ["p0", "w1", "b1"], ["c1"], kernel_shape=[1, 1]),
        N("Resize", ["c1", "roi", "scales"], ["up"], mode="nearest",
          coordinate_transformation_mode="asymmetric", nearest_mode="floor"),
        N("Add", ["c0", "up"], ["merged"]),
        N("ConvTranspose", ["merged", "wt", "bt"], ["ct"], kernel_shape=[3, 3], strides=[2, 2],
          pads=[1, 1, 1, 1], output_padding=[1, 1], group=2),
        N("LeakyRelu", ["ct"], ["body"], alpha=0.1),
        N("Flatten", ["c1"], ["rows"], axis=1),
    ], {"w0": w(8, 3, 3, 3), "b0": w(8), "w1": w(8, 8, 1, 1), "b1": w(8),
        "scales": np.array([1, 1, 2, 2], np.float32), "roi": np.zeros(0, np.float32), "wt": w(8, 3, 3, 3), "bt": w(6)},
        [1, 3, 16, 12], ["body", "rows"])
    # Nearest upsampling inside the body, between operators that all run in int8.
    nets["upsample"] = model([
        N("Conv", ["input", "w0", "b0"], ["c0"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        N("Relu", ["c0"], ["r0"]),
        N("MaxPool", ["r0"], ["p0"], kernel_shape=[2, 2], strides=[2, 2]),
        N("Conv", ["p0", "w1", "b1"], ["c1"], kernel_shape=[1, 1]),
        N("Resize", ["c1", "roi", "scales"], ["up"], mode="nearest",
          coordinate_transformation_mode="asymmetric", nearest_mode="floor"),
        N("Add", ["r0", "up"], ["merged"]),
        N("Conv", ["merged", "w2", "b2"], ["c2"], kernel_shape=[1, 1]),
        N("Relu", ["c2"], ["r2"]),
        N("Conv", ["r2", "w3", "b3"], ["output"], kernel_shape=[1, 1]),
    ], {"w0": w(8, 3, 3, 3), "b0": w(8), "w1": w(8, 8, 1, 1), "b1": w(8), "w2": w(12, 8, 1, 1),
        "b2": w(12), "w3": w(5, 12, 1, 1), "b3": w(5),
        "scales": np.array([1, 1, 2, 2], np.float32), "roi": np.zeros(0, np.float32)},
        [1, 3, 16, 12], ["output"])
    # Elementwise arithmetic with constants of every broadcast shape, a computed broadcast
    # (squeeze and excitation), folded normalisation, the activations and constant padding.
    C = 5
    nets["arithmetic"] = model([
        N("BatchNormalization", ["input", "g", "beta", "mean", "var"], ["bn"], epsilon=1e-3),
        N("PRelu", ["bn", "slope"], ["pr"]),
        N("Mul", ["pr", "chan"], ["m0"]),
        N("Sub", ["m0", "plane"], ["s0"]),
        N("Div", ["s0", "two"], ["d0"]),
        N("Relu", ["d0"], ["cl"]),
        N("GlobalAveragePool", ["cl"], ["gap"]),
        N("Sigmoid", ["gap"], ["gate"]),
        N("Mul", ["cl", "gate"], ["se"]),
        N("Elu", ["se"], ["elu"], alpha=0.5),
        N("Neg", ["elu"], ["neg"]),
        N("Abs", ["neg"], ["abs"]),
        N("Max", ["abs", "se"], ["mx"]),
        N("Min", ["mx", "cl"], ["mn"]),
        N("Identity", ["mn"], ["id"]),
        N("Pad", ["id", "pads", "pad_value"], ["pd"], mode="constant"),
        N("ReduceMean", ["pd"], ["output"], axes=[2, 3], keepdims=0),
    ], {"g": w(C) + 1, "beta": w(C), "mean": w(C), "var": np.abs(w(C)) + 0.5,
        "slope": w(C, 1, 1), "chan": w(1, C, 1, 1), "plane": w(1, C, 7, 9), "two": np.array([2.0], np.float32),
        "pads": np.array([0, 1, 2, 0, 0, 2, 1, 3], np.int64), "pad_value": np.array(0.25, np.float32)},
        [1, C, 7, 9], ["output"])
    # Clip with its bounds as attributes (OpenCV 4.6 reads no other kind).
    nets["clip"] = model([
        N("Conv", ["input", "w0", "b0"], ["c0"], kernel_shape=[1, 1]),
        N("Clip", ["c0"], ["output"], min=-0.3, max=0.4),
    ], {"w0": w(4, 3, 1, 1), "b0": w(4)}, [1, 3, 5, 6], ["output"], opset=10)
    # A detection tail after the body: rows sliced, exponentiated, joined with constant
    # priors, shifted by a broadcast row, scaled, and their logarithm, as the native tail
    # runs them.
    nets["row_tail"] = model([
        N("Conv", ["input", "w0", "b0"], ["c0"], kernel_shape=[1, 1]),
        N("Transpose", ["c0"], ["t0"], perm=[0, 2, 3, 1]),
        N("Reshape", ["t0", "rows_shape"], ["rows"]),
        N("Slice", ["rows", "s_start", "s_end", "s_axes"], ["wh"]),
        N("Exp", ["wh"], ["wh_exp"]),
        N("Slice", ["rows", "s_neg", "s_big", "s_axes"], ["xy"]),
        N("Concat", ["xy", "wh_exp", "priors"], ["joined"], axis=2),
        N("Add", ["joined", "shift"], ["shifted"]),
        N("Div", ["shifted", "two"], ["half"]),
        N("Abs", ["half"], ["mag"]),
        N("Add", ["mag", "one"], ["mag1"]),
        N("Log", ["mag1"], ["logs"]),
        N("Neg", ["logs"], ["neg"]),
        N("Mul", ["neg", "col"], ["output"]),
    ], {"w0": w(4, 3, 1, 1), "b0": w(4), "rows_shape": np.array([1, -1, 4], np.int64),
        "s_start": np.array([2], np.int64), "s_end": np.array([4], np.int64),
        "s_axes": np.array([2], np.int64), "s_neg": np.array([-4], np.int64),
        "s_big": np.array([-2], np.int64), "priors": w(1, 30, 2),
        "shift": w(1, 30, 6), "two": np.array([2.0], np.float32), "one": np.array([1.0], np.float32),
        "col": w(1, 30, 1)}, [1, 3, 5, 6], ["output"])
    # A body tensor that both the body and the tail read.
    nets["shared_boundary"] = model([
        N("Conv", ["input", "w0", "b0"], ["c0"], kernel_shape=[1, 1]),
        N("Flatten", ["c0"], ["first"], axis=1),
        N("Conv", ["c0", "w1", "b1"], ["second"], kernel_shape=[3, 3]),
    ], {"w0": w(4, 3, 1, 1), "b0": w(4), "w1": w(2, 4, 3, 3), "b1": w(2)}, [1, 3, 6, 5],
        ["first", "second"])
    # Depthwise layers of whole and part groups of 16 channels: strided with asymmetric pads,
    # a 5x5 window with its activation, and a narrow map.
    nets["depthwise"] = model([
        N("Conv", ["input", "w0", "b0"], ["c0"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
        N("Relu", ["c0"], ["r0"]),
        N("Conv", ["r0", "dw0", "db0"], ["c1"], kernel_shape=[3, 3], strides=[2, 2], group=24,
          pads=[0, 1, 1, 0]),
        N("Conv", ["c1", "w1", "b1"], ["c2"], kernel_shape=[1, 1]),
        N("Conv", ["c2", "dw1", "db1"], ["c3"], kernel_shape=[5, 5], group=40, pads=[2, 2, 2, 2]),
        N("Relu", ["c3"], ["r3"]),
        N("Conv", ["r3", "dw2", "db2"], ["c4"], kernel_shape=[3, 3], group=40, pads=[1, 1, 1, 1]),
        N("Conv", ["c4", "w2", "b2"], ["output"], kernel_shape=[1, 1]),
    ], {"w0": w(24, 3, 3, 3), "b0": w(24), "dw0": w(24, 1, 3, 3), "db0": w(24),
        "w1": w(40, 24, 1, 1), "b1": w(40), "dw1": w(40, 1, 5, 5), "db1": w(40),
        "dw2": w(40, 1, 3, 3), "db2": w(40), "w2": w(6, 40, 1, 1), "b2": w(6)},
        [1, 3, 23, 4], ["output"])
    # A detector's heads: pointwise layers of one map (one with its activation) and a strided
    # one beside them, each followed by a depthwise layer that leaves the body.
    heads = [("cls", 1, False), ("obj", 1, True), ("box", 4, False), ("kps", 10, False)]
    nodes = [N("Conv", ["input", "w0", "b0"], ["c0"], kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
             N("Relu", ["c0"], ["r0"]),
             N("Conv", ["r0", "ws", "bs"], ["strided"], kernel_shape=[1, 1], strides=[2, 2]),
             N("Conv", ["strided", "wd", "bd"], ["down"], kernel_shape=[3, 3], group=3)]
    inits = {"w0": w(16, 3, 3, 3), "b0": w(16), "ws": w(3, 16, 1, 1), "bs": w(3),
             "wd": w(3, 1, 3, 3), "bd": w(3)}
    for name, n, relu in heads:
        nodes.append(N("Conv", ["r0", name + "_w", name + "_b"], [name + "_p"], kernel_shape=[1, 1]))
        if relu:
            nodes.append(N("Relu", [name + "_p"], [name + "_r"]))
        nodes.append(N("Conv", [name + ("_r" if relu else "_p"), name + "_dw", name + "_db"], [name],
                       kernel_shape=[3, 3], group=n, pads=[1, 1, 1, 1]))
        inits.update({name + "_w": w(n, 16, 1, 1), name + "_b": w(n), name + "_dw": w(n, 1, 3, 3),
                      name + "_db": w(n)})
    nets["heads"] = model(nodes, inits, [1, 3, 13, 11], [h[0] for h in heads] + ["down"])
    return nets


def conv_ref(x, w, b=None, strides=(1, 1), pads=(0, 0, 0, 0), dilations=(1, 1), group=1):
    """2-D convolution as ONNX defines it, in plain numpy."""
    n, c, h, wd = x.shape
    m, cg, kh, kw = w.shape
    xp = np.pad(x, ((0, 0), (0, 0), (pads[0], pads[2]), (pads[1], pads[3])))
    eh, ew = (kh - 1) * dilations[0] + 1, (kw - 1) * dilations[1] + 1
    oh = (xp.shape[2] - eh) // strides[0] + 1
    ow = (xp.shape[3] - ew) // strides[1] + 1
    y = np.zeros((n, m, oh, ow), np.float64)
    per = m // group
    for o in range(m):
        g = o // per
        for i in range(kh):
            for j in range(kw):
                patch = xp[:, g * cg:(g + 1) * cg,
                           i * dilations[0]:i * dilations[0] + strides[0] * (oh - 1) + 1:strides[0],
                           j * dilations[1]:j * dilations[1] + strides[1] * (ow - 1) + 1:strides[1]]
                y[:, o] += np.einsum("nchw,c->nhw", patch, w[o, :, i, j])
    if b is not None:
        y += b.reshape(1, -1, 1, 1)
    return y


def conv_transpose_ref(x, w, strides=(1, 1), pads=(0, 0, 0, 0), dilations=(1, 1)):
    """Transposed convolution (one group) as ONNX defines it: every input value spreads its
    filter over the output, then the pads are cut away."""
    n, c, h, wd = x.shape
    _, m, kh, kw = w.shape
    full_h = (h - 1) * strides[0] + (kh - 1) * dilations[0] + 1
    full_w = (wd - 1) * strides[1] + (kw - 1) * dilations[1] + 1
    y = np.zeros((n, m, full_h, full_w), np.float64)
    for i in range(kh):
        for j in range(kw):
            contrib = np.einsum("nchw,cm->nmhw", x, w[:, :, i, j])
            y[:, :, i * dilations[0]:i * dilations[0] + strides[0] * (h - 1) + 1:strides[0],
              j * dilations[1]:j * dilations[1] + strides[1] * (wd - 1) + 1:strides[1]] += contrib
    return y[:, :, pads[0]:full_h - pads[2], pads[1]:full_w - pads[3]]


def pool_ref(x, k, strides, pads, kind):
    """Max or average pooling; padding is never a value (count_include_pad 0)."""
    fill = -np.inf if kind == "max" else np.nan
    xp = np.pad(x.astype(np.float64), ((0, 0), (0, 0), (pads[0], pads[2]), (pads[1], pads[3])),
                constant_values=fill)
    oh = (xp.shape[2] - k[0]) // strides[0] + 1
    ow = (xp.shape[3] - k[1]) // strides[1] + 1
    y = np.zeros(x.shape[:2] + (oh, ow))
    for i in range(oh):
        for j in range(ow):
            win = xp[:, :, i * strides[0]:i * strides[0] + k[0], j * strides[1]:j * strides[1] + k[1]]
            y[:, :, i, j] = win.max(axis=(2, 3)) if kind == "max" else np.nanmean(win, axis=(2, 3))
    return y


def same_pads(side, k, s, d=1, lower=False):
    out = -(-side // s)
    total = max((out - 1) * s + (k - 1) * d + 1 - side, 0)
    begin = total - total // 2 if lower else total // 2
    return begin, total - begin


def construct_models():
    """Constructs that OpenCV DNN computes otherwise than ONNX means them unless the kernel
    rewrites them, and broadcasts it cannot run, each with an input and the numpy result.
    The kernel must give that result on every backend, or refuse the network on the one
    that cannot."""
    rng = np.random.default_rng(11)
    N = helper.make_node
    shape = (1, 2, 7, 8)
    x = rng.normal(size=shape).astype(np.float32)
    away = (np.abs(x) + 0.5) * np.sign(x + 1e-9)  # no value near zero, for the divisions
    away = away.astype(np.float32)

    def model(nodes, inits):
        i = helper.make_tensor_value_info("input", TensorProto.FLOAT, list(shape))
        o = helper.make_tensor_value_info("output", TensorProto.FLOAT, None)
        m = helper.make_model(helper.make_graph(
            nodes, "construct", [i], [o], [numpy_helper.from_array(v, k) for k, v in inits.items()]))
        m.opset_import[0].version = 11
        m.ir_version = 7
        g = onnx.shape_inference.infer_shapes(m).graph
        del m.graph.output[:]
        m.graph.output.extend(v for v in g.output)
        return m

    nets = {}
    w = rng.normal(0, 0.5, (3, 2, 2, 3)).astype(np.float32)
    for mode in ("SAME_LOWER", "SAME_UPPER"):
        lower = mode == "SAME_LOWER"
        th, bh = same_pads(7, 2, 2, lower=lower)
        tw, bw = same_pads(8, 3, 1, lower=lower)
        nets["conv_" + mode.lower()] = (
            model([N("Conv", ["input", "w"], ["output"], kernel_shape=[2, 3], strides=[2, 1],
                     auto_pad=mode)], {"w": w}),
            x, conv_ref(x, w, strides=(2, 1), pads=(th, tw, bh, bw)))
        for kind, op in (("max", "MaxPool"), ("average", "AveragePool")):
            th, bh = same_pads(7, 3, 2, lower=lower)
            tw, bw = same_pads(8, 2, 1, lower=lower)
            nets[kind + "_pool_" + mode.lower()] = (
                model([N(op, ["input"], ["output"], kernel_shape=[3, 2], strides=[2, 1],
                         auto_pad=mode)], {}),
                x, pool_ref(x, (3, 2), (2, 1), (th, tw, bh, bw), kind))
    wt = rng.normal(0, 0.5, (2, 3, 3, 2)).astype(np.float32)
    nets["conv_transpose_dilated"] = (
        model([N("ConvTranspose", ["input", "wt"], ["output"], kernel_shape=[3, 2], strides=[2, 1],
                 dilations=[2, 3], pads=[1, 0, 0, 2])], {"wt": wt}),
        x, conv_transpose_ref(x, wt, (2, 1), (1, 0, 0, 2), (2, 3)))
    # kernel_shape left for the weights to imply, as ONNX allows.
    nets["conv_kernel_from_weights"] = (
        model([N("Conv", ["input", "w"], ["output"], strides=[2, 1], pads=[1, 1, 0, 1])],
              {"w": w}),
        x, conv_ref(x, w, strides=(2, 1), pads=(1, 1, 0, 1)))
    nets["conv_transpose_kernel_from_weights"] = (
        model([N("ConvTranspose", ["input", "wt"], ["output"], strides=[2, 1], pads=[1, 0, 1, 0])],
              {"wt": wt}),
        x, conv_transpose_ref(x, wt, (2, 1), (1, 0, 1, 0)))
    # Constants of every broadcast shape, either side of the operator.
    for cshape in ((1, 2, 1, 1), (8,), (2, 7, 8), (1, 1, 7, 1), (1,)):
        c = (rng.normal(size=cshape) + 2).astype(np.float32)
        tag = "x".join(map(str, cshape))
        nets["div_constant_%s_by_computed" % tag] = (
            model([N("Div", ["c", "input"], ["output"])], {"c": c}), away, c / away)
        nets["div_computed_by_constant_%s" % tag] = (
            model([N("Div", ["input", "c"], ["output"])], {"c": c}), x, x / c)
        nets["mul_constant_%s" % tag] = (
            model([N("Mul", ["c", "input"], ["output"])], {"c": c}), x, c * x)
        nets["sub_from_constant_%s" % tag] = (
            model([N("Sub", ["c", "input"], ["output"])], {"c": c}), x, c - x)
        nets["max_constant_%s" % tag] = (
            model([N("Max", ["input", "c"], ["output"])], {"c": c - 2}), x, np.maximum(x, c - 2))
        nets["min_constant_%s" % tag] = (
            model([N("Min", ["c", "input"], ["output"])], {"c": c - 2}), x, np.minimum(c - 2, x))
        if cshape != (1,) and cshape != (1, 2, 1, 1):
            nets["prelu_slope_%s" % tag] = (
                model([N("PRelu", ["input", "c"], ["output"])], {"c": c - 2}), x,
                np.where(x > 0, x, x * (c - 2)))
    # A computed operand broadcast from the left: channel means of a pooled map.
    pooled = x.mean(axis=(2, 3), keepdims=True)
    for op, f in (("Add", np.add), ("Sub", np.subtract), ("Mul", np.multiply), ("Div", np.divide)):
        nets["%s_pooled_first" % op.lower()] = (
            model([N("GlobalAveragePool", ["input"], ["p"]), N(op, ["p", "input"], ["output"])], {}),
            away if op == "Div" else x, f(away.mean(axis=(2, 3), keepdims=True), away) if op == "Div"
            else f(pooled, x))
    # A divisor that another node reads as well (found by fuzz_graph_lowering).
    c = (rng.normal(size=(1, 2, 1, 1)) + 2).astype(np.float32)
    nets["div_constant_read_again"] = (
        model([N("Div", ["input", "c"], ["q"]), N("Add", ["q", "c"], ["output"])], {"c": c}),
        x, x / c + c)
    # A concatenation of one operand (found by fuzz_graph_lowering).
    nets["concat_single"] = (model([N("Concat", ["input"], ["output"], axis=1)], {}), x, x)
    # A computed broadcast that OpenCV cannot run in either order, and the native tail does
    # not take: refused with the reason.
    nets["add_channel_mean"] = (
        model([N("ReduceMean", ["input"], ["m"], axes=[1], keepdims=1),
               N("Add", ["input", "m"], ["output"])], {}),
        x, x + x.mean(axis=1, keepdims=True))
    # A computed operand broadcast along a row or a column, on either side.
    rows = x.max(axis=2, keepdims=True)
    columns = x.mean(axis=3, keepdims=True)
    nets["add_pooled_rows"] = (
        model([N("MaxPool", ["input"], ["m"], kernel_shape=[7, 1]),
               N("Add", ["input", "m"], ["output"])], {}), x, x + rows)
    nets["sub_from_pooled_rows"] = (
        model([N("MaxPool", ["input"], ["m"], kernel_shape=[7, 1]),
               N("Sub", ["m", "input"], ["output"])], {}), x, rows - x)
    nets["mul_pooled_columns"] = (
        model([N("AveragePool", ["input"], ["m"], kernel_shape=[1, 8]),
               N("Mul", ["m", "input"], ["output"])], {}), x, columns * x)
    # A convolution's output plus a row computed by another: OpenCV fuses the addition into the
    # convolution.
    k = rng.normal(0, 0.5, (2, 2, 2, 1, 1)).astype(np.float32)
    mix = lambda w, v: np.einsum("oi,nihw->nohw", w[:, :, 0, 0], v)
    nets["conv_plus_convolved_row"] = (
        model([N("Conv", ["input", "k0"], ["c"], kernel_shape=[1, 1]),
               N("MaxPool", ["input"], ["m"], kernel_shape=[7, 1]),
               N("Conv", ["m", "k1"], ["r"], kernel_shape=[1, 1]),
               N("Add", ["c", "r"], ["output"])], {"k0": k[0], "k1": k[1]}),
        x, (mix(k[0], x) + mix(k[1], rows)).astype(np.float32))
    sigmoid = 1 / (1 + np.exp(-x.astype(np.float64)))
    nets["div_by_pooled_columns"] = (
        model([N("Sigmoid", ["input"], ["s"]),
               N("AveragePool", ["s"], ["m"], kernel_shape=[1, 8]),
               N("Div", ["input", "m"], ["output"])], {}),
        x, (x / sigmoid.mean(axis=3, keepdims=True)).astype(np.float32))
    return nets


def save_constructs(out):
    """Each network with a .ref beside it: the input's floats, then the result's."""
    folder = os.path.join(out, "constructs")
    os.makedirs(folder, exist_ok=True)
    for name, (model, x, y) in construct_models().items():
        onnx.checker.check_model(model)
        with open(os.path.join(folder, name + ".onnx"), "wb") as f:
            f.write(model.SerializeToString())
        with open(os.path.join(folder, name + ".ref"), "wb") as f:
            f.write(np.ascontiguousarray(x, np.float32).tobytes())
            f.write(np.ascontiguousarray(y, np.float32).tobytes())


def not_lowerable_model():
    """Nothing here maps onto XNNPACK: the network stays on OpenCV."""
    x = helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, 4, 4])
    y = helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 48])
    nodes = [helper.make_node("Flatten", ["input"], ["flat"], axis=1),
             helper.make_node("Softmax", ["flat"], ["output"], axis=1)]
    return helper.make_model(helper.make_graph(nodes, "plain", [x], [y]))


def save_hostile(out):
    """Each one must pass the ONNX checker: one that the checker refuses tests nothing of ours."""
    folder = os.path.join(out, "hostile")
    os.makedirs(folder, exist_ok=True)
    for name, model in hostile_models().items():
        model.ir_version = 7
        onnx.checker.check_model(model)
        with open(os.path.join(folder, name + ".onnx"), "wb") as f:
            f.write(model.SerializeToString())


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    save(affine_model(), out, "affine.onnx")

    # Decoding and suppression on a 320x320 input: fixed rows (see the pipeline tests).
    # Priors are binary fractions so that the expected pixels are exact.
    fixed = [
        row(score=0.99, cx=0.5, cy=0.5, pw=0.25, ph=0.375),           # (120,100)-(200,220)
        row(score=0.97, cx=0.515625, cy=0.5, pw=0.25, ph=0.375),      # IoU 0.88 with row 0
        row(score=0.96, cx=0.15625, cy=0.15625, pw=0.125, ph=0.125),  # (30,30)-(70,70)
        row(score=0.50, cx=0.8, cy=0.8, pw=0.1, ph=0.1),              # below the threshold
        row(score=0.95, cx=0.03125, cy=0.96875, pw=0.125, ph=0.125),  # at the threshold, clamped
    ]
    save(rows_model(320, 320, fixed), out, "fixed_rows_320.onnx")

    # Rows whose score rises with the frame's brightness: score = 0.5 + m / 100.
    bright = [row(score=0.5, cx=0.25, cy=0.25, pw=0.5, ph=0.5)]
    gain = [[0, 0, 0, 0, -0.01, 0.01, 0, 0, 0, 0]]
    save(rows_model(64, 64, bright, gain), out, "bright_score_64.onnx")

    # Many separate rows above the threshold, for top_k.
    many = [row(score=0.999 - 0.001 * i, cx=(i % 10) / 10.0 + 0.05, cy=(i // 10) / 10.0 + 0.05,
                pw=0.05, ph=0.05) for i in range(40)]
    save(rows_model(128, 128, many), out, "many_rows_128.onnx")

    # Three faces side by side, two of them with a duplicate of equal score (IoU 0.78), for
    # the candidate pool and blending: (16,48)-(48,80), (48,48)-(80,80), (80,48)-(112,80).
    crowd = [row(score=0.99, cx=0.25, cy=0.5, pw=0.25, ph=0.25),
             row(score=0.99, cx=0.28125, cy=0.5, pw=0.25, ph=0.25),   # 4 px right of it
             row(score=0.97, cx=0.5, cy=0.5, pw=0.25, ph=0.25),
             row(score=0.97, cx=0.515625, cy=0.5, pw=0.25, ph=0.25),  # 2 px right of it
             row(score=0.96, cx=0.75, cy=0.5, pw=0.25, ph=0.25)]
    save(rows_model(128, 128, crowd), out, "crowd_rows_128.onnx")

    # Rows with two landmarks each (offsets as the centre's: 2.5 = a quarter of the prior to
    # the side): (16,48)-(48,80) with points (24,64) and (40,64); a face whose points reach
    # past the input's left edge; one whose points are not numbers, no candidate.
    marks = [row(score=0.99, cx=0.25, cy=0.5, pw=0.25, ph=0.25) + [-2.5, 0, 2.5, 0],
             row(score=0.98, cx=0.75, cy=0.25, pw=0.25, ph=0.25) + [-40, -2.5, 0, 2.5],
             row(score=0.97, cx=0.75, cy=0.75, pw=0.25, ph=0.25) + [float("nan"), 0, 0, 0]]
    save(rows_model(128, 128, marks), out, "landmark_rows_128.onnx")

    # A network that set-up must refuse.
    save(rows_model(16, 16, [row(score=0.99)], channels=1), out, "gray_input.onnx")

    save_hostile(out)
    folder = os.path.join(out, "lowering")
    os.makedirs(folder, exist_ok=True)
    for name, model in lowering_models().items():
        onnx.checker.check_model(model)
        with open(os.path.join(folder, name + ".onnx"), "wb") as f:
            f.write(model.SerializeToString())
    save(not_lowerable_model(), out, "not_lowerable.onnx")
    save_constructs(out)


if __name__ == "__main__":
    main()
