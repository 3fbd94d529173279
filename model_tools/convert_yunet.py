#!/usr/bin/python3
"""Converts a user-supplied YuNet_n network (Apache-2.0; the published 320x320 or 640x640
ONNX file) into a model directory our face detector runs unchanged.

    model_tools/convert_yunet.py yunet_n_640_640.onnx OUT_DIR
    model_tools/convert_yunet.py yunet_n_320_320.onnx --install     # into the models folder

In:  "input"  (1, 3, S, S) float, planar B, G, R with the means 104, 117, 123 subtracted
     (added back inside the graph: the network wants raw 0..255 values).
Out: "output" (1, R, 20) float, per grid cell of the strides 8, 16 and 32,
     [dx, dy, dw, dh, 1-s, s, pcx, pcy, pw, ph] with the prior at the cell's corner and one
     stride wide (fractions of the input), so that the detector's decode (variances 0.1 and
     0.2) gives exactly the network's box: centre (col + reg_x) * S, size exp(reg_w) * S;
     then the five landmarks (LANDMARKS) [kx, ky], encoded as the box centre.
     The score is sqrt(cls * obj) raised to a power that puts the detector's fixed 0.95 on
     the chosen operating point. The model's inference.json gives the detector a candidate
     pool and the blend of overlapping candidates, so a face's neighbouring cells do not
     crowd other faces out of its top_k.

The converter runs the source network and the converted one (OpenCV DNN) on the sample
photos and compares the converted rows with a numpy decode of the source outputs; it
refuses to write a model whose boxes differ by 0.05 px or more, or whose scores differ.
Only what OpenCV 4.6's importer runs correctly is used (scalar multiplies, Slice, Relu for
clamping).
"""

import argparse
import json
import math
import os
import shutil
import sys
import tempfile
from pathlib import Path

import numpy as np
import onnx
from google.protobuf.message import DecodeError
from onnx import TensorProto, helper, numpy_helper

from blazeface_ref import iou, select  # noqa: F401  (iou: for this module's callers)

ROOT = Path(__file__).resolve().parents[1]
MEANS_BGR = (104.0, 117.0, 123.0)
STRIDES = (8, 16, 32)
# The detector's fixed score threshold, and the YuNet score (sqrt(cls * obj)) it stands for
# per input size, chosen on the calibration photos (model_tools/measure_yunet.py, top_k 100):
# 320 at 0.65 finds 21 of 21 faces with 1 false positive (0.70: 20, 1), 640 at 0.75 finds
# 21 of 21 with 4 (0.70: 21 with 7; 0.80: 19 with 0).
DETECTOR_THRESHOLD = 0.95
OPERATING_POINTS = {320: 0.65, 640: 0.75}
OPERATING_POINT = 0.7  # other sizes
FLOOR = 1e-30          # probabilities are floored before the log, so log(0) never appears
# How the detector selects among the rows (inference.json's "Detection"): a pool larger than
# any top_k a host uses, score-weighted blending of one face's cells, and the overlap above
# which two boxes are one face, chosen on the calibration photos and crowds
# (model_tools/model_table.py).
SELECTION = {"CandidatePool": 1024, "OverlapMerge": "OVERLAP_BLEND", "NmsThreshold": 0.4}
MAX_BOX_ERROR_PX = 0.05
# YuNet's five points in its order; right and left are the person's own.
LANDMARKS = ["right_eye", "left_eye", "nose_tip", "right_mouth_corner", "left_mouth_corner"]
ROW = 10 + 2 * len(LANDMARKS)


def exponent(operating_point):
    """s' = s ** exponent maps the operating point to the detector's threshold."""
    return math.log(DETECTOR_THRESHOLD) / math.log(operating_point)


def const(name, value, dtype=np.float32):
    return numpy_helper.from_array(np.asarray(value, dtype=dtype), name)


