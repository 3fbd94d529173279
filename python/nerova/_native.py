"""The C interfaces of libnerova_module_face_detector and, for video, libnerova_video, loaded
through ctypes."""
from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import logging
import os
import sys
from pathlib import Path
from typing import List, Optional

LIBRARY_NAME = "libnerova_module_face_detector.so"
VIDEO_LIBRARY_NAME = "libnerova_video.so"
_PACKAGE_DIR = Path(__file__).resolve().parent


class Frame(ctypes.Structure):
    _fields_ = [
        ("pixel_format", ctypes.c_int32),
        ("width", ctypes.c_int32),
        ("height", ctypes.c_int32),
        ("data", ctypes.c_void_p * 3),
        ("stride", ctypes.c_int32 * 3),
    ]


class FaceInfo(ctypes.Structure):
    _fields_ = [
        ("score", ctypes.c_float),
        ("x1", ctypes.c_int32),
        ("y1", ctypes.c_int32),
        ("x2", ctypes.c_int32),
        ("y2", ctypes.c_int32),
    ]


class FaceDetail(ctypes.Structure):
    _fields_ = [
        ("score", ctypes.c_float),
        ("x1", ctypes.c_float),
        ("y1", ctypes.c_float),
        ("x2", ctypes.c_float),
        ("y2", ctypes.c_float),
        ("landmark_count", ctypes.c_uint32),
        ("landmarks", ctypes.POINTER(ctypes.c_float)),
    ]


class Track(ctypes.Structure):
    _fields_ = [("id", ctypes.c_uint32), ("state", ctypes.c_int32), ("score", ctypes.c_float),
                ("x1", ctypes.c_float), ("y1", ctypes.c_float), ("x2", ctypes.c_float),
                ("y2", ctypes.c_float), ("angle", ctypes.c_float)]


class ReviewCounts(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("frames", ctypes.c_uint32),
                ("tracks", ctypes.c_uint32), ("cuts", ctypes.c_uint32),
                ("to_check", ctypes.c_uint32), ("pictures", ctypes.c_uint32),
                ("masks", ctypes.c_uint64), ("states", ctypes.c_uint64 * 4)]


class TrackerOptions(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("max_missed_frames", ctypes.c_int32),
                ("min_iou", ctypes.c_float), ("growth_per_frame", ctypes.c_float),
                ("max_growth", ctypes.c_float)]


class ConfirmationReport(ctypes.Structure):
    _fields_ = [("candidates", ctypes.c_int32), ("refused_by_landmarks", ctypes.c_int32),
                ("refused_by_look", ctypes.c_int32), ("confirmed", ctypes.c_int32),
                ("unchecked", ctypes.c_int32), ("forwards", ctypes.c_int32),
                ("tile_passes", ctypes.c_int32), ("milliseconds", ctypes.c_double)]


class MaskRegion(ctypes.Structure):
    _fields_ = [("x1", ctypes.c_float), ("y1", ctypes.c_float), ("x2", ctypes.c_float),
                ("y2", ctypes.c_float), ("angle", ctypes.c_float)]


class CustomRuntime(ctypes.Structure):
    _fields_ = [
        ("device_type", ctypes.c_int32),
        ("device_id", ctypes.c_int32),
        ("thread_num", ctypes.c_int32),
    ]


# void (*)(int32_t level, const char* line, void* user)
LOG_SINK = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p)
_LOG_LEVELS = {0: logging.DEBUG, 1: logging.INFO, 2: logging.WARNING, 3: logging.ERROR}
log = logging.getLogger("nerova")


@LOG_SINK
def _to_logging(level: int, line: bytes, user) -> None:
    log.log(_LOG_LEVELS.get(level, logging.ERROR), line.decode("utf-8", "replace"))


def route_log(lib: ctypes.CDLL) -> None:
    """The library's diagnostic lines go to the "nerova" logger: a host configures, captures
    or silences them as any other log (unconfigured, errors still reach standard error).
    At exit they return to standard error, as Python can no longer take them then."""
    if lib.NerovaSetLogSink(_to_logging, None) == 0:
        stderr_sink = LOG_SINK(("NerovaLogToStderr", lib))
        atexit.register(lib.NerovaSetLogSink, stderr_sink, None)


try:  # written by the CMake install: where the library and models are, from this folder
    from . import _installed
except ImportError:
    _installed = None


def _prefixes() -> List[Path]:
    """Prefixes the package may be installed under (PREFIX/lib/python3*/*-packages/nerova
    sits three folders below PREFIX), then the interpreter's."""
    found = [_PACKAGE_DIR.parents[3]] if len(_PACKAGE_DIR.parents) > 3 else []
    return found + [Path(sys.prefix), Path("/usr/local"), Path("/usr")]


