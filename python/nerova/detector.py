"""FaceDetector: one detector handle of the C library, numpy frames in, faces out."""
from __future__ import annotations

import ctypes
import math
import os
from pathlib import Path
from typing import List, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _native

PIXEL_FORMATS = {"RGBA": 0, "BGR": 1, "RGB": 2, "BGRA": 3, "GRAY": 4, "NV12": 6, "NV21": 7,
                 "YV12": 8}
DEVICES = {"DEVICE_NAIVE": 0x0, "DEVICE_X86": 0x10, "DEVICE_ARM": 0x20, "DEVICE_OPENCL": 0x100,
           "DEVICE_METAL": 0x101, "DEVICE_CUDA": 0x102, "DEVICE_DSP": 0x103,
           "DEVICE_ATLAS": 0x104, "DEVICE_HUAWEI_NPU": 0x105, "DEVICE_RK_NPU": 0x106,
           "DEVICE_OPENGL": 0x107, "DEVICE_VULKAN": 0x108}
DEFAULT_MODEL = "face_detector_back_256"
_INTERLEAVED = {"BGR": 3, "RGB": 3, "BGRA": 4, "RGBA": 4}

_lib = _native.load()


class NerovaError(RuntimeError):
    """A non-zero code from the library; `code` is the NerovaError value."""

    def __init__(self, code: int, what: str = ""):
        self.code = code
        text = _lib.NerovaErrorString(code).decode()
        super().__init__("%s%s (0x%X)" % (what + ": " if what else "", text, code))


def _check(code: int, what: str) -> None:
    if code != 0:
        raise NerovaError(code, what)


class Face(NamedTuple):
    """One face: score and corners in frame pixels (x2, y2 exclusive-ish, truncated)."""
    score: float
    x1: int
    y1: int
    x2: int
    y2: int

    @property
    def box(self) -> Tuple[int, int, int, int]:
        return (self.x1, self.y1, self.x2, self.y2)


def models() -> "dict[str, Path]":
    """Model directories found (installed, bundled in a checkout, NEROVA_MODELS), by name."""
    return _native.find_models()


def resolve_model(model: Union[str, os.PathLike, None]) -> Path:
    """A model name, a model directory or a model file, to the model file's path."""
    if model is None:
        model = DEFAULT_MODEL
    path = Path(model)
    if not path.exists() and os.sep not in str(model):
        found = models()
        if str(model) not in found:
            raise ValueError("no model named %r; known: %s" % (str(model), ", ".join(found) or "none"))
        path = found[str(model)]
    if path.is_dir():
        onnx = sorted(path.glob("*.onnx"))
        named = path / "model.onnx"
        path = named if named.is_file() else (onnx[0] if onnx else named)
    return path