def source_outputs(graph, size):
    """Names of cls, obj, bbox and kps per stride, checked against the grid sizes."""
    shapes = {o.name: [d.dim_value for d in o.type.tensor_type.shape.dim] for o in graph.output}
    names = {}
    for s in STRIDES:
        cells = (size // s) ** 2
        for kind, width in (("cls", 1), ("obj", 1), ("bbox", 4), ("kps", 10)):
            name = "%s_%d" % (kind, s)
            if shapes.get(name) != [1, cells, width]:
                sys.exit("expected output %s of shape [1, %d, %d], got %s"
                         % (name, cells, width, shapes.get(name)))
            names[kind, s] = name
    return names


def prune(nodes, wanted):
    """The nodes that the wanted values depend on, in their order."""
    needed, keep = set(wanted), []
    for node in reversed(nodes):
        if any(o in needed for o in node.output):
            keep.append(node)
            needed.update(i for i in node.input if i)
    return list(reversed(keep)), needed


def convert(src, operating_point=None):
    model = onnx.load(src)
    g = model.graph
    if len(g.input) != 1:
        sys.exit("expected one network input")
    dims = [d.dim_value for d in g.input[0].type.tensor_type.shape.dim]
    if len(dims) != 4 or dims[:2] != [1, 3] or dims[2] != dims[3] or dims[2] % 32:
        sys.exit("expected a fixed (1, 3, S, S) input, got %s" % dims)
    size = dims[2]
    if operating_point is None:
        operating_point = OPERATING_POINTS.get(size, OPERATING_POINT)
    names = source_outputs(g, size)
    body, used = prune(list(g.node), names.values())
    body_input = g.input[0].name + "_raw_bgr"
    for node in body:
        for i, name in enumerate(node.input):
            if name == g.input[0].name:
                node.input[i] = body_input

    N = helper.make_node
    inits = [const("mean_w", np.eye(3).reshape(3, 3, 1, 1)), const("mean_b", MEANS_BGR),
             const("floor", [FLOOR]), const("half_power", [0.5 * exponent(operating_point)]),
             const("minus_one", [-1.0]), const("one", [1.0]),
             const("ten", [10.0]), const("five", [5.0]),
             const("i0", [0], np.int64), const("i2", [2], np.int64), const("i4", [4], np.int64),
             const("axis2", [2], np.int64)]
    nodes = [N("Conv", ["input", "mean_w", "mean_b"], [body_input], name="add_means",
               kernel_shape=[1, 1])]
    rows = []
    for s in STRIDES:
        cells = size // s
        t = "s%d_" % s

        def floored_log(x, tag):
            return [N("Sub", [x, "floor"], [t + tag + "_lo"]),
                    N("Relu", [t + tag + "_lo"], [t + tag + "_pos"]),
                    N("Add", [t + tag + "_pos", "floor"], [t + tag + "_safe"]),
                    N("Log", [t + tag + "_safe"], [t + tag + "_log"])]

        cols, rws = np.meshgrid(np.arange(cells), np.arange(cells))
        prior = np.stack([cols.ravel() * s / size, rws.ravel() * s / size,
                          np.full(cells * cells, s / size), np.full(cells * cells, s / size)], 1)
        inits += [const(t + "prior", prior[None])]
        nodes += floored_log(names["cls", s], "cls") + floored_log(names["obj", s], "obj") + [
            # s' = (cls * obj) ** (power / 2)
            N("Add", [t + "cls_log", t + "obj_log"], [t + "log_prod"]),
            N("Mul", [t + "log_prod", "half_power"], [t + "log_score"]),
            N("Exp", [t + "log_score"], [t + "score"]),
            N("Mul", [t + "score", "minus_one"], [t + "neg"]),
            N("Add", [t + "neg", "one"], [t + "background"]),
            # dx = 10 * reg_x (prior one stride wide, variance 0.1); dw = 5 * reg_w
            N("Slice", [names["bbox", s], "i0", "i2", "axis2"], [t + "reg_xy"]),
            N("Slice", [names["bbox", s], "i2", "i4", "axis2"], [t + "reg_wh"]),
            N("Mul", [t + "reg_xy", "ten"], [t + "dxdy"]),
            N("Mul", [t + "reg_wh", "five"], [t + "dwdh"]),
            # Points are offsets in strides from the cell's corner, like the box centre.
            N("Mul", [names["kps", s], "ten"], [t + "points"]),
            N("Concat", [t + "dxdy", t + "dwdh", t + "background", t + "score", t + "prior",
                         t + "points"], [t + "out"], axis=2),
        ]
        rows.append(t + "out")
    nodes.append(N("Concat", rows, ["output"], axis=1))
    total = sum((size // s) ** 2 for s in STRIDES)
    graph = helper.make_graph(
        nodes[:1] + body + nodes[1:], "yunet_n_%d" % size,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, size, size])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, total, ROW])],
        initializer=inits + [i for i in g.initializer if i.name in used])
    out = helper.make_model(graph, producer_name="convert_yunet", producer_version="1",
                            opset_imports=[helper.make_opsetid("", 11)])
    out.ir_version = 7
    onnx.checker.check_model(out)
    return out, size, operating_point


