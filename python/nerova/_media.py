"""Reading photos and videos by file name, for the commands and batch: any name a file can
have on Linux, bytes that are not UTF-8 included (Python holds those as surrogate escapes,
which OpenCV's binding cannot take: it crashes on them)."""
from __future__ import annotations

import contextlib
import os
import stat
from typing import Iterator, Optional

import numpy as np


def quiet_opencv() -> None:
    """For the commands: they report every unreadable input themselves, so OpenCV's and
    FFmpeg's own lines about it would only repeat that in their internal terms."""
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")  # read at FFmpeg's first use
    import cv2
    cv2.setLogLevel(0)


MAX_PHOTO_BYTES = 1 << 30  # no photo file is larger; a stray huge file must not fill memory
MAX_PIPED_BYTES = 256 << 20  # a photo read from a pipe


def read_image(path: str) -> Optional[np.ndarray]:
    """The photo at path as a BGR array, or None when it is not a readable image file. The
    bytes are read here and decoded from memory, so the name never reaches OpenCV. A file
    over MAX_PHOTO_BYTES is no photo; a pipe (a shell's <(...)) is read up to
    MAX_PIPED_BYTES; a device, such as /dev/zero, is no photo."""
    import cv2
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except (OSError, ValueError):  # ValueError: a name with a NUL byte
        return None
    try:
        with os.fdopen(fd, "rb") as f:
            mode = os.fstat(f.fileno()).st_mode
            if stat.S_ISREG(mode):
                if os.fstat(f.fileno()).st_size > MAX_PHOTO_BYTES:
                    return None
                data = f.read()
            elif stat.S_ISFIFO(mode):
                data = f.read(MAX_PIPED_BYTES + 1)
                if len(data) > MAX_PIPED_BYTES:
                    return None
            else:
                return None
    except OSError:
        return None
    if not data:
        return None
    try:
        return cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR)
    except cv2.error:
        return None


def _encodable(path: str) -> bool:
    try:
        path.encode("utf-8")
        return "\0" not in path
    except UnicodeEncodeError:
        return False


def open_video(path: str):
    """A cv2.VideoCapture on the video at path, or None when it cannot be opened. Only the
    file back-ends are tried: letting OpenCV choose also probes camera back-ends, whose
    plugin loading is not thread-safe. A name OpenCV cannot take is opened through this
    process's descriptor of the file instead."""
    import cv2
    with _openable_name(path) as name:
        if name is None:
            return None
        for api in (cv2.CAP_FFMPEG, cv2.CAP_OPENCV_MJPEG):
            video = cv2.VideoCapture()
            try:
                if video.open(name, api):
                    return video
            except cv2.error:
                pass
            video.release()
    return None


def video_frames(path: str, first: int = 0, end: Optional[int] = None):
    """The frames of the video at path from index first up to end (None: its end), as
    (index, BGR frame, time in ms); None when it cannot be opened. The time is the decoder's
    position after reading, which is the time of the frame just read. A video whose seek
    lands elsewhere than first (exact for some codecs only) is read from its start."""
    import cv2
    video = open_video(path)
    if video is None:
        return None
    if first > 0 and not (video.set(cv2.CAP_PROP_POS_FRAMES, first) and
                          int(video.get(cv2.CAP_PROP_POS_FRAMES)) == first):
        video.release()
        video = open_video(path)
        index = 0
        while video is not None and index < first and video.grab():
            index += 1
        if video is None or index < first:  # the video ends before first
            if video is not None:
                video.release()
            return iter(())
    return _read_frames(video, first, end)


def _read_frames(video, index: int, end: Optional[int]) -> Iterator[tuple]:
    import cv2
    try:
        while end is None or index < end:
            ok, frame = video.read()
            if not ok:
                return
            yield index, frame, video.get(cv2.CAP_PROP_POS_MSEC)
            index += 1
    finally:
        video.release()


@contextlib.contextmanager
def _openable_name(path: str) -> Iterator[Optional[str]]:
    if _encodable(path):
        yield path
        return
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except (OSError, ValueError):
        yield None
        return
    try:
        # The decoder opens the file anew through this name, and keeps its own descriptor.
        yield "/proc/self/fd/%d" % fd
    finally:
        os.close(fd)
