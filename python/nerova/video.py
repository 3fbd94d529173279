"""Faces followed through a video, and hidden: the library's tracker and masks, as the
command-line tool uses them.

    with nerova.FaceDetector() as det:
        nerova.anonymize_video("in.mp4", "out.mp4", det, every=5, how="blur")

    tracker = nerova.Tracker(width, height)
    ids = tracker.add(faces)             # per frame; skip() for a frame not looked at
    tracker.finish()                     # the whole video known
    tracks = tracker.frame(i)            # each face of frame i, detected or followed
    nerova.anonymize(frame, tracks)      # in place
"""
from __future__ import annotations

import ctypes
import os
from typing import List, NamedTuple, Optional, Sequence

import numpy as np

from . import _native
from .detector import PIXEL_FORMATS as _FORMATS
from .detector import Face, _check, _integer, _lib, _native_face

HIDES = {"blur": 1, "pixelate": 2, "solid": 3, "image": 4}  # NerovaHide
SHAPES = {"ellipse": 0, "rect": 1}                          # NerovaMaskShape
_CHANNELS = {1: "GRAY", 3: "BGR", 4: "BGRA"}
STATES = ("detected", "predicted", "interpolated", "held")  # NerovaTrackState
CUT_HISTORY = 9  # NEROVA_TRACKER_CUT_HISTORY: the frames before one that its cut decision reads


def _video() -> ctypes.CDLL:
    """The video library, loaded when a video is first followed or written: a host that only
    detects and hides faces in pictures never loads it (nor FFmpeg)."""
    return _native.load_video(_lib)


class Track(NamedTuple):
    """A face in one frame: its track id, whether a detection placed it, the detection's
    score, its box in frame pixels, its eye line's angle in degrees, and what placed the box:
    "detected", "predicted" (along the face's motion), "interpolated" (between two
    detections) or "held" (where the face was seen, no motion known)."""
    id: int
    detected: bool
    score: float
    x1: float
    y1: float
    x2: float
    y2: float
    angle: float
    state: str = "detected"

    @property
    def box(self):
        return (self.x1, self.y1, self.x2, self.y2)


def _tracks(array, count) -> List[Track]:
    try:
        return [Track(t.id, t.state == 0, t.score, t.x1, t.y1, t.x2, t.y2, t.angle,
                      STATES[t.state] if 0 <= t.state < len(STATES) else "predicted")
                for t in (array[i] for i in range(count.value))]
    finally:
        _video().NerovaTracksRelease(array)


def face_angle(face: Face) -> float:
    """The angle of a face's eye line, 0 when its model names no eyes."""
    detail, names, _points = _native_face(face)
    angle = ctypes.c_float()
    _check(_lib.NerovaFaceAngle(ctypes.byref(detail), names, ctypes.byref(angle)), "face angle")
    return angle.value


class ShotMarks:
    """Where shots begin, for records: fed every frame of a video in order (from any frame),
    it gives for each frame looked at (every every-th) the frame of the last cut since the
    previous one looked at, or None. The tool and every Python host mark records so."""

    def __init__(self, every: int):
        self.every, self._cuts, self._since = every, None, None

    def __call__(self, index: int, frame: np.ndarray) -> Optional[int]:
        if self._cuts is None:
            self._cuts = Tracker(max(1, frame.shape[1]), max(1, frame.shape[0]))
        if self._cuts.see(frame):
            self._since = index
        self._cuts.skip()
        if index % self.every:
            return None
        since, self._since = self._since, None
        return since