# ---- numpy reference: the source network's outputs decoded as published -----------------

def letterbox(bgr, size):
    """The detector's letterbox: scaled to fit, top-left, padded with the mean colour."""
    import cv2
    h, w = bgr.shape[:2]
    scale = min(size / w, size / h)
    resized = cv2.resize(bgr, None, fx=scale, fy=scale, interpolation=cv2.INTER_LINEAR)
    canvas = np.empty((size, size, 3), np.float32)
    canvas[:] = MEANS_BGR
    canvas[:resized.shape[0], :resized.shape[1]] = resized
    return canvas, scale


def source_rows(net, canvas, size, operating_point):
    """(score, x1, y1, x2, y2, then x, y of each landmark) per cell in input pixels, scores
    remapped."""
    net.setInput(canvas.transpose(2, 0, 1)[None].copy())
    names = ["%s_%d" % (k, s) for s in STRIDES for k in ("cls", "obj", "bbox", "kps")]
    outs = dict(zip(names, net.forward(names)))
    rows = []
    for s in STRIDES:
        cells = size // s
        cls = outs["cls_%d" % s].reshape(-1).astype(np.float64)
        obj = outs["obj_%d" % s].reshape(-1).astype(np.float64)
        score = np.sqrt(np.clip(cls, 0, 1) * np.clip(obj, 0, None)) ** exponent(operating_point)
        reg = outs["bbox_%d" % s].reshape(-1, 4).astype(np.float64)
        cols, rws = np.meshgrid(np.arange(cells), np.arange(cells))
        cx, cy = (cols.ravel() + reg[:, 0]) * s, (rws.ravel() + reg[:, 1]) * s
        w, h = np.exp(reg[:, 2]) * s, np.exp(reg[:, 3]) * s
        kps = outs["kps_%d" % s].reshape(-1, 5, 2).astype(np.float64)
        points = (kps + np.stack([cols.ravel(), rws.ravel()], 1)[:, None, :]) * s
        rows.append(np.concatenate([np.stack([score, cx - w / 2, cy - h / 2, cx + w / 2,
                                              cy + h / 2], 1), points.reshape(-1, 10)], 1))
    return np.concatenate(rows)


def converted_rows(net, canvas, size):
    """The same from the converted model, through the detector's decode."""
    net.setInput((canvas - np.float32(MEANS_BGR)).transpose(2, 0, 1)[None].copy())
    r = net.forward().reshape(-1, ROW).astype(np.float64)
    cx, cy = r[:, 0] * 0.1 * r[:, 8] + r[:, 6], r[:, 1] * 0.1 * r[:, 9] + r[:, 7]
    w, h = np.exp(r[:, 2] * 0.2) * r[:, 8], np.exp(r[:, 3] * 0.2) * r[:, 9]
    points = r[:, 10:].reshape(-1, 5, 2) * 0.1 * r[:, None, 8:10] + r[:, None, 6:8]
    return np.concatenate([np.stack([r[:, 5], (cx - w / 2) * size, (cy - h / 2) * size,
                                     (cx + w / 2) * size, (cy + h / 2) * size], 1),
                           points.reshape(-1, 10) * size], 1)


