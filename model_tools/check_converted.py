#!/usr/bin/python3
"""Checks a converted model, run through OpenCV DNN, against the upstream network evaluated
in numpy with the upstream decode.

Usage: model_tools/check_converted.py UPSTREAM.onnx CONVERTED.onnx [--shift X]

Inputs: the sample photos letterboxed as the detector does, plus synthetic letterboxed
frames (tall, wide, tiny, noise, a bare pad). For every input the faces selected from each
side (score >= 0.95, top 100 with the model's pool and merge rule, suppression at IoU > 0.7) must be the same count and pair up
at IoU >= 0.99; the raw rows must also agree. Exits 1 on any mismatch.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import blazeface_ref as ref  # noqa: E402
import convert_blazeface as conv  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = ("group_1897.jpg", "astronaut.jpg", "astronaut_tiles.jpg", "no_face_coffee.jpg")
MIN_IOU = 0.99
SCORE_TOL = 1e-3  # float32 body vs float64 numpy: logits differ by ~1e-3 at most


def synthetic_frames():
    """Deterministic frames that stress the letterbox: extreme aspect ratios both ways, a
    frame smaller than the input, noise, and pure padding."""
    import cv2
    astro = cv2.imread(os.path.join(REPO, "models", "samples", "astronaut.jpg"))
    group = cv2.imread(os.path.join(REPO, "models", "samples", "group_1897.jpg"))
    rng = np.random.default_rng(7)
    tall = np.vstack([astro, np.full((700, 512, 3), 90, np.uint8)])
    wide = np.hstack([group, astro[:347, :], group])
    return {
        "tall astronaut 512x1212": tall,
        "wide strip 1512x347": wide,
        "small astronaut 100x100": cv2.resize(astro, (100, 100), interpolation=cv2.INTER_AREA),
        "noise 320x240": rng.integers(0, 256, (240, 320, 3), dtype=np.uint8),
        "pad colour only": np.tile(np.array(ref.MEANS_BGR, np.uint8), (64, 64, 1)),
    }


def compare(name, planar, size, net, cvnet, shift, selection):
    """Returns a list of problems for one input (empty when the two sides agree)."""
    problems = []
    logit, reg = net.raw(ref.bgr_means_to_network_input(planar))
    rb, rs = ref.reference_boxes(logit, reg, size, shift)
    cvnet.setInput(planar)
    rows = cvnet.forward()
    if rows.shape != (1, conv.ANCHORS, conv.ROW):
        return [f"{name}: output shape {rows.shape}"]
    rows = rows[0]
    cb, cs = ref.decode_rows(rows)
    point_err = float(np.abs(ref.reference_points(reg, size) - ref.decode_points(rows)).max())

    # Row-level agreement: scores everywhere; boxes wherever the upstream size is usable
    # (the converter floors non-positive sizes, which the upstream decode does not).
    valid = (reg[:, 2] > conv.MIN_SIZE_PX) & (reg[:, 3] > conv.MIN_SIZE_PX)
    score_err = float(np.abs(rs - cs).max())
    box_err = float(np.abs(rb - cb)[valid].max())
    bg_err = float(np.abs(rows[:, 4] + rows[:, 5] - 1).max())
    prior_err = float(np.abs(rows[:, 6:8] - ref.anchor_centres()).max())
    if score_err > SCORE_TOL:
        problems.append(f"{name}: score differs by {score_err:.2e}")
    if box_err > 1e-4:
        problems.append(f"{name}: box differs by {box_err:.2e} of the input")
    if point_err > 1e-4:
        problems.append(f"{name}: a landmark differs by {point_err:.2e} of the input")
    if bg_err > 1e-5 or prior_err > 1e-6:
        problems.append(f"{name}: background/prior columns off ({bg_err:.1e}, {prior_err:.1e})")

    ref_sel = ref.select(rb, rs, **selection)
    cv_sel = ref.select(cb, cs, **selection)
    ious = []
    if len(ref_sel) != len(cv_sel):
        problems.append(f"{name}: {len(ref_sel)} upstream faces, {len(cv_sel)} converted")
    for i, box in ref_sel:
        best = max((ref.iou(box, other) for _, other in cv_sel), default=0.0)
        ious.append(best)
        if best < MIN_IOU:
            problems.append(f"{name}: upstream face at anchor {i} best IoU {best:.4f}")
    worst = min(ious) if ious else float("nan")
    print(f"  {name:26s} faces {len(ref_sel):2d}/{len(cv_sel):2d}  min IoU {worst:.6f}  "
          f"max score diff {score_err:.1e}  max box diff {box_err:.1e}  "
          f"max point diff {point_err:.1e}")
    return problems


def main():
    import cv2
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("upstream")
    ap.add_argument("converted")
    ap.add_argument("--shift", type=float, default=None,
                    help="expected logit shift (default: the converter's for this size)")
    args = ap.parse_args()
    net = ref.NumpyNet(args.upstream)
    size = net.input_shape[1]
    shift = args.shift if args.shift is not None else conv.DEFAULT_SHIFT[size]
    cvnet = cv2.dnn.readNetFromONNX(args.converted)
    selection = ref.model_selection(os.path.dirname(os.path.abspath(args.converted)))
    print(f"{args.converted}: input {size}, shift {shift:.6f}")

    frames = {s: cv2.imread(os.path.join(REPO, "models", "samples", s)) for s in SAMPLES}
    frames.update(synthetic_frames())
    problems = []
    for name, img in frames.items():
        planar, _, _ = ref.letterbox(img, size)
        problems += compare(name, planar, size, net, cvnet, shift, selection)
    if problems:
        print("MISMATCH:\n  " + "\n  ".join(problems))
        return 1
    print("agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