def candidates() -> List[Path]:
    """Where the library is looked for, in order: NEROVA_LIBRARY, which names it, then beside
    the package, the installed prefix's library folder and a checkout's build."""
    paths = [Path(os.environ["NEROVA_LIBRARY"])] if os.environ.get("NEROVA_LIBRARY") else []
    paths.append(_PACKAGE_DIR / LIBRARY_NAME)
    if _installed is not None:
        paths.append((_PACKAGE_DIR / _installed.LIBRARY_DIR / LIBRARY_NAME).resolve())
    paths += [prefix / "lib" / LIBRARY_NAME for prefix in _prefixes()[:1]]
    # Run from a checkout: the library that scripts/detect-sample builds.
    paths.append(_PACKAGE_DIR.parent.parent / "build" / LIBRARY_NAME)
    return paths


loaded_from: Optional[Path] = None  # the library file in use


def load() -> ctypes.CDLL:
    global loaded_from
    searched = candidates()
    named = os.environ.get("NEROVA_LIBRARY")
    if named and not Path(named).is_file():  # what the user named is what they want, or nothing
        raise ImportError("nerova: NEROVA_LIBRARY names %s, which is not a file" % named)
    for path in searched:
        if path.is_file():
            loaded_from = path.resolve()
            return _declare(ctypes.CDLL(str(path)))
    # Last, the system's linker paths (a Debian package installs there).
    found = ctypes.util.find_library("nerova_module_face_detector")
    if found:
        return _declare(ctypes.CDLL(found))
    raise ImportError(
        "nerova: cannot find %s; searched %s. Install the library (cmake --install) or set "
        "NEROVA_LIBRARY to its path." % (LIBRARY_NAME, ", ".join(str(p) for p in searched)))


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    err = ctypes.c_int32
    handle = ctypes.c_void_p
    signatures = {
        "NerovaFaceDetectorCreate": [ctypes.c_char_p, ctypes.c_char_p,
                                     ctypes.POINTER(CustomRuntime), ctypes.POINTER(handle)],
        "NerovaFaceDetectorDestroy": [handle],
        "NerovaFaceDetectorProcess": [handle, ctypes.POINTER(Frame),
                                      ctypes.POINTER(ctypes.POINTER(FaceInfo)),
                                      ctypes.POINTER(ctypes.c_uint32)],
        "NerovaFaceDetectorOutputRelease": [ctypes.POINTER(FaceInfo)],
        "NerovaFaceDetectorProcessDetails": [handle, ctypes.POINTER(Frame), ctypes.c_uint32,
                                             ctypes.POINTER(ctypes.POINTER(FaceDetail)),
                                             ctypes.POINTER(ctypes.c_uint32)],
        "NerovaFaceDetectorDetailsRelease": [ctypes.POINTER(FaceDetail)],
        "NerovaFaceDetectorGetLandmarkCount": [handle, ctypes.POINTER(ctypes.c_int32)],
        "NerovaAnonymize": [ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p,
                            ctypes.c_int32, ctypes.POINTER(MaskRegion), ctypes.c_uint32,
                            ctypes.c_int32, ctypes.c_int32, ctypes.c_float, ctypes.POINTER(Frame)],
        "NerovaWriteFile": [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_int32,
                            ctypes.c_char_p, ctypes.c_uint32],
        "NerovaFaceAngle": [ctypes.POINTER(FaceDetail), ctypes.POINTER(ctypes.c_char_p),
                            ctypes.POINTER(ctypes.c_float)],
        "NerovaFaceAlignment": [ctypes.POINTER(FaceDetail), ctypes.POINTER(ctypes.c_char_p),
                                ctypes.c_int32, ctypes.POINTER(ctypes.c_float * 6)],
        "NerovaFaceDetectorSetScoreThreshold": [handle, ctypes.c_float],
        "NerovaFaceDetectorSetNmsThreshold": [handle, ctypes.c_float],
        "NerovaFaceDetectorSetTopK": [handle, ctypes.c_int32],
        "NerovaFaceDetectorGetSettings": [handle, ctypes.POINTER(ctypes.c_float),
                                          ctypes.POINTER(ctypes.c_float),
                                          ctypes.POINTER(ctypes.c_int32)],
        "NerovaFaceDetectorGetInputSize": [handle, ctypes.POINTER(ctypes.c_int32),
                                           ctypes.POINTER(ctypes.c_int32)],
        "NerovaFaceDetectorSetTiles": [handle, ctypes.c_int32, ctypes.c_int32],
        "NerovaFaceDetectorSetCandidatePool": [handle, ctypes.c_int32],
        "NerovaFaceDetectorSetConfirmation": [handle, ctypes.c_int32],
        "NerovaFaceDetectorGetConfirmation": [handle, ctypes.POINTER(ctypes.c_int32)],
        "NerovaFaceDetectorGetConfirmationReport": [handle, ctypes.c_uint32,
                                                    ctypes.POINTER(ConfirmationReport)],
        "NerovaFaceDetectorSetOverlapMerge": [handle, ctypes.c_int32],
        "NerovaFaceDetectorGetSelection": [handle, ctypes.POINTER(ctypes.c_int32),
                                           ctypes.POINTER(ctypes.c_int32)],
        "NerovaFaceDetectorGetTiles": [handle, ctypes.POINTER(ctypes.c_int32),
                                       ctypes.POINTER(ctypes.c_int32)],
        "NerovaFaceDetectorParseTiles": [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int32),
                                         ctypes.POINTER(ctypes.c_int32)],
        "NerovaFaceDetectorFindModel": [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32],
        "NerovaFaceDetectorModelFolders": [ctypes.c_char_p, ctypes.c_uint32],
        "NerovaPixelFormatFromName": [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int32)],
        "NerovaDeviceFromName": [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int32)],
        "NerovaSetLogSink": [LOG_SINK, ctypes.c_void_p],
        "NerovaSetLogLevel": [ctypes.c_int32],
    }
    texts = {"NerovaErrorString": [err], "NerovaFaceDetectorVersion": [],
             "NerovaFaceDetectorLandmarkName": [handle, ctypes.c_int32],
             "NerovaPixelFormatName": [ctypes.c_int32], "NerovaDeviceName": [ctypes.c_int32]}
    return _typed(lib, signatures, texts)


