#!/usr/bin/python3
"""Runs every model on the labelled calibration photos, their mosaics and crowd frames on
both backends (XNNPACK's body, and OpenCV DNN alone through the plain device) and reports
whether they find the same faces: the same count, boxes within 0.01 px, scores within 1e-4.

    compare_backends.py ROOT [MODEL ...]

ROOT is the folder the labelled photos' packages were unpacked into (see
measure_calibration.py); MODEL names or paths default to the bundled models and the
converted YuNet ones in models/ where present. Exit status 1 when any frame differs.
"""
import os
import sys

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "python"))
sys.path.insert(0, here)

import nerova  # noqa: E402
from measure_int8 import frames  # noqa: E402


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    models = sys.argv[2:] or [m for m in ("face_detector_back_256", "face_detector_front_128",
                                          "yunet_n_320", "yunet_n_640")
                              if os.path.isdir(os.path.join(here, "..", "models", m))]
    todo = [(name, img) for name, img, _ in frames(root)]
    differing = 0
    for model in models:
        for tiles in ("off", "auto"):
            fast = nerova.FaceDetector(model, top_k=100, tiles=tiles)
            plain = nerova.FaceDetector(model, top_k=100, tiles=tiles, device="DEVICE_NAIVE")
            faces = worst_box = worst_score = 0.0
            bad = []
            for name, img in todo:
                a, b = fast.detect(img), plain.detect(img)
                if len(a) != len(b):
                    bad.append("%s: %d against %d faces" % (name, len(a), len(b)))
                    continue
                for fa, fb in zip(a, b):
                    worst_box = max(worst_box, float(np.max(np.abs(
                        np.subtract(fa.box_float, fb.box_float)))))
                    worst_score = max(worst_score, abs(fa.score - fb.score))
                faces += len(a)
            same = not bad and worst_box <= 0.01 and worst_score <= 1e-4
            differing += 0 if same else 1
            print("%-24s tiles %-4s %3d frames %4d faces  largest box difference %.2g px, "
                  "score %.2g  %s" % (model, tiles, len(todo), faces, worst_box, worst_score,
                                       "same" if same else "DIFFERENT"))
            for line in bad:
                print("    " + line)
    sys.exit(1 if differing else 0)


if __name__ == "__main__":
    main()
