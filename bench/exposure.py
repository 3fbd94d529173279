#!/usr/bin/python3
"""Exposure rate of video anonymisation: videos rendered from the labelled calibration faces
with known boxes in every frame (a face entering at the edge, a face zooming in, two faces
crossing, a face moving fast), hidden as the tool hides them, and measured; and a video with
shot cuts, where no mask may be carried into a shot without a face.

    bench/exposure.py ROOT [MODEL ...]
    bench/exposure.py --sweep ROOT [MODEL]   # the trade-off of mask scale and hold length

A face is still recognisable in an output frame when its high-pass texture (the frame less
its Gaussian blur) correlates with the input's (r > 0.5) in at least a quarter of the face
box's textured cells (4 x 4 cells; textured: high-pass deviation above 4 grey levels). The
exposure rate is the share of frames with a face at least half in view in which that face is
recognisable. Beside it, the share of the textured background cells left intact (r > 0.9),
for each model at --every 1 and 5, with the masks as they were before the tracker (each
detection's boxes held until the next detection) and with the tracker; and what the tracker
costs per frame.
"""
import json
import os
import sys
import time

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
import nerova  # noqa: E402

SIZE = (640, 360)
FRAMES = 75


def faces_of(root):
    """Face crops (with some surroundings) and the face's box inside each crop."""
    labels = json.load(open(os.path.join(HERE, "..", "model_tools", "calibration_labels.json")))
    crops = []
    for lab in labels["images"]:
        img = cv2.imread(root + lab["path"], cv2.IMREAD_COLOR)
        for x1, y1, x2, y2 in lab["faces"]:
            if x2 - x1 < 60:  # too small to scale up into a test face
                continue
            m = 0.4 * (x2 - x1)
            cx1, cy1 = int(max(0, x1 - m)), int(max(0, y1 - m))
            cx2, cy2 = int(min(img.shape[1], x2 + m)), int(min(img.shape[0], y2 + m))
            crops.append((img[cy1:cy2, cx1:cx2], (x1 - cx1, y1 - cy1, x2 - cx1, y2 - cy1)))
    return crops


def paste(canvas, crop, box, x, y, face_w):
    """crop scaled so the face is face_w wide, its face's top-left at (x, y); the face box."""
    s = face_w / (box[2] - box[0])
    c = cv2.resize(crop, (max(1, int(crop.shape[1] * s)), max(1, int(crop.shape[0] * s))))
    ox, oy = int(round(x - box[0] * s)), int(round(y - box[1] * s))
    h, w = canvas.shape[:2]
    sx1, sy1 = max(0, -ox), max(0, -oy)
    dx1, dy1 = max(0, ox), max(0, oy)
    dx2, dy2 = min(w, ox + c.shape[1]), min(h, oy + c.shape[0])
    if dx2 > dx1 and dy2 > dy1:
        canvas[dy1:dy2, dx1:dx2] = c[sy1:sy1 + dy2 - dy1, sx1:sx1 + dx2 - dx1]
    return (x, y, x + face_w, y + (box[3] - box[1]) * s)


def scenes(crops, background):
    """Name, frames and the visible faces' boxes per frame."""
    bg = cv2.resize(background, SIZE)
    out = []
    for name in ("enter", "zoom", "cross", "fast"):
        frames, truth = [], []
        for f in range(FRAMES):
            canvas, boxes = bg.copy(), []
            t = f / (FRAMES - 1)
            if name == "enter":  # in from the left edge and out at the right
                boxes.append(paste(canvas, *crops[0], -120 + 860 * t, 120, 110))
            elif name == "zoom":
                w = 40 + 200 * t
                boxes.append(paste(canvas, *crops[1], 320 - w / 2, 180 - w * 0.6, w))
            elif name == "cross":
                boxes.append(paste(canvas, *crops[2], 40 + 460 * t, 110, 100))
                boxes.append(paste(canvas, *crops[3], 500 - 460 * t, 140, 100))
            else:  # bouncing at 25 px a frame
                x = abs((40 + 25 * f) % 1000 - 500) + 10
                y = abs((20 + 15 * f) % 400 - 200) + 20
                boxes.append(paste(canvas, *crops[4], x, y, 90))
            frames.append(canvas)
            truth.append(boxes)
        out.append((name, frames, truth))
    return out