class Tracker:
    """Links each frame's faces to tracks (ids stable from 1), and, once finished, gives every
    frame's tracks with the gaps between detections interpolated and each face followed before
    its first and after its last detection (max_missed_frames each way)."""

    def __init__(self, width: int, height: int, *, max_missed_frames: Optional[int] = None,
                 min_iou: Optional[float] = None, growth_per_frame: Optional[float] = None,
                 max_growth: Optional[float] = None):
        options = _native.TrackerOptions()
        _video().NerovaTrackerDefaults(ctypes.byref(options))
        for name, value in (("max_missed_frames", max_missed_frames), ("min_iou", min_iou),
                            ("growth_per_frame", growth_per_frame), ("max_growth", max_growth)):
            if value is not None:
                setattr(options, name, value)
        self._handle = ctypes.c_void_p()
        _check(_video().NerovaTrackerCreate(
            ctypes.byref(options), _integer(width, "width", 1, 32768),
            _integer(height, "height", 1, 32768), ctypes.byref(self._handle)), "tracker options")
        self.frames = 0

    def __del__(self):
        if getattr(self, "_handle", None):
            _video().NerovaTrackerDestroy(self._handle)
            self._handle = None

    def add(self, faces: Sequence[Face]) -> List[int]:
        """The next frame's detections; each face's track id."""
        faces = list(faces)
        infos = (_native.FaceInfo * max(1, len(faces)))(
            *[_native.FaceInfo(f.score, *f.box) for f in faces])
        angles = (ctypes.c_float * max(1, len(faces)))(*[face_angle(f) for f in faces])
        ids = (ctypes.c_uint32 * max(1, len(faces)))()
        code = _video().NerovaTrackerAddFrame(self._handle, 1, infos, len(faces), angles, ids,
                                               None, None)
        self.frames += 1  # a refused frame is counted too, as one nobody looked at
        _check(code, "tracking")
        return list(ids)[:len(faces)]

    def skip(self) -> None:
        """A frame nobody looked at: its faces are followed, not detected."""
        _check(_video().NerovaTrackerAddFrame(self._handle, 0, None, 0, None, None, None, None),
               "tracking")
        self.frames += 1

    def see(self, frame: np.ndarray) -> bool:
        """The next frame's pixels (BGR, or gray), before its add() or skip(): True when it
        begins a new shot. Every track then ends there, and none is followed across."""
        frame = np.ascontiguousarray(frame, dtype=np.uint8)
        channels = 1 if frame.ndim == 2 else frame.shape[2] if frame.ndim == 3 else 0
        if channels not in _CHANNELS:
            raise ValueError("a frame is H x W, H x W x 3 or H x W x 4 pixels, not %r"
                             % (frame.shape,))
        fmt = _FORMATS[_CHANNELS[channels]]
        cut = ctypes.c_int32()
        _check(_video().NerovaTrackerSeeFrame(self._handle, fmt, frame.shape[1], frame.shape[0],
                                              frame.ctypes.data, frame.strides[0],
                                              ctypes.byref(cut)), "frame")
        return bool(cut.value)

    def cut(self) -> None:
        """The next frame begins a new shot, as a host that knows its edits says."""
        _check(_video().NerovaTrackerCut(self._handle), "tracking")

    @property
    def cuts(self) -> List[int]:
        """The frames that begin a shot so far."""
        count, frame = ctypes.c_uint32(), ctypes.c_uint32()
        _check(_video().NerovaTrackerCutCount(self._handle, ctypes.byref(count)), "cuts")
        out = []
        for k in range(count.value):
            _check(_video().NerovaTrackerCutAt(self._handle, k, ctypes.byref(frame)), "cuts")
            out.append(frame.value)
        return out

    def finish(self) -> None:
        _check(_video().NerovaTrackerFinish(self._handle), "tracking")

    def frame(self, index: int, so_far: bool = False) -> List[Track]:
        """Frame index's tracks once finished; so_far: as known from the frames added so far,
        as a live host with N frames of look-ahead asks once it has added frame index + N."""
        array, count = ctypes.POINTER(_native.Track)(), ctypes.c_uint32()
        call = _video().NerovaTrackerFrameSoFar if so_far else _video().NerovaTrackerFrame
        _check(call(self._handle, _integer(index, "frame", 0, 2**32 - 1), ctypes.byref(array),
                    ctypes.byref(count)), "frame %d" % index)
        return _tracks(array, count)


