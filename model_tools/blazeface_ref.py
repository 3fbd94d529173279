"""Independent numpy reference for the upstream face networks and our detector's maths.

The upstream network is evaluated here op by op in plain numpy (it only uses Conv, Relu,
Add, MaxPool, ConstantOfShape, Concat, Transpose and Reshape), so the converted model can be
checked against something that does not share OpenCV's importer. The same module holds the
detector-side pieces (letterbox, decode of the ten-float rows, greedy suppression) so the
checks and the reference data use one definition of each.
"""

import os

import numpy as np
import onnx
from onnx import numpy_helper

# Pad colour of the letterbox, B, G, R; the converted model subtracts these same means.
MEANS_BGR = (104.0, 117.0, 123.0)
SCORE_THRESHOLD = 0.95
NMS_IOU = 0.7

# Two anchor heads: a 16x16 grid with 2 anchors per cell, then 8x8 with 6 (512 + 384 = 896).
HEADS = ((16, 2), (8, 6))


def anchor_centres():
    """(896, 2) anchor centres as fractions of the input, in the network's row order."""
    rows = []
    for cells, per_cell in HEADS:
        for y in range(cells):
            for x in range(cells):
                for _ in range(per_cell):
                    rows.append(((x + 0.5) / cells, (y + 0.5) / cells))
    return np.array(rows, dtype=np.float64)


# ---------------------------------------------------------------- numpy graph evaluation

def _attrs(node):
    return {a.name: onnx.helper.get_attribute_value(a) for a in node.attribute}