def high_pass(img):
    g = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY).astype(np.float32)
    return g - cv2.GaussianBlur(g, (0, 0), 2)


def cells(box, w, h, n=4):
    x1, y1, x2, y2 = box
    xs, ys = np.linspace(x1, x2, n + 1), np.linspace(y1, y2, n + 1)
    for i in range(n):
        for j in range(n):
            a, b = int(max(0, xs[i])), int(min(w, xs[i + 1]))
            c, d = int(max(0, ys[j])), int(min(h, ys[j + 1]))
            if b - a >= 3 and d - c >= 3:
                yield slice(c, d), slice(a, b)


def correlation(a, b):
    a, b = a - a.mean(), b - b.mean()
    d = np.sqrt((a * a).sum() * (b * b).sum())
    return float((a * b).sum() / d) if d > 0 else 0.0


def measure(frames, truth, hidden):
    exposed = visible = kept = textured = 0
    h, w = frames[0].shape[:2]
    for src, boxes, out in zip(frames, truth, hidden):
        hs, ho = high_pass(src), high_pass(out)
        for box in boxes:
            x1, y1, x2, y2 = box
            inside = max(0, min(w, x2) - max(0, x1)) * max(0, min(h, y2) - max(0, y1))
            if inside < 0.5 * (x2 - x1) * (y2 - y1):
                continue
            visible += 1
            tex = [c for c in cells(box, w, h) if hs[c].std() > 4]
            alive = sum(correlation(hs[c], ho[c]) > 0.5 for c in tex)
            exposed += bool(tex) and alive >= 0.25 * len(tex)
        mask = np.zeros((h, w), bool)
        for x1, y1, x2, y2 in boxes:
            mask[int(max(0, y1)):int(max(0, y2)), int(max(0, x1)):int(max(0, x2))] = True
        for c in cells((0, 0, w, h), w, h, 16):
            if mask[c].any() or hs[c].std() <= 4:
                continue
            textured += 1
            kept += correlation(hs[c], ho[c]) > 0.9
    return exposed, visible, kept, textured


def hide(det, frames, every, tracked, found=None, scale=1.3, ahead=None, **tracker_options):
    """The frames hidden as the tool hides them (tracked), or with each detection's boxes
    held until the next detection, as before the tracker. found: the detections of each
    frame looked at (None for the others), when already known; scale and tracker_options as
    the tool's --mask-scale and nerova.Tracker's; ahead: the frames of look-ahead of a live
    source (--latency), None for the whole video known."""
    seconds = 0.0
    if not tracked:
        out, faces = [], []
        for i, f in enumerate(frames):
            if i % every == 0:
                faces = det.detect(f)
            out.append(nerova.anonymize(f.copy(), faces))
        return out, seconds
    if found is None:
        found = [det.detect(f) if i % every == 0 else None for i, f in enumerate(frames)]
    t0 = time.thread_time()
    tracker = nerova.Tracker(frames[0].shape[1], frames[0].shape[0], **tracker_options)
    tracks = []
    for i, (frame, faces) in enumerate(zip(frames, found)):
        tracker.see(frame)
        tracker.add(faces) if faces is not None else tracker.skip()
        if ahead is not None and i >= ahead:
            tracks.append(tracker.frame(i - ahead, so_far=True))
    if ahead is None:
        tracker.finish()
    tracks += [tracker.frame(i, so_far=ahead is not None) for i in range(len(tracks), len(frames))]
    seconds = time.thread_time() - t0
    hide.masks = [len(t) for t in tracks]
    return [nerova.anonymize(f.copy(), t, scale=scale) for f, t in zip(frames, tracks)], seconds