def _typed(lib: ctypes.CDLL, signatures, texts) -> ctypes.CDLL:
    for table, restype in ((signatures, ctypes.c_int32), (texts, ctypes.c_char_p)):
        for name, args in table.items():
            fn = getattr(lib, name)
            fn.argtypes, fn.restype = args, restype
    return lib


class VideoUnavailable(ImportError):
    """This installation has no video library (a build without FFmpeg): faces cannot be
    followed through a video, nor videos written."""


_video: Optional[ctypes.CDLL] = None
_video_error: Optional[VideoUnavailable] = None  # once looked for in vain, not looked for again


def video_missing(lib: ctypes.CDLL) -> str:
    """"" when videos can be followed; else the line a host prints for a video input, as the
    tool does."""
    try:
        load_video(lib)
        return ""
    except VideoUnavailable:
        return "videos need the video library (libnerova_video), which this installation lacks"


def load_video(lib: ctypes.CDLL) -> ctypes.CDLL:
    """The video library of the same release as lib: beside it (as installed, or in a build
    tree), else on the system's linker paths. VideoUnavailable when there is none."""
    global _video, _video_error
    if _video is not None:
        return _video
    if _video_error is not None:
        raise _video_error
    version = library_version(lib)
    names = ["%s.%s" % (VIDEO_LIBRARY_NAME, version.split(".")[0]), VIDEO_LIBRARY_NAME]
    searched = [loaded_from.parent / n for n in names] if loaded_from else []
    found = next((p for p in searched if p.is_file()), None)
    path = str(found) if found else (None if loaded_from else
                                     ctypes.util.find_library("nerova_video"))
    if not path:
        _video_error = VideoUnavailable(
            "nerova: video needs %s, which this installation lacks (searched %s; the library "
            "is built only where FFmpeg's libraries are found)" %
            (names[0], ", ".join(str(p) for p in searched) or "the linker paths"))
        raise _video_error
    video = ctypes.CDLL(path)
    video.NerovaVideoVersion.restype = ctypes.c_char_p
    if video.NerovaVideoVersion().decode() != version:
        raise VideoUnavailable("nerova: %s is release %s, the detector %s" %
                               (path, video.NerovaVideoVersion().decode(), version))
    handle = ctypes.c_void_p
    signatures = {
        "NerovaTrackerDefaults": [ctypes.POINTER(TrackerOptions)],
        "NerovaTrackerCreate": [ctypes.POINTER(TrackerOptions), ctypes.c_int32, ctypes.c_int32,
                                ctypes.POINTER(handle)],
        "NerovaTrackerDestroy": [handle],
        "NerovaTrackerAddFrame": [handle, ctypes.c_int32, ctypes.POINTER(FaceInfo), ctypes.c_uint32,
                                  ctypes.POINTER(ctypes.c_float), ctypes.POINTER(ctypes.c_uint32),
                                  ctypes.POINTER(ctypes.POINTER(Track)),
                                  ctypes.POINTER(ctypes.c_uint32)],
        "NerovaTrackerSeeFrame": [handle, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32,
                                  ctypes.c_void_p, ctypes.c_int32, ctypes.POINTER(ctypes.c_int32)],
        "NerovaTrackerCut": [handle],
        "NerovaTrackerCutCount": [handle, ctypes.POINTER(ctypes.c_uint32)],
        "NerovaTrackerCutAt": [handle, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)],
        "NerovaTrackerFinish": [handle],
        "NerovaTrackerFrame": [handle, ctypes.c_uint32, ctypes.POINTER(ctypes.POINTER(Track)),
                               ctypes.POINTER(ctypes.c_uint32)],
        "NerovaTrackerFrameSoFar": [handle, ctypes.c_uint32,
                                    ctypes.POINTER(ctypes.POINTER(Track)),
                                    ctypes.POINTER(ctypes.c_uint32)],
        "NerovaTracksRelease": [ctypes.POINTER(Track)],
        "NerovaVideoWriterCreate": [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                                    ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(handle)],
        "NerovaVideoWriterWrite": [handle, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32,
                                   ctypes.c_void_p, ctypes.c_int32, ctypes.c_double],
        "NerovaVideoWriterWriteAt": [handle, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32,
                                     ctypes.c_void_p, ctypes.c_int32, ctypes.c_double,
                                     ctypes.c_double],
        "NerovaVideoWriterFinish": [handle],
        "NerovaVideoWriterDestroy": [handle],
        "NerovaReviewCreate": [handle, ctypes.c_char_p, ctypes.c_double, ctypes.POINTER(handle)],
        "NerovaReviewAddFrame": [handle, ctypes.c_uint32, ctypes.c_int32, ctypes.c_int32,
                                 ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32],
        "NerovaReviewWantsFrame": [handle, ctypes.c_uint32, ctypes.POINTER(ctypes.c_int32)],
        "NerovaReviewGetCounts": [handle, ctypes.POINTER(ReviewCounts)],
        "NerovaReviewWrite": [handle, ctypes.c_char_p, ctypes.c_int32],
        "NerovaReviewDestroy": [handle],
    }
    signatures["NerovaVideoWriterNoteCount"] = [handle]
    _video = _typed(video, signatures, {"NerovaVideoWriterMessage": [handle],
                                        "NerovaReviewMessage": [handle],
                                        "NerovaVideoWriterNote": [handle, ctypes.c_uint32]})
    return _video


