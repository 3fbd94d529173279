"""python -m nerova INPUT...: one JSON line per image or video frame, as the command-line tool
prints them, for the inputs the tool takes: image files, folders of images and videos
(searched recursively, sorted), video files and --files-from lists."""
from __future__ import annotations

import argparse
import sys

from . import FaceDetector, NerovaError, _native
from ._inputs import expand_inputs, is_video, list_lines, read_list
from .detector import DEFAULT_TOP_K, parse_tiles
from .records import VideoTracks, line, timed_detection


class _Unwritable(Exception):
    """Standard output refused a record: the run stops."""


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m nerova", description=__doc__)
    parser.add_argument("inputs", nargs="*", metavar="INPUT")
    parser.add_argument("--model", default=None, help="model name, directory or file")
    parser.add_argument("--top-k", type=int, default=DEFAULT_TOP_K,
                        help="candidates per frame (%d)" % DEFAULT_TOP_K)
    parser.add_argument("--score-threshold", type=float, default=None)
    parser.add_argument("--nms-threshold", type=float, default=None)
    parser.add_argument("--tiles", default=None, help="auto, off or RxC: also detect on tiles of large frames")
    parser.add_argument("--confirm-tile-faces", type=int, default=None, metavar="N",
                        help="faces only a tile found that a second look checks per frame, "
                             "0 to 256 (default: the model's)")
    parser.add_argument("--every", type=int, default=1, help="detect on every N-th video frame (1)")
    parser.add_argument("--files-from", action="append", default=[], metavar="LIST",
                        help="also read input paths from LIST, one per line, '-' for standard input")
    args = parser.parse_args(argv)
    # Messages name a file by its own bytes, as the tool's do, even when they are not UTF-8.
    sys.stderr.reconfigure(errors="surrogateescape")
    from ._media import quiet_opencv
    quiet_opencv()
    try:
        parse_tiles(args.tiles)
    except ValueError as e:
        parser.error(str(e))
    if args.every < 1:
        parser.error("--every needs a positive integer")
    if args.confirm_tile_faces is not None and not 0 <= args.confirm_tile_faces <= 256:
        parser.error("--confirm-tile-faces needs an integer from 0 to 256")
    if not args.inputs and not args.files_from:
        parser.error("no input given")
    # As the tool: the listed paths follow the arguments, and are never lists themselves.
    given = list(args.inputs)
    for listed in args.files_from:
        try:
            given += read_list(sys.stdin.buffer, "-") if listed == "-" else list_lines(listed)
        except OSError as e:
            print("nerova: cannot read the list %s: %s" % (listed, e.strerror), file=sys.stderr)
            return 2
        except ValueError as e:  # no list of paths
            print("nerova: %s" % e, file=sys.stderr)
            return 2
    try:
        det = FaceDetector(args.model, top_k=args.top_k, score_threshold=args.score_threshold,
                           nms_threshold=args.nms_threshold, tiles=args.tiles,
                           confirm_tile_faces=args.confirm_tile_faces)
    except (NerovaError, ValueError) as e:
        print("nerova: %s" % e, file=sys.stderr)
        return 3
    failed = 0
    with det:
        try:
            for path in expand_inputs(given, lists=False):
                read = _video(det, path, args.every) if is_video(path) else _image(det, path)
                failed += not read
        except _Unwritable as e:
            print("nerova: cannot write the records to standard output: %s" % e, file=sys.stderr)
            return 1
    return 1 if failed else 0


def _emit(record: dict) -> None:
    try:
        print(line(record), flush=True)
    except OSError as e:
        raise _Unwritable(e.strerror) from e


def _detect(det, path: str, image, frame=None, time_ms=None, cut=None):
    """The record of one image or frame; None (reported) when the library refuses it, which
    fails that input alone."""
    try:
        return timed_detection(det, path, image, frame, time_ms, cut)
    except NerovaError as e:
        print("nerova: %s: %s" % (path, e), file=sys.stderr)
        return None


def _image(det, path: str) -> bool:
    from ._media import read_image
    image = read_image(path)
    if image is None:
        print("nerova: cannot read %s" % path, file=sys.stderr)
        return False
    record = _detect(det, path, image)
    if record is None:
        return False
    _emit(record)
    return True


def _video(det, path: str, every: int) -> bool:
    """Every every-th frame's record, in frame order, each face with its track id; false
    when the video cannot be read, holds no frame or a frame was refused."""
    from ._media import video_frames
    from .detector import _lib
    missing = _native.video_missing(_lib)
    if missing:
        print("nerova: %s: %s" % (path, missing), file=sys.stderr)
        return False
    from .video import ShotMarks
    frames = video_frames(path)
    tracks, marks = VideoTracks(), ShotMarks(every)
    ok, count = frames is not None, 0
    for index, frame, time_ms in frames or ():
        count += 1
        cut = marks(index, frame)
        if index % every:
            continue
        record = _detect(det, path, frame, index, time_ms, cut)
        if record is None:
            ok = False
        else:
            _emit(tracks(record))
    if not count:
        print("nerova: cannot read %s" % path, file=sys.stderr)
    return ok and count > 0


if __name__ == "__main__":
    sys.exit(main())