def detect_reference(net, bgr, size, operating_point, top_k=100):
    """What the detector should return for bgr with the converted model: the library's
    threshold, the converted model's selection, frame pixels truncated; each face as
    (score, x1, y1, x2, y2, landmarks (5, 2) in frame pixels)."""
    canvas, scale = letterbox(bgr, size)
    rows = source_rows(net, canvas, size, operating_point)
    x1, y1, x2, y2 = rows[:, 1:5].T * (1.0 / scale)
    w, h = bgr.shape[1], bgr.shape[0]
    points = np.clip(rows[:, 5:].reshape(-1, 5, 2) / scale, 0, [w, h])
    boxes = np.stack([np.clip(x1, 0, w), np.clip(y1, 0, h), np.clip(x2, 0, w), np.clip(y2, 0, h)], 1)
    keep = (boxes[:, 0] < boxes[:, 2]) & (boxes[:, 1] < boxes[:, 3])  # some area in the frame
    scores = np.where(keep, rows[:, 0], -1.0)
    return [(float(rows[i, 0]), *(int(v) for v in box), points[i])
            for i, box in select(boxes, scores, DETECTOR_THRESHOLD, top_k,
                                 SELECTION["NmsThreshold"], SELECTION["CandidatePool"],
                                 SELECTION["OverlapMerge"] == "OVERLAP_BLEND")]


def read_photos(paths):
    """The photos of the numeric check, decoded; refuses (exits) the first that is not one,
    before any model is read."""
    import cv2
    photos = []
    for path in paths:
        try:
            data = Path(path).read_bytes()
        except OSError as e:
            sys.exit("cannot read %s: %s" % (path, e.strerror))
        bgr = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR) if data else None
        if bgr is None:
            sys.exit("cannot read %s: not an image OpenCV can decode" % path)
        photos.append(bgr)
    return photos


def check(src, converted, size, operating_point, photos):
    """Largest box and score differences between the two on the photos' letterboxes."""
    import cv2
    source_net = cv2.dnn.readNetFromONNX(str(src))
    ours = cv2.dnn.readNetFromONNX(converted.SerializeToString())
    worst_box, worst_score = 0.0, 0.0
    for bgr in photos:
        canvas, _ = letterbox(bgr, size)
        ref = source_rows(source_net, canvas, size, operating_point)
        got = converted_rows(ours, canvas, size)
        # Scores count where they could matter (near-equal neighbours in flat areas, far
        # below any threshold, may resolve their tie differently in float32 and float64).
        live = np.maximum(ref[:, 0], got[:, 0]) > 0.5
        if live.any():
            worst_score = max(worst_score, float(np.abs(ref[live, 0] - got[live, 0]).max()))
        live = ref[:, 0] > 0.01  # boxes and landmarks alike
        if live.any():
            worst_box = max(worst_box, float(np.abs(ref[live, 1:] - got[live, 1:]).max()))
    return worst_box, worst_score


def models_folder():
    """Where --install puts a model: the first folder of NEROVA_MODELS, else the checkout's
    models/."""
    first = os.environ.get("NEROVA_MODELS", "").split(":")[0]
    return Path(first or ROOT / "models")


WRITTEN = ("model.onnx", "inference.json", "LICENSE", "NOTICE", "README.md")


def check_out_dir(out_dir, overwrite):
    """Refuses (exits) a destination that is not a folder or cannot become one, or a model
    folder that exists, unless overwrite: a converted model never silently replaces another."""
    if out_dir.exists() and not out_dir.is_dir():
        sys.exit("%s exists and is not a folder" % out_dir)
    # The folders to be made lie under the nearest that exists, which must be one.
    above = next((p for p in out_dir.parents if os.path.lexists(p)), None)
    if above is not None and not above.is_dir():
        sys.exit("cannot write %s: %s is not a folder" % (out_dir, above))
    taken = [name for name in WRITTEN if (out_dir / name).exists()]
    if taken and not overwrite:
        sys.exit("%s already holds a model (%s); --overwrite replaces it"
                 % (out_dir, ", ".join(taken)))


