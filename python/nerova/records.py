"""The JSON record lines that every host prints, one per image or video frame:

    {"image": PATH, "frame": N, "time_ms": T, "width": W, "height": H,
     "faces": [{"score": S, "box": [x1, y1, x2, y2]}, ...], "ms": T}

("frame" and "time_ms" for video frames only, and "cut": C after "time_ms" when a shot began
at frame C since the previous frame looked at (video.ShotMarks); a face in a video adds its track id "track"
(VideoTracks), a face of a model with landmarks "landmarks": [[x, y], ...], and the tool's
aligned crops "crop": PATH), written byte for byte
as the command-line tool writes them: scores with four decimals, landmarks with two, "ms" with two, "time_ms" to the microsecond without
trailing zeros, strings in UTF-8 with only quotes, backslashes and control characters
escaped, and the bytes of a file name that are not UTF-8 (held by Python as the surrogates
U+DC80 to U+DCFF) as those escapes, so that json.loads gives the name back exactly.
nerova-batch adds "worker", and writes {"image": PATH, "error": TEXT} for an input it
cannot read.
"""
from __future__ import annotations

import json
import math
import time
from typing import Optional, Sequence


def detection(path: str, width: int, height: int, faces: Sequence, ms: float,
              frame: Optional[int] = None, time_ms: Optional[float] = None,
              cut: Optional[int] = None) -> dict:
    """The record of one image (frame None) or video frame; faces are nerova.Face. Numbers
    are rounded as the line writes them, so that a record and its parsed line are equal."""
    record = {"image": path}
    if frame is not None:
        record["frame"] = frame
        if time_ms is not None:
            record["time_ms"] = round(time_ms, 3)
        if cut is not None:
            record["cut"] = cut
    record.update(width=int(width), height=int(height),
                  faces=[_face(f) for f in faces],
                  ms=round(ms, 2))
    return record


def timed_detection(detector, path: str, image, frame: Optional[int] = None,
                    time_ms: Optional[float] = None, cut: Optional[int] = None) -> dict:
    """The record of detector's faces in image, "ms" the detection's own time; NerovaError
    when the detector refuses the frame."""
    t0 = time.perf_counter()
    faces = detector.detect(image)
    ms = (time.perf_counter() - t0) * 1e3
    return detection(path, image.shape[1], image.shape[0], faces, ms, frame, time_ms, cut)


def _face(f) -> dict:
    face = {"score": round(float(f.score), 4), "box": list(f.box)}
    points = getattr(f, "landmarks", ())
    if len(points):
        face["landmarks"] = [[round(float(x), 2), round(float(y), 2)] for x, y in points]
    return face


def _face_text(f: dict) -> str:
    out = '{"score": %s, "box": [%d, %d, %d, %d]' % (_number(f["score"], 4), *f["box"])
    if f.get("track"):
        out += ', "track": %d' % f["track"]
    if f.get("landmarks"):
        out += ', "landmarks": [%s]' % ", ".join(
            "[%s, %s]" % (_number(x, 2), _number(y, 2)) for x, y in f["landmarks"])
    if "crop" in f:
        out += ', "crop": %s' % text(f["crop"])
    return out + "}"


def line(record: dict) -> str:
    """A record as one line (without its line end)."""
    parts = ['"image": %s' % text(record["image"])]
    if "frame" in record:
        parts.append('"frame": %d' % record["frame"])
        if "time_ms" in record:
            parts.append('"time_ms": %s' % _number(record["time_ms"], 3, trim=True))
        if "cut" in record:
            parts.append('"cut": %d' % record["cut"])
    if "error" in record:
        parts.append('"error": %s' % text(record["error"]))
    else:
        faces = ", ".join(_face_text(f) for f in record["faces"])
        parts += ['"width": %d' % record["width"], '"height": %d' % record["height"],
                  '"faces": [%s]' % faces, '"ms": %s' % _number(record["ms"], 2)]
    if "worker" in record:
        parts.append('"worker": %s' % text(str(record["worker"])))
    return "{" + ", ".join(parts) + "}"


def text(s: str) -> str:
    """s as a JSON string, escaped as the tool escapes it."""
    out = ['"']
    for ch in s:
        code = ord(ch)
        if ch == '"' or ch == "\\":
            out.append("\\" + ch)
        elif code < 0x20 or 0xD800 <= code <= 0xDFFF:
            out.append("\\u%04x" % code)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _number(value: float, decimals: int, trim: bool = False) -> str:
    if not math.isfinite(value):
        return "null"  # JSON has no NaN or infinities
    s = "%.*f" % (decimals, value)
    return s.rstrip("0").rstrip(".") if trim and "." in s else s


class VideoTracks:
    """Gives each face of a video's records its track id ("track"), as the tool does while it
    detects: records of one video in frame order, frames between them not looked at. A record
    of another input, or an earlier frame, starts a new video."""

    def __init__(self):
        self.path, self.tracker, self.next_frame = None, None, 0

    def __call__(self, record: dict) -> dict:
        if "frame" not in record or "error" in record:
            return record
        from .detector import Face, NerovaError
        from .video import Tracker
        if record["image"] != self.path or record["frame"] < self.next_frame:
            self.path, self.next_frame = record["image"], 0
            self.tracker = Tracker(max(1, record["width"]), max(1, record["height"]))
        for _ in range(self.next_frame, record["frame"]):
            self.tracker.skip()
        if record.get("cut") is not None:  # no track goes on across a cut
            self.tracker.cut()
        try:
            ids = self.tracker.add([Face(f["score"], *f["box"]) for f in record["faces"]])
        except NerovaError:  # more faces than the tracker follows: none gets a track, as the tool
            ids = [0] * len(record["faces"])
        for face, track in zip(record["faces"], ids):
            face["track"] = track
        self.next_frame = record["frame"] + 1
        return record


def is_record(r) -> bool:
    """Whether a parsed line has the shape of a record (what --resume may keep)."""
    if not isinstance(r, dict) or not isinstance(r.get("image"), str):
        return False
    frame = r.get("frame", 0)
    if isinstance(frame, bool) or not isinstance(frame, int) or frame < 0:
        return False
    cut = r.get("cut", 0)
    if isinstance(cut, bool) or not isinstance(cut, int) or not 0 <= cut <= frame:
        return False
    if "error" in r:
        return isinstance(r["error"], str)
    return (all(isinstance(r.get(k), int) for k in ("width", "height")) and
            isinstance(r.get("faces"), list) and isinstance(r.get("ms"), (int, float)) and
            all(isinstance(f, dict) and isinstance(f.get("score"), (int, float)) and
                isinstance(f.get("box"), list) and len(f["box"]) == 4 for f in r["faces"]))


def parse(raw: bytes):
    """A line's record, or None when it is not one."""
    try:
        record = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return None
    return record if is_record(record) else None
