#!/usr/bin/python3
"""The README's model table: recall and false positives of every model through the library
(the Python package over the C interface) on the hand-labelled calibration photos, with
top_k 10 and 100; on 2x2 and 4x4 mosaics of them (faces at 1/2 and 1/4 size) without and
with tiles, and what the tiles cost in CPU there; on crowds (3x3 and 4x4 grids of the
labelled faces, more faces a frame than ten candidates can hold) with top_k 10 and 100;
and the CPU time per frame relative to the first model.

    model_tools/model_table.py ROOT [MODEL ...]

ROOT holds the calibration photos extracted from their Debian packages (see
measure_calibration.py). MODEL is a name or path; the default is every model found
(nerova.models(): the bundled ones and any converted into the models folder).
Note: the converters' operating points were chosen on these same photos.
"""
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "python"))
import nerova  # noqa: E402
from measure_calibration import crowds, mosaic, score_image  # noqa: E402


def evaluate(det, items, top_k, tiles=None):
    det.top_k = top_k
    tp = fp = n = 0
    for img, lab in items:
        faces = det.detect(img, tiles=tiles)
        a, b = score_image([list(f.box) for f in faces], lab["faces"], lab.get("ignore", []))
        tp, fp, n = tp + a, fp + b, n + len(lab["faces"])
    return "%d/%d" % (tp, n), fp


def cpu_per_frame(det, items, tiles=None, rounds=3):
    t0 = time.process_time()
    for _ in range(rounds):
        for img, _ in items:
            det.detect(img, tiles=tiles)
    return (time.process_time() - t0) / (rounds * len(items))


def main():
    import cv2
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    models = sys.argv[2:] or list(nerova.models())
    labels = json.load(open(os.path.join(HERE, "calibration_labels.json")))["images"]
    photos = [(cv2.imread(root + lab["path"], cv2.IMREAD_COLOR), lab) for lab in labels]
    faces = [(img, lab) for img, lab in photos if lab["faces"]]
    halves = [mosaic([i for i, _ in faces[k:k + 4]], [l for _, l in faces[k:k + 4]], 2)
              for k in range(0, len(faces), 4)]
    quarters = [mosaic([i for i, _ in faces[:16]], [l for _, l in faces[:16]], 4)]
    crowd = crowds(*zip(*faces), 3) + crowds(*zip(*faces), 4, 80)
    print("| model | input | recall, top_k 10 | top_k 100 | false positives (top_k 100) | "
          "faces at 1/2 size | with `tiles=\"auto\"` | faces at 1/4 size | with tiles | "
          "tiles' CPU cost | crowds, top_k 10 | top_k 100 | CPU per frame |")
    print("|" + " --- |" * 13)
    dets = {name: nerova.FaceDetector(name, threads=1) for name in models}
    cells = {}
    for name, det in dets.items():
        r10, _ = evaluate(det, photos, 10)
        r100, fp = evaluate(det, photos, 100)
        mosaics = [evaluate(det, m, 100, t)[0] for m in (halves, quarters) for t in (None, "auto")]
        tiled = cpu_per_frame(det, halves + quarters, "auto", 1)
        untiled = cpu_per_frame(det, halves + quarters, None, 1)
        c10, _ = evaluate(det, crowd, 10)
        c100, _ = evaluate(det, crowd, 100)
        cells[name] = [r10, r100, fp, *mosaics, tiled / untiled, c10, c100]
    # CPU per frame in interleaved rounds, so that the shared machine's drift hits every
    # model alike.
    cpu = dict.fromkeys(dets, 0.0)
    for _ in range(5):
        for name, det in dets.items():
            cpu[name] += cpu_per_frame(det, photos, rounds=1)
    for name, det in dets.items():
        print("| `%s` | %dx%d | %s | %s | %d | %s | %s | %s | %s | %.1fx | %s | %s | %.2f |"
              % (name, *det.input_size, *cells[name], cpu[name] / cpu[models[0]]))
        det.close()


if __name__ == "__main__":
    main()