class Review:
    """The review page of one written video, as the tool's --report writes it: made from a
    finished tracker, given each frame as written (it keeps the few it shows), then written
    as one self-contained HTML file."""

    def __init__(self, tracker: "Tracker", video_name: str, fps: float):
        self._handle = ctypes.c_void_p()
        _check(_video().NerovaReviewCreate(tracker._handle, os.fsencode(video_name), float(fps),
                                           ctypes.byref(self._handle)),
               "review (is the tracker finished?)")

    def _fail(self, code: int) -> None:
        if code:
            raise ValueError(_video().NerovaReviewMessage(self._handle).decode(errors="replace"))

    def wants(self, index: int) -> bool:
        wanted = ctypes.c_int32()
        _check(_video().NerovaReviewWantsFrame(self._handle, _integer(index, "frame", 0, 2**32 - 1),
                                               ctypes.byref(wanted)), "review")
        return bool(wanted.value)

    def add(self, index: int, frame: np.ndarray) -> None:
        """Frame index as written (BGR, BGRA or gray): kept small when the page shows it."""
        if not self.wants(index):
            return
        frame = np.ascontiguousarray(frame, dtype=np.uint8)
        channels = 1 if frame.ndim == 2 else frame.shape[2] if frame.ndim == 3 else 0
        if channels not in _CHANNELS:
            raise ValueError("a frame is H x W, H x W x 3 or H x W x 4 pixels")
        self._fail(_video().NerovaReviewAddFrame(
            self._handle, index, _FORMATS[_CHANNELS[channels]], frame.shape[1], frame.shape[0],
            frame.ctypes.data, frame.strides[0]))

    def counts(self) -> dict:
        """What the page counts: frames, tracks, cuts, frames to check, pictures, masks and
        masks by state."""
        c = _native.ReviewCounts()
        c.size = ctypes.sizeof(c)
        _check(_video().NerovaReviewGetCounts(self._handle, ctypes.byref(c)), "review")
        out = {name: getattr(c, name)
               for name in ("frames", "tracks", "cuts", "to_check", "pictures", "masks")}
        out.update({state: c.states[k] for k, state in enumerate(STATES)})
        return out

    def write(self, path: str, overwrite: bool = False) -> None:
        """The page at path, whole or not at all, its folder made."""
        self._fail(_video().NerovaReviewWrite(self._handle, os.fsencode(path), int(bool(overwrite))))

    def close(self) -> None:
        if getattr(self, "_handle", None):
            _video().NerovaReviewDestroy(self._handle)
            self._handle = None

    __del__ = close


def anonymize(image: np.ndarray, faces, how: str = "blur", shape: str = "ellipse",
              scale: float = 1.3, replacement: Optional[np.ndarray] = None) -> np.ndarray:
    """Hides faces (nerova.Face or Track) in image, an HxWx3 BGR, HxWx4 BGRA or HxW uint8
    array, in place, as the tool does; returns image. how: blur, pixelate, solid or image
    (replacement, an array of image's layout); shape: ellipse (turned to the eye line) or
    rect; scale: 1 to 10 times each box."""
    if how not in HIDES or shape not in SHAPES:
        raise ValueError("how must be one of %s and shape one of %s" % (list(HIDES), list(SHAPES)))
    if not isinstance(image, np.ndarray) or image.dtype != np.uint8:
        raise TypeError("image must be a uint8 numpy array")
    channels = 1 if image.ndim == 2 else image.shape[2] if image.ndim == 3 else 0
    if channels not in _CHANNELS or not image.flags.c_contiguous or not image.flags.writeable:
        raise ValueError("image must be a writable, contiguous HxW, HxWx3 or HxWx4 array")
    regions = []
    for f in faces:
        if isinstance(f, Track):
            regions.append(_native.MaskRegion(*f.box, f.angle))
        else:
            regions.append(_native.MaskRegion(*f.box, face_angle(f)))
    array = (_native.MaskRegion * max(1, len(regions)))(*regions)
    other = None
    if how == "image":
        if not (isinstance(replacement, np.ndarray) and replacement.dtype == np.uint8 and
                replacement.ndim == image.ndim and replacement.shape[2:] == image.shape[2:]):
            raise ValueError("how='image' needs a replacement array of the image's layout")
        replacement = np.ascontiguousarray(replacement)
        other = _native.Frame()
        other.pixel_format = _FORMATS[_CHANNELS[channels]]
        other.width, other.height = replacement.shape[1], replacement.shape[0]
        other.data[0] = replacement.ctypes.data
        other.stride[0] = replacement.strides[0]
    code = _lib.NerovaAnonymize(_FORMATS[_CHANNELS[channels]], image.shape[1], image.shape[0],
                                image.ctypes.data, image.strides[0], array, len(regions),
                                HIDES[how], SHAPES[shape], float(scale),
                                ctypes.byref(other) if other is not None else None)
    if code == 0x100B:
        raise ValueError("scale must be from 1 to 10, not %r" % (scale,))
    _check(code, "anonymize")
    return image


