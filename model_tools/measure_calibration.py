#!/usr/bin/python3
"""Recall and false positives of the upstream networks on the hand-labelled photos, per
operating point, to choose the logit shift that the converter bakes in.

The photos come from Debian packages (see calibration_labels.json); extract them first:
    apt-get download gramps python3-skimage opencv-doc gnome-control-center-data
    for f in *.deb; do dpkg -x "$f" ROOT; done
Then: model_tools/measure_calibration.py ROOT FRONT_128.onnx BACK_256.onnx

Besides each photo as it is, the face photos are also tiled into 2x2 and 4x4 mosaics, which
shrinks every face to a half or a quarter of its share of the frame: group photos with small
faces are where the two networks differ.
"""

import json
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import blazeface_ref as ref  # noqa: E402

MATCH_IOU = 0.4       # hand boxes are approximate; a face counts as found above this
ORIGINAL_POINTS = (0.3, 0.4, 0.5, 0.55, 0.6, 0.65, 0.7, 0.75, 0.8, 0.85, 0.9)


def mosaic(images, labels, grid, tile=(320, 240)):
    import cv2
    tw, th = tile
    canvas = np.full((th * grid, tw * grid, 3), 128, dtype=np.uint8)
    faces, ignore = [], []
    for k, (img, lab) in enumerate(zip(images, labels)):
        r, c = divmod(k, grid)
        h, w = img.shape[:2]
        s = min(tw / w, th / h)
        rw, rh = int(round(w * s)), int(round(h * s))
        canvas[r * th:r * th + rh, c * tw:c * tw + rw] = cv2.resize(img, (rw, rh))
        for key, dst in (("faces", faces), ("ignore", ignore)):
            for b in lab.get(key, []):
                dst.append([c * tw + b[0] * s, r * th + b[1] * s, c * tw + b[2] * s, r * th + b[3] * s])
    return canvas, {"faces": faces, "ignore": ignore}


def crowds(images, labels, backgrounds, size=(640, 480)):
    """Group photos made of the labelled faces: rows of 3 to 10 faces standing shoulder to
    shoulder (a face's crop, 1.25 times its width, touches the next one's, or covers its
    margin so that the faces themselves touch), faces 1/16 to 1/8 of the frame width, over
    face-free photos. Every face is used twice, the second time
    mirrored. Neighbouring faces put their best anchors in neighbouring cells of the
    network's grid, which is where a selection that keeps ten rows before suppression, or a
    rule that keeps one peak per 3x3 cells, loses real faces."""
    import cv2
    crops = []
    for img, lab in zip(images, labels):
        for x1, y1, x2, y2 in lab["faces"]:
            fw, fh = x2 - x1, y2 - y1
            cx, cy = (x1 + x2) / 2, (y1 + y2) / 2
            hw, hh = 0.625 * fw, 0.8 * fh
            cx1, cy1 = int(max(0, cx - hw)), int(max(0, cy - hh))
            cx2, cy2 = int(min(img.shape[1], cx + hw)), int(min(img.shape[0], cy + hh))
            crops.append((img[cy1:cy2, cx1:cx2], (x1 - cx1, y1 - cy1, x2 - cx1, y2 - cy1), fw))
    crops += [(c[:, ::-1], (c.shape[1] - b[2], b[1], c.shape[1] - b[0], b[3]), fw)
              for c, b, fw in crops]
    width, height = size
    frames, k = [], 0
    # (frame width / face width, faces a row, step from face to face in face widths)
    layouts = [(16, 10, 1.25), (12, 7, 1.0), (8, 5, 1.25), (16, 3, 1.0), (12, 9, 1.0), (8, 4, 1.25)]
    for f, (share, per_row, step) in enumerate(layouts * 2):
        bg = backgrounds[f % len(backgrounds)]
        canvas = cv2.resize(bg, size, interpolation=cv2.INTER_AREA)
        face_w = width / share
        faces, y = [], 8.0
        while True:
            row = [crops[(k + i) % len(crops)] for i in range(per_row)]
            scaled = [(c, b, face_w / fw) for c, b, fw in row]
            row_h = max(c.shape[0] * s for c, _, s in scaled)
            if y + row_h > height:
                break
            x = (width - face_w * step * (per_row - 1) - scaled[-1][0].shape[1] * scaled[-1][2]) / 2
            for crop, box, s in scaled:
                w, h = max(1, int(round(crop.shape[1] * s))), max(1, int(round(crop.shape[0] * s)))
                ix, iy = int(round(x)), int(round(y))
                part = cv2.resize(crop, (w, h))[:height - iy, :width - ix]
                canvas[iy:iy + part.shape[0], ix:ix + part.shape[1]] = part
                faces.append([ix + box[0] * s, iy + box[1] * s, ix + box[2] * s, iy + box[3] * s])
                x += face_w * step
            k += per_row
            y += row_h * 0.9  # the next row stands a little behind, overlapping the last
        frames.append((canvas, {"faces": faces, "ignore": []}))
    return frames