def write_dir(out_dir, model, src, size, operating_point, box_error, score_error):
    """Writes the model folder's files into a fresh folder beside out_dir, then moves each
    into place: an interrupted run leaves the folder as it was or complete."""
    out_dir.parent.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix="." + out_dir.name + ".", dir=out_dir.parent))
    try:
        fill_dir(staging, model, src, size, operating_point, box_error, score_error)
        out_dir.mkdir(exist_ok=True)
        for name in WRITTEN:
            if (staging / name).exists():
                os.replace(staging / name, out_dir / name)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def fill_dir(out_dir, model, src, size, operating_point, box_error, score_error):
    onnx.save(model, str(out_dir / "model.onnx"))
    (out_dir / "inference.json").write_text(json.dumps(
        {"ModelConfig": {"Type": "MODEL_TYPE_ONNX"},
         "NetworkConfig": {"DeviceType": "DEVICE_X86", "ThreadNum": 1},
         "Detection": dict(SELECTION, Landmarks=LANDMARKS)}) + "\n")
    licence = Path(src).with_name("LICENSE")
    if licence.is_file():
        shutil.copy(licence, out_dir / "LICENSE")
    (out_dir / "NOTICE").write_text(
        "This model is YuNet_n (%dx%d), Apache-2.0, from the libfacedetection.train repository\n"
        "(Copyright 2018-2022 OpenMMLab; Copyright (c) 2022 Shiqi Yu), converted from %s by\n"
        "model_tools/convert_yunet.py. Changes: the B, G, R means are added back at the input;\n"
        "the outputs are re-encoded as one (1, %d, 10) row tensor; the score sqrt(cls * obj) is\n"
        "raised to the power %.6f (the detector's 0.95 stands for %.2f); the five landmarks\n"
        "follow in each row. The licence is in LICENSE.\n"
        % (size, size, Path(src).name, sum((size // s) ** 2 for s in STRIDES),
           exponent(operating_point), operating_point))
    (out_dir / "README.md").write_text(
        "# yunet_n_%d\n\nYuNet_n at %dx%d converted for the nerova face detector (see NOTICE).\n"
        "Operating point: the detector's fixed 0.95 is a YuNet score of %.2f. Checked against the\n"
        "source network on the sample photos: largest box or landmark difference %.4f px, score %.2g.\n"
        % (size, size, size, operating_point, box_error, score_error))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("src", help="YuNet_n .onnx file (fixed 320x320 or 640x640 input)")
    ap.add_argument("out_dir", nargs="?", help="model directory to write")
    ap.add_argument("--install", action="store_true",
                    help="write to the models folder as yunet_n_SIZE (NEROVA_MODELS, else models/)")
    ap.add_argument("--operating-point", type=float, default=None,
                    help="YuNet score the detector's 0.95 stands for (default: 0.65 at 320, "
                         "0.75 at 640)")
    ap.add_argument("--images", nargs="*", default=None,
                    help="photos for the numeric check (default: models/samples/*.jpg)")
    ap.add_argument("--overwrite", action="store_true",
                    help="replace the model files of an existing model folder")
    args = ap.parse_args()
    if args.operating_point is not None and not 0 < args.operating_point < 1:
        sys.exit("--operating-point must be between 0 and 1")
    if not args.install and not args.out_dir:
        sys.exit("give OUT_DIR or --install")
    if args.out_dir:
        check_out_dir(Path(args.out_dir), args.overwrite)
    images = args.images or sorted((ROOT / "models" / "samples").glob("*.jpg"))
    photos = read_photos(images)
    try:
        model, size, point = convert(args.src, args.operating_point)
    except (OSError, ValueError, DecodeError, onnx.checker.ValidationError) as e:
        sys.exit("cannot convert %s: %s" % (args.src, getattr(e, "strerror", None) or e))
    out_dir = models_folder() / ("yunet_n_%d" % size) if args.install else Path(args.out_dir)
    if args.install:
        check_out_dir(out_dir, args.overwrite)
    box_error, score_error = check(args.src, model, size, point, photos)
    if not box_error < MAX_BOX_ERROR_PX or not score_error < 1e-4:
        sys.exit("refused: the converted model disagrees with the source (box %.4f px, score %.2g)"
                 % (box_error, score_error))
    write_dir(out_dir, model, args.src, size, point, box_error, score_error)
    print("wrote %s: input 1x3x%dx%d; against the source on %d photos: boxes and landmarks %.4f px, score %.2g"
          % (out_dir, size, size, len(images), box_error, score_error))


if __name__ == "__main__":
    main()
