#!/usr/bin/python3
"""Whether a model in int8 finds the faces it finds in float: calibrates it on the labelled
calibration photos (each photo, their 2x2 mosaics and the crowd frames; see
measure_calibration.py for unpacking them), then detects on the same frames, whole and on
automatic tiles, in float and in int8. A face found in float must be found in int8 at an
IoU of 0.9 or more, its score within 0.02 and every landmark within 1 % of the distance
between its eyes; int8 must find no other face; on the crowd frames int8 may miss at most
one labelled face more than float.

    measure_int8.py ROOT [MODEL ...] [--calibrate TOOL] [--keep FOLDER]

MODEL names or paths default to the bundled models and the converted YuNet ones found by
name. TOOL is nerova_calibrate_int8 (default: build/apps/ of this checkout). --keep leaves
each int8 model folder (model, inference.json, calibration.txt) in FOLDER/NAME. Exit status 1
when a model fails.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "python"))
sys.path.insert(0, here)

import nerova  # noqa: E402

MATCH_IOU = 0.9
SCORE = 0.02
LANDMARK = 0.01  # of the eye distance
CROWD_IOU = 0.4  # hand labels are approximate (as in measure_calibration.py)


def iou(a, b):
    w = min(a[2], b[2]) - max(a[0], b[0])
    h = min(a[3], b[3]) - max(a[1], b[1])
    if w <= 0 or h <= 0:
        return 0.0
    inter = w * h
    return inter / ((a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter)


def same_faces(want, got, match_iou=MATCH_IOU):
    """What differs between faces found in float (want) and in int8 (got): a (kind, line) per
    face not held, kind "box", "score", "landmark" or "extra"; empty when every face is held.
    Also the worst IoU, score and landmark differences of the matched faces."""
    faults, used = [], set()
    worst = {"iou": 1.0, "score": 0.0, "landmark": 0.0}
    for w in want:
        best, k = 0.0, -1
        for i, g in enumerate(got):
            v = iou(w.box_float, g.box_float) if i not in used else 0.0
            if v > best:
                best, k = v, i
        if best < match_iou:
            faults.append(("box", "face %s: best int8 IoU %.3f" % (list(w.box), best)))
            continue
        used.add(k)
        g = got[k]
        worst["iou"] = min(worst["iou"], best)
        score = abs(g.score - w.score)
        worst["score"] = max(worst["score"], score)
        if score > SCORE:
            faults.append(("score", "face %s: score %.4f in float, %.4f in int8"
                           % (list(w.box), w.score, g.score)))
        names = list(w.landmark_names)
        if "right_eye" in names and "left_eye" in names and len(w.landmarks):
            eyes = np.linalg.norm(w.landmarks[names.index("right_eye")] -
                                  w.landmarks[names.index("left_eye")])
            moved = float(np.max(np.linalg.norm(g.landmarks - w.landmarks, axis=1)))
            share = moved / max(eyes, 1e-6)
            worst["landmark"] = max(worst["landmark"], share)
            if share > LANDMARK:
                faults.append(("landmark", "face %s: a landmark %.2f px off (%.1f %% of the "
                               "eyes' distance)" % (list(w.box), moved, 100 * share)))
    for i, g in enumerate(got):
        if i not in used:
            faults.append(("extra", "face %s found in int8 only (score %.4f)"
                           % (list(g.box), g.score)))
    return faults, worst


def int8_folder(model_file, calibration, folder):
    """A model folder that runs model_file's network in int8 on calibration: the network and
    its inference.json (its precision set to PRECISION_LOW) copied, the calibration beside."""
    os.makedirs(folder, exist_ok=True)
    source = os.path.dirname(model_file)
    shutil.copyfile(model_file, os.path.join(folder, "model.onnx"))
    with open(os.path.join(source, "inference.json")) as f:
        config = json.load(f)
    config.setdefault("NetworkConfig", {})["Precision"] = "PRECISION_LOW"
    with open(os.path.join(folder, "inference.json"), "w") as f:
        json.dump(config, f)
    shutil.copyfile(calibration, os.path.join(folder, "calibration.txt"))
    return os.path.join(folder, "model.onnx")


def calibrate(tool, model_file, output, photos):
    p = subprocess.run([tool, model_file, output, *photos], capture_output=True, text=True)
    if p.returncode != 0:
        sys.exit("%s failed: %s" % (tool, p.stderr.strip()))


def frames(root):
    """(name, image, crowd labels or None) of the calibration set."""
    import cv2
    from measure_calibration import crowds, mosaic
    labels = json.load(open(os.path.join(here, "calibration_labels.json")))["images"]
    photos, with_faces, their_labels = [], [], []
    for lab in labels:
        img = cv2.imread(root + lab["path"], cv2.IMREAD_COLOR)
        if img is None:
            sys.exit("missing %s (package %s)" % (root + lab["path"], lab["package"]))
        photos.append(img)
        if lab["faces"]:
            with_faces.append(img)
            their_labels.append(lab)
    out = [("photo %d" % i, img, None) for i, img in enumerate(photos)]
    for i in range(0, len(with_faces), 4):
        out.append(("mosaic 2x2 #%d" % (i // 4),
                    mosaic(with_faces[i:i + 4], their_labels[i:i + 4], 2)[0], None))
    backgrounds = [img for img, lab in zip(photos, labels) if not lab["faces"]]
    for i, (img, lab) in enumerate(crowds(with_faces, their_labels, backgrounds)):
        out.append(("crowd %d" % i, img, lab["faces"]))
    return out


def found(faces, labels):
    return sum(any(iou(f.box_float, lab) >= CROWD_IOU for f in faces) for lab in labels)


def measure(model, model_file, todo, tool, keep):
    import cv2
    work = tempfile.mkdtemp(prefix="nerova-int8-")
    try:
        photos = []
        for i, (_, img, _) in enumerate(todo):
            photos.append(os.path.join(work, "%03d.png" % i))
            cv2.imwrite(photos[-1], img)
        calibration = os.path.join(work, "calibration.txt")
        calibrate(tool, model_file, calibration, photos)
        folder = os.path.join(keep, model) if keep else os.path.join(work, "int8")
        quantised = int8_folder(model_file, calibration, folder)
        failed = False
        for tiles in ("off", "auto"):
            with nerova.FaceDetector(model_file, top_k=100, tiles=tiles) as fp32, \
                    nerova.FaceDetector(quantised, top_k=100, tiles=tiles) as int8:
                faults, faces = [], 0
                worst = {"iou": 1.0, "score": 0.0, "landmark": 0.0}
                recall = [0, 0, 0]  # labelled crowd faces, found in float, found in int8
                for name, img, crowd in todo:
                    want, got = fp32.detect(img), int8.detect(img)
                    lines, w = same_faces(want, got)
                    faults += [(kind, "%s: %s" % (name, line)) for kind, line in lines]
                    worst = {"iou": min(worst["iou"], w["iou"]),
                             "score": max(worst["score"], w["score"]),
                             "landmark": max(worst["landmark"], w["landmark"])}
                    faces += len(want)
                    if crowd:
                        recall[0] += len(crowd)
                        recall[1] += found(want, crowd)
                        recall[2] += found(got, crowd)
            ok = not faults and recall[2] >= recall[1] - 1
            failed = failed or not ok
            kinds = {k: sum(1 for kind, _ in faults if kind == k)
                     for k in ("box", "score", "landmark", "extra")}
            print("%-24s tiles %-4s %3d frames %4d faces; not held: %s; matched: worst IoU "
                  "%.3f, score %.4f, landmark %.1f %% of the eyes; crowd recall %d/%d float, "
                  "%d int8  %s"
                  % (model, tiles, len(todo), faces,
                     ", ".join("%d %s" % (n, k) for k, n in kinds.items()), worst["iou"],
                     worst["score"], 100 * worst["landmark"], recall[1], recall[0], recall[2],
                     "held" if ok else "NOT HELD"))
            for _, line in faults[:8]:
                print("    " + line)
            if len(faults) > 8:
                print("    ... and %d more" % (len(faults) - 8))
        return not failed
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    args = sys.argv[1:]
    tool = os.path.join(here, "..", "build", "apps", "nerova_calibrate_int8")
    keep = None
    for flag in ("--calibrate", "--keep"):
        if flag in args:
            i = args.index(flag)
            if i + 1 >= len(args):
                sys.exit(__doc__)
            if flag == "--calibrate":
                tool = args[i + 1]
            else:
                keep = args[i + 1]
            del args[i:i + 2]
    if not args:
        sys.exit(__doc__)
    root, models = args[0], args[1:]
    known = nerova.models()
    if not models:
        models = [m for m in ("face_detector_back_256", "face_detector_front_128",
                              "yunet_n_320", "yunet_n_640") if m in known]
    todo = frames(root)
    held = True
    for model in models:
        model_file = str(nerova.resolve_model(model))
        name = os.path.basename(os.path.dirname(model_file))
        held = measure(name, model_file, todo, tool, keep) and held
    sys.exit(0 if held else 1)


if __name__ == "__main__":
    main()
