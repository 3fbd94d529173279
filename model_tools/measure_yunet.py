#!/usr/bin/python3
"""Recall and false positives of YuNet_n through the detector's pipeline (numpy reference
of convert_yunet.py), per operating point, on the hand-labelled calibration photos: how the
converter's operating point was chosen.

    model_tools/measure_yunet.py ROOT yunet_n_320_320.onnx [yunet_n_640_640.onnx ...]

ROOT holds the calibration photos extracted from their Debian packages (see
measure_calibration.py). top_k is the tool's 100.
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import convert_yunet as yunet  # noqa: E402
from measure_calibration import mosaic, score_image  # noqa: E402

POINTS = (0.5, 0.6, 0.65, 0.7, 0.75, 0.8)


def main():
    import cv2
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    root, sources = sys.argv[1], sys.argv[2:]
    here = os.path.dirname(os.path.abspath(__file__))
    labels = json.load(open(os.path.join(here, "calibration_labels.json")))["images"]
    photos = [(cv2.imread(root + lab["path"], cv2.IMREAD_COLOR), lab) for lab in labels]
    faces = [(img, lab) for img, lab in photos if lab["faces"]]
    sets = {"photos": photos,
            "mosaic 2x2": [mosaic([i for i, _ in faces[k:k + 4]], [l for _, l in faces[k:k + 4]], 2)
                           for k in range(0, len(faces), 4)]}
    print("model        set          point  recall      FP (face-free photos)")
    for src in sources:
        net = cv2.dnn.readNetFromONNX(src)
        size = [d.dim_value for d in yunet.onnx.load(src).graph.input[0].type.tensor_type.shape.dim][2]
        for set_name, items in sets.items():
            for point in POINTS:
                tp = fp = n = fp_free = 0
                for img, lab in items:
                    found = yunet.detect_reference(net, img, size, point, top_k=100)
                    a, b = score_image([f[1:] for f in found], lab["faces"], lab.get("ignore", []))
                    tp, fp, n = tp + a, fp + b, n + len(lab["faces"])
                    fp_free += b if not lab["faces"] else 0
                print("yunet_n_%-4d %-12s %.2f   %3d/%3d %.2f %3d (%d)"
                      % (size, set_name, point, tp, n, tp / n, fp, fp_free))


if __name__ == "__main__":
    main()
