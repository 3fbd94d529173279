#!/usr/bin/python3
"""Landmark error of the detector's models on the hand-labelled calibration photos, against
dlib's 68-point shape predictor as an independent reference (landmark_reference.cc).

Needs, besides the model tools' packages:
    apt-get install libdlib-dev libdlib-data rapidjson-dev
Usage:
    model_tools/measure_landmarks.py ROOT [MODEL ...] [--build DIR] [--reference FILE]
                                     [--predictor DAT] [--faces]

ROOT holds the calibration photos extracted from their Debian packages (see
measure_calibration.py). MODEL is a model name or path; by default every model the package
finds that has landmarks. The reference program is built into DIR (default /tmp) and its
output kept in FILE (default DIR/landmark_reference.json), rebuilt when the labels, the
program or the predictor (DAT, default the one libdlib-data installs) change. --faces lists
every face's error.

Per model: faces compared of those labelled (a labelled face counts when the detector finds
it, IoU >= 0.4 with the hand box as in measure_calibration.py), then the normalised mean
error (NME): the mean distance of the model's points from the reference points of the same
name, over the reference interocular distance; median, mean, the share under 0.10, and each
point's mean. Points without a reference (ear tragions) are not compared. The detector offers
no way to switch landmark decoding off, so its cost per frame is not measured here.
"""
import argparse
import json
import os
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from blazeface_ref import iou  # noqa: E402
from measure_calibration import MATCH_IOU  # noqa: E402

PREDICTOR = "/usr/share/dlib/shape_predictor_68_face_landmarks.dat"
LABELS = os.path.join(HERE, "calibration_labels.json")
POINTS = ("right_eye", "left_eye", "nose_tip", "right_mouth_corner", "left_mouth_corner",
          "mouth_centre")  # what the reference gives


def reference(root, build, cache, predictor):
    """The reference JSON for ROOT, from the cache when it is newer than its inputs."""
    inputs = [LABELS, os.path.join(HERE, "landmark_reference.cc"), predictor]
    if os.path.exists(cache) and all(os.path.getmtime(cache) > os.path.getmtime(p)
                                     for p in inputs):
        data = json.load(open(cache))
        if data.get("root") == root:
            return data
    if not os.path.exists(predictor):
        sys.exit(f"no shape predictor at {predictor}: apt-get install libdlib-data")
    program = subprocess.run([os.path.join(HERE, "landmark_reference.sh"), build], check=True,
                             stdout=subprocess.PIPE, text=True).stdout.strip()
    run = subprocess.run([program, LABELS, root, predictor], stdout=subprocess.PIPE, text=True)
    if run.returncode != 0:
        sys.exit(f"{program} failed ({run.returncode})")
    data = json.loads(run.stdout)
    data["root"] = root  # the same labels under another root are other photos
    with open(cache, "w") as f:
        json.dump(data, f, indent=1)
    return data


def check_reference(ref, labels):
    """Every labelled face has an entry, in label order, with a usable eye distance; the
    person's right eye lies on the image's left (these photos have no face upside down)."""
    for lab in labels:
        faces = ref["images"].get(lab["path"], []) if lab["faces"] else []
        assert len(faces) == len(lab["faces"]), lab["path"]
        for face in filter(None, faces):
            assert face["interocular"] > 0 and set(POINTS) <= set(face), lab["path"]
            assert face["right_eye"][0] < face["left_eye"][0], lab["path"]


def errors(labels, ref, detections, names):
    """Per compared face (path, index, NME, {point: normalised error}). detections: path ->
    list of (box, (K, 2) points named by names), any order."""
    compared = [(k, n) for k, n in enumerate(names) if n in POINTS]
    out = []
    for lab in labels:
        for i, (box, face) in enumerate(zip(lab["faces"], ref["images"].get(lab["path"], []))):
            if face is None:
                continue
            overlap, points = max(((iou(d, box), p) for d, p in detections.get(lab["path"], [])),
                                  key=lambda t: t[0], default=(0.0, None))
            if overlap < MATCH_IOU:
                continue
            each = {n: float(np.hypot(*(points[k] - face[n]))) / face["interocular"]
                    for k, n in compared}
            out.append((lab["path"], i, float(np.mean(list(each.values()))), each))
    return out