class FaceDetector:
    """A detector on one model. One thread at a time may use a detector; separate detectors
    run in parallel on separate threads (the library call releases the GIL).

    Settings: score_threshold and nms_threshold in [0, 1], top_k in [1, 100000]; a change
    applies from the next frame. Without arguments the library's own (0.95, 0.7, 10).
    """

    def __init__(self, model: Union[str, os.PathLike, None] = None, *,
                 score_threshold: Optional[float] = None, nms_threshold: Optional[float] = None,
                 top_k: Optional[int] = None, threads: Optional[int] = None,
                 device: Optional[str] = None):
        self._handle = ctypes.c_void_p()
        self.model_path = resolve_model(model)
        runtime = None
        if threads is not None or device is not None:
            if device is not None and device not in DEVICES:
                raise ValueError("unknown device %r; one of %s" % (device, ", ".join(DEVICES)))
            if threads is not None and not (isinstance(threads, int) and 0 <= threads <= 64):
                raise ValueError("threads must be an integer in [0, 64] (0: the library's own)")
            # The runtime record replaces all three of the model's values, so the ones not
            # given keep the usual defaults.
            runtime = _native.CustomRuntime(DEVICES[device or "DEVICE_X86"], 0, threads or 1)
        _check(_lib.NerovaFaceDetectorCreate(str(self.model_path).encode(), b"",
                                             ctypes.byref(runtime) if runtime else None,
                                             ctypes.byref(self._handle)),
               "cannot create a detector on %s" % self.model_path)
        try:
            if score_threshold is not None:
                self.score_threshold = score_threshold
            if nms_threshold is not None:
                self.nms_threshold = nms_threshold
            if top_k is not None:
                self.top_k = top_k
        except BaseException:
            self.close()
            raise

    # -- life time ------------------------------------------------------------------------
    def close(self) -> None:
        """Destroys the handle; later calls do nothing."""
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
        _check(_lib.NerovaFaceDetectorGetSettings(self._live(), ctypes.byref(s), ctypes.byref(n),
                                                  ctypes.byref(k)), "settings")
        return s.value, n.value, k.value

    def _set_unit(self, setter: str, name: str, value: float) -> None:
        _check(getattr(_lib, setter)(self._live(), _unit(value, name)), "%s %r" % (name, value))

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
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not 1 <= value <= 100000:
            raise ValueError("top_k must be an integer in [1, 100000], not %r" % (value,))
        _check(_lib.NerovaFaceDetectorSetTopK(self._live(), int(value)), "top_k %r" % (value,))

    @property
    def input_size(self) -> Tuple[int, int]:
        """The network's input (width, height) into which each frame is letterboxed."""
        w, h = ctypes.c_int32(), ctypes.c_int32()
        _check(_lib.NerovaFaceDetectorGetInputSize(self._live(), ctypes.byref(w), ctypes.byref(h)),
               "input size")
        return w.value, h.value

    # -- detection ------------------------------------------------------------------------
    def detect(self, image: np.ndarray, pixel_format: str = "BGR",
               tiles: Union[None, str, Tuple[int, int]] = None) -> List[Face]:
        """Faces in one frame, score falling. image is a uint8 array as OpenCV lays it out:
        HxWx3 for BGR and RGB, HxWx4 for BGRA and RGBA, HxW for GRAY, and (H*3/2)xW for the
        4:2:0 formats NV12, NV21 and YV12 (H and W even). Row strides are passed as they
        are; an array whose pixels are not packed within a row is copied once.

        tiles ("auto", "RxC" or (rows, cols); interleaved and GRAY frames) also runs the
        detector on overlapping tiles, for faces too small for one pass over a large frame;
        see nerova.tiling. It costs one pass per tile more."""
        if tiles not in (None, "off"):
            from . import tiling
            return tiling.detect_tiled(self, image, pixel_format, tiles)
        return self._detect_one(image, pixel_format)

    def _detect_one(self, image: np.ndarray, pixel_format: str) -> List[Face]:
        frame, keep = _frame(image, pixel_format)
        faces = ctypes.POINTER(_native.FaceInfo)()
        count = ctypes.c_uint32()
        _check(_lib.NerovaFaceDetectorProcess(self._live(), ctypes.byref(frame), ctypes.byref(faces),
                                              ctypes.byref(count)), "detection failed")
        del keep
        try:
            return [Face(float(f.score), f.x1, f.y1, f.x2, f.y2)
                    for f in (faces[i] for i in range(count.value))]
        finally:
            _lib.NerovaFaceDetectorOutputRelease(faces)


def _unit(value: float, name: str) -> float:
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise ValueError("%s must be a number in [0, 1], not %r" % (name, value)) from None
    if math.isnan(v) or not 0.0 <= v <= 1.0:
        raise ValueError("%s must be a number in [0, 1], not %r" % (name, value))
    return v


def _frame(image: np.ndarray, pixel_format: str) -> Tuple[_native.Frame, np.ndarray]:
    """The frame record over image's memory, and the array that must outlive the call."""
    if pixel_format not in PIXEL_FORMATS:
        raise ValueError("unknown pixel_format %r; one of %s" % (pixel_format, ", ".join(PIXEL_FORMATS)))
    if not isinstance(image, np.ndarray):
        raise ValueError("image must be a numpy array, not %s" % type(image).__name__)
    if image.dtype != np.uint8:
        raise ValueError("image must be uint8, not %s" % image.dtype)
    frame = _native.Frame()
    frame.pixel_format = PIXEL_FORMATS[pixel_format]
    if pixel_format in _INTERLEAVED:
        c = _INTERLEAVED[pixel_format]
        if image.ndim != 3 or image.shape[2] != c:
            raise ValueError("%s needs an HxWx%d array, not shape %s" % (pixel_format, c, image.shape))
        if image.strides[2] != 1 or image.strides[1] != c or image.strides[0] < 0:
            image = np.ascontiguousarray(image)
    elif pixel_format == "GRAY":
        if image.ndim == 3 and image.shape[2] == 1:
            image = image[:, :, 0]
        if image.ndim != 2:
            raise ValueError("GRAY needs an HxW array, not shape %s" % (image.shape,))
        if image.strides[1] != 1 or image.strides[0] < 0:
            image = np.ascontiguousarray(image)
    else:
        rows, w = image.shape if image.ndim == 2 else (0, 0)
        h = rows * 2 // 3
        if image.ndim != 2 or rows % 3 or h % 2 or w % 2 or h == 0:
            raise ValueError("%s needs an (H*3/2)xW array with H and W even, not shape %s"
                             % (pixel_format, image.shape))
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
    if image.shape[0] == 0 or image.shape[1] == 0:
        raise ValueError("image is empty (shape %s)" % (image.shape,))
    if image.strides[0] > 2**31 - 1:
        raise ValueError("image rows are too long")
    frame.height, frame.width = image.shape[0], image.shape[1]
    frame.data[0], frame.stride[0] = image.ctypes.data, image.strides[0]
    return frame, image
