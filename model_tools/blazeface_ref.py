"""Independent numpy reference for the upstream face networks and our detector's maths.

The upstream network is evaluated here op by op in plain numpy (it only uses Conv, Relu,
Add, MaxPool, ConstantOfShape, Concat, Transpose and Reshape), so the converted model can be
checked against something that does not share OpenCV's importer. The same module holds the
detector-side pieces (letterbox, decode of the ten-float rows, greedy suppression) so the
checks and the reference data use one definition of each.
"""

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
    return boxes, peaks(score)


def peaks(score):
    """Scores with every anchor that is not the best of its 3x3 cells (all anchors of those
    cells, per grid) set to 0, as the converted models do."""
    out, start = [], 0
    for cells, per_cell in HEADS:
        grid = score[start:start + cells * cells * per_cell].reshape(cells, cells, per_cell)
        start += cells * cells * per_cell
        padded = np.pad(grid.max(axis=2), 1, constant_values=-np.inf)
        best = np.max([padded[dy:dy + cells, dx:dx + cells] for dy in range(3) for dx in range(3)],
                      axis=0)
        out.append(np.where(grid >= best[:, :, None], grid, 0.0).ravel())
    return np.concatenate(out)


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
    """Our detector's decode of (N, 10) rows -> (N, 4) corner boxes in fractions, scores."""
    rows = np.asarray(rows, dtype=np.float64)
    dx, dy, dw, dh, _, s, pcx, pcy, pw, ph = rows.T
    cx = dx * 0.1 * pw + pcx
    cy = dy * 0.1 * ph + pcy
    w = np.exp(dw * 0.2) * pw
    h = np.exp(dh * 0.2) * ph
    x1 = cx - w / 2
    y1 = cy - h / 2
    return np.stack([x1, y1, x1 + w, y1 + h], axis=1), s


def iou(a, b):
    ix = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    iy = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    inter = ix * iy
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter
    return inter / union if union > 0 else 0.0


def select(boxes, scores, threshold=SCORE_THRESHOLD, top_k=100, nms_iou=NMS_IOU):
    """Threshold, best top_k by score, then greedy suppression of IoU > nms_iou.

    Returns indices into boxes, best first."""
    keep = np.nonzero(scores >= threshold)[0]
    # Stable sort so equal scores keep anchor order.
    order = keep[np.argsort(-scores[keep], kind="stable")][:top_k]
    chosen = []
    for i in order:
        if all(iou(boxes[i], boxes[j]) <= nms_iou for j in chosen):
            chosen.append(int(i))
    return chosen