def self_check(labels, ref):
    """The reference moved by a known amount must come out at that error, found through a
    box that roughly covers the hand box (IoU 0.74) beside one that overlaps less (0.54)
    and one far away; a box at IoU 0.33 alone finds nothing."""
    names = ("left_eye", "right_ear_tragion", "nose_tip", "mouth_centre")  # any order
    detections, poor = {}, {}
    for lab in labels:
        for box, face in zip(lab["faces"], ref["images"].get(lab["path"], [])):
            if face:
                w, d = box[2] - box[0], face["interocular"]
                points = np.array([face.get(n, [0.0, 0.0]) for n in names])
                at = lambda dx: [box[0] + dx * w, box[1], box[2] + dx * w, box[3]]
                detections.setdefault(lab["path"], []).extend([
                    (at(3), points), (at(0.3), points + [0, 2 * d]),
                    (at(0.15), points + [0.6 * d, 0.8 * d])])  # 1.0 at every point
                poor.setdefault(lab["path"], []).append((at(0.5), points))
    got = errors(labels, ref, detections, names)
    assert len(got) == sum(1 for v in ref["images"].values() for f in v if f), len(got)
    for *_, nme, each in got:
        assert set(each) == {"left_eye", "nose_tip", "mouth_centre"}, each
        assert abs(nme - 1.0) < 1e-9, nme
    assert not errors(labels, ref, poor, names)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root")
    parser.add_argument("models", nargs="*")
    parser.add_argument("--build", default="/tmp")
    parser.add_argument("--reference")
    parser.add_argument("--predictor", default=PREDICTOR)
    parser.add_argument("--faces", action="store_true")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    labels = json.load(open(LABELS))["images"]
    ref = reference(root, args.build, args.reference
                    or os.path.join(args.build, "landmark_reference.json"), args.predictor)
    check_reference(ref, labels)
    self_check(labels, ref)
    faces = [f for v in ref["images"].values() for f in v]
    labelled = sum(len(lab["faces"]) for lab in labels)
    print(f"reference: {sum(1 for f in faces if f)} of {labelled} labelled faces; rectangle "
          f"from dlib's detector {sum(1 for f in faces if f and f['rect'] == 'detector')}, "
          f"from the hand box {sum(1 for f in faces if f and f['rect'] == 'label')}")

    models, detectors = open_models(args.models)
    import cv2
    images = {lab["path"]: cv2.imread(root + lab["path"], cv2.IMREAD_COLOR)
              for lab in labels if lab["faces"]}
    print("\n| model | faces compared | median NME | mean NME | NME < 0.10 | "
          + " | ".join(POINTS) + " |")
    print("| --- " * (5 + len(POINTS)) + "|")
    details = []
    for name, det in zip(models, detectors):
        names = tuple(det.landmark_names)
        detections = {}
        for path, img in images.items():
            for face in det.detect(img):
                if not hasattr(face, "landmarks"):
                    sys.exit(MISSING % "Face.landmarks")
                points = np.asarray(face.landmarks, dtype=np.float64)
                if points.shape != (len(names), 2):
                    sys.exit(f"{name}: landmarks of shape {points.shape}, expected "
                             f"({len(names)}, 2) for {names}")
                detections.setdefault(path, []).append((face.box, points))
        got = errors(labels, ref, detections, names)
        nme = np.array([g[2] for g in got])
        per_point = [np.mean([g[3][p] for g in got]) if got and p in names else None
                     for p in POINTS]
        stats = (f"{np.median(nme):.3f} | {nme.mean():.3f} | {np.mean(nme < 0.10):.2f}"
                 if got else "- | - | -")
        print(f"| {name} | {len(got)}/{labelled} | {stats} | "
              + " | ".join("-" if v is None else f"{v:.3f}" for v in per_point) + " |")
        details += [(name, *g) for g in got]
    if args.faces:
        print()
        for name, path, i, nme, each in details:
            rect = ref["images"][path][i]["rect"]
            print(f"{name} {os.path.basename(path)}#{i} ({rect}) NME {nme:.3f}: "
                  + ", ".join(f"{n} {v:.3f}" for n, v in each.items()))


MISSING = "the nerova package has no landmarks yet (%s is missing)"


def open_models(requested):
    """Detectors on the requested models, or on every model with landmarks; exits with a
    message when the package predates landmarks."""
    sys.path.insert(0, os.path.join(HERE, "..", "python"))
    try:
        import nerova
    except ImportError as e:
        sys.exit(f"cannot import the nerova package: {e}")
    candidates = requested or list(nerova.models())
    models, detectors = [], []
    for name in candidates:
        det = nerova.FaceDetector(name, threads=1)
        det.top_k = 100
        if not hasattr(det, "landmark_names"):
            sys.exit(MISSING % "FaceDetector.landmark_names")
        if det.landmark_names:
            models.append(name)
            detectors.append(det)
        elif requested:
            print(f"{name}: no landmarks", file=sys.stderr)
    if not models:
        sys.exit("no model with landmarks among " + ", ".join(candidates))
    return models, detectors


if __name__ == "__main__":
    main()