def _conv(x, w, b, a):
    n, c, h, wd = x.shape
    oc, icg, kh, kw = w.shape
    group = a.get("group", 1)
    sh, sw = a.get("strides", [1, 1])
    pt, pl, pb, pr = a.get("pads", [0, 0, 0, 0])
    if a.get("dilations", [1, 1]) != [1, 1] or a.get("auto_pad", b"NOTSET") not in (b"NOTSET", "NOTSET"):
        raise NotImplementedError("conv attributes")
    xp = np.pad(x, ((0, 0), (0, 0), (pt, pb), (pl, pr)))
    oh = (h + pt + pb - kh) // sh + 1
    ow = (wd + pl + pr - kw) // sw + 1
    xg = xp.reshape(n, group, icg, xp.shape[2], xp.shape[3])
    wg = w.reshape(group, oc // group, icg, kh, kw)
    out = np.zeros((n, group, oc // group, oh, ow), dtype=np.float64)
    for ky in range(kh):
        for kx in range(kw):
            patch = xg[:, :, :, ky:ky + sh * (oh - 1) + 1:sh, kx:kx + sw * (ow - 1) + 1:sw]
            out += np.einsum("goi,ngihw->ngohw", wg[:, :, :, ky, kx], patch)
    out = out.reshape(n, oc, oh, ow)
    if b is not None:
        out += b.reshape(1, oc, 1, 1)
    return out


def _maxpool(x, a):
    kh, kw = a["kernel_shape"]
    sh, sw = a["strides"]
    if any(a.get("pads", [0, 0, 0, 0])) or (kh, kw) != (sh, sw):
        raise NotImplementedError("maxpool attributes")
    n, c, h, w = x.shape
    x = x[:, :, :h // kh * kh, :w // kw * kw]
    return x.reshape(n, c, h // kh, kh, w // kw, kw).max(axis=(3, 5))


class NumpyNet:
    """Evaluates an upstream network in float64 numpy."""

    def __init__(self, path):
        self.model = onnx.load(path)
        g = self.model.graph
        self.consts = {i.name: numpy_helper.to_array(i).astype(np.float64)
                       if numpy_helper.to_array(i).dtype.kind == "f" else numpy_helper.to_array(i)
                       for i in g.initializer}
        self.input_name = g.input[0].name
        self.input_shape = [d.dim_value for d in g.input[0].type.tensor_type.shape.dim]
        self.outputs = [o.name for o in g.output]

    def run(self, nhwc):
        env = dict(self.consts)
        env[self.input_name] = nhwc.astype(np.float64)
        for node in self.model.graph.node:
            a = _attrs(node)
            ins = [env[i] if i else None for i in node.input]
            op = node.op_type
            if op == "Conv":
                y = _conv(ins[0], ins[1], ins[2] if len(ins) > 2 else None, a)
            elif op == "Relu":
                y = np.maximum(ins[0], 0)
            elif op == "Add":
                y = ins[0] + ins[1]
            elif op == "MaxPool":
                y = _maxpool(ins[0], a)
            elif op == "ConstantOfShape":
                value = numpy_helper.to_array(a["value"]) if "value" in a else np.zeros(1)
                y = np.full(tuple(int(v) for v in ins[0]), float(value.reshape(-1)[0]))
            elif op == "Concat":
                y = np.concatenate(ins, axis=a["axis"])
            elif op == "Transpose":
                y = np.transpose(ins[0], a["perm"])
            elif op == "Reshape":
                y = ins[0].reshape(tuple(int(v) for v in ins[1]))
            else:
                raise NotImplementedError(op)
            env[node.output[0]] = y
        return [env[o] for o in self.outputs]

    def raw(self, nhwc):
        """Per-anchor logits (896,) and regressors (896, 16) in input pixels."""
        outs = self.run(nhwc)
        scores = [o for o in outs if o.shape[-1] == 1]
        boxes = [o for o in outs if o.shape[-1] == 16]
        # Heads in anchor order: the 16x16 grid (512 rows) first.
        scores.sort(key=lambda o: -o.shape[1])
        boxes.sort(key=lambda o: -o.shape[1])
        logit = np.concatenate([s.reshape(-1) for s in scores])
        reg = np.concatenate([b.reshape(-1, 16) for b in boxes])
        return logit, reg


def bgr_means_to_network_input(planar):
    """(1,3,S,S) BGR-minus-means -> (1,S,S,3) RGB in [-1, 1], as the upstream network wants."""
    px = planar[0] + np.array(MEANS_BGR).reshape(3, 1, 1)
    rgb = px[::-1]
    return (rgb / 127.5 - 1.0).transpose(1, 2, 0)[None]


def reference_boxes(logit, reg, size, shift):
    """Upstream decode: (896, 4) corner boxes in input fractions and calibrated scores."""
    anchors = anchor_centres()
    c = anchors + reg[:, 0:2] / size
    wh = reg[:, 2:4] / size
    boxes = np.concatenate([c - wh / 2, c + wh / 2], axis=1)
    score = 1.0 / (1.0 + np.exp(-(logit + shift)))
    return boxes, score


def reference_points(reg, size):
    """Upstream decode of the six keypoints: (896, 6, 2) in input fractions."""
    return anchor_centres()[:, None, :] + reg[:, 4:16].reshape(-1, 6, 2) / size


# ---------------------------------------------------------------- detector-side maths

def letterbox(image_bgr, size):
    """Top-left letterbox into size x size exactly as the detector does it: the scale
    min(S/W, S/H) in single precision, cv::resize by that factor (OpenCV rounds each side and
    samples with the factor itself), padding with the means.

    Returns the planar (1,3,S,S) float input with means subtracted, and the scale."""
    import cv2
    h, w = image_bgr.shape[:2]
    sw = np.float32(size) / np.float32(w)
    sh = np.float32(size) / np.float32(h)
    scale = float(sh if sw > sh else sw)
    resized = cv2.resize(image_bgr, None, fx=scale, fy=scale, interpolation=cv2.INTER_LINEAR)
    rh, rw = resized.shape[:2]
    canvas = np.empty((size, size, 3), dtype=np.uint8)
    canvas[:] = np.array(MEANS_BGR, dtype=np.uint8)
    canvas[:rh, :rw] = resized
    planar = canvas.astype(np.float32).transpose(2, 0, 1)[None] - \
        np.array(MEANS_BGR, dtype=np.float32).reshape(1, 3, 1, 1)
    return planar.astype(np.float32), scale, (rw, rh)


def decode_rows(rows):
    """Our detector's decode of (N, L) rows -> (N, 4) corner boxes in fractions, scores."""
    rows = np.asarray(rows, dtype=np.float64)
    dx, dy, dw, dh, _, s, pcx, pcy, pw, ph = rows[:, :10].T
    cx = dx * 0.1 * pw + pcx
    cy = dy * 0.1 * ph + pcy
    w = np.exp(dw * 0.2) * pw
    h = np.exp(dh * 0.2) * ph
    x1 = cx - w / 2
    y1 = cy - h / 2
    return np.stack([x1, y1, x1 + w, y1 + h], axis=1), s


def decode_points(rows):
    """Our detector's decode of the landmarks after the first ten values: (N, K, 2) in
    fractions, each point encoded as the box centre."""
    rows = np.asarray(rows, dtype=np.float64)
    off = rows[:, 10:].reshape(len(rows), -1, 2)
    return off * 0.1 * rows[:, None, 8:10] + rows[:, None, 6:8]


def iou(a, b):
    ix = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    iy = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    inter = ix * iy
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter
    return inter / union if union > 0 else 0.0


def one_face(a, b, nms_iou, nested):
    """The detector's test for two boxes of one face: IoU above nms_iou or, for blending
    models, the smaller box holding at least half the larger's area and lying at least 80 %
    inside it."""
    if iou(a, b) > nms_iou:
        return True
    if not nested:
        return False
    area = lambda r: (r[2] - r[0]) * (r[3] - r[1])  # noqa: E731
    inter = max(0.0, min(a[2], b[2]) - max(a[0], b[0])) * max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    small, large = sorted((area(a), area(b)))
    return small >= 0.5 * large and inter >= 0.8 * small and inter > 0


def select(boxes, scores, threshold=SCORE_THRESHOLD, top_k=100, nms_iou=NMS_IOU, pool=0,
           blend=False):
    """The detector's selection: threshold; the best max(pool, top_k) by score (top_k
    without a pool); greedy suppression of IoU > nms_iou; the top_k best survivors. With
    blend, nested duplicates are one face too (one_face) and each kept box becomes the
    score-weighted mean of itself and the boxes it dropped.

    Returns (index, box) pairs, best first."""
    keep = np.nonzero(scores >= threshold)[0]
    # Stable sort so equal scores keep anchor order.
    order = keep[np.argsort(-scores[keep], kind="stable")][:max(pool, top_k) if pool else top_k]
    chosen, groups = [], []
    for i in order:
        owner = next((k for k, j in enumerate(chosen) if one_face(boxes[i], boxes[j], nms_iou, blend)),
                     None)
        if owner is None:
            chosen.append(int(i))
            groups.append([int(i)])
        else:
            groups[owner].append(int(i))
    out = []
    for j, group in zip(chosen[:top_k], groups):
        box = np.asarray(boxes[j], dtype=np.float64)
        if blend:
            w = np.array([scores[i] for i in group], dtype=np.float64) / float(scores[j])
            box = (w[:, None] * np.array([boxes[i] for i in group], np.float64)).sum(0) / w.sum()
        out.append((j, box))
    return out


def model_selection(model_dir):
    """select()'s pool, blend and nms_iou as a model directory's inference.json declares
    them."""
    import json
    with open(os.path.join(model_dir, "inference.json")) as f:
        section = json.load(f).get("Detection", {})
    return {"pool": section.get("CandidatePool", 0),
            "blend": section.get("OverlapMerge") == "OVERLAP_BLEND",
            "nms_iou": section.get("NmsThreshold", NMS_IOU)}
