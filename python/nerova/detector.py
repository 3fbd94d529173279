"""FaceDetector: one detector handle of the C library, numpy frames in, faces out."""
from __future__ import annotations

import ctypes
import math
import numbers
import os
import threading
from pathlib import Path
from typing import List, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _native

DEFAULT_MODEL = "face_detector_back_256"
DEFAULT_TOP_K = 100  # every host's: the tool's, nerova-batch's and this package's
OVERLAP_MERGES = ("drop", "blend")  # NerovaOverlapMerge, by value
_INTERLEAVED = {"BGR": 3, "RGB": 3, "BGRA": 4, "RGBA": 4}
# The largest frame the library reads: sides up to 2^15 pixels, 2^28 pixels in all.
MAX_SIDE, MAX_PIXELS = 1 << 15, 1 << 28
_PARAM_NULL = 0x1002  # the library's code for a frame it cannot read

_lib = _native.load()
_native.route_log(_lib)
# Names as the library reads them, name to value: "BGR" ..., "DEVICE_X86" ...
PIXEL_FORMATS = _native.names(_lib, "PixelFormat", range(16))
DEVICES = _native.names(_lib, "Device", list(range(0x21)) + list(range(0x100, 0x110)))


class NerovaError(RuntimeError):
    """A non-zero code from the library; `code` is the NerovaError value."""

    def __init__(self, code: int, what: str = ""):
        self.code = code
        text = _lib.NerovaErrorString(code).decode()
        super().__init__("%s%s (0x%X)" % (what + ": " if what else "", text, code))


def _check(code: int, what: str) -> None:
    if code != 0:
        raise NerovaError(code, what)


class _FaceRecord(NamedTuple):
    score: float
    x1: int
    y1: int
    x2: int
    y2: int


_NO_POINTS = np.zeros((0, 2), np.float32)
_NO_POINTS.flags.writeable = False


class Face(_FaceRecord):
    """One face: score and corners in frame pixels (truncated toward zero), as a tuple; and,
    as attributes, the corners before truncation (box_float) and the model's landmarks, a
    (K, 2) float array in frame pixels named by landmark_names (K = 0 for a model without
    them). Equality and unpacking see the tuple only."""

    def __new__(cls, score, x1, y1, x2, y2, box_float=None, landmarks=None, landmark_names=()):
        self = super().__new__(cls, score, x1, y1, x2, y2)
        self.box_float = tuple(box_float) if box_float is not None else (x1, y1, x2, y2)
        self.landmarks = _NO_POINTS if landmarks is None else landmarks
        self.landmark_names = tuple(landmark_names)
        return self

    def __getnewargs__(self):
        return (*self, self.box_float, self.landmarks, self.landmark_names)

    @property
    def box(self) -> Tuple[int, int, int, int]:
        return (self.x1, self.y1, self.x2, self.y2)


def _native_face(face: Face):
    """The library's record of face and its landmark names, with the points array the record
    points into (to be kept alive while the record is used)."""
    points = np.ascontiguousarray(face.landmarks, dtype=np.float32)
    detail = _native.FaceDetail(face.score, *face.box_float, len(points),
                                points.ctypes.data_as(ctypes.POINTER(ctypes.c_float)))
    names = (ctypes.c_char_p * max(1, len(points)))(*[n.encode() for n in face.landmark_names])
    return detail, names, points


def align(image: np.ndarray, face: Face, size: int = 112) -> np.ndarray:
    """The face cut out of image and warped by the similarity that puts its eyes, nose and
    mouth on the five-point template of face recognition (112 x 112, scaled to size): a
    size x size crop of image's type. ValueError when the face's model has no eyes, nose or
    mouth landmarks."""
    import cv2
    size = _integer(size, "size", 1, 4096)
    if not isinstance(face, Face):
        raise TypeError("face must be a nerova.Face, not %s" % type(face).__name__)
    detail, names, _points = _native_face(face)
    matrix = (ctypes.c_float * 6)()
    if _lib.NerovaFaceAlignment(ctypes.byref(detail), names, size, ctypes.byref(matrix)) != 0:
        raise ValueError("the face has no eyes, nose and mouth to align on (landmarks: %s)"
                         % (", ".join(face.landmark_names) or "none"))
    return cv2.warpAffine(image, np.array(matrix, np.float64).reshape(2, 3), (size, size),
                          flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT, borderValue=0)


def models() -> "dict[str, Path]":
    """Model directories found by name, in the library's model folders: NEROVA_MODELS, the
    models installed beside the library, a build tree's source models."""
    return _native.find_models(_lib)


