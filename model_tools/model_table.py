#!/usr/bin/python3
"""The README's model tables, every model through the library (the Python package over the
C interface) on the hand-labelled calibration photos and on frames built from them.

    model_tools/model_table.py ROOT [MODEL ...] [--before REV --yunet-source DIR]

Selection table: recall at top_k 10 and 100, precision and face-free photos with a face, on
the photos and on crowds (rows of 3 to 10 faces shoulder to shoulder, measure_calibration.
crowds), for each model with the plain selection (top_k best rows into greedy suppression at
0.7, no pool), with the model's own selection (its inference.json "Detection"), and, with
--before, as revision REV built it (the bundled models as committed there, YuNet converted by
REV's converter from the source files in DIR).

Scale table: the same photos with tiles="auto"; faces at 1/2 and 1/4 size (2x2 and 4x4
mosaics) and the crowds without and with tiles; what tiles cost in CPU on the mosaics; and
the CPU time per frame relative to the first model, in interleaved rounds.

ROOT holds the calibration photos extracted from their Debian packages (see
measure_calibration.py). MODEL is a name or path; the default is every model found
(nerova.models(): the bundled ones and any converted into the models folder).
Note: the converters' operating points were chosen on these same photos.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "python"))
import nerova  # noqa: E402
from measure_calibration import crowds, mosaic, score_image  # noqa: E402


def evaluate(det, items, top_k=100, tiles=None):
    """"found/faces", precision, face-free frames with a face."""
    det.top_k = top_k
    tp = fp = n = free = 0
    for img, lab in items:
        faces = det.detect(img, tiles=tiles)
        a, b = score_image([list(f.box) for f in faces], lab["faces"], lab.get("ignore", []))
        tp, fp, n = tp + a, fp + b, n + len(lab["faces"])
        free += bool(faces) and not lab["faces"]
    return "%d/%d" % (tp, n), "%.3f" % (tp / (tp + fp) if tp + fp else 1.0), free


def cpu_per_frame(det, items, tiles=None, rounds=3):
    t0 = time.process_time()
    for _ in range(rounds):
        for img, _ in items:
            det.detect(img, tiles=tiles)
    return (time.process_time() - t0) / (rounds * len(items))


def selection_row(det, photos, crowd):
    r10, _, _ = evaluate(det, photos, 10)
    r100, p100, free = evaluate(det, photos, 100)
    c10, _, _ = evaluate(det, crowd, 10)
    c100, cp100, _ = evaluate(det, crowd, 100)
    return [r10, r100, p100, free, c10, c100, cp100]


def models_before(rev, names, yunet_source, workdir):
    """name -> model file as revision rev made it, for the names it can rebuild."""
    def show(path):
        return subprocess.run(["git", "-C", HERE, "show", "%s:%s" % (rev, path)], check=True,
                              capture_output=True).stdout
    found = {}
    for name in names:
        out = os.path.join(workdir, name)
        if name.startswith("face_detector_"):
            os.makedirs(out)
            for f in ("model.onnx", "inference.json"):
                with open(os.path.join(out, f), "wb") as dst:
                    dst.write(show("models/%s/%s" % (name, f)))
        elif name.startswith("yunet_n_") and yunet_source:
            tools = os.path.join(workdir, "tools")
            os.makedirs(tools, exist_ok=True)
            for f in ("convert_yunet.py", "blazeface_ref.py"):
                with open(os.path.join(tools, f), "wb") as dst:
                    dst.write(show("model_tools/" + f))
            size = name.split("_")[-1]
            src = os.path.join(yunet_source, "yunet_n_%s_%s.onnx" % (size, size))
            samples = [os.path.join(HERE, "..", "models", "samples", s)
                       for s in sorted(os.listdir(os.path.join(HERE, "..", "models", "samples")))
                       if s.endswith(".jpg")]
            subprocess.run([sys.executable, os.path.join(tools, "convert_yunet.py"), src, out,
                            "--images", *samples], check=True, capture_output=True)
        else:
            continue
        found[name] = os.path.join(out, "model.onnx")
    return found


def main():
    import cv2
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("root")
    ap.add_argument("models", nargs="*")
    ap.add_argument("--before", help="a git revision whose models to measure beside")
    ap.add_argument("--yunet-source", help="folder of yunet_n_320_320.onnx / _640_640.onnx")
    args = ap.parse_args()
    models = args.models or list(nerova.models())
    labels = json.load(open(os.path.join(HERE, "calibration_labels.json")))["images"]
    photos = [(cv2.imread(args.root + lab["path"], cv2.IMREAD_COLOR), lab) for lab in labels]
    faces = [(img, lab) for img, lab in photos if lab["faces"]]
    free = [img for img, lab in photos if not lab["faces"]]
    halves = [mosaic([i for i, _ in faces[k:k + 4]], [l for _, l in faces[k:k + 4]], 2)
              for k in range(0, len(faces), 4)]
    quarters = [mosaic([i for i, _ in faces[:16]], [l for _, l in faces[:16]], 4)]
    crowd = crowds(*zip(*faces), free)
    dets = {name: nerova.FaceDetector(name, threads=1) for name in models}

    print("| model | selection | recall, top_k 10 | top_k 100 | precision | face-free photos "
          "with a face | crowds, top_k 10 | top_k 100 | precision |")
    print("|" + " --- |" * 9)
    with tempfile.TemporaryDirectory() as tmp:
        before = models_before(args.before, models, args.yunet_source, tmp) if args.before else {}
        for name, det in dets.items():
            pool, merge, nms = det.candidate_pool, det.overlap_merge, det.nms_threshold
            det.candidate_pool, det.overlap_merge, det.nms_threshold = 0, "drop", 0.7
            rows = [("plain: top_k into suppression at 0.7", selection_row(det, photos, crowd))]
            det.candidate_pool, det.overlap_merge, det.nms_threshold = pool, merge, nms
            if name in before:
                with nerova.FaceDetector(before[name], threads=1) as old:
                    rows.append(("as %s built it (3×3 peak rule)" % args.before,
                                 selection_row(old, photos, crowd)))
            rows.append(("**the model's: pool %d, %s, %.1f**" % (pool, merge, nms),
                         selection_row(det, photos, crowd)))
            for label, cells in rows:
                print("| `%s` | %s | %s | %s | %s | %d | %s | %s | %s |" % (name, label, *cells))

    print()
    print("| model | input | photos, `tiles=\"auto\"`: recall | precision | face-free photos "
          "with a face | faces at 1/2 size | tiled | faces at 1/4 size | tiled | crowds | tiled | "
          "tiles' CPU cost | CPU per frame |")
    print("|" + " --- |" * 13)
    cells = {}
    for name, det in dets.items():
        tiled = evaluate(det, photos, 100, "auto")
        scaled = [evaluate(det, m, 100, t)[0] for m in (halves, quarters, crowd)
                  for t in (None, "auto")]
        cost = (cpu_per_frame(det, halves + quarters, "auto", 1)
                / cpu_per_frame(det, halves + quarters, None, 1))
        cells[name] = [*tiled, *scaled, cost]
    # CPU per frame in interleaved rounds, so that the shared machine's drift hits every
    # model alike.
    cpu = dict.fromkeys(dets, 0.0)
    for _ in range(5):
        for name, det in dets.items():
            cpu[name] += cpu_per_frame(det, photos, rounds=1)
    for name, det in dets.items():
        print("| `%s` | %dx%d | %s | %s | %d | %s | %s | %s | %s | %s | %s | %.1fx | %.2f |"
              % (name, *det.input_size, *cells[name], cpu[name] / cpu[models[0]]))
        det.close()


if __name__ == "__main__":
    main()