class VideoWriter:
    """The library's video writer, as the tool writes: the codec ("h264", "mpeg4", "mjpeg",
    "ffv1" or None for the container's) at quality 1 to 100, every frame at one rate, the
    sound of sound_source copied, the file put in place whole by finish()."""

    def __init__(self, target: str, sound_source: Optional[str] = None,
                 codec: Optional[str] = None, quality: int = 80, overwrite: bool = False):
        self._handle = ctypes.c_void_p()
        _check(_video().NerovaVideoWriterCreate(
            os.fsencode(target), os.fsencode(sound_source) if sound_source else None,
            codec.encode() if codec else None, _integer(quality, "quality", 1, 100),
            int(bool(overwrite)), ctypes.byref(self._handle)), "video writer settings")

    def _fail(self, code: int) -> None:
        if code:
            message = _video().NerovaVideoWriterMessage(self._handle)
            raise ValueError(message.decode(errors="replace"))

    def write(self, frame: np.ndarray, fps: float, seconds: Optional[float] = None) -> None:
        """The next frame; seconds, when given, is when it is shown from the video's start (the
        input's timestamp, which keeps a variable-rate video's timing), else one period of fps
        after the last."""
        frame = np.ascontiguousarray(frame)
        channels = 1 if frame.ndim == 2 else frame.shape[2]
        lib, args = _video(), (self._handle, _FORMATS[_CHANNELS[channels]], frame.shape[1],
                               frame.shape[0], frame.ctypes.data, frame.strides[0], float(fps))
        if seconds is None:
            self._fail(lib.NerovaVideoWriterWrite(*args))
        else:
            self._fail(lib.NerovaVideoWriterWriteAt(*args, max(0.0, float(seconds))))

    def finish(self) -> None:
        self._fail(_video().NerovaVideoWriterFinish(self._handle))

    def notes(self) -> List[str]:
        """What of the input could not be kept (a stream the container cannot hold, a column
        an encoder leaves out), one line each, as the tool prints them as warnings."""
        lib = _video()
        return [lib.NerovaVideoWriterNote(self._handle, k).decode(errors="replace")
                for k in range(lib.NerovaVideoWriterNoteCount(self._handle))]

    def close(self) -> None:
        if self._handle:
            _video().NerovaVideoWriterDestroy(self._handle)
            self._handle = None

    __del__ = close


def anonymize_video(src: str, dst: str, detector, every: int = 1, how: str = "blur",
                    shape: str = "ellipse", scale: float = 1.3, codec: Optional[str] = None,
                    quality: int = 80, overwrite: bool = False,
                    report: Optional[str] = None) -> dict:
    """Writes src to dst with every face hidden, as the tool's --anonymize does: detection on
    every N-th frame, the faces followed through all frames with the whole video known, every
    frame and the sound kept, through the library's writer (codec and quality as the tool's
    --video-codec and --video-quality). Returns the tool's report: frames, masks, predicted
    masks, longest run, the writer's notes (what of src could not be kept) and the frames
    that begin a shot ("cuts"): no face is followed across a cut. report: the path of the
    video's review page (the tool's --report), written once the video is."""
    import cv2
    from ._media import open_video
    every = _integer(every, "every", 1, 2**31 - 1)
    video = open_video(src)
    if video is None:
        raise ValueError("cannot read %s" % src)
    fps = video.get(cv2.CAP_PROP_FPS)
    fps = fps if 0 < fps <= 1000 else 25
    tracker = None
    index = 0
    while True:
        ok, frame = video.read()
        if not ok:
            break
        if tracker is None:
            tracker = Tracker(frame.shape[1], frame.shape[0])
        tracker.see(frame)
        if index % every == 0:
            tracker.add(detector.detect(frame))
        else:
            tracker.skip()
        index += 1
    video.release()
    if tracker is None:
        raise ValueError("%s has no frames" % src)
    tracker.finish()
    video = open_video(src)
    writer = VideoWriter(dst, src, codec, quality, overwrite)
    review = Review(tracker, src, fps) if report else None
    page, report = report, {"frames": index, "masks": 0, "predicted": 0, "longest_run": 0, "notes": []}
    runs = {}
    try:
        for i in range(index):
            ok, frame = video.read()
            if not ok:
                raise ValueError("%s gave fewer frames the second time" % src)
            tracks = tracker.frame(i)
            runs = {t.id: runs.get(t.id, 0) + 1 for t in tracks if not t.detected}
            report["masks"] += len(tracks)
            report["predicted"] += sum(not t.detected for t in tracks)
            report["longest_run"] = max([report["longest_run"], *runs.values()])
            written = anonymize(np.ascontiguousarray(frame), tracks, how, shape, scale)
            writer.write(written, fps, video.get(cv2.CAP_PROP_POS_MSEC) / 1000)
            if review is not None:
                review.add(i, written)
        writer.finish()
        if review is not None:
            review.write(page, overwrite)
        report["notes"] = writer.notes()
        report["cuts"] = tracker.cuts
    finally:
        video.release()
        writer.close()
        if review is not None:
            review.close()
    return report