def resolve_model(model: Union[str, bytes, os.PathLike, None]) -> Path:
    """A model name, a model directory or a model file, to the model file's path, as every
    host resolves it (the library's NerovaFaceDetectorFindModel)."""
    if model is None:
        model = DEFAULT_MODEL
    if isinstance(model, bytes):
        model = os.fsdecode(model)
    if not isinstance(model, (str, os.PathLike)):
        raise TypeError("model must be a name or a path, not %s" % type(model).__name__)
    path = _native.find_model(_lib, os.fspath(model))
    if path is None:
        raise ValueError("no model named %r; known: %s"
                         % (os.fspath(model), ", ".join(models()) or "none"))
    return path


class FaceDetector:
    """A detector on one model. A detector serves one call at a time: calls from several
    threads wait for each other (a lock per detector); separate detectors run in parallel
    on separate threads (the library call releases the GIL).

    Settings: score_threshold and nms_threshold in [0, 1], top_k in [1, 100000]; a change
    applies from the next frame. Defaults: the library's thresholds (0.95, 0.7) and, as in
    every host, 100 candidates per frame (the library's own ten would miss faces in a crowd).
    """

    def __init__(self, model: Union[str, os.PathLike, None] = None, *,
                 score_threshold: Optional[float] = None, nms_threshold: Optional[float] = None,
                 top_k: Optional[int] = DEFAULT_TOP_K, threads: Optional[int] = None,
                 device: Optional[str] = None, tiles: Union[None, str, Tuple[int, int]] = None,
                 confirm_tile_faces: Optional[int] = None):
        # Re-entrant: tiled detection and the settings it reads run under the same hold.
        self._lock = threading.RLock()
        self._handle = ctypes.c_void_p()
        self._confirmation: "dict[str, float]" = {}
        self.model_path = resolve_model(model)
        runtime = None
        if threads is not None or device is not None:
            if device is not None and not isinstance(device, str):
                raise TypeError("device must be a name, not %s" % type(device).__name__)
            if device is not None and device not in DEVICES:
                raise ValueError("unknown device %r; one of %s" % (device, ", ".join(DEVICES)))
            if threads is not None:
                _integer(threads, "threads", 0, 64)
            # The runtime record replaces all three of the model's values, so the ones not
            # given keep the usual defaults.
            runtime = _native.CustomRuntime(DEVICES[device or "DEVICE_X86"], 0, threads or 1)
        _check(_lib.NerovaFaceDetectorCreate(os.fsencode(self.model_path), b"",
                                             ctypes.byref(runtime) if runtime else None,
                                             ctypes.byref(self._handle)),
               "cannot create a detector on %s" % self.model_path)
        count = ctypes.c_int32()
        _check(_lib.NerovaFaceDetectorGetLandmarkCount(self._handle, ctypes.byref(count)),
               "landmarks")
        self._landmark_names = tuple(_lib.NerovaFaceDetectorLandmarkName(self._handle, i).decode()
                                     for i in range(count.value))
        try:
            if score_threshold is not None:
                self.score_threshold = score_threshold
            if nms_threshold is not None:
                self.nms_threshold = nms_threshold
            if top_k is not None:
                self.top_k = top_k
            if tiles is not None:
                self.tiles = tiles
            if confirm_tile_faces is not None:
                self.confirm_tile_faces = confirm_tile_faces
        except BaseException:
            self.close()
            raise

    # -- life time ------------------------------------------------------------------------
    def close(self) -> None:
        """Destroys the handle, once a call under way in another thread has returned; later
        calls do nothing."""
        with self._lock:
            if self._handle:
                _lib.NerovaFaceDetectorDestroy(self._handle)
                self._handle = ctypes.c_void_p()

    def __enter__(self) -> "FaceDetector":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None):
            self.close()

    def _live(self) -> ctypes.c_void_p:
        if not self._handle:
            raise ValueError("the detector is closed")
        return self._handle

    # -- settings -------------------------------------------------------------------------
    def _settings(self) -> Tuple[float, float, int]:
        s, n, k = ctypes.c_float(), ctypes.c_float(), ctypes.c_int32()
        with self._lock:
            _check(_lib.NerovaFaceDetectorGetSettings(self._live(), ctypes.byref(s),
                                                      ctypes.byref(n), ctypes.byref(k)),
                   "settings")
        return s.value, n.value, k.value

    def _set_unit(self, setter: str, name: str, value: float) -> None:
        v = _unit(value, name)
        with self._lock:
            _check(getattr(_lib, setter)(self._live(), v), "%s %r" % (name, value))

    score_threshold = property(lambda self: self._settings()[0],
                               lambda self, v: self._set_unit(
                                   "NerovaFaceDetectorSetScoreThreshold", "score_threshold", v),
                               doc="Lowest score kept, 0 to 1.")
    nms_threshold = property(lambda self: self._settings()[1],
                             lambda self, v: self._set_unit(
                                 "NerovaFaceDetectorSetNmsThreshold", "nms_threshold", v),
                             doc="Overlap (IoU) above which a box is suppressed, 0 to 1.")

    @property
    def top_k(self) -> int:
        return self._settings()[2]

    @top_k.setter
    def top_k(self, value: int) -> None:
        k = _integer(value, "top_k", 1, 100000)
        with self._lock:
            _check(_lib.NerovaFaceDetectorSetTopK(self._live(), k), "top_k %r" % (value,))

    def _selection(self) -> Tuple[int, int]:
        pool, merge = ctypes.c_int32(), ctypes.c_int32()
        with self._lock:
            _check(_lib.NerovaFaceDetectorGetSelection(self._live(), ctypes.byref(pool),
                                                       ctypes.byref(merge)), "selection")
        return pool.value, merge.value

    @property
    def candidate_pool(self) -> int:
        """Candidates that go into suppression before the top_k best survivors are kept,
        0 to 4096; 0: top_k of them. The model sets it; crowds need one."""
        return self._selection()[0]

    @candidate_pool.setter
    def candidate_pool(self, value: int) -> None:
        pool = _integer(value, "candidate_pool", 0, 4096)
        with self._lock:
            _check(_lib.NerovaFaceDetectorSetCandidatePool(self._live(), pool),
                   "candidate_pool %r" % (value,))

    @property
    def confirm_tile_faces(self) -> int:
        """How many faces that only a tile found get a second look per frame, 0 to 256 (0:
        none, each counts as found); the model sets it, 32 by default."""
        n = ctypes.c_int32()
        with self._lock:
            _check(_lib.NerovaFaceDetectorGetConfirmation(self._live(), ctypes.byref(n)),
                   "confirm_tile_faces")
        return n.value

    @confirm_tile_faces.setter
    def confirm_tile_faces(self, value: int) -> None:
        n = _integer(value, "confirm_tile_faces", 0, 256)
        with self._lock:
            _check(_lib.NerovaFaceDetectorSetConfirmation(self._live(), n),
                   "confirm_tile_faces %r" % (value,))

    @property
    def confirmation(self) -> "dict[str, float]":
        """What the second look did on the last frame this detector processed: candidates
        (faces only a tile found), refused_by_landmarks, refused_by_look, confirmed,
        unchecked, forwards (its network passes), tile_passes, milliseconds."""
        return dict(self._confirmation)

    @property
    def overlap_merge(self) -> str:
        """"drop": a face's box is its best candidate's; "blend": the score-weighted mean of
        the candidates it suppressed. The model sets it."""
        return OVERLAP_MERGES[self._selection()[1]]

    @overlap_merge.setter
    def overlap_merge(self, value: str) -> None:
        if value not in OVERLAP_MERGES:
            raise ValueError("overlap_merge must be one of %s, not %r" % (OVERLAP_MERGES, value))
        with self._lock:
            _check(_lib.NerovaFaceDetectorSetOverlapMerge(self._live(),
                                                          OVERLAP_MERGES.index(value)),
                   "overlap_merge %r" % (value,))

    @property
    def landmark_names(self) -> Tuple[str, ...]:
        """The names of the points each face carries, in order; right and left are the
        person's own. Empty for a model without landmarks."""
        return self._landmark_names

    @property
    def input_size(self) -> Tuple[int, int]:
        """The network's input (width, height) into which each frame is letterboxed."""
        w, h = ctypes.c_int32(), ctypes.c_int32()
        with self._lock:
            _check(_lib.NerovaFaceDetectorGetInputSize(self._live(), ctypes.byref(w),
                                                       ctypes.byref(h)), "input size")
        return w.value, h.value

    @property
    def tiles(self) -> Tuple[int, int]:
        """Tiles detected on besides the whole frame, as (rows, cols): (1, 1) none, (0, 0)
        automatic. Set from "off", "auto", "RxC" or (rows, cols) of 1 to 16 each; see
        detect()."""
        rows, cols = ctypes.c_int32(), ctypes.c_int32()
        with self._lock:
            _check(_lib.NerovaFaceDetectorGetTiles(self._live(), ctypes.byref(rows),
                                                   ctypes.byref(cols)), "tiles")
        return rows.value, cols.value

    @tiles.setter
    def tiles(self, value: Union[None, str, Tuple[int, int]]) -> None:
        self._set_tiles(parse_tiles(value), value)

    def _set_tiles(self, tiles: Tuple[int, int], value) -> None:
        with self._lock:
            _check(_lib.NerovaFaceDetectorSetTiles(self._live(), *tiles), "tiles %r" % (value,))

    # -- detection ------------------------------------------------------------------------
    def detect(self, image: np.ndarray, pixel_format: str = "BGR",
               tiles: Union[None, str, Tuple[int, int]] = None) -> List[Face]:
        """Faces in one frame, score falling. image is a uint8 array as OpenCV lays it out:
        HxWx3 for BGR and RGB, HxWx4 for BGRA and RGBA, HxW for GRAY, and (H*3/2)xW for the
        4:2:0 formats NV12, NV21 and YV12 (H and W even). Row strides are passed as they
        are; an array whose pixels are not packed within a row is copied once.

        tiles ("auto", "RxC", (rows, cols) or "off"; default: the detector's own setting,
        the tiles property) also runs the network on overlapping tiles of the frame, for
        faces too small for one pass over a large frame: the library's tiling, which costs
        one pass per tile more (see its header)."""
        with self._lock:
            if tiles is None:
                return self._detect_one(image, pixel_format)
            kept, self.tiles = self.tiles, tiles
            try:
                return self._detect_one(image, pixel_format)
            finally:
                self._set_tiles(kept, kept)  # as read back: (0, 0) when automatic

    def _detect_one(self, image: np.ndarray, pixel_format: str) -> List[Face]:
        """One process call; the caller holds the lock."""
        frame, keep = _frame(image, pixel_format)
        faces = ctypes.POINTER(_native.FaceDetail)()
        count = ctypes.c_uint32()
        _check(_lib.NerovaFaceDetectorProcessDetails(
            self._live(), ctypes.byref(frame), ctypes.sizeof(_native.FaceDetail),
            ctypes.byref(faces), ctypes.byref(count)), "detection failed")
        del keep
        report = _native.ConfirmationReport()
        _check(_lib.NerovaFaceDetectorGetConfirmationReport(
            self._live(), ctypes.sizeof(report), ctypes.byref(report)), "confirmation report")
        self._confirmation = {name: getattr(report, name) for name, _ in report._fields_}
        names = self._landmark_names
        try:
            out = []
            for f in (faces[i] for i in range(count.value)):
                corners = (f.x1, f.y1, f.x2, f.y2)
                # Truncation toward zero, as the library's 20-byte records have it; every
                # corner lies inside the frame.
                points = (np.ctypeslib.as_array(f.landmarks, (f.landmark_count, 2)).copy()
                          if f.landmark_count else None)
                out.append(Face(float(f.score), *(int(v) for v in corners), corners, points,
                                names))
            return out
        finally:
            _lib.NerovaFaceDetectorDetailsRelease(faces)


