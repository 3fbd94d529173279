"""Face detection on the CPU: numpy frames in, faces out.

    import cv2, nerova
    with nerova.FaceDetector(top_k=100) as det:
        faces = det.detect(cv2.imread("photo.jpg"))   # [Face(score, x1, y1, x2, y2), ...]
"""
from . import _native
from .detector import (DEFAULT_MODEL, DEVICES, PIXEL_FORMATS, Face, FaceDetector, NerovaError,
                       align, models, resolve_model)
from .detector import _lib
from ._native import VideoUnavailable
from .video import Review, Track, Tracker, anonymize, anonymize_video

__version__ = _native.library_version(_lib)
__all__ = ["FaceDetector", "Face", "NerovaError", "VideoUnavailable", "align", "Tracker", "Track", "Review", "anonymize",
           "anonymize_video", "models", "resolve_model", "PIXEL_FORMATS",
           "DEVICES", "DEFAULT_MODEL", "__version__"]