PATH_SIZE = 1 << 16  # holds any path, and any list of model folders


def model_roots(lib: ctypes.CDLL) -> List[Path]:
    """The folders holding model directories, in the library's search order (NEROVA_MODELS,
    the models installed beside the library, a build tree's source models)."""
    buffer = ctypes.create_string_buffer(PATH_SIZE)
    if lib.NerovaFaceDetectorModelFolders(buffer, PATH_SIZE) != 0:
        return []
    return [Path(os.fsdecode(f)) for f in buffer.value.split(b":") if f]


def find_models(lib: ctypes.CDLL) -> "dict[str, Path]":
    found = {}
    for root in model_roots(lib):
        # A folder this user cannot read holds no model for them; it must not hide the others.
        try:
            subs = sorted(root.iterdir()) if root.is_dir() else []
        except OSError:
            continue
        for sub in subs:
            try:
                if sub.name not in found and (sub / "inference.json").is_file():
                    found[sub.name] = sub
            except OSError:
                continue
    return found


def find_model(lib: ctypes.CDLL, name: str) -> Optional[Path]:
    """The model file the library resolves name to (as every host does), or None."""
    buffer = ctypes.create_string_buffer(PATH_SIZE)
    if lib.NerovaFaceDetectorFindModel(os.fsencode(name), buffer, PATH_SIZE) != 0:
        return None
    return Path(os.fsdecode(buffer.value))


def names(lib: ctypes.CDLL, kind: str, values) -> "dict[str, int]":
    """The library's names of pixel formats or devices, name to value."""
    name_of = getattr(lib, "Nerova%sName" % kind)
    return {name_of(v).decode(): v for v in values if name_of(v)}


def library_version(lib: Optional[ctypes.CDLL]) -> str:
    return lib.NerovaFaceDetectorVersion().decode() if lib else "unknown"