def parse_tiles(tiles: Union[None, str, Tuple[int, int]]) -> Tuple[int, int]:
    """A tiling option as every host reads it ("off", "auto", "RxC", or (rows, cols)) to the
    library's (rows, cols): (1, 1) none, (0, 0) automatic. A pair is read as the text "RxC",
    so that it is refused exactly where the tool's --tiles is ((0, 0) included: "auto" is
    the automatic tiling's only name)."""
    if tiles is None:
        return 1, 1
    if not isinstance(tiles, str):
        if not (isinstance(tiles, (tuple, list)) and len(tiles) == 2):
            raise TypeError("tiles must be 'auto', 'off', 'RxC' or (rows, cols), not %r"
                            % (tiles,))
        if not all(isinstance(n, numbers.Integral) and not isinstance(n, (bool, np.bool_))
                   for n in tiles):
            raise ValueError("tiles (rows, cols) must be integers from 1 to 16, not %r"
                             % (tiles,))
        text = "%dx%d" % tuple(tiles)
    elif "\0" in tiles:  # no command line holds one; the library would read up to it
        raise ValueError("tiles must be 'auto', 'off' or 'RxC' (1 to 16 each), not %r" % tiles)
    else:
        text = tiles
    rows, cols = ctypes.c_int32(), ctypes.c_int32()
    if _lib.NerovaFaceDetectorParseTiles(os.fsencode(text), ctypes.byref(rows),
                                         ctypes.byref(cols)) != 0:
        raise ValueError("tiles must be 'auto', 'off' or 'RxC' (1 to 16 each), not %r"
                         % (tiles,))
    return rows.value, cols.value