def cut_scenes(crops, background):
    """Shots cut together: a face walking over the building (frames 0 to 29), the building
    mirrored without a face (30 to 49), another face still over the building seen from
    elsewhere (50 to 74). The frames of the faceless shot, for counting masks in it."""
    bg = cv2.resize(background, SIZE)
    other = cv2.resize(cv2.flip(background, 1)[:, ::-1][::-1], SIZE)
    elsewhere = cv2.resize(background[background.shape[0] // 3:, :], SIZE)
    frames, truth = [], []
    for f in range(FRAMES):
        if f < 30:
            canvas = bg.copy()
            boxes = [paste(canvas, *crops[0], 60 + 12 * f, 120, 110)]
        elif f < 50:
            canvas, boxes = other.copy(), []
        else:
            canvas = elsewhere.copy()
            boxes = [paste(canvas, *crops[1], 260 + 2 * (f - 50), 100, 120)]
        frames.append(canvas)
        truth.append(boxes)
    return frames, truth, range(30, 50)


def sweep(root, model):
    """Exposure and background kept over the four scenes, per mask scale and hold length (the
    frames a face is followed without a detection), at --every 1 and 5."""
    crops = faces_of(root)
    background = cv2.imread(root + "/usr/share/doc/opencv-doc/examples/data/building.jpg")
    videos = scenes(crops, background)
    print("| every | hold (frames) | mask scale | exposure rate | background intact |")
    print("| --- | --- | --- | --- | --- |")
    with nerova.FaceDetector(model, threads=1) as det:
        for every in (1, 5):
            found = [[det.detect(f) if i % every == 0 else None for i, f in enumerate(fr)]
                     for _, fr, _ in videos]
            for hold in (5, 10, 15, 25):
                for scale in (1.1, 1.2, 1.3, 1.5):
                    e = v = k = t = 0
                    for (_, fr, truth), seen in zip(videos, found):
                        hidden, _ = hide(det, fr, every, True, seen, scale,
                                         max_missed_frames=hold)
                        a, b, c, d = measure(fr, truth, hidden)
                        e, v, k, t = e + a, v + b, k + c, t + d
                    print("| %d | %d | %.1f | %.1f %% (%d/%d) | %.1f %% |"
                          % (every, hold, scale, 100.0 * e / v, e, v, 100.0 * k / t), flush=True)


def main():
    # One thread throughout, and the tracker's CPU time is its thread's: the detector's and
    # OpenCV's pools spinning after a detection would count towards it otherwise.
    cv2.setNumThreads(1)
    if len(sys.argv) > 2 and sys.argv[1] == "--sweep":
        return sweep(sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else "face_detector_back_256")
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    models = sys.argv[2:] or ["face_detector_back_256", "yunet_n_320"]
    crops = faces_of(root)
    background = cv2.imread(root + "/usr/share/doc/opencv-doc/examples/data/building.jpg")
    videos = scenes(crops, background)
    print("| model | every | masks | exposure rate | background intact | tracker CPU per frame |")
    print("| --- | --- | --- | --- | --- | --- |")
    for name in models:
        with nerova.FaceDetector(name, threads=1) as det:
            for every in (1, 5):
                for tracked, ahead in ((False, None), (True, None), (True, 15), (True, 5)):
                    e = v = k = t = 0
                    cost = frames = 0
                    for _, fr, truth in videos:
                        hidden, seconds = hide(det, fr, every, tracked, ahead=ahead)
                        a, b, c, d = measure(fr, truth, hidden)
                        e, v, k, t = e + a, v + b, k + c, t + d
                        cost, frames = cost + seconds, frames + len(fr)
                    print("| `%s` | %d | %s | %.1f %% (%d/%d) | %.1f %% | %s |"
                          % (name, every, "held detections" if not tracked else "tracker" if
                             ahead is None else "live, %d frames ahead" % ahead,
                             100.0 * e / v, e, v, 100.0 * k / t,
                             "%.0f µs" % (1e6 * cost / frames) if tracked else "–"))
    fr, truth, faceless = cut_scenes(crops, background)
    print()
    print("| model | every | shot cuts found | exposure rate | background intact | masks in the shot without a face |")
    print("| --- | --- | --- | --- | --- | --- |")
    for name in models:
        with nerova.FaceDetector(name, threads=1) as det:
            for every in (1, 5):
                hidden, _ = hide(det, fr, every, True)
                e, v, k, t = measure(fr, truth, hidden)
                cuts = nerova.Tracker(*SIZE)
                found = [f for f, frame in enumerate(fr) if (cuts.see(frame), cuts.skip())[0]]
                print("| `%s` | %d | %s | %.1f %% (%d/%d) | %.1f %% | %d |"
                      % (name, every, ", ".join(map(str, found)), 100.0 * e / v, e, v,
                         100.0 * k / t, sum(hide.masks[f] for f in faceless)))


if __name__ == "__main__":
    main()
