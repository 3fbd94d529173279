"""python -m nerova IMAGE...: one JSON line per image, as the command-line tool prints them."""
from __future__ import annotations

import argparse
import sys
import time

from . import FaceDetector, NerovaError
from .detector import DEFAULT_TOP_K, parse_tiles
from .records import detection, line


def record(path: str, image, faces, ms: float) -> str:
    """The tool's line for one image."""
    return line(detection(path, image.shape[1], image.shape[0], faces, ms))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m nerova", description=__doc__)
    parser.add_argument("images", nargs="+", metavar="IMAGE")
    parser.add_argument("--model", default=None, help="model name, directory or file")
    parser.add_argument("--top-k", type=int, default=DEFAULT_TOP_K,
                        help="candidates per frame (%d)" % DEFAULT_TOP_K)
    parser.add_argument("--score-threshold", type=float, default=None)
    parser.add_argument("--nms-threshold", type=float, default=None)
    parser.add_argument("--tiles", default=None, help="auto, off or RxC: also detect on tiles of large frames")
    args = parser.parse_args(argv)
    from ._media import quiet_opencv, read_image
    quiet_opencv()
    failed = 0
    try:
        parse_tiles(args.tiles)
    except ValueError as e:
        parser.error(str(e))
    try:
        det = FaceDetector(args.model, top_k=args.top_k, score_threshold=args.score_threshold,
                           nms_threshold=args.nms_threshold, tiles=args.tiles)
    except (NerovaError, ValueError) as e:
        print("nerova: %s" % e, file=sys.stderr)
        return 3
    with det:
        for path in args.images:
            image = read_image(path)
            if image is None:
                print("nerova: cannot read %s" % path, file=sys.stderr)
                failed += 1
                continue
            t0 = time.perf_counter()
            try:
                faces = det.detect(image)
            except NerovaError as e:  # a frame the library refuses fails alone
                print("nerova: %s: %s" % (path, e), file=sys.stderr)
                failed += 1
                continue
            try:
                print(record(path, image, faces, (time.perf_counter() - t0) * 1000), flush=True)
            except OSError as e:  # records that cannot be written are lost: stop, and say so
                print("nerova: cannot write the records to standard output: %s" % e.strerror,
                      file=sys.stderr)
                return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