def _unit(value, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a number in [0, 1], not %s %r"
                        % (name, type(value).__name__, value))
    try:
        v = float(value)
    except OverflowError:  # an integer too large for a float is out of range all the same
        v = math.inf
    if math.isnan(v) or not 0.0 <= v <= 1.0:
        raise ValueError("%s must be a number in [0, 1], not %r" % (name, value))
    return v


def _integer(value, name: str, lo: int, hi: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError("%s must be an integer in [%d, %d], not %s %r"
                        % (name, lo, hi, type(value).__name__, value))
    if not lo <= value <= hi:
        raise ValueError("%s must be an integer in [%d, %d], not %r" % (name, lo, hi, value))
    return int(value)


def _frame(image: np.ndarray, pixel_format: str) -> Tuple[_native.Frame, np.ndarray]:
    """The frame record over image's memory, and the array that must outlive the call."""
    if not isinstance(pixel_format, str):
        raise TypeError("pixel_format must be a name, not %s" % type(pixel_format).__name__)
    if pixel_format not in PIXEL_FORMATS:
        raise ValueError("unknown pixel_format %r; one of %s" % (pixel_format, ", ".join(PIXEL_FORMATS)))
    if not isinstance(image, np.ndarray):
        raise TypeError("image must be a numpy array, not %s" % type(image).__name__)
    if image.dtype != np.uint8:
        raise TypeError("image must be uint8, not %s" % image.dtype)
    frame = _native.Frame()
    frame.pixel_format = PIXEL_FORMATS[pixel_format]
    if pixel_format in _INTERLEAVED:
        c = _INTERLEAVED[pixel_format]
        if image.ndim != 3 or image.shape[2] != c:
            raise ValueError("%s needs an HxWx%d array, not shape %s" % (pixel_format, c, image.shape))
    elif pixel_format == "GRAY":
        if image.ndim == 3 and image.shape[2] == 1:
            image = image[:, :, 0]
        if image.ndim != 2:
            raise ValueError("GRAY needs an HxW array, not shape %s" % (image.shape,))
    else:
        rows, w = image.shape if image.ndim == 2 else (0, 0)
        h = rows * 2 // 3
        if image.ndim != 2 or rows % 3 or h % 2 or w % 2 or h == 0 or w == 0:
            raise ValueError("%s needs an (H*3/2)xW array with H and W even and not 0, not "
                             "shape %s" % (pixel_format, image.shape))
        _check_size(w, h)
        image = np.ascontiguousarray(image)
        base = image.ctypes.data
        frame.width, frame.height = w, h
        frame.data[0], frame.stride[0] = base, w
        if pixel_format == "YV12":
            frame.data[1], frame.stride[1] = base + h * w, w // 2
            frame.data[2], frame.stride[2] = base + h * w + (h // 2) * (w // 2), w // 2
        else:
            frame.data[1], frame.stride[1] = base + h * w, w
        return frame, image
    height, width = image.shape[0], image.shape[1]
    if height == 0 or width == 0:
        raise ValueError("image is empty (shape %s)" % (image.shape,))
    _check_size(width, height)
    # The library reads rows of packed pixels at a positive stride: anything else (pixels
    # apart within a row, rows upside down, overlapping or broadcast rows, rows too far
    # apart for a 32-bit stride) is copied once.
    pixel = image.shape[2] if image.ndim == 3 else 1
    packed = image.strides[-1] == 1 and (image.ndim == 2 or image.strides[1] == pixel)
    if not packed or not width * pixel <= image.strides[0] <= 2**31 - 1:
        image = np.ascontiguousarray(image)
    frame.height, frame.width = height, width
    frame.data[0], frame.stride[0] = image.ctypes.data, image.strides[0]
    return frame, image


def _check_size(width: int, height: int) -> None:
    if width > MAX_SIDE or height > MAX_SIDE or width * height > MAX_PIXELS:
        raise NerovaError(_PARAM_NULL, "a frame of %dx%d pixels is larger than the library "
                          "reads (sides up to %d, %d pixels in all)"
                          % (width, height, MAX_SIDE, MAX_PIXELS))
