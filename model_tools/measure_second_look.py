#!/usr/bin/python3
"""What the second look does to tiled detection: faces found and invented, with it off and on,
on the calibration photos, more face-free photos, the 2x2 and 4x4 mosaics and the crowds, and
where each tile-only candidate went (refused by its landmarks, by the second look, confirmed).

    model_tools/measure_second_look.py ROOT [MODEL] [--threshold T]

ROOT holds the photos extracted from their Debian packages (calibration_labels.json and
face_free_photos.json name them; see measure_calibration.py). MODEL is a name or path
(default: the default model). Every frame goes through the library (the Python package).
"""
import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "python"))
import nerova  # noqa: E402
from measure_calibration import crowds, mosaic, score_image  # noqa: E402


def load(root, name):
    import cv2
    out = []
    for lab in json.load(open(os.path.join(HERE, name)))["images"]:
        img = cv2.imread(root + lab["path"], cv2.IMREAD_COLOR)
        if img is None:
            sys.exit(f"missing {root + lab['path']} (package {lab['package']})")
        out.append((img, {"faces": [], **lab}))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("root")
    ap.add_argument("model", nargs="?")
    ap.add_argument("--threshold", type=float, default=0.95)
    args = ap.parse_args()
    photos = load(args.root, "calibration_labels.json")
    faces = [(i, lab) for i, lab in photos if lab["faces"]]
    free = [i for i, lab in photos if not lab["faces"]]
    sets = [("photos", photos), ("more face-free", load(args.root, "face_free_photos.json")),
            ("2x2 mosaics", [mosaic([f[0] for f in faces[i:i + 4]], [f[1] for f in faces[i:i + 4]],
                                    2) for i in range(0, len(faces), 4)]),
            ("4x4 mosaic", [mosaic([f[0] for f in faces[:16]], [f[1] for f in faces[:16]], 4)]),
            ("crowds", crowds([f[0] for f in faces], [f[1] for f in faces], free))]
    print("threshold %.2f, tiles auto, top_k 100" % args.threshold)
    for cap in (0, 32):
        det = nerova.FaceDetector(args.model, top_k=100, score_threshold=args.threshold)
        det.confirm_tile_faces = cap
        print("second look %s" % ("on" if cap else "off"))
        for name, items in sets:
            tp = fp = n = with_face = 0
            report = {}
            for img, lab in items:
                found = det.detect(img, tiles="auto")
                a, b = score_image([list(f.box) for f in found], lab["faces"], lab.get("ignore", []))
                tp, fp, n = tp + a, fp + b, n + len(lab["faces"])
                with_face += bool(found) and not lab["faces"]
                for k, v in det.confirmation.items():
                    report[k] = report.get(k, 0) + v
            print("  %-15s found %3d/%-3d false %3d  face-free frames with a face %2d  |  tile-only "
                  "%3d: refused by landmarks %3d, by the look %3d, confirmed %3d, unchecked %d; "
                  "look passes %d, tile passes %d, %.0f ms"
                  % (name, tp, n, fp, with_face, report["candidates"],
                     report["refused_by_landmarks"], report["refused_by_look"],
                     report["confirmed"], report["unchecked"], report["forwards"],
                     report["tile_passes"], report["milliseconds"]))
        det.close()


if __name__ == "__main__":
    main()