def score_image(boxes, faces, ignore):
    """True positives, false positives for boxes (best first) against labels."""
    used = set()
    tp = fp = 0
    for b in boxes:
        best, bi = 0.0, -1
        for i, f in enumerate(faces):
            if i not in used:
                v = ref.iou(b, f)
                if v > best:
                    best, bi = v, i
        if best >= MATCH_IOU:
            used.add(bi)
            tp += 1
        elif any(ref.iou(b, g) >= 0.3 for g in ignore):
            continue
        else:
            fp += 1
    return tp, fp


def main():
    import cv2
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    root, front, back = sys.argv[1:]
    here = os.path.dirname(os.path.abspath(__file__))
    labels = json.load(open(os.path.join(here, "calibration_labels.json")))["images"]
    sets = {"photos": []}
    face_imgs, face_labs = [], []
    for lab in labels:
        img = cv2.imread(root + lab["path"], cv2.IMREAD_COLOR)
        if img is None:
            sys.exit(f"missing {root + lab['path']} (package {lab['package']})")
        sets["photos"].append((img, lab))
        if lab["faces"]:
            face_imgs.append(img)
            face_labs.append(lab)
    sets["mosaic 2x2"] = [mosaic(face_imgs[i:i + 4], face_labs[i:i + 4], 2)
                          for i in range(0, len(face_imgs), 4)]
    sets["mosaic 4x4"] = [mosaic(face_imgs[:16], face_labs[:16], 4)]

    results = {}
    for name, path, size in (("front_128", front, 128), ("back_256", back, 256)):
        net = ref.NumpyNet(path)
        # The bundled models' selection (the same for both).
        selection = ref.model_selection(os.path.join(here, "..", "models", "face_detector_back_256"))
        for set_name, items in sets.items():
            raws = []
            for img, lab in items:
                planar, scale, _ = ref.letterbox(img, size)
                logit, reg = net.raw(ref.bgr_means_to_network_input(planar))
                raws.append((logit, reg, scale, lab))
            for t in ORIGINAL_POINTS:
                shift = math.log(0.95 / 0.05) - math.log(t / (1 - t))
                tp = fp = nf = fp_neg = 0
                for logit, reg, scale, lab in raws:
                    boxes, score = ref.reference_boxes(logit, reg, size, shift)
                    keep = ref.select(boxes, score, **selection)
                    px = [box * size / scale for _, box in keep]
                    a, b = score_image(px, lab["faces"], lab.get("ignore", []))
                    tp += a
                    fp += b
                    nf += len(lab["faces"])
                    if not lab["faces"]:
                        fp_neg += b
                results[(name, set_name, t)] = (tp, nf, fp, fp_neg)
    print("model      set         orig_t  shift   recall        FP  (on face-free photos)")
    for (name, set_name, t), (tp, nf, fp, fp_neg) in results.items():
        shift = math.log(19) - math.log(t / (1 - t))
        print(f"{name:10s} {set_name:11s} {t:5.2f}  {shift:5.3f}  {tp:3d}/{nf:3d} {tp / nf:5.2f}  "
              f"{fp:3d}  ({fp_neg})")


if __name__ == "__main__":
    main()
